#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/display.h"
#include "sim/firmware.h"

namespace {

using Px = EFI_GRAPHICS_OUTPUT_BLT_PIXEL;

class SimDisplay : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        st = sim::system_table();
        bs = st->BootServices;
    }

    EFI_GRAPHICS_OUTPUT_PROTOCOL* on_console() {
        EFI_GUID guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
        void* iface = nullptr;
        if (EFI_ERROR(bs->HandleProtocol(st->ConsoleOutHandle, &guid, &iface))) return nullptr;
        return static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL*>(iface);
    }

    EFI_GRAPHICS_OUTPUT_PROTOCOL* located() {
        EFI_GUID guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
        void* iface = nullptr;
        if (EFI_ERROR(bs->LocateProtocol(&guid, nullptr, &iface))) return nullptr;
        return static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL*>(iface);
    }

    EFI_STATUS blt(std::vector<uint32_t>& buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION op, UINTN sx,
                   UINTN sy, UINTN dx, UINTN dy, UINTN w, UINTN h, UINTN delta) {
        EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
        return gop->Blt(gop, reinterpret_cast<Px*>(buffer.data()), op, sx, sy, dx, dy, w, h, delta);
    }

    EFI_SYSTEM_TABLE* st = nullptr;
    EFI_BOOT_SERVICES* bs = nullptr;
};

TEST_F(SimDisplay, FirmwareStartsWithOvmfsScreenOnTheConsoleHandle) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = on_console();
    ASSERT_NE(gop, nullptr);
    EXPECT_EQ(located(), gop);
    ASSERT_NE(gop->Mode, nullptr);
    ASSERT_NE(gop->Mode->Info, nullptr);
    EXPECT_EQ(gop->Mode->Info->HorizontalResolution, 1280u);
    EXPECT_EQ(gop->Mode->Info->VerticalResolution, 800u);
    EXPECT_EQ(gop->Mode->Info->PixelsPerScanLine, 1280u);
    EXPECT_EQ(gop->Mode->Info->PixelFormat, PixelBlueGreenRedReserved8BitPerColor);
    EXPECT_EQ(gop->Mode->FrameBufferSize, 1280u * 800u * 4u);
}

TEST_F(SimDisplay, PlacementAndRemoval) {
    sim::set_display(640, 480, sim::DisplayPlace::OwnHandle);
    EXPECT_EQ(on_console(), nullptr);
    ASSERT_NE(located(), nullptr);
    EXPECT_EQ(located()->Mode->Info->HorizontalResolution, 640u);

    sim::set_display(320, 200); // small modes are offered as they are
    EXPECT_EQ(on_console(), located());
    EXPECT_EQ(sim::display_width(), 320u);

    sim::remove_display();
    EXPECT_FALSE(sim::display_present());
    EXPECT_EQ(on_console(), nullptr);
    EXPECT_EQ(located(), nullptr);
    EXPECT_EQ(sim::display_picture().pixels.size(), 0u);
}

TEST_F(SimDisplay, BufferToVideoHonoursSourceOffsetAndDelta) {
    sim::set_display(8, 4);
    // A 5-pixel-wide buffer: Delta selects its rows, the source offset its
    // first pixel.
    std::vector<uint32_t> buffer(5 * 3);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = 0x010000u * uint32_t(i) + 0xFF000000u;
    ASSERT_EQ(blt(buffer, EfiBltBufferToVideo, 1, 1, 6, 2, 2, 2, 5 * 4), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(6, 2), 0x060000u); // reserved byte dropped
    EXPECT_EQ(sim::display_pixel(7, 2), 0x070000u);
    EXPECT_EQ(sim::display_pixel(6, 3), 0x0B0000u);
    EXPECT_EQ(sim::display_pixel(5, 2), 0u);

    // Delta 0: the rows are Width pixels apart.
    std::vector<uint32_t> packed = {1, 2, 3, 4};
    ASSERT_EQ(blt(packed, EfiBltBufferToVideo, 0, 0, 0, 0, 2, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(0, 1), 3u);
}

TEST_F(SimDisplay, FillReadBackAndVideoToVideo) {
    sim::set_display(6, 6);
    std::vector<uint32_t> colour = {0x123456};
    ASSERT_EQ(blt(colour, EfiBltVideoFill, 99, 99, 1, 1, 3, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(1, 1), 0x123456u);
    EXPECT_EQ(sim::display_pixel(3, 2), 0x123456u);
    EXPECT_EQ(sim::display_pixel(4, 2), 0u);
    EXPECT_EQ(sim::display_pixel(3, 3), 0u);

    std::vector<uint32_t> out(4 * 3, 0xEEEEEEu);
    ASSERT_EQ(blt(out, EfiBltVideoToBltBuffer, 2, 1, 1, 1, 2, 2, 4 * 4), EFI_SUCCESS);
    EXPECT_EQ(out[0], 0xEEEEEEu);
    EXPECT_EQ(out[4 + 1], 0x123456u);
    EXPECT_EQ(out[4 + 2], 0x123456u);
    EXPECT_EQ(out[8 + 1], 0x123456u);
    EXPECT_EQ(out[8 + 3], 0xEEEEEEu);

    // Overlapping copy one row down must not smear the first row.
    std::vector<uint32_t> none;
    ASSERT_EQ(blt(none, EfiBltVideoToVideo, 0, 1, 0, 2, 6, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(1, 2), 0x123456u);
    EXPECT_EQ(sim::display_pixel(1, 3), 0x123456u);
}

TEST_F(SimDisplay, BadRectanglesAreRefusedAndChangeNothing) {
    sim::set_display(640, 480);
    std::vector<uint32_t> buffer(640 * 480, 0xFFFFFFu);
    const UINTN huge = ~UINTN(0) - 5;
    struct Case {
        EFI_GRAPHICS_OUTPUT_BLT_OPERATION op;
        UINTN sx, sy, dx, dy, w, h;
    } cases[] = {
        {EfiBltBufferToVideo, 0, 0, 0, 0, 0, 1},       // zero width
        {EfiBltBufferToVideo, 0, 0, 0, 0, 1, 0},       // zero height
        {EfiBltBufferToVideo, 0, 0, 639, 0, 2, 1},     // one column beyond
        {EfiBltBufferToVideo, 0, 0, 0, 479, 1, 2},     // one row beyond
        {EfiBltBufferToVideo, 0, 0, huge, 0, 10, 1},   // x + w wraps
        {EfiBltVideoFill, 0, 0, 0, huge, 1, 10},       // y + h wraps
        {EfiBltVideoToBltBuffer, 600, 0, 0, 0, 41, 1}, // source beyond
        {EfiBltVideoToVideo, 0, 0, 0, 470, 1, 11},     // destination beyond
        {EfiBltVideoToVideo, 0, 470, 0, 0, 1, 11},     // source beyond
        {EfiGraphicsOutputBltOperationMax, 0, 0, 0, 0, 1, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(blt(buffer, c.op, c.sx, c.sy, c.dx, c.dy, c.w, c.h, 0), EFI_INVALID_PARAMETER)
            << "operation " << c.op << " at " << c.dx << "," << c.dy << " size " << c.w << "x"
            << c.h;
    }
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
    EXPECT_EQ(gop->Blt(gop, nullptr, EfiBltBufferToVideo, 0, 0, 0, 0, 1, 1, 0),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(sim::display_picture().pixels, std::vector<uint32_t>(640 * 480, 0u));
    ASSERT_EQ(sim::display_blt_calls().size(), std::size(cases) + 1);
    EXPECT_EQ(sim::display_blt_calls()[2].destination_x, 639u);

    // The whole screen exactly is fine.
    EXPECT_EQ(blt(buffer, EfiBltBufferToVideo, 0, 0, 0, 0, 640, 480, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(639, 479), 0xFFFFFFu);
}

TEST_F(SimDisplay, OnlyTheCurrentModeExists) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
    UINTN size = 0;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION* info = nullptr;
    ASSERT_EQ(gop->QueryMode(gop, 0, &size, &info), EFI_SUCCESS);
    EXPECT_EQ(info->HorizontalResolution, 1280u);
    EXPECT_EQ(bs->FreePool(info), EFI_SUCCESS);
    EXPECT_EQ(gop->QueryMode(gop, 1, &size, &info), EFI_INVALID_PARAMETER);
    EXPECT_EQ(gop->SetMode(gop, 1), EFI_UNSUPPORTED);
    EXPECT_EQ(sim::display_mode_calls(), 3u);
}

} // namespace

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "sim/display.h"
#include "sim/firmware.h"

namespace {

class SimDisplay : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }

    // The output as the program finds it: on the console handle, or anywhere.
    static EFI_GRAPHICS_OUTPUT_PROTOCOL* find(bool on_console) {
        EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
        EFI_GUID guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
        void* iface = nullptr;
        EFI_STATUS s =
            on_console ? bs->HandleProtocol(sim::system_table()->ConsoleOutHandle, &guid, &iface)
                       : bs->LocateProtocol(&guid, nullptr, &iface);
        return EFI_ERROR(s) ? nullptr : static_cast<EFI_GRAPHICS_OUTPUT_PROTOCOL*>(iface);
    }

    static EFI_STATUS blt(std::vector<uint32_t>& buffer, EFI_GRAPHICS_OUTPUT_BLT_OPERATION op,
                          UINTN sx, UINTN sy, UINTN dx, UINTN dy, UINTN w, UINTN h, UINTN delta) {
        EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
        auto* p = reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL*>(buffer.data());
        return gop->Blt(gop, buffer.empty() ? nullptr : p, op, sx, sy, dx, dy, w, h, delta);
    }
};

TEST_F(SimDisplay, StartsAsOvmfsScreenAndCanMoveOrGo) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = find(true);
    ASSERT_NE(gop, nullptr);
    EXPECT_EQ(find(false), gop);
    EXPECT_EQ(gop->Mode->Info->HorizontalResolution, 1280u);
    EXPECT_EQ(gop->Mode->Info->VerticalResolution, 800u);
    EXPECT_EQ(gop->Mode->Info->PixelsPerScanLine, 1280u);
    EXPECT_EQ(gop->Mode->Info->PixelFormat, PixelBlueGreenRedReserved8BitPerColor);
    EXPECT_EQ(gop->Mode->FrameBufferSize, 1280u * 800u * 4u);

    sim::set_display(320, 200, sim::DisplayPlace::OwnHandle);
    EXPECT_EQ(find(true), nullptr);
    ASSERT_NE(find(false), nullptr);
    EXPECT_EQ(find(false)->Mode->Info->HorizontalResolution, 320u);
    sim::remove_display();
    EXPECT_EQ(find(false), nullptr);
    EXPECT_TRUE(sim::display_picture().pixels.empty());
}

TEST_F(SimDisplay, EachOperationHonoursOffsetsAndDelta) {
    sim::set_display(8, 4);
    // A 5-pixel-wide buffer: Delta selects its rows, the source offset its
    // first pixel; the reserved byte never reaches the screen.
    std::vector<uint32_t> buffer(5 * 3);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = 0x010000u * uint32_t(i) + 0xFF000000u;
    ASSERT_EQ(blt(buffer, EfiBltBufferToVideo, 1, 1, 6, 2, 2, 2, 5 * 4), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(6, 2), 0x060000u);
    EXPECT_EQ(sim::display_pixel(7, 3), 0x0C0000u);
    EXPECT_EQ(sim::display_pixel(5, 2), 0u);

    std::vector<uint32_t> colour = {0x123456};
    ASSERT_EQ(blt(colour, EfiBltVideoFill, 99, 99, 0, 0, 3, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(2, 1), 0x123456u);
    EXPECT_EQ(sim::display_pixel(3, 1), 0u);

    // Delta 0 means rows of Width pixels.
    std::vector<uint32_t> out(2 * 2, 0xEEEEEEu);
    ASSERT_EQ(blt(out, EfiBltVideoToBltBuffer, 2, 1, 0, 0, 2, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(out, (std::vector<uint32_t>{0x123456, 0, 0, 0}));

    // An overlapping copy one row down must read each row before it is
    // overwritten.
    std::vector<uint32_t> none;
    ASSERT_EQ(blt(none, EfiBltVideoToVideo, 0, 1, 0, 2, 8, 2, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(0, 2), 0x123456u);
    EXPECT_EQ(sim::display_pixel(6, 2), 0u);
    EXPECT_EQ(sim::display_pixel(6, 3), 0x060000u);
}

TEST_F(SimDisplay, BadRectanglesAreRefusedAndChangeNothing) {
    sim::set_display(640, 480);
    std::vector<uint32_t> buffer(640 * 480, 0xFFFFFFu), none;
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
    for (const Case& c : cases)
        EXPECT_EQ(blt(buffer, c.op, c.sx, c.sy, c.dx, c.dy, c.w, c.h, 0), EFI_INVALID_PARAMETER)
            << "operation " << c.op << " at " << c.dx << "," << c.dy << " size " << c.w << "x"
            << c.h;
    EXPECT_EQ(blt(none, EfiBltBufferToVideo, 0, 0, 0, 0, 1, 1, 0), EFI_INVALID_PARAMETER);
    EXPECT_EQ(sim::display_picture().pixels, std::vector<uint32_t>(640 * 480, 0u));
    ASSERT_EQ(sim::display_blt_calls().size(), std::size(cases) + 1);
    EXPECT_EQ(sim::display_blt_calls()[2].destination_x, 639u);

    EXPECT_EQ(blt(buffer, EfiBltBufferToVideo, 0, 0, 0, 0, 640, 480, 0), EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(639, 479), 0xFFFFFFu);
}

TEST_F(SimDisplay, OnlyTheCurrentModeExists) {
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
    UINTN size = 0;
    EFI_GRAPHICS_OUTPUT_MODE_INFORMATION* info = nullptr;
    ASSERT_EQ(gop->QueryMode(gop, 0, &size, &info), EFI_SUCCESS);
    EXPECT_EQ(info->HorizontalResolution, 1280u);
    EXPECT_EQ(sim::system_table()->BootServices->FreePool(info), EFI_SUCCESS);
    EXPECT_EQ(gop->QueryMode(gop, 1, &size, &info), EFI_INVALID_PARAMETER);
    EXPECT_EQ(gop->SetMode(gop, 1), EFI_UNSUPPORTED);
    EXPECT_EQ(sim::display_mode_calls(), 3u);
}

} // namespace

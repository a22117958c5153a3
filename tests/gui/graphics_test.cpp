#include <gtest/gtest.h>

#include "gui/graphics.h"
#include "sim/display.h"
#include "sim/firmware.h"

namespace {

class Graphics : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { kv::graphics_end(); }

    bool start() {
        width = height = -1;
        return kv::graphics_start(&width, &height);
    }

    int32_t width = -1, height = -1;
};

TEST_F(Graphics, TakesTheConsolesScreenInItsCurrentMode) {
    ASSERT_TRUE(start());
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 800);
    EXPECT_TRUE(kv::graphics_active());
    EXPECT_EQ(sim::display_mode_calls(), 0u); // neither QueryMode nor SetMode
}

TEST_F(Graphics, SmallestAcceptedModeIs640By480) {
    sim::set_display(640, 480);
    ASSERT_TRUE(start());
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    kv::graphics_end();
    for (auto [w, h] : {std::pair{639u, 480u}, std::pair{640u, 479u}}) {
        sim::set_display(w, h);
        EXPECT_FALSE(start()) << w << "x" << h;
        EXPECT_FALSE(kv::graphics_active());
        EXPECT_EQ(width, -1); // outputs untouched on refusal
    }
}

TEST_F(Graphics, FallsBackToLocateProtocol) {
    sim::set_display(800, 600, sim::DisplayPlace::OwnHandle);
    ASSERT_TRUE(start());
    EXPECT_EQ(width, 800);
    kv::graphics_end();

    // A console without a handle of its own.
    sim::set_display(1024, 768);
    sim::system_table()->ConsoleOutHandle = nullptr;
    ASSERT_TRUE(start());
    EXPECT_EQ(width, 1024);
}

TEST_F(Graphics, PrefersTheConsolesOutputToAnEarlierOne) {
    // A second display whose output was installed before the console's:
    // LocateProtocol alone would pick it.
    static EFI_GRAPHICS_OUTPUT_MODE_INFORMATION info{};
    static EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE mode{};
    static EFI_GRAPHICS_OUTPUT_PROTOCOL other{};
    info.HorizontalResolution = 800;
    info.VerticalResolution = 600;
    mode.Info = &info;
    other.Mode = &mode;
    sim::remove_display();
    EFI_HANDLE handle = nullptr;
    ASSERT_EQ(sim::install_protocol(&handle, EFI_GUID(EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID), &other),
              EFI_SUCCESS);
    sim::set_display(1024, 768);
    ASSERT_TRUE(start());
    EXPECT_EQ(width, 1024);
}

TEST_F(Graphics, RefusesWithoutAUsableOutput) {
    sim::remove_display();
    EXPECT_FALSE(start());

    sim::set_display(1280, 800);
    sim::display_protocol()->Mode->Info = nullptr;
    EXPECT_FALSE(start());
    sim::display_protocol()->Mode = nullptr;
    EXPECT_FALSE(start());
    EXPECT_FALSE(kv::graphics_active());
    EXPECT_EQ(sim::console_clear_count(), 0u); // nothing touched the console
}

TEST_F(Graphics, CursorVisibilityIsSavedAndRestored) {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    for (BOOLEAN visible : {TRUE, FALSE}) {
        out->EnableCursor(out, visible);
        size_t clears = sim::console_clear_count();
        ASSERT_TRUE(start());
        EXPECT_FALSE(sim::console_cursor_visible());
        kv::graphics_end();
        EXPECT_EQ(sim::console_cursor_visible(), visible == TRUE);
        EXPECT_EQ(sim::console_clear_count(), clears + 1);
        EXPECT_FALSE(kv::graphics_active());
        // A second end has nothing to give back.
        kv::graphics_end();
        EXPECT_EQ(sim::console_clear_count(), clears + 1);
    }
}

TEST_F(Graphics, ScaleDoublesAbove1700Lines) {
    EXPECT_EQ(kv::screen_scale(480), 1);
    EXPECT_EQ(kv::screen_scale(1700), 1);
    EXPECT_EQ(kv::screen_scale(1701), 2);
    EXPECT_EQ(kv::screen_scale(2160), 2);
}

TEST_F(Graphics, BlitCopiesARectangleWithTheBuffersStride) {
    std::vector<kv::Pixel> buffer(5 * 4);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = kv::Pixel(0x010101 * i);
    kv::blit_to_screen(buffer.data(), 5, 0, 0, 0, 0, 5, 4); // not active yet
    EXPECT_TRUE(sim::display_blt_calls().empty());

    ASSERT_TRUE(start());
    kv::blit_to_screen(buffer.data(), 5, 1, 2, 100, 50, 3, 2);
    ASSERT_EQ(sim::display_blt_calls().size(), 1u);
    const sim::BltCall& call = sim::display_blt_calls()[0];
    EXPECT_EQ(call.operation, EfiBltBufferToVideo);
    EXPECT_EQ(call.delta, 20u);
    EXPECT_EQ(call.status, EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(100, 50), 0x0B0B0Bu); // buffer (1, 2)
    EXPECT_EQ(sim::display_pixel(102, 51), 0x121212u); // buffer (3, 3)
    EXPECT_EQ(sim::display_pixel(103, 51), 0u);

    kv::blit_to_screen(buffer.data(), 5, 0, 0, 0, 0, 0, 4);
    kv::blit_to_screen(buffer.data(), 5, 0, 0, 0, 0, 4, -1);
    kv::blit_to_screen(buffer.data(), 5, 0, 0, -1, 0, 4, 4);
    EXPECT_EQ(sim::display_blt_calls().size(), 1u);
}

} // namespace

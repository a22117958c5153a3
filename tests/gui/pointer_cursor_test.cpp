#include <gtest/gtest.h>

#include "gui/graphics.h"
#include "gui/pointer_cursor.h"
#include "sim/display.h"
#include "tests/gui/canvas_fixture.h"

namespace {

constexpr kv::Pixel kBack = 0x336699;

class PointerCursor : public kvtest::CanvasTest {
  protected:
    void SetUp() override {
        kvtest::CanvasTest::SetUp();
        sim::set_display(640, 480);
        int32_t w, h;
        ASSERT_TRUE(kv::graphics_start(&w, &h));
        back = &canvas(w, h, kBack);
        kv::blit_to_screen(back->pixels, w, 0, 0, 0, 0, w, h);
        sim::clear_display_blt_calls();
    }
    void TearDown() override {
        kv::canvas_free(&pointer);
        kv::graphics_end();
        kvtest::CanvasTest::TearDown();
    }

    kv::Canvas* back = nullptr;
    kv::Canvas pointer{};
};

TEST_F(PointerCursor, DrawComposesOverTheBackBufferAndEraseRestoresIt) {
    ASSERT_TRUE(kv::pointer_canvas_init(&pointer, 1));
    back->pixels[101 * 640 + 105] = 0x00FF00; // under the cursor's transparent part
    kv::pointer_draw(back, &pointer, 100, 100, 1);
    ASSERT_EQ(sim::display_blt_calls().size(), 1u);
    const sim::BltCall& draw = sim::display_blt_calls()[0];
    EXPECT_EQ(draw.width, 12u);
    EXPECT_EQ(draw.height, 19u);
    EXPECT_EQ(draw.delta, 12u * 4);
    EXPECT_EQ(sim::display_pixel(100, 100), 0x000000u); // hot spot
    EXPECT_EQ(sim::display_pixel(101, 102), 0xFFFFFFu);
    EXPECT_EQ(sim::display_pixel(105, 101), 0x00FF00u); // back buffer shows through
    EXPECT_EQ(sim::display_pixel(111, 100), kBack);
    EXPECT_EQ(back->pixels[100 * 640 + 100], kBack); // the back buffer never holds it

    kv::pointer_erase(back, &pointer, 100, 100);
    ASSERT_EQ(sim::display_blt_calls().size(), 2u);
    EXPECT_EQ(sim::display_blt_calls()[1].source_x, 100u);
    EXPECT_EQ(sim::display_blt_calls()[1].delta, 640u * 4);
    EXPECT_EQ(sim::display_pixel(100, 100), kBack);
    EXPECT_EQ(sim::display_pixel(101, 102), kBack);
}

TEST_F(PointerCursor, CopiesStopAtTheRightAndBottomEdges) {
    ASSERT_TRUE(kv::pointer_canvas_init(&pointer, 2)); // 24 x 38
    struct {
        int32_t x, y;
        UINTN w, h;
    } cases[] = {{635, 100, 5, 38}, {100, 470, 24, 10}, {639, 479, 1, 1}, {616, 442, 24, 38}};
    for (auto c : cases) {
        sim::clear_display_blt_calls();
        kv::pointer_draw(back, &pointer, c.x, c.y, 2);
        kv::pointer_erase(back, &pointer, c.x, c.y);
        ASSERT_EQ(sim::display_blt_calls().size(), 2u) << c.x << "," << c.y;
        for (const sim::BltCall& call : sim::display_blt_calls()) {
            EXPECT_EQ(call.status, EFI_SUCCESS) << c.x << "," << c.y;
            EXPECT_EQ(call.width, c.w) << c.x << "," << c.y;
            EXPECT_EQ(call.height, c.h) << c.x << "," << c.y;
        }
    }
    // Drawn and erased again: the screen equals the back buffer.
    EXPECT_EQ(sim::display_picture().pixels, std::vector<uint32_t>(640 * 480, kBack));

    sim::clear_display_blt_calls();
    kv::pointer_draw(back, &pointer, 640, 10, 2); // off the screen: nothing
    kv::pointer_erase(back, &pointer, 10, 480);
    kv::pointer_draw(back, &pointer, -1, 10, 2);
    EXPECT_TRUE(sim::display_blt_calls().empty());
}

TEST_F(PointerCursor, ScaledCursorAtTheCornerShowsItsTopLeftPart) {
    ASSERT_TRUE(kv::pointer_canvas_init(&pointer, 2));
    kv::pointer_draw(back, &pointer, 638, 478, 2);
    // The hot spot's cell is 2 x 2 black and fills the two visible rows.
    EXPECT_EQ(sim::display_pixel(638, 478), 0x000000u);
    EXPECT_EQ(sim::display_pixel(639, 479), 0x000000u);
    EXPECT_EQ(sim::display_pixel(637, 478), kBack);
}

} // namespace

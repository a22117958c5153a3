#include <gtest/gtest.h>

#include <climits>

#include "gui/canvas.h"
#include "tests/gui/canvas_fixture.h"

namespace {

constexpr kv::Pixel kInk = 0x00FF8000;
const std::map<kv::Pixel, char> kLegend = {{0, '.'}, {kInk, '#'}};

class Canvas : public kvtest::CanvasTest {};

TEST_F(Canvas, InitClipsToTheWholeCanvasAndFailsCleanly) {
    kv::Canvas c{};
    ASSERT_TRUE(kv::canvas_init(&c, 7, 3));
    EXPECT_EQ(c.clip_x, 0);
    EXPECT_EQ(c.clip_y, 0);
    EXPECT_EQ(c.clip_w, 7);
    EXPECT_EQ(c.clip_h, 3);
    size_t blocks = sim::pool_blocks_live();
    kv::canvas_free(&c);
    EXPECT_EQ(sim::pool_blocks_live(), blocks - 1);
    EXPECT_EQ(c.pixels, nullptr);
    // A freed canvas has nothing to draw into, not a dangling clip.
    kv::fill_rect(&c, 0, 0, 7, 3, kInk);
    EXPECT_EQ(c.clip_w, 0);

    sim::fail_pool_after(0);
    EXPECT_FALSE(kv::canvas_init(&c, 1920, 1080));
    EXPECT_EQ(c.pixels, nullptr);
    EXPECT_EQ(c.clip_w, 0);
    sim::fail_pool_after(-1);
    EXPECT_FALSE(kv::canvas_init(&c, -1, 10));
}

TEST_F(Canvas, ClipSetIntersectsWithTheCanvasAndReplacesTheOldClip) {
    kv::Canvas& c = canvas(10, 8);
    kv::clip_set(&c, -3, 2, 6, 100);
    EXPECT_EQ(c.clip_x, 0);
    EXPECT_EQ(c.clip_y, 2);
    EXPECT_EQ(c.clip_w, 3);
    EXPECT_EQ(c.clip_h, 6);
    kv::clip_set(&c, 5, 0, 2, 2); // not intersected with the previous clip
    EXPECT_EQ(c.clip_x, 5);
    EXPECT_EQ(c.clip_w, 2);
    EXPECT_EQ(c.clip_h, 2);
    kv::clip_set(&c, INT32_MAX - 1, INT32_MAX - 1, INT32_MAX, INT32_MAX); // no wrap-around
    EXPECT_EQ(c.clip_w, 0);
    EXPECT_EQ(c.clip_h, 0);
}

TEST_F(Canvas, NothingIsDrawnOutsideTheClip) {
    kv::Canvas& c = canvas(6, 4);
    kv::clip_set(&c, 20, 20, 5, 5); // outside the canvas: empty
    EXPECT_LE(c.clip_x + c.clip_w, c.width);
    EXPECT_LE(c.clip_y + c.clip_h, c.height);
    kv::fill_rect(&c, 0, 0, 6, 4, kInk);
    kv::draw_frame(&c, 0, 0, 6, 4, 1, kInk);
    kv::fill_hatched(&c, 0, 0, 6, 4, 2, kInk);
    kv::fill_round_rect(&c, 0, 0, 6, 4, 2, kInk, 1, kInk);
    kv::draw_cursor(&c, 0, 0, 1);
    EXPECT_EQ(art(c, kLegend), "......|......|......|......");

    kv::clip_reset(&c);
    kv::fill_rect(&c, 40, 0, 5, 5, kInk); // beside the canvas
    EXPECT_EQ(art(c, kLegend), "......|......|......|......");
    kv::clip_set(&c, 1, 1, 3, 2);
    kv::fill_rect(&c, -100, -100, 1000, 1000, kInk);
    EXPECT_EQ(art(c, kLegend), "......|.###..|.###..|......");
}

TEST_F(Canvas, FillRectHandlesRectanglesReachingPastTheIntegerRange) {
    kv::Canvas& c = canvas(4, 3);
    kv::fill_rect(&c, 2, 1, INT32_MAX, INT32_MAX, kInk);
    kv::fill_rect(&c, INT32_MAX, 0, INT32_MAX, 1, kInk); // would wrap to the left in 32 bits
    kv::fill_rect(&c, 0, 0, -2, 3, kInk);
    EXPECT_EQ(art(c, kLegend), "....|..##|..##");
}

TEST_F(Canvas, FrameBandsAndTheThicknessRule) {
    kv::Canvas& c = canvas(7, 5);
    kv::draw_frame(&c, 1, 0, 5, 4, 1, kInk);
    EXPECT_EQ(art(c, kLegend), ".#####.|.#...#.|.#...#.|.#####.|.......");

    kv::Canvas& thick = canvas(8, 6);
    kv::draw_frame(&thick, 0, 0, 8, 6, 2, kInk);
    EXPECT_EQ(art(thick, kLegend), "########|########|##....##|##....##|########|########");

    // Thickness 5 on 6 x 20: half the width is 3 < 5, so the bands are
    // 3 + 1 = 4 wide and overlap into a solid rectangle.
    kv::Canvas& narrow = canvas(8, 22);
    kv::draw_frame(&narrow, 1, 1, 6, 20, 5, kInk);
    for (int32_t y = 1; y < 21; y++)
        for (int32_t x = 1; x < 7; x++)
            ASSERT_EQ(at(narrow, x, y), kInk) << x << "," << y;
    EXPECT_EQ(at(narrow, 0, 5), 0u);
    EXPECT_EQ(at(narrow, 7, 5), 0u);
    EXPECT_EQ(at(narrow, 3, 21), 0u);

    // At exactly half the shorter side the rule does not apply.
    kv::Canvas& half = canvas(6, 7);
    kv::draw_frame(&half, 0, 0, 6, 7, 3, kInk);
    EXPECT_EQ(art(half, kLegend), "######|######|######|######|######|######|######");
    kv::Canvas& open = canvas(7, 7);
    kv::draw_frame(&open, 0, 0, 7, 7, 3, kInk);
    EXPECT_EQ(at(open, 3, 3), 0u); // 7 / 2 = 3 leaves the centre pixel
}

TEST_F(Canvas, HatchingFollowsCanvasCoordinates) {
    kv::Canvas& c = canvas(7, 4);
    kv::fill_hatched(&c, 1, 0, 5, 4, 3, kInk);
    // (x + y) mod 3 == 0 inside columns 1..5 only: lines rising to the right.
    EXPECT_EQ(art(c, kLegend), "...#...|..#..#.|.#..#..|...#...");

    kv::Canvas& d = canvas(4, 2);
    kv::fill_hatched(&d, 0, 0, 4, 2, 1, kInk);
    kv::fill_hatched(&d, 0, 0, 4, 2, 0, kInk);
    kv::fill_hatched(&d, 0, 0, 4, 2, -2, kInk);
    EXPECT_EQ(art(d, kLegend), "....|....");
    kv::clip_set(&d, 1, 0, 2, 2);
    kv::fill_hatched(&d, 0, 0, 4, 2, 2, kInk);
    EXPECT_EQ(art(d, kLegend), "..#.|.#..");
}

TEST_F(Canvas, BlendRoundsPerChannelAndKeepsTheReservedByteZero) {
    EXPECT_EQ(kv::blend(0xFFFFFF, 0x000000, 8), 0x808080u); // (2040 + 8) / 16 = 128
    EXPECT_EQ(kv::blend(0xFFFFFF, 0x000000, 1), 0x101010u); // (255 + 8) / 16 = 16
    EXPECT_EQ(kv::blend(0x102030, 0xFFFFFF, 16), 0x102030u);
    EXPECT_EQ(kv::blend(0x102030, 0x405060, 0), 0x405060u);
    // Channels do not bleed into each other.
    EXPECT_EQ(kv::blend(0xFF0000, 0x0000FF, 4), 0x4000BFu); // (1020+8)/16, (765+8)/16
    EXPECT_EQ(kv::blend(0xFF000000u | 0x000010, 0xFF000000u, 16) >> 24, 0u);
}

} // namespace

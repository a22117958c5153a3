#include <gtest/gtest.h>

#include "gui/canvas.h"
#include "tests/gui/canvas_fixture.h"

namespace {

constexpr kv::Pixel kBack = 0x336699;
const std::map<kv::Pixel, char> kLegend = {{kBack, '.'}, {0x000000, 'B'}, {0xFFFFFF, 'W'}};

class Cursor : public kvtest::CanvasTest {};

TEST_F(Cursor, ArrowAtScaleOneLeavesTransparentCellsAlone) {
    kv::Canvas& c = canvas(13, 20, kBack);
    kv::draw_cursor(&c, 1, 1, 1);
    std::string picture = art(c, kLegend);
    // The hot spot's cell, the tip of the outline and the widest row.
    EXPECT_EQ(at(c, 1, 1), 0x000000u);
    EXPECT_EQ(at(c, 0, 1), kBack);
    EXPECT_EQ(at(c, 2, 1), kBack);
    EXPECT_EQ(picture.substr(14 * 12, 13), ".BWWWWWWBBBBB");
    // Row 14 has a hole between the stem and the tail.
    EXPECT_EQ(picture.substr(14 * 15, 13), ".BWB..BWWB...");
    // Nothing but outline, body and background.
    EXPECT_EQ(picture.find('?'), std::string::npos);
    EXPECT_EQ(at(c, 12, 0), kBack);
}

TEST_F(Cursor, ScaleTwoDoublesEveryCell) {
    kv::Canvas& one = canvas(12, 19, kBack);
    kv::Canvas& two = canvas(24, 38, kBack);
    kv::draw_cursor(&one, 0, 0, 1);
    kv::draw_cursor(&two, 0, 0, 2);
    for (int32_t y = 0; y < 38; y++)
        for (int32_t x = 0; x < 24; x++)
            ASSERT_EQ(at(two, x, y), at(one, x / 2, y / 2)) << x << "," << y;

    kv::Canvas& zero = canvas(12, 19, kBack);
    kv::draw_cursor(&zero, 0, 0, 0); // below 1 counts as 1
    EXPECT_EQ(art(zero, kLegend), art(one, kLegend));
}

TEST_F(Cursor, ClippedAtTheCanvasEdge) {
    kv::Canvas& c = canvas(3, 3, kBack);
    kv::draw_cursor(&c, 1, 1, 1);
    EXPECT_EQ(art(c, kLegend), "...|.B.|.BB");
    kv::Canvas& d = canvas(3, 3, kBack);
    kv::draw_cursor(&d, -1, -2, 1); // rows 2..4, columns 1..3
    EXPECT_EQ(art(d, kLegend), "WB.|WWB|WWW");
}

} // namespace

#include <gtest/gtest.h>

#include <cstdint>

#include "gui/canvas.h"
#include "tests/gui/canvas_fixture.h"

namespace {

// An independent reading of the shape: a sample point is inside when it
// lies in the rectangle and, in a corner square, within the corner's circle,
// computed geometrically in doubles (exact for eighths of a pixel).
int reference_coverage(int64_t rx, int64_t ry, int64_t rw, int64_t rh, int64_t r, int64_t px,
                       int64_t py) {
    if (rw <= 0 || rh <= 0) return 0;
    int count = 0;
    for (int j = 1; j < 8; j += 2) {
        for (int i = 1; i < 8; i += 2) {
            double sx = px + i / 8.0, sy = py + j / 8.0;
            if (sx < rx || sx >= rx + rw || sy < ry || sy >= ry + rh) continue;
            double cx = sx < rx + r ? rx + r : sx > rx + rw - r ? rx + rw - r : sx;
            double cy = sy < ry + r ? ry + r : sy > ry + rh - r ? ry + rh - r : sy;
            if ((sx - cx) * (sx - cx) + (sy - cy) * (sy - cy) <= double(r) * r) count++;
        }
    }
    return count;
}

uint32_t mix(uint32_t a, uint32_t b, int k) {
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        uint32_t ca = (a >> shift) & 0xFF, cb = (b >> shift) & 0xFF;
        out |= ((ca * k + cb * (16 - k) + 8) / 16) << shift;
    }
    return out;
}

class RoundRect : public kvtest::CanvasTest {
  protected:
    // Every pixel of a canvas with a varied background against the
    // reference, for one rectangle.
    void check(int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius, int32_t border) {
        SCOPED_TRACE(::testing::Message() << "rect " << x << "," << y << " " << w << "x" << h
                                          << " radius " << radius << " border " << border);
        kv::Canvas& c = canvas(24, 20);
        for (int32_t i = 0; i < 24 * 20; i++)
            c.pixels[i] = uint32_t(i * 0x0B0703) & 0xFFFFFF;
        std::vector<uint32_t> before(c.pixels, c.pixels + 24 * 20);
        const uint32_t fill = 0x20C040, edge = 0xF01010;
        kv::fill_round_rect(&c, x, y, w, h, radius, fill, border, edge);

        int64_t r = std::max<int64_t>(0, std::min<int64_t>(radius, std::min(w, h) / 2));
        int64_t b = std::max(border, 0);
        for (int32_t py = 0; py < 20; py++) {
            for (int32_t px = 0; px < 24; px++) {
                uint32_t under = before[size_t(py) * 24 + px], want = under;
                int k = reference_coverage(x, y, w, h, r, px, py);
                if (k > 0 && b == 0) want = mix(fill, under, k);
                if (k > 0 && b > 0) {
                    uint32_t t = mix(edge, under, k);
                    int k2 = reference_coverage(x + b, y + b, w - 2 * b, h - 2 * b,
                                                std::max<int64_t>(0, r - b), px, py);
                    want = mix(fill, t, k2);
                }
                ASSERT_EQ(at(c, px, py), want) << "pixel " << px << "," << py << " k " << k;
            }
        }
    }
};

TEST_F(RoundRect, MatchesTheGeometricReference) {
    check(2, 3, 16, 12, 5, 0);
    check(2, 3, 16, 12, 5, 2);
    check(1, 1, 21, 17, 8, 1); // odd sizes: a one-pixel middle column
    check(0, 0, 9, 9, 100, 0); // radius cut to half the shorter side
    check(0, 0, 9, 9, 100, 3);
    check(3, 2, 10, 8, 0, 2);    // square corners
    check(4, 4, 10, 10, 4, 5);   // the border fills everything
    check(-6, -4, 20, 15, 7, 2); // partly outside the canvas
    check(3, 3, 6, 6, -4, 0);    // a negative radius counts as 0
}

TEST_F(RoundRect, PinnedCornerValues) {
    kv::Canvas& c = canvas(8, 8);
    kv::fill_round_rect(&c, 0, 0, 8, 8, 4, 0xFFFFFF, 0, 0);
    EXPECT_EQ(at(c, 0, 0), 0u);        // no sample inside the circle
    EXPECT_EQ(at(c, 1, 0), 0x303030u); // 3 of 16: (255 * 3 + 8) / 16 = 48
    EXPECT_EQ(at(c, 0, 1), 0x303030u);
    EXPECT_EQ(at(c, 4, 0), 0xFFFFFFu); // right corner square, all samples in
    EXPECT_EQ(at(c, 4, 4), 0xFFFFFFu);
}

TEST_F(RoundRect, TheFourCornersAreMirrorImages) {
    for (int32_t radius : {3, 6, 9}) {
        kv::Canvas& c = canvas(21, 19, 0x000000);
        kv::fill_round_rect(&c, 0, 0, 21, 19, radius, 0xFFFFFF, 2, 0x808080);
        for (int32_t y = 0; y < 19; y++)
            for (int32_t x = 0; x < 21; x++) {
                ASSERT_EQ(at(c, x, y), at(c, 20 - x, y)) << radius << ": " << x << "," << y;
                ASSERT_EQ(at(c, x, y), at(c, x, 18 - y)) << radius << ": " << x << "," << y;
            }
    }
}

TEST_F(RoundRect, RadiusZeroIsAFilledRectangleAndTheClipHolds) {
    kv::Canvas& a = canvas(10, 6, 0x111111);
    kv::Canvas& b = canvas(10, 6, 0x111111);
    kv::fill_round_rect(&a, 1, 1, 8, 4, 0, 0x445566, 0, 0);
    kv::fill_rect(&b, 1, 1, 8, 4, 0x445566);
    EXPECT_EQ(std::vector<uint32_t>(a.pixels, a.pixels + 60),
              std::vector<uint32_t>(b.pixels, b.pixels + 60));

    kv::Canvas& c = canvas(10, 6, 0x111111);
    kv::clip_set(&c, 0, 0, 3, 6);
    kv::fill_round_rect(&c, 0, 0, 10, 6, 3, 0x445566, 1, 0x778899);
    for (int32_t y = 0; y < 6; y++)
        for (int32_t x = 3; x < 10; x++)
            ASSERT_EQ(at(c, x, y), 0x111111u) << x << "," << y;
    EXPECT_EQ(at(c, 2, 3), 0x445566u);
}

TEST_F(RoundRect, HugeRectanglesClipWithoutOverflow) {
    kv::Canvas& c = canvas(4, 4, 0);
    kv::fill_round_rect(&c, -INT32_MAX / 2, -INT32_MAX / 2, INT32_MAX, INT32_MAX, INT32_MAX,
                        0xFFFFFF, 0, 0);
    // The canvas lies near the centre of a vast rounded rectangle: fully inside.
    EXPECT_EQ(at(c, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(at(c, 3, 3), 0xFFFFFFu);
    kv::Canvas& d = canvas(4, 4, 0);
    kv::fill_round_rect(&d, 0, 0, INT32_MAX, INT32_MAX, INT32_MAX, 0xFFFFFF, 0, 0);
    EXPECT_EQ(at(d, 0, 0), 0u); // deep in the top-left corner, outside the circle
}

} // namespace

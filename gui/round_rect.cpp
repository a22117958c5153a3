// Anti-aliased rounded rectangles: each corner pixel's coverage is counted
// from 4 x 4 sample points against the corner's circle, in whole numbers
// (the firmware image has no floating point).
#include "gui/canvas.h"
#include "gui/fill_row.h"

namespace kv {

namespace {

// Radii beyond this would need more than 64 bits for the squared sample
// distances; only rectangles over 2^30 pixels wide reach it, and their
// corners lie far outside any screen.
constexpr int64_t kMaxRadius = (int64_t(1) << 29) - 1;

struct Rounded {
    int64_t x0, y0, x1, y1; // half-open
    int64_t r;
    uint64_t r2; // (8r)^2: the circle in eighths of a pixel
};

Rounded make_rounded(int64_t x, int64_t y, int64_t w, int64_t h, int64_t r) {
    if (r > kMaxRadius) r = kMaxRadius;
    if (r < 0) r = 0;
    uint64_t r8 = uint64_t(r) * 8;
    return Rounded{x, y, x + w, y + h, r, r8 * r8};
}

uint64_t magnitude(int64_t v) {
    return v < 0 ? uint64_t(-v) : uint64_t(v);
}

// Of the sample offsets d + 1, d + 3, d + 5, d + 7 (d a multiple of 8),
// the smallest and largest in magnitude.
uint64_t nearest(int64_t d) {
    return d < 0 ? magnitude(d + 7) : magnitude(d + 1);
}
uint64_t farthest(int64_t d) {
    return d < 0 ? magnitude(d + 1) : magnitude(d + 7);
}

// 0..16 samples of the pixel at (px, py) that lie inside the shape.
int32_t coverage(const Rounded& q, int64_t px, int64_t py) {
    if (px < q.x0 || px >= q.x1 || py < q.y0 || py >= q.y1) return 0;
    int64_t left = q.x0 + q.r, right = q.x1 - q.r;
    int64_t top = q.y0 + q.r, bottom = q.y1 - q.r;
    if ((px >= left && px < right) || (py >= top && py < bottom)) return 16;
    // The circle's centre lies on a pixel corner, so the sample offsets are
    // odd eighths and every |offset| < 8r: the squares stay below r2.
    int64_t dx = 8 * (px - (px < left ? left : right));
    int64_t dy = 8 * (py - (py < top ? top : bottom));
    // Pixels wholly inside or outside the circle need no sampling: compare
    // the samples nearest to and farthest from the centre first.
    uint64_t near_x = nearest(dx), far_x = farthest(dx);
    uint64_t near_y = nearest(dy), far_y = farthest(dy);
    if (far_x * far_x <= q.r2 - far_y * far_y) return 16;
    if (near_x * near_x > q.r2 - near_y * near_y) return 0;
    int32_t count = 0;
    for (int64_t j = 1; j < 8; j += 2) {
        uint64_t sy = magnitude(dy + j);
        uint64_t room = q.r2 - sy * sy;
        for (int64_t i = 1; i < 8; i += 2) {
            uint64_t sx = magnitude(dx + i);
            if (sx * sx <= room) count++;
        }
    }
    return count;
}

// [lo, hi): the pixels of row py that the shape covers completely without
// sampling, the straight part between the corners; empty off the shape.
void full_span(const Rounded& q, int64_t py, int64_t* lo, int64_t* hi) {
    *lo = *hi = 0;
    if (py < q.y0 || py >= q.y1 || q.x1 <= q.x0) return;
    bool between_corners = py >= q.y0 + q.r && py < q.y1 - q.r;
    *lo = between_corners ? q.x0 : q.x0 + q.r;
    *hi = between_corners ? q.x1 : q.x1 - q.r;
}

// One pixel of the shape over `under`.
Pixel shade(const Rounded& outer, const Rounded& inner, int64_t b, int64_t px, int64_t py,
            Pixel fill, Pixel border, Pixel under) {
    int32_t k = coverage(outer, px, py);
    if (k == 0) return under;
    if (b == 0) return k == 16 ? fill : blend(fill, under, k);
    Pixel edge = k == 16 ? border : blend(border, under, k);
    int32_t k2 = coverage(inner, px, py); // 0 everywhere when the border fills it all
    return k2 == 16 ? fill : k2 == 0 ? edge : blend(fill, edge, k2);
}

} // namespace

Pixel blend(Pixel over, Pixel under, int32_t weight) {
    uint32_t k = uint32_t(weight), rest = 16 - k;
    uint32_t r = (((over >> 16) & 0xFF) * k + ((under >> 16) & 0xFF) * rest + 8) / 16;
    uint32_t g = (((over >> 8) & 0xFF) * k + ((under >> 8) & 0xFF) * rest + 8) / 16;
    uint32_t b = ((over & 0xFF) * k + (under & 0xFF) * rest + 8) / 16;
    return (r << 16) | (g << 8) | b;
}

void fill_round_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius,
                     Pixel fill, int32_t border_width, Pixel border) {
    ClipBox box;
    if (!clip_rect(canvas, x, y, w, h, &box)) return;
    int64_t shorter = w < h ? w : h;
    int64_t r = radius < shorter / 2 ? radius : shorter / 2;
    if (r < 0) r = 0;
    Rounded outer = make_rounded(x, y, w, h, r);
    int64_t b = border_width > 0 ? border_width : 0;
    Rounded inner =
        make_rounded(int64_t(x) + b, int64_t(y) + b, int64_t(w) - 2 * b, int64_t(h) - 2 * b, r - b);

    // Pixels that the fill covers fully come out as the fill colour whatever
    // the border does, so each row is sampled only left and right of them.
    const Rounded& solid = b == 0 ? outer : inner;
    for (int32_t py = box.y0; py < box.y1; py++) {
        Pixel* row = canvas->pixels + int64_t(py) * canvas->width;
        int64_t lo, hi;
        full_span(solid, py, &lo, &hi);
        lo = lo < box.x0 ? box.x0 : lo > box.x1 ? box.x1 : lo;
        hi = hi < lo ? lo : hi > box.x1 ? box.x1 : hi;
        for (int64_t px = box.x0; px < lo; px++)
            row[px] = shade(outer, inner, b, px, py, fill, border, row[px]);
        fill_row(row + lo, hi - lo, fill);
        for (int64_t px = hi; px < box.x1; px++)
            row[px] = shade(outer, inner, b, px, py, fill, border, row[px]);
    }
}

} // namespace kv

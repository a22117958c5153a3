// An off-screen pixel buffer with a clip rectangle, and the drawing
// primitives that paint into it.
#pragma once

#include <stdint.h>

namespace kv {

// 0x00RRGGBB: the in-memory layout of a firmware blit pixel (blue, green,
// red, reserved), so a canvas can be handed to Blt as it is.
using Pixel = uint32_t;

struct Canvas {
    Pixel* pixels; // width * height, row after row; width is the stride
    int32_t width;
    int32_t height;
    // Nothing is drawn outside this rectangle; it always lies inside the
    // canvas and is empty when either size is 0.
    int32_t clip_x;
    int32_t clip_y;
    int32_t clip_w;
    int32_t clip_h;
};

// False when the pixels cannot be allocated or a size is negative (the
// canvas is left empty). The pixels' contents are undefined.
bool canvas_init(Canvas* canvas, int32_t width, int32_t height);
// Also empties the sizes and the clip, so that drawing on a freed canvas
// does nothing instead of writing through a null pointer.
void canvas_free(Canvas* canvas);

void clip_reset(Canvas* canvas);
// Replaces the clip with the rectangle's intersection with the canvas.
void clip_set(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h);

// The part of a rectangle inside the clip, as half-open bounds
// [x0, x1) x [y0, y1); false when nothing is left. Sums are taken in 64 bits,
// so a rectangle reaching past the 32-bit range clips instead of wrapping.
struct ClipBox {
    int32_t x0, y0, x1, y1;
};
bool clip_rect(const Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, ClipBox* box);

// Colour `over` laid on `under` with weight 0..16 (16: `over` unchanged),
// per channel, rounded to nearest; the reserved byte comes out 0.
Pixel blend(Pixel over, Pixel under, int32_t weight);

void fill_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, Pixel colour);
// Four bands of `thickness` inside the rectangle's edge. A frame too thick
// for the rectangle (more than half the shorter side) becomes half that side
// plus one, so that its bands meet and cover the whole rectangle.
void draw_frame(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t thickness,
                Pixel colour);
// Diagonal lines rising to the right: pixels whose canvas coordinates sum
// to a multiple of `step`. Nothing for a step of 1 or less.
void fill_hatched(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t step,
                  Pixel colour);
// Rounded rectangle with corners anti-aliased by 4 x 4 samples per pixel;
// the radius is cut to half the shorter side. With border_width > 0 a
// border of that width in `border` surrounds the fill.
void fill_round_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius,
                     Pixel fill, int32_t border_width, Pixel border);
// The mouse cursor, hot spot at (x, y), each cell a scale x scale square
// (scale below 1 counts as 1).
void draw_cursor(Canvas* canvas, int32_t x, int32_t y, int32_t scale);

// The cursor bitmap's size in cells.
constexpr int32_t kCursorCellsWide = 12;
constexpr int32_t kCursorCellsHigh = 19;

} // namespace kv

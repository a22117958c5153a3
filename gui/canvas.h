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

// False when the pixels cannot be allocated (the canvas is left empty).
bool canvas_init(Canvas* canvas, int32_t width, int32_t height);
void canvas_free(Canvas* canvas);

void clip_reset(Canvas* canvas);
// Replaces the clip with the rectangle's intersection with the canvas.
void clip_set(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h);

void fill_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, Pixel colour);
void draw_frame(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t thickness,
                Pixel colour);
void fill_hatched(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t step,
                  Pixel colour);
void fill_round_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t radius,
                     Pixel fill, int32_t border_width, Pixel border);
void draw_cursor(Canvas* canvas, int32_t x, int32_t y, int32_t scale);

} // namespace kv

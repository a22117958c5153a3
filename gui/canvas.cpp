// The canvas, its clip and the primitives that only set pixels: filled
// rectangles, frames and hatching.
#include "gui/canvas.h"

#include "gui/fill_row.h"
#include "platform/memory.h"

namespace kv {

namespace {

int64_t max64(int64_t a, int64_t b) {
    return a > b ? a : b;
}
int64_t min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}

// Band positions computed in 64 bits and brought back into range: a
// coordinate clamped at either end still lies outside every canvas, so the
// clipping comes out the same.
int32_t saturate(int64_t v) {
    return int32_t(min64(max64(v, INT32_MIN), INT32_MAX));
}

void empty(Canvas* canvas) {
    canvas->pixels = nullptr;
    canvas->width = canvas->height = 0;
    canvas->clip_x = canvas->clip_y = canvas->clip_w = canvas->clip_h = 0;
}

} // namespace

bool canvas_init(Canvas* canvas, int32_t width, int32_t height) {
    empty(canvas);
    if (width < 0 || height < 0) return false;
    // The back buffer is the largest allocation of the program, so running
    // out here is an ordinary outcome, reported rather than fatal.
    void* pixels = malloc(size_t(width) * size_t(height) * sizeof(Pixel));
    if (!pixels) return false;
    canvas->pixels = static_cast<Pixel*>(pixels);
    canvas->width = width;
    canvas->height = height;
    clip_reset(canvas);
    return true;
}

void canvas_free(Canvas* canvas) {
    free(canvas->pixels);
    empty(canvas);
}

void clip_reset(Canvas* canvas) {
    canvas->clip_x = 0;
    canvas->clip_y = 0;
    canvas->clip_w = canvas->width;
    canvas->clip_h = canvas->height;
}

void clip_set(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    int64_t left = max64(0, x), top = max64(0, y);
    int64_t right = min64(canvas->width, int64_t(x) + w);
    int64_t bottom = min64(canvas->height, int64_t(y) + h);
    // An empty clip still lies inside the canvas: its corner is clamped too.
    canvas->clip_x = int32_t(min64(left, canvas->width));
    canvas->clip_y = int32_t(min64(top, canvas->height));
    canvas->clip_w = int32_t(max64(0, right - left));
    canvas->clip_h = int32_t(max64(0, bottom - top));
}

bool clip_rect(const Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, ClipBox* box) {
    int64_t x0 = max64(x, canvas->clip_x);
    int64_t y0 = max64(y, canvas->clip_y);
    int64_t x1 = min64(int64_t(x) + w, int64_t(canvas->clip_x) + canvas->clip_w);
    int64_t y1 = min64(int64_t(y) + h, int64_t(canvas->clip_y) + canvas->clip_h);
    if (x0 >= x1 || y0 >= y1) return false;
    *box = ClipBox{int32_t(x0), int32_t(y0), int32_t(x1), int32_t(y1)};
    return true;
}

void fill_rect(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, Pixel colour) {
    ClipBox box;
    if (!clip_rect(canvas, x, y, w, h, &box)) return;
    for (int32_t py = box.y0; py < box.y1; py++)
        fill_row(canvas->pixels + int64_t(py) * canvas->width + box.x0, box.x1 - box.x0, colour);
}

void draw_frame(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t thickness,
                Pixel colour) {
    int32_t t = thickness;
    int32_t half = (w < h ? w : h) / 2;
    if (half < t) t = half + 1;
    int32_t bottom = saturate(int64_t(y) + h - t);
    int32_t right = saturate(int64_t(x) + w - t);
    int32_t side_y = saturate(int64_t(y) + t);
    int32_t side_h = saturate(int64_t(h) - 2 * int64_t(t));
    fill_rect(canvas, x, y, w, t, colour);
    fill_rect(canvas, x, bottom, w, t, colour);
    fill_rect(canvas, x, side_y, t, side_h, colour);
    fill_rect(canvas, right, side_y, t, side_h, colour);
}

void fill_hatched(Canvas* canvas, int32_t x, int32_t y, int32_t w, int32_t h, int32_t step,
                  Pixel colour) {
    if (step <= 1) return;
    ClipBox box;
    if (!clip_rect(canvas, x, y, w, h, &box)) return;
    for (int32_t py = box.y0; py < box.y1; py++) {
        Pixel* row = canvas->pixels + int64_t(py) * canvas->width;
        // The first column of the row whose (px + py) is a multiple of step.
        int32_t rem = int32_t((int64_t(box.x0) + py) % step);
        int64_t px = box.x0 + (rem == 0 ? 0 : step - rem);
        for (; px < box.x1; px += step)
            row[px] = colour;
    }
}

} // namespace kv

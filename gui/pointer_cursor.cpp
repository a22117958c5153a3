// Two small copies per pointer movement instead of a full-screen one.
#include "gui/pointer_cursor.h"

#include "gui/graphics.h"
#include "platform/strings.h"

namespace kv {

namespace {

struct Extent {
    int32_t w, h;
};

// The part of the cursor's box at (x, y) that lies on the screen.
Extent on_screen(const Canvas* back, const Canvas* pointer, int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x >= back->width || y >= back->height) return Extent{0, 0};
    int32_t w = back->width - x, h = back->height - y;
    return Extent{w < pointer->width ? w : pointer->width,
                  h < pointer->height ? h : pointer->height};
}

} // namespace

bool pointer_canvas_init(Canvas* pointer, int32_t scale) {
    if (scale < 1) scale = 1;
    return canvas_init(pointer, kCursorCellsWide * scale, kCursorCellsHigh * scale);
}

void pointer_draw(const Canvas* back, Canvas* pointer, int32_t x, int32_t y, int32_t scale) {
    Extent e = on_screen(back, pointer, x, y);
    if (e.w <= 0 || e.h <= 0) return;
    for (int32_t row = 0; row < e.h; row++)
        memcpy(pointer->pixels + int64_t(row) * pointer->width,
               back->pixels + int64_t(y + row) * back->width + x, size_t(e.w) * sizeof(Pixel));
    draw_cursor(pointer, 0, 0, scale);
    blit_to_screen(pointer->pixels, pointer->width, 0, 0, x, y, e.w, e.h);
}

void pointer_erase(const Canvas* back, const Canvas* pointer, int32_t x, int32_t y) {
    Extent e = on_screen(back, pointer, x, y);
    if (e.w <= 0 || e.h <= 0) return;
    blit_to_screen(back->pixels, back->width, x, y, x, y, e.w, e.h);
}

} // namespace kv

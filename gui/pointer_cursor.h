// The mouse cursor over the picture on screen. The back buffer never holds
// the cursor: it is composed in a small pointer canvas from the back buffer
// under it and copied to the screen, and erased by copying that part of the
// back buffer again. Both copies stop at the screen's right and bottom edges.
#pragma once

#include <stdint.h>

#include "gui/canvas.h"

namespace kv {

// A canvas just large enough for the cursor at this scale; false when it
// cannot be allocated.
bool pointer_canvas_init(Canvas* pointer, int32_t scale);

// Shows the cursor with its hot spot at (x, y) of the back buffer, which is
// the size of the screen.
void pointer_draw(const Canvas* back, Canvas* pointer, int32_t x, int32_t y, int32_t scale);
// Puts back what the cursor at (x, y) covered.
void pointer_erase(const Canvas* back, const Canvas* pointer, int32_t x, int32_t y);

} // namespace kv

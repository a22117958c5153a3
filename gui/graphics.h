// The screen: taking it over from the text console, giving it back, and
// copying pixels to it through the firmware's graphics output.
#pragma once

#include <stdint.h>

#include "gui/canvas.h"

namespace kv {

// Finds the graphics output (the console's own first, else any in the
// system) and takes over the screen in the mode it is in: the mode is never
// changed. False, with nothing changed, when there is none, it tells no
// mode, or the mode is smaller than 640 x 480. Hides the text cursor.
bool graphics_start(int32_t* width, int32_t* height);
// Clears the text console and shows the text cursor again if it was
// visible before graphics started. Nothing when graphics are not active.
void graphics_end();
bool graphics_active();

// Copies the w x h rectangle at (source_x, source_y) of a pixel buffer
// whose rows are `stride` pixels apart to (destination_x, destination_y) on
// the screen. Nothing when graphics are not active, the rectangle is empty
// or a coordinate is negative; the firmware refuses rectangles that leave
// the screen and its answer is not needed.
void blit_to_screen(const Pixel* pixels, int32_t stride, int32_t source_x, int32_t source_y,
                    int32_t destination_x, int32_t destination_y, int32_t w, int32_t h);

// How much the mouse cursor is enlarged on a screen this many pixels tall.
int32_t screen_scale(int32_t height);

} // namespace kv

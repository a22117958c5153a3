// The font specimen: every size and weight of the embedded font, the whole
// character set at the text sizes, and a kerning line at each size. The
// same code draws it on real firmware and on the simulated screen, so the
// two pictures can be compared pixel for pixel.
#pragma once

#include "gui/canvas.h"

namespace kv {

constexpr int32_t kSpecimenWidth = 1280;
constexpr int32_t kSpecimenHeight = 800;

// Paints the specimen into a canvas of at least the specimen's size; false
// when the font does not load.
bool specimen_draw(Canvas* canvas);
// Takes over the screen and draws the specimen at its top-left corner,
// leaving graphics active; false without a font, a screen of the specimen's
// size or memory.
bool specimen_show();

} // namespace kv

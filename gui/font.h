// The embedded bitmap font: validation of the blob, size choice, and the one
// walk that measures and draws UTF-8 text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "gui/canvas.h"

namespace kv {

// One pixel size of one weight, pointing into the font blob.
struct FontSize {
    uint8_t pixel_size;
    bool bold;
    uint8_t ascent;
    uint8_t descent;
    uint8_t line_height;
    const uint8_t* metrics; // glyph_count records of 12 bytes
    const uint8_t* kerning; // kerning_count pairs of 4 bytes, sorted
    uint32_t kerning_count;
};

// Validates the embedded font once; false leaves the graphical front end off.
bool font_load();
// Validates and installs another blob in place of the embedded one (the
// bytes are untrusted and must outlive the font). On failure no font is
// loaded.
bool font_load_blob(const uint8_t* blob, size_t length);

// Index of a code point in the font, or -1.
int32_t glyph_index(uint32_t cp);
// The largest size of that weight not above pixel_size, else the smallest
// above it; null when no size has that weight or no font is loaded.
const FontSize* font_pick(int32_t pixel_size, bool bold);
int32_t font_pixel_size(const FontSize* size);
int32_t font_line_height(const FontSize* size);

// Draws text with the top of its line box at y and the pen starting at x;
// returns where the pen ended, in whole pixels, clipped or not.
int32_t text_draw(Canvas* canvas, int32_t x, int32_t y, const FontSize* size, Pixel colour,
                  const char* text);
// The advance width of text in whole pixels.
int32_t text_width(const FontSize* size, const char* text);
// Draws text in at most max_width pixels: a text too wide keeps as many
// whole characters as fit before an ellipsis ("\u2026"), with no space
// left before it; when not even the ellipsis fits, nothing is drawn.
// Returns where the pen ended.
int32_t text_draw_fitted(Canvas* canvas, int32_t x, int32_t y, const FontSize* size, Pixel colour,
                         const char* text, int32_t max_width);

} // namespace kv

// The mouse cursor: an arrow of black outline and white body, drawn cell by
// cell so that it can be enlarged on very tall screens.
#include "gui/canvas.h"

namespace kv {

namespace {

// 'B' black, 'W' white, anything else transparent; column 0 is the hot spot's.
// clang-format off
const char* const kCursorRows[kCursorCellsHigh] = {
    "B",
    "BB",
    "BWB",
    "BWWB",
    "BWWWB",
    "BWWWWB",
    "BWWWWWB",
    "BWWWWWWB",
    "BWWWWWWWB",
    "BWWWWWWWWB",
    "BWWWWWWWWWB",
    "BWWWWWWBBBBB",
    "BWWWBWWB",
    "BWWBBWWB",
    "BWB  BWWB",
    "BB   BWWB",
    "B     BWWB",
    "      BWWB",
    "       BB",
};
// clang-format on

constexpr Pixel kBlack = 0x000000;
constexpr Pixel kWhite = 0xFFFFFF;

} // namespace

void draw_cursor(Canvas* canvas, int32_t x, int32_t y, int32_t scale) {
    if (scale < 1) scale = 1;
    for (int32_t row = 0; row < kCursorCellsHigh; row++) {
        const char* cells = kCursorRows[row];
        for (int32_t col = 0; cells[col]; col++) {
            if (cells[col] != 'B' && cells[col] != 'W') continue;
            fill_rect(canvas, int32_t(x + int64_t(col) * scale), int32_t(y + int64_t(row) * scale),
                      scale, scale, cells[col] == 'B' ? kBlack : kWhite);
        }
    }
}

} // namespace kv

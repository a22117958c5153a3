// The simulated console's grid drawn on an ANSI terminal: each cell's
// character in its attribute's colours (16 foreground, 8 background), the
// cursor where the console has it, shown or hidden as the console says.
// After the first drawing only the cells that changed are sent again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct ScreenCell {
    char16_t ch = u' ';
    uint8_t attribute = 0x07;
};

inline bool operator==(const ScreenCell& a, const ScreenCell& b) {
    return a.ch == b.ch && a.attribute == b.attribute;
}

struct ScreenImage {
    size_t columns = 0;
    size_t rows = 0;
    std::vector<ScreenCell> cells; // row after row
    size_t cursor_column = 0;
    size_t cursor_row = 0;
    bool cursor_visible = false;
};

// The simulated console as it stands.
ScreenImage capture_screen();

// The grid as plain UTF-8 text: one line per row, trailing blanks removed,
// controls shown as '?'.
std::string screen_as_text(const ScreenImage& screen);

// What a terminal shows for one cell: controls become '?' so that nothing a
// program writes can drive the terminal; lone surrogates become U+FFFD.
char16_t printable_unit(char16_t ch);

class ScreenPainter {
  public:
    // The terminal's contents are unknown (first drawing, after a resize or
    // after the process was stopped and continued): clear and draw it all.
    void invalidate() { valid_ = false; }

    // The escape sequences and text that turn the terminal from what the
    // last paint left into `screen`. Cells beyond the terminal's size are
    // left out.
    std::string paint(const ScreenImage& screen, size_t terminal_columns, size_t terminal_rows);

  private:
    ScreenImage shown_;
    bool valid_ = false;
};

} // namespace sim

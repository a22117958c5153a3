#include "sim/terminal_screen.h"

#include <algorithm>
#include <cstdio>

#include "sim/firmware.h"

namespace sim {
namespace {

constexpr size_t kUnknown = SIZE_MAX;

// The UEFI colour order (black, blue, green, cyan, red, magenta, brown,
// light gray) in ANSI's (black, red, green, yellow, blue, magenta, cyan,
// white).
const int kAnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};

std::string colours(uint8_t attribute) {
    int foreground = attribute & 0x0F;
    int background = (attribute >> 4) & 0x07;
    int fg = foreground < 8 ? 30 + kAnsiColour[foreground] : 90 + kAnsiColour[foreground - 8];
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[0;%d;%dm", fg, 40 + kAnsiColour[background]);
    return text;
}

std::string move_to(size_t column, size_t row) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[%zu;%zuH", row + 1, column + 1);
    return text;
}

void append_utf8(std::string* out, char16_t unit) {
    uint32_t c = unit;
    if (c < 0x80) {
        *out += char(c);
    } else if (c < 0x800) {
        *out += char(0xC0 | c >> 6);
        *out += char(0x80 | (c & 0x3F));
    } else {
        *out += char(0xE0 | c >> 12);
        *out += char(0x80 | (c >> 6 & 0x3F));
        *out += char(0x80 | (c & 0x3F));
    }
}

} // namespace

ScreenImage capture_screen() {
    ScreenImage s;
    s.columns = screen_columns();
    s.rows = screen_rows();
    s.cells.resize(s.columns * s.rows);
    for (size_t row = 0; row < s.rows; row++) {
        for (size_t column = 0; column < s.columns; column++) {
            ScreenCell& cell = s.cells[row * s.columns + column];
            cell.ch = screen_char(column, row);
            cell.attribute = screen_attribute(column, row);
        }
    }
    const SIMPLE_TEXT_OUTPUT_MODE* mode = system_table()->ConOut->Mode;
    s.cursor_column = size_t(mode->CursorColumn);
    s.cursor_row = size_t(mode->CursorRow);
    s.cursor_visible = console_cursor_visible();
    return s;
}

char16_t printable_unit(char16_t ch) {
    if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F)) return u'?';
    if (ch >= 0xD800 && ch <= 0xDFFF) return u'\uFFFD';
    return ch;
}

std::string screen_as_text(const ScreenImage& screen) {
    std::string out;
    for (size_t row = 0; row < screen.rows; row++) {
        std::string line;
        for (size_t column = 0; column < screen.columns; column++)
            append_utf8(&line, printable_unit(screen.cells[row * screen.columns + column].ch));
        line.erase(line.find_last_not_of(' ') + 1);
        out += line;
        out += '\n';
    }
    return out;
}

std::string ScreenPainter::paint(const ScreenImage& screen, size_t terminal_columns,
                                 size_t terminal_rows) {
    std::string out;
    bool full = !valid_ || shown_.columns != screen.columns || shown_.rows != screen.rows;
    if (full) out += "\x1b[0m\x1b[2J";
    size_t columns = std::min(screen.columns, terminal_columns);
    size_t rows = std::min(screen.rows, terminal_rows);
    int attribute = -1;
    size_t at_column = kUnknown, at_row = kUnknown;
    for (size_t row = 0; row < rows; row++) {
        for (size_t column = 0; column < columns; column++) {
            size_t index = row * screen.columns + column;
            const ScreenCell& cell = screen.cells[index];
            if (!full && shown_.cells[index] == cell) continue;
            if (at_row != row || at_column != column) out += move_to(column, row);
            if (cell.attribute != attribute) {
                out += colours(cell.attribute);
                attribute = cell.attribute;
            }
            char16_t unit = printable_unit(cell.ch);
            append_utf8(&out, unit);
            // Past the last column the terminal holds the cursor in a
            // pending wrap, and a character beyond ASCII may take two cells
            // there: either way the next cell needs an explicit move.
            bool known = unit < 0x80 && column + 1 < terminal_columns;
            at_column = known ? column + 1 : kUnknown;
            at_row = row;
        }
    }
    bool visible =
        screen.cursor_visible && screen.cursor_column < columns && screen.cursor_row < rows;
    if (visible) out += move_to(screen.cursor_column, screen.cursor_row);
    if (full || visible != shown_.cursor_visible) out += visible ? "\x1b[?25h" : "\x1b[?25l";
    shown_ = screen;
    shown_.cursor_visible = visible;
    valid_ = true;
    return out;
}

} // namespace sim

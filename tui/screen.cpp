#include "tui/screen.h"

#include <stdarg.h>

#include "platform/console.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

int g_columns = 80;
int g_rows = 25;

namespace {

constexpr int kMinColumns = 40;
constexpr int kMinRows = 12;
constexpr int kPadPiece = 64;
constexpr size_t kFormatBuffer = 512;

// Output is gathered here so that a field goes to the console in a few
// calls rather than one per character.
struct Out {
    char bytes[256];
    size_t used;
};

void out_flush(Out* o) {
    if (o->used) console_write(o->bytes, o->used);
    o->used = 0;
}

void out_put(Out* o, const char* bytes, size_t n) {
    if (o->used + n > sizeof o->bytes) out_flush(o);
    memcpy(o->bytes + o->used, bytes, n);
    o->used += n;
}

size_t skip_cells(const char* text, size_t cells) {
    return utf8_prefix_bytes(text, strlen(text), cells);
}

// Writes at most `cells` characters of the text and returns how many went
// out. Each character is decoded and encoded again, so what reaches the
// console is exactly what was checked: a control character (or an overlong
// form of one) can never move the cursor, clear a line or scroll the screen.
int write_cells(const char* text, int cells) {
    if (!text || cells <= 0) return 0;
    Out out;
    out.used = 0;
    size_t len = strlen(text);
    int written = 0;
    for (size_t i = 0; i < len && written < cells; written++) {
        size_t step;
        uint32_t cp = utf8_decode(text + i, len - i, &step);
        i += step;
        char enc[4];
        int n;
        // C1 controls too: a terminal behind the firmware's serial console
        // may take U+009B as the start of an escape sequence.
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            enc[0] = '?';
            n = 1;
        } else {
            n = utf8_encode(cp, enc);
        }
        out_put(&out, enc, size_t(n));
    }
    out_flush(&out);
    return written;
}

void write_spaces(int count) {
    char spaces[kPadPiece];
    memset(spaces, ' ', sizeof spaces);
    while (count > 0) {
        int piece = count < kPadPiece ? count : kPadPiece;
        console_write(spaces, size_t(piece));
        count -= piece;
    }
}

} // namespace

int text_cells(const char* text) {
    return text ? int(utf8_count(text, strlen(text))) : 0;
}

void refresh_screen_size() {
    int columns = 80, rows = 25;
    text_size(&columns, &rows);
    g_columns = columns < kMinColumns ? kMinColumns : columns;
    g_rows = rows < kMinRows ? kMinRows : rows;
}

void put_text(int column, int row, int width, int foreground, int background, const char* text) {
    if (row < 0 || row >= g_rows || width <= 0 || column >= g_columns) return;
    if (!text) text = "";
    // A field starting left of the screen loses the cells that lie outside.
    if (column < 0) {
        width += column;
        text += skip_cells(text, size_t(-column));
        column = 0;
        if (width <= 0) return;
    }
    if (column + width > g_columns) width = g_columns - column;
    // Writing the bottom-right cell would scroll the console.
    if (row == g_rows - 1 && column + width >= g_columns) width = g_columns - 1 - column;
    if (width <= 0) return;
    text_set_color(foreground, background);
    text_cursor_to(column, row);
    int written = write_cells(text, width);
    write_spaces(width - written);
}

void put_text_f(int column, int row, int width, int foreground, int background, const char* format,
                ...) {
    char buffer[kFormatBuffer];
    va_list args;
    va_start(args, format);
    vformat(buffer, sizeof buffer, format, args);
    va_end(args);
    put_text(column, row, width, foreground, background, buffer);
}

int put_segment(int column, int end_column, int foreground, int background, const char* text) {
    if (end_column <= column) return column;
    text_set_color(foreground, background);
    return column + write_cells(text, end_column - column);
}

void draw_header(const char* title, const char* right) {
    int right_width = text_cells(right) + 1;
    if (right_width > g_columns) right_width = g_columns;
    int left_width = g_columns - right_width;
    // Without a right text its one space looks the same in the title's
    // colours, and the cursor never has to be placed in column 100: OVMF's
    // serial terminal writes that position as "ESC[01;:0H", which shows as
    // stray text.
    if (right_width == 1) left_width = g_columns;
    put_text_f(0, 0, left_width, COLOR_WHITE, COLOR_BLUE, " %s", title ? title : "");
    if (left_width < g_columns)
        put_text_f(left_width, 0, right_width, COLOR_YELLOW, COLOR_BLUE, "%s ", right ? right : "");
}

void clear_body() {
    for (int row = 1; row <= g_rows - 3; row++)
        put_text(0, row, g_columns, COLOR_LIGHTGRAY, COLOR_BLACK, "");
}

} // namespace kv

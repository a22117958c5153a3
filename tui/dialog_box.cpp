#include "platform/strings.h"
#include "platform/utf.h"
#include "tui/screen.h"

namespace kv {

namespace {

constexpr int kMaxBoxColumns = 74;
constexpr int kMaxLines = 16;
// A line holds at most 70 - 4 cells of at most 4 bytes each, plus the indent.
constexpr size_t kLineBuffer = 2 + 66 * 4 + 1;

struct Line {
    const char* start;
    size_t bytes;
};

struct Wrapped {
    Line lines[kMaxLines];
    int count;
};

bool add_line(Wrapped* w, const char* start, size_t bytes) {
    if (w->count == kMaxLines) return false;
    w->lines[w->count].start = start;
    w->lines[w->count].bytes = bytes;
    w->count++;
    return true;
}

// Wraps one paragraph (no line feed inside) into lines of at most `width`
// characters; false once the line limit is reached.
bool wrap_paragraph(Wrapped* w, const char* p, size_t n, int width) {
    if (n == 0) return add_line(w, p, 0);
    bool continued = false;
    while (n > 0) {
        if (continued) {
            while (n > 0 && *p == ' ') {
                p++;
                n--;
            }
            if (n == 0) return true;
        }
        continued = true;
        size_t fit = utf8_prefix_bytes(p, n, size_t(width));
        if (fit == n) return add_line(w, p, n);
        // The character right after the first `width` may be the space to
        // break at; a space inside a multi-byte character cannot occur.
        size_t cut = n;
        for (size_t i = fit + 1; i-- > 0;) {
            if (p[i] == ' ') {
                cut = i;
                break;
            }
        }
        if (cut == n) {
            if (!add_line(w, p, fit)) return false;
            p += fit;
            n -= fit;
        } else {
            if (!add_line(w, p, cut)) return false;
            p += cut + 1;
            n -= cut + 1;
        }
    }
    return true;
}

void wrap_text(Wrapped* w, const char* text, int width) {
    w->count = 0;
    if (!text) return;
    const char* p = text;
    while (*p) {
        const char* end = strchr(p, '\n');
        size_t n = end ? size_t(end - p) : strlen(p);
        if (!wrap_paragraph(w, p, n, width)) return;
        if (!end) return;
        p = end + 1;
    }
}

void put_line(int column, int row, int width, int fg, int bg, const Line& line) {
    char buffer[kLineBuffer];
    size_t bytes = line.bytes < kLineBuffer - 3 ? line.bytes : kLineBuffer - 3;
    buffer[0] = ' ';
    buffer[1] = ' ';
    memcpy(buffer + 2, line.start, bytes);
    buffer[2 + bytes] = 0;
    put_text(column, row, width, fg, bg, buffer);
}

} // namespace

Box dialog_box(bool warning, const char* title, const char* text, int extra_rows) {
    if (extra_rows < 0) extra_rows = 0;
    int width = (g_columns < kMaxBoxColumns ? g_columns : kMaxBoxColumns) - 4;
    int text_width = width - 4;

    Wrapped wrapped;
    wrap_text(&wrapped, text, text_width);

    Box box;
    box.width = width;
    box.height = wrapped.count + extra_rows + 3;
    box.left = (g_columns - width) / 2;
    box.top = g_rows - box.height > 1 ? (g_rows - box.height) / 2 : 1;
    box.foreground = warning ? COLOR_WHITE : COLOR_BLACK;
    box.background = warning ? COLOR_RED : COLOR_LIGHTGRAY;
    int title_fg = warning ? COLOR_YELLOW : COLOR_WHITE;
    int title_bg = warning ? COLOR_RED : COLOR_BLUE;

    int row = box.top;
    put_text_f(box.left, row++, width, title_fg, title_bg, " %s", title ? title : "");
    put_text(box.left, row++, width, box.foreground, box.background, "");
    for (int i = 0; i < wrapped.count; i++)
        put_line(box.left, row++, width, box.foreground, box.background, wrapped.lines[i]);
    for (int i = 0; i <= extra_rows; i++)
        put_text(box.left, row++, width, box.foreground, box.background, "");
    return box;
}

} // namespace kv

#include "gui/dialog_parts.h"
#include "gui/font.h"
#include "platform/strings.h"

namespace kv {

namespace {

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The length of the next line taken from rest (n bytes, n > 0). The line
// buffer serves as scratch space for the prefixes being measured.
size_t cut_line(const FontSize* font, int32_t width, const char* rest, size_t n, char* scratch) {
    size_t limit = n < kDialogLineSize - 1 ? n : kDialogLineSize - 1;
    size_t first = 0, fits = 0, fits_before_space = 0;
    for (size_t len = 1; len <= limit; len++) {
        if (len < n && is_continuation(rest[len])) continue;
        if (!first) first = len;
        memcpy(scratch, rest, len);
        scratch[len] = 0;
        if (text_width(font, scratch) > width) break;
        fits = len;
        if (len < n && rest[len] == ' ') fits_before_space = len;
    }
    if (fits == n) return n;
    if (fits_before_space) return fits_before_space;
    if (fits) return fits;
    // A lone character wider than the box still gets a line of its own:
    // cutting it in the middle would show a broken character. Stray
    // continuation bytes leave no boundary at all and go one at a time.
    return first ? first : 1;
}

} // namespace

int dialog_wrap(const FontSize* font, int32_t width, const char* text,
                char (*lines)[kDialogLineSize]) {
    int count = 0;
    const char* p = text ? text : "";
    while (*p && count < kDialogLines) {
        const char* end = strchr(p, '\n');
        size_t para = end ? size_t(end - p) : strlen(p);
        const char* rest = p;
        size_t left = para;
        while (left > 0 && count < kDialogLines) {
            char* line = lines[count];
            size_t len = cut_line(font, width, rest, left, line);
            memcpy(line, rest, len);
            line[len] = 0;
            count++;
            rest += len;
            left -= len;
            while (left > 0 && *rest == ' ') {
                rest++;
                left--;
            }
        }
        p += para;
        if (*p == '\n') p++;
    }
    return count;
}

} // namespace kv

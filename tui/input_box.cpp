#include "platform/console.h"
#include "platform/strings.h"
#include "platform/utf.h"
#include "tui/dialogs.h"
#include "tui/screen.h"

namespace kv {

namespace {

struct Field {
    char* text;
    size_t capacity;
    size_t length; // bytes
    size_t cursor; // byte offset, always on a character boundary
    bool selected; // the initial text, which the first typed character replaces
    int column;
    int row;
    int width; // cells
};

// Character boundaries are found by decoding from the start, so that moving
// and counting agree even on malformed bytes.
size_t previous_boundary(const Field* f) {
    size_t at = 0;
    while (at < f->cursor) {
        size_t step;
        utf8_decode(f->text + at, f->length - at, &step);
        if (at + step >= f->cursor) break;
        at += step;
    }
    return at;
}

size_t next_boundary(const Field* f) {
    size_t step;
    utf8_decode(f->text + f->cursor, f->length - f->cursor, &step);
    return f->cursor + step;
}

void remove_bytes(Field* f, size_t from, size_t to) {
    memmove(f->text + from, f->text + to, f->length - to + 1);
    f->length -= to - from;
}

void insert_char(Field* f, uint32_t ch) {
    char enc[4];
    size_t n = size_t(utf8_encode(ch, enc));
    size_t base = f->selected ? 0 : f->length;
    // The terminating zero must still fit.
    if (base + n >= f->capacity) return;
    if (f->selected) {
        f->length = 0;
        f->cursor = 0;
        f->text[0] = 0;
    }
    memmove(f->text + f->cursor + n, f->text + f->cursor, f->length - f->cursor + 1);
    memcpy(f->text + f->cursor, enc, n);
    f->length += n;
    f->cursor += n;
}

void draw_field(const Field* f) {
    int before = int(utf8_count(f->text, f->cursor));
    int offset = before >= f->width ? before - f->width + 1 : 0;
    const char* shown = f->text + utf8_prefix_bytes(f->text, f->length, size_t(offset));
    put_text(f->column, f->row, f->width, COLOR_BLACK, COLOR_LIGHTGRAY, shown);
    if (f->selected) {
        int cells = text_cells(shown);
        if (cells > f->width) cells = f->width;
        put_text(f->column, f->row, cells, COLOR_WHITE, COLOR_BLUE, shown);
    }
    text_cursor_to(f->column + before - offset, f->row);
}

// Applies one editing key; false when the key changed nothing.
bool edit(Field* f, const KeyEvent* key) {
    if (key->ch == 0x08 || key->ch == 0x7F) {
        if (f->cursor == 0) return false;
        size_t from = previous_boundary(f);
        remove_bytes(f, from, f->cursor);
        f->cursor = from;
        return true;
    }
    if (key->ch > 0x1F) {
        insert_char(f, key->ch);
        return true;
    }
    if (key->ch != 0) return false;
    switch (key->scan) {
    case SCAN_LEFT:
        if (f->cursor == 0) return false;
        f->cursor = previous_boundary(f);
        return true;
    case SCAN_RIGHT:
        if (f->cursor == f->length) return false;
        f->cursor = next_boundary(f);
        return true;
    case SCAN_HOME:
        f->cursor = 0;
        return true;
    case SCAN_END:
        f->cursor = f->length;
        return true;
    case SCAN_DELETE:
        if (f->cursor == f->length) return false;
        remove_bytes(f, f->cursor, next_boundary(f));
        return true;
    default:
        return false;
    }
}

// The initial text may come without a terminator inside the buffer; it is
// cut to what fits, at a character boundary.
size_t initial_length(char* buffer, size_t capacity) {
    size_t n = 0;
    while (n < capacity - 1 && buffer[n])
        n++;
    if (buffer[n]) {
        while (n > 0 && (static_cast<unsigned char>(buffer[n]) & 0xC0) == 0x80)
            n--;
        buffer[n] = 0;
    }
    return n;
}

} // namespace

bool input_box(bool warning, const char* title, const char* prompt, char* buffer, size_t capacity) {
    if (g_dialog_hooks) return g_dialog_hooks->input(warning, title, prompt, buffer, capacity);
    if (!buffer || capacity == 0) return false;

    Box box = dialog_box(warning, title, prompt, 2);
    Field f;
    f.text = buffer;
    f.capacity = capacity;
    f.length = initial_length(buffer, capacity);
    f.cursor = f.length;
    f.selected = true;
    f.column = box.left + 2;
    f.row = box.top + box.height - 2;
    f.width = box.width - 4;
    put_text(box.left + 2, box.top + box.height - 1, box.width - 4, box.foreground, box.background,
             "Enter OK    Esc Cancel");

    text_cursor_show(true);
    bool accepted;
    for (;;) {
        draw_field(&f);
        KeyEvent key;
        wait_key(&key);
        if (is_enter_key(&key)) {
            accepted = true;
            break;
        }
        if (is_escape_key(&key)) {
            accepted = false;
            break;
        }
        if (edit(&f, &key)) f.selected = false;
    }
    text_cursor_show(false);
    return accepted;
}

} // namespace kv

#include "tui/text_edit.h"

#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

// Character boundaries are found by decoding from the start, so that moving
// and counting agree even on malformed bytes.
size_t previous_boundary(const TextEdit* e) {
    size_t at = 0;
    while (at < e->cursor) {
        size_t step;
        utf8_decode(e->text + at, e->length - at, &step);
        if (at + step >= e->cursor) break;
        at += step;
    }
    return at;
}

size_t next_boundary(const TextEdit* e) {
    size_t step;
    utf8_decode(e->text + e->cursor, e->length - e->cursor, &step);
    return e->cursor + step;
}

void remove_bytes(TextEdit* e, size_t from, size_t to) {
    memmove(e->text + from, e->text + to, e->length - to + 1);
    e->length -= to - from;
}

void insert_char(TextEdit* e, uint32_t ch) {
    char enc[4];
    size_t n = size_t(utf8_encode(ch, enc));
    size_t base = e->selected ? 0 : e->length;
    if (base + n >= e->capacity) return;
    if (e->selected) {
        e->length = 0;
        e->cursor = 0;
        e->text[0] = 0;
    }
    memmove(e->text + e->cursor + n, e->text + e->cursor, e->length - e->cursor + 1);
    memcpy(e->text + e->cursor, enc, n);
    e->length += n;
    e->cursor += n;
}

bool apply(TextEdit* e, const KeyEvent* key) {
    if (key->ch == 0x08 || key->ch == 0x7F) {
        if (e->cursor == 0) return false;
        size_t from = previous_boundary(e);
        remove_bytes(e, from, e->cursor);
        e->cursor = from;
        return true;
    }
    if (key->ch > 0x1F) {
        insert_char(e, key->ch);
        return true;
    }
    if (key->ch != 0) return false;
    switch (key->scan) {
    case SCAN_LEFT:
        if (e->cursor == 0) return false;
        e->cursor = previous_boundary(e);
        return true;
    case SCAN_RIGHT:
        if (e->cursor == e->length) return false;
        e->cursor = next_boundary(e);
        return true;
    case SCAN_HOME:
        e->cursor = 0;
        return true;
    case SCAN_END:
        e->cursor = e->length;
        return true;
    case SCAN_DELETE:
        if (e->cursor == e->length) return false;
        remove_bytes(e, e->cursor, next_boundary(e));
        return true;
    default:
        return false;
    }
}

} // namespace

void text_edit_init(TextEdit* edit, char* buffer, size_t capacity) {
    size_t n = 0;
    while (n < capacity - 1 && buffer[n])
        n++;
    if (buffer[n]) {
        n = utf8_whole_prefix(buffer, n);
        buffer[n] = 0;
    }
    edit->text = buffer;
    edit->capacity = capacity;
    edit->length = n;
    edit->cursor = n;
    edit->selected = true;
}

bool text_edit_key(TextEdit* edit, const KeyEvent* key) {
    if (!apply(edit, key)) return false;
    edit->selected = false;
    return true;
}

} // namespace kv

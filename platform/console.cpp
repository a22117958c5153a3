#include "platform/console.h"

#include "platform/globals.h"
#include "platform/utf.h"

namespace kv {

namespace {

// The text goes out in bounded pieces so that writing needs no heap: fatal
// writes through here when the heap is exhausted.
constexpr size_t kChunkUnits = 254;

struct Chunk {
    CHAR16 units[kChunkUnits + 1];
    size_t used;
};

void chunk_flush(Chunk* c) {
    if (c->used == 0) return;
    c->units[c->used] = 0;
    g_st->ConOut->OutputString(g_st->ConOut, c->units);
    c->used = 0;
}

void chunk_put(Chunk* c, CHAR16 unit) {
    if (c->used == kChunkUnits) chunk_flush(c);
    c->units[c->used++] = unit;
}

} // namespace

void console_write(const char* bytes, size_t n) {
    if (n == 0 || !bytes || !g_st || !g_st->ConOut) return;
    Chunk chunk;
    chunk.used = 0;
    for (size_t i = 0; i < n;) {
        size_t step;
        uint32_t cp = utf8_decode(bytes + i, n - i, &step);
        i += step;
        if (cp == '\n') {
            chunk_put(&chunk, u'\r');
            chunk_put(&chunk, u'\n');
        } else {
            // The console has no use for surrogate pairs.
            chunk_put(&chunk, static_cast<CHAR16>(cp > 0xFFFF ? 0xFFFD : cp));
        }
    }
    chunk_flush(&chunk);
}

void text_clear() {
    g_st->ConOut->ClearScreen(g_st->ConOut);
}

void text_set_color(int foreground, int background) {
    UINTN attribute = (unsigned(foreground) & 0x0F) | ((unsigned(background) << 4) & 0x70);
    g_st->ConOut->SetAttribute(g_st->ConOut, attribute);
}

void text_restore_attribute() {
    g_st->ConOut->SetAttribute(g_st->ConOut, g_saved_attribute);
}

void text_cursor_to(int column, int row) {
    // Negative positions become huge ones, which the firmware refuses.
    g_st->ConOut->SetCursorPosition(g_st->ConOut, UINTN(column), UINTN(row));
}

void text_cursor_show(bool visible) {
    g_st->ConOut->EnableCursor(g_st->ConOut, visible ? TRUE : FALSE);
}

} // namespace kv

#include "platform/console.h"
#include "platform/globals.h"

namespace kv {

namespace {

constexpr int kFallbackColumns = 80;
constexpr int kFallbackRows = 25;

bool query_mode(int mode, UINTN* columns, UINTN* rows) {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = g_st->ConOut;
    return !EFI_ERROR(out->QueryMode(out, UINTN(mode), columns, rows));
}

} // namespace

void text_size(int* columns, int* rows) {
    UINTN c = 0, r = 0;
    if (query_mode(text_mode_current(), &c, &r)) {
        *columns = int(c);
        *rows = int(r);
    } else {
        *columns = kFallbackColumns;
        *rows = kFallbackRows;
    }
}

int text_mode_current() {
    return g_st->ConOut->Mode->Mode;
}

bool text_mode_choose(int min_columns, int min_rows) {
    int best = -1;
    UINTN best_columns = 0, best_rows = 0;
    UINTN want_columns = min_columns > 0 ? UINTN(min_columns) : 0;
    UINTN want_rows = min_rows > 0 ? UINTN(min_rows) : 0;
    int max_mode = g_st->ConOut->Mode->MaxMode;
    for (int mode = 0; mode < max_mode; mode++) {
        UINTN columns = 0, rows = 0;
        // Firmware lists modes it cannot show (OVMF's 80 x 50 on VGA), so a
        // failed query is an ordinary gap in the list.
        if (!query_mode(mode, &columns, &rows)) continue;
        if (columns < want_columns || rows < want_rows) continue;
        bool smaller =
            best < 0 || columns < best_columns || (columns == best_columns && rows < best_rows);
        if (!smaller) continue;
        best = mode;
        best_columns = columns;
        best_rows = rows;
    }
    if (best < 0 || best == text_mode_current()) return false;
    return !EFI_ERROR(g_st->ConOut->SetMode(g_st->ConOut, UINTN(best)));
}

void text_mode_set(int mode) {
    if (mode < 0 || mode == text_mode_current()) return;
    g_st->ConOut->SetMode(g_st->ConOut, UINTN(mode));
}

} // namespace kv

#include "platform/console.h"
#include "platform/strings.h"
#include "tui/screen.h"

namespace kv {

namespace {

enum class Layout { TitledPadded, TitledBare, Bare };

int bar_width(const KeyBar* bar, Layout layout, int title_column) {
    int width = 1;
    if (layout != Layout::Bare) width += title_column;
    for (int i = 0; i < bar->count; i++) {
        width += text_cells(bar->pairs[i].key) + text_cells(bar->pairs[i].label) + 1;
        if (layout == Layout::TitledPadded) width += 2;
        if (i + 1 < bar->count) width += 2;
    }
    return width;
}

bool fits(const KeyBar* upper, const KeyBar* lower, Layout layout, int title_column) {
    if (bar_width(upper, layout, title_column) >= g_columns) return false;
    return !lower || bar_width(lower, layout, title_column) < g_columns;
}

void draw_bar(int row, const KeyBar* bar, Layout layout, int title_column) {
    // The last column stays untouched on both rows, as the bottom-right cell
    // must on the last one.
    int end = g_columns - 1;
    int column = 1;
    put_text(0, row, 1, COLOR_BLACK, COLOR_LIGHTGRAY, "");
    if (layout != Layout::Bare) {
        put_text(column, row, title_column, COLOR_BLACK, COLOR_LIGHTGRAY, bar->title);
        column += title_column;
    }
    if (column >= end) return;
    text_cursor_to(column, row);
    for (int i = 0; i < bar->count; i++) {
        const KeyHint& hint = bar->pairs[i];
        if (layout == Layout::TitledPadded)
            column = put_segment(column, end, COLOR_WHITE, COLOR_BLUE, " ");
        column = put_segment(column, end, COLOR_WHITE, COLOR_BLUE, hint.key);
        if (layout == Layout::TitledPadded)
            column = put_segment(column, end, COLOR_WHITE, COLOR_BLUE, " ");
        column = put_segment(column, end, COLOR_BLACK, COLOR_LIGHTGRAY, " ");
        column = put_segment(column, end, COLOR_BLACK, COLOR_LIGHTGRAY, hint.label);
        if (i + 1 < bar->count)
            column = put_segment(column, end, COLOR_BLACK, COLOR_LIGHTGRAY, "  ");
    }
    put_text(column, row, end - column, COLOR_BLACK, COLOR_LIGHTGRAY, "");
}

} // namespace

void draw_key_bars(const KeyBar* upper, const KeyBar* lower) {
    if (!upper) return;
    int widest = text_cells(upper->title);
    if (lower && text_cells(lower->title) > widest) widest = text_cells(lower->title);
    int title_column = widest + 1;

    Layout layout = Layout::Bare;
    if (fits(upper, lower, Layout::TitledPadded, title_column))
        layout = Layout::TitledPadded;
    else if (fits(upper, lower, Layout::TitledBare, title_column))
        layout = Layout::TitledBare;

    if (lower) {
        draw_bar(g_rows - 2, upper, layout, title_column);
        draw_bar(g_rows - 1, lower, layout, title_column);
    } else {
        put_text(0, g_rows - 2, g_columns, COLOR_BLACK, COLOR_LIGHTGRAY, "");
        draw_bar(g_rows - 1, upper, layout, title_column);
    }
}

} // namespace kv

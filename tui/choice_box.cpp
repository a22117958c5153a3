#include "platform/strings.h"
#include "tui/dialogs.h"
#include "tui/screen.h"

namespace kv {

namespace {

constexpr int kMinChoiceWidth = 29;

struct List {
    int count;
    int visible;
    int selected;
    int first; // first visible item
};

void follow_selection(List* l) {
    if (l->selected < l->first) l->first = l->selected;
    if (l->selected >= l->first + l->visible) l->first = l->selected - l->visible + 1;
}

int clamp_index(int index, int count) {
    if (index < 0) return 0;
    return index >= count ? count - 1 : index;
}

} // namespace

int choice_box(const char* title, const char* const* items, int count, int initial) {
    if (g_dialog_hooks) return g_dialog_hooks->choice(title, items, count, initial);
    // An empty list has nothing that Enter could return.
    if (!items || count <= 0) return -1;

    int width = kMinChoiceWidth;
    for (int i = 0; i < count; i++)
        if (text_cells(items[i]) + 6 > width) width = text_cells(items[i]) + 6;
    if (text_cells(title) + 4 > width) width = text_cells(title) + 4;
    int left;
    if (width >= g_columns - 4) {
        width = g_columns - 4;
        left = 2;
    } else {
        left = (g_columns - width) / 2;
    }

    List l;
    l.count = count;
    l.visible = count < g_rows - 6 ? count : g_rows - 6;
    if (l.visible < 1) l.visible = 1;
    l.selected = initial >= 0 && initial < count ? initial : 0;
    l.first = 0;
    int top = g_rows - l.visible > 4 ? (g_rows - l.visible - 3) / 2 : 1;

    put_text_f(left, top, width, COLOR_WHITE, COLOR_BLUE, " %s", title ? title : "");
    put_text(left, top + l.visible + 1, width, COLOR_BLACK, COLOR_LIGHTGRAY,
             "  Enter Choose   Esc Cancel");
    for (;;) {
        follow_selection(&l);
        for (int r = 0; r < l.visible; r++) {
            int index = l.first + r;
            bool on = index == l.selected;
            put_text_f(left, top + 1 + r, width, on ? COLOR_WHITE : COLOR_BLACK,
                       on ? COLOR_BLUE : COLOR_LIGHTGRAY, "  %s", items[index] ? items[index] : "");
        }
        KeyEvent key;
        wait_key(&key);
        if (is_enter_key(&key)) return l.selected;
        if (is_escape_key(&key)) return -1;
        if (key.ch != 0) continue;
        switch (key.scan) {
        case SCAN_UP:
            l.selected = clamp_index(l.selected - 1, count);
            break;
        case SCAN_DOWN:
            l.selected = clamp_index(l.selected + 1, count);
            break;
        case SCAN_PAGE_UP:
            l.selected = clamp_index(l.selected - l.visible, count);
            break;
        case SCAN_PAGE_DOWN:
            l.selected = clamp_index(l.selected + l.visible, count);
            break;
        case SCAN_HOME:
            l.selected = 0;
            break;
        case SCAN_END:
            l.selected = count - 1;
            break;
        default:
            break;
        }
    }
}

} // namespace kv

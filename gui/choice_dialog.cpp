#include "gui/dialog_parts.h"
#include "gui/event_loop.h"
#include "gui/font.h"
#include "gui/trace.h"

namespace kv {

namespace {

constexpr Pixel kTrack = 0xE9ECEF;
constexpr Pixel kThumb = 0x8C959F;
constexpr Pixel kListFrame = 0xD0D7DE;
constexpr int kMostVisible = 14;

struct List {
    const char* const* items;
    int count;
    int visible;
    int selected;
    int first; // first visible item
    int32_t row_height;
    Rect area;
};

void follow_selection(List* l) {
    if (l->selected < l->first) l->first = l->selected;
    if (l->selected >= l->first + l->visible) l->first = l->selected - l->visible + 1;
}

int clamp_index(int index, int count) {
    return index < 0 ? 0 : index >= count ? count - 1 : index;
}

void draw_list(GuiState* gui, const List* l, bool first_drawing) {
    Canvas* c = &gui->back;
    const Rect& a = l->area;
    fill_rect(c, a.x, a.y, a.w, a.h, kWhite);
    clip_set(c, a.x, a.y, a.w, a.h);
    for (int k = 0; k < l->visible && l->first + k < l->count; k++) {
        int index = l->first + k;
        int32_t y = a.y + k * l->row_height;
        bool selected = index == l->selected;
        if (selected) fill_rect(c, a.x, y, a.w, l->row_height, kSelection);
        text_draw(c, a.x + 8, y + 2, gui->font_regular, selected ? kWhite : kDialogText,
                  l->items[index]);
        trace_item(l->items[index], a.x + a.w / 2, y + l->row_height / 2, selected);
    }
    clip_reset(c);
    if (l->count > l->visible) {
        fill_rect(c, a.x + a.w - 5, a.y, 5, a.h, kTrack);
        int32_t thumb = l->visible * a.h / l->count;
        if (thumb < 12) thumb = 12;
        int32_t thumb_y = a.y + (a.h - thumb) * l->first / (l->count - l->visible);
        fill_rect(c, a.x + a.w - 5, thumb_y, 5, thumb, kThumb);
    }
    draw_frame(c, a.x - 1, a.y - 1, a.w + 2, a.h + 2, 1, kListFrame);
    if (first_drawing)
        present_all(gui);
    else
        present_rect(gui, a);
    show_pointer(gui);
    trace_dialog_shown();
}

// The selection after a key, or -2 for a key that does not move in a list.
int moved_selection(const List* l, const KeyEvent* key) {
    if (key->ch != 0) return -2;
    switch (key->scan) {
    case SCAN_UP:
        return clamp_index(l->selected - 1, l->count);
    case SCAN_DOWN:
        return clamp_index(l->selected + 1, l->count);
    case SCAN_PAGE_UP:
        return clamp_index(l->selected - l->visible, l->count);
    case SCAN_PAGE_DOWN:
        return clamp_index(l->selected + l->visible, l->count);
    case SCAN_HOME:
        return 0;
    case SCAN_END:
        return l->count - 1;
    default:
        return -2;
    }
}

} // namespace

int gui_choice(const char* title, const char* const* items, int count, int initial) {
    GuiState* gui = g_gui;
    if (!gui || !items || count <= 0) return -1;
    List l;
    l.items = items;
    l.count = count;
    l.row_height = gui->line_height + 4;
    int fit = (gui->height - 12 * gui->line_height) / l.row_height;
    l.visible = kMostVisible;
    if (count < l.visible) l.visible = count;
    if (fit < l.visible) l.visible = fit;
    if (l.visible < 1) l.visible = 1;
    l.selected = initial >= 0 && initial < count ? initial : 0;
    l.first = 0;
    follow_selection(&l);

    static const char* const keys[] = {"Enter", "Esc"};
    static const char* const labels[] = {"Choose", "Cancel"};
    Dialog d;
    dialog_open(gui, &d, false, title, "", l.visible * l.row_height, 2, keys, labels);
    l.area = d.extra;
    draw_list(gui, &l, true);
    int result;
    for (;;) {
        KeyEvent key;
        if (wait_event(gui, &key, false) == kEventKey) {
            if (is_enter_key(&key)) {
                result = l.selected;
                break;
            }
            if (is_escape_key(&key)) {
                result = -1;
                break;
            }
            int next = moved_selection(&l, &key);
            if (next < 0 || next == l.selected) continue;
            l.selected = next;
            follow_selection(&l);
            draw_list(gui, &l, false);
            continue;
        }
        int button = dialog_button_at(gui, &d);
        if (button >= 0) {
            result = button == 0 ? l.selected : -1;
            break;
        }
        if (rect_contains(l.area, gui->pointer_x, gui->pointer_y)) {
            int index = l.first + (gui->pointer_y - l.area.y) / l.row_height;
            if (index < l.count) {
                result = index;
                break;
            }
        }
    }
    dialog_close(gui, &d);
    return result;
}

} // namespace kv

#include "platform/console.h"
#include "platform/utf.h"
#include "tui/dialogs.h"
#include "tui/screen.h"
#include "tui/text_edit.h"

namespace kv {

namespace {

struct Field {
    TextEdit edit;
    int column;
    int row;
    int width; // cells
};

void draw_field(const Field* f) {
    const TextEdit* e = &f->edit;
    int before = int(utf8_count(e->text, e->cursor));
    int offset = before >= f->width ? before - f->width + 1 : 0;
    const char* shown = e->text + utf8_prefix_bytes(e->text, e->length, size_t(offset));
    put_text(f->column, f->row, f->width, COLOR_BLACK, COLOR_LIGHTGRAY, shown);
    if (e->selected) {
        int cells = text_cells(shown);
        if (cells > f->width) cells = f->width;
        put_text(f->column, f->row, cells, COLOR_WHITE, COLOR_BLUE, shown);
    }
    text_cursor_to(f->column + before - offset, f->row);
}

} // namespace

bool input_box(bool warning, const char* title, const char* prompt, char* buffer, size_t capacity) {
    if (g_dialog_hooks) return g_dialog_hooks->input(warning, title, prompt, buffer, capacity);
    if (!buffer || capacity == 0) return false;

    Box box = dialog_box(warning, title, prompt, 2);
    Field f;
    text_edit_init(&f.edit, buffer, capacity);
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
        text_edit_key(&f.edit, &key);
    }
    text_cursor_show(false);
    return accepted;
}

} // namespace kv

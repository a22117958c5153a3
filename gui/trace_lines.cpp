// The trace's line kinds. Observers parse these lines, so their wording and
// order of fields are fixed.
#include "gui/trace.h"

#include "platform/format.h"

namespace kv {

namespace {

constexpr size_t kDialogTextMax = 599;

const char* text_or_empty(const char* text) {
    return text ? text : "";
}

} // namespace

void trace_pointer_devices(const char* summary) {
    trace("pointer devices: %s", summary);
}

void trace_window(int width, int height, int font_size) {
    trace("window %dx%d font %d", width, height, font_size);
}

void trace_disk(const char* name, const char* kind, const char* size, const char* summary,
                const char* badge, bool open, int x, int y) {
    bool has_badge = badge && *badge;
    trace("disk %s %s %s %s%s%s%s at %d,%d", name, kind, size, summary, has_badge ? ", " : "",
          text_or_empty(badge), open ? " <" : "", x, y);
}

void trace_shows(const char* name, const char* kind, const char* size, const char* table,
                 bool changed, bool needs_repair) {
    trace("shows %s %s %s %s%s%s", name, kind, size, table, changed ? " *" : "",
          needs_repair && !changed ? " needs repair" : "");
}

void trace_row(const TraceRow& row) {
    bool has_last = row.last && *row.last;
    char at[32] = "";
    if (row.on_screen) format(at, sizeof at, " at %d,%d", row.x, row.y);
    trace("row %s %s %s %s%s%s%s%s bar %d,%d", row.number, row.start, row.size, row.type,
          has_last ? " " : "", has_last ? row.last : "", row.selected ? " <" : "", at, row.bar_x,
          row.bar_y);
}

void trace_note(const char* text) {
    trace("note %s", text);
}

void trace_button(const char* key, const char* label, int x, int y, bool hover) {
    trace("button %s %s at %d,%d%s", key, label, x, y, hover ? " hover" : "");
}

void trace_buttons(int rows, int right_edge) {
    trace("buttons %d rows, right edge %d", rows, right_edge);
}

void trace_focus(bool disks) {
    trace("focus %s", disks ? "disks" : "partitions");
}

void trace_message(const char* text) {
    trace("message %s", text);
}

void trace_pointer(int x, int y) {
    trace("pointer %d,%d", x, y);
}

void trace_shown() {
    trace("shown");
}

void trace_dialog(const char* title, bool warning, const char* text) {
    char flat[kDialogTextMax + 1];
    size_t length = 0;
    text = text_or_empty(text);
    while (text[length] && length < kDialogTextMax)
        length++;
    for (size_t i = 0; i < length; i++)
        flat[i] = text[i] == '\n' ? ' ' : text[i];
    flat[length] = 0;
    trace("dialog %s%s: %s", title, warning ? " (warning)" : "", flat);
}

void trace_dbutton(const char* key, const char* label, int x, int y) {
    trace("dbutton %s %s at %d,%d", key, label, x, y);
}

void trace_field(const char* text) {
    trace("field %s", text);
}

void trace_item(const char* text, int x, int y, bool selected) {
    trace("item %s at %d,%d%s", text, x, y, selected ? " <" : "");
}

void trace_dialog_shown() {
    trace("dialog shown");
}

void trace_dialog_closed() {
    trace("dialog closed");
}

void trace_wipe(const char* title, int pass, int percent, const char* detail, int stop_x,
                int stop_y) {
    trace("wipe %s pass %d %d%% %s stop at %d,%d", title, pass, percent, detail, stop_x, stop_y);
}

void trace_closed(bool cursor_visible) {
    trace("closed, text cursor %s", cursor_visible ? "on" : "off");
}

} // namespace kv

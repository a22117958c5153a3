// The screen trace: while the graphical front end runs, every element it
// shows goes out as one line "gui: ..." on the serial port of the firmware
// console, so that an observer can follow the screen and aim clicks at it.
// Silent when the console has no serial port.
//
// Lines wait in memory for the port, oldest first: a UART at 115200 baud
// takes 87 us a byte, several times what a frame costs to draw, so the
// event loop lets them out in slices while it waits for input, and the
// program lets out the rest before it ends. Every line arrives, whole and
// in order.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace kv {

// Bytes of formatted text a line keeps after its "gui: " prefix.
constexpr size_t kTraceTextMax = 394;

// Formats one line and writes it with CR LF. Control characters in the
// formatted text become spaces, so that a text taken from a disk (a GPT
// partition name, say) can never start a line of its own.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vtrace(const char* format, va_list args);

// At most this many bytes wait; a line that would pass the bound first
// waits for older ones to go out, as observers rely on every line.
constexpr size_t kTraceQueueBound = size_t{256} * 1024;

// Whether lines wait for the port.
bool trace_pending();
// Writes one slice of the waiting bytes: a few milliseconds on a slow port.
void trace_drain();
// Writes everything that waits.
void trace_flush();

// A new run on fresh firmware: the port is looked up again at the next
// line. Only the host's tests attach more than one firmware per process.
void trace_reset();

// The line kinds. Positions are the centres of the elements in screen
// pixels; texts are written as they are shown.
void trace_pointer_devices(const char* summary);
void trace_window(int width, int height, int font_size);
// badge: "started from here: read only", "write-protected" or null.
void trace_disk(const char* name, const char* kind, const char* size, const char* summary,
                const char* badge, bool open, int x, int y);
// table: the table kind's name, or "unreadable" when nothing was loaded.
// needs_repair: the table was read with damage that writing it back mends.
void trace_shows(const char* name, const char* kind, const char* size, const char* table,
                 bool changed, bool needs_repair = false);
struct TraceRow {
    const char* number;
    const char* start;
    const char* size;
    const char* type;
    const char* last; // the table's last cell; empty or null when it has none
    bool selected;
    bool on_screen; // the row is drawn in the table at (x, y)
    int x;
    int y;
    int bar_x; // its segment of the usage bar
    int bar_y;
};
void trace_row(const TraceRow& row);
void trace_note(const char* text);
void trace_button(const char* key, const char* label, int x, int y, bool hover);
void trace_buttons(int rows, int right_edge);
// disks: the disk column has the keyboard, else the partition table.
void trace_focus(bool disks);
void trace_message(const char* text);
void trace_pointer(int x, int y);
void trace_shown();
// Line feeds of the text become spaces; the text is cut to 599 bytes.
void trace_dialog(const char* title, bool warning, const char* text);
void trace_dbutton(const char* key, const char* label, int x, int y);
void trace_field(const char* text);
void trace_item(const char* text, int x, int y, bool selected);
void trace_dialog_shown();
void trace_dialog_closed();
void trace_wipe(const char* title, int pass, int percent, const char* detail, int stop_x,
                int stop_y);
void trace_closed(bool cursor_visible);

} // namespace kv

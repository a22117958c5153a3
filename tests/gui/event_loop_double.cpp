// Waiting and pointer motion for the dialog tests until the event loop
// lands: the loop's own rules for a wait without hover tracking.
#include "gui/event_loop.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"

namespace kv {

bool move_pointer(GuiState* gui, const PointerEvent& event) {
    int64_t x, y;
    if (event.absolute) {
        x = int64_t(event.ax) * (gui->width - 1) / 65535;
        y = int64_t(event.ay) * (gui->height - 1) / 65535;
    } else {
        x = int64_t(gui->pointer_x) + event.dx;
        y = int64_t(gui->pointer_y) + event.dy;
    }
    x = x < 0 ? 0 : x > gui->width - 1 ? gui->width - 1 : x;
    y = y < 0 ? 0 : y > gui->height - 1 ? gui->height - 1 : y;
    if (x == gui->pointer_x && y == gui->pointer_y) return false;
    if (gui->pointer_present)
        pointer_erase(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y);
    gui->pointer_x = int32_t(x);
    gui->pointer_y = int32_t(y);
    return true;
}

int wait_event(GuiState* gui, KeyEvent* key, bool) {
    for (;;) {
        if (key_wait(key, 10)) return kEventKey;
        PointerEvent event;
        if (!gui->pointer_present || !pointer_poll(&event)) continue;
        bool press = event.left && !gui->button_down;
        gui->button_down = event.left;
        bool moved = move_pointer(gui, event);
        if (moved) {
            pointer_draw(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y, gui->scale);
            trace_pointer(gui->pointer_x, gui->pointer_y);
        }
        if (press) return kEventClick;
    }
}

} // namespace kv

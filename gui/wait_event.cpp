// Waiting for the next key or click while the pointer moves.
#include "gui/event_loop.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"

namespace kv {

namespace {

constexpr int kKeyPollMs = 10;

int32_t clamp(int64_t v, int32_t limit) {
    if (v < 0) return 0;
    if (v > limit) return limit;
    return int32_t(v);
}

int button_under_pointer(const GuiState* gui) {
    for (int i = 0; i < kButtonCount; i++)
        if (rect_contains(gui->buttons[i], gui->pointer_x, gui->pointer_y)) return i;
    return -1;
}

// The pointer moved: a new hovered button changes the picture, anything
// else only needs the cursor drawn where it now is.
void show_moved_pointer(GuiState* gui, bool track_hover) {
    if (track_hover) {
        int hovered = button_under_pointer(gui);
        if (hovered != gui->hovered_button) {
            gui->hovered_button = hovered;
            render_main_screen(gui);
            return;
        }
    }
    pointer_draw(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y, gui->scale);
    trace_pointer(gui->pointer_x, gui->pointer_y);
}

} // namespace

bool move_pointer(GuiState* gui, const PointerEvent& event) {
    int64_t x, y;
    if (event.absolute) {
        x = int64_t(event.ax) * (gui->width - 1) / 65535;
        y = int64_t(event.ay) * (gui->height - 1) / 65535;
    } else {
        x = int64_t(gui->pointer_x) + event.dx;
        y = int64_t(gui->pointer_y) + event.dy;
    }
    int32_t nx = clamp(x, gui->width - 1);
    int32_t ny = clamp(y, gui->height - 1);
    if (nx == gui->pointer_x && ny == gui->pointer_y) return false;
    if (gui->pointer_present)
        pointer_erase(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y);
    gui->pointer_x = nx;
    gui->pointer_y = ny;
    return true;
}

int wait_event(GuiState* gui, KeyEvent* key, bool track_hover) {
    for (;;) {
        // Waiting trace lines go out a slice at a time between looks at the
        // keys and the pointer, so a slow serial port never holds back the
        // next key; the wait blocks only once they are all out.
        bool draining = trace_pending();
        if (draining) trace_drain();
        if (key_wait(key, draining ? 0 : kKeyPollMs)) return kEventKey;
        if (!gui->pointer_present) continue;
        PointerEvent event;
        if (!pointer_poll(&event)) continue;
        bool press = (event.left && !gui->button_down) || event.pressed;
        gui->button_down = event.left;
        if (move_pointer(gui, event)) show_moved_pointer(gui, track_hover);
        // A press counts where the button went down, moved there or not.
        if (press) return kEventClick;
    }
}

} // namespace kv

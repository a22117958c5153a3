// Starting and leaving the graphical front end, and its main loop.
#include "disk/summary.h"
#include "disk/view.h"
#include "gui/event_loop.h"
#include "gui/graphics.h"
#include "gui/gui_dialogs.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "platform/disks.h"
#include "platform/fatal.h"
#include "platform/memory.h"
#include "platform/rescan.h"
#include "platform/strings.h"
#include "tui/dialogs.h"

namespace kv {

namespace {

void redraw_main_screen(DiskView*) {
    // The hooks get no state: the one running front end is drawn.
    if (g_gui != nullptr) render_main_screen(g_gui);
}

const DialogHooks kGuiDialogHooks = {gui_message, gui_confirm, gui_input, gui_choice};
const ScreenHooks kGuiScreenHooks = {redraw_main_screen, gui_wipe_progress, gui_stop_requested};

} // namespace

bool gui_run() {
    if (!font_load()) return false;
    int32_t width = 0, height = 0;
    if (!graphics_start(&width, &height)) return false;

    // The hooks, which get no state, reach it through g_gui while the loop runs.
    GuiState state;
    GuiState* gui = &state;
    memset(gui, 0, sizeof *gui);
    gui->width = width;
    gui->height = height;
    gui->hovered_button = -1;
    gui->scale = screen_scale(height);
    if (!canvas_init(&gui->back, width, height) ||
        !pointer_canvas_init(&gui->pointer, gui->scale)) {
        canvas_free(&gui->back);
        canvas_free(&gui->pointer);
        graphics_end();
        return false;
    }

    g_gui = gui;
    g_dialog_hooks = &kGuiDialogHooks;
    g_screen_hooks = &kGuiScreenHooks;
    set_fatal_hook(trace_flush);

    gui->pointer_present = pointer_open() > 0;
    trace_pointer_devices(pointer_summary());

    gui->pointer_x = width / 2;
    gui->pointer_y = height / 2;
    gui->current_disk =
        choose_disk_after_rescan(&gui->view, &gui->disks, &gui->disk_count, &gui->summaries);
    // Once, so that a user on a remote console knows why the mouse does
    // nothing; the next key clears it like any status message.
    if (!gui->pointer_present && !gui->view.message[0])
        view_set_message(&gui->view, false, "No mouse or tablet found: keyboard only.");

    for (;;) {
        render_main_screen(gui);
        KeyEvent key;
        if (wait_event(gui, &key, true) == kEventKey) {
            if (!handle_key(gui, key)) break;
        } else if (!handle_click(gui)) {
            break;
        }
    }

    g_gui = nullptr;
    g_dialog_hooks = nullptr;
    g_screen_hooks = nullptr;
    pointer_close();
    view_close(&gui->view);
    gui->view.disk = nullptr;
    release_summaries();
    gui->summaries = nullptr;
    release_disks();
    gui->disks = nullptr;
    gui->disk_count = 0;
    canvas_free(&gui->pointer);
    canvas_free(&gui->back);
    graphics_end();
    trace_closed(console_cursor_visible());
    trace_flush();
    set_fatal_hook(nullptr);
    return true;
}

} // namespace kv

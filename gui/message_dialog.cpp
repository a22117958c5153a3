#include "gui/dialog_parts.h"
#include "gui/event_loop.h"
#include "platform/keyboard.h"
#include "platform/strings.h"
#include "platform/utf.h"
#include "tui/dialogs.h"

namespace kv {

namespace {

constexpr size_t kMessageBytes = 400;

// Copies text into out (kMessageBytes bytes), cut at a character boundary.
void copy_message(char* out, const char* text) {
    size_t n = text ? utf8_cut(text, strlen(text), kMessageBytes - 1) : 0;
    for (size_t i = 0; i < n; i++)
        out[i] = text[i];
    out[n] = 0;
}

} // namespace

void gui_message(bool warning, const char* title, const char* text) {
    GuiState* gui = g_gui;
    if (!gui) return;
    // Error texts begin in lower case; as a message they read as sentences.
    char message[kMessageBytes];
    copy_message(message, text);
    capitalise_sentence(message);

    static const char* const keys[] = {"Enter"};
    static const char* const labels[] = {"OK"};
    Dialog d;
    dialog_open(gui, &d, warning, title, message, 0, 1, keys, labels);
    dialog_show(gui);
    for (;;) {
        KeyEvent key;
        if (wait_event(gui, &key, false) == kEventKey) break;
        if (dialog_button_at(gui, &d) == 0) break;
    }
    dialog_close(gui, &d);
}

bool gui_confirm(bool warning, const char* title, const char* text) {
    GuiState* gui = g_gui;
    if (!gui) return false;
    static const char* const keys[] = {"Y", "N"};
    static const char* const labels[] = {"Yes", "No"};
    Dialog d;
    dialog_open(gui, &d, warning, title, text, 0, 2, keys, labels);
    dialog_show(gui);
    bool yes;
    for (;;) {
        KeyEvent key;
        if (wait_event(gui, &key, false) == kEventKey) {
            if (key.ch == 'Y' || key.ch == 'y') {
                yes = true;
                break;
            }
            if (key.ch == 'N' || key.ch == 'n' || is_escape_key(&key)) {
                yes = false;
                break;
            }
            continue;
        }
        int button = dialog_button_at(gui, &d);
        if (button >= 0) {
            yes = button == 0;
            break;
        }
    }
    dialog_close(gui, &d);
    return yes;
}

} // namespace kv

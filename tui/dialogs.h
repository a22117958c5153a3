// The four modal dialogs and the screen services that commands use, with the
// hook tables through which the graphical front end answers them instead.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "disk/view.h"
#include "platform/keyboard.h"

namespace kv {

struct DialogHooks {
    void (*message)(bool warning, const char* title, const char* text);
    bool (*confirm)(bool warning, const char* title, const char* text);
    bool (*input)(bool warning, const char* title, const char* prompt, char* buffer,
                  size_t capacity);
    int (*choice)(const char* title, const char* const* items, int count, int initial);
};

struct ScreenHooks {
    void (*redraw)(DiskView* view);
    void (*wipe_progress)(const char* title, int pass, int percent, const char* line);
    bool (*stop_requested)();
};

// Null while the text front end draws; the graphical front end sets them for
// the time its event loop runs.
extern const DialogHooks* g_dialog_hooks;
extern const ScreenHooks* g_screen_hooks;

// Waits for a key without limit.
void wait_key(KeyEvent* key);

// Capitalises the first letter unless the text begins with a file path.
void capitalise_sentence(char* text);
// Shows the text (its first letter capitalised) and waits for any key.
void message_box(bool warning, const char* title, const char* text);
// Y or y: true; N, n or Esc: false; other keys are ignored.
bool confirm_box(bool warning, const char* title, const char* text);
// `buffer` holds the initial text and receives the answer (also on cancel).
// True when accepted with Enter.
bool input_box(bool warning, const char* title, const char* prompt, char* buffer, size_t capacity);
// The chosen index, or -1 when cancelled.
int choice_box(const char* title, const char* const* items, int count, int initial);

} // namespace kv

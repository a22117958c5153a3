// PLACEHOLDER: replaced by the dialogs implementation.
#include "tui/dialogs.h"
namespace kv {
const DialogHooks* g_dialog_hooks = nullptr;
const ScreenHooks* g_screen_hooks = nullptr;
void wait_key(KeyEvent* key) { key_wait(key, -1); }
void message_box(bool, const char*, const char*) {}
bool confirm_box(bool, const char*, const char*) { return false; }
bool input_box(bool, const char*, const char*, char*, size_t) { return false; }
int choice_box(const char*, const char* const*, int, int) { return -1; }
} // namespace kv

#include "tui/dialogs.h"

#include "platform/strings.h"
#include "platform/utf.h"
#include "tui/screen.h"

namespace kv {

const DialogHooks* g_dialog_hooks = nullptr;
const ScreenHooks* g_screen_hooks = nullptr;

namespace {

constexpr size_t kMessageBuffer = 400;

// Copies at most size - 1 bytes without splitting a UTF-8 character, so a
// long text is cut at a character boundary.
void copy_text(char* out, size_t size, const char* text) {
    size_t n = text ? utf8_cut(text, strlen(text), size - 1) : 0;
    if (n) memcpy(out, text, n);
    out[n] = 0;
}

} // namespace

void wait_key(KeyEvent* key) {
    while (!key_wait(key, -1)) {
    }
}

// Error texts begin in lower case; in a box they read as sentences. A text
// that begins with a file name keeps it as typed: "Fs0:\..." names nothing.
void capitalise_sentence(char* text) {
    if (text[0] < 'a' || text[0] > 'z') return;
    for (const char* p = text; *p != '\0' && *p != ' '; p++)
        if (p[0] == ':' && p[1] == '\\') return;
    text[0] = char(text[0] - 'a' + 'A');
}

void message_box(bool warning, const char* title, const char* text) {
    if (g_dialog_hooks) {
        g_dialog_hooks->message(warning, title, text);
        return;
    }
    char buffer[kMessageBuffer];
    copy_text(buffer, sizeof buffer, text);
    capitalise_sentence(buffer);
    Box box = dialog_box(warning, title, buffer, 1);
    put_text(box.left + 2, box.top + box.height - 1, box.width - 4, box.foreground, box.background,
             "Press a key.");
    KeyEvent key;
    wait_key(&key);
}

bool confirm_box(bool warning, const char* title, const char* text) {
    if (g_dialog_hooks) return g_dialog_hooks->confirm(warning, title, text);
    dialog_box(warning, title, text, 0);
    for (;;) {
        KeyEvent key;
        wait_key(&key);
        if (key.ch == 'Y' || key.ch == 'y') return true;
        if (key.ch == 'N' || key.ch == 'n' || is_escape_key(&key)) return false;
    }
}

} // namespace kv

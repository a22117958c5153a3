#include "platform/keyboard.h"

#include "platform/globals.h"

namespace kv {

namespace {

constexpr uint32_t kCtrlBits = EFI_LEFT_CONTROL_PRESSED | EFI_RIGHT_CONTROL_PRESSED;
constexpr uint32_t kAltBits = EFI_LEFT_ALT_PRESSED | EFI_RIGHT_ALT_PRESSED;
constexpr UINTN kStallMicroseconds = 1000;

bool is_ascii_letter(uint32_t ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

bool read_ex(KeyEvent* key) {
    EFI_KEY_DATA data = {};
    if (EFI_ERROR(g_con_in_ex->ReadKeyStrokeEx(g_con_in_ex, &data))) return false;
    key->ch = data.Key.UnicodeChar;
    key->scan = data.Key.ScanCode;
    key->mods = 0;
    uint32_t shift = data.KeyState.KeyShiftState;
    if (shift & EFI_SHIFT_STATE_VALID) {
        if (shift & kCtrlBits) key->mods |= KEY_MOD_CTRL;
        if (shift & kAltBits) key->mods |= KEY_MOD_ALT;
    }
    // The extension reports Ctrl+C as 'c' with Ctrl down; the program wants
    // the control code that the plain protocol would have given.
    if ((key->mods & KEY_MOD_CTRL) && is_ascii_letter(key->ch)) key->ch = (key->ch | 0x20) - 0x60;
    // Pressing a modifier alone gives a key with neither character nor scan.
    return key->ch != 0 || key->scan != 0;
}

bool read_plain(KeyEvent* key) {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL* in = g_st->ConIn;
    EFI_INPUT_KEY data = {};
    if (EFI_ERROR(in->ReadKeyStroke(in, &data))) return false;
    key->ch = data.UnicodeChar;
    key->scan = data.ScanCode;
    key->mods = 0;
    return true;
}

// A relative timer for the whole wait, or null when the firmware gives none.
EFI_EVENT start_timer(int timeout_ms) {
    EFI_EVENT timer = nullptr;
    if (EFI_ERROR(g_bs->CreateEvent(EVT_TIMER, TPL_APPLICATION, nullptr, nullptr, &timer)))
        return nullptr;
    if (EFI_ERROR(g_bs->SetTimer(timer, TimerRelative, uint64_t(timeout_ms) * 10000))) {
        g_bs->CloseEvent(timer);
        return nullptr;
    }
    return timer;
}

// Without a timer a finite time-out is kept by counting stalled milliseconds:
// blocking on the key alone would turn a 10 ms poll into an endless wait.
bool stall_for_key(KeyEvent* key, int timeout_ms) {
    for (int elapsed = 0; elapsed < timeout_ms; elapsed++) {
        g_bs->Stall(kStallMicroseconds);
        if (key_poll(key)) return true;
    }
    return false;
}

bool wait_for_key(KeyEvent* key, EFI_EVENT key_event, EFI_EVENT timer) {
    for (;;) {
        EFI_EVENT events[2] = {key_event, timer};
        UINTN index = 0;
        EFI_STATUS status = g_bs->WaitForEvent(timer ? 2 : 1, events, &index);
        if (EFI_ERROR(status)) {
            // WaitForEvent refuses above TPL_APPLICATION; fall back to
            // polling, still bounded by the timer.
            g_bs->Stall(kStallMicroseconds);
            if (key_poll(key)) return true;
            if (timer && g_bs->CheckEvent(timer) == EFI_SUCCESS) return false;
            continue;
        }
        if (index == 1) return key_poll(key);
        // The key event may fire for a report that is no key (Ctrl alone).
        if (key_poll(key)) return true;
    }
}

} // namespace

bool is_enter_key(const KeyEvent* key) {
    return key->ch == '\r' || key->ch == '\n';
}

bool is_escape_key(const KeyEvent* key) {
    return key->scan == SCAN_ESC || key->ch == 0x1B;
}

bool key_poll(KeyEvent* key) {
    bool got = g_con_in_ex ? read_ex(key) : read_plain(key);
    if (!got) *key = KeyEvent{0, 0, 0};
    return got;
}

bool key_wait(KeyEvent* key, int timeout_ms) {
    EFI_EVENT key_event = g_con_in_ex ? g_con_in_ex->WaitForKeyEx : g_st->ConIn->WaitForKey;
    // A time-out of 0 is a pure poll and needs no timer.
    EFI_EVENT timer = timeout_ms > 0 ? start_timer(timeout_ms) : nullptr;
    bool got = key_poll(key);
    if (!got && timeout_ms != 0) {
        if (timeout_ms > 0 && !timer) {
            got = stall_for_key(key, timeout_ms);
        } else {
            got = wait_for_key(key, key_event, timer);
        }
    }
    if (timer) g_bs->CloseEvent(timer);
    return got;
}

} // namespace kv

#include "platform/keyboard.h"

#include "platform/device_path.h"
#include "platform/escape_keys.h"
#include "platform/globals.h"

namespace kv {

namespace {

constexpr uint32_t kCtrlBits = EFI_LEFT_CONTROL_PRESSED | EFI_RIGHT_CONTROL_PRESSED;
constexpr uint32_t kAltBits = EFI_LEFT_ALT_PRESSED | EFI_RIGHT_ALT_PRESSED;
constexpr UINTN kStallMicroseconds = 1000;
// How long the rest of a terminal sequence may lag behind its Esc (and each
// character behind the one before). Short enough that a lone Esc still acts
// at once, long enough for a serial terminal's driver to pass on the rest.
constexpr int kSequenceGapMs = 30;

// A key read while looking for the rest of a sequence that turned out to be
// none; the next read hands it out.
KeyEvent g_pending;
bool g_has_pending;

constexpr int kMaxTerminals = 8;

struct TerminalWatch {
    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* input;
    VOID* notify;
};

TerminalWatch g_terminals[kMaxTerminals];
int g_terminal_count;
// Deletes the terminals reported, counted at the firmware's raised priority,
// and those the reads took for Backspace. Each side writes only its own
// counter, so the reader needs no lock against the notification.
volatile uint32_t g_terminal_deletes;
uint32_t g_deletes_taken;

EFI_STATUS EFIAPI count_terminal_delete(EFI_KEY_DATA*) {
    g_terminal_deletes = g_terminal_deletes + 1;
    return EFI_SUCCESS;
}

bool take_terminal_delete() {
    if (g_deletes_taken == g_terminal_deletes) return false;
    g_deletes_taken++;
    return true;
}

// A Delete with no character is the terminal's Backspace when its driver
// reported one since the last, or when no shift state says it came from a
// keyboard. A terminal's own Delete key arrives as ESC [ 3 ~ and is decoded
// apart from this.
void delete_to_backspace(KeyEvent* key, bool shift_valid) {
    if (key->scan != SCAN_DELETE || key->ch != 0) return;
    if (!take_terminal_delete() && shift_valid) return;
    key->scan = 0;
    key->ch = 0x08;
}

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
    delete_to_backspace(key, (shift & EFI_SHIFT_STATE_VALID) != 0);
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
    delete_to_backspace(key, true);
    return true;
}

bool read_raw(KeyEvent* key) {
    return g_con_in_ex ? read_ex(key) : read_plain(key);
}

bool read_raw_within(KeyEvent* key, int ms) {
    if (read_raw(key)) return true;
    for (int i = 0; i < ms; i++) {
        g_bs->Stall(kStallMicroseconds);
        if (read_raw(key)) return true;
    }
    return false;
}

// After an Esc: the rest of a terminal sequence becomes its key, a sequence
// the program does not know is dropped (false), and anything else leaves
// the Esc as it is, the key after it kept for the next read.
bool follow_escape(KeyEvent* key) {
    EscapeSequence seq;
    escape_begin(&seq);
    KeyEvent next = {};
    bool first = true;
    for (;;) {
        if (!read_raw_within(&next, kSequenceGapMs)) return first;
        if (first && (next.scan != 0 || (next.ch != '[' && next.ch != 'O'))) {
            g_pending = next;
            g_has_pending = true;
            return true;
        }
        first = false;
        if (next.scan != 0 || next.ch == 0) {
            // A decoded key cuts the sequence short: it stands for itself.
            *key = next;
            return true;
        }
        uint16_t scan = 0;
        EscapeResult r = escape_feed(&seq, next.ch, &scan);
        if (r == EscapeResult::Unknown) return false;
        if (r == EscapeResult::Key) {
            *key = KeyEvent{0, scan, 0};
            return true;
        }
    }
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
    if (g_has_pending) {
        *key = g_pending;
        g_has_pending = false;
        return true;
    }
    bool got = read_raw(key);
    if (got && is_escape_key(key)) got = follow_escape(key);
    if (!got) *key = KeyEvent{0, 0, 0};
    return got;
}

void key_forget_pending() {
    g_has_pending = false;
    g_terminal_count = 0;
    g_deletes_taken = g_terminal_deletes;
}

void key_watch_terminals() {
    key_unwatch_terminals();
    EFI_GUID input_ex_guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    if (EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &input_ex_guid, nullptr, &count, &handles)))
        return;
    for (UINTN i = 0; i < count && g_terminal_count < kMaxTerminals; i++) {
        EFI_DEVICE_PATH_PROTOCOL* path = nullptr;
        EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* input = nullptr;
        if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &path_guid, (VOID**)&path)) ||
            !device_path_has_node(path, MESSAGING_DEVICE_PATH, MSG_UART_DP))
            continue;
        if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &input_ex_guid, (VOID**)&input)) || !input)
            continue;
        // A shift state of 0 matches the key whatever the modifiers.
        EFI_KEY_DATA del = {};
        del.Key.ScanCode = SCAN_DELETE;
        VOID* notify = nullptr;
        if (EFI_ERROR(input->RegisterKeyNotify(input, &del, count_terminal_delete, &notify)))
            continue;
        g_terminals[g_terminal_count++] = TerminalWatch{input, notify};
    }
    g_bs->FreePool(handles);
    g_deletes_taken = g_terminal_deletes;
}

void key_unwatch_terminals() {
    for (int i = 0; i < g_terminal_count; i++)
        g_terminals[i].input->UnregisterKeyNotify(g_terminals[i].input, g_terminals[i].notify);
    g_terminal_count = 0;
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

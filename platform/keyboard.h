// Keys from the firmware console, with the Ctrl and Alt state when the
// console's input extension reports it.
#pragma once

#include <stdint.h>

namespace kv {

// UEFI scan codes of the keys the front ends act on.
constexpr uint16_t SCAN_UP = 0x01;
constexpr uint16_t SCAN_DOWN = 0x02;
constexpr uint16_t SCAN_RIGHT = 0x03;
constexpr uint16_t SCAN_LEFT = 0x04;
constexpr uint16_t SCAN_HOME = 0x05;
constexpr uint16_t SCAN_END = 0x06;
constexpr uint16_t SCAN_DELETE = 0x08;
constexpr uint16_t SCAN_PAGE_UP = 0x09;
constexpr uint16_t SCAN_PAGE_DOWN = 0x0A;
constexpr uint16_t SCAN_F5 = 0x0F;
constexpr uint16_t SCAN_ESC = 0x17;

constexpr uint32_t KEY_MOD_CTRL = 1u << 0;
constexpr uint32_t KEY_MOD_ALT = 1u << 1;

struct KeyEvent {
    uint32_t ch;   // Unicode character, Ctrl+letter folded to 1..26; 0 for none
    uint16_t scan; // UEFI scan code as reported
    uint32_t mods; // KEY_MOD_* bits; always 0 without the input extension
};

bool is_enter_key(const KeyEvent* key);
bool is_escape_key(const KeyEvent* key);

// One read that does not wait for a key. Terminal sequences that the
// firmware passes on undecoded (Esc, then '[' or 'O' and the rest as
// characters within a few ms) come back as the key they stand for; unknown
// ones are dropped. Backspace that a serial terminal's driver reports as
// Delete comes back as character 0x08 (see key_watch_terminals). False when
// no key is waiting (or the read failed); *key is then zeroed.
bool key_poll(KeyEvent* key);
// Waits up to timeout_ms for a key: 0 only polls, a negative time-out waits
// without limit. False when the time ran out without a key.
bool key_wait(KeyEvent* key, int timeout_ms);
// Drops a key held back by the sequence decoding and the terminals watched
// (a new firmware binding: the old one's handles are gone).
void key_forget_pending();

// The console splitter gives every key a valid shift state, so a terminal's
// Backspace (DEL, which its driver turns into Delete) looks like a
// keyboard's Delete. Asks each serial terminal's input (a UART on its device
// path) to report its Delete keys, so that a Delete read right after one is
// taken for Backspace. Without such terminals nothing changes; a Delete
// without a valid shift state is Backspace either way.
void key_watch_terminals();
// Withdraws those requests; before the program ends, as the firmware would
// otherwise call into an image that is gone.
void key_unwatch_terminals();

} // namespace kv

// Keys as the simulated console takes them, and the key scripts of the host
// runner: a comma-separated list of tokens that stands for what a person
// would type.
//
//     y               the key of that one character
//     enter esc tab bs del up down left right home end pgup pgdn f5 space
//     ctrl-X          X (a character or a key name) with Ctrl held
//     =512M           types the rest of the token, one key per character
//     poll-esc        a key that also goes to a read that does not wait
//     poll3-esc       ... to the third such read (see ScriptKey::poll_read)
//     move=X,Y        the pointer to pixel (X, Y) of the screen
//     click=X,Y       ... and a press and release of the left button there
//     click:LABEL     a click at the centre the screen trace last gave for
//                     the button, dialog button or list item LABEL
//
// A backslash escapes a comma or a backslash ("\," is the comma key); any
// other use of it is an error. Key names and the ctrl- and poll prefixes
// ignore case; a token of exactly one character is always that character.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One key stroke: a UEFI scan code, a UCS-2 character and the shift state
// the input extension reports (0: none reported).
struct KeyStroke {
    uint16_t scan = 0;
    char16_t ch = 0;
    uint32_t shift = 0;
};

inline bool operator==(const KeyStroke& a, const KeyStroke& b) {
    return a.scan == b.scan && a.ch == b.ch && a.shift == b.shift;
}

// The shift state of a key pressed with Left Ctrl, as OVMF reports it.
constexpr uint32_t kShiftCtrl = 0x80000008u;

enum class PointerAction { None, Move, Click, ClickLabel };

struct ScriptKey {
    KeyStroke key;
    // A pointer token instead of a key: the position, or the label whose
    // centre is looked up when the token's turn comes.
    PointerAction pointer = PointerAction::None;
    int x = 0;
    int y = 0;
    std::string label;
    std::string token; // as written, for messages
    // 0: the key is handed over only when the program waits for one.
    // n: also at the nth read that finds no key, counted from when the key
    // before it was handed over, so that a program which only polls between
    // pieces of long work can be given it, after as many pieces as wanted.
    unsigned poll_read = 0;
};

// Parses a script into keys in typing order. False, with *error saying
// which token is wrong and why, for a script that is not valid.
bool parse_key_script(const std::string& script, std::vector<ScriptKey>* keys, std::string* error);

} // namespace sim

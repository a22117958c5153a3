#include "platform/escape_keys.h"

#include "platform/keyboard.h"

namespace kv {

namespace {

constexpr uint16_t kScanInsert = 0x07;
constexpr uint16_t kScanF1 = 0x0B;

bool is_digit(uint32_t ch) {
    return ch >= '0' && ch <= '9';
}

// ESC [ ... and ESC O ... end in a letter or '~' (xterm, VT220, rxvt);
// the Linux console's function keys are ESC [ [ A..E.
bool is_final(uint32_t ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || ch == '~' || ch == '@';
}

uint16_t letter_key(uint32_t ch, bool ss3) {
    switch (ch) {
    case 'A':
        return SCAN_UP;
    case 'B':
        return SCAN_DOWN;
    case 'C':
        return SCAN_RIGHT;
    case 'D':
        return SCAN_LEFT;
    case 'H':
        return SCAN_HOME;
    case 'F':
        return SCAN_END;
    case 'P':
        return kScanF1;
    case 'Q':
        return kScanF1 + 1;
    case 'R':
        return kScanF1 + 2;
    case 'S':
        return kScanF1 + 3;
    default:
        break;
    }
    if (ss3) return 0;
    // The PC-ANSI forms, for firmware that leaves even those undecoded.
    switch (ch) {
    case 'I':
        return SCAN_PAGE_UP;
    case 'G':
        return SCAN_PAGE_DOWN;
    case 'X':
        return SCAN_DELETE;
    case '@':
        return kScanInsert;
    default:
        return 0;
    }
}

uint16_t tilde_key(int number) {
    switch (number) {
    case 1:
    case 7:
        return SCAN_HOME;
    case 2:
        return kScanInsert;
    case 3:
        return SCAN_DELETE;
    case 4:
    case 8:
        return SCAN_END;
    case 5:
        return SCAN_PAGE_UP;
    case 6:
        return SCAN_PAGE_DOWN;
    default:
        break;
    }
    if (number >= 11 && number <= 15) return uint16_t(kScanF1 + number - 11);
    if (number >= 17 && number <= 21) return uint16_t(kScanF1 + 5 + number - 17);
    if (number == 23 || number == 24) return uint16_t(kScanF1 + 10 + number - 23);
    return 0;
}

// The key of a complete sequence, 0 when it names none.
uint16_t sequence_key(const EscapeSequence* seq) {
    const uint32_t* c = seq->chars;
    int n = seq->length;
    uint32_t last = c[n - 1];
    bool ss3 = c[0] == 'O';
    if (!ss3 && n == 3 && c[1] == '[')
        return (last >= 'A' && last <= 'E') ? uint16_t(kScanF1 + last - 'A') : 0;
    if (last != '~') {
        // Modifier parameters ("1;5A" for Ctrl+Up) name the same key.
        return letter_key(last, ss3);
    }
    if (ss3) return 0;
    int number = 0;
    for (int i = 1; i < n - 1 && is_digit(c[i]); i++)
        number = number * 10 + int(c[i] - '0');
    return tilde_key(number);
}

} // namespace

void escape_begin(EscapeSequence* seq) {
    seq->length = 0;
}

EscapeResult escape_feed(EscapeSequence* seq, uint32_t ch, uint16_t* scan) {
    *scan = 0;
    if (seq->length >= kEscapeSequenceMax) return EscapeResult::Unknown;
    seq->chars[seq->length++] = ch;
    if (seq->length == 1)
        return (ch == '[' || ch == 'O') ? EscapeResult::More : EscapeResult::Unknown;
    if (seq->length == 2 && seq->chars[0] == '[' && ch == '[') return EscapeResult::More;
    bool linux_fkey = seq->length == 3 && seq->chars[0] == '[' && seq->chars[1] == '[';
    if (!linux_fkey && (is_digit(ch) || ch == ';')) return EscapeResult::More;
    if (!linux_fkey && !is_final(ch)) return EscapeResult::Unknown;
    *scan = sequence_key(seq);
    return *scan ? EscapeResult::Key : EscapeResult::Unknown;
}

} // namespace kv

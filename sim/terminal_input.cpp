#include "sim/terminal_input.h"

#include <cstdlib>

#include "platform/efi_protocols.h"
#include "platform/keyboard.h"

namespace sim {
namespace {

constexpr char kEsc = 0x1B;
constexpr uint16_t kScanInsert = 0x07;
constexpr uint16_t kScanF1 = 0x0B;
constexpr uint16_t kScanF6 = 0x10;
constexpr uint16_t kScanF11 = 0x15;
constexpr uint16_t kScanF12 = 0x16;

KeyStroke scan_key(uint16_t scan, uint32_t shift = 0) {
    return KeyStroke{scan, 0, shift};
}

KeyStroke char_key(char16_t ch, uint32_t shift = 0) {
    return KeyStroke{0, ch, shift};
}

// xterm's modifier parameter is 1 + a bit mask: 1 Shift, 2 Alt, 4 Ctrl.
uint32_t modifier_shift(int parameter) {
    int bits = parameter - 1;
    if (bits <= 0) return 0;
    uint32_t shift = EFI_SHIFT_STATE_VALID;
    if (bits & 1) shift |= EFI_LEFT_SHIFT_PRESSED;
    if (bits & 2) shift |= EFI_LEFT_ALT_PRESSED;
    if (bits & 4) shift |= EFI_LEFT_CONTROL_PRESSED;
    return shift;
}

// The key of a letter-final sequence (CSI A, SS3 A, CSI 1;5A ...); 0 for
// none the console has.
uint16_t letter_scan(char final) {
    switch (final) {
    case 'A':
        return kv::SCAN_UP;
    case 'B':
        return kv::SCAN_DOWN;
    case 'C':
        return kv::SCAN_RIGHT;
    case 'D':
        return kv::SCAN_LEFT;
    case 'H':
        return kv::SCAN_HOME;
    case 'F':
        return kv::SCAN_END;
    case 'P':
    case 'Q':
    case 'R':
    case 'S':
        return uint16_t(kScanF1 + (final - 'P'));
    }
    return 0;
}

// The key of CSI n ~ (vt220 editing keys and function keys).
uint16_t tilde_scan(int n) {
    switch (n) {
    case 1:
    case 7:
        return kv::SCAN_HOME;
    case 2:
        return kScanInsert;
    case 3:
        return kv::SCAN_DELETE;
    case 4:
    case 8:
        return kv::SCAN_END;
    case 5:
        return kv::SCAN_PAGE_UP;
    case 6:
        return kv::SCAN_PAGE_DOWN;
    case 23:
        return kScanF11;
    case 24:
        return kScanF12;
    }
    if (n >= 11 && n <= 15) return uint16_t(kScanF1 + (n - 11));
    if (n >= 17 && n <= 21) return uint16_t(kScanF6 + (n - 17));
    return 0;
}

// CSI parameters: numbers separated by ';', missing ones 0.
std::vector<int> csi_parameters(const std::string& text) {
    std::vector<int> out(1, 0);
    for (char c : text) {
        if (c == ';') {
            out.push_back(0);
        } else if (c >= '0' && c <= '9' && out.back() < 10000) {
            out.back() = out.back() * 10 + (c - '0');
        }
    }
    return out;
}

// Decodes CSI at s[i] (ESC '[' ...). Returns the bytes it spans, 0 when
// incomplete, or 1 for a malformed one (only the ESC is taken).
size_t decode_csi(const std::string& s, size_t i, std::vector<KeyStroke>* out) {
    size_t j = i + 2;
    while (j < s.size() && s[j] >= 0x30 && s[j] <= 0x3F)
        j++;
    while (j < s.size() && s[j] >= 0x20 && s[j] <= 0x2F)
        j++;
    if (j == s.size()) return 0;
    char final = s[j];
    if (final < 0x40 || final > 0x7E) {
        out->push_back(scan_key(kv::SCAN_ESC));
        return 1;
    }
    std::string text = s.substr(i + 2, j - (i + 2));
    // Private sequences (CSI ? ..., CSI > ...) are replies, not keys.
    if (!text.empty() && (text[0] < '0' || text[0] > ';')) return j + 1 - i;
    std::vector<int> p = csi_parameters(text);
    uint32_t shift = p.size() > 1 ? modifier_shift(p[1]) : 0;
    uint16_t scan = 0;
    if (final == '~') {
        scan = tilde_scan(p[0]);
    } else if (final == 'Z') {
        out->push_back(char_key(9, EFI_SHIFT_STATE_VALID | EFI_LEFT_SHIFT_PRESSED));
    } else {
        scan = letter_scan(final);
    }
    // Only a keyboard reports a valid shift state with Delete: the program
    // takes a Delete without one for a terminal's Backspace (DEL).
    if (scan == kv::SCAN_DELETE && shift == 0) shift = EFI_SHIFT_STATE_VALID;
    if (scan) out->push_back(scan_key(scan, shift));
    return j + 1 - i;
}

size_t decode_escape(const std::string& s, size_t i, bool final, std::vector<KeyStroke>* out) {
    auto lone_esc = [&]() -> size_t {
        if (!final) return 0;
        out->push_back(scan_key(kv::SCAN_ESC));
        return 1;
    };
    if (i + 1 == s.size()) return lone_esc();
    char next = s[i + 1];
    if (next == '[') {
        size_t used = decode_csi(s, i, out);
        return used ? used : lone_esc();
    }
    if (next == 'O') {
        if (i + 2 == s.size()) return lone_esc();
        char final_byte = s[i + 2];
        if (final_byte == 'M') {
            out->push_back(char_key(13));
        } else if (uint16_t scan = letter_scan(final_byte)) {
            out->push_back(scan_key(scan));
        }
        return 3;
    }
    // Terminals send Alt with a character as ESC before it.
    if (next >= 0x20 && next <= 0x7E) {
        out->push_back(char_key(char16_t(next), EFI_SHIFT_STATE_VALID | EFI_LEFT_ALT_PRESSED));
        return 2;
    }
    out->push_back(scan_key(kv::SCAN_ESC));
    return 1;
}

// A UTF-8 character; invalid bytes are skipped one at a time.
size_t decode_utf8_char(const std::string& s, size_t i, bool final, std::vector<KeyStroke>* out) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    size_t length = (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (length == 0) return 1;
    char32_t cp = b & (0x7F >> length);
    for (size_t k = 1; k < length; k++) {
        if (i + k == s.size()) return final ? 1 : 0;
        unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 1;
        cp = cp << 6 | (c & 0x3F);
    }
    static const char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 1;
    if (cp >= 0x80 && cp <= 0x9F) return length; // C1 controls are no keys
    // The console carries UCS-2 only.
    out->push_back(char_key(cp > 0xFFFF ? u'\uFFFD' : char16_t(cp)));
    return length;
}

// One key (or nothing) from s[i]: the bytes used, 0 when more are needed.
size_t decode_one(const std::string& s, size_t i, bool final, std::vector<KeyStroke>* out) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b == kEsc) return decode_escape(s, i, final, out);
    if (b >= 0x80) return decode_utf8_char(s, i, final, out);
    switch (b) {
    case 0x0D:
    case 0x0A:
    case 0x09:
        out->push_back(char_key(b));
        return 1;
    case 0x08:
    case 0x7F:
        out->push_back(char_key(8));
        return 1;
    }
    if (b >= 1 && b <= 26) {
        // Reported as OVMF does: the letter with Ctrl held.
        out->push_back(char_key(char16_t('a' + b - 1), kShiftCtrl));
    } else if (b >= 0x20) {
        out->push_back(char_key(b));
    }
    return 1;
}

} // namespace

void TerminalDecoder::feed(const char* bytes, size_t count) {
    held_.append(bytes, count);
    decode(false);
}

void TerminalDecoder::flush() {
    decode(true);
}

std::vector<KeyStroke> TerminalDecoder::take() {
    std::vector<KeyStroke> out;
    out.swap(keys_);
    return out;
}

void TerminalDecoder::decode(bool final) {
    size_t i = 0;
    while (i < held_.size()) {
        size_t used = decode_one(held_, i, final, &keys_);
        if (used == 0) break;
        i += used;
    }
    held_.erase(0, i);
}

} // namespace sim

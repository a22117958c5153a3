#include "disk/guid.h"

namespace kv {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

// Text position of the two digits of each byte: the first three groups are
// stored little-endian, so their digits run backwards through the bytes.
const uint8_t kTextPosition[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_dash_position(int i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

} // namespace

void guid_to_text(const uint8_t guid[16], char* buffer) {
    for (int i = 0; i < 36; i++)
        if (is_dash_position(i)) buffer[i] = '-';
    for (int i = 0; i < 16; i++) {
        buffer[kTextPosition[i]] = kHexDigits[guid[i] >> 4];
        buffer[kTextPosition[i] + 1] = kHexDigits[guid[i] & 0x0F];
    }
    buffer[36] = '\0';
}

bool guid_from_text(const char* text, uint8_t guid[16]) {
    // Checking every character before the NUL also bounds the read at 37.
    for (int i = 0; i < 36; i++) {
        char c = text[i];
        if (is_dash_position(i) ? c != '-' : hex_value(c) < 0) return false;
    }
    if (text[36] != '\0') return false;
    for (int i = 0; i < 16; i++) {
        int p = kTextPosition[i];
        guid[i] = (uint8_t)(hex_value(text[p]) << 4 | hex_value(text[p + 1]));
    }
    return true;
}

} // namespace kv

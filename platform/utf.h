// UTF-8 (the program's text) and UTF-16 (the firmware's text).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// Decodes one character; malformed input gives U+FFFD and consumes 1 byte.
uint32_t utf8_decode(const char* bytes, size_t available, size_t* consumed);
int utf8_encode(uint32_t cp, char* out); // 1..4 bytes, no validity check
size_t utf8_count(const char* bytes, size_t n);
size_t utf8_prefix_bytes(const char* bytes, size_t n, size_t k);
// The length of text[0..length) without a character that a cut at `length`
// left incomplete; the one way the program shortens a text.
size_t utf8_whole_prefix(const char* text, size_t length);
// The length of a copy of at most `max` bytes of a text of `length`.
inline size_t utf8_cut(const char* text, size_t length, size_t max) {
    return length <= max ? length : utf8_whole_prefix(text, max);
}
// New heap array; one unit per code point, above U+FFFF becomes U+FFFD.
char16_t* utf8_to_utf16(const char* text, size_t* out_count);
// n == (size_t)-1: up to the NUL. Surrogates are encoded one by one.
char* utf16_to_utf8(const char16_t* units, size_t n);

} // namespace kv

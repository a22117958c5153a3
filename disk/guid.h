// GUIDs as the 16 bytes of a GPT (first three groups little-endian) and
// their upper-case 8-4-4-4-12 text form.
#pragma once

#include <stdint.h>

namespace kv {

constexpr int kGuidTextSize = 37; // 36 characters and the NUL

// Writes the 36-character text and a NUL into `buffer` (at least 37 bytes).
void guid_to_text(const uint8_t guid[16], char* buffer);

// Parses the 8-4-4-4-12 form (hex digits of either case). Returns false, with
// `guid` untouched, unless the text is exactly 36 characters of that shape.
bool guid_from_text(const char* text, uint8_t guid[16]);

} // namespace kv

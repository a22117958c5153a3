// Sizes as the user types them and as the program shows them. All units are
// binary: 1 KiB = 1,024 bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// Reads a size such as "512M", "1.5 GiB", "8S" or "rest". `block_size` enables
// the unit S; pass 0 where sizes in blocks make no sense. On success returns
// null and sets either *rest (the remaining room; *bytes stays 0) or *bytes.
// On failure returns a static error text; the outputs are then 0 and false.
const char* parse_size(const char* text, uint32_t block_size, uint64_t* bytes, bool* rest);

// "1023 B", "1.5 KiB", ... "1024.0 PiB": one truncated decimal, never rounded
// up, so a size never looks larger than it is. Cut to the buffer.
void format_size(char* buffer, size_t size, uint64_t bytes);

// The exact form offered as a default answer: "2 GiB", "1536 MiB", "0 MiB";
// sizes that are not whole MiB fall back to format_size.
void format_size_short(char* buffer, size_t size, uint64_t bytes);

// Blocks as bytes for display. A damaged table can hold block counts whose
// byte size does not fit in 64 bits; those come out as the largest value
// instead of a wrapped, small-looking one.
uint64_t blocks_to_bytes(uint64_t blocks, uint32_t block_size);

} // namespace kv

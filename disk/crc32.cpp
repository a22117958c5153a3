#include "disk/crc32.h"

namespace kv {

namespace {

// Zero-initialised storage, filled on first use: there is no start-up code
// to run a constructor in the firmware image.
uint32_t crc_table[256];
bool crc_table_ready;

void build_table() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crc_table[i] = c;
    }
    crc_table_ready = true;
}

} // namespace

uint32_t crc32(uint32_t previous, const void* data, size_t length) {
    if (length == 0) return previous;
    if (!crc_table_ready) build_table();
    const uint8_t* p = (const uint8_t*)data;
    uint32_t c = ~previous;
    for (size_t i = 0; i < length; i++)
        c = crc_table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace kv

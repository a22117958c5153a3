#include "platform/clock.h"
#include "platform/disks.h"
#include "platform/globals.h"

namespace kv {

namespace {

// Lives for the whole run so that two calls within one clock tick still
// continue the sequence instead of repeating it.
uint64_t g_fallback_state;

bool firmware_random(void* buffer, size_t byte_count) {
    EFI_GUID rng_guid = EFI_RNG_PROTOCOL_GUID;
    EFI_RNG_PROTOCOL* rng = nullptr;
    if (EFI_ERROR(g_bs->LocateProtocol(&rng_guid, nullptr, (VOID**)&rng)) || !rng) return false;
    return !EFI_ERROR(rng->GetRNG(rng, nullptr, byte_count, static_cast<UINT8*>(buffer)));
}

uint64_t clock_seconds() {
    CalendarTime t;
    if (!local_time(&t)) return 0;
    return (((uint64_t)t.day * 24 + (uint64_t)t.hour) * 60 + (uint64_t)t.minute) * 60 +
           (uint64_t)t.second;
}

} // namespace

uint64_t splitmix_next(uint64_t* state) {
    uint64_t s = *state + 0x9E3779B97F4A7C15ull;
    s ^= s >> 30;
    s *= 0xBF58476D1CE4E5B9ull;
    s ^= s >> 27;
    s *= 0x94D049BB133111EBull;
    s ^= s >> 31;
    *state = s;
    return s;
}

void random_bytes(void*, void* buffer, size_t byte_count) {
    if (byte_count == 0) return;
    if (firmware_random(buffer, byte_count)) return;
    g_fallback_state ^= clock_seconds() ^ tsc_read();
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (byte_count > 0) {
        uint64_t word = splitmix_next(&g_fallback_state);
        for (int i = 0; i < 8 && byte_count > 0; i++, byte_count--) {
            *out++ = (uint8_t)word;
            word >>= 8;
        }
    }
}

} // namespace kv

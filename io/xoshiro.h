// The xoshiro256** generator of Blackman and Vigna: fast, 256 bits of state,
// good enough to make overwritten blocks unrecognisable. Not for secrets.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// Never all zero: that state is a fixed point and yields zeros for ever.
struct Xoshiro256ss {
    uint64_t s[4];
};

inline uint64_t xoshiro_rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

inline uint64_t xoshiro_next(Xoshiro256ss* g) {
    uint64_t* s = g->s;
    uint64_t result = xoshiro_rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = xoshiro_rotl(s[3], 45);
    return result;
}

// Takes the state from 32 bytes as four little-endian words. Returns false,
// leaving the state all zero, when the bytes are all zero.
bool xoshiro_seed(Xoshiro256ss* g, const uint8_t seed[32]);

// Stores the next `words` outputs at `out` (any alignment), each as eight
// little-endian bytes, exactly as that many xoshiro_next calls would.
void xoshiro_fill(Xoshiro256ss* g, uint8_t* out, size_t words);

} // namespace kv

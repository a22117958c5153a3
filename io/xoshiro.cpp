#include "io/xoshiro.h"

#include "disk/bytes.h"

namespace kv {

bool xoshiro_seed(Xoshiro256ss* g, const uint8_t seed[32]) {
    uint64_t any = 0;
    for (int i = 0; i < 4; i++) {
        g->s[i] = load_le64(seed + 8 * size_t(i));
        any |= g->s[i];
    }
    return any != 0;
}

namespace {

// The compilers do not reliably merge store_le64's byte stores inside the
// unrolled loop; on a little-endian host one plain 8-byte store is the same.
inline void store_word(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    __builtin_memcpy(p, &v, sizeof v);
#else
    store_le64(p, v);
#endif
}

// The stores go through uint8_t, which may alias anything, so the state is
// kept in locals: through g->s the compiler would reload it after every store.
#define KV_XOSHIRO_STEP(out)                                                                       \
    do {                                                                                           \
        store_word((out), xoshiro_rotl(s1 * 5, 7) * 9);                                            \
        uint64_t t = s1 << 17;                                                                     \
        s2 ^= s0;                                                                                  \
        s3 ^= s1;                                                                                  \
        s1 ^= s2;                                                                                  \
        s0 ^= s3;                                                                                  \
        s2 ^= t;                                                                                   \
        s3 = xoshiro_rotl(s3, 45);                                                                 \
    } while (0)

} // namespace

void xoshiro_fill(Xoshiro256ss* g, uint8_t* out, size_t words) {
    uint64_t s0 = g->s[0], s1 = g->s[1], s2 = g->s[2], s3 = g->s[3];
    size_t i = 0;
    for (; i + 4 <= words; i += 4, out += 32) {
        KV_XOSHIRO_STEP(out);
        KV_XOSHIRO_STEP(out + 8);
        KV_XOSHIRO_STEP(out + 16);
        KV_XOSHIRO_STEP(out + 24);
    }
    for (; i < words; i++, out += 8)
        KV_XOSHIRO_STEP(out);
    g->s[0] = s0;
    g->s[1] = s1;
    g->s[2] = s2;
    g->s[3] = s3;
}

#undef KV_XOSHIRO_STEP

} // namespace kv

// Setting a run of pixels to one colour: the inner loop of every filled
// shape.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The address sanitizer cannot see stores made inside assembly, so its
// builds take the plain loop and still catch a fill outside the buffer.
#if defined(__SANITIZE_ADDRESS__)
#define KV_FILL_ROW_LOOP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_FILL_ROW_LOOP 1
#endif
#endif

namespace kv {

// The string store writes whole cache lines at memory speed on current
// x86-64 processors, in the firmware image too, which has no vector
// registers to spare.
inline void fill_row(uint32_t* row, int64_t n, uint32_t colour) {
    if (n <= 0) return;
#ifdef KV_FILL_ROW_LOOP
    for (int64_t i = 0; i < n; i++)
        row[i] = colour;
#else
    size_t count = size_t(n);
    __asm__ volatile("rep stosl" : "+D"(row), "+c"(count) : "a"(colour) : "memory");
#endif
}

} // namespace kv

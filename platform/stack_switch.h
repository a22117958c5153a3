// Running a function on a stack the program allocated for itself.
#pragma once

#include <stddef.h>

// For functions whose frames stay on the firmware's stack while a function
// runs on another stack. Exit may leave from the other stack straight back
// to the firmware, abandoning these frames; AddressSanitizer then clears
// only the stack that was current, so the frames must not poison any of
// their own.
#define KV_FRAME_WITHOUT_SHADOW __attribute__((no_sanitize("address")))

namespace kv {

// Calls fn(ctx) with the stack pointer at base + size and returns its result
// once the stack pointer is back on the caller's stack. base + size must be
// 16-byte aligned. fn may also end the program through Exit without coming
// back; the next call copes with that.
int call_on_stack(void* base, size_t size, int (*fn)(void*), void* ctx);

} // namespace kv

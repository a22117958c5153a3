// The C symbols the compiler may emit calls to. The host build takes them
// from the host C library, so they exist only in the firmware image.
#ifdef KORVANE_UEFI

#include "platform/strings.h"

extern "C" {

void* memcpy(void* dst, const void* src, size_t n) {
    return kv::memcpy(dst, src, n);
}
void* memmove(void* dst, const void* src, size_t n) {
    return kv::memmove(dst, src, n);
}
void* memset(void* dst, int c, size_t n) {
    return kv::memset(dst, c, n);
}
int memcmp(const void* a, const void* b, size_t n) {
    return kv::memcmp(a, b, n);
}

// The linker wants this symbol whenever floating point might be used.
int _fltused = 0;
}

#endif

#include "platform/memory.h"

#include <stdint.h>

#include "platform/fatal.h"
#include "platform/globals.h"
#include "platform/strings.h"

namespace kv {

namespace {

// 16 bytes keep the caller's pointer as aligned as the pool's own blocks.
constexpr size_t kHeaderSize = 16;

uint64_t* header_of(void* p) {
    return reinterpret_cast<uint64_t*>(static_cast<char*>(p) - kHeaderSize);
}

} // namespace

void* malloc(size_t n) {
    if (n > SIZE_MAX - kHeaderSize) return nullptr;
    // A zero-byte request still gets one byte so that every block is distinct.
    size_t bytes = n == 0 ? kHeaderSize + 1 : n + kHeaderSize;
    void* block = nullptr;
    EFI_STATUS status = g_bs->AllocatePool(EfiLoaderData, bytes, &block);
    if (EFI_ERROR(status) || !block) return nullptr;
    uint64_t* header = static_cast<uint64_t*>(block);
    header[0] = n;
    header[1] = 0;
    return static_cast<char*>(block) + kHeaderSize;
}

void* calloc(size_t n, size_t m) {
    if (n != 0 && m > SIZE_MAX / n) return nullptr;
    size_t bytes = n * m;
    void* p = malloc(bytes);
    if (p && bytes) memset(p, 0, bytes);
    return p;
}

void* realloc(void* p, size_t n) {
    if (!p) return malloc(n);
    uint64_t* header = header_of(p);
    size_t old = header[0];
    // A moderate shrink keeps the block: copying costs more than the slack.
    if (n <= old && n >= old / 2) {
        header[0] = n;
        return p;
    }
    void* q = malloc(n);
    if (!q) return nullptr;
    memcpy(q, p, n < old ? n : old);
    free(p);
    return q;
}

void free(void* p) {
    if (!p) return;
    g_bs->FreePool(header_of(p));
}

void* xmalloc(size_t n) {
    void* p = malloc(n ? n : 1);
    if (!p) fatal("out of memory");
    return p;
}

void* xcalloc(size_t n, size_t m) {
    void* p = calloc(n ? n : 1, m ? m : 1);
    if (!p) fatal("out of memory");
    return p;
}

void* xrealloc(void* p, size_t n) {
    void* q = realloc(p, n ? n : 1);
    if (!q) fatal("out of memory");
    return q;
}

char* xstrdup(const char* s) {
    size_t n = strlen(s) + 1;
    char* copy = static_cast<char*>(xmalloc(n));
    memcpy(copy, s, n);
    return copy;
}

} // namespace kv

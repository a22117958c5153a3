// Heap over the firmware pool. Every block carries a 16-byte header whose
// first 8 bytes hold the size the caller asked for.
#pragma once

#include <stddef.h>

namespace kv {

void* malloc(size_t n);           // null when the pool refuses
void* calloc(size_t n, size_t m); // null on overflow of n * m or refusal
void* realloc(void* p, size_t n); // null on refusal; p stays valid then
void free(void* p);

// Never return null: running out of memory ends the program through fatal.
void* xmalloc(size_t n);
void* xcalloc(size_t n, size_t m);
void* xrealloc(void* p, size_t n);
char* xstrdup(const char* s);

} // namespace kv

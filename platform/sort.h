#pragma once

#include <stddef.h>

namespace kv {

// Shell sort with gaps count/2, count/4, ..., 1; not stable.
void sort(void* base, size_t count, size_t size, int (*compare)(const void*, const void*));

} // namespace kv

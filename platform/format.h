// The program's printf-style engine: integers, characters and strings only.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace kv {

// Returns the length of the whole result even when it did not fit.
int vformat(char* buffer, size_t size, const char* format, va_list args);
int format(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace kv

// Growable NUL-terminated string on the heap.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace kv {

struct StrBuf {
    char* data; // null while empty and never grown
    size_t len;
    size_t cap;
};

void strbuf_init(StrBuf* b);
void strbuf_free(StrBuf* b);
void strbuf_reserve(StrBuf* b, size_t extra);
void strbuf_putc(StrBuf* b, char c);
void strbuf_append(StrBuf* b, const char* bytes, size_t n);
void strbuf_append_str(StrBuf* b, const char* s);
void strbuf_vappendf(StrBuf* b, const char* format, va_list args);
void strbuf_appendf(StrBuf* b, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Never null; the caller owns the result.
char* strbuf_take(StrBuf* b);

} // namespace kv

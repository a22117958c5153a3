#include "platform/strbuf.h"

#include <stdint.h>

#include "platform/fatal.h"
#include "platform/format.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

void strbuf_init(StrBuf* b) {
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

void strbuf_free(StrBuf* b) {
    free(b->data);
    strbuf_init(b);
}

void strbuf_reserve(StrBuf* b, size_t extra) {
    // A size that cannot even be expressed can never be allocated either.
    if (extra > SIZE_MAX - 1 - b->len) fatal("out of memory");
    size_t need = b->len + extra + 1;
    if (b->cap >= need) return;
    size_t cap = b->cap ? b->cap * 2 : 32;
    while (cap < need) {
        if (cap > SIZE_MAX / 2) {
            cap = need;
            break;
        }
        cap *= 2;
    }
    b->data = static_cast<char*>(xrealloc(b->data, cap));
    b->cap = cap;
    b->data[b->len] = '\0';
}

void strbuf_putc(StrBuf* b, char c) {
    strbuf_reserve(b, 1);
    b->data[b->len++] = c;
    b->data[b->len] = '\0';
}

void strbuf_append(StrBuf* b, const char* bytes, size_t n) {
    strbuf_reserve(b, n);
    memcpy(b->data + b->len, bytes, n);
    b->len += n;
    b->data[b->len] = '\0';
}

void strbuf_append_str(StrBuf* b, const char* s) {
    strbuf_append(b, s, strlen(s));
}

void strbuf_vappendf(StrBuf* b, const char* format, va_list args) {
    if (!format) return;
    // Most texts are short: format once on the stack and copy, and only for a
    // long one format a second time straight into the grown buffer.
    char local[256];
    va_list copy;
    va_copy(copy, args);
    int n = vformat(local, sizeof local, format, copy);
    va_end(copy);
    if (n <= 0) return;
    size_t len = static_cast<size_t>(n);
    if (len < sizeof local) {
        strbuf_append(b, local, len);
        return;
    }
    strbuf_reserve(b, len);
    va_copy(copy, args);
    vformat(b->data + b->len, len + 1, format, copy);
    va_end(copy);
    b->len += len;
}

void strbuf_appendf(StrBuf* b, const char* format, ...) {
    va_list args;
    va_start(args, format);
    strbuf_vappendf(b, format, args);
    va_end(args);
}

char* strbuf_take(StrBuf* b) {
    char* text = b->data;
    strbuf_init(b);
    return text ? text : xstrdup("");
}

} // namespace kv

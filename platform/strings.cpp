#include "platform/strings.h"

namespace kv {

// memcpy, memset and memmove are written with string instructions rather
// than loops: the compiler would turn such a loop back into a call to the C
// symbol of the same name, which in the firmware image forwards here.

void* memcpy(void* dst, const void* src, size_t n) {
    void* d = dst;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(n) : : "memory");
    return dst;
}

void* memmove(void* dst, const void* src, size_t n) {
    unsigned char* d = static_cast<unsigned char*>(dst);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (n == 0 || d == s) return dst;
    if (d < s || d >= s + n) return memcpy(dst, src, n);
    // The destination overlaps the source's tail: copy from the last byte down.
    d += n - 1;
    s += n - 1;
    __asm__ volatile("std\n\trep movsb\n\tcld" : "+D"(d), "+S"(s), "+c"(n) : : "memory", "cc");
    return dst;
}

void* memset(void* dst, int c, size_t n) {
    void* d = dst;
    __asm__ volatile("rep stosb"
                     : "+D"(d), "+c"(n)
                     : "a"(static_cast<unsigned char>(c))
                     : "memory");
    return dst;
}

int memcmp(const void* a, const void* b, size_t n) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; i++)
        if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
}

size_t strlen(const char* s) {
    const char* p = s;
    while (*p)
        p++;
    return static_cast<size_t>(p - s);
}

int strcmp(const char* a, const char* b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    while (*x && *x == *y) {
        x++;
        y++;
    }
    return static_cast<int>(*x) - static_cast<int>(*y);
}

char* strchr(const char* s, int c) {
    char wanted = static_cast<char>(c);
    for (;; s++) {
        if (*s == wanted) return const_cast<char*>(s);
        if (!*s) return nullptr;
    }
}

char* strcat(char* dst, const char* src) {
    char* d = dst + strlen(dst);
    while ((*d++ = *src++)) {
    }
    return dst;
}

size_t strcspn(const char* s, const char* reject) {
    size_t i = 0;
    for (; s[i]; i++)
        for (const char* r = reject; *r; r++)
            if (s[i] == *r) return i;
    return i;
}

namespace {

int fold(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Value of c as a digit of bases up to 36, or 36 when it is none.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 36;
}

} // namespace

int strcasecmp(const char* a, const char* b) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (;; x++, y++) {
        int d = fold(*x) - fold(*y);
        if (d != 0 || !*x) return d;
    }
}

int strncasecmp(const char* a, const char* b, size_t n) {
    const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
    const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
    for (size_t i = 0; i < n; i++) {
        int d = fold(x[i]) - fold(y[i]);
        if (d != 0 || !x[i]) return d;
    }
    return 0;
}

uint64_t strtoul(const char* text, char** end, int base) {
    const char* s = text;
    while (is_space(*s))
        s++;
    if (*s == '+') s++;
    if ((base == 0 || base == 16) && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') &&
        digit_value(s[2]) < 16) {
        s += 2;
        base = 16;
    } else if (base == 0) {
        base = 10;
    }
    uint64_t value = 0;
    for (;; s++) {
        int d = digit_value(*s);
        if (d >= base) break;
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    if (end) *end = const_cast<char*>(s);
    return value;
}

} // namespace kv

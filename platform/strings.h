// C-style string and memory functions of the program's own runtime. They
// live in the program's namespace so the host build never mixes them up with
// the host C library.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

void* memcpy(void* dst, const void* src, size_t n);
void* memmove(void* dst, const void* src, size_t n);
void* memset(void* dst, int c, size_t n);
int memcmp(const void* a, const void* b, size_t n);
size_t strlen(const char* s);
int strcmp(const char* a, const char* b);
char* strchr(const char* s, int c);
char* strcat(char* dst, const char* src);
size_t strcspn(const char* s, const char* reject);
// Fold only A..Z to a..z.
int strcasecmp(const char* a, const char* b);
int strncasecmp(const char* a, const char* b, size_t n);
// No overflow detection: the value wraps modulo 2^64. No octal rule.
uint64_t strtoul(const char* text, char** end, int base);

} // namespace kv

#include "platform/format.h"

#include <stdint.h>

namespace kv {

namespace {

// Widths and precisions beyond this are clamped so that parsing them can
// never overflow; padding past the end of the buffer is only counted, so a
// huge width costs nothing.
constexpr size_t kMaxField = 0x7fffffff;

// Writes what fits and counts everything, so the caller learns the full
// length even when the buffer is too small.
struct Sink {
    char* buffer;
    size_t size;
    size_t length;

    size_t room() const { return length + 1 < size ? size - 1 - length : 0; }

    void put(char c) {
        if (length + 1 < size) buffer[length] = c;
        ++length;
    }

    void repeat(char c, size_t count) {
        size_t n = count < room() ? count : room();
        for (size_t i = 0; i < n; ++i)
            buffer[length + i] = c;
        length += count;
    }

    void append(const char* text, size_t count) {
        size_t n = count < room() ? count : room();
        for (size_t i = 0; i < n; ++i)
            buffer[length + i] = text[i];
        length += count;
    }
};

struct Directive {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool width_star = false;
    bool precision_star = false;
    bool has_precision = false;
    size_t width = 0;
    size_t precision = 0;
    int64_t length = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a run of decimal digits, saturating at kMaxField.
size_t parse_field(const char*& p) {
    size_t value = 0;
    while (is_digit(*p)) {
        value = value > kMaxField ? value : value * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    return value > kMaxField ? kMaxField : value;
}

size_t clamp_field(size_t value) {
    return value > kMaxField ? kMaxField : value;
}

// Lays out one integer: spaces, sign, "0x" for pointers, zeros, digits,
// trailing spaces. `prefix` counts towards the digits, so a precision on a
// pointer includes its "0x".
void put_integer(Sink& out, const Directive& dir, uint64_t magnitude, bool negative, unsigned base,
                 bool upper, const char* prefix) {
    const char* digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t count = 0;
    bool no_digits = magnitude == 0 && dir.has_precision && dir.precision == 0 && !prefix;
    if (!no_digits) {
        do {
            digits[sizeof digits - 1 - count] = digit_set[magnitude % base];
            magnitude /= base;
            ++count;
        } while (magnitude != 0);
    }

    char sign = negative ? '-' : dir.plus ? '+' : dir.space ? ' ' : '\0';
    size_t prefix_length = prefix ? 2 : 0;
    size_t digit_length = count + prefix_length;
    size_t precision = dir.has_precision ? dir.precision : 0;
    size_t body = (sign ? 1 : 0) + (precision > digit_length ? precision : digit_length);
    size_t padding = dir.width > body ? dir.width - body : 0;
    bool zero_pad = dir.zero && !dir.left && !dir.has_precision;

    if (!dir.left && !zero_pad) out.repeat(' ', padding);
    if (sign) out.put(sign);
    if (prefix) out.append(prefix, prefix_length);
    if (zero_pad) out.repeat('0', padding);
    if (precision > digit_length) out.repeat('0', precision - digit_length);
    out.append(digits + sizeof digits - count, count);
    if (dir.left) out.repeat(' ', padding);
}

void put_padded(Sink& out, const Directive& dir, const char* text, size_t count) {
    size_t padding = dir.width > count ? dir.width - count : 0;
    if (!dir.left) out.repeat(' ', padding);
    out.append(text, count);
    if (dir.left) out.repeat(' ', padding);
}

// Never reads past `limit` bytes: a precision may bound an unterminated text.
size_t bounded_length(const char* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0)
        ++n;
    return n;
}

int64_t signed_argument(int64_t length, va_list& args) {
    if (length <= -2) return static_cast<signed char>(va_arg(args, int));
    if (length == -1) return static_cast<short>(va_arg(args, int));
    if (length == 0) return va_arg(args, int);
    return va_arg(args, long long);
}

uint64_t unsigned_argument(int64_t length, va_list& args) {
    if (length <= -2) return static_cast<unsigned char>(va_arg(args, unsigned));
    if (length == -1) return static_cast<unsigned short>(va_arg(args, unsigned));
    if (length == 0) return va_arg(args, unsigned);
    return va_arg(args, unsigned long long);
}

bool takes_argument(char c) {
    switch (c) {
    case 'd':
    case 'i':
    case 'u':
    case 'o':
    case 'x':
    case 'X':
    case 'p':
    case 'c':
    case 's':
        return true;
    default:
        return false;
    }
}

// Starred fields are fetched only once the conversion is known to take an
// argument, so an unknown conversion leaves the argument list untouched.
void fetch_stars(Directive& dir, va_list& args) {
    if (dir.width_star) {
        int w = va_arg(args, int);
        if (w < 0) {
            dir.left = true;
            dir.width = clamp_field(0u - static_cast<unsigned>(w));
        } else {
            dir.width = clamp_field(static_cast<size_t>(w));
        }
    }
    if (dir.precision_star) {
        int p = va_arg(args, int);
        dir.has_precision = p >= 0;
        dir.precision = p >= 0 ? clamp_field(static_cast<size_t>(p)) : 0;
    }
}

void convert(Sink& out, Directive& dir, char c, va_list& args) {
    switch (c) {
    case 'd':
    case 'i': {
        int64_t v = signed_argument(dir.length, args);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        put_integer(out, dir, magnitude, v < 0, 10, false, nullptr);
        break;
    }
    case 'u':
        put_integer(out, dir, unsigned_argument(dir.length, args), false, 10, false, nullptr);
        break;
    case 'o':
        put_integer(out, dir, unsigned_argument(dir.length, args), false, 8, false, nullptr);
        break;
    case 'x':
    case 'X':
        put_integer(out, dir, unsigned_argument(dir.length, args), false, 16, c == 'X', nullptr);
        break;
    case 'p': {
        uint64_t v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        put_integer(out, dir, v, false, 16, false, "0x");
        break;
    }
    case 'c': {
        char byte = static_cast<char>(va_arg(args, int));
        put_padded(out, dir, &byte, 1);
        break;
    }
    case 's': {
        const char* text = va_arg(args, const char*);
        if (!text) text = "(null)";
        size_t limit = dir.has_precision ? dir.precision : SIZE_MAX;
        put_padded(out, dir, text, bounded_length(text, limit));
        break;
    }
    }
}

} // namespace

int vformat(char* buffer, size_t size, const char* format, va_list args) {
    Sink out{buffer, size, 0};
    // A va_list parameter may be an array type that decays to a pointer;
    // a local copy gives the helpers one type to take by reference.
    va_list ap;
    va_copy(ap, args);

    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* run = p;
            while (*p && *p != '%')
                ++p;
            out.append(run, static_cast<size_t>(p - run));
            continue;
        }
        ++p;

        Directive dir;
        for (;; ++p) {
            if (*p == '-')
                dir.left = true;
            else if (*p == '0')
                dir.zero = true;
            else if (*p == '+')
                dir.plus = true;
            else if (*p == ' ')
                dir.space = true;
            else if (*p != '#')
                break;
        }
        if (*p == '*') {
            dir.width_star = true;
            ++p;
        } else {
            dir.width = parse_field(p);
        }
        if (*p == '.') {
            ++p;
            dir.has_precision = true;
            if (*p == '*') {
                dir.precision_star = true;
                ++p;
            } else {
                dir.precision = parse_field(p);
            }
        }
        for (;; ++p) {
            if (*p == 'h')
                --dir.length;
            else if (*p == 'l')
                ++dir.length;
            else if (*p == 'j' || *p == 'z' || *p == 't')
                dir.length = 2;
            else
                break;
        }

        char c = *p;
        if (c == 0) break;
        ++p;
        if (c == '%') {
            out.put('%');
        } else if (takes_argument(c)) {
            fetch_stars(dir, ap);
            convert(out, dir, c, ap);
        } else {
            out.put('%');
            out.put(c);
        }
    }
    va_end(ap);

    if (size > 0) buffer[out.length < size - 1 ? out.length : size - 1] = 0;
    return out.length > 0x7fffffff ? 0x7fffffff : static_cast<int>(out.length);
}

int format(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vformat(buffer, size, format, args);
    va_end(args);
    return n;
}

} // namespace kv

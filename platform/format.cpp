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

struct Spec {
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
void put_integer(Sink& out, const Spec& spec, uint64_t magnitude, bool negative, unsigned base,
                 bool upper, const char* prefix) {
    const char* digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t count = 0;
    bool no_digits = magnitude == 0 && spec.has_precision && spec.precision == 0 && !prefix;
    if (!no_digits) {
        do {
            digits[sizeof digits - 1 - count] = digit_set[magnitude % base];
            magnitude /= base;
            ++count;
        } while (magnitude != 0);
    }

    char sign = negative ? '-' : spec.plus ? '+' : spec.space ? ' ' : 0;
    size_t prefix_length = prefix ? 2 : 0;
    size_t digit_length = count + prefix_length;
    size_t precision = spec.has_precision ? spec.precision : 0;
    size_t body = (sign ? 1 : 0) + (precision > digit_length ? precision : digit_length);
    size_t padding = spec.width > body ? spec.width - body : 0;
    bool zero_pad = spec.zero && !spec.left && !spec.has_precision;

    if (!spec.left && !zero_pad) out.repeat(' ', padding);
    if (sign) out.put(sign);
    if (prefix) out.append(prefix, prefix_length);
    if (zero_pad) out.repeat('0', padding);
    if (precision > digit_length) out.repeat('0', precision - digit_length);
    out.append(digits + sizeof digits - count, count);
    if (spec.left) out.repeat(' ', padding);
}

void put_padded(Sink& out, const Spec& spec, const char* text, size_t count) {
    size_t padding = spec.width > count ? spec.width - count : 0;
    if (!spec.left) out.repeat(' ', padding);
    out.append(text, count);
    if (spec.left) out.repeat(' ', padding);
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
void fetch_stars(Spec& spec, va_list& args) {
    if (spec.width_star) {
        int w = va_arg(args, int);
        if (w < 0) {
            spec.left = true;
            spec.width = clamp_field(0u - static_cast<unsigned>(w));
        } else {
            spec.width = clamp_field(static_cast<size_t>(w));
        }
    }
    if (spec.precision_star) {
        int p = va_arg(args, int);
        spec.has_precision = p >= 0;
        spec.precision = p >= 0 ? clamp_field(static_cast<size_t>(p)) : 0;
    }
}

void convert(Sink& out, Spec& spec, char c, va_list& args) {
    switch (c) {
    case 'd':
    case 'i': {
        int64_t v = signed_argument(spec.length, args);
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        put_integer(out, spec, magnitude, v < 0, 10, false, nullptr);
        break;
    }
    case 'u':
        put_integer(out, spec, unsigned_argument(spec.length, args), false, 10, false, nullptr);
        break;
    case 'o':
        put_integer(out, spec, unsigned_argument(spec.length, args), false, 8, false, nullptr);
        break;
    case 'x':
    case 'X':
        put_integer(out, spec, unsigned_argument(spec.length, args), false, 16, c == 'X', nullptr);
        break;
    case 'p': {
        uint64_t v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        put_integer(out, spec, v, false, 16, false, "0x");
        break;
    }
    case 'c': {
        char byte = static_cast<char>(va_arg(args, int));
        put_padded(out, spec, &byte, 1);
        break;
    }
    case 's': {
        const char* text = va_arg(args, const char*);
        if (!text) text = "(null)";
        size_t limit = spec.has_precision ? spec.precision : SIZE_MAX;
        put_padded(out, spec, text, bounded_length(text, limit));
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

        Spec spec;
        for (;; ++p) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '0')
                spec.zero = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p != '#')
                break;
        }
        if (*p == '*') {
            spec.width_star = true;
            ++p;
        } else {
            spec.width = parse_field(p);
        }
        if (*p == '.') {
            ++p;
            spec.has_precision = true;
            if (*p == '*') {
                spec.precision_star = true;
                ++p;
            } else {
                spec.precision = parse_field(p);
            }
        }
        for (;; ++p) {
            if (*p == 'h')
                --spec.length;
            else if (*p == 'l')
                ++spec.length;
            else if (*p == 'j' || *p == 'z' || *p == 't')
                spec.length = 2;
            else
                break;
        }

        char c = *p;
        if (c == 0) break;
        ++p;
        if (c == '%') {
            out.put('%');
        } else if (takes_argument(c)) {
            fetch_stars(spec, ap);
            convert(out, spec, c, ap);
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

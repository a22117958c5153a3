#include "edit/size.h"

#include "platform/format.h"
#include "platform/strings.h"

namespace kv {

namespace {

const char kNeedSize[] = "write a size such as 512M, 20G or rest";
const char kUnknownUnit[] = "unknown unit: use K, M, G or T";
const char kNumberTooLarge[] = "the number is too large";
const char kSizeTooLarge[] = "the size is too large";
const char kNoBlocks[] = "sizes in blocks are not possible here";

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = kKiB * 1024;
constexpr uint64_t kGiB = kMiB * 1024;
constexpr uint64_t kTiB = kGiB * 1024;
constexpr uint64_t kMillion = 1000000;

// Indexed by the number of divisions by 1,024 minus one.
constexpr char kUnitNames[5][4] = {"KiB", "MiB", "GiB", "TiB", "PiB"};

// The largest value that can take one more decimal digit without wrapping:
// (2^64 - 1) / 10 rounded down to keep the check independent of the digit.
constexpr uint64_t kMaxBeforeDigit = 1844674407370955160ULL;

bool is_blank(char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

char to_upper(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

const char* skip_spaces(const char* p) {
    while (*p == ' ')
        p++;
    return p;
}

// unit * millionths / 1,000,000 truncated, without forming the full product:
// with unit = q * 10^6 + r the result is q * millionths + r * millionths / 10^6
// exactly, and neither term can overflow since millionths < 10^6.
uint64_t fraction_of(uint64_t unit, uint64_t millionths) {
    return (unit / kMillion) * millionths + (unit % kMillion) * millionths / kMillion;
}

} // namespace

const char* parse_size(const char* text, uint32_t block_size, uint64_t* bytes, bool* rest) {
    *bytes = 0;
    *rest = false;

    const char* p = text;
    while (is_blank(*p))
        p++;
    if (strcasecmp(p, "rest") == 0 || strcasecmp(p, "all") == 0 || strcasecmp(p, "max") == 0) {
        *rest = true;
        return nullptr;
    }
    if (!is_digit(*p)) return kNeedSize;

    uint64_t value = (uint64_t)(*p++ - '0');
    while (is_digit(*p)) {
        if (value > kMaxBeforeDigit) return kNumberTooLarge;
        value = value * 10 + (uint64_t)(*p++ - '0');
    }

    uint64_t millionths = 0;
    if (*p == '.' || *p == ',') {
        p++;
        int digits = 0;
        for (; is_digit(*p); p++) {
            if (digits < 6) {
                millionths = millionths * 10 + (uint64_t)(*p - '0');
                digits++;
            }
        }
        for (; digits < 6; digits++)
            millionths *= 10;
    }

    p = skip_spaces(p);
    uint64_t unit = kMiB;
    if (*p != '\0') {
        char c = to_upper(*p++);
        switch (c) {
        case 'B':
            unit = 1;
            break;
        case 'K':
            unit = kKiB;
            break;
        case 'M':
            unit = kMiB;
            break;
        case 'G':
            unit = kGiB;
            break;
        case 'T':
            unit = kTiB;
            break;
        case 'S':
            if (block_size == 0) return kNoBlocks;
            unit = block_size;
            break;
        default:
            return kUnknownUnit;
        }
        if (c == 'K' || c == 'M' || c == 'G' || c == 'T') {
            if (strcasecmp(p, "iB") == 0)
                p += 2;
            else if (strcasecmp(p, "B") == 0)
                p += 1;
        }
        p = skip_spaces(p);
        if (*p != '\0') return kUnknownUnit;
    }

    if (value != 0 && unit > UINT64_MAX / value) return kSizeTooLarge;
    uint64_t whole = value * unit;
    uint64_t part = fraction_of(unit, millionths);
    if (part > UINT64_MAX - whole) return kSizeTooLarge;
    *bytes = whole + part;
    return nullptr;
}

void format_size(char* buffer, size_t size, uint64_t bytes) {
    if (bytes < kKiB) {
        format(buffer, size, "%llu B", (unsigned long long)bytes);
        return;
    }
    uint64_t quotient = bytes;
    uint64_t remainder = 0;
    int divisions = 0;
    do {
        remainder = quotient % kKiB;
        quotient /= kKiB;
        divisions++;
    } while (quotient > 1023 && divisions < 5);
    format(buffer, size, "%llu.%llu %s", (unsigned long long)quotient,
           (unsigned long long)(remainder * 10 / kKiB), kUnitNames[divisions - 1]);
}

void format_size_short(char* buffer, size_t size, uint64_t bytes) {
    if (bytes % kGiB == 0 && bytes != 0)
        format(buffer, size, "%llu GiB", (unsigned long long)(bytes / kGiB));
    else if (bytes % kMiB == 0)
        format(buffer, size, "%llu MiB", (unsigned long long)(bytes / kMiB));
    else
        format_size(buffer, size, bytes);
}

uint64_t blocks_to_bytes(uint64_t blocks, uint32_t block_size) {
    if (block_size != 0 && blocks > UINT64_MAX / block_size) return UINT64_MAX;
    return blocks * block_size;
}

} // namespace kv

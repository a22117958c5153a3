#include "platform/format.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

// Formats through vformat so that directives outside the usual printf set
// need no warning suppression. Checks the terminator and the returned length
// on the way.
std::string fmt(const char* format, ...) {
    char buffer[512];
    memset(buffer, '#', sizeof buffer);
    va_list args;
    va_start(args, format);
    int n = kv::vformat(buffer, sizeof buffer, format, args);
    va_end(args);
    EXPECT_GE(n, 0);
    EXPECT_LT(n, static_cast<int>(sizeof buffer));
    EXPECT_EQ(buffer[n], '\0');
    return std::string(buffer, static_cast<size_t>(n));
}

TEST(FormatOutput, TruncatesToBufferAndReturnsFullLength) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(kv::format(buf, 4, "abcdef"), 6);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
}

TEST(FormatOutput, ZeroSizeStoresNothing) {
    char buf[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(kv::format(buf, 0, "abcdef"), 6);
    EXPECT_EQ(buf[0], 'X');
    EXPECT_EQ(kv::format(nullptr, 0, "%d-%s", 123, "xyz"), 7);
}

TEST(FormatOutput, NeedsRoomForTheTerminator) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(kv::format(buf, 7, "abcdef"), 6);
    EXPECT_STREQ(buf, "abcdef");
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(kv::format(buf, 6, "abcdef"), 6);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(buf[6], 'X');
    EXPECT_EQ(kv::format(buf, 1, "abcdef"), 6);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'b');
}

TEST(FormatOutput, EmptyFormatGivesEmptyText) {
    EXPECT_EQ(fmt(""), "");
    char buf[4] = {'X', 'X', 'X', 'X'};
    EXPECT_EQ(kv::format(buf, sizeof buf, "%s", ""), 0);
    EXPECT_EQ(buf[0], '\0');
}

// Every buffer size must store exactly the matching prefix of the full text,
// including cuts inside padding, signs and digits, and never write past it.
TEST(FormatOutput, EverySizeStoresThePrefixOfTheWholeText) {
    const std::string full = "[   -0042|ab   |0x1f|%|4294967295]";
    for (size_t size = 0; size <= full.size() + 1; ++size) {
        char buf[64];
        memset(buf, 'X', sizeof buf);
        int n = kv::format(buf, size, "[%8.4d|%-5s|%p|%%|%u]", -42, "ab", (void*)0x1f, 4294967295u);
        ASSERT_EQ(n, static_cast<int>(full.size()));
        if (size == 0) {
            EXPECT_EQ(buf[0], 'X');
            continue;
        }
        size_t stored = size - 1 < full.size() ? size - 1 : full.size();
        EXPECT_EQ(std::string(buf, stored), full.substr(0, stored)) << "size " << size;
        EXPECT_EQ(buf[stored], '\0');
        EXPECT_EQ(buf[stored + 1], 'X') << "size " << size;
    }
}

TEST(FormatOutput, HugeWidthIsCountedNotStored) {
    char buf[8];
    EXPECT_EQ(kv::format(buf, sizeof buf, "%*d", 50000000, 1), 50000000);
    EXPECT_STREQ(buf, "       ");
    EXPECT_EQ(kv::format(buf, sizeof buf, "%-*s|", 50000000, "ab"), 50000001);
    EXPECT_STREQ(buf, "ab     ");
}

TEST(FormatFlags, SignAndPadding) {
    EXPECT_EQ(fmt("%05d", -42), "-0042");
    EXPECT_EQ(fmt("%-5d|", 42), "42   |");
    EXPECT_EQ(fmt("% d", 5), " 5");
    EXPECT_EQ(fmt("% d", -5), "-5");
    EXPECT_EQ(fmt("%+ d", 5), "+5");
    EXPECT_EQ(fmt("% +d", 0), "+0");
    EXPECT_EQ(fmt("%+5d", 3), "   +3");
    EXPECT_EQ(fmt("%-+5d|", 3), "+3   |");
    EXPECT_EQ(fmt("%+05d", 3), "+0003");
    EXPECT_EQ(fmt("% 05d", 3), " 0003");
    EXPECT_EQ(fmt("%2d", 12345), "12345");
}

TEST(FormatFlags, PlusAndSpaceApplyToUnsignedConversions) {
    EXPECT_EQ(fmt("%+u", 5u), "+5");
    EXPECT_EQ(fmt("% x", 255u), " ff");
    EXPECT_EQ(fmt("%+X", 255u), "+FF");
    EXPECT_EQ(fmt("%+o", 8u), "+10");
    EXPECT_EQ(fmt("%+06x", 255u), "+000ff");
}

TEST(FormatFlags, ZeroIsIgnoredWithMinusOrPrecision) {
    EXPECT_EQ(fmt("%-08d|", 42), "42      |");
    EXPECT_EQ(fmt("%0-8d|", 42), "42      |");
    EXPECT_EQ(fmt("%08.3d", 42), "     042");
    EXPECT_EQ(fmt("%08.0d", 0), "        ");
}

TEST(FormatFlags, ZeroIsIgnoredForCharactersAndStrings) {
    EXPECT_EQ(fmt("%05c", 'A'), "    A");
    EXPECT_EQ(fmt("%05s", "ab"), "   ab");
}

TEST(FormatFlags, HashIsAccepted) {
    EXPECT_EQ(fmt("%#x", 255u), "ff");
    EXPECT_EQ(fmt("%#o", 8u), "10");
    EXPECT_EQ(fmt("%#-4X|", 255u), "FF  |");
}

TEST(FormatFlags, StarWidth) {
    EXPECT_EQ(fmt("%-*s|", 6, "ab"), "ab    |");
    EXPECT_EQ(fmt("%*d", 4, 7), "   7");
    EXPECT_EQ(fmt("%*d|", -4, 7), "7   |");
    EXPECT_EQ(fmt("%0*d|", -4, 7), "7   |");
    EXPECT_EQ(fmt("%*d", 0, 7), "7");
}

TEST(FormatFlags, CharacterWidth) {
    EXPECT_EQ(fmt("%3c", 'x'), "  x");
    EXPECT_EQ(fmt("%-3c|", 'x'), "x  |");
    EXPECT_EQ(fmt("%c", 0x141), "A");
}

TEST(FormatPrecision, IntegerPrecision) {
    EXPECT_EQ(fmt("%+.3d", 7), "+007");
    EXPECT_EQ(fmt("%.5d", -42), "-00042");
    EXPECT_EQ(fmt("%8.5d", -42), "  -00042");
    EXPECT_EQ(fmt("%-8.5d|", -42), "-00042  |");
    EXPECT_EQ(fmt("%.3x", 255u), "0ff");
    EXPECT_EQ(fmt("%.1d", 42), "42");
}

TEST(FormatPrecision, ZeroValueWithPrecisionZeroHasNoDigits) {
    EXPECT_EQ(fmt("%.0d", 0), "");
    EXPECT_EQ(fmt("%5.0d", 0), "     ");
    EXPECT_EQ(fmt("%.d|", 0), "|");
    EXPECT_EQ(fmt("%.0x%.0u%.0o", 0u, 0u, 0u), "");
    EXPECT_EQ(fmt("%+.0d", 0), "+");
    EXPECT_EQ(fmt("%.0d", 5), "5");
}

TEST(FormatPrecision, StarPrecision) {
    EXPECT_EQ(fmt("%.*s", 2, "abcdef"), "ab");
    EXPECT_EQ(fmt("%.*d", 4, 7), "0007");
    // A negative precision means none, so the 0 flag is active again.
    EXPECT_EQ(fmt("%05.*d", -1, 42), "00042");
    EXPECT_EQ(fmt("%*.*d|", -6, 3, 7), "007   |");
}

TEST(FormatPrecision, StringPrecision) {
    EXPECT_EQ(fmt("%.1s", "ab"), "a");
    EXPECT_EQ(fmt("%.10s", "ab"), "ab");
    EXPECT_EQ(fmt("%.0s|", "ab"), "|");
    EXPECT_EQ(fmt("%5.1s", "ab"), "    a");
    // The precision bounds the read: the text need not be terminated.
    const char raw[3] = {'x', 'y', 'z'};
    EXPECT_EQ(fmt("%.3s", raw), "xyz");
}

TEST(FormatLength, NarrowsToCharAndShort) {
    EXPECT_EQ(fmt("%hhu", 257), "1");
    EXPECT_EQ(fmt("%hhd", 255), "-1");
    EXPECT_EQ(fmt("%hhd", 128), "-128");
    EXPECT_EQ(fmt("%hd", 65535), "-1");
    EXPECT_EQ(fmt("%hu", 65536 + 5), "5");
    EXPECT_EQ(fmt("%hx", -1), "ffff");
    EXPECT_EQ(fmt("%hhx", -1), "ff");
    EXPECT_EQ(fmt("%hho", 511), "377");
}

TEST(FormatLength, SixtyFourBit) {
    EXPECT_EQ(fmt("%llu", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(fmt("%lld", INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(fmt("%ld", static_cast<long>(INT64_MAX)), "9223372036854775807");
    EXPECT_EQ(fmt("%+lld", INT64_MAX), "+9223372036854775807");
    EXPECT_EQ(fmt("%25lld", INT64_MIN), "     -9223372036854775808");
    EXPECT_EQ(fmt("%llo", UINT64_MAX), "1777777777777777777777");
    EXPECT_EQ(fmt("%llX", 0xDEADBEEFCAFEBABEull), "DEADBEEFCAFEBABE");
    EXPECT_EQ(fmt("%x", -1), "ffffffff");
}

TEST(FormatLength, SizeTypesAreSixtyFourBit) {
    EXPECT_EQ(fmt("%zu", SIZE_MAX), "18446744073709551615");
    EXPECT_EQ(fmt("%zx", static_cast<size_t>(0x123456789ull)), "123456789");
    EXPECT_EQ(fmt("%td", static_cast<ptrdiff_t>(-5000000000ll)), "-5000000000");
    EXPECT_EQ(fmt("%jd", INTMAX_MIN), "-9223372036854775808");
    EXPECT_EQ(fmt("%ju", UINTMAX_MAX), "18446744073709551615");
}

TEST(FormatLength, ArgumentsAfterWideOnesStayInStep) {
    EXPECT_EQ(fmt("%lld %d %hhd %llx %s", INT64_MIN, 7, -3, 0x1ffffffffull, "end"),
              "-9223372036854775808 7 -3 1ffffffff end");
}

TEST(FormatLength, LettersAreCounted) {
    EXPECT_EQ(fmt("%lhd", 65535), "65535"); // back to int
    EXPECT_EQ(fmt("%hhhd", 255), "-1");     // still char
    EXPECT_EQ(fmt("%hhld", 65535), "-1");   // short
    EXPECT_EQ(fmt("%lllu", UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(fmt("%zhd", -5000000000ll), "-5000000000"); // z sets 2, h brings it to 1
    EXPECT_EQ(fmt("%hzhhd", 65535), "65535");
    EXPECT_EQ(fmt("%hzhhhd", 65535), "-1");
}

TEST(FormatConversions, Integers) {
    EXPECT_EQ(fmt("%d %i", -17, 17), "-17 17");
    EXPECT_EQ(fmt("%d", INT32_MIN), "-2147483648");
    EXPECT_EQ(fmt("%u", 4294967295u), "4294967295");
    EXPECT_EQ(fmt("%x %X %#x", 255u, 255u, 255u), "ff FF ff");
    EXPECT_EQ(fmt("%o %o", 8u, 0u), "10 0");
    EXPECT_EQ(fmt("%d", 0), "0");
}

TEST(FormatConversions, Pointer) {
    EXPECT_EQ(fmt("%p", (void*)nullptr), "0x0");
    EXPECT_EQ(fmt("%p", (void*)0x1234), "0x1234");
    EXPECT_EQ(fmt("%10p", (void*)0x1234), "    0x1234");
    EXPECT_EQ(fmt("%-10p|", (void*)0x1234), "0x1234    |");
    EXPECT_EQ(fmt("%5p", (void*)nullptr), "  0x0");
    EXPECT_EQ(fmt("%+p", (void*)0x1234), "+0x1234");
    EXPECT_EQ(fmt("% p", (void*)0xab), " 0xab");
    EXPECT_EQ(fmt("%p", (void*)0xFFFF800000001000ull), "0xffff800000001000");
    // The 0x counts as two digits; the zeros go between it and the digits.
    EXPECT_EQ(fmt("%010p", (void*)0x1234), "0x00001234");
    EXPECT_EQ(fmt("%.8p", (void*)0x1234), "0x001234");
    EXPECT_EQ(fmt("%.0p", (void*)nullptr), "0x0");
}

TEST(FormatConversions, Strings) {
    EXPECT_EQ(fmt("%s", "hello"), "hello");
    EXPECT_EQ(fmt("%5s", "ab"), "   ab");
    EXPECT_EQ(fmt("%-5s|", "ab"), "ab   |");
    EXPECT_EQ(fmt("%s", (const char*)nullptr), "(null)");
    EXPECT_EQ(fmt("%8s", (const char*)nullptr), "  (null)");
    EXPECT_EQ(fmt("%s|%s", "", "x"), "|x");
}

TEST(FormatConversions, Percent) {
    EXPECT_EQ(fmt("%3d%%", 7), "  7%");
    EXPECT_EQ(fmt("%-5%|"), "%|");
    EXPECT_EQ(fmt("100%%"), "100%");
}

TEST(FormatMalformed, UnknownConversionTakesNoArgument) {
    EXPECT_EQ(fmt("%f %d", 42), "%f 42");
    EXPECT_EQ(fmt("%-08.3lq|%s", "next"), "%q|next");
    EXPECT_EQ(fmt("%n%d", 5), "%n5");
    // Starred fields belong to the dropped directive too.
    EXPECT_EQ(fmt("%*.*f %d", 9), "%f 9");
    EXPECT_EQ(fmt("%*%%d", 3), "%3");
}

TEST(FormatMalformed, FormatEndingInsideADirectivePrintsNothingMore) {
    EXPECT_EQ(fmt("ab%"), "ab");
    EXPECT_EQ(fmt("ab%-5"), "ab");
    EXPECT_EQ(fmt("ab%5."), "ab");
    EXPECT_EQ(fmt("ab%.*"), "ab");
    EXPECT_EQ(fmt("ab%ll"), "ab");
    EXPECT_EQ(fmt("%d%", 1), "1");
}

TEST(FormatHostAgreement, SignedAndUnsignedIntegers) {
    const char* flag_sets[] = {"", "-", "0", "-0", "+", " ", "+0", " -"};
    const char* fields[] = {"", "1", "6", "12", ".0", ".3", "8.5", "3.1", "12.0"};
    const long long values[] = {0, 1, -1, 42, -42, 12345, INT32_MAX, INT32_MIN};
    const long long wide[] = {0, INT64_MIN, INT64_MAX, -1000000000000ll};
    for (const char* flags : flag_sets) {
        for (const char* field : fields) {
            for (long long v : values) {
                std::string f = std::string("%") + flags + field + "d";
                char host[64];
                snprintf(host, sizeof host, f.c_str(), static_cast<int>(v));
                EXPECT_EQ(fmt(f.c_str(), static_cast<int>(v)), host) << f << " " << v;
            }
            for (long long v : wide) {
                std::string f = std::string("%") + flags + field + "lld";
                char host[64];
                snprintf(host, sizeof host, f.c_str(), v);
                EXPECT_EQ(fmt(f.c_str(), v), host) << f << " " << v;
            }
            // + and space differ from C for unsigned conversions.
            if (strchr(flags, '+') || strchr(flags, ' ')) continue;
            for (const char* conv : {"u", "x", "X", "o", "hx", "hhu"}) {
                std::string f = std::string("%") + flags + field + conv;
                for (unsigned v : {0u, 7u, 255u, 65535u, 4294967295u}) {
                    char host[64];
                    snprintf(host, sizeof host, f.c_str(), v);
                    EXPECT_EQ(fmt(f.c_str(), v), host) << f << " " << v;
                }
            }
        }
    }
}

} // namespace

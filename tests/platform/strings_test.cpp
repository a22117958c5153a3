#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/strings.h"

namespace {

std::vector<unsigned char> pattern(size_t n) {
    std::vector<unsigned char> v(n);
    uint32_t x = 12345;
    for (auto& b : v) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return v;
}

TEST(MemoryFunctions, CopyAndFillLargeAndUnalignedBuffers) {
    const size_t n = (1u << 20) + 13;
    std::vector<unsigned char> src = pattern(n);
    std::vector<unsigned char> dst(n + 2, 0xCC);
    EXPECT_EQ(kv::memcpy(dst.data() + 1, src.data(), n), dst.data() + 1);
    EXPECT_TRUE(std::equal(src.begin(), src.end(), dst.begin() + 1));
    EXPECT_EQ(dst[0], 0xCC);
    EXPECT_EQ(dst[n + 1], 0xCC);

    EXPECT_EQ(kv::memset(dst.data() + 3, 0x1FF, n - 5), dst.data() + 3);
    EXPECT_EQ(dst[2], src[1]);
    for (size_t i = 3; i < n - 2; i++)
        ASSERT_EQ(dst[i], 0xFF) << i;
    EXPECT_EQ(dst[n - 2], src[n - 3]);

    kv::memcpy(dst.data(), src.data(), 0);
    kv::memset(dst.data(), 0, 0);
    EXPECT_EQ(dst[0], 0xCC);
}

TEST(MemoryFunctions, MoveHandlesOverlapInBothDirections) {
    const std::vector<unsigned char> ref = pattern(4096);
    for (size_t shift : {1u, 7u, 100u, 2047u}) {
        SCOPED_TRACE(shift);
        size_t n = ref.size() - shift;
        std::vector<unsigned char> up = ref;
        EXPECT_EQ(kv::memmove(up.data() + shift, up.data(), n), up.data() + shift);
        EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + n, up.begin() + shift));
        EXPECT_TRUE(std::equal(ref.begin(), ref.begin() + shift, up.begin()));

        std::vector<unsigned char> down = ref;
        EXPECT_EQ(kv::memmove(down.data(), down.data() + shift, n), down.data());
        EXPECT_TRUE(std::equal(ref.begin() + shift, ref.end(), down.begin()));
        EXPECT_TRUE(std::equal(ref.end() - shift, ref.end(), down.end() - shift));
    }
    // A backward copy must leave the direction flag clear for what follows.
    std::vector<unsigned char> a = ref;
    kv::memmove(a.data() + 1, a.data(), 100);
    std::vector<unsigned char> b(64);
    kv::memcpy(b.data(), ref.data(), 64);
    EXPECT_TRUE(std::equal(b.begin(), b.end(), ref.begin()));
}

TEST(MemoryFunctions, CompareTreatsBytesAsUnsigned) {
    EXPECT_EQ(kv::memcmp("abc", "abd", 2), 0);
    EXPECT_LT(kv::memcmp("abc", "abd", 3), 0);
    EXPECT_GT(kv::memcmp("\x80", "\x01", 1), 0);
    EXPECT_EQ(kv::memcmp("x", "y", 0), 0);
    EXPECT_EQ(kv::memcmp("a\0b", "a\0c", 3) < 0, true);
}

TEST(StringFunctions, LengthCompareSearchConcatenate) {
    EXPECT_EQ(kv::strlen(""), 0u);
    EXPECT_EQ(kv::strlen("partition"), 9u);

    EXPECT_EQ(kv::strcmp("abc", "abc"), 0);
    EXPECT_LT(kv::strcmp("ab", "abc"), 0);
    EXPECT_GT(kv::strcmp("abd", "abc"), 0);
    EXPECT_GT(kv::strcmp("\xc3\xa9", "z"), 0);

    const char* s = "gpt:mbr";
    EXPECT_EQ(kv::strchr(s, ':'), s + 3);
    EXPECT_EQ(kv::strchr(s, 'g'), s);
    EXPECT_EQ(kv::strchr(s, 'x'), nullptr);
    EXPECT_EQ(kv::strchr(s, '\0'), s + 7);

    char buf[16] = "disk";
    EXPECT_EQ(kv::strcat(buf, "0p1"), buf);
    EXPECT_STREQ(buf, "disk0p1");
    kv::strcat(buf, "");
    EXPECT_STREQ(buf, "disk0p1");

    EXPECT_EQ(kv::strcspn("name=value", "=:"), 4u);
    EXPECT_EQ(kv::strcspn("abc", ""), 3u);
    EXPECT_EQ(kv::strcspn("abc", "xyz"), 3u);
    EXPECT_EQ(kv::strcspn(":abc", ":"), 0u);
}

TEST(StringFunctions, CaseInsensitiveCompareFoldsOnlyAsciiLetters) {
    EXPECT_EQ(kv::strcasecmp("EFI System", "efi sYSTEM"), 0);
    // Folded 'a' sorts before 'b' although raw 'a' is above 'B'.
    EXPECT_LT(kv::strcasecmp("a", "B"), 0);
    EXPECT_GT(kv::strcasecmp("abc", "AB"), 0);
    // '[' sits between the cases: unchanged, it is below 'a' but above 'A'.
    EXPECT_LT(kv::strcasecmp("[", "A"), 0);
    EXPECT_NE(kv::strcasecmp("\xc3\x89", "\xc3\xa9"), 0);

    EXPECT_EQ(kv::strncasecmp("LINUXfs", "linuxswap", 5), 0);
    EXPECT_NE(kv::strncasecmp("LINUXfs", "linuxswap", 6), 0);
    EXPECT_EQ(kv::strncasecmp("ab", "AB", 10), 0);
    EXPECT_LT(kv::strncasecmp("ab", "ABC", 10), 0);
    EXPECT_EQ(kv::strncasecmp("x", "y", 0), 0);
}

TEST(StringFunctions, StrtoulPrefixesSignsAndEnd) {
    char* end = nullptr;
    const char* s = "  0x1F";
    EXPECT_EQ(kv::strtoul(s, &end, 0), 31u);
    EXPECT_EQ(end, s + 6);

    s = "0xZ";
    EXPECT_EQ(kv::strtoul(s, &end, 0), 0u);
    EXPECT_EQ(end, s + 1);

    s = "-5";
    EXPECT_EQ(kv::strtoul(s, &end, 10), 0u);
    EXPECT_EQ(end, s);

    s = "\t\n\v\f\r +42kb";
    EXPECT_EQ(kv::strtoul(s, &end, 0), 42u);
    EXPECT_EQ(*end, 'k');

    // No octal: a leading zero is an ordinary decimal digit.
    EXPECT_EQ(kv::strtoul("0755", nullptr, 0), 755u);
    EXPECT_EQ(kv::strtoul("0XfF", nullptr, 16), 255u);
    EXPECT_EQ(kv::strtoul("ff", nullptr, 16), 255u);
    EXPECT_EQ(kv::strtoul("0x10", nullptr, 10), 0u);
    EXPECT_EQ(kv::strtoul("1012", nullptr, 2), 5u);
    EXPECT_EQ(kv::strtoul("zZ", nullptr, 36), 35u * 36 + 35);

    // Wraps modulo 2^64 instead of saturating.
    EXPECT_EQ(kv::strtoul("18446744073709551617", nullptr, 10), 1u);
    EXPECT_EQ(kv::strtoul("0x1ffffffffffffffff", nullptr, 0), UINT64_MAX);
}

} // namespace

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "platform/utf.h"
#include "sim/firmware.h"

namespace {

struct Step {
    uint32_t cp;
    size_t consumed;
    bool operator==(const Step&) const = default;
};

std::vector<Step> decode_all(const std::string& s) {
    std::vector<Step> steps;
    for (size_t i = 0; i < s.size();) {
        Step st{};
        st.cp = kv::utf8_decode(s.data() + i, s.size() - i, &st.consumed);
        steps.push_back(st);
        i += st.consumed;
    }
    return steps;
}

void PrintTo(const Step& s, std::ostream* os) {
    *os << std::hex << "U+" << s.cp << "/" << s.consumed;
}

TEST(Utf8Decode, WellFormedFormsOfEveryLength) {
    EXPECT_EQ(decode_all("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"),
              (std::vector<Step>{{'A', 1}, {0xE9, 2}, {0x20AC, 3}, {0x1F600, 4}}));
    size_t consumed = 99;
    EXPECT_EQ(kv::utf8_decode("x", 0, &consumed), 0u);
    EXPECT_EQ(consumed, 0u);
}

TEST(Utf8Decode, MalformedInputGivesReplacementAndResumesAfterLead) {
    // Truncated euro sign followed by A.
    EXPECT_EQ(decode_all("\xe2\x82"
                         "A"),
              (std::vector<Step>{{0xFFFD, 1}, {0xFFFD, 1}, {'A', 1}}));
    // Stray continuation byte and bytes that never start a character.
    EXPECT_EQ(decode_all("\x80\xf8\xff"),
              (std::vector<Step>{{0xFFFD, 1}, {0xFFFD, 1}, {0xFFFD, 1}}));
    // A lead byte whose follower is not a continuation byte.
    EXPECT_EQ(decode_all("\xc3"
                         "A"),
              (std::vector<Step>{{0xFFFD, 1}, {'A', 1}}));
    EXPECT_EQ(decode_all("\xe2\x82\xc3\xa9"),
              (std::vector<Step>{{0xFFFD, 1}, {0xFFFD, 1}, {0xE9, 2}}));
    // Only the available bytes count, even when more follow in memory.
    size_t consumed;
    EXPECT_EQ(kv::utf8_decode("\xc3\xa9", 1, &consumed), 0xFFFDu);
    EXPECT_EQ(consumed, 1u);
}

TEST(Utf8Decode, OverlongSurrogateAndOutOfRangeValuesAreAccepted) {
    EXPECT_EQ(decode_all("\xc0\xaf"), (std::vector<Step>{{0x2F, 2}}));
    EXPECT_EQ(decode_all("\xed\xa0\x80"), (std::vector<Step>{{0xD800, 3}}));
    EXPECT_EQ(decode_all("\xf4\x90\x80\x80"), (std::vector<Step>{{0x110000, 4}}));
}

TEST(Utf8Encode, LengthFollowsTheRange) {
    struct Case {
        uint32_t cp;
        std::string bytes;
    } cases[] = {{0x00, std::string(1, '\0')},
                 {0x7F, "\x7f"},
                 {0x80, "\xc2\x80"},
                 {0x7FF, "\xdf\xbf"},
                 {0x800, "\xe0\xa0\x80"},
                 {0xD83D, "\xed\xa0\xbd"},
                 {0xFFFF, "\xef\xbf\xbf"},
                 {0x10000, "\xf0\x90\x80\x80"},
                 {0x10FFFF, "\xf4\x8f\xbf\xbf"}};
    for (const auto& c : cases) {
        char out[4];
        int n = kv::utf8_encode(c.cp, out);
        EXPECT_EQ(std::string(out, static_cast<size_t>(n)), c.bytes) << std::hex << c.cp;
    }
}

TEST(Utf8Columns, CountAndPrefixWalkDecodeSteps) {
    const std::string s = "a\xc3\xa9\xe2\x82"
                          "b";
    EXPECT_EQ(kv::utf8_count(s.data(), s.size()), 5u);
    EXPECT_EQ(kv::utf8_count(s.data(), 0), 0u);
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), s.size(), 2), 3u);
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), s.size(), 4), 5u);
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), s.size(), 100), s.size());
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), 0, 3), 0u);
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), s.size(), 0), 0u);
    // A character cut by n is not counted past n.
    EXPECT_EQ(kv::utf8_prefix_bytes(s.data(), 2, 2), 2u);
}

class Utf16 : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Utf16, FromUtf8OneUnitPerCodePoint) {
    size_t count = 99;
    char16_t* u = kv::utf8_to_utf16("A\xc3\xa9\xf0\x9f\x98\x80\xff"
                                    "z",
                                    &count);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::u16string(u), u"A\u00E9\uFFFD\uFFFDz");
    kv::free(u);

    u = kv::utf8_to_utf16("", &count);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(u[0], 0);
    kv::free(u);

    u = kv::utf8_to_utf16("\xf0\x9f\x98\x80", nullptr);
    EXPECT_EQ(std::u16string(u), u"\uFFFD");
    kv::free(u);
}

TEST_F(Utf16, ToUtf8EncodesEachUnitAlone) {
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    char* s = kv::utf16_to_utf8(pair, static_cast<size_t>(-1));
    EXPECT_EQ(std::string(s), "\xed\xa0\xbd\xed\xb8\x80");
    kv::free(s);

    const char16_t text[] = {u'E', u'F', 0x00E9, 0x20AC, 0, u'X'};
    s = kv::utf16_to_utf8(text, 3);
    EXPECT_EQ(std::string(s), "EF\xc3\xa9");
    kv::free(s);
    s = kv::utf16_to_utf8(text, 6);
    EXPECT_EQ(std::string(s), "EF\xc3\xa9\xe2\x82\xac");
    kv::free(s);

    s = kv::utf16_to_utf8(text, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "");
    kv::free(s);
}

} // namespace

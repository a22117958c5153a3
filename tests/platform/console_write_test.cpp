#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console.h"
#include "platform/globals.h"
#include "sim/firmware.h"

namespace {

std::vector<std::u16string> g_calls;
EFI_STATUS(EFIAPI* g_forward)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, CHAR16*);

EFI_STATUS EFIAPI record_output(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* self, CHAR16* text) {
    g_calls.emplace_back(text);
    return g_forward(self, text);
}

class ConsoleWrite : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        g_calls.clear();
        EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = kv::g_st->ConOut;
        g_forward = out->OutputString;
        out->OutputString = record_output;
    }
    void TearDown() override { kv::g_st->ConOut->OutputString = g_forward; }

    static void write(const std::string& s) { kv::console_write(s.data(), s.size()); }
};

TEST_F(ConsoleWrite, LineFeedBecomesCrLfAndOtherControlsPass) {
    write("a\nb");
    EXPECT_EQ(sim::console_output(), u"a\r\nb");
    write("\r\t\x1b");
    EXPECT_EQ(sim::console_output(), u"a\r\nb\r\t\x1b");
}

TEST_F(ConsoleWrite, MalformedBytesAndAstralCharactersShowAsReplacement) {
    write("x\xff"
          "y\xe2\x82"
          "A");
    write("\xf0\x9f\x98\x80!\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(sim::console_output(), u"x\uFFFDy\uFFFD\uFFFDA\uFFFD!\u00E9\u20AC");
}

TEST_F(ConsoleWrite, CountLimitsTheBytesAndZeroWritesNothing) {
    kv::console_write("abc", 0);
    EXPECT_TRUE(g_calls.empty());
    kv::console_write("abcdef", 3);
    EXPECT_EQ(sim::console_output(), u"abc");
}

TEST_F(ConsoleWrite, LongTextGoesOutInChunksOfAtMost254Units) {
    std::string text;
    std::u16string expected;
    for (int i = 0; i < 600; i++) {
        char c = static_cast<char>('a' + i % 26);
        text += c;
        expected += static_cast<char16_t>(c);
        if (i % 100 == 99) {
            text += '\n';
            expected += u"\r\n";
        }
    }
    write(text);
    EXPECT_EQ(sim::console_output(), expected);
    ASSERT_EQ(g_calls.size(), (expected.size() + 253) / 254);
    for (const auto& call : g_calls)
        EXPECT_LE(call.size(), 254u);
    EXPECT_EQ(g_calls[0].size(), 254u);
}

} // namespace

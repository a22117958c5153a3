#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/memory.h"
#include "platform/strbuf.h"
#include "sim/firmware.h"

namespace {

void vappend_without_format(kv::StrBuf* b, ...) {
    va_list args;
    va_start(args, b);
    kv::strbuf_vappendf(b, nullptr, args);
    va_end(args);
}

class StrBufTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::strbuf_init(&b);
    }
    void TearDown() override { kv::strbuf_free(&b); }
    kv::StrBuf b;
};

TEST_F(StrBufTest, CapacityStartsAt32AndDoubles) {
    EXPECT_EQ(b.data, nullptr);
    kv::strbuf_putc(&b, 'x');
    EXPECT_EQ(b.cap, 32u);
    EXPECT_EQ(b.len, 1u);
    std::string forty(40, 'y');
    kv::strbuf_append(&b, forty.data(), forty.size());
    EXPECT_EQ(b.cap, 64u);
    EXPECT_EQ(b.len, 41u);
    EXPECT_EQ(std::string(b.data), "x" + forty);

    // Growth doubles repeatedly until the request fits.
    std::string big(300, 'z');
    kv::strbuf_append(&b, big.data(), big.size());
    EXPECT_EQ(b.cap, 512u);
    EXPECT_EQ(b.len, 341u);
    EXPECT_EQ(b.data[b.len], '\0');
}

TEST_F(StrBufTest, ReserveLeavesRoomForTerminatorAndKeepsText) {
    kv::strbuf_reserve(&b, 31);
    EXPECT_EQ(b.cap, 32u);
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.data[0], '\0');
    kv::strbuf_reserve(&b, 32);
    EXPECT_EQ(b.cap, 64u);
    kv::strbuf_append_str(&b, "abc");
    kv::strbuf_reserve(&b, 0);
    EXPECT_EQ(b.cap, 64u);
    EXPECT_STREQ(b.data, "abc");
}

TEST_F(StrBufTest, AppendfFormatsShortAndLongTexts) {
    kv::strbuf_appendf(&b, "%s=%d", "count", 42);
    EXPECT_STREQ(b.data, "count=42");
    std::string long_text(300, 'w');
    kv::strbuf_appendf(&b, "[%s]", long_text.c_str());
    std::string expected = "count=42[" + long_text + "]";
    EXPECT_EQ(b.len, expected.size());
    EXPECT_EQ(std::string(b.data), expected);

    // Exactly 255 bytes still fits the local buffer, 256 does not.
    kv::StrBuf edge;
    for (size_t n : {255u, 256u}) {
        kv::strbuf_init(&edge);
        std::string t(n, 'e');
        kv::strbuf_appendf(&edge, "%s", t.c_str());
        EXPECT_EQ(std::string(edge.data), t);
        EXPECT_EQ(edge.len, n);
        kv::strbuf_free(&edge);
    }

    size_t len = b.len;
    vappend_without_format(&b, 1, 2);
    EXPECT_EQ(b.len, len);
}

TEST_F(StrBufTest, TakeHandsOverTheTextAndResets) {
    char* empty = kv::strbuf_take(&b);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    kv::free(empty);

    kv::strbuf_append_str(&b, "gpt");
    char* data = b.data;
    char* text = kv::strbuf_take(&b);
    EXPECT_EQ(text, data);
    EXPECT_STREQ(text, "gpt");
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
    kv::free(text);

    size_t live = sim::pool_blocks_live();
    kv::strbuf_append_str(&b, "x");
    kv::strbuf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
    EXPECT_EQ(sim::pool_blocks_live(), live);
}

} // namespace

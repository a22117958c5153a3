#include "disk/crc32.h"
#include "disk/guid.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/disk/image_builder.h"

namespace {

TEST(Crc32Test, MatchesTheStandardCheckValue) {
    EXPECT_EQ(kv::crc32(0, "123456789", 9), 0xCBF43926u);
}

TEST(Crc32Test, ContinuesARunningChecksumOverPieces) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 7 + 3);
    uint32_t whole = kv::crc32(0, data.data(), data.size());
    EXPECT_EQ(whole, kvtest::ref_crc32(data.data(), data.size()));
    uint32_t part = kv::crc32(0, data.data(), 1);
    part = kv::crc32(part, data.data() + 1, 600);
    part = kv::crc32(part, data.data() + 601, 399);
    EXPECT_EQ(part, whole);
}

TEST(Crc32Test, EmptyInputLeavesThePreviousValue) {
    EXPECT_EQ(kv::crc32(0, "", 0), 0u);
    EXPECT_EQ(kv::crc32(0xCBF43926u, nullptr, 0), 0xCBF43926u);
}

TEST(Crc32Test, CoversEveryByteValue) {
    // Catches a table built wrongly for some entries only.
    uint8_t all[256];
    for (int i = 0; i < 256; i++)
        all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(kv::crc32(0, all, 256), kvtest::ref_crc32(all, 256));
    EXPECT_EQ(kv::crc32(0, all, 256), 0x29058C73u);
}

const uint8_t kEspBytes[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                               0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};

TEST(GuidTest, TextShowsTheFirstThreeGroupsLittleEndian) {
    char text[kv::kGuidTextSize];
    std::memset(text, 'x', sizeof text);
    kv::guid_to_text(kEspBytes, text);
    EXPECT_STREQ(text, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}

TEST(GuidTest, TextIsUpperCaseHex) {
    uint8_t g[16];
    for (int i = 0; i < 16; i++)
        g[i] = static_cast<uint8_t>(0xA0 + i);
    char text[kv::kGuidTextSize];
    kv::guid_to_text(g, text);
    EXPECT_STREQ(text, "A3A2A1A0-A5A4-A7A6-A8A9-AAABACADAEAF");
}

TEST(GuidTest, ParsesIntoGptByteOrder) {
    uint8_t g[16] = {};
    ASSERT_TRUE(kv::guid_from_text("C12A7328-F81F-11D2-BA4B-00A0C93EC93B", g));
    EXPECT_EQ(std::memcmp(g, kEspBytes, 16), 0);
    uint8_t lower[16] = {};
    ASSERT_TRUE(kv::guid_from_text("c12a7328-f81f-11d2-ba4b-00a0c93ec93b", lower));
    EXPECT_EQ(std::memcmp(lower, kEspBytes, 16), 0);
}

TEST(GuidTest, TextAndBytesRoundTrip) {
    uint8_t g[16];
    uint32_t state = 12345;
    for (int round = 0; round < 50; round++) {
        for (uint8_t& b : g) {
            state = state * 1103515245u + 12345u;
            b = static_cast<uint8_t>(state >> 16);
        }
        char text[kv::kGuidTextSize];
        kv::guid_to_text(g, text);
        uint8_t back[16] = {};
        ASSERT_TRUE(kv::guid_from_text(text, back)) << text;
        EXPECT_EQ(std::memcmp(back, g, 16), 0) << text;
    }
}

TEST(GuidTest, RefusesMalformedText) {
    const char* bad[] = {
        "C12A7328-F81F-11D2-BA4B-00A0C93EC93",   // 35 characters
        "C12A7328-F81F-11D2-BA4B-00A0C93EC93B0", // 37 characters
        "C12A7328F-81F-11D2-BA4B-00A0C93EC93B",  // dash moved
        "C12A7328-F81F-11D2-BA4B000A0C93EC93B-", // dash moved to the end
        "C12A7328-F81F-11D2-BA4B-00A0C93EC93G",  // not hex
        "C12A7328-F81F-11D2-BA4B-00A0C93EC9 B",  // space
        "C12A7328+F81F-11D2-BA4B-00A0C93EC93B",  // wrong separator
        "",
    };
    for (const char* text : bad) {
        uint8_t g[16];
        std::memset(g, 0x77, sizeof g);
        EXPECT_FALSE(kv::guid_from_text(text, g)) << text;
        for (uint8_t b : g)
            EXPECT_EQ(b, 0x77) << text; // untouched on failure
    }
}

} // namespace

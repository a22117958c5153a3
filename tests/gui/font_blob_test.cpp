// The shipped font blob read with a parser of this test's own: its shape,
// its embedding, and widths and kerning as the blob's tables give them.
// Also regenerates the blob when the recorded tool versions are installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "gui/font.h"
#include "gui/font_blob.h"

namespace {

const std::string kBlobPath = KV_SOURCE_DIR "/gui/font/korvane.kvf";

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le16(const std::vector<uint8_t>& b, size_t at) {
    return b.at(at) | b.at(at + 1) << 8;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}

struct Shipped {
    std::vector<uint8_t> blob = read_file(kBlobPath);

    size_t record(int index) const { return 12 + 20 * size_t(index); }
    // Record index of a size: regular then bold for 16, 20, 26, 32, 40, 52.
    int index_of(int pixels, bool bold) const {
        for (int i = 0; i < 12; i++)
            if (blob[record(i)] == pixels && (blob[record(i) + 1] != 0) == bold) return i;
        return -1;
    }
    int glyph(uint32_t cp) const {
        const size_t table = le32(blob, 8);
        for (uint32_t i = 0; i < le16(blob, 6); i++)
            if (le32(blob, table + 4 * i) == cp) return int(i);
        return -1;
    }
    int advance(int size, uint32_t cp) const {
        return int(le16(blob, le32(blob, record(size) + 8) + 12 * size_t(glyph(cp))));
    }
    int kerning(int size, uint32_t first, uint32_t second) const {
        const size_t table = le32(blob, record(size) + 12);
        for (uint32_t i = 0; i < le32(blob, record(size) + 16); i++)
            if (blob[table + 4 * i] == first && blob[table + 4 * i + 1] == second)
                return int16_t(le16(blob, table + 4 * i + 2));
        return 0;
    }
};

int rounded(int pen) {
    return pen >= 0 ? (pen + 32) / 64 : -((-(pen + 32) + 63) / 64);
}

TEST(FontBlob, ProgramCarriesTheCommittedBlob) {
    const Shipped shipped;
    ASSERT_FALSE(shipped.blob.empty());
    ASSERT_EQ(kv::font_blob_size(), shipped.blob.size());
    EXPECT_TRUE(std::equal(shipped.blob.begin(), shipped.blob.end(), kv::font_blob()));
}

TEST(FontBlob, HasTheSizesCodePointsAndKerningTheLayoutNeeds) {
    const Shipped s;
    ASSERT_EQ(std::string(s.blob.begin(), s.blob.begin() + 4), "KVF1");
    ASSERT_EQ(le16(s.blob, 4), 12u);
    const int table[6][4] = {{16, 16, 4, 23}, {20, 20, 5, 29},  {26, 26, 7, 38},
                             {32, 31, 8, 45}, {40, 39, 10, 57}, {52, 51, 13, 74}};
    for (int i = 0; i < 12; i++) {
        SCOPED_TRACE(i);
        const size_t r = s.record(i);
        EXPECT_EQ(s.blob[r], table[i / 2][0]);
        EXPECT_EQ(s.blob[r + 1], i % 2);
        EXPECT_EQ(s.blob[r + 2], table[i / 2][1]);
        EXPECT_EQ(s.blob[r + 3], table[i / 2][2]);
        EXPECT_EQ(s.blob[r + 4], table[i / 2][3]);
        const uint32_t count = le32(s.blob, r + 16);
        EXPECT_GT(count, 0u);
        EXPECT_LE(count, 1201u);
        const size_t pairs = le32(s.blob, r + 12);
        uint32_t previous_key = 0;
        for (uint32_t p = 0; p < count; p++) {
            const uint32_t first = s.blob[pairs + 4 * p], second = s.blob[pairs + 4 * p + 1];
            EXPECT_TRUE(first >= 33 && first <= 126 && second >= 33 && second <= 126);
            EXPECT_GT(first * 256 + second, previous_key); // sorted, no duplicates
            EXPECT_NE(le16(s.blob, pairs + 4 * p + 2), 0u);
            previous_key = first * 256 + second;
        }
    }
    std::vector<uint32_t> expected;
    for (uint32_t c = 0x20; c <= 0x7E; c++)
        expected.push_back(c);
    for (uint32_t c = 0xA0; c <= 0xFF; c++)
        expected.push_back(c);
    for (uint32_t c : {0x2013, 0x2014, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2026, 0x2190,
                       0x2191, 0x2192, 0x2193, 0x2212, 0x2264, 0x2265})
        expected.push_back(c);
    ASSERT_EQ(le16(s.blob, 6), expected.size());
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(le32(s.blob, le32(s.blob, 8) + 4 * i), expected[i]) << i;
}

TEST(FontBlob, PicksTheNearestSizeNotAbove) {
    ASSERT_TRUE(kv::font_load());
    for (int pixels : {16, 20, 26, 32, 40, 52}) {
        EXPECT_EQ(kv::font_pixel_size(kv::font_pick(pixels, false)), pixels);
        EXPECT_EQ(kv::font_pixel_size(kv::font_pick(pixels, true)), pixels);
        EXPECT_TRUE(kv::font_pick(pixels, true)->bold);
    }
    EXPECT_EQ(kv::font_pixel_size(kv::font_pick(24, false)), 20);
    EXPECT_EQ(kv::font_pixel_size(kv::font_pick(10, true)), 16);
    EXPECT_EQ(kv::font_pixel_size(kv::font_pick(500, false)), 52);
    EXPECT_EQ(kv::font_line_height(kv::font_pick(32, false)), 45);
}

TEST(FontBlob, WidthsFollowTheAdvanceAndKerningTables) {
    ASSERT_TRUE(kv::font_load());
    const Shipped s;
    EXPECT_EQ(kv::text_width(kv::font_pick(16, false), " "), 5);
    for (int pixels : {16, 52}) {
        for (bool bold : {false, true}) {
            const int index = s.index_of(pixels, bold);
            const kv::FontSize* size = kv::font_pick(pixels, bold);
            int kerned = 0;
            for (uint32_t a = 33; a <= 126; a++) {
                for (uint32_t b = 33; b <= 126; b++) {
                    const char text[3] = {char(a), char(b), 0};
                    const int k = s.kerning(index, a, b);
                    kerned += k != 0;
                    ASSERT_EQ(kv::text_width(size, text),
                              rounded(s.advance(index, a) + s.advance(index, b) + k))
                        << text << " at " << pixels;
                }
            }
            EXPECT_GT(kerned, 0);
            // "T" then a space, "T" then e acute: kerned against "o" or
            // not, never against those.
            EXPECT_EQ(kv::text_width(size, "T "),
                      rounded(s.advance(index, 'T') + s.advance(index, ' ')));
            EXPECT_EQ(kv::text_width(size, "T\xC3\xA9"),
                      rounded(s.advance(index, 'T') + s.advance(index, 0xE9)));
            EXPECT_EQ(kv::text_width(size, "\xE4\xB8\xAD"), rounded(s.advance(index, '?')));
        }
    }
}

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    return pclose(pipe) == 0 ? out : "";
}

TEST(FontBlob, RegeneratesByteForByteWithTheRecordedTools) {
    const std::string tool = KV_BINARY_DIR "/tools/kvfont";
    const std::vector<uint8_t> recorded = read_file(KV_SOURCE_DIR "/gui/font/VERSIONS");
    const std::string installed = run(tool + " --versions");
    ASSERT_FALSE(installed.empty()) << "kvfont --versions failed";
    if (installed != std::string(recorded.begin(), recorded.end()))
        GTEST_SKIP() << "the installed font, FreeType or HarfBuzz differ from gui/font/VERSIONS:\n"
                     << installed;
    const std::string out = KV_BINARY_DIR "/font_regenerated.kvf";
    ASSERT_FALSE(run(tool + " " + out + " 2>/dev/null").empty());
    EXPECT_TRUE(read_file(out) == Shipped().blob);
}

} // namespace

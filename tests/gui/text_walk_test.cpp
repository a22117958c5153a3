// text_draw and text_width on the hand-made font, where every coverage,
// offset, advance and kerning value is known.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "gui/font.h"
#include "tests/gui/font_fixture.h"

namespace {

constexpr kv::Pixel kBack = 0x102030;
constexpr kv::Pixel kInk = 0xF0E0D0;

kv::Pixel blend(uint32_t a) {
    kv::Pixel out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const uint32_t c = (kInk >> shift) & 0xFF, e = (kBack >> shift) & 0xFF;
        out |= ((c * a + e * (15 - a) + 7) / 15) << shift;
    }
    return out;
}

class TextWalk : public ::testing::Test {
  protected:
    void SetUp() override {
        blob = fontfix::make_blob();
        ASSERT_TRUE(kv::font_load_blob(blob.data(), blob.size()));
        size = kv::font_pick(16, false);
        ASSERT_NE(size, nullptr);
        pixels.assign(16 * 20, kBack);
        canvas = {pixels.data(), 16, 20, 0, 0, 16, 20};
    }
    void TearDown() override { kv::font_load_blob(nullptr, 0); }

    kv::Pixel at(int x, int y) const { return pixels[size_t(y) * 16 + x]; }
    int changed() const {
        int n = 0;
        for (kv::Pixel p : pixels)
            n += p != kBack;
        return n;
    }

    std::vector<uint8_t> blob;
    const kv::FontSize* size = nullptr;
    std::vector<kv::Pixel> pixels;
    kv::Canvas canvas{};
};

TEST_F(TextWalk, BlendsCoverageAtTheGlyphOffsets) {
    EXPECT_EQ(kv::text_draw(&canvas, 0, 0, size, kInk, "A"), 7);
    const int top = fontfix::kBaseline - 3;
    EXPECT_EQ(at(1, top), kInk);
    EXPECT_EQ(at(2, top), blend(5));
    EXPECT_EQ(at(3, top), kBack);
    EXPECT_EQ(at(1, top + 1), kBack);
    EXPECT_EQ(at(2, top + 1), blend(10));
    EXPECT_EQ(at(3, top + 1), kInk);
    EXPECT_EQ(changed(), 4);
}

TEST_F(TextWalk, KernsPrintablePairsOnly) {
    // AV: 448 - 100 = 348/64 puts V at column 5; the end is (348 + 384) / 64.
    EXPECT_EQ(kv::text_draw(&canvas, 0, 0, size, kInk, "AV"), 11);
    EXPECT_EQ(at(5, fontfix::kBaseline - 1), kInk);
    EXPECT_EQ(kv::text_width(size, "AV"), (448 - 100 + 384 + 32) / 64);
    // A space between them breaks the pair.
    EXPECT_EQ(kv::text_width(size, "A V"), (448 + 288 + 384 + 32) / 64);
    EXPECT_EQ(kv::text_width(size, "VA"), (384 + 448 + 32) / 64);
}

TEST_F(TextWalk, MissingCharactersAreQuestionMarksIncludingTheirKerning) {
    EXPECT_EQ(kv::text_width(size, "\xE4\xB8\xAD"), 5); // U+4E2D
    EXPECT_EQ(kv::text_width(size, "\xFF"), 5);         // invalid UTF-8
    // U+00E9 is missing here, drawn and kerned as "?": 320 + 64 + 384.
    EXPECT_EQ(kv::text_width(size, "\xC3\xA9V"), (320 + 64 + 384 + 32) / 64);
    EXPECT_EQ(kv::text_draw(&canvas, 0, 0, size, kInk, "B"), 5);
    EXPECT_EQ(at(0, fontfix::kBaseline - 2), kInk);
    EXPECT_EQ(changed(), 4);
}

TEST_F(TextWalk, EmptyTextAndNoSizeLeaveThePenWhereItWas) {
    EXPECT_EQ(kv::text_width(size, ""), 0);
    EXPECT_EQ(kv::text_draw(&canvas, 7, 3, size, kInk, ""), 7);
    EXPECT_EQ(kv::text_draw(&canvas, 7, 3, nullptr, kInk, "AV"), 7);
    EXPECT_EQ(changed(), 0);
}

TEST_F(TextWalk, PenRoundsHalfPixelsUpAndNegativePositionsDown) {
    EXPECT_EQ(kv::text_width(size, " "), 5); // 288/64 = 4.5
    // From x = -10 the pen ends at -640 + 448 = -192, exactly -3.
    EXPECT_EQ(kv::text_draw(&canvas, -10, 0, size, kInk, "A"), -3);
    // -640 + 288 = -352 is -5.5, which rounds up to -5.
    EXPECT_EQ(kv::text_draw(&canvas, -10, 0, size, kInk, " "), -5);
    EXPECT_EQ(changed(), 0);
}

TEST_F(TextWalk, ClipCutsTheDrawingButNotTheAdvance) {
    canvas.clip_x = 2;
    canvas.clip_w = 3;
    canvas.clip_y = fontfix::kBaseline - 2;
    canvas.clip_h = 1;
    EXPECT_EQ(kv::text_draw(&canvas, 0, 0, size, kInk, "AV"), 11);
    // Only row baseline - 2 of columns 2..4 may change: A's bottom row
    // there is 10 15; its top row and V lie outside.
    EXPECT_EQ(at(2, fontfix::kBaseline - 2), blend(10));
    EXPECT_EQ(at(3, fontfix::kBaseline - 2), kInk);
    EXPECT_EQ(changed(), 2);

    // Glyphs hanging off every edge of the canvas.
    canvas.clip_x = canvas.clip_y = 0;
    canvas.clip_w = 16;
    canvas.clip_h = 20;
    pixels.assign(pixels.size(), kBack);
    // Only A's bottom row reaches row 0, its first two columns at 14, 15.
    EXPECT_EQ(kv::text_draw(&canvas, 13, -10, size, kInk, "AAA"), 13 + 21);
    EXPECT_EQ(at(15, 0), blend(10));
    EXPECT_EQ(changed(), 1);
    // Only A's last column and bottom row reach the bottom-left pixel.
    EXPECT_EQ(kv::text_draw(&canvas, -3, 9, size, kInk, "A"), 4);
    EXPECT_EQ(at(0, 19), kInk);
    EXPECT_EQ(changed(), 2);
}

} // namespace

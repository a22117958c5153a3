// A small hand-made font blob for the font tests: one 16 px size, the code
// points space, "?", "A" and "V", bitmaps with known coverage and two
// kerning pairs, with the offsets of every field a test may damage.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace fontfix {

constexpr size_t kSizeRecord = 12;
constexpr size_t kCodePoints = 32;
constexpr size_t kMetrics = 48;
constexpr size_t kKerning = 96;
constexpr size_t kBitmaps = 104;
constexpr size_t kGlyphSpace = 0, kGlyphQuestion = 1, kGlyphA = 2, kGlyphV = 3;

// Baseline of a line box at y: ascent 10 + (line height 17 - 10 - 3) / 2.
constexpr int32_t kBaseline = 12;
constexpr int32_t kAdvanceSpace = 288, kAdvanceQuestion = 320, kAdvanceA = 448, kAdvanceV = 384;
constexpr int32_t kKernAV = -100, kKernQuestionV = 64;

inline void put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

inline void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

inline size_t glyph_at(size_t index) {
    return kMetrics + 12 * index;
}

inline void put_glyph(std::vector<uint8_t>& b, size_t index, uint32_t advance, int left, int top,
                      int width, int height, uint32_t bitmap) {
    const size_t at = glyph_at(index);
    put16(b, at, advance);
    b[at + 2] = uint8_t(int8_t(left));
    b[at + 3] = uint8_t(int8_t(top));
    b[at + 4] = uint8_t(width);
    b[at + 5] = uint8_t(height);
    put32(b, at + 8, bitmap);
}

// "?" is a 2 x 2 solid square 2 rows above the baseline; "A" is 3 x 2 with
// coverage 15 5 0 / 0 10 15, one pixel right of the pen, 3 rows up; "V" is
// one solid pixel on the row above the baseline.
inline std::vector<uint8_t> make_blob() {
    std::vector<uint8_t> b(kBitmaps + 2 + 4 + 1, 0);
    std::memcpy(b.data(), "KVF1", 4);
    put16(b, 4, 1);
    put16(b, 6, 4);
    put32(b, 8, kCodePoints);
    b[kSizeRecord + 0] = 16;
    b[kSizeRecord + 2] = 10;
    b[kSizeRecord + 3] = 3;
    b[kSizeRecord + 4] = 17;
    put32(b, kSizeRecord + 8, kMetrics);
    put32(b, kSizeRecord + 12, kKerning);
    put32(b, kSizeRecord + 16, 2);
    const uint32_t cps[] = {' ', '?', 'A', 'V'};
    for (size_t i = 0; i < 4; i++)
        put32(b, kCodePoints + 4 * i, cps[i]);
    put_glyph(b, kGlyphSpace, kAdvanceSpace, 0, 0, 0, 0, 0);
    put_glyph(b, kGlyphQuestion, kAdvanceQuestion, 0, -2, 2, 2, kBitmaps);
    put_glyph(b, kGlyphA, kAdvanceA, 1, -3, 3, 2, kBitmaps + 2);
    put_glyph(b, kGlyphV, kAdvanceV, 0, -1, 1, 1, kBitmaps + 6);
    b[kKerning + 0] = '?';
    b[kKerning + 1] = 'V';
    put16(b, kKerning + 2, uint16_t(int16_t(kKernQuestionV)));
    b[kKerning + 4] = 'A';
    b[kKerning + 5] = 'V';
    put16(b, kKerning + 6, uint16_t(int16_t(kKernAV)));
    const uint8_t bits[] = {0xFF, 0xFF, 0x5F, 0x00, 0xA0, 0x0F, 0x0F};
    std::memcpy(b.data() + kBitmaps, bits, sizeof bits);
    return b;
}

} // namespace fontfix

// font_load on hand-made blobs: every way a blob can lie about its own
// extent is refused, including sums that wrap in 32 bits, and a refused
// blob leaves no font behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "gui/font.h"
#include "tests/gui/font_fixture.h"

namespace {

using fontfix::put16;
using fontfix::put32;
using Blob = std::vector<uint8_t>;

struct Damage {
    const char* what;
    std::function<void(Blob&)> apply;
};

const Damage kDamages[] = {
    {"shorter than the header", [](Blob& b) { b.resize(11); }},
    {"wrong magic", [](Blob& b) { b[3] = '2'; }},
    {"no sizes", [](Blob& b) { put16(b, 4, 0); }},
    {"17 sizes", [](Blob& b) { put16(b, 4, 17); }},
    {"no glyphs", [](Blob& b) { put16(b, 6, 0); }},
    {"size records past the end", [](Blob& b) { put16(b, 4, 16); }},
    {"code points past the end", [](Blob& b) { put32(b, 8, uint32_t(b.size() - 15)); }},
    {"code point sum wraps", [](Blob& b) { put32(b, 8, 0xFFFFFFF8u); }},
    {"metrics past the end",
     [](Blob& b) { put32(b, fontfix::kSizeRecord + 8, uint32_t(b.size() - 47)); }},
    {"metrics sum wraps", [](Blob& b) { put32(b, fontfix::kSizeRecord + 8, 0xFFFFFFF0u); }},
    {"kerning past the end", [](Blob& b) { put32(b, fontfix::kSizeRecord + 16, 7); }},
    {"kerning offset wraps",
     [](Blob& b) {
         put32(b, fontfix::kSizeRecord + 12, 0xFFFFFFFCu);
         put32(b, fontfix::kSizeRecord + 16, 1);
     }},
    {"kerning count wraps", [](Blob& b) { put32(b, fontfix::kSizeRecord + 16, 0x40000000u); }},
    {"bitmap past the end",
     [](Blob& b) { put32(b, fontfix::glyph_at(fontfix::kGlyphA) + 8, uint32_t(b.size() - 3)); }},
    {"bitmap sum wraps",
     [](Blob& b) { put32(b, fontfix::glyph_at(fontfix::kGlyphA) + 8, 0xFFFFFFFFu); }},
    {"last bitmap cut short", [](Blob& b) { b.pop_back(); }},
    {"no question mark", [](Blob& b) { put32(b, fontfix::kCodePoints + 4, '!'); }},
};

TEST(FontLoad, AcceptsTheHandMadeBlob) {
    const Blob blob = fontfix::make_blob();
    ASSERT_TRUE(kv::font_load_blob(blob.data(), blob.size()));
    EXPECT_EQ(kv::glyph_index('A'), fontfix::kGlyphA);
    EXPECT_EQ(kv::glyph_index('B'), -1);
    ASSERT_NE(kv::font_pick(16, false), nullptr);
    EXPECT_EQ(kv::font_pick(16, true), nullptr);
}

TEST(FontLoad, RefusesEachMalformedBlobAndForgetsTheOldFont) {
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.what);
        const Blob good = fontfix::make_blob();
        ASSERT_TRUE(kv::font_load_blob(good.data(), good.size()));
        Blob bad = good;
        damage.apply(bad);
        EXPECT_FALSE(kv::font_load_blob(bad.data(), bad.size()));
        EXPECT_EQ(kv::glyph_index('A'), -1);
        EXPECT_EQ(kv::font_pick(16, false), nullptr);
        EXPECT_EQ(kv::text_width(kv::font_pick(16, false), "AV"), 0);
    }
}

TEST(FontLoad, ChecksEverySizeRecordNotJustTheFirst) {
    // Two records: the code points move behind the old end so that a bold
    // copy of the first record fits at byte 32 (its last 4 bytes land on
    // the space's advance, which no check looks at).
    Blob blob = fontfix::make_blob();
    const size_t moved = blob.size();
    blob.resize(moved + 16);
    std::memcpy(blob.data() + moved, blob.data() + fontfix::kCodePoints, 16);
    put32(blob, 8, uint32_t(moved));
    put16(blob, 4, 2);
    std::memcpy(blob.data() + 32, blob.data() + fontfix::kSizeRecord, 20);
    blob[32 + 1] = 1;
    ASSERT_TRUE(kv::font_load_blob(blob.data(), blob.size()));
    ASSERT_NE(kv::font_pick(16, true), nullptr);
    put32(blob, 32 + 8, uint32_t(blob.size() - 12));
    EXPECT_FALSE(kv::font_load_blob(blob.data(), blob.size()));
}

TEST(FontLoad, TheEmbeddedFontLoadsOnceAndStays) {
    const Blob blob = fontfix::make_blob();
    // A refused blob leaves nothing loaded, so font_load validates its own.
    Blob bad = blob;
    bad[0] = 'X';
    ASSERT_FALSE(kv::font_load_blob(bad.data(), bad.size()));
    EXPECT_TRUE(kv::font_load());
    EXPECT_EQ(kv::glyph_index(0x2265), 205);
    EXPECT_TRUE(kv::font_load());
    EXPECT_EQ(kv::font_pick(52, true)->pixel_size, 52);
}

} // namespace

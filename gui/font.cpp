// The KVF1 font blob: a header, the size records, the code point table, and
// per size the glyph metrics, kerning pairs and 4-bit glyph bitmaps; integers
// little-endian, offsets from the start of the blob. The blob is checked once
// so that no later lookup can read outside it.
#include "gui/font.h"

#include "gui/font_blob.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {
namespace {

constexpr size_t kHeaderBytes = 12;
constexpr size_t kSizeRecordBytes = 20;
constexpr size_t kMetricsBytes = 12;
constexpr size_t kKerningBytes = 4;
constexpr size_t kMaxSizes = 16;

constexpr size_t kSizeCountOffset = 4;
constexpr size_t kGlyphCountOffset = 6;
constexpr size_t kCodePointOffset = 8;

constexpr size_t kRecordPixelSize = 0;
constexpr size_t kRecordBold = 1;
constexpr size_t kRecordAscent = 2;
constexpr size_t kRecordDescent = 3;
constexpr size_t kRecordLineHeight = 4;
constexpr size_t kRecordMetrics = 8;
constexpr size_t kRecordKerning = 12;
constexpr size_t kRecordKerningCount = 16;

constexpr size_t kGlyphAdvance = 0;
constexpr size_t kGlyphLeft = 2;
constexpr size_t kGlyphTop = 3;
constexpr size_t kGlyphWidth = 4;
constexpr size_t kGlyphHeight = 5;
constexpr size_t kGlyphBitmap = 8;

constexpr uint32_t kReplacement = '?';

struct FontState {
    uint32_t size_count; // non-zero once a blob has validated
    const uint8_t* blob;
    const uint8_t* code_points;
    uint32_t glyph_count;
    int32_t replacement;
    FontSize sizes[kMaxSizes];
};

FontState g_font;

uint16_t load_le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Every sum is taken in 64 bits: with 32-bit offsets and counts from the
// blob, offset + count * record size can exceed 2^32 and, wrapped, would
// pass the check and send later reads far outside the blob.
bool fits(uint64_t offset, uint64_t count, uint64_t record_bytes, uint64_t length) {
    return offset + count * record_bytes <= length;
}

bool size_fits(const uint8_t* blob, size_t length, const uint8_t* record, uint32_t glyph_count) {
    const uint32_t metrics = load_le32(record + kRecordMetrics);
    if (!fits(metrics, glyph_count, kMetricsBytes, length)) return false;
    if (!fits(load_le32(record + kRecordKerning), load_le32(record + kRecordKerningCount),
              kKerningBytes, length))
        return false;
    for (uint32_t i = 0; i < glyph_count; i++) {
        const uint8_t* glyph = blob + metrics + size_t(i) * kMetricsBytes;
        const uint64_t row_bytes = (uint64_t(glyph[kGlyphWidth]) + 1) / 2;
        if (!fits(load_le32(glyph + kGlyphBitmap), row_bytes, glyph[kGlyphHeight], length))
            return false;
    }
    return true;
}

const uint8_t* glyph_record(const FontSize* size, int32_t index) {
    return size->metrics + size_t(index) * kMetricsBytes;
}

int32_t kerning_for(const FontSize* size, uint32_t previous, uint32_t current) {
    const uint32_t key = previous * 256 + current;
    uint32_t low = 0, high = size->kerning_count;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const uint8_t* pair = size->kerning + size_t(mid) * kKerningBytes;
        const uint32_t pair_key = uint32_t(pair[0]) * 256 + pair[1];
        if (pair_key == key) return int16_t(load_le16(pair + 2));
        if (pair_key < key)
            low = mid + 1;
        else
            high = mid;
    }
    return 0;
}

bool printable_ascii(uint32_t c) {
    return c >= 33 && c <= 126;
}

int64_t floor_div64(int64_t value) {
    return value >= 0 ? value / 64 : -((-value + 63) / 64);
}

Pixel blend15(Pixel colour, Pixel under, uint32_t a) {
    Pixel out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const uint32_t c = (colour >> shift) & 0xFF;
        const uint32_t e = (under >> shift) & 0xFF;
        out |= ((c * a + e * (15 - a) + 7) / 15) << shift;
    }
    return out;
}

// Paints the part of one glyph bitmap that lies inside the clip.
void draw_glyph(Canvas* canvas, int64_t gx, int64_t gy, const uint8_t* bitmap, int32_t width,
                int32_t height, Pixel colour) {
    const int64_t x0 = gx > canvas->clip_x ? gx : canvas->clip_x;
    const int64_t y0 = gy > canvas->clip_y ? gy : canvas->clip_y;
    const int64_t clip_right = int64_t(canvas->clip_x) + canvas->clip_w;
    const int64_t clip_bottom = int64_t(canvas->clip_y) + canvas->clip_h;
    const int64_t x1 = gx + width < clip_right ? gx + width : clip_right;
    const int64_t y1 = gy + height < clip_bottom ? gy + height : clip_bottom;
    const size_t row_bytes = (size_t(width) + 1) / 2;
    for (int64_t py = y0; py < y1; py++) {
        const uint8_t* row = bitmap + size_t(py - gy) * row_bytes;
        Pixel* out = canvas->pixels + size_t(py) * size_t(canvas->width);
        for (int64_t px = x0; px < x1; px++) {
            const size_t column = size_t(px - gx);
            const uint32_t a = (row[column / 2] >> ((column & 1) * 4)) & 0xF;
            if (a == 15)
                out[px] = colour;
            else if (a != 0)
                out[px] = blend15(colour, out[px], a);
        }
    }
}

// The walk behind text_draw and text_width: the pen in 1/64 pixel, glyphs
// drawn only when a canvas is given.
int64_t text_walk(Canvas* canvas, int32_t x, int32_t y, const FontSize* size, Pixel colour,
                  const char* text) {
    int64_t pen = int64_t(x) * 64;
    if (!size || !text || g_font.size_count == 0) return pen;
    const int64_t baseline =
        int64_t(y) + size->ascent + (int32_t(size->line_height) - size->ascent - size->descent) / 2;
    size_t remaining = 0;
    while (text[remaining] != '\0')
        remaining++;
    uint32_t previous = 0;
    while (remaining > 0) {
        size_t used = 1;
        uint32_t c = utf8_decode(text, remaining, &used);
        if (used == 0 || used > remaining) used = 1;
        text += used;
        remaining -= used;
        int32_t index = glyph_index(c);
        if (index < 0) {
            index = g_font.replacement;
            c = kReplacement;
        }
        if (printable_ascii(previous) && printable_ascii(c)) pen += kerning_for(size, previous, c);
        const uint8_t* glyph = glyph_record(size, index);
        const int32_t width = glyph[kGlyphWidth];
        const int32_t height = glyph[kGlyphHeight];
        if (canvas && width > 0 && height > 0) {
            const int64_t gx = int8_t(glyph[kGlyphLeft]) + floor_div64(pen + 32);
            const int64_t gy = baseline + int8_t(glyph[kGlyphTop]);
            draw_glyph(canvas, gx, gy, g_font.blob + load_le32(glyph + kGlyphBitmap), width, height,
                       colour);
        }
        pen += load_le16(glyph + kGlyphAdvance);
        previous = c;
    }
    return pen;
}

int32_t round_pen(int64_t pen) {
    return int32_t(floor_div64(pen + 32));
}

constexpr char kEllipsis[] = "\xE2\x80\xA6"; // U+2026
constexpr size_t kMostFittedBytes = 200;

// The first `chars` characters of text[0..n), without the spaces they end
// with, and the ellipsis, into out.
const char* ellipsized(const char* text, size_t n, size_t chars, char* out) {
    size_t bytes = utf8_prefix_bytes(text, n, chars);
    while (bytes > 0 && text[bytes - 1] == ' ')
        bytes--;
    memcpy(out, text, bytes);
    memcpy(out + bytes, kEllipsis, sizeof kEllipsis);
    return out;
}

} // namespace

bool font_load_blob(const uint8_t* blob, size_t length) {
    g_font.size_count = 0;
    if (!blob || length < kHeaderBytes) return false;
    if (blob[0] != 'K' || blob[1] != 'V' || blob[2] != 'F' || blob[3] != '1') return false;
    const uint32_t size_count = load_le16(blob + kSizeCountOffset);
    const uint32_t glyph_count = load_le16(blob + kGlyphCountOffset);
    const uint32_t code_points = load_le32(blob + kCodePointOffset);
    if (size_count < 1 || size_count > kMaxSizes || glyph_count < 1) return false;
    if (!fits(kHeaderBytes, size_count, kSizeRecordBytes, length)) return false;
    if (!fits(code_points, glyph_count, 4, length)) return false;
    for (uint32_t i = 0; i < size_count; i++)
        if (!size_fits(blob, length, blob + kHeaderBytes + i * kSizeRecordBytes, glyph_count))
            return false;

    for (uint32_t i = 0; i < size_count; i++) {
        const uint8_t* record = blob + kHeaderBytes + i * kSizeRecordBytes;
        FontSize& size = g_font.sizes[i];
        size.pixel_size = record[kRecordPixelSize];
        size.bold = record[kRecordBold] != 0;
        size.ascent = record[kRecordAscent];
        size.descent = record[kRecordDescent];
        size.line_height = record[kRecordLineHeight];
        size.metrics = blob + load_le32(record + kRecordMetrics);
        size.kerning = blob + load_le32(record + kRecordKerning);
        size.kerning_count = load_le32(record + kRecordKerningCount);
    }
    g_font.code_points = blob + code_points;
    g_font.glyph_count = glyph_count;
    g_font.blob = blob;
    // glyph_index needs the table before the font counts as loaded.
    g_font.size_count = 1;
    g_font.replacement = glyph_index(kReplacement);
    if (g_font.replacement < 0) {
        g_font.size_count = 0;
        return false;
    }
    g_font.size_count = size_count;
    return true;
}

bool font_load() {
    if (g_font.size_count != 0) return true;
    return font_load_blob(font_blob(), font_blob_size());
}

int32_t glyph_index(uint32_t cp) {
    if (g_font.size_count == 0) return -1;
    uint32_t low = 0, high = g_font.glyph_count;
    while (low < high) {
        const uint32_t mid = low + (high - low) / 2;
        const uint32_t value = load_le32(g_font.code_points + size_t(mid) * 4);
        if (value == cp) return int32_t(mid);
        if (value < cp)
            low = mid + 1;
        else
            high = mid;
    }
    return -1;
}

const FontSize* font_pick(int32_t pixel_size, bool bold) {
    const FontSize* below = nullptr;
    const FontSize* above = nullptr;
    for (uint32_t i = 0; i < g_font.size_count; i++) {
        const FontSize* size = &g_font.sizes[i];
        if (size->bold != bold) continue;
        if (size->pixel_size <= pixel_size) {
            if (!below || size->pixel_size > below->pixel_size) below = size;
        } else if (!above || size->pixel_size < above->pixel_size) {
            above = size;
        }
    }
    return below ? below : above;
}

int32_t font_pixel_size(const FontSize* size) {
    return size ? size->pixel_size : 0;
}

int32_t font_line_height(const FontSize* size) {
    return size ? size->line_height : 0;
}

int32_t text_draw(Canvas* canvas, int32_t x, int32_t y, const FontSize* size, Pixel colour,
                  const char* text) {
    return round_pen(text_walk(canvas, x, y, size, colour, text));
}

int32_t text_width(const FontSize* size, const char* text) {
    return round_pen(text_walk(nullptr, 0, 0, size, 0, text));
}

int32_t text_draw_fitted(Canvas* canvas, int32_t x, int32_t y, const FontSize* size, Pixel colour,
                         const char* text, int32_t max_width) {
    if (!text || text_width(size, text) <= max_width)
        return text_draw(canvas, x, y, size, colour, text);
    // Every text on the screens is far shorter; a longer one is cut anyway,
    // at a character's first byte.
    size_t n = strlen(text);
    if (n > kMostFittedBytes) {
        n = kMostFittedBytes;
        while (n > 0 && (uint8_t(text[n]) & 0xC0) == 0x80)
            n--;
    }
    char cut[kMostFittedBytes + sizeof kEllipsis];
    if (text_width(size, ellipsized(text, n, 0, cut)) > max_width) return x;
    // The most characters before the ellipsis that fit: the width grows
    // with each character taken, so a binary search finds them.
    size_t low = 0, high = utf8_count(text, n);
    while (low < high) {
        const size_t mid = low + (high - low + 1) / 2;
        if (text_width(size, ellipsized(text, n, mid, cut)) <= max_width)
            low = mid;
        else
            high = mid - 1;
    }
    return text_draw(canvas, x, y, size, colour, ellipsized(text, n, low, cut));
}

} // namespace kv

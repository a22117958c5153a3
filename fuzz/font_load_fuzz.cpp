// Feeds mutated font blobs to font_load_blob and, when one is accepted,
// walks text over every size with it. Input: a 16-bit little-endian text
// length, that many bytes of UTF-8 (or not), then the blob. The walk must
// read nothing outside the blob, draw nothing outside the clip, and measure
// what it draws.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "gui/font.h"

namespace {

constexpr int32_t kWidth = 48;
constexpr int32_t kHeight = 40;
constexpr kv::Pixel kBack = 0x123456;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t text_length = data[0] | data[1] << 8;
    data += 2;
    size -= 2;
    if (text_length > size) text_length = size;
    const std::string text(reinterpret_cast<const char*>(data), text_length);
    // An exact-size copy, so reading past the blob's end is caught.
    const std::vector<uint8_t> blob(data + text_length, data + size);
    if (!kv::font_load_blob(blob.data(), blob.size())) {
        if (kv::font_pick(16, false) || kv::glyph_index('?') >= 0) std::abort();
        return 0;
    }
    if (kv::glyph_index('?') < 0) std::abort();

    std::vector<kv::Pixel> pixels(size_t(kWidth) * kHeight, kBack);
    kv::Canvas canvas{pixels.data(), kWidth, kHeight, 8, 6, kWidth - 16, kHeight - 12};
    for (bool bold : {false, true}) {
        for (int32_t request : {0, 16, 255}) {
            const kv::FontSize* font = kv::font_pick(request, bold);
            if (!font) continue;
            const int32_t width = kv::text_width(font, text.c_str());
            if (kv::text_draw(&canvas, 0, 0, font, 0xFFFFFF, text.c_str()) != width) std::abort();
            const int32_t x = int32_t(text_length % 61) - 30;
            if (kv::text_draw(&canvas, x, x / 2, font, 0x808080, text.c_str()) != x + width)
                std::abort();
        }
    }
    for (int32_t y = 0; y < kHeight; y++)
        for (int32_t x = 0; x < kWidth; x++) {
            const bool inside = x >= 8 && x < kWidth - 8 && y >= 6 && y < kHeight - 6;
            if (!inside && pixels[size_t(y) * kWidth + x] != kBack) std::abort();
        }
    return 0;
}

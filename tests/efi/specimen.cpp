#include "tests/efi/specimen.h"

#include "gui/font.h"
#include "gui/graphics.h"
#include "platform/utf.h"

namespace kv {
namespace {

constexpr Pixel kPaper = 0xFFFFFF;
constexpr Pixel kInk = 0x1A1A1A;
constexpr Pixel kKerningInk = 0x1F4E9A;
constexpr int32_t kMargin = 10;
constexpr const char* kKerningLine = "AVATAR To Wa Ty LT";
constexpr int32_t kTextSizes[] = {16, 20, 26};
constexpr int32_t kDisplaySizes[] = {32, 40, 52};
constexpr bool kWeights[] = {false, true};

// The font's character set, in code point order.
int32_t append_character_set(char* out) {
    static const uint32_t kSingles[] = {0x2013, 0x2014, 0x2018, 0x2019, 0x201C,
                                        0x201D, 0x2022, 0x2026, 0x2190, 0x2191,
                                        0x2192, 0x2193, 0x2212, 0x2264, 0x2265};
    int32_t n = 0;
    for (uint32_t c = 0x20; c <= 0x7E; c++)
        n += utf8_encode(c, out + n);
    for (uint32_t c = 0xA0; c <= 0xFF; c++)
        n += utf8_encode(c, out + n);
    for (uint32_t c : kSingles)
        n += utf8_encode(c, out + n);
    out[n] = '\0';
    return n;
}

// Draws text from `text` in lines no wider than `width`, breaking between
// characters; returns the y below the last line.
int32_t draw_wrapped(Canvas* canvas, int32_t x, int32_t y, int32_t width, const FontSize* size,
                     const char* text) {
    char line[1024];
    int32_t used = 0;
    size_t at = 0;
    size_t length = 0;
    while (text[length] != '\0')
        length++;
    while (at < length) {
        size_t step = 1;
        utf8_decode(text + at, length - at, &step);
        for (size_t i = 0; i < step; i++)
            line[size_t(used) + i] = text[at + i];
        line[size_t(used) + step] = '\0';
        if (used > 0 && text_width(size, line) > width) {
            line[used] = '\0';
            text_draw(canvas, x, y, size, kInk, line);
            y += font_line_height(size);
            used = 0;
            continue;
        }
        used += int32_t(step);
        at += step;
    }
    if (used > 0) {
        line[used] = '\0';
        text_draw(canvas, x, y, size, kInk, line);
        y += font_line_height(size);
    }
    return y;
}

} // namespace

bool specimen_draw(Canvas* canvas) {
    if (!font_load()) return false;
    clip_reset(canvas);
    fill_rect(canvas, 0, 0, canvas->width, canvas->height, kPaper);

    char characters[1024];
    append_character_set(characters);
    const int32_t width = kSpecimenWidth - 2 * kMargin;
    int32_t y = kMargin / 2;
    // The text sizes: the whole character set, then the kerning line.
    for (int32_t pixels : kTextSizes) {
        for (bool bold : kWeights) {
            const FontSize* size = font_pick(pixels, bold);
            y = draw_wrapped(canvas, kMargin, y, width, size, characters);
            const int32_t end = text_draw(canvas, kMargin, y, size, kKerningInk, kKerningLine);
            text_draw(canvas, end + 2 * kMargin, y, size, kInk,
                      "Disk 0: 512 GiB, GPT \u2014 3 partitions \u2026");
            y += font_line_height(size);
        }
    }
    // The display sizes: the kerning line, regular on the left, bold on the
    // right, each cut at its half of the screen.
    const int32_t half = kSpecimenWidth / 2;
    for (int32_t pixels : kDisplaySizes) {
        for (bool bold : kWeights) {
            const FontSize* size = font_pick(pixels, bold);
            const int32_t x = bold ? half : 0;
            clip_set(canvas, x, 0, half, canvas->height);
            text_draw(canvas, x + kMargin, y, size, kKerningInk, kKerningLine);
        }
        y += font_line_height(font_pick(pixels, false));
    }
    clip_reset(canvas);
    return true;
}

bool specimen_show() {
    int32_t width = 0, height = 0;
    if (!graphics_start(&width, &height)) return false;
    Canvas canvas{};
    if (width < kSpecimenWidth || height < kSpecimenHeight ||
        !canvas_init(&canvas, kSpecimenWidth, kSpecimenHeight)) {
        graphics_end();
        return false;
    }
    const bool drawn = specimen_draw(&canvas);
    if (drawn)
        blit_to_screen(canvas.pixels, canvas.width, 0, 0, 0, 0, canvas.width, canvas.height);
    else
        graphics_end();
    canvas_free(&canvas);
    return drawn;
}

} // namespace kv

// Pictures as PNG files: screens saved for people and for golden
// comparisons, and read back to compare pixel for pixel.
//
//     sim::Picture shot = sim::display_picture();
//     std::string error;
//     if (!sim::save_png("specimen.png", shot, &error)) ...
//     sim::Picture golden;
//     if (!sim::load_png(KV_SOURCE_DIR "/tests/gui/specimen.png", &golden, &error)) ...
//     EXPECT_EQ(sim::picture_difference(golden, shot), "");
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Pixels are 0x00RRGGBB, row after row, no padding. Alpha is never kept:
// a PNG with an alpha channel reads as if it were opaque.
struct Picture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint32_t> pixels;

    uint32_t at(uint32_t x, uint32_t y) const { return pixels[size_t(y) * width + x]; }
};

// width x height pixels from a buffer whose rows are `stride` pixels apart;
// the top byte of each pixel is dropped.
Picture picture_from(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride);

// An 8-bit RGB PNG with no metadata that changes from run to run.
bool save_png(const std::string& path, const Picture& picture, std::string* error);
// Any PNG libpng reads (grey, palette, 16-bit, alpha), as 8-bit RGB.
bool load_png(const std::string& path, Picture* picture, std::string* error);

// Empty when the pictures are equal; otherwise one line for a person: the
// sizes when they differ, else how many pixels differ and the first of them
// in reading order with both values.
std::string picture_difference(const Picture& expected, const Picture& actual);

} // namespace sim

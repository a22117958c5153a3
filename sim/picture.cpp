// PNG files through libpng's simplified interface, which handles every
// colour type on reading and writes plain 8-bit RGB.
#include "sim/picture.h"

#include <cinttypes>
#include <cstdio>
#include <png.h>

namespace sim {

Picture picture_from(const uint32_t* pixels, uint32_t width, uint32_t height, uint32_t stride) {
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.resize(size_t(width) * height);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++)
            picture.pixels[size_t(y) * width + x] = pixels[size_t(y) * stride + x] & 0xFFFFFFu;
    return picture;
}

bool save_png(const std::string& path, const Picture& picture, std::string* error) {
    if (picture.width == 0 || picture.height == 0 ||
        picture.pixels.size() != size_t(picture.width) * picture.height) {
        *error = path + ": no picture to save";
        return false;
    }
    std::vector<uint8_t> rgb(picture.pixels.size() * 3);
    for (size_t i = 0; i < picture.pixels.size(); i++) {
        uint32_t p = picture.pixels[i];
        rgb[3 * i] = uint8_t(p >> 16);
        rgb[3 * i + 1] = uint8_t(p >> 8);
        rgb[3 * i + 2] = uint8_t(p);
    }
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = picture.width;
    image.height = picture.height;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr)) {
        *error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    return true;
}

bool load_png(const std::string& path, Picture* picture, std::string* error) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        *error = path + ": " + image.message;
        return false;
    }
    // BGRA in memory is 0xAARRGGBB on this little-endian host.
    image.format = PNG_FORMAT_BGRA;
    std::vector<uint32_t> pixels(size_t(image.width) * image.height);
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        *error = path + ": " + image.message;
        png_image_free(&image);
        return false;
    }
    for (uint32_t& p : pixels)
        p &= 0xFFFFFFu;
    picture->width = image.width;
    picture->height = image.height;
    picture->pixels = std::move(pixels);
    return true;
}

std::string picture_difference(const Picture& expected, const Picture& actual) {
    char line[160];
    if (expected.width != actual.width || expected.height != actual.height) {
        std::snprintf(line, sizeof line,
                      "size %" PRIu32 "x%" PRIu32 " expected, %" PRIu32 "x%" PRIu32 " found",
                      expected.width, expected.height, actual.width, actual.height);
        return line;
    }
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < expected.pixels.size(); i++) {
        if (expected.pixels[i] == actual.pixels[i]) continue;
        if (differing++ == 0) first = i;
    }
    if (differing == 0) return std::string();
    std::snprintf(line, sizeof line,
                  "%zu pixel(s) differ; first at (%zu, %zu): 0x%06" PRIX32 " expected, 0x%06" PRIX32
                  " found",
                  differing, first % expected.width, first / expected.width, expected.pixels[first],
                  actual.pixels[first]);
    return line;
}

} // namespace sim

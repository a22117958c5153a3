// Small canvases on a fresh simulated firmware, and a way to look at them as
// text: one character per pixel, chosen by a legend of colours.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "gui/canvas.h"
#include "sim/firmware.h"

namespace kvtest {

class CanvasTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override {
        for (kv::Canvas* c : canvases) {
            kv::canvas_free(c);
            delete c;
        }
    }

    // A canvas filled with one colour, freed after the test.
    kv::Canvas& canvas(int32_t w, int32_t h, kv::Pixel background = 0) {
        kv::Canvas* c = new kv::Canvas{};
        canvases.push_back(c);
        EXPECT_TRUE(kv::canvas_init(c, w, h));
        for (int32_t i = 0; i < w * h; i++)
            c->pixels[i] = background;
        return *c;
    }

    static kv::Pixel at(const kv::Canvas& c, int32_t x, int32_t y) {
        return c.pixels[size_t(y) * size_t(c.width) + size_t(x)];
    }

    // Rows separated by '|'; a colour missing from the legend shows as '?'.
    static std::string art(const kv::Canvas& c, const std::map<kv::Pixel, char>& legend) {
        std::string out;
        for (int32_t y = 0; y < c.height; y++) {
            if (y) out += '|';
            for (int32_t x = 0; x < c.width; x++) {
                auto it = legend.find(at(c, x, y));
                out += it == legend.end() ? '?' : it->second;
            }
        }
        return out;
    }

    std::vector<kv::Canvas*> canvases;
};

} // namespace kvtest

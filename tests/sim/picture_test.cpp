#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/picture.h"

namespace {

std::string temp_path(const char* name) {
    return ::testing::TempDir() + "kv-picture-" + name;
}

TEST(Picture, SurvivesThePngRoundTripExactly) {
    // Odd sizes catch row padding mistakes; every channel varies.
    std::vector<uint32_t> pixels(37 * 11);
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i] = uint32_t(i * 2654435761u) | 0xFF000000u;
    sim::Picture shot = sim::picture_from(pixels.data(), 37, 11, 37);
    EXPECT_EQ(shot.at(36, 10), pixels.back() & 0xFFFFFFu); // reserved byte dropped

    std::string error, path = temp_path("round.png");
    ASSERT_TRUE(sim::save_png(path, shot, &error)) << error;
    sim::Picture back;
    ASSERT_TRUE(sim::load_png(path, &back, &error)) << error;
    EXPECT_EQ(sim::picture_difference(shot, back), "");
    std::remove(path.c_str());
}

TEST(Picture, DifferencesAreDescribed) {
    std::vector<uint32_t> pixels(6, 0x102030u);
    sim::Picture a = sim::picture_from(pixels.data(), 3, 2, 3), b = a;
    EXPECT_EQ(sim::picture_difference(a, b), "");
    b.pixels[4] = 0x102031u;
    b.pixels[5] = 0;
    EXPECT_EQ(sim::picture_difference(a, b),
              "2 pixel(s) differ; first at (1, 1): 0x102030 expected, 0x102031 found");
    EXPECT_EQ(sim::picture_difference(a, sim::picture_from(pixels.data(), 2, 3, 2)),
              "size 3x2 expected, 2x3 found");
}

TEST(Picture, BadFilesAreErrorsNotCrashes) {
    sim::Picture p;
    std::string error, junk = temp_path("junk.png");
    EXPECT_FALSE(sim::load_png(temp_path("missing.png"), &p, &error));
    EXPECT_NE(error.find("missing.png"), std::string::npos);
    std::ofstream(junk) << "not a picture";
    EXPECT_FALSE(sim::load_png(junk, &p, &error));
    std::remove(junk.c_str());
    EXPECT_FALSE(sim::save_png(temp_path("empty.png"), sim::Picture{}, &error));
    EXPECT_FALSE(
        sim::save_png("/nonexistent/dir.png", sim::picture_from(&p.width, 1, 1, 1), &error));
}

} // namespace

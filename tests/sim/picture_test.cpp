#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/picture.h"

namespace {

class PictureFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kvpng-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        for (const std::string& f : files)
            std::remove(f.c_str());
        rmdir(dir.c_str());
    }
    std::string file(const std::string& name) {
        files.push_back(dir + "/" + name);
        return files.back();
    }

    std::string dir;
    std::vector<std::string> files;
};

TEST_F(PictureFiles, ScreenSurvivesTheRoundTripExactly) {
    sim::reset();
    sim::set_display(37, 11); // odd sizes catch row padding mistakes
    std::vector<uint32_t> buffer(37 * 11);
    for (size_t i = 0; i < buffer.size(); i++)
        buffer[i] = uint32_t(i * 2654435761u) | 0xFF000000u; // every channel varies
    EFI_GRAPHICS_OUTPUT_PROTOCOL* gop = sim::display_protocol();
    ASSERT_EQ(gop->Blt(gop, reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL*>(buffer.data()),
                       EfiBltBufferToVideo, 0, 0, 0, 0, 37, 11, 0),
              EFI_SUCCESS);

    std::string error, path = file("screen.png");
    sim::Picture shot = sim::display_picture();
    ASSERT_TRUE(sim::save_png(path, shot, &error)) << error;
    sim::Picture back;
    ASSERT_TRUE(sim::load_png(path, &back, &error)) << error;
    EXPECT_EQ(sim::picture_difference(shot, back), "");
    EXPECT_EQ(back.at(36, 10), buffer[37 * 11 - 1] & 0xFFFFFFu);
}

TEST_F(PictureFiles, DifferencesAreDescribed) {
    sim::Picture a = sim::picture_from(std::vector<uint32_t>(6, 0x102030u).data(), 3, 2, 3);
    sim::Picture b = a;
    EXPECT_EQ(sim::picture_difference(a, b), "");
    b.pixels[4] = 0x102031u;
    b.pixels[5] = 0;
    EXPECT_EQ(sim::picture_difference(a, b),
              "2 pixel(s) differ; first at (1, 1): 0x102030 expected, 0x102031 found");
    sim::Picture c = sim::picture_from(a.pixels.data(), 2, 3, 2);
    EXPECT_EQ(sim::picture_difference(a, c), "size 3x2 expected, 2x3 found");
}

TEST_F(PictureFiles, UnreadableFilesAreErrorsNotCrashes) {
    sim::Picture p;
    std::string error;
    EXPECT_FALSE(sim::load_png(dir + "/missing.png", &p, &error));
    EXPECT_NE(error.find("missing.png"), std::string::npos);

    std::string junk = file("junk.png");
    std::ofstream(junk) << "not a picture";
    error.clear();
    EXPECT_FALSE(sim::load_png(junk, &p, &error));
    EXPECT_FALSE(error.empty());

    EXPECT_FALSE(sim::save_png(file("empty.png"), sim::Picture{}, &error));
    uint32_t one = 0xABCDEF;
    EXPECT_FALSE(sim::save_png(dir + "/no/such/dir.png", sim::picture_from(&one, 1, 1, 1), &error));
}

} // namespace

// The font specimen drawn through the simulated screen, against the picture
// committed beside this test. KV_UPDATE_GOLDEN=1 rewrites the picture (look
// at it at 100% before committing it); every run leaves the drawn screen in
// the build tree as font_specimen.png.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "gui/graphics.h"
#include "platform/globals.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/picture.h"
#include "tests/efi/specimen.h"

namespace {

const std::string kGolden = KV_SOURCE_DIR "/tests/gui/font_specimen.png";

TEST(FontSpecimen, SimulatedScreenMatchesTheCommittedPicture) {
    sim::reset();
    kv::platform_bind(sim::image_handle(), sim::system_table());
    ASSERT_TRUE(kv::specimen_show());
    EXPECT_TRUE(kv::graphics_active());
    const sim::Picture shot = sim::display_picture();
    kv::graphics_end();
    std::string error;
    ASSERT_TRUE(sim::save_png(KV_BINARY_DIR "/font_specimen.png", shot, &error)) << error;
    if (std::getenv("KV_UPDATE_GOLDEN")) {
        ASSERT_TRUE(sim::save_png(kGolden, shot, &error)) << error;
    }

    sim::Picture golden;
    ASSERT_TRUE(sim::load_png(kGolden, &golden, &error)) << error;
    EXPECT_EQ(sim::picture_difference(golden, shot), "");
}

TEST(FontSpecimen, RefusesAScreenSmallerThanTheSpecimen) {
    sim::reset();
    sim::set_display(1024, 768);
    kv::platform_bind(sim::image_handle(), sim::system_table());
    EXPECT_FALSE(kv::specimen_show());
    EXPECT_FALSE(kv::graphics_active());
    EXPECT_EQ(sim::display_pixel(0, 0), 0u);
}

} // namespace

// Pictures compared pixel for pixel with tests/gui/golden/<name>.png.
// KV_UPDATE_GOLDEN=1 writes the picture instead: look at it before
// committing it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sim/picture.h"

namespace kvtest {

inline void expect_golden(const std::string& name, const sim::Picture& shot) {
    std::string path = std::string(KV_SOURCE_DIR) + "/tests/gui/golden/" + name + ".png";
    std::string error;
    const char* update = std::getenv("KV_UPDATE_GOLDEN");
    if (update && std::string(update) == "1") {
        ASSERT_TRUE(sim::save_png(path, shot, &error)) << error;
        return;
    }
    sim::Picture expected;
    ASSERT_TRUE(sim::load_png(path, &expected, &error))
        << error << " (KV_UPDATE_GOLDEN=1 writes it)";
    EXPECT_EQ(sim::picture_difference(expected, shot), "") << name;
}

} // namespace kvtest

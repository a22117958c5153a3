// Shared pieces of the command dialog tests: hooks that record every dialog
// with its exact texts and answer from a script, a clock the test sets, and
// a fixture with a view over an in-memory disk.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/view.h"
#include "platform/clock.h"
#include "platform/globals.h"
#include "platform/volumes.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tui/command_dialogs.h"
#include "tests/tui/recording_hooks.h"
#include "tui/dialogs.h"

namespace cdtest {

using Call = kvtest::DialogCall;
using Progress = kvtest::Progress;
using Script = kvtest::DialogScript;
inline Script& g_script = kvtest::g_script;
inline const kv::DialogHooks& kDialogs = kvtest::kRecordingDialogs;
inline const kv::ScreenHooks& kScreen = kvtest::kRecordingScreen;

// elapsed_ms() reads the processor's counter: with a rate far above any real
// one it stands still for a test's length, at the reading set here.
inline void set_clock_ms(uint64_t ms) {
    constexpr uint64_t kTicksPerMs = 1000000000000ull;
    kv::g_tsc_per_ms = kTicksPerMs;
    kv::g_tsc_start = kv::tsc_read() - ms * kTicksPerMs;
}

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_rate_ = kv::g_tsc_per_ms;
        saved_start_ = kv::g_tsc_start;
        sim::reset();
        kv::g_loaded_image = sim::loaded_image();
        g_script = Script{};
        g_script.strict = true;
        kv::g_dialog_hooks = &kDialogs;
        kv::g_screen_hooks = &kScreen;
        kv::forget_remembered_files();
        set_clock_ms(100000);
        pool_before_ = sim::pool_blocks_live();
    }

    void TearDown() override {
        kv::g_dialog_hooks = nullptr;
        kv::g_screen_hooks = nullptr;
        kv::view_close(&view_);
        kv::volume_release();
        EXPECT_EQ(sim::pool_blocks_live(), pool_before_) << "pool blocks leaked";
        EXPECT_TRUE(g_script.confirms.empty() && g_script.inputs.empty() &&
                    g_script.choices.empty())
            << "scripted answers left unused";
        kv::g_tsc_per_ms = saved_rate_;
        kv::g_tsc_start = saved_start_;
    }

    // A fresh script with these answers.
    static void answer(std::deque<std::optional<std::string>> inputs, std::deque<int> choices = {},
                       std::deque<bool> confirms = {}) {
        g_script = Script{};
        g_script.strict = true;
        g_script.inputs = std::move(inputs);
        g_script.choices = std::move(choices);
        g_script.confirms = std::move(confirms);
    }

    // Opens the view over the image, which must outlive the test.
    void open(sim::MemDisk& image) {
        disk_ = kv::Disk{};
        std::snprintf(disk_.name, sizeof disk_.name, "blk1");
        disk_.size_bytes = image.block_count() * image.block_size();
        disk_.access = *image.device();
        ASSERT_TRUE(kv::view_open(&view_, &disk_));
    }

    const kv::Row* free_row_at(uint64_t start) {
        for (int32_t i = 0; i < view_.row_count; i++)
            if (view_.rows[i].is_free && view_.rows[i].start == start) return &view_.rows[i];
        ADD_FAILURE() << "no free area at " << start;
        return nullptr;
    }

    void select_partition(int32_t number) {
        for (int32_t i = 0; i < view_.row_count; i++) {
            const kv::Row& r = view_.rows[i];
            if (!r.is_free && view_.table.partitions[r.partition_index].number == number)
                view_.selected = i;
        }
    }

    kv::Disk disk_{};
    kv::DiskView view_{};

  private:
    uint64_t saved_rate_ = 0;
    uint64_t saved_start_ = 0;
    size_t pool_before_ = 0;
};

} // namespace cdtest

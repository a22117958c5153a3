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
#include "tui/dialogs.h"

namespace cdtest {

struct Call {
    std::string kind; // "message", "confirm", "input", "choice", "redraw"
    bool warning;
    std::string title;
    std::string text; // an input's prompt
    std::string initial_text;
    size_t capacity;
    std::vector<std::string> items;
    int initial;
};

struct Progress {
    std::string title;
    int pass;
    int percent;
    std::string line;
};

// Answers are taken in order. A dialog with no answer left fails the test,
// so an unexpected question is noticed.
struct Script {
    std::vector<Call> calls;
    std::deque<bool> confirms;
    std::deque<std::optional<std::string>> inputs; // nullopt: cancel
    std::deque<int> choices;
    std::vector<Progress> progress;
    std::deque<bool> stops; // stop-requested answers; none left: false
    std::function<void()> on_stop_poll;

    std::vector<Call> of(const std::string& kind) const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.kind == kind) out.push_back(c);
        return out;
    }
    std::vector<Call> dialogs() const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.kind != "redraw") out.push_back(c);
        return out;
    }
};

inline Script g_script;

template <typename T> T next(std::deque<T>& answers, T none, const char* what) {
    if (answers.empty()) {
        ADD_FAILURE() << "unexpected dialog: " << what;
        return none;
    }
    T a = answers.front();
    answers.pop_front();
    return a;
}

inline void on_message(bool warning, const char* title, const char* text) {
    g_script.calls.push_back({"message", warning, title, text, "", 0, {}, 0});
}
inline bool on_confirm(bool warning, const char* title, const char* text) {
    g_script.calls.push_back({"confirm", warning, title, text, "", 0, {}, 0});
    return next(g_script.confirms, false, text);
}
inline bool on_input(bool warning, const char* title, const char* prompt, char* buffer,
                     size_t capacity) {
    g_script.calls.push_back({"input", warning, title, prompt, buffer, capacity, {}, 0});
    std::optional<std::string> answer = next(g_script.inputs, {}, prompt);
    if (!answer) return false;
    std::snprintf(buffer, capacity, "%s", answer->c_str());
    return true;
}
inline int on_choice(const char* title, const char* const* items, int count, int initial) {
    g_script.calls.push_back({"choice", false, title, "", "", 0, {items, items + count}, initial});
    return next(g_script.choices, -1, title);
}
inline void on_redraw(kv::DiskView*) {
    g_script.calls.push_back({"redraw", false, "", "", "", 0, {}, 0});
}
inline void on_progress(const char* title, int pass, int percent, const char* line) {
    g_script.progress.push_back({title, pass, percent, line});
}
inline bool on_stop_requested() {
    if (g_script.on_stop_poll) g_script.on_stop_poll();
    if (g_script.stops.empty()) return false;
    bool stop = g_script.stops.front();
    g_script.stops.pop_front();
    return stop;
}

inline const kv::DialogHooks kDialogs = {on_message, on_confirm, on_input, on_choice};
inline const kv::ScreenHooks kScreen = {on_redraw, on_progress, on_stop_requested, nullptr};

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
        kv::g_dialog_hooks = &kDialogs;
        kv::g_screen_hooks = &kScreen;
        kv::g_remembered_file[0] = '\0';
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

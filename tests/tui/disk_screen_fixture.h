// Shared pieces of the disk-list, partition-screen and command tests: dialog
// hooks that record every question and answer from a script, snapshots of
// the simulated console taken while the program waits for a key, and a
// fixture that builds disks and views over in-memory images.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/view.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"
#include "tests/tui/recording_hooks.h"
#include "tui/dialogs.h"
#include "tui/screen.h"

namespace kvtest {

// What the console showed while the program waited for one key.
struct Frame {
    std::vector<std::string> text;
    std::vector<std::vector<uint8_t>> attributes;
    size_t columns = 0;
    bool cursor_visible = false;

    // The row whose first cell is black on cyan, or -1.
    int selected_row() const {
        for (size_t r = 0; r < attributes.size(); r++)
            if (!attributes[r].empty() && attributes[r][0] == 0x30) return int(r);
        return -1;
    }
};

inline Frame take_frame() {
    Frame f;
    f.columns = sim::screen_columns();
    f.cursor_visible = sim::console_cursor_visible();
    for (size_t r = 0; r < sim::screen_rows(); r++) {
        f.text.push_back(sim::screen_text(r));
        std::vector<uint8_t> row;
        for (size_t c = 0; c < f.columns; c++)
            row.push_back(sim::screen_attribute(c, r));
        f.attributes.push_back(row);
    }
    return f;
}

struct Key {
    uint16_t scan;
    char16_t ch;
};

class DiskScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        g_script = DialogScript{};
        kv::g_dialog_hooks = nullptr;
        kv::g_screen_hooks = nullptr;
        kv::refresh_screen_size();
        pool_baseline_ = sim::pool_blocks_live();
    }

    void TearDown() override {
        kv::g_dialog_hooks = nullptr;
        kv::g_screen_hooks = nullptr;
        sim::set_idle_hook({});
        kv::view_close(&view_);
        EXPECT_EQ(sim::pool_blocks_live(), pool_baseline_);
    }

    void record_dialogs() { kv::g_dialog_hooks = &kRecordingDialogs; }

    // A disk record over an in-memory image, as discovery would make it.
    static kv::Disk make_disk(sim::MemDisk& image, const char* name = "blk1") {
        kv::Disk d{};
        std::snprintf(d.name, sizeof d.name, "%s", name);
        std::snprintf(d.kind_label, sizeof d.kind_label, "NVMe");
        d.size_bytes = image.block_count() * image.block_size();
        d.access = *image.device();
        return d;
    }

    // Opens view_ over the image; the image must outlive the test.
    void open(sim::MemDisk& image, bool read_only = false, bool started_here = false) {
        disk_ = make_disk(image);
        disk_.read_only = read_only;
        disk_.started_here = started_here;
        ASSERT_TRUE(kv::view_open(&view_, &disk_));
    }

    // Keys one second apart from now, so that the program waits for each one
    // and the idle hook sees every frame.
    static void push_keys(const std::vector<Key>& keys) {
        uint64_t at = sim::now_100ns();
        for (const Key& k : keys) {
            at += 10'000'000;
            sim::push_key_at(at, k.scan, k.ch);
        }
    }

    // From now on the screen is kept each time the program waits for a key:
    // frames_[n] is what it showed while n keys were still to come.
    void capture_frames() {
        sim::set_idle_hook([this] {
            frames_[sim::keys_left()] = take_frame();
            return false;
        });
    }

    // The screen shown just before key `index` (0-based) of `total` was read.
    const Frame& frame_before(size_t index, size_t total) {
        auto it = frames_.find(total - index);
        if (it == frames_.end()) {
            ADD_FAILURE() << "no frame before key " << index;
            static const Frame empty;
            return empty;
        }
        return it->second;
    }

    static std::string row(int r) { return sim::screen_text(size_t(r)); }
    static uint8_t attr(int column, int r) {
        return sim::screen_attribute(size_t(column), size_t(r));
    }

    const kv::Partition& partition(int number) {
        const kv::Partition* p = kv::find_partition(&view_.table, number);
        if (p == nullptr) {
            ADD_FAILURE() << "no partition " << number;
            static const kv::Partition none{};
            return none;
        }
        return *p;
    }

    // Selects the row of partition `number`.
    void select_partition(int number) {
        for (int i = 0; i < view_.row_count; i++) {
            const kv::Row& r = view_.rows[i];
            if (!r.is_free && view_.table.partitions[r.partition_index].number == number) {
                view_.selected = i;
                return;
            }
        }
        ADD_FAILURE() << "no row for partition " << number;
    }

    void select_free_row() {
        for (int i = 0; i < view_.row_count; i++)
            if (view_.rows[i].is_free) {
                view_.selected = i;
                return;
            }
        ADD_FAILURE() << "no free row";
    }

    kv::Disk disk_{};
    kv::DiskView view_{};
    std::map<size_t, Frame> frames_;
    size_t pool_baseline_ = 0;
};

// A 32 MiB MBR disk: primary 1 (Linux, 1-3 MiB), extended 2 from 4 MiB to
// the end holding `logical_count` Linux logical partitions of 2 MiB each.
inline std::unique_ptr<sim::MemDisk> mbr_disk(int logical_count, uint8_t first_type = 0x83) {
    auto image = std::make_unique<sim::MemDisk>(512, 65536);
    std::vector<MbrEntry> slots = {MbrEntry{0x00, first_type, 2048, 4096}};
    if (logical_count >= 0) slots.push_back(MbrEntry{0x00, 0x05, 8192, 65536 - 8192});
    write_mbr(*image, slots);
    std::vector<Logical> logicals;
    for (int i = 0; i < logical_count; i++) {
        uint64_t ebr = 8192 + uint64_t(i) * 6144;
        logicals.push_back(Logical{ebr, ebr + 2048, 4096});
    }
    if (logical_count > 0) write_ebr_chain(*image, 8192, logicals);
    return image;
}

// A 32 MiB GPT disk with `count` Linux partitions of 1 MiB, one every 1 MiB
// from 1 MiB on, the first named "root".
inline std::unique_ptr<sim::MemDisk> gpt_disk(int count) {
    auto image = std::make_unique<sim::MemDisk>(512, 65536);
    GptPlan plan;
    for (int i = 0; i < count; i++) {
        GptEntry e;
        e.index = uint32_t(i);
        e.type = kLinuxDataType;
        e.unique = guid("11111111-2222-4333-8444-0000000000" + std::to_string(10 + i));
        e.first = 2048 + uint64_t(i) * 2048;
        e.last = e.first + 2047;
        if (i == 0) e.name = u"root";
        plan.entries.push_back(e);
    }
    write_gpt(*image, plan);
    return image;
}

} // namespace kvtest

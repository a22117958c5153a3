#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "platform/keyboard.h"
#include "tests/disk/image_builder.h"
#include "tests/tui/command_dialogs_fixture.h"
#include "tui/screen.h"
#include "tui/wipe_progress.h"

namespace {

using cdtest::g_script;

constexpr uint8_t kFill = 0xAA;
// 12 MiB: partitions of 1 MiB at 1 MiB, 9 MiB at 2 MiB (writes of 8192,
// 8192 and 2048 blocks per pass) and 1 MiB at 11 MiB.
constexpr uint64_t kBlocks = 24576;
constexpr uint64_t kStart = 4096;
constexpr uint64_t kSize = 18432;
constexpr uint64_t kChunk = 8192;

class WipeDialog : public cdtest::DialogTest {
  protected:
    void open_disk() {
        image_ = std::make_unique<sim::MemDisk>(512, kBlocks);
        std::memset(image_->block(1), kFill, (kBlocks - 1) * 512);
        kvtest::write_mbr(*image_, {{0, 0x83, 2048, 2048},
                                    {0, 0x83, uint32_t(kStart), uint32_t(kSize)},
                                    {0, 0x83, 22528, 2048}});
        open(*image_);
        original_ = image_->image();
        select_partition(2);
    }
    // Every block of the range holds `byte` (or, with `differs`, none holds
    // its original content).
    bool blocks(uint64_t first, uint64_t count, int byte, bool differs = false) {
        std::vector<uint8_t> pattern(512, uint8_t(byte));
        for (uint64_t b = first; b < first + count; b++) {
            const uint8_t* want = byte < 0 ? original_.data() + b * 512 : pattern.data();
            if ((std::memcmp(image_->block(b), want, 512) == 0) == differs) return false;
        }
        return true;
    }
    static constexpr int kOriginal = -1;

    std::unique_ptr<sim::MemDisk> image_;
    std::vector<uint8_t> original_;
};

TEST_F(WipeDialog, CompletedWipeZeroesThePartitionAndNothingElse) {
    open_disk();
    answer({}, {}, {true});
    int polls = 0;
    g_script.on_stop_poll = [&] {
        if (++polls == 8) cdtest::set_clock_ms(100000 + 1500); // after the last write
    };
    kv::wipe_dialog(&view_);

    cdtest::Call q = g_script.of("confirm").at(0);
    EXPECT_TRUE(q.warning);
    EXPECT_EQ(q.title, "Wipe");
    EXPECT_EQ(q.text, "Wipe partition 2 of blk1 (Linux, 9.0 MiB)? (Y/N)");
    EXPECT_TRUE(blocks(kStart, kSize, 0));
    EXPECT_TRUE(blocks(0, kStart, kOriginal));
    EXPECT_TRUE(blocks(kStart + kSize, kBlocks - kStart - kSize, kOriginal));
    EXPECT_STREQ(view_.message, "Partition 2 wiped (9.0 MiB, 2 passes, 2 s).");
    EXPECT_FALSE(view_.message_is_error);
    EXPECT_FALSE(view_.table.dirty);
    EXPECT_EQ(view_.row_count, 3);

    // The clock stood still during the writes: only the start and the end
    // of each pass were drawn.
    ASSERT_EQ(g_script.progress.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(g_script.progress[i].title, "Wiping blk1 partition 2  (9.0 MiB)");
        EXPECT_EQ(g_script.progress[i].pass, i < 2 ? 1 : 2);
        EXPECT_EQ(g_script.progress[i].percent, i % 2 ? 100 : 0);
    }
    EXPECT_EQ(polls, 8) << "a stop poll before each drawing";
}

TEST_F(WipeDialog, StopsAndFailuresAreErrorStatuses) {
    struct {
        std::deque<bool> stops;
        std::deque<bool> confirms;
        int failing_write;
        const char* message;
        int first_chunk, rest; // what the partition holds afterwards
    } cases[] = {
        {{false, true},
         {true, true},
         0,
         "Wipe of partition 2 stopped in pass 1: partly overwritten.",
         kFill,
         kOriginal},
        // Stopped before anything was drawn or written: still pass 1.
        {{true},
         {true, true},
         0,
         "Wipe of partition 2 stopped in pass 1: partly overwritten.",
         kOriginal,
         kOriginal},
        {{false, false, false, false, false, true},
         {true, true},
         0,
         "Wipe of partition 2 stopped in pass 2: partly overwritten.",
         0,
         kFill},
        {{}, {true}, 2, "Wipe of partition 2 failed: I/O error.", kFill, kOriginal},
    };
    for (const auto& c : cases) {
        open_disk();
        answer({}, {}, c.confirms);
        g_script.stops = c.stops;
        if (c.failing_write) image_->fail_write(uint64_t(c.failing_write));
        kv::wipe_dialog(&view_);
        EXPECT_STREQ(view_.message, c.message);
        EXPECT_TRUE(view_.message_is_error);
        // kFill here stands for random data: no block keeps the fill.
        EXPECT_TRUE(blocks(kStart, kChunk, c.first_chunk, c.first_chunk == kFill)) << c.message;
        EXPECT_TRUE(blocks(kStart + kChunk, kSize - kChunk, c.rest, c.rest == kFill)) << c.message;
        if (!c.stops.empty()) {
            EXPECT_EQ(g_script.of("confirm").at(1).text, "Stop the wipe? (Y/N)");
        }
    }
}

TEST_F(WipeDialog, NoToTheStopQuestionRedrawsAtOnce) {
    open_disk();
    answer({}, {}, {true, false});
    g_script.stops = {false, true};
    int polls = 0;
    g_script.on_stop_poll = [&] {
        if (++polls == 8) cdtest::set_clock_ms(100000 + 1400);
    };
    kv::wipe_dialog(&view_);
    EXPECT_STREQ(view_.message, "Partition 2 wiped (9.0 MiB, 2 passes, 1 s).");
    ASSERT_EQ(g_script.progress.size(), 5u);
    EXPECT_EQ(g_script.progress[1].percent, 44) << "8192 of 18432 blocks";
}

TEST_F(WipeDialog, RefusalsAndNoWriteNothing) {
    image_ = std::make_unique<sim::MemDisk>(512, 8192);
    kvtest::GptPlan plan;
    kvtest::GptEntry e;
    e.type = kvtest::kLinuxDataType;
    e.unique = kvtest::guid("11111111-2222-3333-4444-555555555555");
    e.first = 2048;
    e.last = 4095;
    e.name = u"root";
    plan.entries = {e};
    kvtest::write_gpt(*image_, plan);
    open(*image_);
    std::vector<uint8_t> before = image_->image();

    answer({}, {}, {false});
    kv::wipe_dialog(&view_);
    EXPECT_EQ(g_script.of("confirm").at(0).text,
              "Wipe partition 1 of blk1 (Linux filesystem, 1.0 MiB, \"root\")? (Y/N)");
    EXPECT_STREQ(view_.message, "Nothing was written.");
    EXPECT_FALSE(view_.message_is_error);

    ASSERT_EQ(kv::set_name(&view_.table, 1, "x"), nullptr);
    answer({});
    kv::wipe_dialog(&view_);
    ASSERT_EQ(g_script.dialogs().size(), 1u);
    EXPECT_FALSE(g_script.dialogs()[0].warning);
    EXPECT_EQ(g_script.dialogs()[0].title, "Wipe");
    EXPECT_EQ(g_script.dialogs()[0].text, "unwritten changes: write or discard them first");
    EXPECT_TRUE(image_->image() == before);
    EXPECT_TRUE(g_script.progress.empty());

    // A write-protected disk and the one the program started from: the user
    // is told once, nothing is asked (the script has no answer) or written.
    for (bool started_here : {false, true}) {
        kv::view_close(&view_);
        open(*image_);
        disk_.read_only = !started_here;
        disk_.started_here = started_here;
        answer({});
        kv::wipe_dialog(&view_);
        EXPECT_EQ(g_script.dialogs().size(), 1u) << started_here;
        EXPECT_TRUE(g_script.of("confirm").empty()) << started_here;
        EXPECT_TRUE(image_->image() == before) << started_here;
        EXPECT_TRUE(g_script.progress.empty()) << started_here;
    }
}

class WipeProgress : public cdtest::DialogTest {
  protected:
    void SetUp() override {
        cdtest::DialogTest::SetUp();
        image_ = std::make_unique<sim::MemDisk>(512, 4096);
        kvtest::write_mbr(*image_, {});
        open(*image_);
        state_.view = &view_;
        state_.number = 3;
        state_.size_bytes = 3601 * 512; // 1.7 MiB
        state_.start_ms = 100000;
    }
    std::string line_at(uint64_t elapsed, int pass, uint64_t done, uint64_t total) {
        g_script.progress.clear();
        cdtest::set_clock_ms(state_.start_ms + elapsed);
        kv::draw_wipe_progress(&state_, pass, done, total);
        EXPECT_EQ(state_.last_draw_ms, state_.start_ms + elapsed);
        return g_script.progress.empty() ? "" : g_script.progress[0].line;
    }
    std::unique_ptr<sim::MemDisk> image_;
    kv::WipeProgress state_{};
};

TEST_F(WipeProgress, LineShowsSpeedAndTimeLeftAfterHalfASecond) {
    // 2 blocks in 1 s of 2 * total: total - 1 seconds left.
    const std::string head = "1.0 KiB of 1.7 MiB   1.0 KiB/s   ";
    EXPECT_EQ(line_at(1000, 1, 2, 3601), head + "about 1 h 0 min left");
    EXPECT_EQ(line_at(1000, 1, 2, 3600), head + "about 59 min 59 s left");
    EXPECT_EQ(line_at(1000, 1, 2, 61), head + "about 1 min 0 s left");
    EXPECT_EQ(line_at(1000, 1, 2, 60), head + "about 59 s left");
    // Pass 2 counts the first as done: 4 of 8 blocks in 3 s.
    EXPECT_EQ(line_at(3000, 2, 0, 4), "0 B of 1.7 MiB   682 B/s   about 3 s left");

    EXPECT_EQ(line_at(499, 1, 2, 60), "1.0 KiB of 1.7 MiB   estimating the time...");
    EXPECT_EQ(line_at(5000, 1, 0, 60), "0 B of 1.7 MiB   estimating the time...");
    EXPECT_EQ(g_script.progress.at(0).title, "Wiping blk1 partition 3  (1.7 MiB)");
    line_at(0, 2, 1, 3);
    EXPECT_EQ(g_script.progress.at(0).percent, 33);
    line_at(0, 1, 0, 0);
    EXPECT_EQ(g_script.progress.at(0).percent, 100) << "an empty pass is complete";
}

TEST_F(WipeProgress, RedrawsAtMostEvery200MsWithinAPass) {
    auto drawn = [&](uint64_t at, int pass, uint64_t done) {
        cdtest::set_clock_ms(at);
        size_t before = g_script.progress.size();
        EXPECT_TRUE(kv::wipe_progress(&state_, pass, done, 100));
        return g_script.progress.size() > before;
    };
    EXPECT_TRUE(drawn(200000, 1, 0));
    EXPECT_FALSE(drawn(200199, 1, 20));
    EXPECT_TRUE(drawn(200200, 1, 30));
    EXPECT_FALSE(drawn(200201, 1, 40));
    EXPECT_TRUE(drawn(200201, 1, 100)) << "the end of a pass";
    EXPECT_TRUE(drawn(200202, 2, 50)) << "a new pass";
    EXPECT_EQ(state_.last_pass, 2);
}

TEST_F(WipeProgress, TextModeStopIsEscAndOtherKeysAreDropped) {
    kv::g_screen_hooks = nullptr;
    sim::push_key(0, u'q');
    EXPECT_TRUE(kv::wipe_progress(&state_, 1, 0, 100));
    EXPECT_EQ(sim::keys_left(), 0u);
    EXPECT_TRUE(g_script.of("confirm").empty());

    for (auto key : {std::pair<uint16_t, char16_t>{kv::SCAN_ESC, 0}, {0, 0x1B}}) {
        sim::push_key(key.first, key.second);
        g_script.confirms = {true};
        EXPECT_FALSE(kv::wipe_progress(&state_, 1, 10, 100));
    }
}

TEST_F(WipeProgress, TextModeDrawsTheRedBox) {
    kv::g_screen_hooks = nullptr;
    for (auto mode : {sim::TextMode{80, 25}, sim::TextMode{40, 12}}) {
        sim::set_console_attribute(0x07); // the cleared screen: light gray on black
        sim::set_text_modes({mode});
        kv::refresh_screen_size();
        cdtest::set_clock_ms(state_.start_ms);
        kv::draw_wipe_progress(&state_, 2, 1, 4);
        // 80 x 25: width 64 at column 8 from row 8; 40 x 12: 36 at 2 from 2.
        size_t left = mode.columns == 80 ? 8 : 2, top = mode.columns == 80 ? 8 : 2;
        size_t cells = mode.columns == 80 ? 52 : 24, right = left + cells + 11;
        EXPECT_EQ(sim::screen_text(top).substr(left), " Wiping blk1 partition 3  (1.7 MiB)");
        EXPECT_EQ(sim::screen_text(top + 2).substr(left), "  Pass 2 of 2: zeros");
        std::string bar = "  [";
        for (size_t i = 0; i < cells; i++)
            bar += i < cells / 4 ? "\u2588" : "\u2591";
        EXPECT_EQ(sim::screen_text(top + 3).substr(left), bar + "]  25%");
        std::string line =
            std::string("  512 B of 1.7 MiB   estimating the time...").substr(0, cells + 12);
        EXPECT_EQ(sim::screen_text(top + 4).substr(left),
                  line.substr(0, line.find_last_not_of(' ') + 1))
            << "cut to the box";
        EXPECT_EQ(sim::screen_text(top + 6).substr(left), "  Esc: stop");
        EXPECT_EQ(sim::screen_attribute(right, top), 0x4E) << "title: yellow on red";
        for (size_t row = top + 1; row <= top + 6; row++) {
            EXPECT_EQ(sim::screen_attribute(left, row), 0x4F) << "white on red";
            EXPECT_EQ(sim::screen_attribute(right, row), 0x4F);
            EXPECT_NE(sim::screen_attribute(right + 1, row), 0x4F) << "nothing past the box";
        }
    }
}

} // namespace

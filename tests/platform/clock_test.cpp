#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/globals.h"
#include "sim/firmware.h"

namespace {

// The counter cannot be simulated, so these tests place the start reference
// relative to the real counter with a rate far above any real one: a whole
// test then runs within one of its "milliseconds".
constexpr uint64_t kHugeRate = 1000000000000ull;

class ElapsedMs : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_rate = kv::g_tsc_per_ms;
        saved_start = kv::g_tsc_start;
    }
    void TearDown() override {
        kv::g_tsc_per_ms = saved_rate;
        kv::g_tsc_start = saved_start;
    }
    uint64_t saved_rate = 0;
    uint64_t saved_start = 0;
};

TEST_F(ElapsedMs, IsZeroRightAfterStartUp) {
    kv::g_tsc_per_ms = kHugeRate;
    kv::g_tsc_start = kv::tsc_read();
    EXPECT_EQ(kv::elapsed_ms(), 0u);
}

TEST_F(ElapsedMs, DividesTheTicksSinceTheStartByTheRate) {
    kv::g_tsc_per_ms = kHugeRate;
    kv::g_tsc_start = kv::tsc_read() - 7 * kHugeRate;
    EXPECT_EQ(kv::elapsed_ms(), 7u);
    kv::g_tsc_start = kv::tsc_read() - (7 * kHugeRate + kHugeRate / 2);
    EXPECT_EQ(kv::elapsed_ms(), 7u);
}

TEST_F(ElapsedMs, ARateOfZeroCountsAsOne) {
    kv::g_tsc_per_ms = 0;
    kv::g_tsc_start = kv::tsc_read() - 1000;
    EXPECT_GE(kv::elapsed_ms(), 1000u);
}

TEST(LocalTime, CopiesEachCalendarField) {
    sim::reset();
    EFI_TIME t{};
    t.Year = 2031;
    t.Month = 11;
    t.Day = 29;
    t.Hour = 23;
    t.Minute = 58;
    t.Second = 7;
    sim::set_time(t, false);
    kv::CalendarTime out{};
    ASSERT_TRUE(kv::local_time(&out));
    EXPECT_EQ(out.year, 2031);
    EXPECT_EQ(out.month, 11);
    EXPECT_EQ(out.day, 29);
    EXPECT_EQ(out.hour, 23);
    EXPECT_EQ(out.minute, 58);
    EXPECT_EQ(out.second, 7);
}

TEST(LocalTime, FailureGivesFalseAndWritesNothing) {
    sim::reset();
    EFI_TIME t{};
    t.Year = 2031;
    sim::set_time(t, true);
    kv::CalendarTime out{-1, -1, -1, -1, -1, -1};
    EXPECT_FALSE(kv::local_time(&out));
    EXPECT_EQ(out.year, -1);
    EXPECT_EQ(out.second, -1);
}

} // namespace

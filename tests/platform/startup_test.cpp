#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/startup.h"
#include "platform/volumes.h"
#include "sim/files.h"
#include "sim/firmware.h"
#include "volume_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define KV_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_TEST_ASAN 1
#endif
#endif
#ifdef KV_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr uint64_t kStallOf10Ms = 100000; // virtual clock units
constexpr uint64_t kStackBytes = 256 * 4096;

// What the main program saw of the state start-up prepared.
struct Seen {
    bool ran = false;
    int argc = 0;
    char** argv = nullptr;
    std::vector<std::string> args;
    uint64_t watchdog = 1;
    uint64_t clock = 0;
    bool cursor_visible = false;
    uint64_t tsc_start = 0;
    uint64_t tsc_now = 0;
    int volumes = -1;
    int boot_volume = -2;
    size_t pages_live = 0;
    uintptr_t frame = 0; // main's frame address
    size_t terminal_notifies = 0;
};

constexpr uint64_t kAttributeInMain = 0x1F;
Seen g_seen;
int g_result;

// The firmware's page services, watched.
struct PageCall {
    EFI_ALLOCATE_TYPE type;
    EFI_MEMORY_TYPE memory_type;
    UINTN pages;
    EFI_PHYSICAL_ADDRESS base;
};
std::vector<PageCall> g_allocations;
std::vector<PageCall> g_frees;
decltype(EFI_BOOT_SERVICES::AllocatePages) g_allocate_pages;
decltype(EFI_BOOT_SERVICES::FreePages) g_free_pages;

EFI_STATUS EFIAPI watched_allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type,
                                         UINTN pages, EFI_PHYSICAL_ADDRESS* memory) {
    EFI_STATUS status = g_allocate_pages(type, memory_type, pages, memory);
    if (!EFI_ERROR(status)) g_allocations.push_back({type, memory_type, pages, *memory});
    return status;
}

EFI_STATUS EFIAPI watched_free_pages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
    g_frees.push_back({AllocateAnyPages, EfiLoaderData, pages, memory});
    return g_free_pages(memory, pages);
}

// A stall that also takes a known least number of TSC ticks, so that the
// calibration has something to measure: the simulated clock moves at once.
constexpr uint64_t kStallTicks = 2000000;
decltype(EFI_BOOT_SERVICES::Stall) g_stall;
UINTN g_stall_us;
uint64_t g_stall_tsc_begin;
uint64_t g_stall_tsc_end;

EFI_STATUS EFIAPI measured_stall(UINTN microseconds) {
    g_stall_us = microseconds;
    g_stall_tsc_begin = kv::tsc_read();
    while (kv::tsc_read() - g_stall_tsc_begin < kStallTicks) {
    }
    EFI_STATUS status = g_stall(microseconds);
    g_stall_tsc_end = kv::tsc_read();
    return status;
}

void watch_pages() {
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    g_allocate_pages = bs->AllocatePages;
    g_free_pages = bs->FreePages;
    bs->AllocatePages = watched_allocate_pages;
    bs->FreePages = watched_free_pages;
}

int observe(int argc, char** argv) {
    g_seen.ran = true;
    // The frame address rather than a local's: the sanitizer may keep
    // locals elsewhere.
    g_seen.frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    g_seen.argc = argc;
    g_seen.argv = argv;
    for (int i = 0; i < argc; i++)
        g_seen.args.push_back(argv[i]);
    g_seen.watchdog = sim::watchdog_timeout();
    g_seen.clock = sim::now_100ns();
    g_seen.cursor_visible = sim::console_cursor_visible();
    g_seen.tsc_start = kv::g_tsc_start;
    g_seen.tsc_now = kv::tsc_read();
    g_seen.volumes = kv::volume_count();
    g_seen.boot_volume = kv::boot_volume();
    g_seen.pages_live = sim::pages_live();
    g_seen.terminal_notifies = sim::terminal_key_notifies();
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    out->SetAttribute(out, kAttributeInMain);
    return g_result;
}

char* volatile g_escaped;

// Runs out of pool inside the main program, on whatever stack it has, with
// a frame the sanitizer surrounds with guard zones.
int exhaust_pool(int, char**) {
    char scratch[64] = {};
    g_escaped = scratch;
    g_seen.ran = true;
    g_seen.pages_live = sim::pages_live();
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    out->SetAttribute(out, 0x4F);
    sim::fail_pool_after(0);
    kv::xmalloc(64);
    return 0;
}

kv::MainFunction g_main;

EFI_STATUS start(void*) {
    return kv::program_start(sim::image_handle(), sim::system_table(), g_main);
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        g_seen = Seen{};
        g_result = 0;
        g_allocations.clear();
        g_frees.clear();
        g_main = observe;
    }
    void TearDown() override { kv::volume_release(); }

    // Runs the program as the firmware would and expects it to return.
    EFI_STATUS run() {
        sim::RunResult r = sim::run_image(start, nullptr);
        EXPECT_FALSE(r.exited);
        return r.status;
    }
};

TEST_F(Startup, PreparesTheProcessStateBeforeMain) {
    kvtest::TempDir dir;
    EFI_HANDLE volume = sim::add_volume(dir.str());
    sim::loaded_image()->DeviceHandle = volume;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    out->EnableCursor(out, FALSE);
    ASSERT_NE(sim::watchdog_timeout(), 0u);
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    g_stall = bs->Stall;
    bs->Stall = measured_stall;
    uint64_t tsc_before = kv::tsc_read();

    EXPECT_EQ(run(), EFI_SUCCESS);

    ASSERT_TRUE(g_seen.ran);
    EXPECT_EQ(g_seen.watchdog, 0u);
    EXPECT_EQ(sim::watchdog_timeout(), 0u);
    EXPECT_EQ(kv::g_image, sim::image_handle());
    EXPECT_EQ(kv::g_st, sim::system_table());
    EXPECT_EQ(kv::g_bs, sim::system_table()->BootServices);
    EXPECT_EQ(kv::g_rt, sim::system_table()->RuntimeServices);
    EXPECT_EQ(kv::g_loaded_image, sim::loaded_image());
    EXPECT_NE(kv::g_con_in_ex, nullptr);
    // The serial terminal is watched while main runs, and no longer after.
    EXPECT_EQ(g_seen.terminal_notifies, 1u);
    EXPECT_EQ(sim::terminal_key_notifies(), 0u);
    EXPECT_TRUE(g_seen.cursor_visible);
    // The calibration stall is the only time that passes before main.
    EXPECT_EQ(g_seen.clock, kStallOf10Ms);
    EXPECT_EQ(g_stall_us, 10000u);
    // The count spans at least the stall and at most the whole start, and
    // the start reference is taken after the stall.
    EXPECT_GE(kv::g_tsc_per_ms, (g_stall_tsc_end - g_stall_tsc_begin) / 10);
    EXPECT_LE(kv::g_tsc_per_ms, (g_seen.tsc_now - tsc_before) / 10);
    EXPECT_GE(g_seen.tsc_start, g_stall_tsc_end);
    EXPECT_LE(g_seen.tsc_start, g_seen.tsc_now);
    // The volume scan ran after the loaded image was found.
    EXPECT_EQ(g_seen.volumes, 1);
    EXPECT_EQ(g_seen.boot_volume, 0);
    EXPECT_EQ(g_seen.argc, kv::g_argc);
    EXPECT_EQ(g_seen.argv, kv::g_argv);
    EXPECT_EQ(g_seen.args, std::vector<std::string>{"korvane"});
}

TEST_F(Startup, MainReceivesTheLoadOptionsAsArguments) {
    std::u16string options = u"korvane.efi \"x y\"";
    sim::loaded_image()->LoadOptions = options.data();
    sim::loaded_image()->LoadOptionsSize = uint32_t(options.size() * 2);
    EXPECT_EQ(run(), EFI_SUCCESS);
    EXPECT_EQ(g_seen.args, (std::vector<std::string>{"korvane.efi", "x y"}));
}

TEST_F(Startup, ConsoleWithoutInputExtensionLeavesItNull) {
    sim::set_input_ex(false);
    EXPECT_EQ(run(), EFI_SUCCESS);
    EXPECT_TRUE(g_seen.ran);
    EXPECT_EQ(kv::g_con_in_ex, nullptr);
}

TEST_F(Startup, ConsoleAttributeIsRestoredAtTheEnd) {
    sim::set_console_attribute(0x1E);
    EXPECT_EQ(run(), EFI_SUCCESS);
    EXPECT_EQ(kv::g_saved_attribute, 0x1Eu);
    EXPECT_EQ(sim::console_attribute(), 0x1Eu);

    // Attribute 0 would be black on black.
    sim::reset();
    sim::set_console_attribute(0);
    EXPECT_EQ(run(), EFI_SUCCESS);
    EXPECT_EQ(kv::g_saved_attribute, 7u);
    EXPECT_EQ(sim::console_attribute(), 7u);
}

TEST_F(Startup, MainResultBecomesTheExitStatus) {
    struct Case {
        int result;
        EFI_STATUS status;
    };
    for (Case c :
         {Case{0, EFI_SUCCESS}, Case{3, 0x8000000000000003ull}, Case{0x1FF, 0x80000000000000FFull},
          Case{0x100, 0x8000000000000000ull}, Case{-1, 0x80000000000000FFull}}) {
        sim::reset();
        g_result = c.result;
        EXPECT_EQ(run(), c.status) << "result " << c.result;
        EXPECT_EQ(kv::g_main_result, c.result);
        EXPECT_EQ(kv::exit_status_for(c.result), c.status);
    }
}

TEST_F(Startup, MainRunsNearTheTopOfAPrivateStack) {
    watch_pages();
    EXPECT_EQ(run(), EFI_SUCCESS);

    ASSERT_EQ(g_allocations.size(), 1u);
    const PageCall& stack = g_allocations[0];
    EXPECT_EQ(stack.type, AllocateAnyPages);
    EXPECT_EQ(stack.memory_type, EfiLoaderData);
    EXPECT_EQ(stack.pages, 256u);
    EXPECT_EQ(g_seen.pages_live, 256u);
    EXPECT_GE(g_seen.frame, stack.base);
    EXPECT_LT(g_seen.frame, stack.base + kStackBytes);
    // Main is the first frame on the new stack.
    EXPECT_LT(stack.base + kStackBytes - g_seen.frame, 16u * 1024);
    EXPECT_EQ(g_seen.frame % 16, 0u) << "stack not 16-byte aligned at the call";

    ASSERT_EQ(g_frees.size(), 1u);
    EXPECT_EQ(g_frees[0].base, stack.base);
    EXPECT_EQ(g_frees[0].pages, 256u);
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST_F(Startup, MainRunsOnTheFirmwareStackWhenNoPagesAreLeft) {
    sim::fail_pages_after(0);
    g_result = 5;
    uintptr_t test_frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    EXPECT_EQ(run(), 0x8000000000000005ull);
    ASSERT_TRUE(g_seen.ran);
    EXPECT_EQ(g_seen.pages_live, 0u);
    uintptr_t distance =
        g_seen.frame > test_frame ? g_seen.frame - test_frame : test_frame - g_seen.frame;
    EXPECT_LT(distance, 256u * 1024) << "main did not run on the caller's stack";
}

TEST_F(Startup, RunningOutOfMemoryInMainEndsWithLoadError) {
    sim::set_console_attribute(0x1E);
    g_main = exhaust_pool;
    sim::RunResult r = sim::run_image(start, nullptr);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, EFI_LOAD_ERROR);
    EXPECT_TRUE(g_seen.ran);
    EXPECT_EQ(g_seen.pages_live, 256u);
    EXPECT_EQ(sim::console_output_utf8(), "\r\nkorvane: fatal: out of memory\r\n");
    EXPECT_EQ(sim::console_attribute(), 0x1Eu);
    EXPECT_EQ(sim::terminal_key_notifies(), 0u);
    // Exit ends the run at once: the stack is not given back first.
    EXPECT_EQ(sim::pages_live(), 256u);

    // A later run after that jump off the private stack works as usual.
    sim::reset();
    g_main = observe;
    g_result = 2;
    watch_pages();
    EXPECT_EQ(run(), 0x8000000000000002ull);
    ASSERT_EQ(g_allocations.size(), 1u);
    EXPECT_GE(g_seen.frame, g_allocations[0].base);
    EXPECT_LT(g_seen.frame, g_allocations[0].base + kStackBytes);
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST_F(Startup, RunningOutOfMemoryBeforeMainEndsWithLoadError) {
    sim::fail_pool_after(0);
    sim::RunResult r = sim::run_image(start, nullptr);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, EFI_LOAD_ERROR);
    EXPECT_FALSE(g_seen.ran);
    EXPECT_EQ(sim::console_output_utf8(), "\r\nkorvane: fatal: out of memory\r\n");
}

#ifdef KV_TEST_ASAN
// Exit abandons the frames on the private stack; the sanitizer must have
// taken that stack for the current one and cleared their guard zones, or
// whatever reuses the memory trips over them.
TEST_F(Startup, ExitFromThePrivateStackLeavesNoGuardZonesBehind) {
    watch_pages();
    g_main = exhaust_pool;
    sim::RunResult r = sim::run_image(start, nullptr);
    ASSERT_TRUE(r.exited);
    ASSERT_EQ(g_allocations.size(), 1u);
    void* base = reinterpret_cast<void*>(uintptr_t(g_allocations[0].base));
    EXPECT_EQ(__asan_region_is_poisoned(base, kStackBytes), nullptr);
}
#endif

TEST(TscRate, IsATenthOfTheStallTicksAndNeverBelowOne) {
    EXPECT_EQ(kv::tsc_rate_from_stall(0), 1u);
    EXPECT_EQ(kv::tsc_rate_from_stall(9), 1u);
    EXPECT_EQ(kv::tsc_rate_from_stall(10), 1u);
    EXPECT_EQ(kv::tsc_rate_from_stall(19), 1u);
    EXPECT_EQ(kv::tsc_rate_from_stall(20), 2u);
    EXPECT_EQ(kv::tsc_rate_from_stall(29999999), 2999999u);
    EXPECT_EQ(kv::tsc_rate_from_stall(UINT64_MAX), UINT64_MAX / 10);
}

} // namespace

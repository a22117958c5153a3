// The screen trace behind a serial port as slow as a 115200-baud UART
// (87 us a byte, on the simulated firmware's clock): the program must not
// wait for the port to draw, and the port must still get every line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/event_loop.h"
#include "gui/trace.h"
#include "sim/disks.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/runner.h"
#include "sim/serial.h"
#include "tests/tui/disk_screen_fixture.h"

namespace {

constexpr uint64_t kUartByte = 870;        // 87 us
constexpr uint64_t kMs = 10000;            // in 100 ns units
constexpr uint64_t kFirstKey = 3000 * kMs; // the first screen's lines are out by then
constexpr uint64_t kKeyGap = 40 * kMs;     // faster than a render's lines can go out
constexpr int kKeys = 12;

EFI_STATUS gui_entry(void*) {
    return kv::gui_run() ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

struct Session {
    std::string trace;
    std::vector<uint64_t> key_times;
    std::vector<uint64_t> latencies; // from each key to the next whole-screen copy
};

// The graphical front end on a disk of 24 partitions (about 2.5 KB of
// trace a render), arrow keys typed every 40 ms, then Esc; or, with
// run_out, F5 right after the arrows with no memory left to read the disks
// again.
Session run_gui(uint64_t byte_time, bool run_out = false) {
    sim::reset();
    kv::trace_reset();
    sim::GuiDevices devices = sim::attach_gui_devices();
    sim::set_serial_byte_time(devices.serial, byte_time);
    sim::BlockDiskConfig config;
    config.pci_device = 2;
    sim::add_block_disk(kvtest::gpt_disk(24), config);
    Session s;
    for (int k = 0; k < kKeys; k++) {
        s.key_times.push_back(kFirstKey + k * kKeyGap);
        sim::push_key_at(s.key_times.back(), kv::SCAN_DOWN, 0);
    }
    uint64_t last = kFirstKey + kKeys * kKeyGap;
    if (run_out) {
        sim::push_key_at(last, kv::SCAN_F5, 0);
        // Armed once every arrow has been read: F5 reads the disks again,
        // and the second pool buffer of that fails.
        sim::set_key_read_hook([] {
            if (sim::keys_left() == 1) sim::fail_pool_after(1);
        });
    } else {
        sim::push_key_at(last + 5000 * kMs, kv::SCAN_ESC, 0);
    }
    sim::RunResult r = sim::run_image(gui_entry, nullptr);
    EXPECT_EQ(r.exited, run_out);
    EXPECT_EQ(r.status, run_out ? EFI_LOAD_ERROR : EFI_SUCCESS);
    EXPECT_EQ(sim::keys_left(), 0u);
    for (uint64_t due : s.key_times) {
        uint64_t drawn = UINT64_MAX;
        for (const sim::BltCall& c : sim::display_blt_calls())
            if (c.at_100ns >= due && c.width == sim::display_width() &&
                c.height == sim::display_height()) {
                drawn = c.at_100ns;
                break;
            }
        s.latencies.push_back(drawn - due);
    }
    s.trace = sim::serial_output(devices.serial);
    return s;
}

std::vector<std::string> lines_of(const std::string& bytes) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.push_back(bytes.substr(at, end - at));
    EXPECT_EQ(at, bytes.size()) << "the trace ends inside a line";
    return out;
}

// Each key is drawn within 50 ms of the simulated clock, which moves only
// while the port sends (or the program stalls or waits): the render's own
// blocking, whatever else the host is busy with. Meanwhile the lines of
// twelve renders, five seconds of the port's time, wait and go out later,
// in the same bytes as on a port that takes no time at all.
TEST(TraceQueue, KeysRenderAtOnceWhileASlowPortCatchesUp) {
    Session fast = run_gui(0);
    Session slow = run_gui(kUartByte);
    ASSERT_EQ(slow.latencies.size(), size_t(kKeys));
    for (int k = 0; k < kKeys; k++)
        EXPECT_LT(slow.latencies[k], 50 * kMs) << "key " << k;
    // The port could not have kept up: the renders' lines took it longer
    // than the keys took to come.
    EXPECT_GT(slow.trace.size() / kKeys / 2 * kUartByte, kKeyGap);

    EXPECT_EQ(slow.trace, fast.trace);
    std::vector<std::string> lines = lines_of(slow.trace);
    ASSERT_FALSE(lines.empty());
    for (const std::string& l : lines)
        EXPECT_EQ(l.rfind("gui: ", 0), 0u) << l;
    EXPECT_EQ(lines.back().rfind("gui: closed, text cursor ", 0), 0u);
    size_t renders = 0;
    for (const std::string& l : lines)
        renders += l == "gui: shown";
    EXPECT_EQ(renders, size_t(kKeys) + 1);
}

// A fatal failure while lines still wait for the slow port: they go out
// before the program ends, every render's lines whole.
TEST(TraceQueue, AFatalFailureLetsOutTheLinesThatWait) {
    Session s = run_gui(kUartByte, true);
    EXPECT_NE(sim::console_output_utf8().find("korvane: fatal: out of memory"), std::string::npos);
    std::vector<std::string> lines = lines_of(s.trace);
    size_t renders = 0;
    for (const std::string& l : lines)
        renders += l == "gui: shown";
    EXPECT_EQ(renders, size_t(kKeys) + 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "gui: shown");
    sim::set_key_read_hook(nullptr);
    sim::fail_pool_after(-1);
}

// Lines that come faster than the port takes them wait up to the bound and
// then for the port; drained in slices or all at once, they arrive whole,
// in order, and the memory they waited in is given back.
TEST(TraceQueue, WaitingLinesStayWithinTheBoundAndArriveInOrder) {
    sim::reset();
    kv::trace_reset();
    EFI_HANDLE port = sim::add_serial_port();
    sim::set_console_out({sim::gop_console_path(), sim::serial_console_path()});
    sim::set_serial_byte_time(port, kUartByte);

    std::vector<std::string> expected;
    size_t queued = 0;
    for (int i = 0; i < 3000; i++) {
        std::string text = "line " + std::to_string(i) + " " + std::string(i * 37 % 380, 'x');
        kv::trace("%s", text.c_str());
        expected.push_back("gui: " + text);
        queued += expected.back().size() + 2;
        size_t waiting = queued - sim::serial_output(port).size();
        ASSERT_LE(waiting, kv::kTraceQueueBound) << "line " << i;
        ASSERT_EQ(waiting > 0, kv::trace_pending()) << "line " << i;
        if (i % 7 == 0) kv::trace_drain();
    }
    EXPECT_GT(queued, 2 * kv::kTraceQueueBound);
    kv::trace_flush();
    EXPECT_FALSE(kv::trace_pending());
    EXPECT_EQ(lines_of(sim::serial_output(port)), expected);
    EXPECT_EQ(sim::pool_blocks_live(), 0u);
}

} // namespace

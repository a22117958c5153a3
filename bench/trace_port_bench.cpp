// The graphical front end behind a serial port as slow as a 115200-baud
// UART (87 us a byte on the simulated firmware's clock), on a disk of 24
// partitions made by sfdisk, with an arrow key every 40 ms: how long each key
// waits for its frame on the simulated clock (the time the port holds the
// program), against what writing each render's trace at once would block,
// and whether the trace arrives as on a port that takes no time. The real
// time per render (host CPU, simulated firmware included) is beside it.
// `runs` (the first argument, default 3) repeats it for the spread.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gui/event_loop.h"
#include "gui/trace.h"
#include "platform/keyboard.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/runner.h"
#include "sim/serial.h"

namespace {

constexpr uint64_t kUartByte = 870; // 87 us in 100 ns units
constexpr uint64_t kMs = 10000;
constexpr uint64_t kFirstKey = 3000 * kMs;
constexpr uint64_t kKeyGap = 40 * kMs;
constexpr int kKeys = 12;

EFI_STATUS gui_entry(void*) {
    return kv::gui_run() ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

bool make_image(const std::string& path) {
    std::string script = "label: gpt\n";
    for (int i = 0; i < 24; i++)
        script += "size=1MiB\n";
    std::string command = "rm -f '" + path + "' && truncate -s 64M '" + path +
                          "' && sfdisk -q --no-reread '" + path + "' >/dev/null";
    FILE* p = popen(command.c_str(), "w");
    if (!p) return false;
    std::fwrite(script.data(), 1, script.size(), p);
    return pclose(p) == 0;
}

struct Session {
    std::string trace;
    std::vector<double> latency_ms; // per key, simulated clock
    double real_ms = 0;
    size_t renders = 0;
};

Session run(const std::string& image, uint64_t byte_time) {
    sim::reset();
    kv::trace_reset();
    sim::GuiDevices devices = sim::attach_gui_devices();
    sim::set_serial_byte_time(devices.serial, byte_time);
    sim::ImageArg arg;
    arg.path = image;
    std::vector<EFI_HANDLE> disks;
    std::string warnings, error;
    if (!sim::attach_images({arg}, &disks, &warnings, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    std::vector<uint64_t> due;
    for (int k = 0; k < kKeys; k++) {
        due.push_back(kFirstKey + k * kKeyGap);
        sim::push_key_at(due.back(), kv::SCAN_DOWN, 0);
    }
    sim::push_key_at(kFirstKey + kKeys * kKeyGap + 5000 * kMs, kv::SCAN_ESC, 0);
    auto start = std::chrono::steady_clock::now();
    sim::run_image(gui_entry, nullptr);
    Session s;
    s.real_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    for (uint64_t d : due) {
        uint64_t drawn = UINT64_MAX;
        for (const sim::BltCall& c : sim::display_blt_calls())
            if (c.at_100ns >= d && c.width == sim::display_width() &&
                c.height == sim::display_height()) {
                drawn = c.at_100ns;
                break;
            }
        s.latency_ms.push_back(drawn == UINT64_MAX ? -1 : double(drawn - d) / kMs);
    }
    s.trace = sim::serial_output(devices.serial);
    for (size_t at = 0; (at = s.trace.find("gui: shown\r\n", at)) != std::string::npos; at++)
        s.renders++;
    return s;
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::string tmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    std::string image = tmp + "/korvane-trace-bench-" + std::to_string(getpid()) + ".img";
    if (!make_image(image)) {
        std::fprintf(stderr, "sfdisk could not make %s\n", image.c_str());
        return 1;
    }
    std::printf("run  bytes/render  written at once  key->frame max  mean   real/render  "
                "trace as on a fast port\n");
    for (int r = 1; r <= runs; r++) {
        Session fast = run(image, 0);
        Session slow = run(image, kUartByte);
        double per_render = slow.renders ? double(slow.trace.size()) / slow.renders : 0;
        double at_once_ms = per_render * kUartByte / kMs;
        double most = *std::max_element(slow.latency_ms.begin(), slow.latency_ms.end());
        double mean = 0;
        for (double l : slow.latency_ms)
            mean += l / slow.latency_ms.size();
        std::printf("%3d %13.0f %13.1f ms %12.1f ms %6.1f ms %9.2f ms  %s\n", r, per_render,
                    at_once_ms, most, mean, slow.real_ms / std::max<size_t>(slow.renders, 1),
                    slow.trace == fast.trace ? "yes" : "NO");
    }
    unlink(image.c_str());
    return 0;
}

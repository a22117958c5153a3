// Opening a GPT disk of 128, 1,024 and 8,192 entries, half of them used, as
// korvane-sim does and as kvdump does, on the same image made by sfdisk.
//
// In process: the program's open path on the simulated firmware (the disk
// and its partition handles attached, disks found and summarised, the view
// loaded) against kvdump's (one read of the table, printed as JSON). As
// processes: the two binaries on the image, korvane-sim opening the disk in
// its text front end and leaving. Every figure is the best of `runs` (the
// first argument, default 5); the ratio is taken per size, and the exponent
// of growth between two sizes is log(t2 / t1) / log(n2 / n1).
//
// Usage: gpt_open_bench [runs] [korvane-sim] [kvdump]  (default: the
// binaries of this build tree)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk/read_table.h"
#include "disk/view.h"
#include "platform/disks.h"
#include "platform/rescan.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "sim/runner.h"
#include "sim/table_json.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSizes[] = {128, 1024, 8192};
constexpr uint64_t kPartitionBlocks = 8;
constexpr uint64_t kFirstStart = 4096;

volatile size_t g_sink;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A peer-made image: sfdisk lays down the table, partitions of 8 blocks
// each so that even the largest image stays small.
bool make_image(const std::string& path, int entries) {
    int used = entries / 2;
    uint64_t blocks = kFirstStart + uint64_t(used) * kPartitionBlocks + 4096;
    std::string script = "label: gpt\ntable-length: " + std::to_string(entries) + "\n";
    for (int i = 0; i < used; i++)
        script += "start=" + std::to_string(kFirstStart + uint64_t(i) * kPartitionBlocks) +
                  ", size=" + std::to_string(kPartitionBlocks) + "\n";
    std::string command = "rm -f '" + path + "' && truncate -s " + std::to_string(blocks * 512) +
                          " '" + path + "' && sfdisk -q --no-reread '" + path + "' >/dev/null";
    FILE* p = popen(command.c_str(), "w");
    if (!p) return false;
    std::fwrite(script.data(), 1, script.size(), p);
    return pclose(p) == 0;
}

// The program's side: what both front ends do before the disk is shown.
double time_open(const std::string& image, int expect) {
    sim::reset();
    sim::ImageArg arg;
    arg.path = image;
    std::vector<EFI_HANDLE> disks;
    std::string warnings, error;
    Clock::time_point start = Clock::now();
    if (!sim::attach_images({arg}, &disks, &warnings, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    kv::DiskView view{};
    kv::Disk* list = nullptr;
    int count = 0;
    kv::DiskSummary* summaries = nullptr;
    kv::choose_disk_after_rescan(&view, &list, &count, &summaries);
    double ms = ms_since(start);
    if (!view.loaded || view.table.partition_count != expect) {
        std::fprintf(stderr, "%s: the view shows %d partitions, not %d\n", image.c_str(),
                     view.loaded ? view.table.partition_count : -1, expect);
        std::exit(1);
    }
    kv::view_close(&view);
    kv::release_summaries();
    kv::release_disks();
    return ms;
}

// kvdump's side: one read of the table and its JSON.
double time_dump(const std::string& image) {
    sim::reset();
    Clock::time_point start = Clock::now();
    auto disk = sim::FileDisk::open(image, 512, false);
    kv::PartitionTable table{};
    kv::read_table(disk->device(), &table);
    g_sink = g_sink + sim::table_to_json(table).size();
    kv::table_free(&table);
    return ms_since(start);
}

double time_command(const std::string& command) {
    Clock::time_point start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return ms_since(start);
}

std::string own_dir() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, size_t(n));
    return path.substr(0, path.rfind('/'));
}

struct Row {
    int entries;
    double open, dump, sim_process, kvdump_process;
};

double exponent(double t1, double t2, int n1, int n2) {
    return std::log(t2 / t1) / std::log(double(n2) / n1);
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::string dir = own_dir();
    std::string sim_bin = argc > 2 ? argv[2] : dir + "/../korvane-sim";
    std::string dump_bin = argc > 3 ? argv[3] : dir + "/../tools/kvdump";
    std::string tmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";

    std::vector<Row> rows;
    for (int entries : kSizes) {
        std::string image = tmp + "/korvane-gpt-bench-" + std::to_string(getpid()) + "-" +
                            std::to_string(entries) + ".img";
        if (!make_image(image, entries)) {
            std::fprintf(stderr, "sfdisk could not make %s\n", image.c_str());
            return 1;
        }
        Row r{entries, 1e300, 1e300, 1e300, 1e300};
        std::string quiet = " >/dev/null 2>&1";
        for (int i = 0; i < runs; i++) {
            r.open = std::min(r.open, time_open(image, entries / 2));
            r.dump = std::min(r.dump, time_dump(image));
            r.sim_process = std::min(r.sim_process, time_command(sim_bin + " --keys enter,esc,q '" +
                                                                 image + "'" + quiet));
            r.kvdump_process =
                std::min(r.kvdump_process, time_command(dump_bin + " '" + image + "'" + quiet));
        }
        unlink(image.c_str());
        rows.push_back(r);
    }

    std::printf("entries  open ms  kvdump ms  ratio   |  korvane-sim ms  kvdump ms  ratio\n");
    for (const Row& r : rows)
        std::printf("%7d %8.2f %10.2f %6.2f   | %15.1f %10.1f %6.2f\n", r.entries, r.open, r.dump,
                    r.open / r.dump, r.sim_process, r.kvdump_process,
                    r.sim_process / r.kvdump_process);
    const Row& a = rows[1];
    const Row& b = rows[2];
    std::printf("growth exponent %d -> %d entries: open %.2f, kvdump %.2f\n", a.entries, b.entries,
                exponent(a.open, b.open, a.entries, b.entries),
                exponent(a.dump, b.dump, a.entries, b.entries));
    return 0;
}

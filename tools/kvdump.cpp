// kvdump IMAGE [--block-size N]: reads the partition table of a disk image
// exactly as the program does and prints it as one JSON object, so scripts
// can compare the reader with other partitioning tools.

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/model.h"
#include "disk/read_table.h"
#include "platform/error.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "sim/table_json.h"
#include "tools/image_tool.h"

namespace {

constexpr uint32_t kDefaultBlockSize = 512;

int fail(const std::string& message) {
    std::fprintf(stderr, "kvdump: %s\n", message.c_str());
    return 1;
}

constexpr char kUsage[] = "usage: kvdump IMAGE [--block-size N]";

// A wrong command line is told apart from a failed read by its status.
int usage(const std::string& why = "") {
    std::fprintf(stderr, "kvdump: %s%s\n", why.empty() ? "" : (why + "; ").c_str(), kUsage);
    return 2;
}

int help() {
    std::printf("%s\n\n"
                "Prints the partition table of the disk image IMAGE as one JSON object: the\n"
                "table's fields, the partitions in table order and the diagnostic notes.\n\n"
                "  --block-size N  the image's block size, a power of two from 512 (default 512)\n"
                "  -h, --help      this text\n\n"
                "Exit status: 0 when printed; 1 when the image cannot be read or is not a\n"
                "whole number of blocks, or N is no such power of two; 2 for a wrong command\n"
                "line. See kvdump(1).\n",
                kUsage);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    uint32_t block_size = kDefaultBlockSize;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        const char* value = nullptr;
        if (arg == "-h" || arg == "--help") {
            return help();
        } else if (arg == "--block-size") {
            if (i + 1 >= argc) return usage("--block-size needs a value");
            value = argv[++i];
        } else if (arg.rfind("--block-size=", 0) == 0) {
            value = argv[i] + std::strlen("--block-size=");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage("unknown option " + arg);
        } else if (path == nullptr) {
            path = argv[i];
            continue;
        } else {
            return usage();
        }
        if (!kvtool::parse_block_size(value, &block_size))
            return fail(std::string("block size must be a power of two of at least 512: ") + value);
    }
    if (path == nullptr) return usage();

    struct stat st;
    if (stat(path, &st) != 0) return fail(std::string(path) + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(std::string(path) + ": not a regular file");
    uint64_t bytes = static_cast<uint64_t>(st.st_size);
    if (bytes == 0) return fail(std::string(path) + ": the image is empty");
    if (bytes % block_size != 0)
        return fail(std::string(path) + ": size " + std::to_string(bytes) +
                    " is not a multiple of the block size " + std::to_string(block_size));

    sim::reset();
    std::string error;
    auto disk = sim::FileDisk::open(path, block_size, false, &error);
    if (!disk) return fail(error);

    kv::PartitionTable table{};
    kv::ErrorCode status = kv::read_table(disk->device(), &table);
    if (status != kv::ERR_OK) {
        kv::table_free(&table);
        return fail(std::string(path) +
                    ": cannot read the partition table: " + kv::error_text(status));
    }
    std::string json = sim::table_to_json(table);
    kv::table_free(&table);
    if (std::fwrite(json.data(), 1, json.size(), stdout) != json.size() || std::fflush(stdout) != 0)
        return fail("cannot write the output");
    return 0;
}

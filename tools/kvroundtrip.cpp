// kvroundtrip IMAGE --kind mbr|gpt --seed N --steps N [--block-size N]:
// reads the table of a disk image, applies N random edits chosen from the
// seed alone (a new table of the kind first, unless the image already holds
// one), writes the result with the program's writer and prints it. Gives the
// cross-tool oracle tables that no hand-written script would think of.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "disk/model.h"
#include "disk/read_table.h"
#include "edit/edit_ops.h"
#include "io/write_table.h"
#include "platform/error.h"
#include "sim/firmware.h"
#include "tests/edit/random_edits.h"
#include "tools/image_tool.h"

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "kvroundtrip: %s\n", message.c_str());
    return 1;
}

int usage() {
    return fail("usage: kvroundtrip IMAGE --kind mbr|gpt --seed N --steps N [--block-size N]");
}

bool parse_count(const char* text, uint64_t* out) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    *out = std::strtoull(text, &end, 10);
    return *end == '\0';
}

} // namespace

int main(int argc, char** argv) {
    const char* path = nullptr;
    uint32_t block_size = 512;
    kv::TableKind kind = kv::TableKind::None;
    uint64_t seed = 0;
    uint64_t steps = 0;
    bool have_seed = false;
    bool have_steps = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            if (path != nullptr) return usage();
            path = argv[i];
            continue;
        }
        if (i + 1 >= argc) return usage();
        const char* value = argv[++i];
        if (arg == "--kind") {
            if (std::strcmp(value, "mbr") == 0)
                kind = kv::TableKind::Mbr;
            else if (std::strcmp(value, "gpt") == 0)
                kind = kv::TableKind::Gpt;
            else
                return usage();
        } else if (arg == "--seed") {
            if (!parse_count(value, &seed)) return usage();
            have_seed = true;
        } else if (arg == "--steps") {
            if (!parse_count(value, &steps)) return usage();
            have_steps = true;
        } else if (arg == "--block-size") {
            if (!kvtool::parse_block_size(value, &block_size))
                return fail(std::string("block size must be a power of two of at least 512: ") +
                            value);
        } else {
            return usage();
        }
    }
    if (path == nullptr || kind == kv::TableKind::None || !have_seed || !have_steps) return usage();

    sim::reset();
    std::string error;
    kv::PartitionTable table{};
    auto disk = kvtool::open_image_table(path, block_size, &table, &error);
    if (!disk) return fail(error);
    // The disk's own random source follows the seed too, so signatures and
    // GUIDs repeat from run to run.
    disk->seed_random(seed);
    if (table.kind != kind) kv::new_table(&table, disk->device(), kind);

    kvtest::RandomEditOptions options;
    options.kind = kind;
    kvtest::RandomEditor editor(seed, &table, disk->device(), options);
    uint64_t accepted = 0;
    for (uint64_t i = 0; i < steps; i++)
        if (editor.step().result == nullptr) accepted++;

    kv::WriteRefusal refusal;
    kv::ErrorCode rc = kv::write_table(disk->device(), &table, &refusal);
    if (rc != kv::ERR_OK) {
        kv::table_free(&table);
        return fail(std::string(path) + ": cannot write the table: " +
                    (refusal.text[0] != '\0' ? refusal.text : kv::error_text(rc)));
    }
    std::printf("%s: %llu of %llu edits accepted, written\n", path,
                static_cast<unsigned long long>(accepted), static_cast<unsigned long long>(steps));
    kvtool::print_summary(stdout, table);
    kv::table_free(&table);
    return 0;
}

// What the host tools that edit disk images share: the block-size option,
// opening an image as a block device (with its table), and a one-line-per-partition summary.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "disk/model.h"
#include "disk/read_table.h"
#include "disk/types.h"
#include "platform/error.h"
#include "sim/memdisk.h"
#include "sim/table_json.h"

namespace kvtool {

// A power of two from 512 up to 2^31: the block sizes disks report.
inline bool parse_block_size(const char* text, uint32_t* out) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    if (value < 512 || value > (1ULL << 31) || (value & (value - 1)) != 0) return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

// Opens an existing regular file whose size is a whole number of blocks,
// writable. Null with *error set otherwise.
inline std::unique_ptr<sim::FileDisk> open_image(const std::string& path, uint32_t block_size,
                                                 std::string* error) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = path + ": not a regular file";
        return nullptr;
    }
    uint64_t bytes = static_cast<uint64_t>(st.st_size);
    if (bytes == 0 || bytes % block_size != 0) {
        *error = path + ": size " + std::to_string(bytes) + " is not a whole number of blocks of " +
                 std::to_string(block_size) + " bytes";
        return nullptr;
    }
    auto disk = sim::FileDisk::open(path, block_size, true, error);
    if (!disk) return nullptr;
    if (disk->read_only()) {
        *error = path + ": cannot be opened for writing";
        return nullptr;
    }
    disk->set_sync(true);
    return disk;
}

// open_image, then the table read from it into *table. Null with *error set
// (and the table freed) when either fails.
inline std::unique_ptr<sim::FileDisk> open_image_table(const std::string& path, uint32_t block_size,
                                                       kv::PartitionTable* table,
                                                       std::string* error) {
    auto disk = open_image(path, block_size, error);
    if (!disk) return nullptr;
    kv::ErrorCode rc = kv::read_table(disk->device(), table);
    if (rc != kv::ERR_OK) {
        kv::table_free(table);
        *error = path + ": cannot read the partition table: " + kv::error_text(rc);
        return nullptr;
    }
    return disk;
}

// "GPT, 2 partitions" and one line per partition in array order.
inline void print_summary(std::FILE* out, const kv::PartitionTable& table) {
    std::fprintf(out, "%s, %d partition%s\n", kv::table_kind_label(table.kind),
                 table.partition_count, table.partition_count == 1 ? "" : "s");
    for (int32_t i = 0; i < table.partition_count; i++) {
        const kv::Partition& p = table.partitions[i];
        char type[64];
        kv::type_text(&table, &p, type, sizeof type);
        std::fprintf(out, "  %3d %-8s start %llu size %llu %s", p.number,
                     sim::partition_kind_name(p.kind), static_cast<unsigned long long>(p.start),
                     static_cast<unsigned long long>(p.size), type);
        if (table.kind == kv::TableKind::Gpt && p.name[0] != '\0')
            std::fprintf(out, " \"%s\"", p.name);
        if (p.active) std::fprintf(out, " active");
        std::fputc('\n', out);
    }
    for (int i = 0; i < table.note_count; i++)
        std::fprintf(out, "  note: %s\n", table.notes[i].text);
}

} // namespace kvtool

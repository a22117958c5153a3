// Shared pieces of the writer tests: a sparse block device for disks far
// beyond what fits in memory, a fixture with fresh firmware and a leak check,
// and a field-by-field comparison of a table with the one read back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "disk/model.h"
#include "disk/read_table.h"
#include "io/write_table.h"
#include "platform/memory.h"
#include "platform/utf.h"
#include "sim/firmware.h"

namespace kvtest {

// Blocks never written read as zeros; only written blocks take memory. Every
// write is logged as (first block, block count) in call order.
class SparseDisk {
  public:
    SparseDisk(uint32_t block_size, uint64_t block_count) {
        device_.read = &SparseDisk::read;
        device_.write = &SparseDisk::write;
        device_.context = this;
        device_.block_size = block_size;
        device_.block_count = block_count;
    }
    SparseDisk(const SparseDisk&) = delete;
    SparseDisk& operator=(const SparseDisk&) = delete;

    kv::BlockDevice* device() { return &device_; }
    const std::vector<std::pair<uint64_t, uint64_t>>& writes() const { return writes_; }
    void clear_log() { writes_.clear(); }

    // A copy of one block as it is now.
    std::vector<uint8_t> block(uint64_t lba) const {
        auto it = blocks_.find(lba);
        if (it == blocks_.end()) return std::vector<uint8_t>(device_.block_size, 0);
        return it->second;
    }

  private:
    bool in_range(uint64_t first, uint64_t count) const {
        return count != 0 && first < device_.block_count && count <= device_.block_count - first;
    }
    static kv::ErrorCode read(void* context, uint64_t first, uint64_t count, void* buffer) {
        auto* self = static_cast<SparseDisk*>(context);
        if (!self->in_range(first, count)) return kv::ERR_INVALID_PARAMETER;
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint64_t i = 0; i < count; i++) {
            std::vector<uint8_t> b = self->block(first + i);
            std::memcpy(out + i * self->device_.block_size, b.data(), b.size());
        }
        return kv::ERR_OK;
    }
    static kv::ErrorCode write(void* context, uint64_t first, uint64_t count, const void* buffer) {
        auto* self = static_cast<SparseDisk*>(context);
        if (!self->in_range(first, count)) return kv::ERR_INVALID_PARAMETER;
        self->writes_.emplace_back(first, count);
        const auto* in = static_cast<const uint8_t*>(buffer);
        uint32_t size = self->device_.block_size;
        for (uint64_t i = 0; i < count; i++)
            self->blocks_[first + i].assign(in + i * size, in + (i + 1) * size);
        return kv::ERR_OK;
    }

    kv::BlockDevice device_{};
    std::map<uint64_t, std::vector<uint8_t>> blocks_;
    std::vector<std::pair<uint64_t, uint64_t>> writes_;
};

// Where the writer must put each logical partition's EBR, worked out here
// from the rule rather than taken from the product: the first at the
// extended partition's start; a later one keeps its own block when that lies
// after the previous partition and before its own start, else start - 1.
inline std::map<int32_t, uint64_t> expected_ebr_blocks(const kv::PartitionTable& table) {
    std::map<int32_t, uint64_t> out;
    const kv::Partition* extended = nullptr;
    std::vector<const kv::Partition*> logicals;
    for (int32_t i = 0; i < table.partition_count; i++) {
        const kv::Partition& p = table.partitions[i];
        if (p.kind == kv::PartitionKind::Extended &&
            (extended == nullptr || p.number < extended->number))
            extended = &p;
        if (p.kind == kv::PartitionKind::Logical) logicals.push_back(&p);
    }
    std::sort(logicals.begin(), logicals.end(),
              [](const kv::Partition* a, const kv::Partition* b) { return a->start < b->start; });
    for (size_t i = 0; i < logicals.size(); i++) {
        const kv::Partition* p = logicals[i];
        if (i == 0) {
            out[p->number] = extended ? extended->start : 0;
            continue;
        }
        uint64_t previous_last = logicals[i - 1]->start + logicals[i - 1]->size - 1;
        bool keep = p->ebr_block > previous_last && p->ebr_block < p->start;
        out[p->number] = keep ? p->ebr_block : p->start - 1;
    }
    return out;
}

inline std::string hex16(const uint8_t* bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < 16; i++) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

// A GPT name as it comes back from the disk: one UTF-16 unit per character
// (characters above U+FFFF and malformed bytes become U+FFFD), at most 36.
inline std::string stored_name(const char* name) {
    size_t units = 0;
    char16_t* wide = kv::utf8_to_utf16(name, &units);
    char* narrow = kv::utf16_to_utf8(wide, units > 36 ? 36 : units);
    std::string out = narrow;
    kv::free(wide);
    kv::free(narrow);
    return out;
}

// Every difference between the table that was written and the one read back,
// as readable texts; empty when they agree. Notes are left to the caller. Partitions are matched by
// number, since the reader's array order need not be the editor's. The last usable block is
// recomputed from the disk by the writer, so it is compared with what it must be, not with the
// record.
inline std::vector<std::string> table_differences(const kv::PartitionTable& want,
                                                  const kv::PartitionTable& got) {
    std::vector<std::string> out;
    auto check = [&out](const std::string& what, auto a, auto b) {
        if (a != b)
            out.push_back(what + ": wrote " + std::to_string(a) + ", read " + std::to_string(b));
    };
    check("kind", (int)want.kind, (int)got.kind);
    check("block_size", want.block_size, got.block_size);
    check("block_count", want.block_count, got.block_count);
    check("hybrid", (int)want.hybrid, (int)got.hybrid);
    check("partition_count", want.partition_count, got.partition_count);
    if (want.kind == kv::TableKind::Mbr) {
        check("mbr_signature", want.mbr_signature, got.mbr_signature);
        if (std::memcmp(want.block0, got.block0, 440) != 0) out.push_back("boot code differs");
    }
    if (want.kind == kv::TableKind::Gpt) {
        uint64_t array_blocks =
            ((uint64_t)want.entry_count * want.entry_size + want.block_size - 1) / want.block_size;
        if (hex16(want.disk_guid) != hex16(got.disk_guid)) out.push_back("disk_guid differs");
        check("first_usable", want.first_usable, got.first_usable);
        check("last_usable", want.block_count - 2 - array_blocks, got.last_usable);
        check("entry_count", want.entry_count, got.entry_count);
        check("entry_size", want.entry_size, got.entry_size);
        check("backup_header_lba", want.block_count - 1, got.backup_header_lba);
    }
    std::map<int32_t, uint64_t> ebr = expected_ebr_blocks(want);
    for (int32_t i = 0; i < want.partition_count; i++) {
        const kv::Partition& w = want.partitions[i];
        const kv::Partition* g = kv::find_partition(&got, w.number);
        std::string at = "partition " + std::to_string(w.number) + " ";
        if (g == nullptr) {
            out.push_back(at + "missing");
            continue;
        }
        check(at + "kind", (int)w.kind, (int)g->kind);
        check(at + "start", w.start, g->start);
        check(at + "size", w.size, g->size);
        check(at + "attributes", w.attributes, g->attributes);
        if (want.kind == kv::TableKind::Mbr) {
            check(at + "mbr_type", w.mbr_type, g->mbr_type);
            check(at + "active", (int)w.active, (int)g->active);
            if (w.kind == kv::PartitionKind::Logical)
                check(at + "ebr_block", ebr[w.number], g->ebr_block);
        } else {
            if (hex16(w.type_guid) != hex16(g->type_guid)) out.push_back(at + "type_guid differs");
            if (hex16(w.unique_guid) != hex16(g->unique_guid))
                out.push_back(at + "unique_guid differs");
            if (stored_name(w.name) != g->name)
                out.push_back(at + "name: wrote '" + w.name + "', read '" + g->name + "'");
        }
    }
    return out;
}

// Fresh firmware per test, the table freed and every buffer of the writer
// and the reader given back at the end.
class WriteTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        kv::table_free(&table_);
        kv::table_free(&back_);
        EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    }

    // Reads the disk into back_.
    kv::ErrorCode read_back(const kv::BlockDevice* device) {
        kv::clear_partitions(&back_);
        return kv::read_table(device, &back_);
    }

    std::vector<std::string> notes(const kv::PartitionTable& t) const {
        std::vector<std::string> out;
        for (int i = 0; i < t.note_count; i++)
            out.push_back(t.notes[i].text);
        return out;
    }

    kv::PartitionTable table_{};
    kv::PartitionTable back_{};
    size_t baseline_ = 0;
};

} // namespace kvtest

#include "sim/partition_scan.h"

#include <cstring>

#include "sim/firmware.h"

namespace sim {
namespace {

constexpr size_t kMbrEntries = 446;
constexpr size_t kMbrSignature = 440;
constexpr uint8_t kProtectiveType = 0xEE;
constexpr int kMaxLogicals = 128;
constexpr uint64_t kMaxArrayBytes = 1 << 24;

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

bool read(SimDisk& disk, uint64_t lba, uint64_t count, std::vector<uint8_t>& out) {
    out.assign(count * disk.block_size(), 0);
    kv::BlockDevice* device = disk.device();
    return device->read(device->context, lba, count, out.data()) == kv::ERR_OK;
}

bool boot_signature(const std::vector<uint8_t>& block) {
    return block[510] == 0x55 && block[511] == 0xAA;
}

bool extended(uint8_t type) {
    return (type & 0x7F) == 0x05 || type == 0x0F;
}

bool on_disk(const SimDisk& disk, uint64_t start, uint64_t size) {
    return size > 0 && start < disk.block_count() && size <= disk.block_count() - start;
}

void scan_logicals(SimDisk& disk, uint64_t extended_start, std::vector<FoundPartition>& out) {
    std::vector<uint8_t> ebr;
    uint64_t at = extended_start;
    uint32_t number = 1;
    for (int i = 0; i < kMaxLogicals; i++) {
        if (!read(disk, at, 1, ebr) || !boot_signature(ebr)) return;
        const uint8_t* first = ebr.data() + kMbrEntries;
        const uint8_t* link = first + 16;
        uint64_t start = at + le(first + 8, 4);
        uint64_t size = le(first + 12, 4);
        if (first[4] != 0 && on_disk(disk, start, size))
            out.push_back(FoundPartition{number++, start, size, false, 0, {}, false, true});
        if (!extended(link[4]) || le(link + 8, 4) == 0) return;
        at = extended_start + le(link + 8, 4);
    }
}

void scan_mbr(SimDisk& disk, const std::vector<uint8_t>& block0, std::vector<FoundPartition>& out) {
    uint32_t signature = uint32_t(le(block0.data() + kMbrSignature, 4));
    for (uint32_t slot = 0; slot < 4; slot++) {
        const uint8_t* e = block0.data() + kMbrEntries + 16 * slot;
        uint64_t start = le(e + 8, 4), size = le(e + 12, 4);
        if (e[4] == 0 || !on_disk(disk, start, size)) continue;
        out.push_back(
            FoundPartition{slot + 1, start, size, false, signature, {}, extended(e[4]), false});
        if (extended(e[4])) scan_logicals(disk, start, out);
    }
}

bool scan_gpt_at(SimDisk& disk, uint64_t header_lba, std::vector<FoundPartition>& out) {
    std::vector<uint8_t> header;
    if (!read(disk, header_lba, 1, header)) return false;
    if (std::memcmp(header.data(), "EFI PART", 8) != 0) return false;
    uint32_t header_size = uint32_t(le(header.data() + 12, 4));
    if (header_size < 92 || header_size > header.size()) return false;
    uint32_t stored_crc = uint32_t(le(header.data() + 16, 4));
    std::memset(header.data() + 16, 0, 4);
    if (crc32(header.data(), header_size) != stored_crc) return false;

    uint64_t array_lba = le(header.data() + 72, 8);
    uint32_t count = uint32_t(le(header.data() + 80, 4));
    uint32_t entry_size = uint32_t(le(header.data() + 84, 4));
    uint32_t array_crc = uint32_t(le(header.data() + 88, 4));
    if (entry_size < 128 || entry_size % 8 != 0) return false;
    uint64_t array_bytes = uint64_t(count) * entry_size;
    if (array_bytes == 0 || array_bytes > kMaxArrayBytes) return false;
    uint64_t blocks = (array_bytes + disk.block_size() - 1) / disk.block_size();
    if (!on_disk(disk, array_lba, blocks)) return false;
    std::vector<uint8_t> array;
    if (!read(disk, array_lba, blocks, array)) return false;
    if (crc32(array.data(), array_bytes) != array_crc) return false;

    static const uint8_t kUnused[16] = {};
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* e = array.data() + uint64_t(i) * entry_size;
        if (std::memcmp(e, kUnused, 16) == 0) continue;
        uint64_t first = le(e + 32, 8), last = le(e + 40, 8);
        if (last < first || !on_disk(disk, first, last - first + 1)) continue;
        FoundPartition p{i + 1, first, last - first + 1, true, 0, {}, false, false};
        std::memcpy(p.unique_guid, e + 16, 16);
        out.push_back(p);
    }
    return true;
}

} // namespace

std::vector<FoundPartition> scan_partitions(SimDisk& disk) {
    std::vector<FoundPartition> out;
    if (disk.block_size() < 512 || disk.block_count() < 2) return out;
    std::vector<uint8_t> block0;
    if (!read(disk, 0, 1, block0) || !boot_signature(block0)) return out;
    bool protective = false;
    for (int slot = 0; slot < 4; slot++)
        if (block0[kMbrEntries + 16 * slot + 4] == kProtectiveType) protective = true;
    if (!protective) {
        scan_mbr(disk, block0, out);
        return out;
    }
    if (!scan_gpt_at(disk, 1, out)) {
        out.clear();
        scan_gpt_at(disk, disk.block_count() - 1, out);
    }
    return out;
}

} // namespace sim

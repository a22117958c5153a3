// Feeds arbitrary backup files to restore_backup over a small disk. Input:
// one mode byte, then the file. Bit 0 picks the disk (1: a GPT, 0: an MBR
// with two logical partitions); bits 1-3, when not all 0, make that write
// (the 1st to the 7th) fail; bit 4 has the harness put the right checksum in
// the file's last 4 bytes, so that mutations get past it to the ranges.
//
// The file is judged again here, independently: a file that is not a valid
// image for the disk must be refused with nothing written; a valid one must
// be restored (or stop at the failing write) and leave every range's bytes
// on the disk. Nothing may be left behind in the pool.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "disk/bytes.h"
#include "disk/crc32.h"
#include "io/backup.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

constexpr uint32_t kBlockSize = 512;
constexpr uint64_t kBlocks = 32;

uint8_t* block(std::vector<uint8_t>& image, uint64_t lba) {
    return image.data() + lba * kBlockSize;
}

void put_entry(uint8_t* b, int slot, uint8_t type, uint32_t first, uint32_t count) {
    uint8_t* e = b + 446 + 16 * (slot - 1);
    e[4] = type;
    kv::store_le32(e + 8, first);
    kv::store_le32(e + 12, count);
    b[510] = 0x55;
    b[511] = 0xAA;
}

// Primary 1-3; extended 4-31 with EBRs at 4 and 13 and logical partitions
// 5-12 and 14-31.
std::vector<uint8_t> mbr_disk() {
    std::vector<uint8_t> image(kBlocks * kBlockSize, 0);
    put_entry(block(image, 0), 1, 0x83, 1, 3);
    put_entry(block(image, 0), 2, 0x05, 4, 28);
    put_entry(block(image, 4), 1, 0x83, 1, 8);
    put_entry(block(image, 4), 2, 0x05, 9, 19);
    put_entry(block(image, 13), 1, 0x07, 1, 18);
    return image;
}

// Four entries in one array block at 2 and 30; partitions 4-9 and 10-28.
std::vector<uint8_t> gpt_disk() {
    std::vector<uint8_t> image(kBlocks * kBlockSize, 0);
    put_entry(block(image, 0), 1, 0xEE, 1, kBlocks - 1);
    uint8_t array[kBlockSize] = {};
    const uint64_t parts[2][2] = {{4, 9}, {10, 28}};
    for (int i = 0; i < 2; i++) {
        uint8_t* e = array + 128 * i;
        memset(e, 0x11 * (i + 1), 32); // type and unique GUID
        kv::store_le64(e + 32, parts[i][0]);
        kv::store_le64(e + 40, parts[i][1]);
    }
    const uint64_t at[2][3] = {{1, kBlocks - 1, 2}, {kBlocks - 1, 1, kBlocks - 2}};
    for (const auto& copy : at) {
        memcpy(block(image, copy[2]), array, kBlockSize);
        uint8_t* h = block(image, copy[0]);
        memcpy(h, "EFI PART", 8);
        kv::store_le32(h + 8, 0x00010000);
        kv::store_le32(h + 12, 92);
        kv::store_le64(h + 24, copy[0]);
        kv::store_le64(h + 32, copy[1]);
        kv::store_le64(h + 40, 3);
        kv::store_le64(h + 48, kBlocks - 3);
        memset(h + 56, 0x42, 16);
        kv::store_le64(h + 72, copy[2]);
        kv::store_le32(h + 80, 4);
        kv::store_le32(h + 84, 128);
        kv::store_le32(h + 88, kv::crc32(0, array, 4 * 128));
        kv::store_le32(h + 16, kv::crc32(0, h, 92));
    }
    return image;
}

struct FileRange {
    uint64_t first;
    uint32_t blocks;
    const uint8_t* data;
};

// Whether the file is a valid image for the disk, by the format's rules,
// with every range collected.
bool valid_image(const uint8_t* f, size_t size, std::vector<FileRange>* ranges) {
    if (size < 32 || memcmp(f, "KORVANE1", 8) != 0) return false;
    if (kv::crc32(0, f, size - 4) != kv::load_le32(f + size - 4)) return false;
    if (kv::load_le32(f + 8) != 1 || kv::load_le32(f + 12) != kBlockSize ||
        kv::load_le64(f + 16) != kBlocks)
        return false;
    uint64_t n = kv::load_le32(f + 24);
    uint64_t pos = 28;
    const uint64_t end = size - 4;
    for (uint64_t i = 0; i < n; i++) {
        if (pos + 12 > end) return false;
        uint64_t first = kv::load_le64(f + pos);
        uint32_t blocks = kv::load_le32(f + pos + 8);
        pos += 12;
        if (blocks == 0 || first >= kBlocks || blocks > kBlocks - first) return false;
        if (pos + blocks * kBlockSize > end) return false;
        ranges->push_back({first, blocks, f + pos});
        pos += blocks * kBlockSize;
    }
    return pos == end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The restore's buffers come from the simulated firmware pool.
    static const bool firmware_ready = [] {
        sim::reset();
        return true;
    }();
    (void)firmware_ready;
    static const std::vector<uint8_t> gpt = gpt_disk();
    static const std::vector<uint8_t> mbr = mbr_disk();
    if (size == 0) return 0;

    const bool on_gpt = data[0] & 1;
    const unsigned failing_write = (data[0] >> 1) & 7;
    const bool reseal = data[0] & 16;
    data++;
    size--;
    // An exact-size copy, so that reading past the file's end is caught.
    std::vector<uint8_t> file(data, data + size);
    if (reseal && size >= 4)
        kv::store_le32(file.data() + size - 4, kv::crc32(0, file.data(), size - 4));

    sim::MemDisk disk(kBlockSize, on_gpt ? gpt : mbr);
    if (failing_write) disk.fail_write(failing_write);
    const size_t live_before = sim::pool_blocks_live();
    const char* text = kv::restore_backup(disk.device(), file.data(), file.size());
    if (sim::pool_blocks_live() != live_before) std::abort();

    std::vector<FileRange> ranges;
    const uint64_t writes = disk.stats().write_calls;
    if (!valid_image(file.data(), file.size(), &ranges)) {
        if (text == nullptr || writes != 0) std::abort();
        return 0;
    }
    if (text != nullptr) {
        // The disk reads fine and takes writes, so only the planted fault
        // can stop a valid image.
        if (!failing_write || writes != failing_write) std::abort();
        if (strcmp(text, "the disk could not be written") != 0) std::abort();
        return 0;
    }
    if (failing_write && writes >= failing_write) std::abort();
    // One write per range, and at most the four blocks of the old GPT's
    // headers and one-block arrays.
    if (writes < ranges.size() || writes > ranges.size() + 4) std::abort();
    // The ranges are written last first, so that block 0 goes last: where
    // they overlap, the earlier range is the one that stays.
    std::vector<uint8_t> expect = disk.image();
    for (auto r = ranges.rbegin(); r != ranges.rend(); ++r)
        memcpy(expect.data() + r->first * kBlockSize, r->data, (size_t)r->blocks * kBlockSize);
    if (expect != disk.image()) std::abort();
    return 0;
}

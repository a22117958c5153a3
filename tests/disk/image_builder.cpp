#include "tests/disk/image_builder.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kvtest {

namespace {

constexpr size_t kEntriesOffset = 446;

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad GUID text");
}

uint64_t ceil_div(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

void write_header(sim::MemDisk& disk, const GptPlan& plan, const GptPlacement& at, uint64_t my_lba,
                  uint64_t alternate, uint64_t array_lba, uint32_t array_crc) {
    uint8_t* h = disk.block(my_lba);
    std::memset(h, 0, disk.block_size());
    std::memcpy(h, "EFI PART", 8);
    put_le32(h + 8, 0x00010000);
    put_le32(h + 12, 92);
    put_le64(h + 24, my_lba);
    put_le64(h + 32, alternate);
    put_le64(h + 40, at.first_usable);
    put_le64(h + 48, at.last_usable);
    std::memcpy(h + 56, plan.disk_guid.data(), 16);
    put_le64(h + 72, array_lba);
    put_le32(h + 80, plan.entry_count);
    put_le32(h + 84, plan.entry_size);
    put_le32(h + 88, array_crc);
    fix_header_crc(disk, my_lba);
}

} // namespace

Guid guid(const std::string& text) {
    // Byte i comes from the two digits at this text position.
    static const int kPos[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    if (text.size() != 36) throw std::invalid_argument("bad GUID text");
    Guid g{};
    for (int i = 0; i < 16; i++)
        g[i] = static_cast<uint8_t>(hex(text[kPos[i]]) << 4 | hex(text[kPos[i] + 1]));
    return g;
}

const Guid kEspType = guid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
const Guid kLinuxDataType = guid("0FC63DAF-8483-4772-8E79-3D69D8477DE4");

uint32_t ref_crc32(const uint8_t* data, size_t length) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; i++) {
        c ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void put_le16(uint8_t* p, uint16_t v) {
    for (int i = 0; i < 2; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_le64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get_le32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}
uint64_t get_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

void put_mbr_entry(sim::MemDisk& disk, uint64_t lba, int slot, const MbrEntry& entry) {
    uint8_t* e = disk.block(lba) + kEntriesOffset + 16 * (slot - 1);
    std::memset(e, 0, 16);
    e[0] = entry.status;
    e[4] = entry.type;
    put_le32(e + 8, entry.first);
    put_le32(e + 12, entry.count);
}

void put_boot_signature(sim::MemDisk& disk, uint64_t lba) {
    disk.block(lba)[510] = 0x55;
    disk.block(lba)[511] = 0xAA;
}

void write_mbr(sim::MemDisk& disk, const std::vector<MbrEntry>& slots, uint32_t disk_signature) {
    if (slots.size() > 4) throw std::invalid_argument("an MBR has four slots");
    put_le32(disk.block(0) + 440, disk_signature);
    for (int slot = 1; slot <= 4; slot++)
        put_mbr_entry(disk, 0, slot, slot <= (int)slots.size() ? slots[slot - 1] : MbrEntry{});
    put_boot_signature(disk, 0);
}

void write_protective_mbr(sim::MemDisk& disk) {
    uint64_t rest = disk.block_count() - 1;
    write_mbr(disk, {{0x00, 0xEE, 1, rest > 0xFFFFFFFF ? 0xFFFFFFFFu : (uint32_t)rest}}, 0);
}

void write_ebr_chain(sim::MemDisk& disk, uint64_t extended_start,
                     const std::vector<Logical>& logicals, uint8_t link_type) {
    for (size_t i = 0; i < logicals.size(); i++) {
        const Logical& l = logicals[i];
        std::memset(disk.block(l.ebr), 0, 512);
        put_mbr_entry(disk, l.ebr, 1, {l.status, l.type, (uint32_t)(l.start - l.ebr), l.size});
        if (i + 1 < logicals.size()) {
            const Logical& next = logicals[i + 1];
            put_mbr_entry(disk, l.ebr, 2,
                          {0x00, link_type, (uint32_t)(next.ebr - extended_start),
                           (uint32_t)(next.start + next.size - next.ebr)});
        }
        put_boot_signature(disk, l.ebr);
    }
}

GptPlacement gpt_placement(const sim::MemDisk& disk, const GptPlan& plan) {
    GptPlacement at;
    uint64_t n = disk.block_count();
    at.array_blocks = ceil_div((uint64_t)plan.entry_count * plan.entry_size, disk.block_size());
    at.primary_array = 2;
    at.backup_header = n - 1;
    at.backup_array = n - 1 - at.array_blocks;
    at.first_usable = 2 + at.array_blocks;
    at.last_usable = n - 2 - at.array_blocks;
    return at;
}

GptPlacement write_gpt(sim::MemDisk& disk, const GptPlan& plan) {
    GptPlacement at = gpt_placement(disk, plan);
    if (at.first_usable > at.last_usable) throw std::invalid_argument("disk too small for GPT");
    std::vector<uint8_t> array(at.array_blocks * disk.block_size(), 0);
    for (const GptEntry& e : plan.entries) {
        if (e.index >= plan.entry_count) throw std::invalid_argument("entry index");
        uint8_t* p = array.data() + (size_t)e.index * plan.entry_size;
        std::memcpy(p, e.type.data(), 16);
        std::memcpy(p + 16, e.unique.data(), 16);
        put_le64(p + 32, e.first);
        put_le64(p + 40, e.last);
        put_le64(p + 48, e.attributes);
        for (size_t i = 0; i < e.name.size() && i < 36; i++)
            put_le16(p + 56 + 2 * i, e.name[i]);
    }
    uint32_t array_crc = ref_crc32(array.data(), (size_t)plan.entry_count * plan.entry_size);
    if (plan.protective_mbr) write_protective_mbr(disk);
    if (plan.primary) {
        std::memcpy(disk.block(at.primary_array), array.data(), array.size());
        write_header(disk, plan, at, 1, at.backup_header, at.primary_array, array_crc);
    }
    if (plan.backup) {
        std::memcpy(disk.block(at.backup_array), array.data(), array.size());
        write_header(disk, plan, at, at.backup_header, 1, at.backup_array, array_crc);
    }
    return at;
}

void fix_header_crc(sim::MemDisk& disk, uint64_t header_lba) {
    uint8_t* h = disk.block(header_lba);
    uint32_t size = get_le32(h + 12);
    if (size > disk.block_size()) throw std::invalid_argument("header size beyond the block");
    put_le32(h + 16, 0);
    put_le32(h + 16, ref_crc32(h, size));
}

void fix_gpt_crcs(sim::MemDisk& disk, uint64_t header_lba) {
    uint8_t* h = disk.block(header_lba);
    uint64_t bytes = (uint64_t)get_le32(h + 80) * get_le32(h + 84);
    uint64_t array_lba = get_le64(h + 72);
    if (array_lba * disk.block_size() + bytes > disk.image().size())
        throw std::invalid_argument("array beyond the image");
    put_le32(h + 88, ref_crc32(disk.block(array_lba), (size_t)bytes));
    fix_header_crc(disk, header_lba);
}

uint8_t* gpt_entry(sim::MemDisk& disk, uint64_t header_lba, uint32_t index) {
    const uint8_t* h = disk.block(header_lba);
    return disk.block(get_le64(h + 72)) + (size_t)index * get_le32(h + 84);
}

} // namespace kvtest

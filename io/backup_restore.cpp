#include "io/backup.h"

#include "disk/bytes.h"
#include "disk/crc32.h"
#include "disk/gpt_layout.h"
#include "disk/mbr_layout.h"
#include "disk/read_table.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr const char kNotBackup[] = "this is not a korvane backup file";
constexpr const char kWrongChecksum[] = "the backup file is damaged (wrong checksum)";
constexpr const char kNewerVersion[] = "the backup file was made by a newer korvane";
constexpr const char kOtherBlockSize[] =
    "the backup was made on a disk with a different block size";
constexpr const char kOtherDiskSize[] = "the backup was made on a disk of a different size";
constexpr const char kExtraData[] = "the backup file is damaged (extra data)";
constexpr const char kTruncated[] = "the backup file is damaged (truncated)";
constexpr const char kBadRange[] = "the backup file is damaged (bad block range)";
constexpr const char kCannotRead[] = "the disk could not be read";
constexpr const char kCannotWrite[] = "the disk could not be written";

// One range of an image whose header has been checked.
struct ImageRange {
    uint64_t first;
    uint32_t blocks;
    const uint8_t* data;
};

// Walks the ranges of an image. `end` is where the payload stops (the CRC
// begins); the block size and count are the device's, which the header has
// been found to match.
struct RangeCursor {
    const uint8_t* image;
    size_t pos;
    size_t end;
    uint32_t left;
    uint32_t block_size;
    uint64_t block_count;
};

RangeCursor first_range(const uint8_t* image, size_t size, const BlockDevice* device) {
    return {image,
            kBackupHeaderSize,
            size - kBackupCrcSize,
            load_le32(image + kBackupRangeCountOffset),
            device->block_size,
            device->block_count};
}

// Takes the next range, checking its head and extent against the payload and
// the disk before anything of it is used. Returns null and fills `out`, or
// the text of the damage. Call only while `left` is above 0.
const char* next_range(RangeCursor* c, ImageRange* out) {
    if (c->end - c->pos < kRangeHeadSize) return kTruncated;
    const uint8_t* head = c->image + c->pos;
    uint64_t first = load_le64(head + kRangeFirstBlock);
    uint32_t blocks = load_le32(head + kRangeBlockCount);
    c->pos += kRangeHeadSize;
    if (blocks == 0 || first >= c->block_count || blocks > c->block_count - first) return kBadRange;
    // Both factors are below 2^32, so the product cannot wrap.
    uint64_t bytes = (uint64_t)blocks * c->block_size;
    if (bytes > c->end - c->pos) return kBadRange;
    *out = {first, blocks, c->image + c->pos};
    c->pos += (size_t)bytes;
    c->left--;
    return nullptr;
}

// Checks every range and that they fill the payload exactly.
const char* check_ranges(const uint8_t* image, size_t size, const BlockDevice* device) {
    RangeCursor c = first_range(image, size, device);
    ImageRange r;
    while (c.left > 0) {
        const char* damage = next_range(&c, &r);
        if (damage) return damage;
    }
    return c.pos == c.end ? nullptr : kExtraData;
}

// Whether the image leaves a GPT header in block 1: the last range that
// covers the block decides, whether it starts there or earlier. Only called
// after check_ranges, on a device of at least 512-byte blocks.
bool carries_gpt(const uint8_t* image, size_t size, const BlockDevice* device) {
    RangeCursor c = first_range(image, size, device);
    ImageRange r;
    bool gpt = false;
    while (c.left > 0 && next_range(&c, &r) == nullptr) {
        if (r.first > kGptPrimaryBlock || kGptPrimaryBlock - r.first >= r.blocks) continue;
        const uint8_t* block1 = r.data + (kGptPrimaryBlock - r.first) * device->block_size;
        gpt = memcmp(block1 + kGptSignatureOffset, kGptSignature, kGptSignatureSize) == 0;
    }
    return gpt;
}

bool image_restores(const uint8_t* image, size_t size, const BlockDevice* device, uint64_t lba) {
    RangeCursor c = first_range(image, size, device);
    ImageRange r;
    while (c.left > 0 && next_range(&c, &r) == nullptr)
        if (lba >= r.first && lba - r.first < r.blocks) return true;
    return false;
}

bool inside_partition(const PartitionTable* table, uint64_t lba) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition& p = table->partitions[i];
        if (lba >= p.start && lba - p.start < p.size) return true;
    }
    return false;
}

// Last range first: a backup lists block 0 first, then what it points at
// (the EBRs in chain order; the GPT headers before their arrays), so the
// reverse puts every block on the disk before the one that leads to it, and
// the disk holds the old table until block 0 switches it.
const char* write_ranges(const BlockDevice* device, const uint8_t* image, size_t size) {
    if (device->write == nullptr) return kCannotWrite;
    RangeCursor c = first_range(image, size, device);
    uint64_t count = c.left;
    ImageRange* ranges = (ImageRange*)xcalloc(count > 0 ? (size_t)count : 1, sizeof(ImageRange));
    uint64_t taken = 0;
    while (c.left > 0 && next_range(&c, &ranges[taken]) == nullptr)
        taken++;
    const char* result = nullptr;
    for (uint64_t i = taken; i > 0 && result == nullptr; i--) {
        const ImageRange& r = ranges[i - 1];
        if (device->write(device->context, r.first, r.blocks, r.data) != ERR_OK)
            result = kCannotWrite;
    }
    free(ranges);
    return result;
}

// Blocks [first, first + count) of the old GPT that the clean-up zeroes.
struct Stretch {
    uint64_t first;
    uint64_t count;
};

// Zeroes the headers and arrays of the GPT in `old` where the table now on
// the disk (`now`) has no partition and the image wrote nothing. The old
// structures are taken where `old` says they are; a backup array that was
// not found is assumed just before the backup header, where every writer
// puts it.
const char* clear_old_gpt(const BlockDevice* device, const PartitionTable* old,
                          const PartitionTable* now, const uint8_t* image, size_t size) {
    uint32_t bs = device->block_size;
    // The reader keeps arrays within 1 MiB, so none of this can wrap.
    uint64_t array_blocks = ((uint64_t)old->entry_count * old->entry_size + bs - 1) / bs;
    Stretch stretches[4] = {
        {kGptPrimaryBlock, 1},
        {old->primary_array_lba, array_blocks},
        {0, 0},
        {old->backup_header_lba, 1},
    };
    if (old->backup_array_lba != 0)
        stretches[2] = {old->backup_array_lba, array_blocks};
    else if (old->backup_header_lba >= array_blocks)
        stretches[2] = {old->backup_header_lba - array_blocks, array_blocks};

    uint8_t* zeros = (uint8_t*)xcalloc(1, bs);
    const char* result = nullptr;
    for (int s = 0; s < 4 && result == nullptr; s++) {
        const Stretch& st = stretches[s];
        if (st.first >= device->block_count) continue;
        uint64_t count = st.count;
        if (count > device->block_count - st.first) count = device->block_count - st.first;
        for (uint64_t lba = st.first; lba - st.first < count; lba++) {
            if (inside_partition(now, lba) || image_restores(image, size, device, lba)) continue;
            if (device->write(device->context, lba, 1, zeros) != ERR_OK) {
                result = kCannotWrite;
                break;
            }
        }
    }
    free(zeros);
    return result;
}

} // namespace

const char* check_backup(const BlockDevice* device, const uint8_t* image, size_t image_size) {
    if (image == nullptr || image_size < kBackupMinSize ||
        memcmp(image + kBackupMagicOffset, kBackupMagic, kBackupMagicSize) != 0)
        return kNotBackup;
    size_t payload_end = image_size - kBackupCrcSize;
    if (crc32(0, image, payload_end) != load_le32(image + payload_end)) return kWrongChecksum;
    if (load_le32(image + kBackupVersionOffset) != kBackupVersion) return kNewerVersion;
    if (load_le32(image + kBackupBlockSizeOffset) != device->block_size) return kOtherBlockSize;
    if (load_le64(image + kBackupBlockCountOffset) != device->block_count) return kOtherDiskSize;
    return check_ranges(image, image_size, device);
}

const char* restore_backup(const BlockDevice* device, const uint8_t* image, size_t image_size) {
    const char* refusal = check_backup(device, image, image_size);
    if (refusal) return refusal;

    PartitionTable old{};
    if (read_table(device, &old) != ERR_OK) {
        table_free(&old);
        return kCannotRead;
    }

    bool image_gpt = carries_gpt(image, image_size, device);
    const char* result = write_ranges(device, image, image_size);
    if (result == nullptr && !image_gpt && old.kind == TableKind::Gpt) {
        PartitionTable now{};
        if (read_table(device, &now) != ERR_OK)
            result = kCannotRead;
        else
            result = clear_old_gpt(device, &old, &now, image, image_size);
        table_free(&now);
    }
    table_free(&old);
    return result;
}

// The identity the image carries: the disk GUID of its first GPT header
// (the primary's place first, so a backup of a disk with a damaged primary
// still names its disk) and the signature of its block 0.
bool backup_from_other_disk(const BlockDevice* device, const uint8_t* image, size_t image_size,
                            const PartitionTable* table) {
    const uint8_t* guid = nullptr;
    const uint8_t* block0 = nullptr;
    RangeCursor c = first_range(image, image_size, device);
    ImageRange r;
    while (c.left > 0 && next_range(&c, &r) == nullptr) {
        if (r.first == 0) block0 = r.data;
        for (uint32_t i = 0; i < r.blocks; i++) {
            const uint8_t* b = r.data + (size_t)i * device->block_size;
            if (memcmp(b + kGptSignatureOffset, kGptSignature, kGptSignatureSize) != 0) continue;
            if (guid == nullptr || r.first + i == kGptPrimaryBlock) guid = b + kGptDiskGuidOffset;
        }
    }
    if (table->kind == TableKind::Gpt && guid != nullptr)
        return memcmp(guid, table->disk_guid, sizeof table->disk_guid) != 0;
    if (table->kind == TableKind::Mbr && guid == nullptr && block0 != nullptr)
        return load_le32(block0 + kMbrSignatureOffset) != table->mbr_signature;
    return false;
}

} // namespace kv

// Backup images of the blocks that carry a disk's partition table, and their
// restore. An image holds those blocks exactly as they were, tied to the
// disk's geometry; the caller stores it in a file and hands it back whole.
//
// Layout (little-endian, no padding): the 28-byte header below, then the
// ranges one after the other, each a 12-byte head and its blocks, then the
// CRC-32 of every byte before it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "disk/model.h"
#include "platform/error.h"

namespace kv {

constexpr size_t kBackupMagicSize = 8;
constexpr char kBackupMagic[kBackupMagicSize + 1] = "KORVANE1"; // stored without the NUL
constexpr uint32_t kBackupVersion = 1;

// Header offsets.
constexpr size_t kBackupMagicOffset = 0;
constexpr size_t kBackupVersionOffset = 8;     // 32-bit
constexpr size_t kBackupBlockSizeOffset = 12;  // 32-bit
constexpr size_t kBackupBlockCountOffset = 16; // 64-bit
constexpr size_t kBackupRangeCountOffset = 24; // 32-bit
constexpr size_t kBackupHeaderSize = 28;

// Range head offsets; the blocks follow the head directly.
constexpr size_t kRangeFirstBlock = 0; // 64-bit
constexpr size_t kRangeBlockCount = 8; // 32-bit, at least 1
constexpr size_t kRangeHeadSize = 12;

constexpr size_t kBackupCrcSize = 4;
constexpr size_t kBackupMinSize = kBackupHeaderSize + kBackupCrcSize;
static_assert(kBackupRangeCountOffset + 4 == kBackupHeaderSize);
static_assert(kRangeBlockCount + 4 == kRangeHeadSize);
static_assert(kBackupMinSize == 32);

// Builds the image of every block of the device that holds structures of
// `table`, which must have been read from the device just before: block 0,
// then the EBRs of an MBR, or the GPT headers and entry arrays. Returns
// ERR_NOT_FOUND for a table of kind None, ERR_IO when a block cannot be read,
// ERR_INVALID_PARAMETER for a table whose sizes no reader produces; else 0
// with `*image` a new buffer of `*image_size` bytes that the caller frees.
// On failure `*image` is null and `*image_size` 0.
ErrorCode build_backup(const BlockDevice* device, const PartitionTable* table, uint8_t** image,
                       size_t* image_size);

// Puts an image back on the device. The bytes are untrusted: the magic, the
// checksum, the version, the geometry and every range are checked, and the
// disk's present table is read, before the first write; any failure there
// returns its text with nothing written. Then every range is written in file
// order. When the image carries no GPT but the disk had one, the old GPT's
// headers and arrays are zeroed wherever neither a partition of the restored
// table nor a restored block lies. Returns null on success, else a static
// lower-case text; a failure after writing has begun leaves what was
// written.
const char* restore_backup(const BlockDevice* device, const uint8_t* image, size_t image_size);

// The checks restore_backup makes of the image before it touches the disk
// (magic, checksum, version, geometry, ranges): null when the image fits the
// device, else the same text restore_backup would return.
const char* check_backup(const BlockDevice* device, const uint8_t* image, size_t image_size);

// Whether an image that passed check_backup was made on another disk than
// the one `table` was read from: its GPT disk GUID, or for an MBR image its
// disk signature, differs from the table's. False when the table has no
// kind to compare with (a blank disk, or an MBR image over a GPT disk).
bool backup_from_other_disk(const BlockDevice* device, const uint8_t* image, size_t image_size,
                            const PartitionTable* table);

} // namespace kv

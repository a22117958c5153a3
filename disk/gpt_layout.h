// Where the fields of a GPT header and of a GPT entry lie. The reader and the
// writer share these offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

constexpr uint64_t kGptPrimaryBlock = 1;
// Where a new table's primary array starts, and where the reader looks for
// it when no header says.
constexpr uint64_t kGptPrimaryArrayBlock = 2;
constexpr uint32_t kGptRevision10 = 0x00010000;
// A new table's array: 128 entries of the smallest size.
constexpr uint32_t kGptDefaultEntryCount = 128;
constexpr size_t kGptSignatureSize = 8;
constexpr char kGptSignature[kGptSignatureSize + 1] = "EFI PART";

// Header offsets.
constexpr size_t kGptSignatureOffset = 0;
constexpr size_t kGptRevisionOffset = 8;
constexpr size_t kGptHeaderSizeOffset = 12;
constexpr size_t kGptHeaderCrcOffset = 16;
constexpr size_t kGptMyLbaOffset = 24;
constexpr size_t kGptAlternateLbaOffset = 32;
constexpr size_t kGptFirstUsableOffset = 40;
constexpr size_t kGptLastUsableOffset = 48;
constexpr size_t kGptDiskGuidOffset = 56;
constexpr size_t kGptArrayLbaOffset = 72;
constexpr size_t kGptEntryCountOffset = 80;
constexpr size_t kGptEntrySizeOffset = 84;
constexpr size_t kGptArrayCrcOffset = 88;
constexpr uint32_t kGptMinHeaderSize = 92;
static_assert(kGptArrayCrcOffset + 4 == kGptMinHeaderSize);

// Entry offsets; only the first 128 bytes of an entry carry fields.
constexpr size_t kGptEntryTypeGuid = 0;
constexpr size_t kGptEntryUniqueGuid = 16;
constexpr size_t kGptEntryFirstLba = 32;
constexpr size_t kGptEntryLastLba = 40;
constexpr size_t kGptEntryAttributes = 48;
constexpr size_t kGptEntryName = 56;
constexpr int kGptNameUnits = 36; // UTF-16LE
constexpr uint32_t kGptMinEntrySize = 128;
static_assert(kGptEntryName + 2 * size_t(kGptNameUnits) == kGptMinEntrySize);

// Entry arrays above this size are refused before anything is allocated.
constexpr uint64_t kGptMaxArrayBytes = 1048576;

} // namespace kv

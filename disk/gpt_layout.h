// Where the fields of a GPT header and of a GPT entry lie. The reader and the
// writer share these offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

constexpr uint64_t kGptPrimaryBlock = 1;
constexpr size_t kGptSignatureSize = 8;
constexpr char kGptSignature[kGptSignatureSize + 1] = "EFI PART";

// Header offsets.
constexpr size_t kGptSignatureOffset = 0;
constexpr size_t kGptRevision = 8;
constexpr size_t kGptHeaderSize = 12;
constexpr size_t kGptHeaderCrc = 16;
constexpr size_t kGptMyLba = 24;
constexpr size_t kGptAlternateLba = 32;
constexpr size_t kGptFirstUsable = 40;
constexpr size_t kGptLastUsable = 48;
constexpr size_t kGptDiskGuid = 56;
constexpr size_t kGptArrayLba = 72;
constexpr size_t kGptEntryCount = 80;
constexpr size_t kGptEntrySize = 84;
constexpr size_t kGptArrayCrc = 88;
constexpr uint32_t kGptMinHeaderSize = 92;
static_assert(kGptArrayCrc + 4 == kGptMinHeaderSize);

// Entry offsets; only the first 128 bytes of an entry carry fields.
constexpr size_t kGptEntryTypeGuid = 0;
constexpr size_t kGptEntryUniqueGuid = 16;
constexpr size_t kGptEntryFirstLba = 32;
constexpr size_t kGptEntryLastLba = 40;
constexpr size_t kGptEntryAttributes = 48;
constexpr size_t kGptEntryName = 56;
constexpr int kGptNameUnits = 36; // UTF-16LE
constexpr uint32_t kGptMinEntrySize = 128;
static_assert(kGptEntryName + 2 * kGptNameUnits == kGptMinEntrySize);

// Entry arrays above this size are refused before anything is allocated.
constexpr uint64_t kGptMaxArrayBytes = 1048576;

} // namespace kv

#include "disk/types.h"

#include "disk/guid.h"
#include "platform/format.h"
#include "platform/strings.h"

namespace kv {

namespace {

// Fixed-size text fields keep the catalogue pure constant data: nothing to
// relocate or construct when the image is loaded.
constexpr size_t kTypeNameSize = 24;

struct MbrType {
    uint8_t byte;
    char name[kTypeNameSize];
};

struct GptType {
    char guid[kGuidTextSize];
    char name[kTypeNameSize];
};

// The first kMbrChoices rows are offered; the rest only name types that are
// made in other ways (extended) or belong to the GPT (0xEE).
constexpr int kMbrChoices = 24;

constexpr MbrType kMbrTypes[] = {
    {0x0C, "FAT32 (LBA)"},
    {0x07, "NTFS/exFAT"},
    {0x83, "Linux"},
    {0x82, "Linux swap"},
    {0xEF, "EFI system"},
    {0x8E, "Linux LVM"},
    {0xFD, "Linux RAID"},
    {0x0E, "FAT16 (LBA)"},
    {0x0B, "FAT32"},
    {0x06, "FAT16"},
    {0x27, "Windows recovery"},
    {0x17, "Hidden NTFS"},
    {0x1C, "Hidden FAT32 (LBA)"},
    {0x1B, "Hidden FAT32"},
    {0x1E, "Hidden FAT16 (LBA)"},
    {0x16, "Hidden FAT16"},
    {0x14, "Hidden FAT16 <32M"},
    {0x11, "Hidden FAT12"},
    {0x04, "FAT16 <32M"},
    {0x01, "FAT12"},
    {0x42, "Windows LDM"},
    {0xA5, "FreeBSD"},
    {0xA6, "OpenBSD"},
    {0xAF, "Apple HFS+"},
    {0x05, "Extended"},
    {0x0F, "Extended (LBA)"},
    {0x85, "Linux extended"},
    {0xEE, "GPT protective"},
};

constexpr GptType kGptTypes[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
    {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "Windows LDM metadata"},
    {"AF9B60A0-1431-4F62-BC68-3311714A69AD", "Windows LDM data"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", "Linux extended boot"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS+"},
    {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
};

constexpr int kMbrRows = (int)(sizeof kMbrTypes / sizeof kMbrTypes[0]);
constexpr int kGptRows = (int)(sizeof kGptTypes / sizeof kGptTypes[0]);
static_assert(kMbrRows == 28 && kMbrChoices <= kMbrRows, "MBR catalogue rows");
static_assert(kGptRows == 16, "GPT catalogue rows");

} // namespace

const char* type_name(const PartitionTable* table, const Partition* partition) {
    if (table->kind == TableKind::Gpt) {
        char text[kGuidTextSize];
        guid_to_text(partition->type_guid, text);
        for (const GptType& row : kGptTypes)
            if (strcmp(row.guid, text) == 0) return row.name;
        return nullptr;
    }
    for (const MbrType& row : kMbrTypes)
        if (row.byte == partition->mbr_type) return row.name;
    return nullptr;
}

void type_text(const PartitionTable* table, const Partition* partition, char* buffer, size_t size) {
    const char* name = type_name(table, partition);
    if (name) {
        format(buffer, size, "%s", name);
    } else if (table->kind == TableKind::Gpt) {
        char text[kGuidTextSize];
        guid_to_text(partition->type_guid, text);
        // Up to the fourth digit of the third group: enough to recognise
        // most types while keeping the column narrow.
        format(buffer, size, "%.18s...", text);
    } else {
        format(buffer, size, "type %02X", partition->mbr_type);
    }
}

bool type_choice(TableKind kind, int index, const char** name, uint8_t* type_byte,
                 uint8_t type_guid[16]) {
    if (index < 0) return false;
    if (kind == TableKind::Gpt) {
        if (index >= kGptRows) return false;
        uint8_t guid[16];
        // Cannot fail for the catalogue's own texts; checked so that a bad
        // edit of the table shows up as a missing choice, not a wrong GUID.
        if (!guid_from_text(kGptTypes[index].guid, guid)) return false;
        if (name) *name = kGptTypes[index].name;
        if (type_guid) memcpy(type_guid, guid, sizeof guid);
        return true;
    }
    if (index >= kMbrChoices) return false;
    if (name) *name = kMbrTypes[index].name;
    if (type_byte) *type_byte = kMbrTypes[index].byte;
    return true;
}

} // namespace kv

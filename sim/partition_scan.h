// The partitions firmware finds on a disk when it makes child handles: the
// MBR's primary and logical partitions, or the GPT's used entries. Written
// apart from the program's readers so that a misreading there cannot hide
// itself in the simulated firmware.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/memdisk.h"

namespace sim {

struct FoundPartition {
    uint32_t number; // MBR slot 1-4, logical 5.., GPT entry index + 1
    uint64_t start;
    uint64_t size;
    bool gpt;
    uint32_t mbr_signature;
    uint8_t unique_guid[16];
};

// Only partitions that lie wholly on the disk are listed. A GPT is taken
// from its primary header, or from the backup at the last block when the
// primary fails its checks.
std::vector<FoundPartition> scan_partitions(SimDisk& disk);

} // namespace sim

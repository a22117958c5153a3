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
    // MBR slot 1-4; a logical's place in its chain from 1; GPT entry index + 1.
    uint32_t number;
    uint64_t start; // in blocks of the disk, logicals too
    uint64_t size;
    bool gpt;
    uint32_t mbr_signature; // 0 for logicals: an EBR carries none
    uint8_t unique_guid[16];
    // Firmware gives the extended partition a handle of its own and nests
    // the logicals under it: their device paths go on from its path.
    bool extended;
    bool logical;
};

// Only partitions that lie wholly on the disk are listed. A GPT is taken
// from its primary header, or from the backup at the last block when the
// primary fails its checks.
std::vector<FoundPartition> scan_partitions(SimDisk& disk);

} // namespace sim

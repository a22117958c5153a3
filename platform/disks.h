// The disks the firmware exposes through Block I/O, as the program's list of
// Disk records, and the firmware side of their BlockDevice operations.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "disk/model.h"
#include "platform/error.h"

struct EFI_BLOCK_IO_PROTOCOL;
struct EFI_BLOCK_IO2_PROTOCOL;

namespace kv {

// Rebuilds the program-wide disk list from the firmware and points *list at
// it (null when empty). Frees the previous list first, so any DiskView into
// it must be closed before. Whole disks only: partition handles, empty
// drives and blocks below 512 bytes are skipped but keep their position, so
// names are "blk%u" of the position in the list of all Block I/O handles
// sorted by device path text. Returns the number of disks.
int discover_disks(Disk** list);

// Frees the list discover_disks built; *list and the count become empty.
void release_disks();

// The bus label of a device path text: the first of "NVMe(", "Sata(",
// "USB(", ... that occurs in it, or "disk".
const char* device_kind_label(const char* path_text);

// Whether the program was started from the device whose path text is
// `device`: `boot` begins with it and goes on with '/' or ends there.
bool started_from(const char* boot, const char* device);

// The context of a disk's BlockDevice: its Block I/O and the MediaId the
// firmware gave when the disk was found. Every transfer names that id, not
// the current one, so that a medium changed since then is refused by the
// firmware (EFI_MEDIA_CHANGED) instead of being read or written as if it
// were the one the table came from.
struct BlockIoDisk {
    EFI_BLOCK_IO_PROTOCOL* block_io;
    EFI_BLOCK_IO2_PROTOCOL* block_io2; // null when the handle has none
    uint32_t media_id;
};

// BlockDevice operations over a BlockIoDisk (the context). They go through a
// page-aligned bounce buffer so that no IoAlign a controller asks for can
// refuse the caller's buffer; a write is flushed before it counts as done.
ErrorCode block_io_read(void* context, uint64_t first_block, uint64_t block_count, void* buffer);
ErrorCode block_io_write(void* context, uint64_t first_block, uint64_t block_count,
                         const void* buffer);

// The queued writes of a disk whose handle has Block I/O 2 (EDK2's NVMe and
// ATA drivers give it): no bounce buffers, the controller writes from the
// slots' pages while the caller goes on.
extern const WriteQueueOps kBlockIo2Queue;
// The same over plain Block I/O, one write at a time: the caller fills the
// slot the controller reads, and a run of writes is flushed once.
extern const WriteQueueOps kBlockIoQueue;

// The `random` operation of every disk: the firmware's RNG when it has one,
// otherwise a splitmix64 generator stirred with the time-stamp counter and
// the firmware clock. Not for keys; good enough for signatures and GUIDs.
void random_bytes(void* context, void* buffer, size_t byte_count);

// One step of the fallback generator; the new state is also the output.
uint64_t splitmix_next(uint64_t* state);

} // namespace kv

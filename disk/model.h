// The records every part of the editor shares: a disk with its block access,
// the partition table loaded from it, its partitions and diagnostic notes,
// and the small operations that keep the table's invariants.
//
// All records are plain: `PartitionTable t{};` is an empty table with no
// array, and copying a record copies the pointer, not what it owns.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "disk/mbr_layout.h"
#include "platform/error.h"

namespace kv {

enum class TableKind : uint32_t { None = 0, Mbr = 1, Gpt = 2 };

enum class PartitionKind : uint32_t { Primary = 0, Extended = 1, Logical = 2 };

// Why the reader stopped following an EBR chain before its end.
enum class ChainCut : uint8_t { Unknown = 0, TooLong, Unreadable, Invalid, BadLink };

constexpr int kMaxNotes = 8;
constexpr size_t kNoteSize = 100;          // 99 characters and the NUL
constexpr size_t kPartitionNameSize = 112; // UTF-8, NUL-terminated
constexpr int kMaxNameUnits = 36;          // UTF-16 units of the GPT name field
constexpr int kFirstLogicalNumber = 5;
constexpr size_t kBlock0Size = 512;
constexpr uint64_t kBytesPerMiB = 1048576;

struct Partition {
    int32_t number; // 1-4 primary/extended, 5.. logical, GPT entry index + 1
    PartitionKind kind;
    uint64_t start;
    uint64_t size;
    uint8_t mbr_type; // 0 marks an empty MBR slot
    bool active;
    uint64_t ebr_block; // logical partitions only: where its EBR is or goes
    uint8_t type_guid[16];
    uint8_t unique_guid[16];
    uint64_t attributes;
    char name[kPartitionNameSize];
    bool changed; // created, changed or renumbered since the last read
};

struct Note {
    char text[kNoteSize];
};

struct PartitionTable {
    TableKind kind;
    uint32_t block_size;
    uint64_t block_count;
    uint32_t mbr_signature;
    uint8_t disk_guid[16];
    uint64_t first_usable;
    uint64_t last_usable;
    uint32_t entry_count;
    uint32_t entry_size;
    uint64_t primary_array_lba;
    uint64_t backup_header_lba;
    uint64_t backup_array_lba; // 0 when the backup copy was damaged or missing
    bool hybrid;
    uint8_t block0[kBlock0Size];
    bool dirty;
    int32_t partition_count;
    Partition* partitions; // owned; grow it only through append_partition
    int32_t note_count;
    Note notes[kMaxNotes];
    // The EBR blocks of the chain as read, in chain order. Edits leave them
    // alone: they describe the disk, and only a clean table is wiped.
    int32_t ebr_count;
    uint64_t ebr_blocks[kEbrChainLimit];
    // The chain went on past the last EBR read (a read error, an invalid
    // EBR, a link out of the extended partition or the budget): writing would
    // drop the rest.
    bool chain_cut;
    // The backup GPT lies before data at the end of the disk (RAID or
    // firmware metadata): the writer keeps it where it is.
    bool backup_kept;
    ChainCut chain_cut_reason;
    uint64_t chain_cut_block; // the EBR that could not be read or used
    // CRC-32 over every block the reader read, in order: the writer reads
    // the same blocks again and refuses when the disk no longer matches.
    // Kept by new_table, since the disk is still the one that was read.
    uint32_t read_fingerprint;
    bool fingerprinted; // false for a table that never came from a disk
    // Slots allocated in `partitions`. Code that installs an array of its own
    // leaves it 0 so the next append reallocates instead of trusting it.
    int32_t partition_capacity;
    // Read with damage that writing the table back as it is mends (a lost
    // or stale GPT copy, a missing protective MBR, a stale hybrid entry):
    // Write is offered although nothing was edited.
    bool needs_repair;
    // Entries of a GPT whose array is larger than the reader takes; the
    // table then reads as kind None, but it is not damaged. 0 otherwise.
    uint32_t unread_entry_count;
};

// How the model reads and writes a disk. Both transfer functions return 0 or
// a negative ErrorCode; the buffer holds block_count * block_size bytes.
// Writes for long runs (the wipe) from buffers that the device reads in
// place, carried out while the caller goes on where the firmware queues
// requests. An
// open queue has `slots` buffers of `slot_bytes` that the device writes
// from in place; a slot's buffer belongs to the device from `start` until
// `wait` for that slot returns.
struct WriteQueueOps {
    // Null when no queue can be had (no memory, no events): the caller then
    // writes one piece at a time with `write`.
    void* (*open)(void* context, int slots, size_t slot_bytes);
    uint8_t* (*buffer)(void* queue, int slot);
    // Starts writing `block_count` blocks of the slot's buffer from
    // `first_block`. A refusal is the result, and nothing is in flight then.
    ErrorCode (*start)(void* queue, int slot, uint64_t first_block, uint64_t block_count);
    // Waits for the slot's write and gives its outcome; 0 when none is in
    // flight.
    ErrorCode (*wait)(void* queue, int slot);
    // Writes from the slot's buffer and returns when the write has ended;
    // the slot must have none in flight.
    ErrorCode (*write)(void* queue, int slot, uint64_t first_block, uint64_t block_count);
    // Makes the finished writes durable, as `write` does after each one.
    ErrorCode (*flush)(void* queue);
    // Waits for whatever is still in flight and frees the queue.
    void (*close)(void* queue);
    // The slots worth keeping busy; 1 when `start` itself waits for the
    // write.
    int depth;
};

struct BlockDevice {
    ErrorCode (*read)(void* context, uint64_t first_block, uint64_t block_count, void* buffer);
    // Null when the disk must not be written.
    ErrorCode (*write)(void* context, uint64_t first_block, uint64_t block_count,
                       const void* buffer);
    void (*random)(void* context, void* buffer, size_t byte_count);
    void* context;
    uint32_t block_size;
    uint64_t block_count;
    // Queued writes over the same context; null when the device has none
    // (or must not be written), and the caller then uses `write`.
    const WriteQueueOps* queue;
};

struct Disk {
    char name[16];       // "blk%u"
    char kind_label[16]; // "NVMe", "SATA", "USB", ..., "disk"
    char* device_path;   // owned
    uint64_t size_bytes;
    bool read_only;
    bool started_here;
    BlockDevice access;
};

// "no table", "MBR" or "GPT"; values other than Mbr and Gpt read "no table".
const char* table_kind_label(TableKind kind);

// Reads `count` blocks from `first_block` into a new buffer of
// count * block_size bytes that the caller frees. Returns null, without
// calling the device, when count is 0 or the range does not lie wholly
// inside the device; returns null, with nothing left allocated, when the
// device reports an error. Running out of memory is fatal.
uint8_t* read_blocks(const BlockDevice* device, uint64_t first_block, uint64_t count);

// Formats a note into the next of the table's 8 buffers, cut to 99 bytes
// without splitting a UTF-8 sequence. Once 8 notes exist it does nothing.
void add_note(PartitionTable* table, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Frees the partition array and empties it; notes and other fields stay.
void clear_partitions(PartitionTable* table);

// Frees what the table owns and returns it to the zero state.
void table_free(PartitionTable* table);

// Appends a copy of `model`, marked changed, and marks the table dirty.
// The result is valid until the array changes again.
Partition* append_partition(PartitionTable* table, const Partition* model);

// Puts non-logical partitions first by number, then logical ones by start,
// and numbers the logical ones 5, 6, 7, ...; each renumbered one is marked
// changed.
void renumber_logicals(PartitionTable* table);

// The first partition with that number, or null.
Partition* find_partition(PartitionTable* table, int32_t number);
const Partition* find_partition(const PartitionTable* table, int32_t number);

// Blocks in one MiB: the alignment unit of new partitions. Never 0, so a
// table with an unset or oversized block size aligns to single blocks.
uint64_t blocks_per_mib(const PartitionTable* table);

} // namespace kv

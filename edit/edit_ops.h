// The edits behind the commands of both front ends. They change only the
// table in memory; nothing reaches the disk before the table is written.
//
// Every operation but new_table validates completely before it touches the
// table: it returns null on success, or a static lower-case error text and
// leaves the table exactly as it was. A success marks the table dirty and
// every partition it creates or alters changed.
#pragma once

#include <stdint.h>

#include "disk/model.h"

namespace kv {

// Replaces the table with an empty one of `kind` for the device: a new
// non-zero disk signature (MBR) or a new disk GUID and the standard layout of
// 128 entries of 128 bytes (GPT). Kind None leaves a table that, written,
// clears the disk's table headers.
void new_table(PartitionTable* table, const BlockDevice* device, TableKind kind);

// Adds a partition from `model` as the new-partition dialog prepares it:
// start, size, mbr_type (MBR), type_guid and name (GPT), active, and kind
// Logical for a logical partition (any other kind means primary). The table
// chooses its number. The device supplies the random unique GUID.
const char* add_partition(PartitionTable* table, const BlockDevice* device, const Partition* model);

// Deletes the partition; deleting the extended one deletes the logical ones
// too. Logical partitions after it move up one number.
const char* delete_partition(PartitionTable* table, int32_t number);

// `type_byte` is used for an MBR table, `type_guid` (16 bytes in on-disk
// order) for a GPT.
const char* set_type(PartitionTable* table, int32_t number, uint8_t type_byte,
                     const uint8_t type_guid[16]);

// `name` is UTF-8 of at most 36 characters; empty clears the name.
const char* set_name(PartitionTable* table, int32_t number, const char* name);

// Setting the flag clears it on every other partition: at most one is active.
const char* set_active(PartitionTable* table, int32_t number, bool flag);

// Whether the partition may be wiped now: besides the state of the table, its
// blocks must lie on the disk, away from the table's own blocks and from
// every other partition. Changes nothing.
const char* wipe_precheck(const PartitionTable* table, int32_t number);

} // namespace kv

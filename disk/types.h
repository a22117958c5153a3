// Human names for partition types: one catalogue of MBR type bytes and one of
// GPT type GUIDs. The table kind alone decides which one is searched, so a
// name shared by both ("Linux swap") never leaks from one table to the other.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "disk/model.h"

namespace kv {

// The catalogue name of the partition's type, or null when it has none.
const char* type_name(const PartitionTable* table, const Partition* partition);

// The type as shown in a list, cut to the buffer: the catalogue name, or else
// the first 18 characters of the GUID text and "..." (GPT), or "type %02X".
void type_text(const PartitionTable* table, const Partition* partition, char* buffer, size_t size);

// The index-th type offered to the user for a table of `kind`, from 0 up:
// writes its name and either its type byte (MBR and no table) or its type
// GUID in on-disk byte order (GPT). Returns false, writing nothing, once the
// index runs past the list; the extended and protective types are never
// offered. Any output may be null when the caller does not need it.
bool type_choice(TableKind kind, int index, const char** name, uint8_t* type_byte,
                 uint8_t type_guid[16]);

} // namespace kv

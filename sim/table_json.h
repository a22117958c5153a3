// A loaded partition table as one JSON object, for host tools and for tests
// that compare the reader with other partitioning programs.
#pragma once

#include <string>
#include <string_view>

#include "disk/model.h"

namespace sim {

// The text as the body of a JSON string (without the quotes). Valid UTF-8
// passes through; control characters become \u00XX; a UTF-8-encoded lone
// surrogate (as a GPT name may hold) becomes its \uXXXX escape; any other
// malformed byte becomes \uFFFD, so the output is always valid JSON.
std::string json_escape(std::string_view text);

// Keys: kind, block_size, block_count, mbr_signature, disk_guid, first_usable,
// last_usable, entry_count, entry_size, primary_array_lba, backup_header_lba,
// backup_array_lba, hybrid, partitions (in array order: number, kind, start,
// size, type_byte, type_guid, unique_guid, attributes, name, active,
// ebr_block, changed, type_text) and notes. Numbers are printed as exact
// decimal integers. Ends with a newline.
std::string table_to_json(const kv::PartitionTable& table);

// "primary", "extended" or "logical".
const char* partition_kind_name(kv::PartitionKind kind);

} // namespace sim

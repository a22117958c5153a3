// The invariants every table built by the editing operations keeps, checked
// from the records alone so that a fault in the operations cannot hide
// behind the same fault here. Tables read from damaged disks may break them;
// tables made by new_table and the edits never do.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "disk/model.h"

namespace kvtest {

inline uint64_t last_block_of(const kv::Partition& p) {
    return p.start + p.size - 1;
}

inline bool covers(const kv::Partition& p, uint64_t block) {
    return p.start <= block && block <= last_block_of(p);
}

// Characters of a NUL-terminated UTF-8 text, a malformed byte counting as
// one: the UTF-16 units the writer stores.
inline size_t utf8_units(const char* text) {
    size_t units = 0;
    for (size_t i = 0; text[i] != '\0'; units++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80             ? 1
                        : (c & 0xE0) == 0xC0 ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 1;
        size_t k = 1;
        while (k < length && text[i + k] != '\0' &&
               (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80)
            k++;
        i += k == length ? length : 1;
    }
    return units;
}

// Where the writer puts each logical partition's EBR, in start order: the
// first at the extended partition's first block, each later one at its
// recorded block when that lies in the gap before it, else just before it.
inline std::vector<uint64_t> effective_ebr_blocks(const std::vector<kv::Partition>& logicals,
                                                  uint64_t extended_start) {
    std::vector<uint64_t> out;
    for (size_t i = 0; i < logicals.size(); i++) {
        const kv::Partition& p = logicals[i];
        if (i == 0) {
            out.push_back(extended_start);
            continue;
        }
        uint64_t previous_last = last_block_of(logicals[i - 1]);
        out.push_back(p.ebr_block > previous_last && p.ebr_block < p.start ? p.ebr_block
                                                                           : p.start - 1);
    }
    return out;
}

// Empty when the table keeps every invariant; otherwise the first breach.
inline std::string invariant_violation(const kv::PartitionTable& t) {
    std::ostringstream out;
    if (t.partition_count < 0 || (t.partition_count > 0 && t.partitions == nullptr))
        return "partition array missing";
    std::vector<kv::Partition> all(t.partitions, t.partitions + t.partition_count);
    if (t.kind != kv::TableKind::Mbr && t.kind != kv::TableKind::Gpt)
        return all.empty() ? "" : "partitions in a table of no kind";

    std::set<int32_t> numbers;
    int active = 0;
    for (const kv::Partition& p : all) {
        if (!numbers.insert(p.number).second) out << "number " << p.number << " twice; ";
        if (p.size == 0) out << p.number << " is empty; ";
        if (p.size - 1 > ~0ULL - p.start) out << p.number << " wraps past 2^64; ";
        if (last_block_of(p) >= t.block_count) out << p.number << " beyond the disk; ";
        if (p.active) active++;
        if (std::memchr(p.name, 0, sizeof p.name) == nullptr) out << p.number << " name unended; ";
    }
    if (active > 1) out << active << " active partitions; ";
    if (!out.str().empty()) return out.str();

    if (t.kind == kv::TableKind::Gpt) {
        static const uint8_t zero[16] = {};
        for (const kv::Partition& p : all) {
            if (p.kind != kv::PartitionKind::Primary) out << p.number << " not primary; ";
            if (p.number < 1 || (uint32_t)p.number > t.entry_count)
                out << p.number << " outside the entry array; ";
            if (p.start < t.first_usable || last_block_of(p) > t.last_usable)
                out << p.number << " outside the usable area; ";
            if (p.active) out << p.number << " active on a GPT; ";
            if (p.ebr_block != 0) out << p.number << " has an EBR; ";
            if (std::memcmp(p.type_guid, zero, 16) == 0) out << p.number << " has no type; ";
            if (utf8_units(p.name) > 36) out << p.number << " name too long; ";
        }
    } else {
        uint64_t window_last = std::min<uint64_t>(t.block_count, 1ULL << 32) - 1;
        std::vector<kv::Partition> slots, logicals;
        const kv::Partition* extended = nullptr;
        for (const kv::Partition& p : all) {
            if (p.start < 1 || last_block_of(p) > window_last)
                out << p.number << " outside the MBR window; ";
            if (p.mbr_type == 0) out << p.number << " has no type; ";
            bool extended_type = kv::is_extended_type(p.mbr_type);
            if (extended_type != (p.kind == kv::PartitionKind::Extended))
                out << p.number << " type and kind disagree; ";
            if (p.kind == kv::PartitionKind::Logical) {
                logicals.push_back(p);
                continue;
            }
            slots.push_back(p);
            if (p.number < 1 || p.number > 4) out << p.number << " is not an MBR slot; ";
            if (p.kind == kv::PartitionKind::Extended) {
                if (extended != nullptr) out << "two extended partitions; ";
                extended = &p;
                if (p.active) out << "the extended partition is active; ";
            }
        }
        if (slots.size() > 4) out << slots.size() << " MBR slots used; ";
        // Array order: the slots by number, then the logical ones by start,
        // numbered 5, 6, ... without a hole.
        for (size_t i = 0; i < all.size(); i++) {
            if (i < slots.size()) {
                if (all[i].kind == kv::PartitionKind::Logical) out << "logical before a slot; ";
                if (i > 0 && all[i - 1].number >= all[i].number) out << "slots out of order; ";
                continue;
            }
            if (all[i].number != (int32_t)(5 + i - slots.size()))
                out << "logical " << all[i].number << " misnumbered; ";
            if (i > slots.size() && all[i - 1].start >= all[i].start)
                out << "logicals out of start order; ";
        }
        if (!logicals.empty() && extended == nullptr) out << "logicals without extended; ";
        if (extended != nullptr) {
            for (const kv::Partition& p : logicals) {
                if (p.start <= extended->start || last_block_of(p) > last_block_of(*extended))
                    out << p.number << " not inside the extended partition with its EBR; ";
                if (p.ebr_block < extended->start || p.ebr_block >= p.start)
                    out << p.number << " EBR block " << p.ebr_block << " misplaced; ";
            }
            std::vector<uint64_t> ebrs = effective_ebr_blocks(logicals, extended->start);
            std::vector<uint64_t> reserved = ebrs;
            for (const kv::Partition& p : logicals)
                reserved.push_back(p.start - 1);
            for (uint64_t block : reserved)
                for (const kv::Partition& q : all)
                    if (q.kind != kv::PartitionKind::Extended && covers(q, block))
                        out << q.number << " covers the EBR block " << block << "; ";
            std::set<uint64_t> distinct(ebrs.begin(), ebrs.end());
            if (distinct.size() != ebrs.size()) out << "two EBRs in one block; ";
        }
    }
    if (!out.str().empty()) return out.str();

    // No two partitions share a block; on an MBR the extended partition is
    // meant to hold the logical ones.
    std::vector<kv::Partition> sorted = all;
    std::sort(sorted.begin(), sorted.end(),
              [](const kv::Partition& a, const kv::Partition& b) { return a.start < b.start; });
    for (size_t i = 0; i < sorted.size(); i++) {
        for (size_t j = i + 1; j < sorted.size() && sorted[j].start <= last_block_of(sorted[i]);
             j++) {
            bool nested = (sorted[i].kind == kv::PartitionKind::Extended &&
                           sorted[j].kind == kv::PartitionKind::Logical) ||
                          (sorted[j].kind == kv::PartitionKind::Extended &&
                           sorted[i].kind == kv::PartitionKind::Logical);
            if (!nested) out << sorted[i].number << " overlaps " << sorted[j].number << "; ";
        }
    }
    return out.str();
}

} // namespace kvtest

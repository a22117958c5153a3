// Random sequences of edits on a partition table, for property tests and for
// the writer's round trips. Every sequence follows from its seed alone.
//
// The edits mix the ones a user makes (placements taken from the listed free
// areas) with the ones that probe the rules: placements on the exact edges of
// a gap, one block too far, over another partition or its EBR, sums that
// would wrap past 2^64, ends on both sides of block 2^32, zero and extended
// types, names of 36 and 37 characters, numbers that do not exist.
//
//     kvtest::RandomEditor editor(seed, &table, disk.device(), {kv::TableKind::Gpt});
//     for (int i = 0; i < 500; i++) {
//         kvtest::Edit edit = editor.step();
//         ... check the table, log edit.describe() on failure ...
//     }
//
// or all at once: auto log = kvtest::apply_random_edits(seed, &table, device, 500, options);
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "disk/model.h"
#include "disk/types.h"
#include "edit/edit_ops.h"
#include "edit/free_space.h"
#include "platform/memory.h"

namespace kvtest {

enum class EditKind {
    NewTable,
    AddPrimary,
    AddLogical,
    AddGpt,
    Delete,
    SetType,
    SetName,
    SetActive
};

inline const char* edit_kind_name(EditKind kind) {
    switch (kind) {
    case EditKind::NewTable:
        return "new-table";
    case EditKind::AddPrimary:
        return "add-primary";
    case EditKind::AddLogical:
        return "add-logical";
    case EditKind::AddGpt:
        return "add-gpt";
    case EditKind::Delete:
        return "delete";
    case EditKind::SetType:
        return "set-type";
    case EditKind::SetName:
        return "set-name";
    case EditKind::SetActive:
        return "set-active";
    }
    return "?";
}

// One edit as chosen and applied, with the operation's answer.
struct Edit {
    EditKind kind = EditKind::NewTable;
    kv::TableKind table_kind = kv::TableKind::None; // NewTable
    kv::Partition model{};                          // the add operations' template
    int32_t number = 0;                             // Delete, SetType, SetName, SetActive
    uint8_t type_byte = 0;                          // SetType
    std::array<uint8_t, 16> type_guid{};            // SetType
    std::string name;                               // SetName
    bool flag = false;                              // SetActive
    const char* result = nullptr;                   // null: accepted

    bool is_add() const {
        return kind == EditKind::AddPrimary || kind == EditKind::AddLogical ||
               kind == EditKind::AddGpt;
    }

    std::string describe() const {
        std::ostringstream out;
        out << edit_kind_name(kind);
        switch (kind) {
        case EditKind::NewTable:
            out << " " << kv::table_kind_label(table_kind);
            break;
        case EditKind::AddPrimary:
        case EditKind::AddLogical:
        case EditKind::AddGpt:
            out << " start=" << model.start << " size=" << model.size << " type=0x" << std::hex
                << int(model.mbr_type) << std::dec << " guid0=" << int(model.type_guid[0])
                << " active=" << model.active << " name='" << model.name << "'";
            break;
        case EditKind::Delete:
            out << " " << number;
            break;
        case EditKind::SetType:
            out << " " << number << " byte=0x" << std::hex << int(type_byte) << std::dec
                << " guid0=" << int(type_guid[0]);
            break;
        case EditKind::SetName:
            out << " " << number << " '" << name << "'";
            break;
        case EditKind::SetActive:
            out << " " << number << " " << flag;
            break;
        }
        out << " -> " << (result == nullptr ? "ok" : result);
        return out.str();
    }
};

struct RandomEditOptions {
    kv::TableKind kind = kv::TableKind::Mbr; // what new_table creates
    int new_table_per_mille = 1;             // fresh empty table of `kind`
    int delete_table_per_mille = 0;          // new_table with kind None
};

class RandomEditor {
  public:
    RandomEditor(uint64_t seed, kv::PartitionTable* table, const kv::BlockDevice* device,
                 RandomEditOptions options = {})
        : state_(seed * 0x2545F4914F6CDD1DULL + 1), table_(table), device_(device),
          options_(options) {}

    // Chooses one edit for the table as it is now, applies it and returns it
    // with the operation's answer.
    Edit step() {
        steps_++;
        Edit edit = choose();
        apply(&edit);
        return edit;
    }

    uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
    bool chance(int percent) { return below(100) < (uint64_t)percent; }

  private:
    static constexpr uint64_t kMax = ~0ULL;
    static constexpr uint64_t k32BitBlocks = 1ULL << 32;

    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    // Phases of growth and of shrinking, so that tables both fill up to their
    // limits and empty out again.
    bool growing() const { return (steps_ / 500) % 3 != 2; }

    Edit choose() {
        Edit edit;
        uint64_t roll = below(1000);
        if (table_->kind == kv::TableKind::None || roll < (uint64_t)options_.new_table_per_mille) {
            edit.kind = EditKind::NewTable;
            edit.table_kind = options_.kind;
            return edit;
        }
        if (roll < (uint64_t)(options_.new_table_per_mille + options_.delete_table_per_mille)) {
            edit.kind = EditKind::NewTable;
            edit.table_kind = kv::TableKind::None;
            return edit;
        }
        bool gpt = table_->kind == kv::TableKind::Gpt;
        int count = table_->partition_count;
        int deletes = growing() ? 1 + count / 32 : 30 + count;
        struct Weight {
            EditKind kind;
            int weight;
        };
        const Weight mbr[] = {{EditKind::AddPrimary, 20},  {EditKind::AddLogical, 32},
                              {EditKind::Delete, deletes}, {EditKind::SetType, 10},
                              {EditKind::SetActive, 10},   {EditKind::SetName, 2},
                              {EditKind::AddGpt, 2}};
        const Weight gpt_weights[] = {{EditKind::AddGpt, 45},   {EditKind::Delete, deletes},
                                      {EditKind::SetType, 10},  {EditKind::SetName, 12},
                                      {EditKind::SetActive, 3}, {EditKind::AddLogical, 3}};
        const Weight* weights = gpt ? gpt_weights : mbr;
        size_t n = gpt ? sizeof gpt_weights / sizeof *gpt_weights : sizeof mbr / sizeof *mbr;
        int total = 0;
        for (size_t i = 0; i < n; i++)
            total += weights[i].weight;
        int pick = (int)below((uint64_t)total);
        edit.kind = weights[n - 1].kind;
        for (size_t i = 0; i < n; i++) {
            if (pick < weights[i].weight) {
                edit.kind = weights[i].kind;
                break;
            }
            pick -= weights[i].weight;
        }
        fill(&edit);
        return edit;
    }

    void fill(Edit* edit) {
        switch (edit->kind) {
        case EditKind::AddPrimary:
        case EditKind::AddLogical:
        case EditKind::AddGpt:
            fill_model(edit);
            break;
        case EditKind::Delete:
            edit->number = pick_number();
            break;
        case EditKind::SetType: {
            edit->number = pick_number();
            const kv::Partition* p = kv::find_partition(table_, edit->number);
            bool extended = p != nullptr && p->kind == kv::PartitionKind::Extended;
            edit->type_byte = extended && chance(60) ? extended_type() : mbr_type();
            gpt_type(edit->type_guid.data());
            break;
        }
        case EditKind::SetName:
            edit->number = pick_number();
            edit->name = random_name(chance(10) ? 34 + (int)below(5) : (int)below(40), 1000);
            break;
        case EditKind::SetActive:
            edit->number = pick_number();
            edit->flag = chance(70);
            break;
        case EditKind::NewTable:
            break;
        }
    }

    void apply(Edit* edit) {
        switch (edit->kind) {
        case EditKind::NewTable:
            kv::new_table(table_, device_, edit->table_kind);
            edit->result = nullptr;
            break;
        case EditKind::AddPrimary:
        case EditKind::AddLogical:
        case EditKind::AddGpt:
            edit->result = kv::add_partition(table_, device_, &edit->model);
            break;
        case EditKind::Delete:
            edit->result = kv::delete_partition(table_, edit->number);
            break;
        case EditKind::SetType:
            edit->result =
                kv::set_type(table_, edit->number, edit->type_byte, edit->type_guid.data());
            break;
        case EditKind::SetName:
            edit->result = kv::set_name(table_, edit->number, edit->name.c_str());
            break;
        case EditKind::SetActive:
            edit->result = kv::set_active(table_, edit->number, edit->flag);
            break;
        }
    }

    int32_t pick_number() {
        if (table_->partition_count > 0 && chance(88))
            return table_->partitions[below((uint64_t)table_->partition_count)].number;
        return (int32_t)below(140) - 2;
    }

    uint8_t extended_type() {
        static const uint8_t types[] = {0x05, 0x0F, 0x85};
        return types[below(3)];
    }

    uint8_t mbr_type() {
        uint64_t roll = below(100);
        if (roll < 6) return 0;
        if (roll < 13) return extended_type();
        if (roll < 20) return (uint8_t)below(256);
        uint8_t type = 0x83;
        kv::type_choice(kv::TableKind::Mbr, (int)below(24), nullptr, &type, nullptr);
        return type;
    }

    void gpt_type(uint8_t guid[16]) {
        uint64_t roll = below(100);
        std::memset(guid, 0, 16);
        if (roll < 6) return;
        if (roll < 14) {
            for (int i = 0; i < 16; i++)
                guid[i] = (uint8_t)below(256);
            return;
        }
        kv::type_choice(kv::TableKind::Gpt, (int)below(16), nullptr, nullptr, guid);
    }

    // `units` characters of mixed widths (1 to 4 bytes, now and then a
    // malformed byte), cut to `max_bytes` at a character boundary.
    std::string random_name(int units, size_t max_bytes) {
        static const char* const pieces[] = {
            "a", "Z", "7", " ", "-", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFF"};
        std::string out;
        for (int i = 0; i < units; i++) {
            uint64_t roll = below(100);
            const char* piece = roll < 70   ? pieces[below(5)]
                                : roll < 82 ? pieces[5]
                                : roll < 92 ? pieces[6]
                                : roll < 98 ? pieces[7]
                                            : pieces[8];
            if (out.size() + std::strlen(piece) > max_bytes) break;
            out += piece;
        }
        return out;
    }

    void fill_model(Edit* edit) {
        kv::Partition& m = edit->model;
        m = kv::Partition{};
        bool logical = edit->kind == EditKind::AddLogical;
        m.kind = logical ? kv::PartitionKind::Logical
                         : (chance(5) ? kv::PartitionKind::Extended : kv::PartitionKind::Primary);
        if (edit->kind == EditKind::AddGpt || table_->kind == kv::TableKind::Gpt) {
            gpt_type(m.type_guid);
            std::string name =
                random_name(chance(15) ? 35 + (int)below(3) : (int)below(20), sizeof m.name - 1);
            std::memcpy(m.name, name.data(), name.size());
        }
        m.mbr_type = mbr_type();
        m.active = chance(10);
        place(logical, &m.start, &m.size);
    }

    std::vector<kv::BlockRange> primary_gaps() {
        std::vector<kv::BlockRange> gaps((size_t)kv::free_range_capacity(table_));
        gaps.resize((size_t)kv::primary_free_ranges(table_, gaps.data()));
        return gaps;
    }

    const kv::Partition* extended() const {
        for (int32_t i = 0; i < table_->partition_count; i++)
            if (table_->partitions[i].kind == kv::PartitionKind::Extended)
                return &table_->partitions[i];
        return nullptr;
    }

    std::vector<kv::BlockRange> extended_gaps(const kv::Partition* ext) {
        std::vector<kv::BlockRange> gaps((size_t)kv::free_range_capacity(table_));
        gaps.resize((size_t)kv::extended_free_ranges(table_, ext, gaps.data()));
        return gaps;
    }

    // A size that ends exactly on `last` when possible, else something
    // around it.
    uint64_t size_to(uint64_t start, uint64_t last) {
        return last >= start ? last - start + 1 : 1 + below(8);
    }

    void place(bool logical, uint64_t* start, uint64_t* size) {
        uint64_t unit = kv::blocks_per_mib(table_);
        uint64_t roll = below(100);
        if (roll < 40 && place_in_area(logical, unit, start, size)) return;
        if (roll < 65 && place_on_edge(logical, unit, start, size)) return;
        if (roll < 78 && table_->partition_count > 0) {
            const kv::Partition& p = table_->partitions[below((uint64_t)table_->partition_count)];
            switch (below(5)) {
            case 0: // inside it
                *start = p.start + below(p.size);
                break;
            case 1: // right after it
                *start = p.start + p.size;
                break;
            case 2: // one block before it, covering its first block
                *start = p.start - 1;
                *size = 2;
                return;
            case 3: // a logical partition's EBR block
                *start = p.ebr_block != 0 ? p.ebr_block : p.start;
                break;
            default: // leaving exactly the block before it free
                *start = p.start + 1;
                break;
            }
            *size = chance(50) ? unit * (1 + below(8)) : 1 + below(4 * unit);
            return;
        }
        if (roll < 92) {
            *start = below(table_->block_count + 64);
            *size = 1 + below(table_->block_count / (1 + below(64)) + 1);
            return;
        }
        switch (below(7)) {
        case 0: // start near 2^64
            *start = kMax - below(16);
            *size = 1 + below(32);
            return;
        case 1: // a size that wraps the sum
            *start = unit * (1 + below(16));
            *size = kMax - below(16);
            return;
        case 2: // ending on block 2^32 - 1
            *start = k32BitBlocks - unit * (1 + below(4));
            *size = k32BitBlocks - *start;
            return;
        case 3: // ending on block 2^32
            *start = k32BitBlocks - unit * (1 + below(4));
            *size = k32BitBlocks - *start + 1;
            return;
        case 4: // ending on the disk's last block, or one past it
            *start = table_->block_count > unit ? table_->block_count - unit : 1;
            *size = table_->block_count - *start + below(2);
            return;
        case 5:
            *start = 0;
            *size = unit;
            return;
        default:
            *start = unit * (1 + below(64));
            *size = 0;
            return;
        }
    }

    bool place_in_area(bool logical, uint64_t unit, uint64_t* start, uint64_t* size) {
        kv::FreeArea* raw = nullptr;
        int count = kv::list_free_areas(table_, &raw);
        std::vector<kv::FreeArea> areas(raw, raw + (count > 0 ? count : 0));
        kv::free(raw);
        // A logical partition prefers the extended partition's room; without
        // one, an ordinary area gets an extended partition around it.
        std::vector<kv::FreeArea> fitting;
        for (const kv::FreeArea& a : areas)
            if (a.logical == (logical && extended() != nullptr)) fitting.push_back(a);
        if (fitting.empty()) return false;
        const kv::FreeArea& a = fitting[below(fitting.size())];
        uint64_t last = a.start + a.size - 1;
        bool needs_extended = logical && !a.logical;
        *start = a.start;
        if (needs_extended)
            *start += chance(85) ? unit * (1 + below(4)) : 0;
        else if (chance(30))
            *start += below(a.size);
        if (*start > last) *start = a.start + 1;
        // Mostly small, so that tables can fill up to their limits.
        uint64_t rest = size_to(*start, last);
        uint64_t roll = below(20);
        if (roll == 0)
            *size = rest;
        else if (roll == 1)
            *size = rest + 1; // one block more than there is
        else if (roll < 12)
            *size = unit * (1 + below(4));
        else
            *size = 1 + below(std::min(rest, 4 * unit));
        return true;
    }

    bool place_on_edge(bool logical, uint64_t unit, uint64_t* start, uint64_t* size) {
        const kv::Partition* ext = logical ? extended() : nullptr;
        std::vector<kv::BlockRange> gaps = ext != nullptr ? extended_gaps(ext) : primary_gaps();
        if (gaps.empty()) return false;
        const kv::BlockRange g = gaps[below(gaps.size())];
        if (ext != nullptr) {
            switch (below(4)) {
            case 0: // the smallest room for the EBR, up to the gap's end
                *start = g.first + 1;
                *size = size_to(*start, g.last);
                return true;
            case 1: // no room for the EBR
                *start = g.first;
                *size = 1 + below(4);
                return true;
            case 2: // one block past the gap
                *start = g.first + 1;
                *size = size_to(*start, g.last) + 1;
                return true;
            default: // the gap's last block alone
                *start = g.last;
                *size = 1;
                return true;
            }
        }
        if (logical) {
            // The extended partition will begin at the gap's first MiB.
            uint64_t aligned = (g.first + unit - 1) / unit * unit;
            *start = aligned + (chance(20) ? 0 : 1 + below(2 * unit));
            *size = chance(50) ? size_to(*start, g.last) : 1 + below(4 * unit);
            return true;
        }
        switch (below(5)) {
        case 0: // the whole gap
            *start = g.first;
            *size = size_to(g.first, g.last);
            return true;
        case 1:
            *start = g.first;
            *size = 1;
            return true;
        case 2:
            *start = g.last;
            *size = 1;
            return true;
        case 3: // one block before the gap
            *start = g.first - 1;
            *size = 1 + below(4);
            return true;
        default: // one block past it
            *start = g.last;
            *size = 2;
            return true;
        }
    }

    uint64_t state_;
    uint64_t steps_ = 0;
    kv::PartitionTable* table_;
    const kv::BlockDevice* device_;
    RandomEditOptions options_;
};

// Applies `count` random edits and returns them in order.
inline std::vector<Edit> apply_random_edits(uint64_t seed, kv::PartitionTable* table,
                                            const kv::BlockDevice* device, int count,
                                            RandomEditOptions options = {}) {
    RandomEditor editor(seed, table, device, options);
    std::vector<Edit> log;
    log.reserve(count > 0 ? (size_t)count : 0);
    for (int i = 0; i < count; i++)
        log.push_back(editor.step());
    return log;
}

} // namespace kvtest

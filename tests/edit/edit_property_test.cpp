// Long random sequences of edits on MBR and GPT tables of several sizes and
// both block sizes. After every step the table must keep its invariants, a
// refusal must have changed nothing, an acceptance must have done what was
// asked, and every add must be answered as an independent reading of the
// placement rules predicts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "tests/edit/edit_fixture.h"
#include "tests/edit/random_edits.h"
#include "tests/edit/table_invariants.h"

namespace {

using kv::PartitionKind;
using kv::TableKind;
using kvtest::Edit;
using kvtest::EditKind;
using kvtest::last_block_of;

constexpr int kStepsPerRun = 2000;
constexpr uint64_t k32BitBlocks = 1ULL << 32;

// What an add should answer, worked out from the table before it with
// intervals rather than the gap lists the operations use.
class AddOracle {
  public:
    explicit AddOracle(const kv::PartitionTable& t)
        : t_(t), all_(t.partitions, t.partitions + t.partition_count) {
        t_.partitions = nullptr; // only the copy in all_ is read
    }

    std::string expect(const kv::Partition& m) const {
        if (t_.kind != TableKind::Mbr && t_.kind != TableKind::Gpt)
            return "the disk has no partition table: create one first";
        if (m.size == 0) return "the size is zero";
        if (m.size - 1 > ~0ULL - m.start || m.start + m.size - 1 >= t_.block_count)
            return "the partition goes beyond the end of the disk";
        uint64_t last = m.start + m.size - 1;
        return t_.kind == TableKind::Gpt ? expect_gpt(m, last) : expect_mbr(m, last);
    }

  private:
    bool intersects(uint64_t first, uint64_t last, bool with_logical) const {
        for (const kv::Partition& p : all_)
            if ((with_logical || p.kind != PartitionKind::Logical) && p.start <= last &&
                first <= last_block_of(p))
                return true;
        return false;
    }
    bool number_used(int32_t n) const {
        return std::any_of(all_.begin(), all_.end(),
                           [n](const kv::Partition& p) { return p.number == n; });
    }

    std::string expect_gpt(const kv::Partition& m, uint64_t last) const {
        static const uint8_t zero[16] = {};
        if (std::memcmp(m.type_guid, zero, 16) == 0) return "choose a partition type";
        if (m.start < t_.first_usable || last > t_.last_usable)
            return "the partition lies outside the usable area of the disk";
        if (intersects(m.start, last, true)) return "the partition overlaps another one";
        bool room = false;
        for (uint32_t n = 1; n <= t_.entry_count && !room; n++)
            room = !number_used((int32_t)n);
        if (!room) return "the partition table is full";
        if (kvtest::utf8_units(m.name) > 36) return "the name is too long (at most 36 characters)";
        return "";
    }

    std::string expect_mbr(const kv::Partition& m, uint64_t last) const {
        if (m.mbr_type == 0) return "choose a partition type";
        if (kv::is_extended_type(m.mbr_type))
            return "the extended partition is created by adding a logical partition";
        if (last >= k32BitBlocks) return "an MBR cannot address beyond 2 TiB: use GPT";
        if (m.start == 0) return "block 0 holds the partition table";
        if (m.kind == PartitionKind::Logical) return expect_logical(m, last);
        if (intersects(m.start, last, false)) return "the partition overlaps another one";
        if (number_used(1) && number_used(2) && number_used(3) && number_used(4))
            return "an MBR holds at most four primary partitions, the extended one included";
        return "";
    }

    std::string expect_logical(const kv::Partition& m, uint64_t last) const {
        const kv::Partition* e = nullptr;
        int logicals = 0;
        for (const kv::Partition& p : all_) {
            if (p.kind == PartitionKind::Extended && e == nullptr) e = &p;
            if (p.kind == PartitionKind::Logical) logicals++;
        }
        bool too_many = 2 * all_.size() + 2 > 512 || logicals >= 128;
        if (e != nullptr) {
            if (e->start >= m.start || last_block_of(*e) < last)
                return "the partition does not fit in the extended partition";
            if (too_many) return "too many partitions";
            // The partition and the block before it must be clear of the
            // first EBR and of every logical partition with its own EBR.
            bool clear = !(m.start - 1 <= e->start && e->start <= last);
            for (const kv::Partition& p : all_)
                if (p.kind == PartitionKind::Logical && p.start - 1 <= last &&
                    m.start - 1 <= last_block_of(p))
                    clear = false;
            return clear ? ""
                         : "the partition overlaps another one, or leaves no room for its table";
        }
        if (number_used(1) && number_used(2) && number_used(3) && number_used(4))
            return "no room for an extended partition: the MBR already has four partitions";
        if (too_many) return "too many partitions";
        if (intersects(m.start, last, false)) return "the partition does not fit in a free area";
        uint64_t gap_first = 1;
        for (const kv::Partition& p : all_)
            if (p.kind != PartitionKind::Logical && last_block_of(p) < m.start)
                gap_first = std::max(gap_first, last_block_of(p) + 1);
        uint64_t unit = kv::blocks_per_mib(&t_);
        uint64_t extended_start = (gap_first + unit - 1) / unit * unit;
        if (extended_start >= m.start)
            return "a logical partition must start at least 1 MiB into the free area";
        return "";
    }

    kv::PartitionTable t_;
    std::vector<kv::Partition> all_;
};

struct Config {
    uint32_t block_size;
    uint64_t blocks;
    const char* label;
};

const Config kConfigs[] = {
    {512, (16ULL << 20) / 512 + 77, "small"},    {512, (1ULL << 30) / 512 + 13, "1 GiB"},
    {512, k32BitBlocks + 12345, "beyond 2 TiB"}, {4096, (16ULL << 20) / 4096 + 77, "small"},
    {4096, (1ULL << 30) / 4096 + 13, "1 GiB"},   {4096, k32BitBlocks + 12345, "beyond 2 TiB"},
};

// Error texts seen over all runs of one table kind, how many of each kind of
// edit were accepted, and the largest table reached.
struct Coverage {
    std::set<std::string> errors;
    std::map<EditKind, int> accepted;
    int largest_table = 0;
};

class EditPropertyTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { kv::table_free(&table_); }

    // The edit did what it asked for and nothing else.
    std::string check_effects(const std::vector<kv::Partition>& before, const Edit& e) {
        std::vector<kv::Partition> now(table_.partitions,
                                       table_.partitions + table_.partition_count);
        if (!table_.dirty) return "accepted edit left the table clean";
        auto find_number = [&](const std::vector<kv::Partition>& v, int32_t n) {
            auto it = std::find_if(v.begin(), v.end(),
                                   [n](const kv::Partition& p) { return p.number == n; });
            return it == v.end() ? nullptr : &*it;
        };
        switch (e.kind) {
        case EditKind::NewTable:
            if (!now.empty() || table_.kind != e.table_kind) return "new table not empty";
            return "";
        case EditKind::AddPrimary:
        case EditKind::AddLogical:
        case EditKind::AddGpt: {
            bool created_extended =
                table_.kind == TableKind::Mbr && e.model.kind == PartitionKind::Logical &&
                std::none_of(before.begin(), before.end(), [](const kv::Partition& p) {
                    return p.kind == PartitionKind::Extended;
                });
            if (now.size() != before.size() + (created_extended ? 2 : 1))
                return "add changed the count by the wrong amount";
            auto added = std::find_if(now.begin(), now.end(), [&](const kv::Partition& p) {
                return p.start == e.model.start && p.size == e.model.size && p.changed;
            });
            if (added == now.end()) return "added partition not found";
            PartitionKind want =
                table_.kind == TableKind::Mbr && e.model.kind == PartitionKind::Logical
                    ? PartitionKind::Logical
                    : PartitionKind::Primary;
            if (added->kind != want) return "added partition of the wrong kind";
            if (table_.kind == TableKind::Gpt
                    ? std::memcmp(added->type_guid, e.model.type_guid, 16) != 0
                    : added->mbr_type != e.model.mbr_type)
                return "added partition of the wrong type";
            if (table_.kind == TableKind::Mbr && added->active != e.model.active)
                return "added partition lost its active flag";
            for (const kv::Partition& p : before)
                if (std::none_of(now.begin(), now.end(), [&](const kv::Partition& q) {
                        return q.start == p.start && q.size == p.size;
                    }))
                    return "add lost another partition";
            return "";
        }
        case EditKind::Delete: {
            const kv::Partition* gone = find_number(before, e.number);
            if (gone == nullptr) return "deleted a partition that did not exist";
            size_t removed = 1;
            if (gone->kind == PartitionKind::Extended)
                removed += std::count_if(before.begin(), before.end(), [](const kv::Partition& p) {
                    return p.kind == PartitionKind::Logical;
                });
            if (now.size() + removed != before.size()) return "delete removed the wrong count";
            for (const kv::Partition& p : now)
                if (p.start == gone->start && p.size == gone->size && p.kind == gone->kind)
                    return "deleted partition still there";
            return "";
        }
        case EditKind::SetType: {
            const kv::Partition* p = find_number(now, e.number);
            if (p == nullptr || !p->changed) return "typed partition missing or unmarked";
            bool stored = table_.kind == TableKind::Gpt
                              ? std::memcmp(p->type_guid, e.type_guid.data(), 16) == 0
                              : p->mbr_type == e.type_byte;
            return stored ? "" : "type not stored";
        }
        case EditKind::SetName: {
            const kv::Partition* p = find_number(now, e.number);
            if (p == nullptr || !p->changed) return "named partition missing or unmarked";
            std::string stored = p->name;
            if (e.name.compare(0, stored.size(), stored) != 0) return "name not a prefix";
            if (e.name.size() <= sizeof p->name - 1 && stored != e.name) return "name cut";
            return "";
        }
        case EditKind::SetActive: {
            const kv::Partition* p = find_number(now, e.number);
            if (p == nullptr || p->active != e.flag || !p->changed) return "flag not stored";
            return "";
        }
        }
        return "unknown edit";
    }

    // Runs one long sequence on a fresh disk; stops at the first fault with
    // the edits that led to it.
    void run(TableKind kind, const Config& c, Coverage* cov) {
        SCOPED_TRACE(std::string(kv::table_kind_label(kind)) + ", " + std::to_string(c.block_size) +
                     "-byte blocks, " + c.label);
        kv::table_free(&table_);
        kvtest::SizedDevice disk(c.block_size, c.blocks, 99);
        kvtest::RandomEditOptions options;
        options.kind = kind;
        options.delete_table_per_mille = 1;
        uint64_t seed = c.blocks * 31 + c.block_size + static_cast<uint64_t>(kind);
        kvtest::RandomEditor editor(seed, &table_, disk.device(), options);

        std::deque<std::string> recent;
        auto history = [&] {
            std::string out;
            for (const std::string& line : recent)
                out += "\n  " + line;
            return out;
        };
        int accepted_adds = 0;
        for (int step = 0; step < kStepsPerRun; step++) {
            kvtest::TableSnapshot snapshot(table_);
            std::vector<kv::Partition> before(table_.partitions,
                                              table_.partitions + table_.partition_count);
            AddOracle oracle(table_);
            Edit e = editor.step();
            recent.push_back(std::to_string(step) + ": " + e.describe());
            if (recent.size() > 12) recent.pop_front();

            std::string answer = e.result == nullptr ? "" : e.result;
            if (e.result != nullptr) {
                ASSERT_EQ(snapshot.difference(table_), "")
                    << "refusal changed the table" << history();
            } else {
                ASSERT_EQ(check_effects(before, e), "") << history();
            }
            if (e.is_add()) {
                ASSERT_EQ(answer, oracle.expect(e.model)) << history();
            }
            ASSERT_EQ(kvtest::invariant_violation(table_), "") << history();

            if (e.result != nullptr)
                cov->errors.insert(e.result);
            else
                cov->accepted[e.kind]++;
            if (e.is_add() && e.result == nullptr) accepted_adds++;
            cov->largest_table = std::max(cov->largest_table, (int)table_.partition_count);
        }
        EXPECT_GT(accepted_adds, 50);
    }

    kv::PartitionTable table_{};
};

// The sequences must reach the rules they are meant to probe, or a generator
// that drifted into trivial edits would pass unnoticed.
void expect_reached(const Coverage& cov, const std::set<std::string>& rules) {
    for (const std::string& rule : rules)
        EXPECT_TRUE(cov.errors.count(rule)) << "never refused with: " << rule;
}

TEST_F(EditPropertyTest, RandomMbrEditsKeepTheTableSound) {
    Coverage cov;
    for (const Config& c : kConfigs) {
        run(TableKind::Mbr, c, &cov);
        if (HasFatalFailure()) return;
    }
    expect_reached(cov, {
                            "the size is zero",
                            "the partition goes beyond the end of the disk",
                            "choose a partition type",
                            "the extended partition is created by adding a logical partition",
                            "an MBR cannot address beyond 2 TiB: use GPT",
                            "block 0 holds the partition table",
                            "the partition overlaps another one",
                            "an MBR holds at most four primary partitions, the extended one "
                            "included",
                            "the partition does not fit in the extended partition",
                            "the partition overlaps another one, or leaves no room for its table",
                            "no room for an extended partition: the MBR already has four "
                            "partitions",
                            "the partition does not fit in a free area",
                            "a logical partition must start at least 1 MiB into the free area",
                            "there is no such partition",
                            "the extended partition can only have an extended type",
                            "only the extended partition can have an extended type",
                            "only GPT partitions have a name",
                            "the extended partition cannot be active",
                        });
    for (EditKind k : {EditKind::AddPrimary, EditKind::AddLogical, EditKind::Delete,
                       EditKind::SetType, EditKind::SetActive})
        EXPECT_GT(cov.accepted[k], 50) << kvtest::edit_kind_name(k);
    EXPECT_GE(cov.largest_table, 12);
}

TEST_F(EditPropertyTest, RandomGptEditsKeepTheTableSound) {
    Coverage cov;
    for (const Config& c : kConfigs) {
        run(TableKind::Gpt, c, &cov);
        if (HasFatalFailure()) return;
    }
    expect_reached(cov, {
                            "the size is zero",
                            "the partition goes beyond the end of the disk",
                            "choose a partition type",
                            "the partition lies outside the usable area of the disk",
                            "the partition overlaps another one",
                            "the partition table is full",
                            "the name is too long (at most 36 characters)",
                            "there is no such partition",
                            "only MBR partitions have the active flag",
                        });
    for (EditKind k : {EditKind::AddGpt, EditKind::Delete, EditKind::SetType, EditKind::SetName})
        EXPECT_GT(cov.accepted[k], 50) << kvtest::edit_kind_name(k);
    EXPECT_EQ(cov.largest_table, 128);
}

} // namespace

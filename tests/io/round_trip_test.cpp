// Random edit sequences, each written and read back: whatever the editing
// operations accept, the writer must put on the disk so that the reader finds
// exactly that table again, with no notes. Every sequence continues from the
// table read back, as the program does after a write, over whatever the
// earlier writes left on the disk (stale EBRs, old GPT copies).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "io/write_table.h"
#include "sim/memdisk.h"
#include "tests/edit/random_edits.h"
#include "tests/io/write_fixture.h"

namespace {

using kv::TableKind;

// What a run went through, so that a generator that stopped making tables
// cannot pass for a writer that works.
struct Coverage {
    int edits = 0;
    int accepted = 0;
    int most_partitions = 0;
    int most_logicals = 0;
};

class RoundTrip : public kvtest::WriteTableTest {
  protected:
    // Runs `sequences` random edit sequences of 1 to 80 edits on `device`,
    // writing and comparing after each.
    Coverage run(TableKind kind, const kv::BlockDevice* device, uint64_t seed, int sequences) {
        kvtest::RandomEditOptions options;
        options.kind = kind;
        options.new_table_per_mille = 2;
        options.delete_table_per_mille = 1;
        // Not the table of the previous run's disk: a new table keeps the
        // fingerprint of the disk it was read from.
        kv::table_free(&table_);
        kv::new_table(&table_, device, kind);
        kvtest::RandomEditor editor(seed, &table_, device, options);
        std::mt19937_64 lengths(seed);
        Coverage seen;
        for (int s = 0; s < sequences; s++) {
            std::ostringstream log;
            int length = 1 + static_cast<int>(lengths() % 80);
            for (int i = 0; i < length; i++) {
                kvtest::Edit edit = editor.step();
                log << edit.describe() << "\n";
                if (edit.result == nullptr) seen.accepted++;
            }
            seen.edits += length;
            int logicals = 0;
            for (int32_t i = 0; i < table_.partition_count; i++)
                if (table_.partitions[i].kind == kv::PartitionKind::Logical) logicals++;
            seen.most_partitions = std::max(seen.most_partitions, table_.partition_count);
            seen.most_logicals = std::max(seen.most_logicals, logicals);

            kv::ErrorCode rc = kv::write_table(device, &table_);
            if (rc != kv::ERR_OK) {
                ADD_FAILURE() << "sequence " << s << " not written: " << kv::error_text(rc) << "\n"
                              << log.str();
                return seen;
            }
            EXPECT_EQ(read_back(device), kv::ERR_OK);
            std::vector<std::string> differences = kvtest::table_differences(table_, back_);
            std::vector<std::string> found = notes(back_);
            if (!differences.empty() || !found.empty()) {
                ADD_FAILURE() << "sequence " << s << ": " << ::testing::PrintToString(differences)
                              << " notes " << ::testing::PrintToString(found) << "\n"
                              << log.str();
                return seen;
            }
            // Carry on from the disk, as the program does after a write.
            std::swap(table_, back_);
        }
        return seen;
    }

    void expect_coverage(const Coverage& seen, bool logicals) {
        EXPECT_GE(seen.edits, 2000);
        EXPECT_GE(seen.accepted, 500);
        EXPECT_GE(seen.most_partitions, 20);
        if (logicals) {
            EXPECT_GE(seen.most_logicals, 10);
        }
        RecordProperty("edits", seen.edits);
        RecordProperty("accepted", seen.accepted);
    }
};

TEST_F(RoundTrip, MbrOn512ByteBlocks) {
    sim::MemDisk disk(512, 131072); // 64 MiB
    expect_coverage(run(TableKind::Mbr, disk.device(), 11, 60), true);
}

TEST_F(RoundTrip, MbrOn4096ByteBlocks) {
    sim::MemDisk disk(4096, 32768); // 128 MiB
    expect_coverage(run(TableKind::Mbr, disk.device(), 12, 60), true);
}

TEST_F(RoundTrip, GptOn512ByteBlocks) {
    sim::MemDisk disk(512, 131072);
    expect_coverage(run(TableKind::Gpt, disk.device(), 13, 60), false);
}

TEST_F(RoundTrip, GptOn4096ByteBlocks) {
    sim::MemDisk disk(4096, 32768);
    expect_coverage(run(TableKind::Gpt, disk.device(), 14, 60), false);
}

// Disks beyond 2 TiB, where MBR partitions end on both sides of block 2^32
// and the protective MBR stops at 32 bits.
TEST_F(RoundTrip, LargeSparseDisks) {
    for (uint32_t block_size : {512u, 4096u}) {
        SCOPED_TRACE(block_size);
        kvtest::SparseDisk mbr(block_size, (1ull << 32) + 4096);
        run(TableKind::Mbr, mbr.device(), 21 + block_size, 15);
        kvtest::SparseDisk gpt(block_size, 1ull << 34);
        run(TableKind::Gpt, gpt.device(), 23 + block_size, 15);
    }
}

} // namespace

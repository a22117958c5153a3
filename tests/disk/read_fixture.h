// A fixture for tests that read tables from a sim::MemDisk: fresh firmware
// per test, the read counted from zero, and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/read_table.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace kvtest {

using Notes = std::vector<std::string>;

class ReadTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        kv::table_free(&table_);
        // Every block buffer the reader took is gone again.
        EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    }

    // Reads the disk into table_ with the device's counters at zero.
    kv::ErrorCode read(sim::MemDisk& disk) {
        kv::clear_partitions(&table_);
        disk.reset_stats();
        return kv::read_table(disk.device(), &table_);
    }

    Notes notes() const {
        Notes out;
        for (int i = 0; i < table_.note_count; i++)
            out.push_back(table_.notes[i].text);
        return out;
    }

    const kv::Partition& part(int i) const { return table_.partitions[i]; }

    std::vector<int> numbers() const {
        std::vector<int> out;
        for (int i = 0; i < table_.partition_count; i++)
            out.push_back(table_.partitions[i].number);
        return out;
    }

    kv::PartitionTable table_{};
    size_t baseline_ = 0;
};

} // namespace kvtest

// Shared pieces of the volume and file tests: scratch host directories that
// back simulated volumes, and a fixture with fresh firmware, the loaded
// image bound and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/globals.h"
#include "platform/volumes.h"
#include "sim/files.h"
#include "sim/firmware.h"

namespace kvtest {

// A fresh directory under the host's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvfs-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (!mkdtemp(buffer.data())) ADD_FAILURE() << "mkdtemp failed";
        path_ = buffer.data();
    }
    ~TempDir() {
        std::error_code ec;
        // Read-only entries are made writable first so that removal works
        // for an unprivileged user too.
        for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

    void write(const std::string& relative, const std::string& bytes) const {
        std::filesystem::path p = path_ / relative;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }
    std::string read(const std::string& relative) const {
        std::ifstream in(path_ / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void mkdir(const std::string& relative) const {
        std::filesystem::create_directories(path_ / relative);
    }
    bool exists(const std::string& relative) const {
        return std::filesystem::exists(path_ / relative);
    }

  private:
    std::filesystem::path path_;
};

// PciRoot(0x0)/Pci(0x14,0x0)/USB(0x<port>,0x0): texts that sort by port
// below 10.
inline sim::PathBytes usb_path(uint8_t port) {
    return sim::dp::path({sim::dp::pci_root(), sim::dp::pci(0x14, 0), sim::dp::usb(port)});
}

// Fresh firmware with the program's loaded image bound, as start-up leaves
// it. Checks at the end that the test left no pool block and no file open.
class VolumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::g_loaded_image = sim::loaded_image();
        pool_before_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        kv::volume_release();
        EXPECT_EQ(sim::pool_blocks_live(), pool_before_) << "pool blocks leaked";
        for (EFI_HANDLE v : volumes_)
            EXPECT_EQ(sim::open_file_count(v), 0u) << "a file was left open";
    }

    // A volume over a new scratch directory.
    EFI_HANDLE add(const sim::VolumeConfig& config = {}) {
        dirs_.push_back(std::make_unique<TempDir>());
        EFI_HANDLE v = sim::add_volume(dirs_.back()->str(), config);
        volumes_.push_back(v);
        return v;
    }
    const TempDir& dir(size_t i = 0) const { return *dirs_.at(i); }

  private:
    std::vector<std::unique_ptr<TempDir>> dirs_;
    std::vector<EFI_HANDLE> volumes_;
    size_t pool_before_ = 0;
};

} // namespace kvtest

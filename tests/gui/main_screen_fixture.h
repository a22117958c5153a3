// A running main screen for the tests: disks through the simulated
// firmware, the simulated screen taken over, the GuiState built as the
// event loop builds it, and the serial trace of each render.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "disk/summary.h"
#include "disk/view.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/gui_state.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "platform/disks.h"
#include "platform/globals.h"
#include "sim/disks.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/serial.h"
#include "tests/disk/image_builder.h"

namespace kvtest {

const Guid kSwapType = guid("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F");
const Guid kBasicDataType = guid("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");

inline GptEntry named_entry(uint32_t index, const Guid& type, uint64_t first, uint64_t last,
                            const std::u16string& name) {
    GptEntry e;
    e.index = index;
    e.type = type;
    e.unique = guid("5A1E0000-0000-4000-8000-0000000000" + std::to_string(10 + index));
    e.first = first;
    e.last = last;
    e.name = name;
    return e;
}

// 64 MiB: an EFI system partition, swap, a Linux root, a data partition
// named with a long name, a gap, and a 1-block partition at the end;
// without the protective MBR and the backup copy, so the table has notes.
inline std::unique_ptr<sim::MemDisk> gpt_disk_with_notes() {
    auto image = std::make_unique<sim::MemDisk>(512, 131072);
    GptPlan plan;
    plan.protective_mbr = false;
    plan.backup = false;
    plan.entries = {
        named_entry(0, kEspType, 2048, 22527, u"EFI system"),
        named_entry(1, kSwapType, 22528, 38911, u"swap"),
        named_entry(2, kLinuxDataType, 38912, 88063, u"root"),
        named_entry(3, kBasicDataType, 88064, 120831,
                    u"shared data for every system on this machine"),
        named_entry(4, kLinuxDataType, 126976, 126976, u"tiny"),
    };
    write_gpt(*image, plan);
    return image;
}

// 64 MiB MBR: an active FAT primary, a Linux primary, and an extended
// partition with three logicals (Linux, swap, Linux) and free room inside.
inline std::unique_ptr<sim::MemDisk> mbr_disk_with_logicals() {
    auto image = std::make_unique<sim::MemDisk>(512, 131072);
    write_mbr(*image, {MbrEntry{0x80, 0x0C, 2048, 16384}, MbrEntry{0x00, 0x83, 18432, 20480},
                       MbrEntry{0x00, 0x05, 40960, 131072 - 40960}});
    write_ebr_chain(*image, 40960,
                    {Logical{40960, 43008, 20480}, Logical{63488, 65536, 8192, 0x82},
                     Logical{75776, 77824, 30720}});
    return image;
}

class MainScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::trace_reset();
        ASSERT_TRUE(kv::font_load());
        port_ = sim::add_serial_port();
        sim::set_console_out({sim::gop_console_path(), sim::serial_console_path()});
    }

    void TearDown() override {
        kv::view_close(&gui_.view);
        kv::canvas_free(&gui_.back);
        kv::canvas_free(&gui_.pointer);
        kv::release_summaries();
        kv::release_disks();
        kv::graphics_end();
        kv::g_loaded_image = nullptr;
    }

    // A virtio disk in PCI slot `slot`; slots 2 to 9 keep the names in order.
    static EFI_HANDLE add_disk(int slot, std::unique_ptr<sim::MemDisk> image,
                               bool read_only = false) {
        sim::BlockDiskConfig c;
        c.pci_device = slot;
        c.read_only = read_only;
        return sim::add_block_disk(std::move(image), c);
    }

    static void start_from(EFI_HANDLE disk) {
        kv::g_loaded_image = sim::loaded_image();
        sim::loaded_image()->DeviceHandle = disk;
    }

    // Takes over a w x h screen, finds the disks and opens disk `current`.
    void start(uint32_t w, uint32_t h, int current = 0) {
        sim::set_display(w, h);
        int32_t width = 0, height = 0;
        ASSERT_TRUE(kv::graphics_start(&width, &height));
        gui_.width = width;
        gui_.height = height;
        ASSERT_TRUE(kv::canvas_init(&gui_.back, width, height));
        gui_.scale = kv::screen_scale(height);
        ASSERT_TRUE(kv::pointer_canvas_init(&gui_.pointer, gui_.scale));
        gui_.disk_count = kv::discover_disks(&gui_.disks);
        gui_.summaries = kv::summarize_disks(gui_.disks, gui_.disk_count);
        gui_.current_disk = current;
        gui_.hovered_button = -1;
        if (current < gui_.disk_count) {
            ASSERT_TRUE(kv::view_open(&gui_.view, &gui_.disks[current]));
        }
    }

    // Renders and returns the lines it traced, without "gui: " and CR LF.
    std::vector<std::string> render() {
        size_t before = sim::serial_output(port_).size();
        kv::render_main_screen(&gui_);
        kv::trace_flush();
        std::string bytes = sim::serial_output(port_).substr(before);
        std::vector<std::string> lines;
        size_t at = 0;
        for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2) {
            std::string line = bytes.substr(at, end - at);
            EXPECT_EQ(line.rfind("gui: ", 0), 0u) << line;
            lines.push_back(line.substr(5));
        }
        EXPECT_EQ(at, bytes.size()) << "a trace line without CR LF";
        return lines;
    }

    kv::GuiState gui_{};
    EFI_HANDLE port_ = nullptr;
};

} // namespace kvtest

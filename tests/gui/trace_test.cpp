#include "gui/trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/firmware.h"
#include "sim/serial.h"

namespace {

const EFI_GUID kGlobal = EFI_GLOBAL_VARIABLE_GUID;

class Trace : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::trace_reset();
    }

    // The usual console: the screen first, the serial terminal second.
    EFI_HANDLE serial_console() {
        EFI_HANDLE port = sim::add_serial_port();
        sim::set_console_out({sim::gop_console_path(), sim::serial_console_path()});
        return port;
    }

    // What the port received once every waiting line went out.
    static std::string sent(EFI_HANDLE port) {
        kv::trace_flush();
        return sim::serial_output(port);
    }

    static std::vector<std::string> lines(const std::string& bytes) {
        std::vector<std::string> out;
        size_t at = 0;
        for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
            out.push_back(bytes.substr(at, end - at));
        EXPECT_EQ(at, bytes.size()) << "output does not end with CR LF";
        return out;
    }
};

TEST_F(Trace, LineIsPrefixedAndEndsWithCarriageReturnLineFeed) {
    EFI_HANDLE port = serial_console();
    kv::trace("window %dx%d font %d", 1920, 1080, 26);
    EXPECT_EQ(sent(port), "gui: window 1920x1080 font 26\r\n");
    EXPECT_EQ(sim::pool_blocks_live(), 0u);
}

TEST_F(Trace, PortIsFoundFromEachShapeOfTheConsoleVariable) {
    struct Shape {
        const char* what;
        std::vector<sim::PathBytes> instances;
        bool found;
    };
    sim::PathBytes no_uart = sim::dp::path({sim::dp::pci_root(), sim::dp::pci(0x1F, 0)});
    std::vector<Shape> shapes = {
        {"serial alone", {sim::serial_console_path()}, true},
        {"serial second", {sim::gop_console_path(), sim::serial_console_path()}, true},
        {"serial third", {no_uart, sim::gop_console_path(), sim::serial_console_path()}, true},
        {"no UART node", {sim::gop_console_path(), no_uart}, false},
        // A UART whose port is not there: the walk goes on to the next one.
        {"absent port first", {sim::serial_console_path(7), sim::serial_console_path()}, true},
        {"absent port only", {sim::serial_console_path(7)}, false},
    };
    for (const Shape& s : shapes) {
        sim::reset();
        kv::trace_reset();
        EFI_HANDLE port = sim::add_serial_port();
        sim::set_console_out(s.instances);
        kv::trace("shown");
        EXPECT_EQ(sent(port), s.found ? "gui: shown\r\n" : "") << s.what;
        EXPECT_EQ(sim::pool_blocks_live(), 0u) << s.what;
    }
}

TEST_F(Trace, MalformedVariablesEndTheWalkSafely) {
    sim::PathBytes serial = sim::serial_console_path();
    sim::PathBytes bare = sim::dp::without_end(serial);
    auto with = [&](sim::PathBytes bytes, std::initializer_list<uint8_t> tail) {
        bytes.insert(bytes.end(), tail);
        return bytes;
    };
    sim::PathBytes uart_cut = sim::dp::path({sim::dp::pci_root(), sim::dp::pci(0x1F, 0)});
    uart_cut.resize(uart_cut.size() - 4);
    sim::PathBytes uart = sim::uart_node();
    uart_cut.insert(uart_cut.end(), uart.begin(), uart.end() - 1); // UART node cut short
    struct Shape {
        const char* what;
        std::vector<uint8_t> bytes;
        bool found;
    } shapes[] = {
        {"empty", {}, false},
        {"zero-length node first", with({}, {0x03, 0x0E, 0x00, 0x00}), false},
        {"UART cut short", uart_cut, false},
        {"three bytes", {0x03, 0x0E, 0x13}, false},
        // The UART comes before the damage, so the port is still found, and
        // the firmware gets a path that ends where the walk stopped.
        {"no end node", bare, true},
        {"node running past the end", with(bare, {0x04, 0x04, 0xC8, 0x00, 0x00}), true},
        {"length below the header", with(bare, {0x04, 0x04, 0x02, 0x00}), true},
    };
    for (const Shape& s : shapes) {
        sim::reset();
        kv::trace_reset();
        EFI_HANDLE port = sim::add_serial_port();
        sim::set_variable(u"ConOut", kGlobal, s.bytes);
        kv::trace("shown");
        EXPECT_EQ(sent(port), s.found ? "gui: shown\r\n" : "") << s.what;
    }
}

TEST_F(Trace, WithoutAPortEverythingIsDroppedAndThePortIsNotSoughtAgain) {
    kv::trace("shown"); // no ConOut variable at all
    EFI_HANDLE port = serial_console();
    kv::trace("shown");
    EXPECT_FALSE(kv::trace_pending());
    EXPECT_EQ(sent(port), "");
    EXPECT_EQ(sim::serial_writes(port), 0u);

    kv::trace_reset();
    sim::fail_serial_writes(port, true);
    kv::trace("shown"); // a failing port is not noticed
    kv::trace_flush();
    sim::fail_serial_writes(port, false);
    kv::trace("dialog closed");
    EXPECT_EQ(sent(port), "gui: dialog closed\r\n");
}

TEST_F(Trace, LongLinesAreCutAt394BytesOnACharacterBoundary) {
    EFI_HANDLE port = serial_console();
    std::string long_text(500, 'x');
    kv::trace("note %s", long_text.c_str());
    // "é" (2 bytes) and "€" (3 bytes) straddling the cut are left out whole.
    std::string straddle2 = std::string(393, 'a') + "\xC3\xA9";
    std::string straddle3 = std::string(392, 'b') + "\xE2\x82\xAC" + "tail";
    std::string exact = std::string(392, 'c') + "\xC3\xA9" + "after";
    kv::trace("%s", straddle2.c_str());
    kv::trace("%s", straddle3.c_str());
    kv::trace("%s", exact.c_str());
    std::vector<std::string> got = lines(sent(port));
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "gui: note " + std::string(389, 'x'));
    EXPECT_EQ(got[1], "gui: " + std::string(393, 'a'));
    EXPECT_EQ(got[2], "gui: " + std::string(392, 'b'));
    EXPECT_EQ(got[3], "gui: " + std::string(392, 'c') + "\xC3\xA9");
}

TEST_F(Trace, ControlCharactersInTextsCannotForgeLines) {
    EFI_HANDLE port = serial_console();
    // A GPT partition name as it comes from the disk.
    const char* name = "\r\ngui: dbutton Y Yes at 1,1";
    kv::TraceRow row = {"1", "2048", "1.0 MiB", "Linux filesystem", name, false, true, 320,
                        240, 100,    5};
    kv::trace_row(row);
    kv::trace_message("tab\there\x7F"
                      "bell\x07 end\xC3\xA9");
    std::vector<std::string> got = lines(sent(port));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "gui: row 1 2048 1.0 MiB Linux filesystem   gui: dbutton Y Yes at 1,1 at "
                      "320,240 bar 100,5");
    EXPECT_EQ(got[1], "gui: message tab here bell  end\xC3\xA9");
}

TEST_F(Trace, LineKindsKeepTheirFormats) {
    EFI_HANDLE port = serial_console();
    kv::trace_pointer_devices("firmware 0, korvane's USB driver 1");
    kv::trace_window(1920, 1080, 26);
    kv::trace_disk("blk0", "NVMe", "512.0 GiB", "GPT, 3 partitions", nullptr, true, 110, 57);
    kv::trace_disk("blk1", "USB", "7.5 GiB", "no table", "write-protected", false, 110, 99);
    kv::trace_shows("blk0", "NVMe", "512.0 GiB", "GPT", true);
    kv::trace_shows("blk2", "disk", "1.0 MiB", "unreadable", false);
    kv::TraceRow hidden = {"", "4096", "2.0 MiB", "free space", "", true, false, 0, 0, 700, 80};
    kv::trace_row(hidden);
    kv::trace_note("The backup GPT header is damaged.");
    kv::trace_button("N", "New", 40, 1000, true);
    kv::trace_button("F5", "Rescan", 900, 1000, false);
    kv::trace_buttons(2, 1890);
    kv::trace_focus(true);
    kv::trace_focus(false);
    kv::trace_pointer(-1, 1079);
    kv::trace_shown();
    kv::trace_dialog("Write table", true, "Write the GPT table?\nThis cannot be undone.");
    kv::trace_dialog("Type", false, "");
    kv::trace_dbutton("Y", "Yes", 800, 600);
    kv::trace_field("fs0:\\korvane-blk0.bin");
    kv::trace_item("EFI System", 960, 420, true);
    kv::trace_item("Linux swap", 960, 446, false);
    kv::trace_dialog_shown();
    kv::trace_dialog_closed();
    kv::trace_wipe("Wiping blk0p2", 2, 45, "1.2 GiB of 2.0 GiB, 150 MiB/s", 960, 700);
    kv::trace_closed(true);
    kv::trace_closed(false);
    std::vector<std::string> expected = {
        "gui: pointer devices: firmware 0, korvane's USB driver 1",
        "gui: window 1920x1080 font 26",
        "gui: disk blk0 NVMe 512.0 GiB GPT, 3 partitions < at 110,57",
        "gui: disk blk1 USB 7.5 GiB no table, write-protected at 110,99",
        "gui: shows blk0 NVMe 512.0 GiB GPT *",
        "gui: shows blk2 disk 1.0 MiB unreadable",
        "gui: row  4096 2.0 MiB free space < bar 700,80",
        "gui: note The backup GPT header is damaged.",
        "gui: button N New at 40,1000 hover",
        "gui: button F5 Rescan at 900,1000",
        "gui: buttons 2 rows, right edge 1890",
        "gui: focus disks",
        "gui: focus partitions",
        "gui: pointer -1,1079",
        "gui: shown",
        "gui: dialog Write table (warning): Write the GPT table? This cannot be undone.",
        "gui: dialog Type: ",
        "gui: dbutton Y Yes at 800,600",
        "gui: field fs0:\\korvane-blk0.bin",
        "gui: item EFI System at 960,420 <",
        "gui: item Linux swap at 960,446",
        "gui: dialog shown",
        "gui: dialog closed",
        "gui: wipe Wiping blk0p2 pass 2 45% 1.2 GiB of 2.0 GiB, 150 MiB/s stop at 960,700",
        "gui: closed, text cursor on",
        "gui: closed, text cursor off",
    };
    EXPECT_EQ(lines(sent(port)), expected);
}

} // namespace

#include "gui/pointer.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware.h"
#include "sim/input_devices.h"

namespace {

const EFI_GUID kUsbIo = EFI_USB_IO_PROTOCOL_GUID;
// One tick of the simulated boot mouse's 10 ms interrupt transfer.
constexpr uint64_t kTick = 100000;

class Pointers : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { kv::pointer_close(); }

    static void ticks(int n) { sim::advance_100ns(uint64_t(n) * kTick); }

    static kv::PointerEvent poll(bool* got = nullptr) {
        kv::PointerEvent e;
        bool g = kv::pointer_poll(&e);
        if (got) *got = g;
        return e;
    }
};

TEST_F(Pointers, NothingFoundCountsZeroOfEach) {
    EXPECT_EQ(kv::pointer_open(), 0);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 0, korvane's USB driver 0");
    bool got = true;
    poll(&got);
    EXPECT_FALSE(got);
}

TEST_F(Pointers, TakesFirmwarePointersWithDevicePathsUpToEightOfEachKind) {
    sim::SimplePointerConfig virtual_pointer;
    virtual_pointer.has_device_path = false;
    EFI_HANDLE merged = sim::add_simple_pointer(virtual_pointer);
    std::vector<EFI_HANDLE> simple, absolute;
    for (int i = 0; i < 9; i++) {
        simple.push_back(sim::add_simple_pointer({}));
        absolute.push_back(sim::add_absolute_pointer({}));
    }
    EXPECT_EQ(kv::pointer_open(), 16);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 16, korvane's USB driver 0");
    EXPECT_EQ(sim::pointer_resets(merged), 0u);
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(sim::pointer_resets(simple[i]), 1u) << i;
        EXPECT_EQ(sim::pointer_resets(absolute[i]), 1u) << i;
    }
    EXPECT_EQ(sim::pointer_resets(simple[8]), 0u);
    EXPECT_EQ(sim::pointer_resets(absolute[8]), 0u);

    // The ninth of each kind and the merged pointer are never asked.
    sim::push_simple_state(merged, {100, 0, 0, FALSE, FALSE});
    sim::push_simple_state(simple[8], {100, 0, 0, FALSE, FALSE});
    sim::push_simple_state(simple[0], {3, 4, 0, FALSE, TRUE});
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_EQ(e.dx, 3);
    EXPECT_EQ(e.dy, 4);
    EXPECT_TRUE(e.right);
    EXPECT_EQ(sim::pointer_states_left(merged), 1u);
    EXPECT_EQ(sim::pointer_states_left(simple[8]), 1u);
}

TEST_F(Pointers, FirmwareOwnedUsbMouseIsCountedOnceAsAFirmwarePointer) {
    sim::add_simple_pointer({}); // what the firmware's USB mouse driver publishes
    sim::UsbDeviceConfig owned = sim::usb_boot_mouse();
    owned.driver_owned = true;
    sim::UsbDevice mouse = sim::add_usb_device(owned);
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 1, korvane's USB driver 0");
    EXPECT_TRUE(sim::usb_control_requests(mouse).empty());
    EXPECT_FALSE(sim::usb_transfer_running(mouse));
}

TEST_F(Pointers, UsbBootMouseIsSwitchedToBootProtocolAndPolled) {
    sim::UsbDeviceConfig c = sim::usb_boot_mouse();
    c.interface_number = 2;
    // Endpoints before the right one: a bulk IN and an interrupt OUT.
    c.endpoints = {{0x82, 2, 64, 0}, {0x03, 3, 8, 4}, {0x84, 3, 6, 7}, {0x85, 3, 8, 1}};
    sim::UsbDevice mouse = sim::add_usb_device(c);
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 0, korvane's USB driver 1");
    EXPECT_EQ(sim::open_count(sim::usb_handle(mouse), kUsbIo), 1u);

    const auto& requests = sim::usb_control_requests(mouse);
    ASSERT_EQ(requests.size(), 2u);
    const uint8_t expected_request[] = {0x0B, 0x0A}; // SET_PROTOCOL, then SET_IDLE
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(requests[i].request.RequestType, 0x21);
        EXPECT_EQ(requests[i].request.Request, expected_request[i]);
        EXPECT_EQ(requests[i].request.Value, 0);
        EXPECT_EQ(requests[i].request.Index, 2);
        EXPECT_EQ(requests[i].request.Length, 0);
        EXPECT_EQ(requests[i].direction, EfiUsbNoData);
        EXPECT_EQ(requests[i].timeout_ms, 100u);
        EXPECT_EQ(requests[i].data_length, 0u);
    }
    EXPECT_EQ(sim::usb_transfer_endpoint(mouse), 0x84);
    EXPECT_EQ(sim::usb_transfer_interval(mouse), 7u);
    EXPECT_EQ(sim::usb_transfer_length(mouse), 6u);
}

TEST_F(Pointers, UsbEndpointWithoutIntervalOrPacketSizeGetsEightOfEach) {
    sim::UsbDeviceConfig c = sim::usb_boot_mouse();
    c.endpoints = {{0x81, 3, 0, 0}};
    sim::UsbDevice mouse = sim::add_usb_device(c);
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_EQ(sim::usb_transfer_interval(mouse), 8u);
    EXPECT_EQ(sim::usb_transfer_length(mouse), 8u);
}

TEST_F(Pointers, OnlyBootMiceWithAnInterruptInEndpointAreTaken) {
    sim::UsbDeviceConfig mute = sim::usb_tablet();
    mute.report_descriptor.clear(); // a HID device that tells nothing
    sim::UsbDevice tablet = sim::add_usb_device(mute);
    sim::UsbDevice keyboard = sim::add_usb_device(sim::usb_keyboard());
    sim::UsbDeviceConfig no_endpoints = sim::usb_boot_mouse();
    no_endpoints.endpoints.clear();
    sim::UsbDevice bare = sim::add_usb_device(no_endpoints);
    sim::UsbDeviceConfig out_only = sim::usb_boot_mouse();
    out_only.endpoints = {{0x01, 3, 4, 10}, {0x82, 2, 64, 0}};
    sim::UsbDevice wrong = sim::add_usb_device(out_only);
    EXPECT_EQ(kv::pointer_open(), 0);
    for (sim::UsbDevice d : {tablet, keyboard, bare, wrong}) {
        EXPECT_EQ(sim::open_count(sim::usb_handle(d), kUsbIo), 0u) << d;
        // The HID device is only asked for its report descriptor.
        EXPECT_EQ(sim::usb_control_requests(d).size(), d == tablet ? 1u : 0u) << d;
    }
}

// QEMU's usb-tablet, a BMC's remote console: absolute X and Y in report
// protocol, fed to the same path as the firmware's absolute pointers.
TEST_F(Pointers, UsbTabletIsDrivenInReportProtocolAsAnAbsolutePointer) {
    sim::UsbDevice tablet = sim::add_usb_device(sim::usb_tablet());
    ASSERT_EQ(kv::pointer_open(), 1);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 0, korvane's USB driver 1");
    const auto& requests = sim::usb_control_requests(tablet);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].request.Request, 0x0B);
    EXPECT_EQ(requests[1].request.Value, 1); // report protocol
    sim::push_usb_report(tablet, {0x01, 0xFF, 0x7F, 0x00, 0x40, 0x00});
    sim::push_usb_report(tablet, {0x00, 0xFF, 0x7F, 0x00, 0x40, 0x00});
    ticks(3);
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_TRUE(e.absolute);
    EXPECT_EQ(e.ax, 65535);
    EXPECT_EQ(e.ay, 0x4000 * 65535 / 0x7FFF);
    EXPECT_TRUE(e.pressed);
    EXPECT_FALSE(e.left);
    e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_FALSE(e.absolute);
}

TEST_F(Pointers, MouseWhoseTransferFailsIsGivenBack) {
    sim::UsbDeviceConfig c = sim::usb_boot_mouse();
    c.async_failure = EFI_OUT_OF_RESOURCES;
    sim::UsbDevice mouse = sim::add_usb_device(c);
    sim::UsbDevice good = sim::add_usb_device(sim::usb_boot_mouse());
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_EQ(sim::open_count(sim::usb_handle(mouse), kUsbIo), 0u);
    EXPECT_TRUE(sim::usb_transfer_running(good));
}

TEST_F(Pointers, NinthUsbMouseIsNotTaken) {
    std::vector<sim::UsbDevice> mice;
    for (int i = 0; i < 9; i++)
        mice.push_back(sim::add_usb_device(sim::usb_boot_mouse()));
    EXPECT_EQ(kv::pointer_open(), 8);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 0, korvane's USB driver 8");
    EXPECT_TRUE(sim::usb_transfer_running(mice[7]));
    EXPECT_FALSE(sim::usb_transfer_running(mice[8]));
    EXPECT_EQ(sim::open_count(sim::usb_handle(mice[8]), kUsbIo), 0u);
}

TEST_F(Pointers, HostControllersAreConnectedOnlyWhenNoUsbDeviceIsVisible) {
    EFI_HANDLE xhci = sim::add_usb_host_controller();
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse(), xhci);
    EXPECT_EQ(sim::usb_handle(mouse), nullptr);
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_EQ(sim::host_controller_connects(xhci), 1u);
    EXPECT_TRUE(sim::usb_transfer_running(mouse));
    kv::pointer_close();

    // Enumerated now: the second open finds the device without connecting.
    EXPECT_EQ(kv::pointer_open(), 1);
    EXPECT_EQ(sim::host_controller_connects(xhci), 1u);
}

TEST_F(Pointers, ReportsBetweenPollsAreSummedIntoOneEvent) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    ASSERT_EQ(kv::pointer_open(), 1);
    sim::push_usb_report(mouse, {0x00, 5, 0x10});
    sim::push_usb_report(mouse, {0x00, 0xFE, 0xF0});    // -2, -16
    sim::push_usb_report(mouse, {0x00, 0x7F, 0x7F}, 1); // failed transfer
    sim::push_usb_report(mouse, {0x03, 0x7F});          // too short
    ticks(4);
    EXPECT_EQ(sim::usb_reports_left(mouse), 0u);
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_EQ(e.dx, 3);
    EXPECT_EQ(e.dy, 0);
    EXPECT_FALSE(e.left);
    EXPECT_FALSE(e.absolute);

    // Only ignored reports since: nothing new.
    sim::push_usb_report(mouse, {0x01, 9, 9}, 1);
    sim::push_usb_report(mouse, {0x01, 9});
    ticks(2);
    e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_EQ(e.dx, 0);
    EXPECT_FALSE(e.left);
}

TEST_F(Pointers, HeldUsbButtonIsReportedWithoutMotion) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    ASSERT_EQ(kv::pointer_open(), 1);
    sim::push_usb_report(mouse, {0x01, 0, 0, 0});
    ticks(1);
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_TRUE(e.left);
    ticks(5);
    e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_TRUE(e.left);
    EXPECT_FALSE(e.right);

    sim::push_usb_report(mouse, {0x02, 0, 0, 0});
    ticks(1);
    e = poll(&got);
    EXPECT_FALSE(e.left);
    EXPECT_TRUE(e.right);
}

// A click quicker than the time between two polls (xdotool, a fast finger,
// the wipe polling once per chunk) still shows as a press.
TEST_F(Pointers, ShortClicksBetweenPollsAreReportedAsPresses) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    ASSERT_EQ(kv::pointer_open(), 1);
    sim::push_usb_report(mouse, {0x01, 0, 0, 0});
    sim::push_usb_report(mouse, {0x00, 0, 0, 0});
    ticks(3);
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_FALSE(e.left);
    EXPECT_TRUE(e.pressed);
    e = poll(&got);
    EXPECT_FALSE(e.pressed);

    // Held across polls: one press only, at the poll that first sees it.
    sim::push_usb_report(mouse, {0x01, 0, 0, 0});
    ticks(1);
    EXPECT_TRUE(poll().pressed);
    sim::push_usb_report(mouse, {0x01, 3, 0, 0});
    ticks(1);
    e = poll();
    EXPECT_TRUE(e.left);
    EXPECT_FALSE(e.pressed);
    // Released and pressed again between two polls: the button still looks
    // held, yet it is a new press.
    sim::push_usb_report(mouse, {0x00, 0, 0, 0});
    sim::push_usb_report(mouse, {0x01, 0, 0, 0});
    ticks(3);
    e = poll();
    EXPECT_TRUE(e.left);
    EXPECT_TRUE(e.pressed);
}

TEST_F(Pointers, ReportDuringTheRaisedPollIsCountedOnceByTheNextPoll) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    ASSERT_EQ(kv::pointer_open(), 1);
    sim::push_usb_report(mouse, {0x00, 4, 1});
    ticks(1);
    sim::push_usb_report(mouse, {0x01, 7, 2});
    EFI_TPL seen = 0;
    // The mouse's next interrupt falls between the poll's raise and its
    // restore.
    sim::set_raise_tpl_hook([&](EFI_TPL tpl) {
        seen = tpl;
        sim::set_raise_tpl_hook(nullptr);
        ticks(1);
        EXPECT_EQ(sim::usb_reports_left(mouse), 1u); // held back while raised
    });
    kv::PointerEvent e = poll();
    EXPECT_EQ(seen, TPL_NOTIFY);
    EXPECT_EQ(sim::usb_reports_left(mouse), 0u); // delivered at the restore
    EXPECT_EQ(e.dx, 4);
    EXPECT_EQ(e.dy, 1);
    EXPECT_FALSE(e.left);
    EXPECT_EQ(sim::current_tpl(), TPL_APPLICATION);

    bool got = false;
    e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_EQ(e.dx, 7);
    EXPECT_EQ(e.dy, 2);
    EXPECT_TRUE(e.left);
    e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_EQ(e.dx, 0);
}

TEST_F(Pointers, SimplePointerMotionIsScaledToEightCountsPerMillimetre) {
    struct Case {
        uint64_t resolution;
        int32_t counts;
        int32_t pixels;
    } cases[] = {{0, 10, 10}, {8, 10, 10}, {16, 10, 5}, {16, -11, -5}, {24, 2, 0}, {1000, 1000, 8}};
    for (const Case& c : cases) {
        sim::reset();
        sim::SimplePointerConfig config;
        config.resolution_x = c.resolution;
        config.resolution_y = c.resolution;
        EFI_HANDLE p = sim::add_simple_pointer(config);
        ASSERT_EQ(kv::pointer_open(), 1);
        sim::push_simple_state(p, {c.counts, -c.counts, 0, FALSE, FALSE});
        kv::PointerEvent e = poll();
        EXPECT_EQ(e.dx, c.pixels) << c.resolution << " " << c.counts;
        EXPECT_EQ(e.dy, -c.pixels) << c.resolution << " " << c.counts;
    }
}

TEST_F(Pointers, SimplePointersAddUpAndFailuresAreSkipped) {
    EFI_HANDLE a = sim::add_simple_pointer({});
    EFI_HANDLE b = sim::add_simple_pointer({});
    ASSERT_EQ(kv::pointer_open(), 2);
    sim::push_simple_state(a, {INT32_MAX, 1, 0, TRUE, FALSE});
    sim::push_simple_state(b, {INT32_MAX, 2, 0, FALSE, FALSE});
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_EQ(e.dx, INT32_MAX); // saturated, not wrapped
    EXPECT_EQ(e.dy, 3);
    EXPECT_TRUE(e.left);

    sim::push_pointer_failure(a, EFI_DEVICE_ERROR);
    e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_FALSE(e.left);
}

TEST_F(Pointers, AbsolutePositionsAreScaledAcrossTheRange) {
    sim::AbsolutePointerConfig flat;
    flat.min_x = flat.max_x = 100;
    EFI_HANDLE empty = sim::add_absolute_pointer(flat);
    sim::AbsolutePointerConfig tablet;
    tablet.min_x = 100;
    tablet.max_x = 1100;
    tablet.min_y = 0;
    tablet.max_y = 0x7FFF;
    EFI_HANDLE t = sim::add_absolute_pointer(tablet);
    ASSERT_EQ(kv::pointer_open(), 2);

    sim::push_absolute_state(empty, {100, 50, 0, 1});
    bool got = false;
    kv::PointerEvent e = poll(&got);
    EXPECT_FALSE(got);
    EXPECT_FALSE(e.absolute);
    EXPECT_FALSE(e.left);

    sim::push_absolute_state(t, {1100, 0x7FFF, 0, 2});
    e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_TRUE(e.absolute);
    EXPECT_EQ(e.ax, 65535);
    EXPECT_EQ(e.ay, 65535);
    EXPECT_FALSE(e.left);
    EXPECT_TRUE(e.right);

    sim::push_absolute_state(t, {100, 0, 0, 1});
    e = poll();
    EXPECT_EQ(e.ax, 0);
    EXPECT_EQ(e.ay, 0);
    EXPECT_TRUE(e.left);

    sim::push_absolute_state(t, {600, 0x4000, 0, 0});
    e = poll();
    EXPECT_EQ(e.ax, 500 * 65535 / 1000);
    EXPECT_EQ(e.ay, 0x4000 * 65535 / 0x7FFF);
}

TEST_F(Pointers, LaterAbsoluteDeviceOverwritesThePosition) {
    EFI_HANDLE a = sim::add_absolute_pointer({});
    EFI_HANDLE b = sim::add_absolute_pointer({});
    ASSERT_EQ(kv::pointer_open(), 2);
    sim::push_absolute_state(a, {0x7FFF, 0x7FFF, 0, 1});
    sim::push_absolute_state(b, {0, 0, 0, 0});
    kv::PointerEvent e = poll();
    EXPECT_EQ(e.ax, 0);
    EXPECT_EQ(e.ay, 0);
    EXPECT_TRUE(e.left); // buttons of every device count
}

TEST_F(Pointers, CloseStopsTheTransfersAndReleasesTheMice) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    EFI_HANDLE simple = sim::add_simple_pointer({});
    ASSERT_EQ(kv::pointer_open(), 2);
    kv::pointer_close();
    EXPECT_FALSE(sim::usb_transfer_running(mouse));
    EXPECT_EQ(sim::open_count(sim::usb_handle(mouse), kUsbIo), 0u);
    sim::push_usb_report(mouse, {0x00, 5, 5});
    sim::push_simple_state(simple, {5, 5, 0, FALSE, FALSE});
    ticks(2);
    bool got = true;
    poll(&got);
    EXPECT_FALSE(got);
    EXPECT_EQ(sim::pointer_states_left(simple), 1u);

    // Given back, so it can be taken again; the report waiting in the
    // device arrives through the new transfer.
    EXPECT_EQ(kv::pointer_open(), 2);
    EXPECT_STREQ(kv::pointer_summary(), "firmware 1, korvane's USB driver 1");
    ticks(1);
    kv::PointerEvent e = poll(&got);
    EXPECT_TRUE(got);
    EXPECT_EQ(e.dx, 10);
}

TEST(ConsoleCursor, AsksTheConsoleOnTheGraphicsDeviceWhenItIsNotConOut) {
    sim::reset();
    EFI_SYSTEM_TABLE* st = sim::system_table();
    st->ConOut->EnableCursor(st->ConOut, TRUE);
    EXPECT_TRUE(kv::console_cursor_visible());
    st->ConOut->EnableCursor(st->ConOut, FALSE);
    EXPECT_FALSE(kv::console_cursor_visible());

    static const EFI_GUID text_guid = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;
    static const EFI_GUID gop_guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
    SIMPLE_TEXT_OUTPUT_MODE mode = {};
    mode.CursorVisible = TRUE;
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL screen = {};
    screen.Mode = &mode;
    EFI_GRAPHICS_OUTPUT_PROTOCOL gop = {};
    // A text output without graphics is not the one shown.
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL serial = {};
    EFI_HANDLE serial_handle = nullptr;
    sim::install_protocol(&serial_handle, text_guid, &serial);
    EFI_HANDLE h = nullptr;
    sim::install_protocol(&h, gop_guid, &gop);
    sim::install_protocol(&h, text_guid, &screen);
    EXPECT_TRUE(kv::console_cursor_visible());
    mode.CursorVisible = FALSE;
    st->ConOut->EnableCursor(st->ConOut, TRUE);
    EXPECT_FALSE(kv::console_cursor_visible());
    screen.Mode = nullptr;
    EXPECT_FALSE(kv::console_cursor_visible());
    EXPECT_EQ(sim::pool_blocks_live(), 0u);
}

} // namespace

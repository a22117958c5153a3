#include "sim/input_devices.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware.h"

namespace {

const EFI_GUID kUsbIo = EFI_USB_IO_PROTOCOL_GUID;

struct Delivery {
    std::vector<uint8_t> bytes;
    uint32_t status;
    EFI_TPL tpl;
};
std::vector<Delivery> g_delivered;

EFI_STATUS EFIAPI record(VOID* data, UINTN length, VOID* context, UINT32 status) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    g_delivered.push_back({std::vector<uint8_t>(p, p + length), status, sim::current_tpl()});
    EXPECT_EQ(context, &g_delivered);
    return EFI_SUCCESS;
}

class SimUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        g_delivered.clear();
        bs = sim::system_table()->BootServices;
    }

    EFI_USB_IO_PROTOCOL* io_of(sim::UsbDevice d) {
        EFI_USB_IO_PROTOCOL* io = nullptr;
        EXPECT_EQ(bs->HandleProtocol(sim::usb_handle(d), const_cast<EFI_GUID*>(&kUsbIo),
                                     reinterpret_cast<VOID**>(&io)),
                  EFI_SUCCESS);
        return io;
    }

    EFI_BOOT_SERVICES* bs = nullptr;
};

TEST_F(SimUsb, ByDriverOpensAreExclusive) {
    sim::UsbDeviceConfig owned = sim::usb_boot_mouse();
    owned.driver_owned = true;
    EFI_HANDLE firmware_mouse = sim::usb_handle(sim::add_usb_device(owned));
    EFI_HANDLE free_mouse = sim::usb_handle(sim::add_usb_device(sim::usb_boot_mouse()));
    EFI_HANDLE agent = sim::image_handle();
    VOID* iface = nullptr;
    EFI_GUID guid = kUsbIo;
    EXPECT_EQ(bs->OpenProtocol(firmware_mouse, &guid, &iface, agent, firmware_mouse,
                               EFI_OPEN_PROTOCOL_BY_DRIVER),
              EFI_ACCESS_DENIED);
    EXPECT_EQ(
        bs->OpenProtocol(free_mouse, &guid, &iface, agent, free_mouse, EFI_OPEN_PROTOCOL_BY_DRIVER),
        EFI_SUCCESS);
    EXPECT_EQ(
        bs->OpenProtocol(free_mouse, &guid, &iface, agent, free_mouse, EFI_OPEN_PROTOCOL_BY_DRIVER),
        EFI_ALREADY_STARTED);
    EXPECT_EQ(bs->CloseProtocol(free_mouse, &guid, agent, free_mouse), EFI_SUCCESS);
    EXPECT_EQ(sim::open_count(free_mouse, kUsbIo), 0u);
}

TEST_F(SimUsb, InterruptTransfersNeedAnInterruptInEndpointAndAValidInterval) {
    sim::UsbDeviceConfig c = sim::usb_boot_mouse();
    c.endpoints.push_back({0x02, 3, 8, 10}); // interrupt OUT
    sim::UsbDevice mouse = sim::add_usb_device(c);
    EFI_USB_IO_PROTOCOL* io = io_of(mouse);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x02, TRUE, 10, 4, record, nullptr),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x83, TRUE, 10, 4, record, nullptr),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, TRUE, 0, 4, record, nullptr),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, TRUE, 256, 4, record, nullptr),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, FALSE, 0, 0, nullptr, nullptr),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, TRUE, 10, 4, record, &g_delivered),
              EFI_SUCCESS);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, TRUE, 10, 4, record, &g_delivered),
              EFI_INVALID_PARAMETER);
    EXPECT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, FALSE, 0, 0, nullptr, nullptr), EFI_SUCCESS);
    EXPECT_FALSE(sim::usb_transfer_running(mouse));
}

TEST_F(SimUsb, ReportsArriveAtCallbackPriorityAndWaitWhileItIsRaised) {
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse());
    EFI_USB_IO_PROTOCOL* io = io_of(mouse);
    ASSERT_EQ(io->UsbAsyncInterruptTransfer(io, 0x81, TRUE, 10, 3, record, &g_delivered),
              EFI_SUCCESS);
    sim::push_usb_report(mouse, {1, 2, 3, 4}); // cut to the transfer's 3 bytes
    sim::push_usb_report(mouse, {5, 6, 7}, 4);
    sim::advance_100ns(99999);
    EXPECT_TRUE(g_delivered.empty());
    sim::advance_100ns(1);
    ASSERT_EQ(g_delivered.size(), 1u);
    EXPECT_EQ(g_delivered[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(g_delivered[0].tpl, TPL_CALLBACK);

    EFI_TPL old = bs->RaiseTPL(TPL_CALLBACK);
    sim::advance_100ns(300000);
    EXPECT_EQ(g_delivered.size(), 1u);
    bs->RestoreTPL(old);
    ASSERT_EQ(g_delivered.size(), 2u);
    EXPECT_EQ(g_delivered[1].status, 4u);
    EXPECT_EQ(sim::current_tpl(), TPL_APPLICATION);
}

TEST_F(SimUsb, HostControllerEnumeratesItsDevicesWhenConnected) {
    EFI_HANDLE xhci = sim::add_usb_host_controller();
    sim::UsbDevice mouse = sim::add_usb_device(sim::usb_boot_mouse(), xhci);
    sim::UsbDevice loose = sim::add_usb_device(sim::usb_tablet());
    EXPECT_EQ(sim::usb_handle(mouse), nullptr);
    EXPECT_NE(sim::usb_handle(loose), nullptr);
    ASSERT_EQ(bs->ConnectController(xhci, nullptr, nullptr, TRUE), EFI_SUCCESS);
    EFI_HANDLE h = sim::usb_handle(mouse);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(bs->ConnectController(xhci, nullptr, nullptr, TRUE), EFI_SUCCESS);
    EXPECT_EQ(sim::usb_handle(mouse), h);
    EXPECT_EQ(sim::host_controller_connects(xhci), 2u);
}

TEST(SimPointers, GetStateFollowsTheScriptThenReportsNoChange) {
    sim::reset();
    EFI_HANDLE h = sim::add_simple_pointer({});
    EFI_SIMPLE_POINTER_PROTOCOL* p = nullptr;
    EFI_GUID guid = EFI_SIMPLE_POINTER_PROTOCOL_GUID;
    ASSERT_EQ(sim::system_table()->BootServices->HandleProtocol(h, &guid, (VOID**)&p), EFI_SUCCESS);
    sim::push_simple_state(h, {1, 2, 3, TRUE, FALSE});
    sim::push_pointer_failure(h, EFI_DEVICE_ERROR);
    EFI_SIMPLE_POINTER_STATE s = {};
    EXPECT_EQ(p->GetState(p, &s), EFI_SUCCESS);
    EXPECT_EQ(s.RelativeMovementY, 2);
    EXPECT_EQ(p->GetState(p, &s), EFI_DEVICE_ERROR);
    EXPECT_EQ(p->GetState(p, &s), EFI_NOT_READY);
}

} // namespace

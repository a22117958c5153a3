// Simulated pointing devices: the firmware's Simple Pointer and Absolute
// Pointer devices, and USB devices behind USB I/O with their interface and
// endpoint descriptors, for a driver of the program's own.
//
//     sim::SimplePointerConfig c;
//     c.resolution_x = c.resolution_y = 16;
//     EFI_HANDLE mouse = sim::add_simple_pointer(c);
//     sim::push_simple_state(mouse, {10, -4, 0, TRUE, FALSE});
//
//     EFI_HANDLE xhci = sim::add_usb_host_controller();
//     sim::UsbDevice usb = sim::add_usb_device(sim::usb_boot_mouse(), xhci);
//     // no USB I/O handle until ConnectController(xhci, ...)
//     sim::push_usb_report(usb, {0x01, 5, 0xFE});
//
// Each GetState answers the next scripted entry (a state, or a failure
// status); with none left it answers EFI_NOT_READY, as a device whose state
// has not changed since the last call does.
//
// USB I/O follows the UEFI specification: UsbGetEndpointDescriptor fails
// with EFI_NOT_FOUND past the interface's endpoints; UsbControlTransfer
// records each request and succeeds; UsbAsyncInterruptTransfer starts a
// transfer on an interrupt IN endpoint of the interface (otherwise, or with
// an interval outside 1..255 ms, or a second transfer on the endpoint,
// EFI_INVALID_PARAMETER) and with IsNewTransfer FALSE deletes it. A running
// transfer is a periodic timer of its polling interval whose notification
// runs at TPL_CALLBACK: each tick hands the next pushed report (cut to the
// transfer's DataLength) to the callback. While the program has raised the
// task priority to TPL_CALLBACK or above, the ticks wait and their one
// notification runs when the priority drops.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/efi.h"
#include "platform/efi_protocols.h"
#include "sim/device_path.h"

namespace sim {

struct SimplePointerConfig {
    uint64_t resolution_x = 0; // counts per millimetre; 0: not reported
    uint64_t resolution_y = 0;
    uint64_t resolution_z = 0;
    // Without a device path the handle stands for a virtual device, as the
    // console splitter's merged pointer does.
    bool has_device_path = true;
    PathBytes path; // empty: a path of its own under the PS/2 controller
};
EFI_HANDLE add_simple_pointer(const SimplePointerConfig& config);
void push_simple_state(EFI_HANDLE pointer, const EFI_SIMPLE_POINTER_STATE& state);

struct AbsolutePointerConfig {
    uint64_t min_x = 0;
    uint64_t min_y = 0;
    uint64_t max_x = 0x7FFF;
    uint64_t max_y = 0x7FFF;
    bool has_device_path = true;
    PathBytes path;
};
EFI_HANDLE add_absolute_pointer(const AbsolutePointerConfig& config);
void push_absolute_state(EFI_HANDLE pointer, const EFI_ABSOLUTE_POINTER_STATE& state);

// For either kind: the next GetState fails with this status.
void push_pointer_failure(EFI_HANDLE pointer, EFI_STATUS status);
// Reset calls since the device was added.
size_t pointer_resets(EFI_HANDLE pointer);
size_t pointer_states_left(EFI_HANDLE pointer);

struct UsbEndpoint {
    uint8_t address;    // bit 7: IN
    uint8_t attributes; // bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t max_packet;
    uint8_t interval; // ms
};

struct UsbDeviceConfig {
    uint8_t interface_number = 0;
    uint8_t interface_class = 0;
    uint8_t interface_subclass = 0;
    uint8_t interface_protocol = 0;
    std::vector<UsbEndpoint> endpoints;
    // A firmware driver holds the device: OpenProtocol BY_DRIVER is denied.
    bool driver_owned = false;
    uint8_t port = 1; // on the host controller's root hub
    // When not success, UsbAsyncInterruptTransfer fails so on new transfers.
    EFI_STATUS async_failure = EFI_SUCCESS;
    // What GET_DESCRIPTOR of the HID report descriptor answers (cut to the
    // length asked for); empty: the request fails.
    std::vector<uint8_t> report_descriptor;
};
// HID 3/1/2 with interrupt IN 0x81 (4 bytes, 10 ms), as QEMU's usb-mouse.
UsbDeviceConfig usb_boot_mouse();
// HID 3/0/0 with interrupt IN 0x81 and the report descriptor of QEMU's
// usb-tablet: buttons in byte 0, X and Y of 16 bits in 0..0x7FFF, a wheel.
UsbDeviceConfig usb_tablet();
// HID 3/1/1 with interrupt IN 0x81 (8 bytes).
UsbDeviceConfig usb_keyboard();

// A USB2 host controller (EFI_USB2_HC_PROTOCOL) on a PCI handle of its own.
// ConnectController on it creates the USB I/O handles of the devices
// attached to it, once.
EFI_HANDLE add_usb_host_controller();
size_t host_controller_connects(EFI_HANDLE controller);

using UsbDevice = size_t;
// Without a controller the device's USB I/O handle exists at once (the
// firmware has enumerated the bus already).
UsbDevice add_usb_device(const UsbDeviceConfig& config, EFI_HANDLE controller = nullptr);
// Null until the device's controller was connected.
EFI_HANDLE usb_handle(UsbDevice device);

struct UsbControlRecord {
    EFI_USB_DEVICE_REQUEST request;
    EFI_USB_DATA_DIRECTION direction;
    uint32_t timeout_ms;
    size_t data_length;
};
const std::vector<UsbControlRecord>& usb_control_requests(UsbDevice device);

// A report the device sends at the next tick of its running transfer, with
// the transfer status the callback gets.
void push_usb_report(UsbDevice device, const std::vector<uint8_t>& bytes, uint32_t status = 0);
size_t usb_reports_left(UsbDevice device);
bool usb_transfer_running(UsbDevice device);
// The running transfer's parameters (0 when none runs).
uint8_t usb_transfer_endpoint(UsbDevice device);
size_t usb_transfer_interval(UsbDevice device);
size_t usb_transfer_length(UsbDevice device);

} // namespace sim

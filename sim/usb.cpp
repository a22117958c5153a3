// Simulated USB: USB2 host controllers that enumerate their devices when
// connected, and devices behind USB I/O with one interface, its endpoints,
// recorded control requests and asynchronous interrupt transfers driven by
// the virtual clock.
#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "sim/firmware.h"
#include "sim/input_devices.h"
#include "sim/internal.h"

namespace sim {
namespace {

const EFI_GUID kUsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
const EFI_GUID kHostControllerGuid = EFI_USB2_HC_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;
constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kTransferInterrupt = 3;
constexpr uint64_t kTicksPerMs = 10000;
// The first host controller's PCI slot; QEMU's q35 places an added
// qemu-xhci at the first free one.
constexpr uint8_t kFirstControllerSlot = 0x7;

struct Report {
    std::vector<uint8_t> bytes;
    uint32_t status;
};

struct Controller;

struct Device {
    EFI_USB_IO_PROTOCOL protocol; // first: a This pointer is the device
    UsbDeviceConfig config;
    Controller* controller = nullptr;
    EFI_HANDLE handle = nullptr;
    PathBytes path;
    std::vector<UsbControlRecord> requests;
    std::deque<Report> reports;
    // The running interrupt transfer.
    EFI_EVENT timer = nullptr;
    uint8_t endpoint = 0;
    size_t interval = 0;
    size_t length = 0;
    EFI_ASYNC_USB_TRANSFER_CALLBACK callback = nullptr;
    void* context = nullptr;
    std::vector<uint8_t> buffer;
};

struct Controller {
    EFI_USB2_HC_PROTOCOL protocol;
    EFI_HANDLE handle = nullptr;
    PathBytes path;
    size_t connects = 0;
    bool enumerated = false;
};

struct UsbState {
    std::vector<std::unique_ptr<Controller>> controllers;
    std::vector<std::unique_ptr<Device>> devices;
};

UsbState g_usb;

Device* device_of(EFI_USB_IO_PROTOCOL* self) {
    for (auto& d : g_usb.devices)
        if (&d->protocol == self) return d.get();
    return nullptr;
}

Device* device_at(UsbDevice id) {
    return id < g_usb.devices.size() ? g_usb.devices[id].get() : nullptr;
}

EFI_BOOT_SERVICES* bs() {
    return system_table()->BootServices;
}

EFI_STATUS EFIAPI get_interface(EFI_USB_IO_PROTOCOL* self, EFI_USB_INTERFACE_DESCRIPTOR* out) {
    Device* d = device_of(self);
    if (!d || !out) return EFI_INVALID_PARAMETER;
    const UsbDeviceConfig& c = d->config;
    *out = EFI_USB_INTERFACE_DESCRIPTOR{sizeof *out,
                                        kDescriptorInterface,
                                        c.interface_number,
                                        0,
                                        uint8_t(c.endpoints.size()),
                                        c.interface_class,
                                        c.interface_subclass,
                                        c.interface_protocol,
                                        0};
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_endpoint(EFI_USB_IO_PROTOCOL* self, UINT8 index,
                               EFI_USB_ENDPOINT_DESCRIPTOR* out) {
    Device* d = device_of(self);
    if (!d || !out) return EFI_INVALID_PARAMETER;
    if (index >= d->config.endpoints.size()) return EFI_NOT_FOUND;
    const UsbEndpoint& e = d->config.endpoints[index];
    *out = EFI_USB_ENDPOINT_DESCRIPTOR{sizeof *out,  kDescriptorEndpoint, e.address,
                                       e.attributes, e.max_packet,        e.interval};
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI control_transfer(EFI_USB_IO_PROTOCOL* self, EFI_USB_DEVICE_REQUEST* request,
                                   EFI_USB_DATA_DIRECTION direction, UINT32 timeout, VOID* data,
                                   UINTN length, UINT32* status) {
    Device* d = device_of(self);
    if (!d || !request || !status || direction > EfiUsbNoData) return EFI_INVALID_PARAMETER;
    if (length != 0 && !data) return EFI_INVALID_PARAMETER;
    d->requests.push_back(UsbControlRecord{*request, direction, timeout, length});
    *status = 0;
    if (direction == EfiUsbDataIn && request->Request == 6 && request->Value == 0x2200) {
        const std::vector<uint8_t>& r = d->config.report_descriptor;
        if (r.empty()) {
            *status = 0x02; // EFI_USB_ERR_STALL
            return EFI_DEVICE_ERROR;
        }
        std::memcpy(data, r.data(), std::min(r.size(), size_t(length)));
    }
    return EFI_SUCCESS;
}

const UsbEndpoint* interrupt_in(const Device& d, uint8_t address) {
    for (const UsbEndpoint& e : d.config.endpoints)
        if (e.address == address && (e.attributes & 3) == kTransferInterrupt &&
            (address & kEndpointIn))
            return &e;
    return nullptr;
}

VOID EFIAPI transfer_tick(EFI_EVENT, VOID* context) {
    auto* d = static_cast<Device*>(context);
    if (d->reports.empty() || !d->callback) return;
    Report r = std::move(d->reports.front());
    d->reports.pop_front();
    size_t n = r.bytes.size() < d->length ? r.bytes.size() : d->length;
    d->buffer.assign(r.bytes.begin(), r.bytes.begin() + long(n));
    d->callback(n ? d->buffer.data() : nullptr, n, d->context, r.status);
}

void stop_transfer(Device* d) {
    if (d->timer) bs()->CloseEvent(d->timer);
    d->timer = nullptr;
    d->endpoint = 0;
    d->interval = 0;
    d->length = 0;
    d->callback = nullptr;
    d->context = nullptr;
}

EFI_STATUS EFIAPI async_interrupt(EFI_USB_IO_PROTOCOL* self, UINT8 endpoint, BOOLEAN is_new,
                                  UINTN interval, UINTN length,
                                  EFI_ASYNC_USB_TRANSFER_CALLBACK callback, VOID* context) {
    Device* d = device_of(self);
    if (!d) return EFI_INVALID_PARAMETER;
    bool valid_address =
        (endpoint >= 0x01 && endpoint <= 0x0F) || (endpoint >= 0x81 && endpoint <= 0x8F);
    if (!valid_address) return EFI_INVALID_PARAMETER;
    if (!is_new) {
        if (!d->timer || d->endpoint != endpoint) return EFI_INVALID_PARAMETER;
        stop_transfer(d);
        return EFI_SUCCESS;
    }
    if (interval < 1 || interval > 255 || length == 0 || !callback) return EFI_INVALID_PARAMETER;
    if (!interrupt_in(*d, endpoint) || d->timer) return EFI_INVALID_PARAMETER;
    if (d->config.async_failure != EFI_SUCCESS) return d->config.async_failure;
    EFI_EVENT timer = nullptr;
    EFI_STATUS status =
        bs()->CreateEvent(EVT_TIMER | EVT_NOTIFY_SIGNAL, TPL_CALLBACK, transfer_tick, d, &timer);
    if (EFI_ERROR(status)) return status;
    bs()->SetTimer(timer, TimerPeriodic, interval * kTicksPerMs);
    d->timer = timer;
    d->endpoint = endpoint;
    d->interval = interval;
    d->length = length;
    d->callback = callback;
    d->context = context;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI unsupported_transfer(EFI_USB_IO_PROTOCOL*, UINT8, VOID*, UINTN*, UINTN, UINT32*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_isochronous(EFI_USB_IO_PROTOCOL*, UINT8, VOID*, UINTN, UINT32*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_async_isochronous(EFI_USB_IO_PROTOCOL*, UINT8, VOID*, UINTN,
                                                EFI_ASYNC_USB_TRANSFER_CALLBACK, VOID*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_device_descriptor(EFI_USB_IO_PROTOCOL*, EFI_USB_DEVICE_DESCRIPTOR*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_config_descriptor(EFI_USB_IO_PROTOCOL*, EFI_USB_CONFIG_DESCRIPTOR*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_string(EFI_USB_IO_PROTOCOL*, UINT16, UINT8, CHAR16**) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_languages(EFI_USB_IO_PROTOCOL*, UINT16**, UINT16*) {
    return EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI unsupported_port_reset(EFI_USB_IO_PROTOCOL*) {
    return EFI_UNSUPPORTED;
}

void publish(Device* d) {
    PathBytes parent = d->controller ? d->controller->path
                                     : dp::path({dp::pci_root(), dp::pci(kFirstControllerSlot, 0)});
    d->path = dp::without_end(parent);
    PathBytes node = dp::usb(d->config.port, d->config.interface_number);
    d->path.insert(d->path.end(), node.begin(), node.end());
    PathBytes tail = dp::end();
    d->path.insert(d->path.end(), tail.begin(), tail.end());
    install_protocol(&d->handle, kDevicePathGuid, d->path.data());
    install_protocol(&d->handle, kUsbIoGuid, &d->protocol);
    if (d->config.driver_owned) set_driver_owned(d->handle, kUsbIoGuid, true);
}

void connect(Controller* c) {
    c->connects++;
    if (c->enumerated) return;
    c->enumerated = true;
    for (auto& d : g_usb.devices)
        if (d->controller == c) publish(d.get());
}

} // namespace

namespace detail {

void usb_reset() {
    g_usb = UsbState{};
}

} // namespace detail

UsbDeviceConfig usb_boot_mouse() {
    UsbDeviceConfig c;
    c.interface_class = 3;
    c.interface_subclass = 1;
    c.interface_protocol = 2;
    c.endpoints = {UsbEndpoint{0x81, kTransferInterrupt, 4, 10}};
    return c;
}

UsbDeviceConfig usb_tablet() {
    UsbDeviceConfig c;
    c.interface_class = 3;
    c.endpoints = {UsbEndpoint{0x81, kTransferInterrupt, 8, 10}};
    c.report_descriptor = {
        0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29,
        0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05,
        0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x00, 0x26, 0xFF, 0x7F, 0x35, 0x00,
        0x46, 0xFF, 0x7F, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0x05, 0x01, 0x09, 0x38, 0x15, 0x81,
        0x25, 0x7F, 0x35, 0x00, 0x45, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x06, 0xC0, 0xC0};
    return c;
}

UsbDeviceConfig usb_keyboard() {
    UsbDeviceConfig c;
    c.interface_class = 3;
    c.interface_subclass = 1;
    c.interface_protocol = 1;
    c.endpoints = {UsbEndpoint{0x81, kTransferInterrupt, 8, 10}};
    return c;
}

EFI_HANDLE add_usb_host_controller() {
    auto c = std::make_unique<Controller>();
    c->protocol = EFI_USB2_HC_PROTOCOL{};
    c->protocol.MajorRevision = 3;
    c->path = dp::path(
        {dp::pci_root(), dp::pci(uint8_t(kFirstControllerSlot + g_usb.controllers.size()), 0)});
    install_protocol(&c->handle, kDevicePathGuid, c->path.data());
    install_protocol(&c->handle, kHostControllerGuid, &c->protocol);
    Controller* raw = c.get();
    detail::set_controller_driver(c->handle, [raw] { connect(raw); });
    g_usb.controllers.push_back(std::move(c));
    return raw->handle;
}

size_t host_controller_connects(EFI_HANDLE controller) {
    for (auto& c : g_usb.controllers)
        if (c->handle == controller) return c->connects;
    return 0;
}

UsbDevice add_usb_device(const UsbDeviceConfig& config, EFI_HANDLE controller) {
    auto d = std::make_unique<Device>();
    d->protocol = EFI_USB_IO_PROTOCOL{control_transfer,
                                      unsupported_transfer,
                                      async_interrupt,
                                      unsupported_transfer,
                                      unsupported_isochronous,
                                      unsupported_async_isochronous,
                                      unsupported_device_descriptor,
                                      unsupported_config_descriptor,
                                      get_interface,
                                      get_endpoint,
                                      unsupported_string,
                                      unsupported_languages,
                                      unsupported_port_reset};
    d->config = config;
    for (auto& c : g_usb.controllers)
        if (c->handle == controller) d->controller = c.get();
    Device* raw = d.get();
    g_usb.devices.push_back(std::move(d));
    if (!raw->controller || raw->controller->enumerated) publish(raw);
    return g_usb.devices.size() - 1;
}

EFI_HANDLE usb_handle(UsbDevice device) {
    Device* d = device_at(device);
    return d ? d->handle : nullptr;
}

const std::vector<UsbControlRecord>& usb_control_requests(UsbDevice device) {
    static const std::vector<UsbControlRecord> none;
    Device* d = device_at(device);
    return d ? d->requests : none;
}

void push_usb_report(UsbDevice device, const std::vector<uint8_t>& bytes, uint32_t status) {
    if (Device* d = device_at(device)) d->reports.push_back(Report{bytes, status});
}

size_t usb_reports_left(UsbDevice device) {
    Device* d = device_at(device);
    return d ? d->reports.size() : 0;
}

bool usb_transfer_running(UsbDevice device) {
    Device* d = device_at(device);
    return d && d->timer;
}

uint8_t usb_transfer_endpoint(UsbDevice device) {
    Device* d = device_at(device);
    return d ? d->endpoint : 0;
}

size_t usb_transfer_interval(UsbDevice device) {
    Device* d = device_at(device);
    return d ? d->interval : 0;
}

size_t usb_transfer_length(UsbDevice device) {
    Device* d = device_at(device);
    return d ? d->length : 0;
}

} // namespace sim

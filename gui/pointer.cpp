#include "gui/pointer.h"

#include "gui/hid_report.h"

#include "platform/efi_protocols.h"
#include "platform/format.h"
#include "platform/globals.h"

namespace kv {

namespace {

constexpr int kMaxDevices = 8;

// HID boot-protocol mouse: interface class, subclass and protocol.
constexpr uint8_t kHidClass = 3;
constexpr uint8_t kBootSubclass = 1;
constexpr uint8_t kMouseProtocol = 2;

constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kTransferTypeMask = 3;
constexpr uint8_t kTransferInterrupt = 3;

// HID class requests to the interface: host to device, class, interface.
constexpr uint8_t kHidRequestType = 0x21;
constexpr uint8_t kSetIdle = 0x0A;
constexpr uint8_t kSetProtocol = 0x0B;
constexpr uint16_t kBootProtocol = 0;
constexpr uint16_t kReportProtocol = 1;
// GET_DESCRIPTOR of the interface's report descriptor: device to host,
// standard, interface.
constexpr uint8_t kGetDescriptorType = 0x81;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint16_t kReportDescriptor = 0x2200;
constexpr uint16_t kReportDescriptorMax = 1024;
constexpr uint32_t kControlTimeoutMs = 100;

// Used when a device leaves its endpoint's interval or packet size at 0.
constexpr uint8_t kDefaultIntervalMs = 8;
constexpr uint16_t kDefaultReportLength = 8;

// A boot mouse report: buttons, then signed 8-bit X and Y motion.
constexpr UINTN kReportMinLength = 3;

struct UsbMouse {
    EFI_HANDLE handle;
    EFI_USB_IO_PROTOCOL* io;
    uint8_t endpoint;
    bool tablet;
    HidTablet fields; // for a tablet
};

EFI_SIMPLE_POINTER_PROTOCOL* g_simple[kMaxDevices];
int g_simple_count;
EFI_ABSOLUTE_POINTER_PROTOCOL* g_absolute[kMaxDevices];
int g_absolute_count;
UsbMouse g_usb[kMaxDevices];
int g_usb_count;

// Shared with usb_mouse_callback, which the firmware runs at callback
// priority; pointer_poll reads and clears them at TPL_NOTIFY, above it.
volatile int32_t g_usb_dx;
volatile int32_t g_usb_dy;
volatile int g_usb_buttons;
volatile bool g_usb_pending;
volatile uint32_t g_usb_presses; // left-button press edges since the last poll
// The last absolute position a tablet reported, 0..65535 across its range.
volatile int32_t g_usb_ax;
volatile int32_t g_usb_ay;
volatile bool g_usb_absolute;

char g_summary[80];

// Motion sums saturate: a device that reports absurd counts must not make
// the sum overflow.
int32_t add_motion(int32_t sum, int64_t delta) {
    int64_t total = int64_t(sum) + delta;
    if (total > INT32_MAX) return INT32_MAX;
    if (total < INT32_MIN) return INT32_MIN;
    return int32_t(total);
}

// Counts to pixels: a device with more than 8 counts per millimetre is
// brought down to 8, about the motion of a plain mouse.
int64_t scale_motion(int32_t counts, uint64_t resolution) {
    if (resolution <= 8) return counts;
    if (resolution > uint64_t(INT64_MAX)) return 0;
    return int64_t(counts) * 8 / int64_t(resolution);
}

template <typename Protocol> int take_firmware_pointers(EFI_GUID guid, Protocol** table) {
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    if (EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &guid, nullptr, &count, &handles))) return 0;
    int taken = 0;
    for (UINTN i = 0; i < count && taken < kMaxDevices; i++) {
        // A pointer without a device path is a virtual one (a console
        // splitter's merge of the others), which would count motion twice.
        VOID* path = nullptr;
        if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &path_guid, &path))) continue;
        Protocol* pointer = nullptr;
        if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &guid, (VOID**)&pointer)) || !pointer)
            continue;
        table[taken++] = pointer;
        pointer->Reset(pointer, FALSE);
    }
    g_bs->FreePool(handles);
    return taken;
}

// The USB I/O handles, connecting the host controllers first when there
// are none: firmware that drives no USB input device may have left the bus
// unenumerated.
bool locate_usb_io(UINTN* count, EFI_HANDLE** handles) {
    EFI_GUID usb_io_guid = EFI_USB_IO_PROTOCOL_GUID;
    *count = 0;
    *handles = nullptr;
    if (!EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &usb_io_guid, nullptr, count, handles)) &&
        *count > 0)
        return true;
    if (*handles) g_bs->FreePool(*handles);
    *count = 0;
    *handles = nullptr;

    EFI_GUID hc_guid = EFI_USB2_HC_PROTOCOL_GUID;
    UINTN hc_count = 0;
    EFI_HANDLE* controllers = nullptr;
    if (!EFI_ERROR(
            g_bs->LocateHandleBuffer(ByProtocol, &hc_guid, nullptr, &hc_count, &controllers))) {
        for (UINTN i = 0; i < hc_count; i++)
            g_bs->ConnectController(controllers[i], nullptr, nullptr, TRUE);
        g_bs->FreePool(controllers);
    }
    if (EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &usb_io_guid, nullptr, count, handles)) ||
        *count == 0) {
        if (*handles) g_bs->FreePool(*handles);
        *count = 0;
        *handles = nullptr;
        return false;
    }
    return true;
}

void hid_request(EFI_USB_IO_PROTOCOL* io, uint8_t request, uint16_t value, uint16_t interface) {
    EFI_USB_DEVICE_REQUEST setup = {};
    setup.RequestType = kHidRequestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = interface;
    setup.Length = 0;
    UINT32 usb_status = 0;
    io->UsbControlTransfer(io, &setup, EfiUsbNoData, kControlTimeoutMs, nullptr, 0, &usb_status);
}

// The tablet fields of the interface's report descriptor; false for a
// device the parser does not understand (it is then left alone).
bool read_tablet_fields(EFI_USB_IO_PROTOCOL* io, uint16_t interface, HidTablet* fields) {
    uint8_t* buffer = nullptr;
    if (EFI_ERROR(g_bs->AllocatePool(EfiLoaderData, kReportDescriptorMax, (VOID**)&buffer)))
        return false;
    for (uint16_t i = 0; i < kReportDescriptorMax; i++)
        buffer[i] = 0;
    EFI_USB_DEVICE_REQUEST setup = {};
    setup.RequestType = kGetDescriptorType;
    setup.Request = kGetDescriptor;
    setup.Value = kReportDescriptor;
    setup.Index = interface;
    setup.Length = kReportDescriptorMax;
    UINT32 usb_status = 0;
    // The device answers with less than asked, which some host controller
    // drivers report as an error although the bytes arrived; whatever came
    // is parsed, and the zeros after it are items that change nothing.
    io->UsbControlTransfer(io, &setup, EfiUsbDataIn, kControlTimeoutMs, buffer,
                           kReportDescriptorMax, &usb_status);
    bool ok = hid_find_tablet(buffer, kReportDescriptorMax, fields);
    g_bs->FreePool(buffer);
    return ok;
}

// Takes the device when it is a boot mouse, or a HID device with absolute
// X and Y and a button, that no firmware driver holds.
bool take_usb_mouse(EFI_HANDLE handle, UsbMouse* mouse) {
    EFI_GUID usb_io_guid = EFI_USB_IO_PROTOCOL_GUID;
    EFI_USB_IO_PROTOCOL* io = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(handle, &usb_io_guid, (VOID**)&io)) || !io) return false;
    EFI_USB_INTERFACE_DESCRIPTOR interface = {};
    if (EFI_ERROR(io->UsbGetInterfaceDescriptor(io, &interface))) return false;
    if (interface.InterfaceClass != kHidClass || interface.NumEndpoints == 0) return false;
    bool boot_mouse = interface.InterfaceSubClass == kBootSubclass &&
                      interface.InterfaceProtocol == kMouseProtocol;
    // Keyboards are the firmware's; any other HID device may be a tablet.
    if (!boot_mouse && interface.InterfaceSubClass == kBootSubclass) return false;

    EFI_USB_ENDPOINT_DESCRIPTOR endpoint = {};
    bool found = false;
    for (uint8_t i = 0; i < interface.NumEndpoints && !found; i++) {
        if (EFI_ERROR(io->UsbGetEndpointDescriptor(io, i, &endpoint))) continue;
        found = (endpoint.Attributes & kTransferTypeMask) == kTransferInterrupt &&
                (endpoint.EndpointAddress & kEndpointIn) != 0;
    }
    if (!found) return false;
    UINTN interval = endpoint.Interval ? endpoint.Interval : kDefaultIntervalMs;
    UINTN length = endpoint.MaxPacketSize ? endpoint.MaxPacketSize : kDefaultReportLength;

    // BY_DRIVER fails when a firmware driver already owns the mouse; it is
    // then one of the firmware's pointers and must not be read twice.
    VOID* opened = nullptr;
    if (EFI_ERROR(g_bs->OpenProtocol(handle, &usb_io_guid, &opened, g_image, handle,
                                     EFI_OPEN_PROTOCOL_BY_DRIVER)))
        return false;

    *mouse = UsbMouse{handle, io, endpoint.EndpointAddress, !boot_mouse, {}};
    if (!boot_mouse && !read_tablet_fields(io, interface.InterfaceNumber, &mouse->fields)) {
        g_bs->CloseProtocol(handle, &usb_io_guid, g_image, handle);
        return false;
    }

    // Results ignored: a mouse that is already in boot protocol, or that
    // does not know SET_IDLE, still sends boot reports.
    hid_request(io, kSetProtocol, boot_mouse ? kBootProtocol : kReportProtocol,
                interface.InterfaceNumber);
    hid_request(io, kSetIdle, 0, interface.InterfaceNumber);

    if (EFI_ERROR(io->UsbAsyncInterruptTransfer(io, endpoint.EndpointAddress, TRUE, interval,
                                                length, usb_mouse_callback,
                                                boot_mouse ? nullptr : mouse))) {
        g_bs->CloseProtocol(handle, &usb_io_guid, g_image, handle);
        return false;
    }
    return true;
}

void take_usb_mice() {
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    if (!locate_usb_io(&count, &handles)) return;
    for (UINTN i = 0; i < count && g_usb_count < kMaxDevices; i++)
        if (take_usb_mouse(handles[i], &g_usb[g_usb_count])) g_usb_count++;
    g_bs->FreePool(handles);
}

void clear_usb_report() {
    g_usb_dx = 0;
    g_usb_dy = 0;
    g_usb_buttons = 0;
    g_usb_pending = false;
    g_usb_presses = 0;
    g_usb_absolute = false;
}

} // namespace

int pointer_open() {
    g_simple_count = 0;
    g_absolute_count = 0;
    g_usb_count = 0;
    clear_usb_report();

    EFI_GUID simple_guid = EFI_SIMPLE_POINTER_PROTOCOL_GUID;
    EFI_GUID absolute_guid = EFI_ABSOLUTE_POINTER_PROTOCOL_GUID;
    g_simple_count = take_firmware_pointers(simple_guid, g_simple);
    g_absolute_count = take_firmware_pointers(absolute_guid, g_absolute);
    take_usb_mice();

    format(g_summary, sizeof g_summary, "firmware %d, korvane's USB driver %d",
           g_simple_count + g_absolute_count, g_usb_count);
    return g_simple_count + g_absolute_count + g_usb_count;
}

const char* pointer_summary() {
    return g_summary;
}

namespace {

int32_t scale_field(int32_t v, const HidField& f) {
    if (v < f.logical_min) v = f.logical_min;
    if (v > f.logical_max) v = f.logical_max;
    return int32_t((int64_t(v) - f.logical_min) * 65535 / (int64_t(f.logical_max) - f.logical_min));
}

void tablet_report(const UsbMouse* tablet, const uint8_t* report, UINTN length) {
    const HidTablet& t = tablet->fields;
    if (t.report_id) {
        if (length < 1 || report[0] != t.report_id) return;
        report++;
        length--;
    }
    int buttons = hid_field_value(report, length, t.button) ? 1 : 0;
    if ((buttons & 1) && !(g_usb_buttons & 1)) g_usb_presses = g_usb_presses + 1;
    g_usb_buttons = buttons;
    g_usb_ax = scale_field(hid_field_value(report, length, t.x), t.x);
    g_usb_ay = scale_field(hid_field_value(report, length, t.y), t.y);
    g_usb_absolute = true;
    g_usb_pending = true;
}

} // namespace

EFI_STATUS EFIAPI usb_mouse_callback(VOID* data, UINTN data_length, VOID* context, UINT32 status) {
    if (status != 0 || !data) return EFI_SUCCESS;
    const uint8_t* report = static_cast<const uint8_t*>(data);
    if (context) {
        tablet_report(static_cast<const UsbMouse*>(context), report, data_length);
        return EFI_SUCCESS;
    }
    if (data_length < kReportMinLength) return EFI_SUCCESS;
    g_usb_dx = add_motion(g_usb_dx, int8_t(report[1]));
    g_usb_dy = add_motion(g_usb_dy, int8_t(report[2]));
    if ((report[0] & 1) && !(g_usb_buttons & 1)) g_usb_presses = g_usb_presses + 1;
    g_usb_buttons = report[0] & 3;
    g_usb_pending = true;
    return EFI_SUCCESS;
}

bool pointer_poll(PointerEvent* event) {
    *event = PointerEvent{};
    bool got = false;

    for (int i = 0; i < g_simple_count; i++) {
        EFI_SIMPLE_POINTER_PROTOCOL* p = g_simple[i];
        EFI_SIMPLE_POINTER_STATE state = {};
        if (EFI_ERROR(p->GetState(p, &state))) continue;
        got = true;
        uint64_t rx = p->Mode ? p->Mode->ResolutionX : 0;
        uint64_t ry = p->Mode ? p->Mode->ResolutionY : 0;
        event->dx = add_motion(event->dx, scale_motion(state.RelativeMovementX, rx));
        event->dy = add_motion(event->dy, scale_motion(state.RelativeMovementY, ry));
        event->left |= state.LeftButton != 0;
        event->right |= state.RightButton != 0;
    }

    for (int i = 0; i < g_absolute_count; i++) {
        EFI_ABSOLUTE_POINTER_PROTOCOL* p = g_absolute[i];
        EFI_ABSOLUTE_POINTER_STATE state = {};
        if (EFI_ERROR(p->GetState(p, &state)) || !p->Mode) continue;
        const EFI_ABSOLUTE_POINTER_MODE& m = *p->Mode;
        // An empty range cannot be scaled (and would divide by zero).
        if (m.AbsoluteMaxX <= m.AbsoluteMinX || m.AbsoluteMaxY <= m.AbsoluteMinY) continue;
        got = true;
        event->absolute = true;
        uint64_t ax = (state.CurrentX - m.AbsoluteMinX) * 65535 / (m.AbsoluteMaxX - m.AbsoluteMinX);
        uint64_t ay = (state.CurrentY - m.AbsoluteMinY) * 65535 / (m.AbsoluteMaxY - m.AbsoluteMinY);
        event->ax = int32_t(uint32_t(ax));
        event->ay = int32_t(uint32_t(ay));
        event->left |= (state.ActiveButtons & 1) != 0;
        event->right |= (state.ActiveButtons & 2) != 0;
    }

    if (g_usb_count > 0) {
        EFI_TPL old = g_bs->RaiseTPL(TPL_NOTIFY);
        if (g_usb_pending) {
            event->dx = add_motion(event->dx, g_usb_dx);
            event->dy = add_motion(event->dy, g_usb_dy);
            g_usb_dx = 0;
            g_usb_dy = 0;
            g_usb_pending = false;
            if (g_usb_absolute) {
                event->absolute = true;
                event->ax = g_usb_ax;
                event->ay = g_usb_ay;
                g_usb_absolute = false;
            }
            got = true;
        }
        if (g_usb_presses) {
            event->pressed = true;
            g_usb_presses = 0;
        }
        // A held button is reported although the mouse sends nothing new.
        event->left |= (g_usb_buttons & 1) != 0;
        event->right |= (g_usb_buttons & 2) != 0;
        g_bs->RestoreTPL(old);
    }
    return got;
}

void pointer_close() {
    EFI_GUID usb_io_guid = EFI_USB_IO_PROTOCOL_GUID;
    for (int i = 0; i < g_usb_count; i++) {
        UsbMouse& m = g_usb[i];
        m.io->UsbAsyncInterruptTransfer(m.io, m.endpoint, FALSE, 0, 0, nullptr, nullptr);
        g_bs->CloseProtocol(m.handle, &usb_io_guid, g_image, m.handle);
    }
    g_simple_count = 0;
    g_absolute_count = 0;
    g_usb_count = 0;
}

bool console_cursor_visible() {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = g_st->ConOut;
    EFI_GUID text_guid = EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID;
    EFI_GUID gop_guid = EFI_GRAPHICS_OUTPUT_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    if (!EFI_ERROR(g_bs->LocateHandleBuffer(ByProtocol, &text_guid, nullptr, &count, &handles))) {
        // ConOut may be a splitter over several consoles; the one on the
        // graphics device is what the user sees after the graphics end.
        for (UINTN i = 0; i < count; i++) {
            VOID* gop = nullptr;
            EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* text = nullptr;
            if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &gop_guid, &gop))) continue;
            if (EFI_ERROR(g_bs->HandleProtocol(handles[i], &text_guid, (VOID**)&text))) continue;
            if (text && text != g_st->ConOut) {
                out = text;
                break;
            }
        }
        g_bs->FreePool(handles);
    }
    return out && out->Mode && out->Mode->CursorVisible;
}

} // namespace kv

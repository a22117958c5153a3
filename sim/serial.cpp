// Simulated serial ports and the console variable that names them.
#include "sim/serial.h"

#include <memory>

#include "platform/efi_protocols.h"
#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

const EFI_GUID kSerialGuid = EFI_SERIAL_IO_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;
const EFI_GUID kGlobalVariable = EFI_GLOBAL_VARIABLE_GUID;
constexpr uint32_t kPnpSerial = 0x050141D0; // EISA "PNP0501"
constexpr size_t kEndNodeBytes = 4;

struct Port {
    EFI_SERIAL_IO_PROTOCOL protocol; // first: a This pointer is the port
    SERIAL_IO_MODE mode;
    EFI_HANDLE handle = nullptr;
    PathBytes path;
    std::string output;
    size_t writes = 0;
    bool failing = false;
    uint64_t byte_time = 0;
    std::function<void(const std::string&)> on_write;
};

std::vector<std::unique_ptr<Port>> g_ports;

Port* port_of(EFI_SERIAL_IO_PROTOCOL* self) {
    for (auto& p : g_ports)
        if (&p->protocol == self) return p.get();
    return nullptr;
}

Port* port_at(EFI_HANDLE handle) {
    for (auto& p : g_ports)
        if (p->handle == handle) return p.get();
    return nullptr;
}

void put_le(PathBytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        out.push_back(uint8_t(value >> (8 * i)));
}

EFI_STATUS EFIAPI serial_write(EFI_SERIAL_IO_PROTOCOL* self, UINTN* size, VOID* buffer) {
    Port* p = port_of(self);
    if (!p || !size || (*size && !buffer)) return EFI_INVALID_PARAMETER;
    p->writes++;
    if (p->failing) {
        *size = 0;
        return EFI_DEVICE_ERROR;
    }
    advance_100ns(p->byte_time * *size);
    p->output.append(static_cast<const char*>(buffer), *size);
    if (p->on_write) p->on_write(std::string(static_cast<const char*>(buffer), *size));
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI serial_read(EFI_SERIAL_IO_PROTOCOL*, UINTN* size, VOID*) {
    if (size) *size = 0;
    return EFI_TIMEOUT;
}

EFI_STATUS EFIAPI serial_reset(EFI_SERIAL_IO_PROTOCOL*) {
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI serial_set_attributes(EFI_SERIAL_IO_PROTOCOL*, UINT64, UINT32, UINT32,
                                        EFI_PARITY_TYPE, UINT8, EFI_STOP_BITS_TYPE) {
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI serial_set_control(EFI_SERIAL_IO_PROTOCOL*, UINT32) {
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI serial_get_control(EFI_SERIAL_IO_PROTOCOL*, UINT32* control) {
    if (!control) return EFI_INVALID_PARAMETER;
    *control = 0;
    return EFI_SUCCESS;
}

} // namespace

namespace detail {

void serial_reset() {
    g_ports.clear();
}

} // namespace detail

PathBytes uart_node(uint64_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop_bits) {
    PathBytes d;
    put_le(d, 0, 4); // reserved
    put_le(d, baud, 8);
    d.push_back(data_bits);
    d.push_back(parity);
    d.push_back(stop_bits);
    return dp::node(MESSAGING_DEVICE_PATH, MSG_UART_DP, d);
}

PathBytes serial_port_path(uint32_t index) {
    PathBytes acpi;
    put_le(acpi, kPnpSerial, 4);
    put_le(acpi, index, 4);
    return dp::path(
        {dp::pci_root(), dp::pci(0x1F, 0), dp::node(ACPI_DEVICE_PATH, ACPI_DP, acpi), uart_node()});
}

PathBytes serial_console_path(uint32_t index) {
    // The PC-ANSI terminal type's vendor GUID.
    PathBytes ansi = {0x53, 0x47, 0xC1, 0xE0, 0xBE, 0xF9, 0xD2, 0x11,
                      0x9A, 0x0C, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D};
    PathBytes out = dp::without_end(serial_port_path(index));
    PathBytes vendor = dp::node(MESSAGING_DEVICE_PATH, MSG_VENDOR_DP, ansi);
    out.insert(out.end(), vendor.begin(), vendor.end());
    PathBytes tail = dp::end();
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

PathBytes gop_console_path() {
    PathBytes adr;
    put_le(adr, 0x80010100, 4); // a VGA output on the display adapter
    return dp::path({dp::pci_root(), dp::pci(0x1, 0), dp::node(ACPI_DEVICE_PATH, 3, adr)});
}

EFI_HANDLE add_serial_port(const PathBytes& path) {
    auto p = std::make_unique<Port>();
    p->mode = SERIAL_IO_MODE{0, 1000000, 115200, 1, 8, NoParity, OneStopBit};
    p->protocol =
        EFI_SERIAL_IO_PROTOCOL{0x00010000,         serial_reset,       serial_set_attributes,
                               serial_set_control, serial_get_control, serial_write,
                               serial_read,        &p->mode,           nullptr};
    p->path = path.empty() ? serial_port_path(uint32_t(g_ports.size())) : path;
    install_protocol(&p->handle, kDevicePathGuid, p->path.data());
    install_protocol(&p->handle, kSerialGuid, &p->protocol);
    g_ports.push_back(std::move(p));
    return g_ports.back()->handle;
}

std::string serial_output(EFI_HANDLE port) {
    Port* p = port_at(port);
    return p ? p->output : std::string();
}

size_t serial_writes(EFI_HANDLE port) {
    Port* p = port_at(port);
    return p ? p->writes : 0;
}

void set_serial_write_hook(EFI_HANDLE port, std::function<void(const std::string&)> hook) {
    if (Port* p = port_at(port)) p->on_write = std::move(hook);
}

void set_serial_byte_time(EFI_HANDLE port, uint64_t per_byte_100ns) {
    if (Port* p = port_at(port)) p->byte_time = per_byte_100ns;
}

void fail_serial_writes(EFI_HANDLE port, bool fail) {
    if (Port* p = port_at(port)) p->failing = fail;
}

std::vector<uint8_t> console_variable(const std::vector<PathBytes>& instances) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < instances.size(); i++) {
        const PathBytes& inst = instances[i];
        out.insert(out.end(), inst.begin(), inst.end());
        if (i + 1 < instances.size() && out.size() >= kEndNodeBytes)
            out[out.size() - kEndNodeBytes + 1] = END_INSTANCE_DEVICE_PATH_SUBTYPE;
    }
    return out;
}

void set_console_out(const std::vector<PathBytes>& instances) {
    set_variable(u"ConOut", kGlobalVariable, console_variable(instances));
}

} // namespace sim

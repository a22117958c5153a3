// The tables themselves, reset, and the boot services that belong to no
// device: watchdog, monotonic count, CRC-32, memory copy and fill. Services
// the program has no business calling answer EFI_UNSUPPORTED so that a call
// shows up as a failure instead of doing something half-right.
#include <cstring>

#include "platform/globals.h"
#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr uint32_t kUefiRevision = (2u << 16) | 70u;
constexpr uint64_t kFirmwareWatchdogSeconds = 300;
constexpr uint64_t kTicksPerSecond = 10000000;

char16_t g_vendor[] = u"Korvane simulated firmware";

EFI_SYSTEM_TABLE g_st;
EFI_BOOT_SERVICES g_bs;
EFI_RUNTIME_SERVICES g_rt;
EFI_LOADED_IMAGE_PROTOCOL g_loaded_image;
EFI_HANDLE g_image;

struct MiscState {
    uint64_t watchdog_seconds = kFirmwareWatchdogSeconds;
    uint64_t watchdog_armed_at = 0;
    uint64_t monotonic = 0;
};
MiscState g_misc;

EFI_STATUS EFIAPI set_watchdog_timer(UINTN timeout, UINT64, UINTN, CHAR16*) {
    g_misc.watchdog_seconds = timeout;
    g_misc.watchdog_armed_at = now_100ns();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_next_monotonic_count(UINT64* count) {
    if (!count) return EFI_INVALID_PARAMETER;
    *count = g_misc.monotonic++;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI calculate_crc32(VOID* data, UINTN size, UINT32* crc) {
    if (!data || !crc || size == 0) return EFI_INVALID_PARAMETER;
    *crc = sim::crc32(data, size);
    return EFI_SUCCESS;
}

VOID EFIAPI copy_mem(VOID* destination, VOID* source, UINTN length) {
    if (length) std::memmove(destination, source, length);
}

VOID EFIAPI set_mem(VOID* buffer, UINTN size, UINT8 value) {
    if (size) std::memset(buffer, value, size);
}

EFI_STATUS EFIAPI get_memory_map(UINTN*, EFI_MEMORY_DESCRIPTOR*, UINTN*, UINTN*, UINT32*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI reinstall_protocol_interface(EFI_HANDLE, EFI_GUID*, VOID*, VOID*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI register_protocol_notify(EFI_GUID*, EFI_EVENT, VOID**) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI install_configuration_table(EFI_GUID*, VOID*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI load_image(BOOLEAN, EFI_HANDLE, EFI_DEVICE_PATH_PROTOCOL*, VOID*, UINTN,
                             EFI_HANDLE*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI start_image(EFI_HANDLE, UINTN*, CHAR16**) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI unload_image(EFI_HANDLE) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI exit_boot_services(EFI_HANDLE, UINTN) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI disconnect_controller(EFI_HANDLE, EFI_HANDLE, EFI_HANDLE) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI open_protocol_information(EFI_HANDLE, EFI_GUID*,
                                            EFI_OPEN_PROTOCOL_INFORMATION_ENTRY**, UINTN*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI create_event_ex(UINT32, EFI_TPL, EFI_EVENT_NOTIFY, const VOID*, const EFI_GUID*,
                                  EFI_EVENT*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI multiple_protocol_interfaces(EFI_HANDLE*, ...) {
    return EFI_UNSUPPORTED;
}

void set_header(EFI_TABLE_HEADER& hdr, uint64_t signature, uint32_t size) {
    hdr.Signature = signature;
    hdr.Revision = kUefiRevision;
    hdr.HeaderSize = size;
    hdr.CRC32 = 0;
    hdr.Reserved = 0;
}

// The header CRC covers the whole table with the CRC field itself zero.
template <typename Table> void seal(Table& table) {
    table.Hdr.CRC32 = 0;
    table.Hdr.CRC32 = crc32(&table, sizeof table);
}

void install_loaded_image() {
    g_loaded_image = EFI_LOADED_IMAGE_PROTOCOL{};
    g_loaded_image.Revision = 0x1000;
    g_loaded_image.SystemTable = &g_st;
    g_loaded_image.ImageCodeType = EfiLoaderCode;
    g_loaded_image.ImageDataType = EfiLoaderData;
    static const EFI_GUID guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    g_image = nullptr;
    install_protocol(&g_image, guid, &g_loaded_image);
}

} // namespace

void reset() {
    g_st = EFI_SYSTEM_TABLE{};
    g_bs = EFI_BOOT_SERVICES{};
    g_rt = EFI_RUNTIME_SERVICES{};
    g_misc = MiscState{};
    set_header(g_st.Hdr, EFI_SYSTEM_TABLE_SIGNATURE, sizeof g_st);
    set_header(g_bs.Hdr, EFI_BOOT_SERVICES_SIGNATURE, sizeof g_bs);
    set_header(g_rt.Hdr, EFI_RUNTIME_SERVICES_SIGNATURE, sizeof g_rt);
    g_st.FirmwareVendor = g_vendor;
    g_st.FirmwareRevision = 0x00010000;
    g_st.BootServices = &g_bs;
    g_st.RuntimeServices = &g_rt;

    detail::memory_reset(g_bs);
    detail::handles_reset(g_bs);
    detail::events_reset(g_bs);
    detail::image_reset(g_bs);
    detail::runtime_reset(g_rt);
    detail::storage_reset();
    detail::pointers_reset();
    detail::usb_reset();
    detail::serial_reset();

    g_bs.SetWatchdogTimer = set_watchdog_timer;
    g_bs.GetNextMonotonicCount = get_next_monotonic_count;
    g_bs.CalculateCrc32 = calculate_crc32;
    g_bs.CopyMem = copy_mem;
    g_bs.SetMem = set_mem;
    g_bs.GetMemoryMap = get_memory_map;
    g_bs.ReinstallProtocolInterface = reinstall_protocol_interface;
    g_bs.RegisterProtocolNotify = register_protocol_notify;
    g_bs.InstallConfigurationTable = install_configuration_table;
    g_bs.LoadImage = load_image;
    g_bs.StartImage = start_image;
    g_bs.UnloadImage = unload_image;
    g_bs.ExitBootServices = exit_boot_services;
    g_bs.DisconnectController = disconnect_controller;
    g_bs.OpenProtocolInformation = open_protocol_information;
    g_bs.CreateEventEx = create_event_ex;
    g_bs.InstallMultipleProtocolInterfaces = reinterpret_cast<VOID*>(multiple_protocol_interfaces);
    g_bs.UninstallMultipleProtocolInterfaces =
        reinterpret_cast<VOID*>(multiple_protocol_interfaces);

    install_loaded_image();
    detail::console_reset(g_st);
    detail::display_reset();

    seal(g_bs);
    seal(g_rt);
    seal(g_st);
    kv::platform_bind(g_image, &g_st);
}

EFI_SYSTEM_TABLE* system_table() {
    return &g_st;
}
EFI_HANDLE image_handle() {
    return g_image;
}
EFI_LOADED_IMAGE_PROTOCOL* loaded_image() {
    return &g_loaded_image;
}

uint64_t watchdog_timeout() {
    return g_misc.watchdog_seconds;
}

bool watchdog_expired() {
    if (g_misc.watchdog_seconds == 0) return false;
    return now_100ns() - g_misc.watchdog_armed_at >= g_misc.watchdog_seconds * kTicksPerSecond;
}

uint32_t crc32(const void* data, size_t n) {
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++)
        c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::string utf16_to_utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace sim

// Device path nodes and their text, as OVMF's converter writes it for the
// nodes that disks and volumes carry. The converter checks a path's framing
// before it prints any of it, so a corrupt path gives null, never a partial
// text.
#include <cstdio>
#include <cstring>

#include "sim/device_path.h"
#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr size_t kHeaderBytes = 4;
constexpr size_t kMaxPathBytes = 1 << 16;
constexpr uint32_t kPnpEisaVendor = 0x41D0;
constexpr uint8_t kMbrSignatureType = 1;
constexpr uint8_t kGuidSignatureType = 2;
constexpr uint8_t kPartitionFormatMbr = 1;
constexpr uint8_t kPartitionFormatGpt = 2;

const EFI_GUID kToTextGuid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;

enum class Presence { Unset, On, Off };

struct ToTextState {
    Presence presence = Presence::Unset;
    EFI_HANDLE handle = nullptr;
    uint64_t calls = 0;
};

ToTextState g_to_text;

void put(PathBytes& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; i++)
        out.push_back(uint8_t(value >> (8 * i)));
}

uint64_t get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

size_t node_length(const uint8_t* node) {
    return size_t(node[2]) | size_t(node[3]) << 8;
}

std::string hex(uint64_t v) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(v));
    return buffer;
}

std::string guid_text(const uint8_t* g) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  unsigned(get(g, 4)), unsigned(get(g + 4, 2)), unsigned(get(g + 6, 2)), g[8], g[9],
                  g[10], g[11], g[12], g[13], g[14], g[15]);
    return buffer;
}

std::string generic_text(const uint8_t* node, size_t length) {
    static const char* const kTypeNames[] = {nullptr, "HardwarePath", "AcpiPath",
                                             "Msg",   "MediaPath",    "BbsPath"};
    uint8_t type = node[0];
    std::string text;
    if (type < sizeof kTypeNames / sizeof kTypeNames[0] && kTypeNames[type])
        text = std::string(kTypeNames[type]) + "(" + std::to_string(node[1]);
    else
        text = "Path(" + std::to_string(type) + "," + std::to_string(node[1]);
    if (length > kHeaderBytes) {
        text += ",";
        char pair[3];
        for (size_t i = kHeaderBytes; i < length; i++) {
            std::snprintf(pair, sizeof pair, "%02X", node[i]);
            text += pair;
        }
    }
    return text + ")";
}

std::string acpi_text(const uint8_t* d) {
    uint32_t hid = uint32_t(get(d, 4));
    uint32_t uid = uint32_t(get(d + 4, 4));
    if ((hid & 0xFFFF) == kPnpEisaVendor) {
        uint32_t pnp = hid >> 16;
        if (pnp == 0x0A03) return "PciRoot(" + hex(uid) + ")";
        if (pnp == 0x0A08) return "PcieRoot(" + hex(uid) + ")";
        char name[16];
        std::snprintf(name, sizeof name, "PNP%04X", pnp);
        return "Acpi(" + std::string(name) + "," + hex(uid) + ")";
    }
    return "Acpi(" + hex(hid) + "," + hex(uid) + ")";
}

std::string hard_drive_text(const uint8_t* d) {
    std::string text = "HD(" + std::to_string(get(d, 4)) + ",";
    const uint8_t* signature = d + 20;
    uint8_t signature_type = d[37];
    if (signature_type == kMbrSignatureType) {
        char sig[16];
        std::snprintf(sig, sizeof sig, "0x%08X", unsigned(get(signature, 4)));
        text += std::string("MBR,") + sig + ",";
    } else if (signature_type == kGuidSignatureType) {
        text += "GPT," + guid_text(signature) + ",";
    } else {
        text += std::to_string(signature_type) + ",0,";
    }
    return text + hex(get(d + 4, 8)) + "," + hex(get(d + 12, 8)) + ")";
}

std::string file_path_text(const uint8_t* d, size_t bytes) {
    std::u16string name;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        char16_t c = char16_t(get(d + i, 2));
        if (c == 0) break;
        name += c;
    }
    return utf16_to_utf8(name);
}

// Nodes of a known kind but shorter than their layout fall back to the
// generic form rather than reading past the node.
std::string node_text(const uint8_t* node) {
    size_t length = node_length(node);
    const uint8_t* d = node + kHeaderBytes;
    uint8_t type = node[0], subtype = node[1];
    auto fits = [&](size_t data_bytes) { return length >= kHeaderBytes + data_bytes; };
    if (type == ACPI_DEVICE_PATH && subtype == ACPI_DP && fits(8)) return acpi_text(d);
    if (type == HARDWARE_DEVICE_PATH && subtype == HW_PCI_DP && fits(2))
        return "Pci(" + hex(d[1]) + "," + hex(d[0]) + ")";
    if (type == MESSAGING_DEVICE_PATH) {
        switch (subtype) {
        case MSG_ATAPI_DP:
            if (!fits(4)) break;
            return std::string("Ata(") + (d[0] ? "Secondary" : "Primary") + "," +
                   (d[1] ? "Slave" : "Master") + "," + hex(get(d + 2, 2)) + ")";
        case MSG_SCSI_DP:
            if (!fits(4)) break;
            return "Scsi(" + hex(get(d, 2)) + "," + hex(get(d + 2, 2)) + ")";
        case MSG_USB_DP:
            if (!fits(2)) break;
            return "USB(" + hex(d[0]) + "," + hex(d[1]) + ")";
        case MSG_SATA_DP:
            if (!fits(6)) break;
            return "Sata(" + hex(get(d, 2)) + "," + hex(get(d + 2, 2)) + "," + hex(get(d + 4, 2)) +
                   ")";
        case MSG_NVME_NAMESPACE_DP: {
            if (!fits(12)) break;
            char eui[32];
            const uint8_t* e = d + 4;
            std::snprintf(eui, sizeof eui, "%02X-%02X-%02X-%02X-%02X-%02X-%02X-%02X", e[7], e[6],
                          e[5], e[4], e[3], e[2], e[1], e[0]);
            return "NVMe(" + hex(get(d, 4)) + "," + eui + ")";
        }
        case MSG_SD_DP:
            if (!fits(1)) break;
            return "SD(" + hex(d[0]) + ")";
        case MSG_EMMC_DP:
            if (!fits(1)) break;
            return "eMMC(" + hex(d[0]) + ")";
        default:
            break;
        }
    }
    if (type == MEDIA_DEVICE_PATH) {
        if (subtype == MEDIA_HARDDRIVE_DP && fits(38)) return hard_drive_text(d);
        if (subtype == MEDIA_CDROM_DP && fits(20))
            return "CDROM(" + hex(get(d, 4)) + "," + hex(get(d + 4, 8)) + "," +
                   hex(get(d + 12, 8)) + ")";
        if (subtype == MEDIA_FILEPATH_DP) return file_path_text(d, length - kHeaderBytes);
    }
    return generic_text(node, length);
}

// The bytes up to and including the end node, or 0 when the framing is bad.
size_t framed_length(const uint8_t* path) {
    size_t at = 0;
    while (at + kHeaderBytes <= kMaxPathBytes) {
        const uint8_t* node = path + at;
        size_t length = node_length(node);
        if (length < kHeaderBytes) return 0;
        at += length;
        if (node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) return at;
    }
    return 0;
}

CHAR16* pool_text(const std::string& utf8) {
    std::u16string wide;
    for (size_t i = 0; i < utf8.size(); i++) {
        unsigned char c = utf8[i];
        if (c < 0x80) {
            wide += char16_t(c);
            continue;
        }
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
        uint32_t cp = c & (0x3F >> extra);
        for (int k = 0; k < extra && i + 1 < utf8.size(); k++)
            cp = cp << 6 | (utf8[++i] & 0x3F);
        wide += char16_t(cp > 0xFFFF ? 0xFFFD : cp);
    }
    void* block = nullptr;
    if (EFI_ERROR(detail::pool_allocate((wide.size() + 1) * sizeof(CHAR16), &block)))
        return nullptr;
    std::memcpy(block, wide.c_str(), (wide.size() + 1) * sizeof(CHAR16));
    return static_cast<CHAR16*>(block);
}

CHAR16* EFIAPI convert_node(const EFI_DEVICE_PATH_PROTOCOL* node, BOOLEAN, BOOLEAN) {
    g_to_text.calls++;
    if (!node) return nullptr;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(node);
    if (node_length(bytes) < kHeaderBytes) return nullptr;
    return pool_text(node_text(bytes));
}

// Display-only output is not offered: the program always asks for the full
// form, and the full form is what it sorts and compares.
CHAR16* EFIAPI convert_path(const EFI_DEVICE_PATH_PROTOCOL* path, BOOLEAN, BOOLEAN) {
    g_to_text.calls++;
    std::string text;
    if (!path || !device_path_text(path, &text)) return nullptr;
    return pool_text(text);
}

EFI_DEVICE_PATH_TO_TEXT_PROTOCOL g_protocol = {convert_node, convert_path};

void install() {
    if (g_to_text.handle) return;
    EFI_HANDLE handle = nullptr;
    if (!EFI_ERROR(install_protocol(&handle, kToTextGuid, &g_protocol))) g_to_text.handle = handle;
}

void uninstall() {
    if (!g_to_text.handle) return;
    uninstall_protocol(g_to_text.handle, kToTextGuid);
    g_to_text.handle = nullptr;
}

} // namespace

namespace dp {

PathBytes node(uint8_t type, uint8_t subtype, const PathBytes& data) {
    PathBytes out;
    out.reserve(kHeaderBytes + data.size());
    out.push_back(type);
    out.push_back(subtype);
    put(out, kHeaderBytes + data.size(), 2);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

PathBytes pci_root(uint32_t uid) {
    PathBytes d;
    put(d, uint32_t(0x0A03) << 16 | kPnpEisaVendor, 4);
    put(d, uid, 4);
    return node(ACPI_DEVICE_PATH, ACPI_DP, d);
}

PathBytes pci(uint8_t device, uint8_t function) {
    return node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {function, device});
}

PathBytes sata(uint16_t hba_port, uint16_t multiplier_port, uint16_t lun) {
    PathBytes d;
    put(d, hba_port, 2);
    put(d, multiplier_port, 2);
    put(d, lun, 2);
    return node(MESSAGING_DEVICE_PATH, MSG_SATA_DP, d);
}

PathBytes nvme(uint32_t namespace_id, uint64_t eui64) {
    PathBytes d;
    put(d, namespace_id, 4);
    put(d, eui64, 8);
    return node(MESSAGING_DEVICE_PATH, MSG_NVME_NAMESPACE_DP, d);
}

PathBytes usb(uint8_t parent_port, uint8_t interface) {
    return node(MESSAGING_DEVICE_PATH, MSG_USB_DP, {parent_port, interface});
}

PathBytes scsi(uint16_t pun, uint16_t lun) {
    PathBytes d;
    put(d, pun, 2);
    put(d, lun, 2);
    return node(MESSAGING_DEVICE_PATH, MSG_SCSI_DP, d);
}

PathBytes ata(bool secondary, bool slave, uint16_t lun) {
    PathBytes d = {uint8_t(secondary), uint8_t(slave)};
    put(d, lun, 2);
    return node(MESSAGING_DEVICE_PATH, MSG_ATAPI_DP, d);
}

PathBytes sd(uint8_t slot) {
    return node(MESSAGING_DEVICE_PATH, MSG_SD_DP, {slot});
}

PathBytes emmc(uint8_t slot) {
    return node(MESSAGING_DEVICE_PATH, MSG_EMMC_DP, {slot});
}

namespace {

PathBytes hard_drive(uint32_t number, uint64_t start, uint64_t size, const uint8_t* signature,
                     size_t signature_bytes, uint8_t format, uint8_t signature_type) {
    PathBytes d;
    put(d, number, 4);
    put(d, start, 8);
    put(d, size, 8);
    PathBytes sig(16, 0);
    std::memcpy(sig.data(), signature, signature_bytes);
    d.insert(d.end(), sig.begin(), sig.end());
    d.push_back(format);
    d.push_back(signature_type);
    return node(MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, d);
}

} // namespace

PathBytes hard_drive_mbr(uint32_t number, uint64_t start, uint64_t size, uint32_t signature) {
    uint8_t sig[4];
    for (int i = 0; i < 4; i++)
        sig[i] = uint8_t(signature >> (8 * i));
    return hard_drive(number, start, size, sig, 4, kPartitionFormatMbr, kMbrSignatureType);
}

PathBytes hard_drive_gpt(uint32_t number, uint64_t start, uint64_t size, const uint8_t guid[16]) {
    return hard_drive(number, start, size, guid, 16, kPartitionFormatGpt, kGuidSignatureType);
}

PathBytes file_path(const std::u16string& name) {
    PathBytes d;
    for (char16_t c : name)
        put(d, c, 2);
    put(d, 0, 2);
    return node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, d);
}

PathBytes end_instance() {
    return node(END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE, {});
}

PathBytes end() {
    return node(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {});
}

PathBytes path(std::initializer_list<PathBytes> nodes) {
    PathBytes out;
    for (const PathBytes& n : nodes)
        out.insert(out.end(), n.begin(), n.end());
    PathBytes tail = end();
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

PathBytes without_end(const PathBytes& path) {
    size_t length = framed_length(path.data());
    if (length < kHeaderBytes) return path;
    return PathBytes(path.begin(), path.begin() + long(length - kHeaderBytes));
}

} // namespace dp

bool device_path_text(const void* path, std::string* text) {
    const uint8_t* bytes = static_cast<const uint8_t*>(path);
    size_t length = framed_length(bytes);
    if (length == 0) return false;
    std::string out;
    bool separate = false;
    for (size_t at = 0; at < length;) {
        const uint8_t* node = bytes + at;
        at += node_length(node);
        if (node[0] == END_DEVICE_PATH_TYPE) {
            if (node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) break;
            out += ",";
            separate = false;
            continue;
        }
        if (separate) out += "/";
        out += node_text(node);
        separate = true;
    }
    *text = out;
    return true;
}

void set_device_path_to_text(bool present) {
    g_to_text.presence = present ? Presence::On : Presence::Off;
    if (present)
        install();
    else
        uninstall();
}

uint64_t device_path_to_text_calls() {
    return g_to_text.calls;
}

namespace detail {

void device_path_text_reset() {
    g_to_text = ToTextState{};
}

void device_path_text_default() {
    if (g_to_text.presence == Presence::Unset) install();
}

} // namespace detail

} // namespace sim

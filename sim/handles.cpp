// The handle database: handles carrying protocol interfaces, the open
// records that OpenProtocol keeps, and the services that search it. Handles
// are listed in creation order and each protocol's handles in the order the
// protocol was installed, as firmware keeps them on linked lists.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr uint32_t kByDriver = EFI_OPEN_PROTOCOL_BY_DRIVER;
constexpr uint32_t kExclusive = EFI_OPEN_PROTOCOL_EXCLUSIVE;
// Device paths longer than this are taken as corrupt rather than walked.
constexpr size_t kMaxDevicePathBytes = 1 << 16;

const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

struct OpenRecord {
    EFI_HANDLE agent;
    EFI_HANDLE controller;
    uint32_t attributes;
    uint32_t count;
};

struct ProtocolEntry {
    EFI_GUID guid;
    void* iface;
    uint64_t installed; // installation sequence number
    bool driver_owned;
    std::vector<OpenRecord> opens;
};

struct HandleRecord {
    bool alive = true;
    std::vector<ProtocolEntry> protocols;
};

using GuidKey = std::array<uint8_t, sizeof(EFI_GUID)>;
// A protocol's handles by installation number: firmware keeps one list per
// protocol, so that finding its handles costs nothing per other handle.
using Installations = std::set<std::pair<uint64_t, HandleRecord*>>;

GuidKey key_of(const EFI_GUID& guid) {
    GuidKey key;
    std::memcpy(key.data(), &guid, key.size());
    return key;
}

struct HandleState {
    // Records stay allocated until reset so that a stale handle is never
    // mistaken for a newer one at the same address.
    std::vector<std::unique_ptr<HandleRecord>> handles;
    std::unordered_set<const void*> known;
    std::map<GuidKey, Installations> by_protocol;
    uint64_t next_installed = 0;
    std::function<void(EFI_HANDLE)> connect_hook;
    std::vector<std::pair<EFI_HANDLE, std::function<void()>>> drivers;
};

HandleState g_db;

HandleRecord* find_handle(EFI_HANDLE handle) {
    if (!handle || !g_db.known.count(handle)) return nullptr;
    auto* rec = static_cast<HandleRecord*>(handle);
    return rec->alive ? rec : nullptr;
}

ProtocolEntry* find_protocol(HandleRecord* rec, const EFI_GUID& guid) {
    for (auto& p : rec->protocols)
        if (efi_guid_equal(p.guid, guid)) return &p;
    return nullptr;
}

EFI_STATUS install(EFI_HANDLE* handle, const EFI_GUID& guid, void* iface) {
    if (!handle) return EFI_INVALID_PARAMETER;
    HandleRecord* rec;
    if (*handle) {
        rec = find_handle(*handle);
        if (!rec) return EFI_INVALID_PARAMETER;
        if (find_protocol(rec, guid)) return EFI_INVALID_PARAMETER;
    } else {
        g_db.handles.push_back(std::make_unique<HandleRecord>());
        rec = g_db.handles.back().get();
        g_db.known.insert(rec);
    }
    uint64_t installed = g_db.next_installed++;
    rec->protocols.push_back(ProtocolEntry{guid, iface, installed, false, {}});
    g_db.by_protocol[key_of(guid)].emplace(installed, rec);
    *handle = rec;
    return EFI_SUCCESS;
}

// any_iface: the caller does not name the interface it expects to remove.
EFI_STATUS uninstall(EFI_HANDLE handle, const EFI_GUID& guid, void* iface, bool any_iface) {
    HandleRecord* rec = find_handle(handle);
    if (!rec) return EFI_INVALID_PARAMETER;
    ProtocolEntry* p = find_protocol(rec, guid);
    if (!p || (!any_iface && p->iface != iface)) return EFI_NOT_FOUND;
    // Firmware would first ask the driver to let go; the simulated drivers
    // never do.
    for (const auto& open : p->opens)
        if (open.attributes & (kByDriver | kExclusive)) return EFI_ACCESS_DENIED;
    auto list = g_db.by_protocol.find(key_of(guid));
    list->second.erase({p->installed, rec});
    if (list->second.empty()) g_db.by_protocol.erase(list);
    rec->protocols.erase(rec->protocols.begin() + (p - rec->protocols.data()));
    if (rec->protocols.empty()) rec->alive = false;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI install_protocol_interface(EFI_HANDLE* handle, EFI_GUID* guid,
                                             EFI_INTERFACE_TYPE type, VOID* iface) {
    if (!guid || type != EFI_NATIVE_INTERFACE) return EFI_INVALID_PARAMETER;
    return install(handle, *guid, iface);
}

EFI_STATUS EFIAPI uninstall_protocol_interface(EFI_HANDLE handle, EFI_GUID* guid, VOID* iface) {
    if (!guid) return EFI_INVALID_PARAMETER;
    return uninstall(handle, *guid, iface, false);
}

EFI_STATUS EFIAPI handle_protocol(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface) {
    if (!guid || !iface) return EFI_INVALID_PARAMETER;
    *iface = nullptr;
    HandleRecord* rec = find_handle(handle);
    if (!rec) return EFI_INVALID_PARAMETER;
    ProtocolEntry* p = find_protocol(rec, *guid);
    if (!p) return EFI_UNSUPPORTED;
    *iface = p->iface;
    return EFI_SUCCESS;
}

// The handles a search selects, in the order described at the top.
EFI_STATUS search(EFI_LOCATE_SEARCH_TYPE type, const EFI_GUID* guid, std::vector<EFI_HANDLE>& out) {
    out.clear();
    if (type == AllHandles) {
        for (auto& rec : g_db.handles)
            if (rec->alive) out.push_back(rec.get());
    } else if (type == ByProtocol) {
        if (!guid) return EFI_INVALID_PARAMETER;
        auto list = g_db.by_protocol.find(key_of(*guid));
        if (list != g_db.by_protocol.end())
            for (const auto& installed : list->second)
                out.push_back(installed.second);
    } else {
        // ByRegisterNotify needs a registration key, and RegisterProtocolNotify
        // is not offered, so no key can be valid.
        return EFI_INVALID_PARAMETER;
    }
    return out.empty() ? EFI_NOT_FOUND : EFI_SUCCESS;
}

EFI_STATUS EFIAPI locate_handle(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid, VOID*,
                                UINTN* buffer_size, EFI_HANDLE* buffer) {
    if (!buffer_size) return EFI_INVALID_PARAMETER;
    std::vector<EFI_HANDLE> found;
    EFI_STATUS status = search(type, guid, found);
    if (EFI_ERROR(status)) return status;
    size_t need = found.size() * sizeof(EFI_HANDLE);
    if (*buffer_size < need) {
        *buffer_size = need;
        return EFI_BUFFER_TOO_SMALL;
    }
    if (!buffer) return EFI_INVALID_PARAMETER;
    std::memcpy(buffer, found.data(), need);
    *buffer_size = need;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI locate_handle_buffer(EFI_LOCATE_SEARCH_TYPE type, EFI_GUID* guid, VOID*,
                                       UINTN* count, EFI_HANDLE** buffer) {
    if (!count || !buffer) return EFI_INVALID_PARAMETER;
    *count = 0;
    *buffer = nullptr;
    std::vector<EFI_HANDLE> found;
    EFI_STATUS status = search(type, guid, found);
    if (EFI_ERROR(status)) return status;
    void* block;
    status = detail::pool_allocate(found.size() * sizeof(EFI_HANDLE), &block);
    if (EFI_ERROR(status)) return status;
    std::memcpy(block, found.data(), found.size() * sizeof(EFI_HANDLE));
    *buffer = static_cast<EFI_HANDLE*>(block);
    *count = found.size();
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI locate_protocol(EFI_GUID* guid, VOID*, VOID** iface) {
    if (!guid || !iface) return EFI_INVALID_PARAMETER;
    *iface = nullptr;
    auto list = g_db.by_protocol.find(key_of(*guid));
    if (list == g_db.by_protocol.end()) return EFI_NOT_FOUND;
    *iface = find_protocol(list->second.begin()->second, *guid)->iface;
    return EFI_SUCCESS;
}

size_t node_length(const uint8_t* node) {
    return size_t(node[2]) | size_t(node[3]) << 8;
}

// Bytes of `path` that `prefix` (up to its end node) matches node for node,
// or -1 when it is not a prefix. Both paths end at their first end node.
long matched_prefix(const uint8_t* prefix, const uint8_t* path) {
    size_t at = 0;
    while (at < kMaxDevicePathBytes) {
        const uint8_t* node = prefix + at;
        if (node[0] == END_DEVICE_PATH_TYPE) return long(at);
        size_t len = node_length(node);
        const uint8_t* other = path + at;
        if (len < sizeof(EFI_DEVICE_PATH_PROTOCOL) || other[0] == END_DEVICE_PATH_TYPE ||
            node_length(other) != len || std::memcmp(node, other, len) != 0)
            return -1;
        at += len;
    }
    return -1;
}

// Firmware measures the whole path first, every instance up to the final
// end node, so a caller's path must be well formed to its very end.
bool whole_path_well_formed(const uint8_t* path) {
    for (size_t at = 0; at < kMaxDevicePathBytes;) {
        const uint8_t* node = path + at;
        size_t len = node_length(node);
        if (len < sizeof(EFI_DEVICE_PATH_PROTOCOL)) return false;
        if (node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            return true;
        at += len;
    }
    return false;
}

EFI_STATUS EFIAPI locate_device_path(EFI_GUID* guid, EFI_DEVICE_PATH_PROTOCOL** path,
                                     EFI_HANDLE* device) {
    if (!guid || !path || !*path || !device) return EFI_INVALID_PARAMETER;
    const uint8_t* wanted = reinterpret_cast<const uint8_t*>(*path);
    if (!whole_path_well_formed(wanted)) return EFI_INVALID_PARAMETER;
    long best = -1;
    EFI_HANDLE best_handle = nullptr;
    for (auto& rec : g_db.handles) {
        if (!rec->alive || !find_protocol(rec.get(), *guid)) continue;
        ProtocolEntry* dp = find_protocol(rec.get(), kDevicePathGuid);
        if (!dp || !dp->iface) continue;
        long n = matched_prefix(static_cast<const uint8_t*>(dp->iface), wanted);
        if (n > best) {
            best = n;
            best_handle = rec.get();
        }
    }
    if (best < 0) return EFI_NOT_FOUND;
    *device = best_handle;
    *path = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(const_cast<uint8_t*>(wanted) + best);
    return EFI_SUCCESS;
}

bool valid_open_attributes(uint32_t attributes, EFI_HANDLE handle, EFI_HANDLE agent,
                           EFI_HANDLE controller) {
    switch (attributes) {
    case EFI_OPEN_PROTOCOL_BY_HANDLE_PROTOCOL:
    case EFI_OPEN_PROTOCOL_GET_PROTOCOL:
    case EFI_OPEN_PROTOCOL_TEST_PROTOCOL:
        return true;
    case EFI_OPEN_PROTOCOL_BY_CHILD_CONTROLLER:
        return find_handle(agent) && find_handle(controller) && controller != handle;
    case kByDriver:
    case kByDriver | kExclusive:
        return find_handle(agent) && find_handle(controller);
    case kExclusive:
        return find_handle(agent) != nullptr;
    default:
        return false;
    }
}

// The conflicts of a BY_DRIVER or EXCLUSIVE open with what is already open.
EFI_STATUS open_conflict(const ProtocolEntry& p, uint32_t attributes, EFI_HANDLE agent) {
    if (p.driver_owned) return EFI_ACCESS_DENIED;
    bool same_agent_holds = false;
    for (const auto& open : p.opens) {
        bool held = (open.attributes & attributes & (kByDriver | kExclusive)) != 0;
        if (held && open.agent == agent) {
            same_agent_holds = true;
        } else if (open.attributes & (kByDriver | kExclusive)) {
            return EFI_ACCESS_DENIED;
        }
    }
    return same_agent_holds ? EFI_ALREADY_STARTED : EFI_SUCCESS;
}

EFI_STATUS EFIAPI open_protocol(EFI_HANDLE handle, EFI_GUID* guid, VOID** iface, EFI_HANDLE agent,
                                EFI_HANDLE controller, UINT32 attributes) {
    if (!guid) return EFI_INVALID_PARAMETER;
    if (attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL) {
        if (!iface) return EFI_INVALID_PARAMETER;
        *iface = nullptr;
    }
    HandleRecord* rec = find_handle(handle);
    if (!rec || !valid_open_attributes(attributes, handle, agent, controller))
        return EFI_INVALID_PARAMETER;
    ProtocolEntry* p = find_protocol(rec, *guid);
    if (!p) return EFI_UNSUPPORTED;
    if (attributes == EFI_OPEN_PROTOCOL_TEST_PROTOCOL) return EFI_SUCCESS;
    if (attributes & (kByDriver | kExclusive)) {
        EFI_STATUS conflict = open_conflict(*p, attributes, agent);
        if (conflict == EFI_ALREADY_STARTED) *iface = p->iface;
        if (conflict != EFI_SUCCESS) return conflict;
    }
    *iface = p->iface;
    for (auto& open : p->opens) {
        if (open.agent == agent && open.controller == controller && open.attributes == attributes) {
            open.count++;
            return EFI_SUCCESS;
        }
    }
    p->opens.push_back(OpenRecord{agent, controller, attributes, 1});
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI close_protocol(EFI_HANDLE handle, EFI_GUID* guid, EFI_HANDLE agent,
                                 EFI_HANDLE controller) {
    if (!guid) return EFI_INVALID_PARAMETER;
    HandleRecord* rec = find_handle(handle);
    if (!rec || !find_handle(agent) || (controller && !find_handle(controller)))
        return EFI_INVALID_PARAMETER;
    ProtocolEntry* p = find_protocol(rec, *guid);
    if (!p) return EFI_NOT_FOUND;
    auto& opens = p->opens;
    auto gone = std::remove_if(opens.begin(), opens.end(), [&](const OpenRecord& o) {
        return o.agent == agent && o.controller == controller;
    });
    if (gone == opens.end()) return EFI_NOT_FOUND;
    opens.erase(gone, opens.end());
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI connect_controller(EFI_HANDLE controller, EFI_HANDLE*, EFI_DEVICE_PATH_PROTOCOL*,
                                     BOOLEAN) {
    if (!find_handle(controller)) return EFI_INVALID_PARAMETER;
    for (auto& driver : g_db.drivers)
        if (driver.first == controller) driver.second();
    // A copy: the hook may replace itself.
    auto hook = g_db.connect_hook;
    if (hook) hook(controller);
    return EFI_SUCCESS;
}

// One pool block holds the pointer array followed by the GUIDs it points
// to, so the program's single FreePool releases everything.
EFI_STATUS EFIAPI protocols_per_handle(EFI_HANDLE handle, EFI_GUID*** buffer, UINTN* count) {
    if (!buffer || !count) return EFI_INVALID_PARAMETER;
    HandleRecord* rec = find_handle(handle);
    if (!rec) return EFI_INVALID_PARAMETER;
    size_t n = rec->protocols.size();
    void* block;
    EFI_STATUS status = detail::pool_allocate(n * (sizeof(EFI_GUID*) + sizeof(EFI_GUID)), &block);
    if (EFI_ERROR(status)) return status;
    auto** pointers = static_cast<EFI_GUID**>(block);
    auto* guids = reinterpret_cast<EFI_GUID*>(pointers + n);
    for (size_t i = 0; i < n; i++) {
        guids[i] = rec->protocols[i].guid;
        pointers[i] = &guids[i];
    }
    *buffer = pointers;
    *count = n;
    return EFI_SUCCESS;
}

} // namespace

namespace detail {

void handles_reset(EFI_BOOT_SERVICES& bs) {
    g_db = HandleState{};
    bs.InstallProtocolInterface = install_protocol_interface;
    bs.UninstallProtocolInterface = uninstall_protocol_interface;
    bs.HandleProtocol = handle_protocol;
    bs.LocateHandle = locate_handle;
    bs.LocateHandleBuffer = locate_handle_buffer;
    bs.LocateProtocol = locate_protocol;
    bs.LocateDevicePath = locate_device_path;
    bs.OpenProtocol = open_protocol;
    bs.CloseProtocol = close_protocol;
    bs.ConnectController = connect_controller;
    bs.ProtocolsPerHandle = protocols_per_handle;
}

bool handle_known(EFI_HANDLE handle) {
    return find_handle(handle) != nullptr;
}

void set_controller_driver(EFI_HANDLE controller, std::function<void()> start) {
    g_db.drivers.emplace_back(controller, std::move(start));
}

} // namespace detail

EFI_STATUS install_protocol(EFI_HANDLE* handle, const EFI_GUID& guid, void* iface) {
    return install(handle, guid, iface);
}

EFI_STATUS uninstall_protocol(EFI_HANDLE handle, const EFI_GUID& guid) {
    return uninstall(handle, guid, nullptr, true);
}

void set_driver_owned(EFI_HANDLE handle, const EFI_GUID& guid, bool owned) {
    if (HandleRecord* rec = find_handle(handle))
        if (ProtocolEntry* p = find_protocol(rec, guid)) p->driver_owned = owned;
}

void set_connect_hook(std::function<void(EFI_HANDLE)> hook) {
    g_db.connect_hook = std::move(hook);
}

size_t open_count(EFI_HANDLE handle, const EFI_GUID& guid) {
    HandleRecord* rec = find_handle(handle);
    ProtocolEntry* p = rec ? find_protocol(rec, guid) : nullptr;
    if (!p) return 0;
    size_t n = 0;
    for (const auto& open : p->opens)
        n += open.count;
    return n;
}

} // namespace sim

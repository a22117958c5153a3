// Runtime services: a settable clock for GetTime and a variable store for
// GetVariable. Everything else the program must not touch.
#include <cstring>
#include <map>
#include <utility>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr uint32_t kVariableBootService = 0x2;
constexpr uint32_t kVariableRuntime = 0x4;
constexpr int16_t kUnspecifiedTimezone = 0x07FF;

struct GuidLess {
    bool operator()(const EFI_GUID& a, const EFI_GUID& b) const {
        return std::memcmp(&a, &b, sizeof a) < 0;
    }
};

struct VariableKey {
    std::u16string name;
    EFI_GUID guid;
    bool operator<(const VariableKey& o) const {
        if (name != o.name) return name < o.name;
        return GuidLess{}(guid, o.guid);
    }
};

struct RuntimeState {
    EFI_TIME time{};
    bool time_fails = false;
    std::map<VariableKey, std::vector<uint8_t>> variables;
};

RuntimeState g_rs;

EFI_TIME default_time() {
    EFI_TIME t{};
    t.Year = 2024;
    t.Month = 5;
    t.Day = 17;
    t.Hour = 9;
    t.Minute = 30;
    t.Second = 0;
    t.TimeZone = kUnspecifiedTimezone;
    return t;
}

EFI_STATUS EFIAPI get_time(EFI_TIME* time, EFI_TIME_CAPABILITIES* capabilities) {
    if (!time) return EFI_INVALID_PARAMETER;
    if (g_rs.time_fails) return EFI_DEVICE_ERROR;
    *time = g_rs.time;
    if (capabilities) {
        capabilities->Resolution = 1;
        capabilities->Accuracy = 50000000;
        capabilities->SetsToZero = FALSE;
    }
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI get_variable(CHAR16* name, EFI_GUID* guid, UINT32* attributes, UINTN* size,
                               VOID* data) {
    if (!name || !guid || !size) return EFI_INVALID_PARAMETER;
    auto it = g_rs.variables.find(VariableKey{name, *guid});
    if (it == g_rs.variables.end()) return EFI_NOT_FOUND;
    const auto& bytes = it->second;
    if (*size < bytes.size()) {
        *size = bytes.size();
        return EFI_BUFFER_TOO_SMALL;
    }
    if (!data) return EFI_INVALID_PARAMETER;
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    *size = bytes.size();
    if (attributes) *attributes = kVariableBootService | kVariableRuntime;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI set_time_service(EFI_TIME*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI get_wakeup_time(BOOLEAN*, BOOLEAN*, EFI_TIME*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI set_wakeup_time(BOOLEAN, EFI_TIME*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI set_virtual_address_map(UINTN, UINTN, UINT32, EFI_MEMORY_DESCRIPTOR*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI convert_pointer(UINTN, VOID**) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI get_next_variable_name(UINTN*, CHAR16*, EFI_GUID*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI set_variable_service(CHAR16*, EFI_GUID*, UINT32, UINTN, VOID*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI get_next_high_monotonic_count(UINT32*) {
    return EFI_UNSUPPORTED;
}
VOID EFIAPI reset_system(EFI_RESET_TYPE, EFI_STATUS, UINTN, VOID*) {}
EFI_STATUS EFIAPI update_capsule(EFI_CAPSULE_HEADER**, UINTN, EFI_PHYSICAL_ADDRESS) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI query_capsule_capabilities(EFI_CAPSULE_HEADER**, UINTN, UINT64*,
                                             EFI_RESET_TYPE*) {
    return EFI_UNSUPPORTED;
}
EFI_STATUS EFIAPI query_variable_info(UINT32, UINT64*, UINT64*, UINT64*) {
    return EFI_UNSUPPORTED;
}

} // namespace

namespace detail {

void runtime_reset(EFI_RUNTIME_SERVICES& rt) {
    g_rs = RuntimeState{};
    g_rs.time = default_time();
    rt.GetTime = get_time;
    rt.SetTime = set_time_service;
    rt.GetWakeupTime = get_wakeup_time;
    rt.SetWakeupTime = set_wakeup_time;
    rt.SetVirtualAddressMap = set_virtual_address_map;
    rt.ConvertPointer = convert_pointer;
    rt.GetVariable = get_variable;
    rt.GetNextVariableName = get_next_variable_name;
    rt.SetVariable = set_variable_service;
    rt.GetNextHighMonotonicCount = get_next_high_monotonic_count;
    rt.ResetSystem = reset_system;
    rt.UpdateCapsule = update_capsule;
    rt.QueryCapsuleCapabilities = query_capsule_capabilities;
    rt.QueryVariableInfo = query_variable_info;
}

} // namespace detail

void set_time(const EFI_TIME& time, bool fail) {
    g_rs.time = time;
    g_rs.time_fails = fail;
}

void set_variable(const std::u16string& name, const EFI_GUID& guid,
                  const std::vector<uint8_t>& bytes) {
    g_rs.variables[VariableKey{name, guid}] = bytes;
}

void erase_variable(const std::u16string& name, const EFI_GUID& guid) {
    g_rs.variables.erase(VariableKey{name, guid});
}

} // namespace sim

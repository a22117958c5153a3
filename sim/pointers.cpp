// Simulated Simple Pointer and Absolute Pointer devices: each answers
// GetState from a script of states and failures.
#include <deque>
#include <memory>
#include <vector>

#include "sim/firmware.h"
#include "sim/input_devices.h"
#include "sim/internal.h"

namespace sim {
namespace {

const EFI_GUID kSimpleGuid = EFI_SIMPLE_POINTER_PROTOCOL_GUID;
const EFI_GUID kAbsoluteGuid = EFI_ABSOLUTE_POINTER_PROTOCOL_GUID;
const EFI_GUID kDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

struct Answer {
    EFI_STATUS status;
    EFI_SIMPLE_POINTER_STATE simple;
    EFI_ABSOLUTE_POINTER_STATE absolute;
};

// The protocol records come first so that a This pointer is the device.
struct SimpleDevice {
    EFI_SIMPLE_POINTER_PROTOCOL protocol;
    EFI_SIMPLE_POINTER_MODE mode;
};

struct AbsoluteDevice {
    EFI_ABSOLUTE_POINTER_PROTOCOL protocol;
    EFI_ABSOLUTE_POINTER_MODE mode;
};

struct Device {
    EFI_HANDLE handle = nullptr;
    std::unique_ptr<SimpleDevice> simple;
    std::unique_ptr<AbsoluteDevice> absolute;
    PathBytes path;
    std::deque<Answer> script;
    size_t resets = 0;
};

struct PointerState {
    std::vector<std::unique_ptr<Device>> devices;
};

PointerState g_ptr;

Device* by_handle(EFI_HANDLE handle) {
    for (auto& d : g_ptr.devices)
        if (d->handle == handle) return d.get();
    return nullptr;
}

Device* by_simple(EFI_SIMPLE_POINTER_PROTOCOL* p) {
    for (auto& d : g_ptr.devices)
        if (d->simple && &d->simple->protocol == p) return d.get();
    return nullptr;
}

Device* by_absolute(EFI_ABSOLUTE_POINTER_PROTOCOL* p) {
    for (auto& d : g_ptr.devices)
        if (d->absolute && &d->absolute->protocol == p) return d.get();
    return nullptr;
}

EFI_STATUS next_answer(Device* d, Answer* out) {
    if (d->script.empty()) return EFI_NOT_READY;
    *out = d->script.front();
    d->script.pop_front();
    return out->status;
}

EFI_STATUS EFIAPI simple_reset(EFI_SIMPLE_POINTER_PROTOCOL* self, BOOLEAN) {
    Device* d = by_simple(self);
    if (!d) return EFI_INVALID_PARAMETER;
    d->resets++;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI simple_get_state(EFI_SIMPLE_POINTER_PROTOCOL* self,
                                   EFI_SIMPLE_POINTER_STATE* state) {
    Device* d = by_simple(self);
    if (!d || !state) return EFI_INVALID_PARAMETER;
    Answer a;
    EFI_STATUS status = next_answer(d, &a);
    if (status == EFI_SUCCESS) *state = a.simple;
    return status;
}

EFI_STATUS EFIAPI absolute_reset(EFI_ABSOLUTE_POINTER_PROTOCOL* self, BOOLEAN) {
    Device* d = by_absolute(self);
    if (!d) return EFI_INVALID_PARAMETER;
    d->resets++;
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI absolute_get_state(EFI_ABSOLUTE_POINTER_PROTOCOL* self,
                                     EFI_ABSOLUTE_POINTER_STATE* state) {
    Device* d = by_absolute(self);
    if (!d || !state) return EFI_INVALID_PARAMETER;
    Answer a;
    EFI_STATUS status = next_answer(d, &a);
    if (status == EFI_SUCCESS) *state = a.absolute;
    return status;
}

// PS/2 mice sit behind the LPC bridge; each simulated device gets a path of
// its own there so that paths stay unique.
PathBytes default_path(size_t index) {
    PathBytes pnp = {0xD0, 0x41, 0x13, 0x0F}; // PNP0F13, a PS/2 mouse
    PathBytes uid = {uint8_t(index), 0, 0, 0};
    pnp.insert(pnp.end(), uid.begin(), uid.end());
    return dp::path({dp::pci_root(), dp::pci(0x1F, 0), dp::node(ACPI_DEVICE_PATH, ACPI_DP, pnp)});
}

Device* add_device(bool has_path, const PathBytes& path) {
    auto d = std::make_unique<Device>();
    d->path = path.empty() ? default_path(g_ptr.devices.size()) : path;
    if (has_path) install_protocol(&d->handle, kDevicePathGuid, d->path.data());
    g_ptr.devices.push_back(std::move(d));
    return g_ptr.devices.back().get();
}

} // namespace

namespace detail {

void pointers_reset() {
    g_ptr = PointerState{};
}

} // namespace detail

EFI_HANDLE add_simple_pointer(const SimplePointerConfig& config) {
    Device* d = add_device(config.has_device_path, config.path);
    d->simple = std::make_unique<SimpleDevice>();
    d->simple->mode = EFI_SIMPLE_POINTER_MODE{config.resolution_x, config.resolution_y,
                                              config.resolution_z, TRUE, TRUE};
    d->simple->protocol =
        EFI_SIMPLE_POINTER_PROTOCOL{simple_reset, simple_get_state, nullptr, &d->simple->mode};
    install_protocol(&d->handle, kSimpleGuid, &d->simple->protocol);
    return d->handle;
}

EFI_HANDLE add_absolute_pointer(const AbsolutePointerConfig& config) {
    Device* d = add_device(config.has_device_path, config.path);
    d->absolute = std::make_unique<AbsoluteDevice>();
    d->absolute->mode =
        EFI_ABSOLUTE_POINTER_MODE{config.min_x, config.min_y, 0, config.max_x, config.max_y, 0, 0};
    d->absolute->protocol = EFI_ABSOLUTE_POINTER_PROTOCOL{absolute_reset, absolute_get_state,
                                                          nullptr, &d->absolute->mode};
    install_protocol(&d->handle, kAbsoluteGuid, &d->absolute->protocol);
    return d->handle;
}

void push_simple_state(EFI_HANDLE pointer, const EFI_SIMPLE_POINTER_STATE& state) {
    if (Device* d = by_handle(pointer)) d->script.push_back(Answer{EFI_SUCCESS, state, {}});
}

void push_absolute_state(EFI_HANDLE pointer, const EFI_ABSOLUTE_POINTER_STATE& state) {
    if (Device* d = by_handle(pointer)) d->script.push_back(Answer{EFI_SUCCESS, {}, state});
}

void push_pointer_failure(EFI_HANDLE pointer, EFI_STATUS status) {
    if (Device* d = by_handle(pointer)) d->script.push_back(Answer{status, {}, {}});
}

size_t pointer_resets(EFI_HANDLE pointer) {
    Device* d = by_handle(pointer);
    return d ? d->resets : 0;
}

size_t pointer_states_left(EFI_HANDLE pointer) {
    Device* d = by_handle(pointer);
    return d ? d->script.size() : 0;
}

} // namespace sim

// Wiring between the simulated firmware's modules. Each module owns its
// state, fills its part of the service tables on reset and drops everything
// it held before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/efi.h"
#include "platform/efi_protocols.h"

namespace sim::detail {

// An injected failure: the countdown-th call from arming fails with status,
// and with and_after every later call too.
struct Fault {
    uint64_t countdown = 0; // 0: not armed
    EFI_STATUS status = EFI_DEVICE_ERROR;
    bool and_after = false;
    bool tripped = false;

    bool fires(EFI_STATUS* out) {
        if (!tripped) {
            if (countdown == 0 || --countdown != 0) return false;
            tripped = and_after;
        }
        *out = status;
        return true;
    }
};

// Called by reset in this order: memory first (others allocate from it),
// console near the end (it needs handles and events), then the screen on
// the console handle.
void memory_reset(EFI_BOOT_SERVICES& bs);
void handles_reset(EFI_BOOT_SERVICES& bs);
void events_reset(EFI_BOOT_SERVICES& bs);
void image_reset(EFI_BOOT_SERVICES& bs);
void runtime_reset(EFI_RUNTIME_SERVICES& rt);
void console_reset(EFI_SYSTEM_TABLE& st);
// The default screen on the console handle; after console_reset.
void display_reset();

// Pool allocation as AllocatePool does it, for buffers the firmware hands to
// the program.
EFI_STATUS pool_allocate(size_t size, void** out);
// Whether n bytes from p lie inside one pool block or page allocation that
// is still held: a device that reads the program's memory later (a queued
// request) must find it still there.
bool memory_held(const void* p, size_t n);

bool handle_known(EFI_HANDLE handle);
bool event_known(EFI_EVENT event);

// Moves the virtual clock forward to `when`, firing due timers in order.
void clock_advance_to(uint64_t when);

// Storage: simulated Block I/O disks, the device-path-to-text service and
// the RNG. storage_reset drops every disk and puts the other two back to
// their defaults; it runs after the handle database was emptied.
void storage_reset();
void device_path_text_reset();
void rng_reset();
// Installs the device-path-to-text service unless a test chose otherwise.
void device_path_text_default();

// Input devices and serial ports; dropped after the handle database was
// emptied.
void pointers_reset();
void usb_reset();
void serial_reset();

// The driver that ConnectController starts on a controller handle (a USB
// host controller enumerating its bus), before the test's connect hook.
void set_controller_driver(EFI_HANDLE controller, std::function<void()> start);

} // namespace sim::detail

// Pointer input for the graphical front end: the firmware's relative and
// absolute pointer devices, and the program's own driver for USB
// boot-protocol mice that no firmware driver has claimed.
#pragma once

#include <stdint.h>

#include "platform/efi.h"

namespace kv {

// One poll's worth of input from every open device, merged.
struct PointerEvent {
    int32_t dx; // relative motion since the last poll, in pixels
    int32_t dy;
    bool absolute; // an absolute device reported a position
    int32_t ax;    // that position, 0..65535 across the device's range
    int32_t ay;
    bool left;
    bool right;
    // The left button went down since the last poll, even when it is up
    // again by now or `left` was already set at the last poll (a click
    // shorter than the time between two polls). Only the USB driver sees
    // such presses: the firmware's pointers tell the state at the poll.
    bool pressed;
};

// Finds and opens the devices (at most 8 of each kind) and starts the USB
// mice's interrupt transfers. Returns how many devices were taken.
int pointer_open();
// "firmware N, korvane's USB driver M" as counted by the last pointer_open.
const char* pointer_summary();
// True when any device delivered new data since the last poll; the button
// states are filled in either way.
bool pointer_poll(PointerEvent* event);
// Stops the USB transfers and gives the mice back to the firmware.
void pointer_close();

// The firmware calls this for every interrupt transfer of an open USB mouse,
// at callback priority, between any two steps of the program.
EFI_STATUS EFIAPI usb_mouse_callback(VOID* data, UINTN data_length, VOID* context, UINT32 status);

// Whether the text console that is showing (the one on the graphics
// device, when that is not ConOut itself) has its cursor switched on.
bool console_cursor_visible();

} // namespace kv

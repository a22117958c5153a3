// The program's start and end as the firmware sees them.
#pragma once

#include <stdint.h>

#include "platform/efi.h"

namespace kv {

using MainFunction = int (*)(int argc, char** argv);

// Everything the entry point does: records the firmware tables, switches
// the watchdog off, finds the loaded image and the console's input
// extension, saves the console attribute, calibrates the time-stamp
// counter, scans the volumes, builds the argument vector and runs
// main_fn(g_argc, g_argv) on a private 1 MiB stack (on the firmware's stack
// when those pages cannot be had). Then restores the console attribute and
// returns the status for the firmware. The entry point passes the
// interactive program; tests pass their own.
EFI_STATUS program_start(EFI_HANDLE image, EFI_SYSTEM_TABLE* st, MainFunction main_fn);

// Time-stamp counter ticks per millisecond from the ticks counted across a
// 10 ms stall; never 0, so that it can divide.
uint64_t tsc_rate_from_stall(uint64_t ticks);

// EFI_SUCCESS for a result of 0, otherwise an error status whose low byte
// is the result's.
EFI_STATUS exit_status_for(int result);

} // namespace kv

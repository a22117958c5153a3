// Process-wide state written at start-up and read everywhere else.
#pragma once

#include "platform/efi.h"
#include "platform/efi_protocols.h"

namespace kv {

extern EFI_HANDLE g_image;
extern EFI_SYSTEM_TABLE* g_st;
extern EFI_BOOT_SERVICES* g_bs;
extern EFI_RUNTIME_SERVICES* g_rt;
extern EFI_LOADED_IMAGE_PROTOCOL* g_loaded_image;      // null when not found
extern EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* g_con_in_ex; // null: plain input only
extern uint64_t g_saved_attribute;
extern uint64_t g_tsc_per_ms; // at least 1
extern uint64_t g_tsc_start;
extern int g_argc;
extern char** g_argv;
extern int g_main_result;

// Records the firmware tables (start-up step 1). The host runner and tests
// call it too, to attach the program to a simulated firmware.
void platform_bind(EFI_HANDLE image, EFI_SYSTEM_TABLE* st);

} // namespace kv

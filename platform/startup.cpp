#include "platform/startup.h"

#include "platform/clock.h"
#include "platform/command_line.h"
#include "platform/globals.h"
#include "platform/keyboard.h"
#include "platform/stack_switch.h"
#include "platform/volumes.h"

namespace kv {

namespace {

constexpr UINTN kStackPages = 256;
constexpr size_t kStackBytes = kStackPages * 4096;
constexpr UINTN kCalibrationStallUs = 10000;
constexpr uint64_t kCalibrationMs = 10;
// Restoring attribute 0 would leave black on black; light grey on black is
// the console's usual default.
constexpr uint64_t kDefaultAttribute = 7;

// The main program, handed across the stack switch.
MainFunction g_main_fn;

int call_main(void*) {
    return g_main_fn(g_argc, g_argv);
}

void find_interfaces() {
    EFI_GUID loaded_image_guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    if (EFI_ERROR(g_bs->HandleProtocol(g_image, &loaded_image_guid, (VOID**)&g_loaded_image)))
        g_loaded_image = nullptr;
    EFI_GUID input_ex_guid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;
    if (EFI_ERROR(
            g_bs->HandleProtocol(g_st->ConsoleInHandle, &input_ex_guid, (VOID**)&g_con_in_ex)))
        g_con_in_ex = nullptr;
    key_watch_terminals();
}

void save_console() {
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = g_st->ConOut;
    if (!out) return;
    uint64_t attribute = out->Mode ? uint32_t(out->Mode->Attribute) : 0;
    g_saved_attribute = attribute ? attribute : kDefaultAttribute;
    out->EnableCursor(out, TRUE);
}

void calibrate_tsc() {
    uint64_t t0 = tsc_read();
    g_bs->Stall(kCalibrationStallUs);
    uint64_t t1 = tsc_read();
    g_tsc_per_ms = tsc_rate_from_stall(t1 - t0);
    g_tsc_start = t1;
}

KV_FRAME_WITHOUT_SHADOW int run_on_private_stack(MainFunction main_fn) {
    EFI_PHYSICAL_ADDRESS base = 0;
    if (EFI_ERROR(g_bs->AllocatePages(AllocateAnyPages, EfiLoaderData, kStackPages, &base)))
        return main_fn(g_argc, g_argv);
    g_main_fn = main_fn;
    int result =
        call_on_stack(reinterpret_cast<void*>(uintptr_t(base)), kStackBytes, call_main, nullptr);
    g_bs->FreePages(base, kStackPages);
    return result;
}

} // namespace

uint64_t tsc_rate_from_stall(uint64_t ticks) {
    return ticks >= kCalibrationMs ? ticks / kCalibrationMs : 1;
}

EFI_STATUS exit_status_for(int result) {
    if (result == 0) return EFI_SUCCESS;
    return EFI_ENCODE_ERROR(unsigned(result) & 0xFFu);
}

KV_FRAME_WITHOUT_SHADOW EFI_STATUS program_start(EFI_HANDLE image, EFI_SYSTEM_TABLE* st,
                                                 MainFunction main_fn) {
    platform_bind(image, st);
    g_bs->SetWatchdogTimer(0, 0, 0, nullptr);
    find_interfaces();
    save_console();
    calibrate_tsc();
    volume_scan();
    command_line_build();
    g_main_result = run_on_private_stack(main_fn);
    key_unwatch_terminals();
    if (g_st->ConOut) g_st->ConOut->SetAttribute(g_st->ConOut, g_saved_attribute);
    return exit_status_for(g_main_result);
}

} // namespace kv

#include "platform/globals.h"

#include "platform/keyboard.h"

namespace kv {

EFI_HANDLE g_image;
EFI_SYSTEM_TABLE* g_st;
EFI_BOOT_SERVICES* g_bs;
EFI_RUNTIME_SERVICES* g_rt;
EFI_LOADED_IMAGE_PROTOCOL* g_loaded_image;
EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL* g_con_in_ex;
uint64_t g_saved_attribute = 7;
uint64_t g_tsc_per_ms = 1;
uint64_t g_tsc_start;
int g_argc;
char** g_argv;
int g_main_result;

void platform_bind(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    g_image = image;
    g_st = st;
    g_bs = st ? st->BootServices : nullptr;
    g_rt = st ? st->RuntimeServices : nullptr;
    g_loaded_image = nullptr;
    g_con_in_ex = nullptr;
    g_saved_attribute = 7;
    key_forget_pending();
}

} // namespace kv

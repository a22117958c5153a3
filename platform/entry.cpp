#include "platform/startup.h"
#include "tui/main_program.h"

namespace {

int interactive_main(int, char**) {
    return kv::run_main();
}

} // namespace

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    return kv::program_start(image, st, interactive_main);
}

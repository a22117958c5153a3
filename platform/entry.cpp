#include "platform/console.h"
#include "platform/globals.h"

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    kv::platform_bind(image, st);
    static const char banner[] = "Korvane 0.2.1\n";
    kv::console_write(banner, sizeof banner - 1);
    return EFI_SUCCESS;
}

// Entry point of kvlist.efi, a test image that prints the disk and volume
// listing on real firmware and returns.
#include "platform/globals.h"
#include "tests/efi/kvlist.h"

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    kv::platform_bind(image, st);
    kv::kvlist_print();
    return EFI_SUCCESS;
}

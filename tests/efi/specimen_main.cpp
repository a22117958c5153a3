// Entry point of kvspecimen.efi, a test image that draws the font specimen
// on the firmware's screen, says so on the console and waits to be looked
// at (the test takes a screen dump, then quits QEMU).
#include "platform/globals.h"
#include "tests/efi/specimen.h"

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    kv::platform_bind(image, st);
    const bool shown = kv::specimen_show();
    st->ConOut->OutputString(st->ConOut,
                             (CHAR16*)(shown ? u"kvspecimen shown\r\n" : u"kvspecimen failed\r\n"));
    for (;;)
        st->BootServices->Stall(1000000);
}

// Entry point of kvspecimen.efi, a test image that draws the font specimen
// on the firmware's screen and then waits to be looked at. It speaks before
// drawing: the console also draws on the screen, and nothing may touch the
// picture afterwards (the test polls screen dumps until one matches).
#include "platform/globals.h"
#include "tests/efi/specimen.h"

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    kv::platform_bind(image, st);
    st->ConOut->OutputString(st->ConOut, (CHAR16*)u"kvspecimen drawing\r\n");
    if (!kv::specimen_show())
        st->ConOut->OutputString(st->ConOut, (CHAR16*)u"kvspecimen failed\r\n");
    for (;;)
        st->BootServices->Stall(1000000);
}

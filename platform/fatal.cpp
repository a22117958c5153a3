#include "platform/fatal.h"

#include "platform/console.h"
#include "platform/globals.h"
#include "platform/keyboard.h"
#include "platform/strings.h"

namespace kv {

namespace {

void (*g_fatal_hook)() = nullptr;

} // namespace

void set_fatal_hook(void (*hook)()) {
    g_fatal_hook = hook;
}

[[noreturn]] void fatal(const char* message) {
    static const char kName[] = "korvane";
    static const char kSeparator[] = ": fatal: ";
    // Taken off first: a hook that fails fatally itself must not loop.
    if (void (*hook)() = g_fatal_hook) {
        g_fatal_hook = nullptr;
        hook();
    }
    if (!message) message = "";
    // The leading LF puts the message on a line of its own even when the
    // console cursor sits in the middle of a line.
    console_write("\n", 1);
    console_write(kName, sizeof kName - 1);
    console_write(kSeparator, sizeof kSeparator - 1);
    console_write(message, strlen(message));
    console_write("\n", 1);
    if (g_st && g_st->ConOut) g_st->ConOut->SetAttribute(g_st->ConOut, g_saved_attribute);
    key_unwatch_terminals();
    g_bs->Exit(g_image, EFI_LOAD_ERROR, 0, nullptr);
    // Exit does not come back; the asm statement keeps this loop from being
    // optimised away as one without side effects.
    for (;;)
        __asm__ volatile("pause");
}

} // namespace kv

#pragma once

namespace kv {

// Shows "korvane: fatal: <message>" on the console, restores the console
// attribute and exits with EFI_LOAD_ERROR. Does not return.
[[noreturn]] void fatal(const char* message);

// Work that must be done before a fatal exit, run first, once: the
// graphical front end lets out the trace lines that wait, so that an
// observer sees everything up to the failure. Null for none.
void set_fatal_hook(void (*hook)());

} // namespace kv

#pragma once

namespace kv {

// Shows "korvane: fatal: <message>" on the console, restores the console
// attribute and exits with EFI_LOAD_ERROR. Does not return.
[[noreturn]] void fatal(const char* message);

} // namespace kv

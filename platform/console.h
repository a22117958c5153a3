// Text console output, keyboard input and the program's clock.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// UTF-8 to the console; each LF goes out as CR LF.
void console_write(const char* bytes, size_t n);

} // namespace kv

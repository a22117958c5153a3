// The font blob as the build embeds it into the program's read-only data.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

const uint8_t* font_blob();
size_t font_blob_size();

} // namespace kv

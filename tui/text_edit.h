// The editing rules of the input dialog, shared by both front ends: a UTF-8
// text in the caller's buffer with a cursor and the initial selection.
#pragma once

#include <stddef.h>

#include "platform/keyboard.h"

namespace kv {

struct TextEdit {
    char* text;
    size_t capacity;
    size_t length; // bytes
    size_t cursor; // byte offset, always on a character boundary
    bool selected; // the initial text, which the first typed character replaces
};

// Takes over a buffer holding the initial text (capacity at least 1), which
// may come without a terminator inside the buffer: it is cut to what fits,
// at a character boundary. The cursor starts at the end, the text selected.
void text_edit_init(TextEdit* edit, char* buffer, size_t capacity);

// Applies one key other than Enter and Escape; false when it did nothing, in
// which case the selection stays. An insertion that would leave no room for
// the terminating zero is ignored but still counts as handled.
bool text_edit_key(TextEdit* edit, const KeyEvent* key);

} // namespace kv

// Text console output: the firmware's text screen, its modes and colours.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// UTF-8 to the console; each LF goes out as CR LF.
void console_write(const char* bytes, size_t n);

void text_clear();
// Foreground 0-15, background 0-7; other bits are dropped.
void text_set_color(int foreground, int background);
// Back to the attribute the console had when the program started.
void text_restore_attribute();
// Size of the current mode; 80 x 25 when the firmware cannot tell.
void text_size(int* columns, int* rows);
int text_mode_current();
// Switches to the smallest mode of at least the given size. False when no
// mode fits, the best fit is already current, or the switch failed; the mode
// is then unchanged.
bool text_mode_choose(int min_columns, int min_rows);
// Does nothing when the mode is already current.
void text_mode_set(int mode);
void text_cursor_to(int column, int row);
void text_cursor_show(bool visible);

} // namespace kv

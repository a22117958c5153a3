// The graphical front end's start, event loop, clicks and keys.
#pragma once

#include <stdint.h>

#include "gui/gui_state.h"
#include "gui/pointer.h"
#include "platform/keyboard.h"

namespace kv {

// False when the graphical front end cannot start (the text front end runs
// instead); true once the user quit.
bool gui_run();

constexpr int kEventKey = 1;
constexpr int kEventClick = 2;
// Waits for a key (stored in *key) or a press of the left button. With
// track_hover, a pointer that moves onto another command button renders the
// main screen again.
int wait_event(GuiState* gui, KeyEvent* key, bool track_hover);
// Applies one pointer event; false when the position did not change.
bool move_pointer(GuiState* gui, const PointerEvent& event);
// False means quit.
bool handle_key(GuiState* gui, const KeyEvent& key);
// A click at the pointer on the main screen. False means quit (a click on
// Quit that was not taken back).
bool handle_click(GuiState* gui);
// Asks first when the open table has unwritten changes; nothing for the
// open disk or an index outside the list.
void change_disk(GuiState* gui, int index);
// Closes the view and opens disk `index` in it (none when it is outside the
// list).
void open_disk(GuiState* gui, int index);

} // namespace kv

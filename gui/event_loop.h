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
// Waits for a key (stored in *key) or a press of the left button.
int wait_event(GuiState* gui, KeyEvent* key, bool track_hover);
// Applies one pointer event; false when the position did not change.
bool move_pointer(GuiState* gui, const PointerEvent& event);
// False means quit.
bool handle_key(GuiState* gui, const KeyEvent& key);
void handle_click(GuiState* gui);
void change_disk(GuiState* gui, int index);
void open_disk(GuiState* gui, int index);

} // namespace kv

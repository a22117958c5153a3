// What the text and the graphical front end say and do alike: the state a
// disk is shown in, the question before unwritten changes are dropped, and
// how the list keys move a selection.
#pragma once
#include <stdint.h>

#include "disk/model.h"
#include "disk/view.h"

namespace kv {

// Why the disk cannot be written, as both front ends show it beside the
// disk; "" when it can.
const char* disk_state_text(const Disk* disk);

// What the header says of an open disk: its state, else unwritten changes,
// else a repair that Write would make; "" when there is nothing to say.
const char* view_state_text(const DiskView* view);

// Shows the table's unwritten changes' question; true when the user lets
// them go.
bool confirm_discard(const char* title);

// Up, Down, Home and End: the index they move `index` to in a list of
// `count`; -1 for another key, or when the key cannot move (Up on the first
// row, any key in an empty list).
int moved_index(uint16_t scan, int index, int count);
bool is_move_key(uint16_t scan);

} // namespace kv

// The partition screen of one disk and the command handler both front ends
// hand their command keys to.
#pragma once
#include <stdint.h>

#include "disk/view.h"
#include "platform/keyboard.h"

namespace kv {

// One command as the graphical front end shows it as a button.
struct Command {
    const char* key_name;
    const char* label;
    uint32_t ch;
    uint16_t scan;
    int group; // 0 partition, 1 disk, 2 program
};

constexpr int kCommandCount = 13;
extern const Command kCommandTable[kCommandCount];

void draw_partition_screen(DiskView* view);
// Draws the screen behind the next dialog: the graphical front end's redraw
// when its hooks are set, else the partition screen.
void redraw_behind(DiskView* view);
// True when the key was a command, also when it was refused.
bool handle_command(DiskView* view, const KeyEvent* key);
// False (and "Nothing was written.") when the user says no.
bool confirm_write(DiskView* view, const char* title, const char* question);
// False, after telling the user, when the disk must not be changed.
bool write_guard(DiskView* view);
// Whether Write would repair the unchanged table: it was read with damage
// that writing mends, and the disk may be written.
bool view_offers_repair(const DiskView* view);

} // namespace kv

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

// In the order of the graphical front end's buttons; Rescan is the last.
inline constexpr Command kCommandTable[] = {
    {"N", "New", 'n', 0, 0},          {"D", "Delete", 'd', 0, 0},
    {"T", "Type", 't', 0, 0},         {"R", "Rename", 'r', 0, 0},
    {"A", "Active", 'a', 0, 0},       {"W", "Wipe", 'w', 0, 0},
    {"Enter", "Write", 0x0D, 0, 1},   {"Z", "New table", 'z', 0, 1},
    {"X", "Delete table", 'x', 0, 1}, {"B", "Backup", 'b', 0, 1},
    {"S", "Restore", 's', 0, 1},      {"Esc", "Quit", 0, SCAN_ESC, 1},
    {"F5", "Rescan", 0, SCAN_F5, 2},
};
constexpr int kCommandCount = int(sizeof kCommandTable / sizeof kCommandTable[0]);

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

// The disk column's entries: two lines per disk and its badge, scrolled so
// that the open disk is always in sight.
#include "edit/size.h"
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "gui/palette.h"
#include "platform/format.h"
#include "platform/strings.h"

namespace kv {

namespace {

// The badge goes on two lines when it does not fit beside the column's
// margins and has a place to break.
bool badge_wraps(const GuiState* gui, const char* badge) {
    return strchr(badge, ':') != nullptr &&
           text_width(gui->font_regular, badge) + 13 >= gui->panel.w - 6;
}

void scroll_to_current(GuiState* gui) {
    if (gui->current_disk < gui->first_disk) gui->first_disk = gui->current_disk;
    const int32_t bottom = gui->panel.y + gui->panel.h;
    while (gui->first_disk < gui->current_disk) {
        int32_t end = gui->first_entry_y;
        for (int i = gui->first_disk; i <= gui->current_disk; i++)
            end += disk_entry_height(gui, i) + 4;
        if (end <= bottom) break;
        gui->first_disk++;
    }
}

struct EntryColours {
    Pixel line1, summary, badge;
};

void paint_entry(GuiState* gui, int index, int32_t y, int32_t height) {
    const Disk* disk = &gui->disks[index];
    const int32_t lh = gui->line_height, g = gui->half_line, panel_w = gui->panel.w;
    EntryColours colours = {kText, kSecondaryText, kWarningText};
    const bool current = index == gui->current_disk;
    if (current && gui->focus_disks) {
        fill_rect(&gui->back, 0, y, panel_w, height, kFocused);
        colours = {kWhite, kFocusedSummary, kBadgeBright};
    } else if (current) {
        fill_rect(&gui->back, 0, y, panel_w, height, kUnfocused);
    }

    char summary[kDiskSummarySize];
    const char* badge = disk_summary_text(gui, index, summary);
    char shown[kDiskSummarySize + 2];
    format(shown, sizeof shown, "%s%s", summary,
           current && disk_shown(gui) && gui->view.table.dirty ? " *" : "");

    char size[32];
    format_size(size, sizeof size, disk->size_bytes);
    const FontSize* bold = gui->font_bold;
    const int32_t size_x = panel_w - 14 - text_width(bold, size);
    text_draw(&gui->back, 14, y + 4, bold, colours.line1, disk->name);
    text_draw(&gui->back, size_x, y + 4, bold, colours.line1, size);

    const int32_t kind_x = g + 14 + text_width(bold, "blk00");
    char line2[kDiskSummarySize];
    if (kind_x + text_width(bold, disk->kind_label) + g <= size_x) {
        text_draw(&gui->back, kind_x, y + 4, bold, colours.line1, disk->kind_label);
        format(line2, sizeof line2, "%s", shown);
    } else {
        format(line2, sizeof line2, "%s, %s", disk->kind_label, shown);
    }
    text_draw(&gui->back, 14, y + 4 + lh, gui->font_regular, colours.summary, line2);

    if (badge == nullptr) return;
    const int32_t badge_y = y + 4 + 2 * lh;
    if (!badge_wraps(gui, badge)) {
        text_draw(&gui->back, 14, badge_y, gui->font_regular, colours.badge, badge);
        return;
    }
    const char* colon = strchr(badge, ':');
    char first[64];
    format(first, sizeof first, "%.*s", int(colon - badge + 1), badge);
    const char* rest = colon[1] == ' ' ? colon + 2 : colon + 1;
    text_draw(&gui->back, 14, badge_y, gui->font_regular, colours.badge, first);
    text_draw(&gui->back, 14, badge_y + lh, gui->font_regular, colours.badge, rest);
}

} // namespace

int32_t disk_entry_height(const GuiState* gui, int index) {
    int32_t height = gui->entry_base_height;
    char summary[kDiskSummarySize];
    const char* badge = disk_summary_text(gui, index, summary);
    if (badge == nullptr) return height;
    height += gui->line_height;
    if (badge_wraps(gui, badge)) height += gui->line_height;
    return height;
}

void paint_disk_entries(GuiState* gui) {
    const int32_t bottom = gui->panel.y + gui->panel.h;
    clip_set(&gui->back, 0, gui->first_entry_y, gui->panel.w, bottom - gui->first_entry_y);
    if (gui->disk_count <= 0) {
        text_draw(&gui->back, 14, gui->first_entry_y + 4, gui->font_regular, kSecondaryText,
                  "No disks found.");
        clip_reset(&gui->back);
        return;
    }
    // A current disk the list no longer has (the event loop's to mend)
    // scrolls nothing rather than reading past the list.
    if (gui->current_disk >= 0 && gui->current_disk < gui->disk_count) scroll_to_current(gui);
    int32_t y = gui->first_entry_y;
    for (int i = gui->first_disk > 0 ? gui->first_disk : 0; i < gui->disk_count && y < bottom;
         i++) {
        const int32_t height = disk_entry_height(gui, i);
        paint_entry(gui, i, y, height);
        y += height + 4;
    }
    clip_reset(&gui->back);
}

} // namespace kv

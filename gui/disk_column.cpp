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
           text_width(gui->font_regular, badge) + scaled(gui, 13) >= gui->panel.w - scaled(gui, 6);
}

int32_t entries_bottom(const GuiState* gui) {
    return gui->panel.y + gui->panel.h;
}

void scroll_to_current(GuiState* gui) {
    if (gui->current_disk < gui->first_disk) gui->first_disk = gui->current_disk;
    const int32_t bottom = entries_bottom(gui);
    while (gui->first_disk < gui->current_disk) {
        int32_t end = gui->first_entry_y;
        for (int i = gui->first_disk; i <= gui->current_disk; i++)
            end += disk_entry_height(gui, i) + gui->entry_gap;
        if (end <= bottom) break;
        gui->first_disk++;
    }
}

// How many entries from the first shown fit whole above the column's
// bottom; every entry from the first when all do.
int whole_entries(const GuiState* gui, int first) {
    int32_t y = gui->first_entry_y;
    int count = 0;
    for (int i = first; i < gui->disk_count; i++) {
        y += disk_entry_height(gui, i);
        if (y > entries_bottom(gui)) break;
        count++;
        y += gui->entry_gap;
    }
    return count;
}

int32_t scroll_bar_width(const GuiState* gui) {
    return scaled(gui, 6);
}

// Entries above the first shown or below the column's bottom: a bar at the
// column's right edge, its thumb where the shown entries lie in the list.
void paint_scroll_bar(GuiState* gui, int first, int shown) {
    const int32_t w = scroll_bar_width(gui), x = gui->panel.w - w;
    const int32_t top = gui->first_entry_y, h = entries_bottom(gui) - top;
    fill_rect(&gui->back, x, top, w, h, kButtonBar);
    const int count = gui->disk_count;
    int32_t thumb = int32_t(int64_t(h) * shown / count);
    if (thumb < scaled(gui, 12)) thumb = scaled(gui, 12);
    if (thumb > h) thumb = h;
    const int hidden = count - shown > 0 ? count - shown : 1;
    const int32_t thumb_y = top + int32_t(int64_t(h - thumb) * first / hidden);
    fill_rect(&gui->back, x, thumb_y, w, thumb, kSegmentOutline);
}

struct EntryColours {
    Pixel line1, summary, badge;
};

// right: where the entry's texts must end.
void paint_entry(GuiState* gui, int index, int32_t y, int32_t height, int32_t right) {
    const Disk* disk = &gui->disks[index];
    const int32_t lh = gui->line_height, g = gui->half_line, panel_w = gui->panel.w;
    const int32_t x = scaled(gui, 14), top = y + scaled(gui, 4);
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
    const char* mark = current && disk_shown(gui) && gui->view.table.dirty ? " *" : "";

    char size[32];
    format_size(size, sizeof size, disk->size_bytes);
    const FontSize* bold = gui->font_bold;
    const int32_t size_x = panel_w - x - text_width(bold, size);
    text_draw_fitted(&gui->back, x, top, bold, colours.line1, disk->name, size_x - g - x);
    text_draw(&gui->back, size_x, top, bold, colours.line1, size);

    const int32_t kind_x = g + x + text_width(bold, "blk00");
    char line2[kDiskSummarySize];
    if (kind_x + text_width(bold, disk->kind_label) + g <= size_x) {
        text_draw(&gui->back, kind_x, top, bold, colours.line1, disk->kind_label);
        format(line2, sizeof line2, "%s", summary);
    } else {
        format(line2, sizeof line2, "%s, %s", disk->kind_label, summary);
    }
    const FontSize* regular = gui->font_regular;
    const int32_t room = right - x;
    char whole[kDiskSummarySize + 2];
    format(whole, sizeof whole, "%s%s", line2, mark);
    if (mark[0] == '\0' || text_width(regular, whole) <= room) {
        text_draw_fitted(&gui->back, x, top + lh, regular, colours.summary, whole, room);
    } else {
        // The mark of unwritten changes stays in sight when the rest is cut.
        const int32_t end = text_draw_fitted(&gui->back, x, top + lh, regular, colours.summary,
                                             line2, room - text_width(regular, mark));
        text_draw(&gui->back, end, top + lh, regular, colours.summary, mark);
    }

    if (badge == nullptr) return;
    const int32_t badge_y = top + 2 * lh;
    if (!badge_wraps(gui, badge)) {
        text_draw_fitted(&gui->back, x, badge_y, regular, colours.badge, badge, room);
        return;
    }
    const char* colon = strchr(badge, ':');
    char first[64];
    format(first, sizeof first, "%.*s", int(colon - badge + 1), badge);
    const char* rest = colon[1] == ' ' ? colon + 2 : colon + 1;
    text_draw_fitted(&gui->back, x, badge_y, regular, colours.badge, first, room);
    text_draw_fitted(&gui->back, x, badge_y + lh, regular, colours.badge, rest, room);
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
    const int32_t bottom = entries_bottom(gui);
    clip_set(&gui->back, 0, gui->first_entry_y, gui->panel.w, bottom - gui->first_entry_y);
    if (gui->disk_count <= 0) {
        text_draw(&gui->back, scaled(gui, 14), gui->first_entry_y + scaled(gui, 4),
                  gui->font_regular, kSecondaryText, "No disks found.");
        clip_reset(&gui->back);
        return;
    }
    // A current disk the list no longer has (the event loop's to mend)
    // scrolls nothing rather than reading past the list.
    if (gui->current_disk >= 0 && gui->current_disk < gui->disk_count) scroll_to_current(gui);
    const int first = gui->first_disk > 0 ? gui->first_disk : 0;
    const int shown = whole_entries(gui, first);
    const bool more = first > 0 || first + shown < gui->disk_count;
    // Texts stop short of the bar; without one they may run on to the
    // column's edge.
    const int32_t right =
        more ? gui->panel.w - scroll_bar_width(gui) - scaled(gui, 4) : gui->panel.w;
    int32_t y = gui->first_entry_y;
    for (int i = first; i < gui->disk_count && y < bottom; i++) {
        const int32_t height = disk_entry_height(gui, i);
        paint_entry(gui, i, y, height, right);
        y += height + gui->entry_gap;
    }
    if (more) paint_scroll_bar(gui, first, shown);
    clip_reset(&gui->back);
}

} // namespace kv

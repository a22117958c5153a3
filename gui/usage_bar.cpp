// The usage bar: one segment per partition or free area, placed in
// proportion to the disk, with the selected row's segment framed.
#include "disk/types.h"
#include "edit/size.h"
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "gui/palette.h"

namespace kv {

namespace {

bool contains(const char* text, const char* word) {
    for (; *text; text++) {
        size_t i = 0;
        while (word[i] && text[i] == word[i])
            i++;
        if (word[i] == '\0') return true;
    }
    return false;
}

Pixel type_colour(const DiskView* view, const Partition* p) {
    char type[48];
    type_text(&view->table, p, type, sizeof type);
    if (contains(type, "EFI")) return kSegmentEfi;
    if (contains(type, "swap")) return kSegmentSwap;
    if (contains(type, "Linux")) return kSegmentLinux;
    if (contains(type, "Microsoft") || contains(type, "Windows") || contains(type, "FAT") ||
        contains(type, "NTFS"))
        return kSegmentWindows;
    return kSegmentOther;
}

// width * blocks / total. A damaged table can hold block numbers whose
// product with the width does not fit in 64 bits; those are scaled down
// first, and a result far off the screen is held where it cannot wrap a
// pixel coordinate.
int32_t bar_offset(int32_t width, uint64_t blocks, uint64_t total) {
    if (width <= 0) return 0;
    const uint64_t w = uint64_t(width);
    while (blocks > UINT64_MAX / w) {
        blocks >>= 1;
        total = (total >> 1) | 1;
    }
    const uint64_t offset = w * blocks / total;
    return offset > (1u << 30) ? int32_t(1) << 30 : int32_t(offset);
}

void paint_segment_label(GuiState* gui, const Row& row, const Partition* p, int32_t x0, int32_t y,
                         int32_t w, int32_t h) {
    const FontSize* f = gui->font_regular;
    const int32_t lh = gui->line_height;
    const int32_t pad = lh >= 24 ? lh / 6 : 4;
    char label[kSegmentLabelSize];
    segment_label(&gui->view, row, true, label);
    if (text_width(f, label) + 7 >= w) segment_label(&gui->view, row, false, label);
    if (text_width(f, label) + pad + 1 < w)
        text_draw(&gui->back, x0 + pad, y + pad, f, p ? kText : kSecondaryText, label);
    if (p == nullptr || h < 2 * lh) return;
    char size[32];
    format_size(size, sizeof size, blocks_to_bytes(p->size, gui->view.table.block_size));
    if (text_width(f, size) + pad + 3 < w)
        text_draw(&gui->back, x0 + pad, y + pad + lh, f, kSegmentSize, size);
}

void paint_segment(GuiState* gui, const Row& row) {
    const Partition* p = row_partition(&gui->view, row);
    if (p == nullptr && !row.is_free) return;
    if (p && p->kind == PartitionKind::Extended) return;
    const Span span = segment_span(gui, row);
    const int32_t w = span.x1 - span.x0;
    int32_t y = gui->bar.y, h = gui->bar.h;
    if (row.is_free ? row.logical : p->kind == PartitionKind::Logical) {
        const int32_t inset = scaled(gui, 5);
        y += inset;
        h -= 2 * inset;
    }
    if (p) {
        fill_rect(&gui->back, span.x0, y, w, h, type_colour(&gui->view, p));
        draw_frame(&gui->back, span.x0, y, w, h, 1, kSegmentOutline);
    } else {
        fill_rect(&gui->back, span.x0, y, w, h, kBarBackground);
        fill_hatched(&gui->back, span.x0, y, w, h, scaled(gui, 10), kHatch);
    }
    paint_segment_label(gui, row, p, span.x0, y, w, h);
}

} // namespace

Span segment_span(const GuiState* gui, const Row& row) {
    uint64_t start = 0, length = 0;
    if (row.is_free) {
        start = row.start;
        length = row.size;
    } else if (const Partition* p = row_partition(&gui->view, row)) {
        start = p->start;
        length = p->size;
    }
    const uint64_t total = gui->view.table.block_count ? gui->view.table.block_count : 1;
    // The end saturates instead of wrapping, so it never lies before the start.
    const uint64_t end = start + length < start ? UINT64_MAX : start + length;
    Span span = {gui->bar.x + bar_offset(gui->bar.w, start, total),
                 gui->bar.x + bar_offset(gui->bar.w, end, total)};
    if (span.x1 - span.x0 < 3) span.x1 = span.x0 + 3;
    return span;
}

void paint_usage_bar(GuiState* gui) {
    const Rect& bar = gui->bar;
    Canvas* back = &gui->back;
    fill_rect(back, bar.x, bar.y, bar.w, bar.h, kBarBackground);
    draw_frame(back, bar.x, bar.y, bar.w, bar.h, 1, kBorder);
    const char* empty = nullptr;
    if (!gui->view.loaded)
        empty = "The disk could not be read.";
    else if (gui->view.table.kind == TableKind::None)
        empty = "No partition table.";
    if (empty) {
        text_draw(back, bar.x + scaled(gui, 10), bar.y + (bar.h - gui->line_height) / 2,
                  gui->font_regular, kSecondaryText, empty);
        return;
    }

    const DiskView& view = gui->view;
    for (int i = 0; i < view.row_count; i++) {
        const Partition* p = row_partition(&view, view.rows[i]);
        if (p == nullptr || p->kind != PartitionKind::Extended) continue;
        const Span span = segment_span(gui, view.rows[i]);
        fill_rect(back, span.x0, bar.y, span.x1 - span.x0, bar.h, kExtendedBackground);
        draw_frame(back, span.x0, bar.y, span.x1 - span.x0, bar.h, 1, kSegmentOutline);
    }
    for (int i = 0; i < view.row_count; i++)
        paint_segment(gui, view.rows[i]);

    if (view.row_count <= 0 || view.selected < 0 || view.selected >= view.row_count) return;
    const Span span = segment_span(gui, view.rows[view.selected]);
    const int32_t side = scaled(gui, 2), thickness = scaled(gui, 4);
    draw_frame(back, span.x0 - side, bar.y - thickness, span.x1 - span.x0 + 2 * side,
               bar.h + 2 * thickness, thickness, gui->focus_disks ? kBarFrameUnfocused : kFocused);
}

} // namespace kv

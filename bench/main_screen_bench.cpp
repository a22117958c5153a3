// One render of the main screen (layout, the whole back buffer, the copy to
// the simulated screen and the trace lines, formatted and dropped as on a
// console without a serial port) for a GPT of 128 partitions with notes,
// against a plain memcpy of one frame measured in the same run. Every
// figure is the best of `runs` (the first argument, default 5).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "disk/types.h"
#include "disk/view.h"
#include "bench/best_time.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "sim/display.h"
#include "sim/firmware.h"

namespace {

constexpr int kRepeats = 20;
constexpr int kPartitions = 128;

// 128 partitions of 1 MiB with the catalogue's first types in turn, named,
// and three notes, on a 256 MiB disk; the table is built in memory, as a
// read would leave it.
void fill_view(kv::Disk* disk, kv::DiskView* view) {
    std::snprintf(disk->name, sizeof disk->name, "blk0");
    std::snprintf(disk->kind_label, sizeof disk->kind_label, "NVMe");
    disk->size_bytes = 256ull << 20;
    view->disk = disk;
    view->loaded = true;
    kv::PartitionTable& t = view->table;
    t.kind = kv::TableKind::Gpt;
    t.block_size = 512;
    t.block_count = disk->size_bytes / 512;
    for (int i = 0; i < kPartitions; i++) {
        kv::Partition p{};
        p.number = i + 1;
        p.start = 2048 + uint64_t(i) * 2048;
        p.size = 2048;
        kv::type_choice(kv::TableKind::Gpt, i % 6, nullptr, nullptr, p.type_guid);
        std::snprintf(p.name, sizeof p.name, "partition number %d", i + 1);
        kv::append_partition(&t, &p)->changed = false;
    }
    t.dirty = false;
    kv::add_note(&t, "the protective MBR is missing");
    kv::add_note(&t, "the backup GPT has no GPT signature");
    kv::add_note(&t, "partitions 3 and 4 overlap");
    kv::view_build_rows(view);
    view->selected = 60;
}

void run_size(uint32_t w, uint32_t h, int runs) {
    sim::set_display(w, h);
    kv::GuiState gui{};
    int32_t width = 0, height = 0;
    if (!kv::graphics_start(&width, &height) || !kv::canvas_init(&gui.back, width, height)) {
        std::fprintf(stderr, "no %ux%u screen\n", w, h);
        std::exit(1);
    }
    gui.width = width;
    gui.height = height;
    gui.scale = kv::screen_scale(height);
    kv::pointer_canvas_init(&gui.pointer, gui.scale);
    kv::Disk disk{};
    kv::DiskSummary summary = {int32_t(kv::TableKind::Gpt), kPartitions};
    gui.disks = &disk;
    gui.disk_count = 1;
    gui.summaries = &summary;
    gui.hovered_button = -1;
    fill_view(&disk, &gui.view);
    gui.pointer_present = true;
    gui.pointer_x = width / 2;
    gui.pointer_y = height / 2;

    double render = bench::best_ms(runs, kRepeats, [&] {
        kv::render_main_screen(&gui);
        bench::sink = gui.back.pixels[size_t(width) * height / 2];
    });
    double copy =
        bench::copy_ms(runs, kRepeats, size_t(width) * size_t(height) * sizeof(kv::Pixel));
    std::printf("render_main_screen %4dx%-4d %8.3f ms | memcpy of a frame %7.3f ms | ratio %6.2f\n",
                width, height, render, copy, render / copy);
    kv::view_close(&gui.view);
    kv::canvas_free(&gui.back);
    kv::canvas_free(&gui.pointer);
    kv::graphics_end();
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    sim::reset();
    if (!kv::font_load()) {
        std::fprintf(stderr, "the embedded font does not load\n");
        return 1;
    }
    std::printf("GPT of %d partitions with 3 notes; best of %d runs of %d renders each\n",
                kPartitions, runs, kRepeats);
    run_size(1920, 1080, runs);
    run_size(3840, 2160, runs);
    return 0;
}

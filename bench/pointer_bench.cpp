// A pointer move on the main screen, as the event loop makes it: the cursor
// erased where it was and drawn where it is, with its "pointer" trace line
// (formatted and dropped, as on a console without a serial port); and a
// move onto another command button, which renders the whole screen for the
// hover. Both against a plain memcpy of one frame measured in the same run.
// Every figure is the best of `runs` (the first argument, default 5).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/best_time.h"
#include "disk/summary.h"
#include "gui/event_loop.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "sim/display.h"
#include "sim/firmware.h"

namespace {

constexpr int kRepeats = 200;

kv::PointerEvent at(const kv::GuiState& gui, int32_t x, int32_t y) {
    kv::PointerEvent e{};
    e.absolute = true;
    // The smallest absolute position that lands on pixel (x, y).
    e.ax = int32_t((int64_t(x) * 65535 + gui.width - 2) / (gui.width - 1));
    e.ay = int32_t((int64_t(y) * 65535 + gui.height - 2) / (gui.height - 1));
    return e;
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
    gui.hovered_button = -1;
    gui.pointer_present = true;
    gui.pointer_x = width / 2;
    gui.pointer_y = height / 2;
    kv::render_main_screen(&gui); // the layout the hover test needs

    kv::PointerEvent here = at(gui, width / 3, height / 3);
    kv::PointerEvent there = at(gui, width / 3 + 40, height / 3 + 25);
    bool flip = false;
    double move = bench::best_ms(runs, kRepeats, [&] {
        flip = !flip;
        kv::move_pointer(&gui, flip ? here : there);
        kv::pointer_draw(&gui.back, &gui.pointer, gui.pointer_x, gui.pointer_y, gui.scale);
        kv::trace_pointer(gui.pointer_x, gui.pointer_y);
        bench::sink = uint32_t(gui.pointer_x);
    });

    const kv::Rect& a = gui.buttons[0];
    const kv::Rect& b = gui.buttons[1];
    kv::PointerEvent on_a = at(gui, a.x + a.w / 2, a.y + a.h / 2);
    kv::PointerEvent on_b = at(gui, b.x + b.w / 2, b.y + b.h / 2);
    double hover = bench::best_ms(runs, kRepeats, [&] {
        flip = !flip;
        kv::move_pointer(&gui, flip ? on_a : on_b);
        gui.hovered_button = flip ? 0 : 1;
        kv::render_main_screen(&gui);
        bench::sink = gui.back.pixels[size_t(width) * height / 2];
    });

    double copy =
        bench::copy_ms(runs, kRepeats, size_t(width) * size_t(height) * sizeof(kv::Pixel));
    std::printf("%4dx%-4d pointer move %8.4f ms (ratio %6.3f) | move onto another button "
                "%7.3f ms (ratio %5.2f) | memcpy of a frame %7.3f ms\n",
                width, height, move, move / copy, hover, hover / copy, copy);
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
    std::printf("No disk open; best of %d runs of %d moves each\n", runs, kRepeats);
    run_size(1280, 800, runs);
    run_size(1920, 1080, runs);
    run_size(3840, 2160, runs);
    return 0;
}

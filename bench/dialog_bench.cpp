// Opening a dialog at 1920 x 1080 on the simulated screen: saving and
// dimming the back buffer, drawing a two-button warning box with wrapped
// text, and presenting the whole screen, against a plain memcpy of one
// frame measured in the same run. Closing (restoring and presenting again)
// is measured apart. Every figure is the best of `runs` (the first argument,
// default 5).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gui/dialog_parts.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/gui_dialogs.h"
#include "gui/pointer_cursor.h"
#include "sim/display.h"
#include "sim/firmware.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 20;
volatile uint32_t g_sink;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

const char* const kKeys[] = {"Y", "N"};
const char* const kLabels[] = {"Yes", "No"};
const char* const kText = "Write the GPT table to disk 1 (8.0 GiB)? Everything on the "
                          "partitions that were deleted or moved is lost. (Y/N)";

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    sim::reset();
    sim::set_display(1920, 1080);
    kv::GuiState gui{};
    if (!kv::font_load() || !kv::graphics_start(&gui.width, &gui.height) ||
        !kv::canvas_init(&gui.back, gui.width, gui.height) ||
        !kv::pointer_canvas_init(&gui.pointer, 1)) {
        std::fprintf(stderr, "no screen or font\n");
        return 1;
    }
    gui.scale = 1;
    gui.font_regular = kv::font_pick(26, false);
    gui.font_bold = kv::font_pick(26, true);
    gui.line_height = kv::font_line_height(gui.font_regular);
    gui.half_line = gui.line_height / 2;
    gui.pointer_present = true;
    gui.pointer_x = gui.width / 2;
    gui.pointer_y = gui.height / 2;
    kv::fill_rect(&gui.back, 0, 0, gui.width, gui.height, 0xF6F8FA);

    size_t bytes = size_t(gui.width) * size_t(gui.height) * sizeof(kv::Pixel);
    std::vector<uint8_t> a(bytes, 1), b(bytes, 2);
    double open = 1e300, close = 1e300, copy = 1e300;
    for (int r = 0; r < runs; r++) {
        double open_sum = 0, close_sum = 0;
        for (int i = 0; i < kRepeats; i++) {
            kv::Dialog d;
            Clock::time_point start = Clock::now();
            kv::dialog_open(&gui, &d, true, "Write", kText, 0, 2, kKeys, kLabels);
            kv::dialog_show(&gui);
            open_sum += ms_since(start);
            start = Clock::now();
            kv::dialog_close(&gui, &d);
            close_sum += ms_since(start);
        }
        open = std::min(open, open_sum / kRepeats);
        close = std::min(close, close_sum / kRepeats);
        Clock::time_point start = Clock::now();
        for (int i = 0; i < kRepeats; i++) {
            std::memcpy(b.data(), a.data(), bytes);
            g_sink = b[bytes / 2];
        }
        copy = std::min(copy, ms_since(start) / kRepeats);
    }
    std::printf("best of %d runs of %d calls each; ratio = time / memcpy of one frame\n", runs,
                kRepeats);
    std::printf("memcpy of one frame   1920x1080 %9.3f ms\n", copy);
    std::printf("dialog open + present 1920x1080 %9.3f ms | ratio %6.2f\n", open, open / copy);
    std::printf("dialog close          1920x1080 %9.3f ms | ratio %6.2f\n", close, close / copy);
    kv::canvas_free(&gui.pointer);
    kv::canvas_free(&gui.back);
    kv::graphics_end();
    return 0;
}

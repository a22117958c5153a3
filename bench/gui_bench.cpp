// Drawing speed at two screen sizes: a full-screen fill_rect against a plain
// memset of the same bytes, and a screen tiled with bordered rounded
// rectangles (the main screen's buttons and boxes) against a plain memcpy
// of the same bytes, both measured in the same run. Every figure is the best
// of `runs` (the first argument, default 5), as other load on the host only
// ever slows a run down.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/best_time.h"
#include "gui/canvas.h"
#include "sim/firmware.h"

namespace {

// Repeats of each measured call within one run, so that a run lasts long
// enough for the clock.
constexpr int kRepeats = 20;

void tile_buttons(kv::Canvas* c) {
    constexpr int32_t kW = 160, kH = 48;
    for (int32_t y = 0; y < c->height; y += kH)
        for (int32_t x = 0; x < c->width; x += kW)
            kv::fill_round_rect(c, x, y, kW, kH, 8, 0x2D6CDF, 1, 0x1A3F80);
}

void report(const char* what, int32_t w, int32_t h, double ms, const char* plain, double plain_ms) {
    double bytes = double(w) * h * 4;
    std::printf("%-22s %4dx%-4d %9.3f ms %8.2f GB/s | %-6s %7.3f ms %8.2f GB/s | ratio %6.2f\n",
                what, w, h, ms, bytes / ms / 1e6, plain, plain_ms, bytes / plain_ms / 1e6,
                ms / plain_ms);
}

void run_size(int32_t w, int32_t h, int runs) {
    kv::Canvas c{};
    if (!kv::canvas_init(&c, w, h)) {
        std::fprintf(stderr, "no memory for a %dx%d canvas\n", w, h);
        std::exit(1);
    }
    size_t bytes = size_t(w) * size_t(h) * sizeof(kv::Pixel);
    std::vector<uint8_t> a(bytes, 1), b(bytes, 2);

    uint32_t colour = 0x203040;
    double fill = bench::best_ms(runs, kRepeats, [&] {
        kv::fill_rect(&c, 0, 0, w, h, colour++);
        bench::sink = c.pixels[size_t(w) * h - 1];
    });
    uint8_t byte = 0;
    double set = bench::best_ms(runs, kRepeats, [&] {
        std::memset(a.data(), byte++, bytes);
        bench::sink = a[bytes - 1];
    });
    report("fill_rect full screen", w, h, fill, "memset", set);

    double rounded = bench::best_ms(runs, kRepeats, [&] {
        tile_buttons(&c);
        bench::sink = c.pixels[size_t(w) * h / 2];
    });
    double copy = bench::best_ms(runs, kRepeats, [&] {
        std::memcpy(b.data(), a.data(), bytes);
        bench::sink = b[bytes / 2];
    });
    report("rounded rects, 160x48", w, h, rounded, "memcpy", copy);
    kv::canvas_free(&c);
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    sim::reset();
    std::printf("best of %d runs of %d calls each; ratio = drawing time / plain time\n", runs,
                kRepeats);
    run_size(1920, 1080, runs);
    run_size(3840, 2160, runs);
    return 0;
}

// Text drawing speed: glyphs per second at 20 and 40 px, regular and bold,
// on a 1920 x 1080 canvas filled line by line with printable ASCII. Beside
// each figure, a plain memcpy of the same bytes (every line box the text
// covers, row by row between two buffers) in the same run, and the ratio of
// the two times. Every figure is the best of `runs` (the first argument,
// default 5), as other load on the host only ever slows a run down.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gui/font.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int kScreens = 20;

struct Figures {
    double text_seconds = 1e9;
    double copy_seconds = 1e9;
    uint64_t glyphs = 0;
    uint64_t bytes = 0;
};

// One line of text as wide as the canvas allows, without a final space.
void fill_line(const kv::FontSize* size, char* line, size_t capacity, int first) {
    size_t n = 0;
    for (int i = 0; n + 1 < capacity; i++) {
        line[n] = char(33 + (first + i * 7) % 94);
        line[n + 1] = 0;
        if (kv::text_width(size, line) > kWidth) break;
        n++;
    }
    line[n] = 0;
}

Figures measure(const kv::FontSize* size, int runs, volatile uint32_t* sink) {
    std::vector<kv::Pixel> screen(size_t(kWidth) * kHeight, 0xFFFFFF);
    std::vector<kv::Pixel> copy(screen.size(), 0);
    kv::Canvas canvas{screen.data(), kWidth, kHeight, 0, 0, kWidth, kHeight};
    const int32_t line_height = kv::font_line_height(size);
    const int lines = kHeight / line_height;
    std::vector<std::vector<char>> texts(lines, std::vector<char>(512));
    std::vector<int32_t> widths(lines);
    Figures f;
    for (int i = 0; i < lines; i++) {
        fill_line(size, texts[i].data(), texts[i].size(), i * 13);
        widths[i] = kv::text_width(size, texts[i].data());
        f.glyphs += std::strlen(texts[i].data());
        f.bytes += uint64_t(widths[i]) * line_height * sizeof(kv::Pixel);
    }
    f.glyphs *= kScreens;
    f.bytes *= kScreens;
    for (int run = 0; run < runs; run++) {
        auto start = Clock::now();
        for (int s = 0; s < kScreens; s++)
            for (int i = 0; i < lines; i++)
                kv::text_draw(&canvas, 0, i * line_height, size, 0x202020 + s, texts[i].data());
        auto middle = Clock::now();
        for (int s = 0; s < kScreens; s++)
            for (int i = 0; i < lines; i++)
                for (int32_t y = i * line_height; y < (i + 1) * line_height; y++)
                    std::memcpy(&copy[size_t(y) * kWidth], &screen[size_t(y) * kWidth],
                                size_t(widths[i]) * sizeof(kv::Pixel));
        auto end = Clock::now();
        *sink = *sink + screen[kWidth + 5] + copy[size_t(kHeight / 2) * kWidth + 7];
        f.text_seconds =
            std::min(f.text_seconds, std::chrono::duration<double>(middle - start).count());
        f.copy_seconds =
            std::min(f.copy_seconds, std::chrono::duration<double>(end - middle).count());
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!kv::font_load()) {
        std::fprintf(stderr, "text_bench: the font does not load\n");
        return 1;
    }
    volatile uint32_t sink = 0;
    std::printf("%-12s %14s %12s %14s %8s\n", "size", "glyphs/s", "text MB/s", "memcpy MB/s",
                "ratio");
    for (int32_t pixels : {20, 40}) {
        for (bool bold : {false, true}) {
            const Figures f = measure(kv::font_pick(pixels, bold), runs, &sink);
            char name[32];
            std::snprintf(name, sizeof name, "%d px %s", pixels, bold ? "bold" : "regular");
            std::printf("%-12s %14.0f %12.0f %14.0f %7.1fx\n", name, f.glyphs / f.text_seconds,
                        f.bytes / f.text_seconds / 1e6, f.bytes / f.copy_seconds / 1e6,
                        f.text_seconds / f.copy_seconds);
        }
    }
    std::printf("ratio: text drawing time / memcpy time for the same line boxes (best of %d)\n",
                runs);
    return 0;
}

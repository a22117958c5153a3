// The progress of a running wipe: pass, bar, speed and time estimate, drawn
// at most every 200 ms, and the stop question between chunks.
#include "tui/wipe_progress.h"

#include "edit/size.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/keyboard.h"
#include "platform/strings.h"
#include "tui/dialogs.h"
#include "tui/screen.h"

namespace kv {

namespace {

constexpr uint64_t kRedrawIntervalMs = 200;
constexpr uint64_t kEstimateAfterMs = 500;
constexpr int kBoxRows = 7;

// a * b / c for a <= c (done of total), without overflowing a * b.
uint64_t scale(uint64_t a, uint64_t b, uint64_t c) {
    if (c == 0) return b;
    if (a == 0 || b <= UINT64_MAX / a) return a * b / c;
    uint64_t step = c / b;
    return step != 0 ? a / step : b;
}

bool stop_requested() {
    if (g_screen_hooks != nullptr)
        return g_screen_hooks->stop_requested != nullptr && g_screen_hooks->stop_requested();
    KeyEvent key{};
    return key_wait(&key, 0) && is_escape_key(&key);
}

void estimate_text(char* buffer, size_t size, uint64_t seconds) {
    unsigned long long s = seconds;
    if (seconds > 3599)
        format(buffer, size, "about %llu h %llu min left", s / 3600, s % 3600 / 60);
    else if (seconds > 59)
        format(buffer, size, "about %llu min %llu s left", s / 60, s % 60);
    else
        format(buffer, size, "about %llu s left", s);
}

// "  [████░░░░] 42%": `cells` cells of bar, `filled` of them full.
void bar_text(char* buffer, size_t size, int cells, int filled, int percent) {
    size_t used = (size_t)format(buffer, size, "  [");
    for (int i = 0; i < cells && used + 4 < size; i++) {
        const char* cell = i < filled ? "\xE2\x96\x88" : "\xE2\x96\x91";
        memcpy(buffer + used, cell, 3);
        used += 3;
    }
    if (used < size) format(buffer + used, size - used, "] %3d%%", percent);
}

void draw_box(const char* title, int pass, int percent, uint64_t done, uint64_t total,
              const char* line) {
    int columns = g_columns;
    int width = (columns < 68 ? columns : 68) - 4;
    int left = (columns - width) / 2;
    int top = g_rows > 9 ? (g_rows - 8) / 2 : 1;
    int cells = width - 12;
    int filled = total == 0 ? cells : (int)scale(done, (uint64_t)cells, total);

    char pass_text[64];
    format(pass_text, sizeof pass_text, "  Pass %d of 2: %s", pass,
           pass == 1 ? "random data" : "zeros");
    char bar[256];
    bar_text(bar, sizeof bar, cells, filled, percent);

    const char* rows[kBoxRows] = {title, "", pass_text, bar, line, "", "  Esc: stop"};
    for (int i = 0; i < kBoxRows; i++)
        put_text(left, top + i, width, i == 0 ? COLOR_YELLOW : COLOR_WHITE, COLOR_RED, rows[i]);
}

} // namespace

void draw_wipe_progress(WipeProgress* state, int pass, uint64_t done, uint64_t total) {
    uint64_t now = elapsed_ms();
    uint64_t elapsed = now > state->start_ms ? now - state->start_ms : 0;
    const Disk* disk = state->view->disk;
    uint64_t block_size = disk->access.block_size;

    char size_text[32];
    format_size(size_text, sizeof size_text, state->size_bytes);
    char title[120];
    format(title, sizeof title, " Wiping %s partition %d  (%s)", disk->name, state->number,
           size_text);

    int percent = total == 0 ? 100 : (int)scale(done, 100, total);
    uint64_t pass_bytes = done * block_size;
    uint64_t done_bytes = ((uint64_t)(pass - 1) * total + done) * block_size;
    uint64_t work_bytes = 2 * total * block_size;
    char pass_text[32];
    format_size(pass_text, sizeof pass_text, pass_bytes);

    char line[200];
    if (elapsed < kEstimateAfterMs || done_bytes == 0) {
        format(line, sizeof line, "  %s of %s   estimating the time...", pass_text, size_text);
    } else {
        uint64_t bytes_per_second = done_bytes <= UINT64_MAX / 1000 ? done_bytes * 1000 / elapsed
                                                                    : done_bytes / elapsed * 1000;
        uint64_t remaining = bytes_per_second == 0 || work_bytes < done_bytes
                                 ? 0
                                 : (work_bytes - done_bytes) / bytes_per_second;
        char speed_text[32];
        format_size(speed_text, sizeof speed_text, bytes_per_second);
        char estimate[64];
        estimate_text(estimate, sizeof estimate, remaining);
        format(line, sizeof line, "  %s of %s   %s/s   %s", pass_text, size_text, speed_text,
               estimate);
    }
    state->last_draw_ms = now;

    if (g_screen_hooks != nullptr) {
        if (g_screen_hooks->wipe_progress != nullptr)
            g_screen_hooks->wipe_progress(title + 1, pass, percent, line + 2);
        return;
    }
    draw_box(title, pass, percent, done, total, line);
}

bool wipe_progress(void* context, int pass, uint64_t done, uint64_t total) {
    WipeProgress* state = static_cast<WipeProgress*>(context);
    bool force = false;
    if (stop_requested()) {
        if (confirm_box(true, "Wipe", "Stop the wipe? (Y/N)")) {
            // A stop asked for before the first drawing would otherwise be
            // reported as "stopped in pass 0".
            if (state->last_pass == 0) state->last_pass = pass;
            return false;
        }
        // The question covered the box: draw it again now.
        state->last_draw_ms = 0;
        force = true;
    }
    bool boundary = done == 0 || done == total || pass != state->last_pass;
    uint64_t now = elapsed_ms();
    bool due = now < state->last_draw_ms || now - state->last_draw_ms >= kRedrawIntervalMs;
    if (force || boundary || due) {
        draw_wipe_progress(state, pass, done, total);
        state->last_pass = pass;
    }
    return true;
}

} // namespace kv

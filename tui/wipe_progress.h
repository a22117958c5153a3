// The Wipe command's progress display and stop question.
#pragma once
#include <stdint.h>

#include "disk/view.h"

namespace kv {

struct WipeProgress {
    DiskView* view;
    int32_t number;      // the partition's
    uint64_t size_bytes; // the partition's
    uint64_t start_ms;
    uint64_t last_draw_ms;
    int last_pass; // 0 until the first drawing
};

// The wipe engine's callback (context: a WipeProgress). False to stop.
bool wipe_progress(void* context, int pass, uint64_t done, uint64_t total);
void draw_wipe_progress(WipeProgress* state, int pass, uint64_t done, uint64_t total);

} // namespace kv

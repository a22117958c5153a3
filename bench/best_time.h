// The timing loop the benchmarks share: the best of several runs, each the
// mean of `repeats` calls, so that a run slowed down by a busy machine does
// not count.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

namespace bench {

// Measured code stores a result here, so the compiler cannot drop the work.
inline volatile uint32_t sink;

inline double best_ms(int runs, int repeats, const std::function<void()>& work) {
    using Clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int r = 0; r < runs; r++) {
        Clock::time_point start = Clock::now();
        for (int i = 0; i < repeats; i++)
            work();
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        best = std::min(best, ms / repeats);
    }
    return best;
}

// A plain memcpy of `bytes`: the yardstick each figure is compared with.
inline double copy_ms(int runs, int repeats, size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes, 2);
    return best_ms(runs, repeats, [&] {
        std::memcpy(to.data(), from.data(), bytes);
        sink = to[bytes / 2];
    });
}

} // namespace bench

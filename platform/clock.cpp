#include "platform/clock.h"

#include "platform/globals.h"

namespace kv {

uint64_t tsc_read() {
    uint32_t low, high;
    __asm__ volatile("rdtsc" : "=a"(low), "=d"(high));
    return (uint64_t(high) << 32) | low;
}

uint64_t elapsed_ms() {
    // The rate is at least 1 once start-up has run; guard the division for
    // any code that asks earlier.
    uint64_t rate = g_tsc_per_ms ? g_tsc_per_ms : 1;
    return (tsc_read() - g_tsc_start) / rate;
}

bool local_time(CalendarTime* out) {
    EFI_TIME t = {};
    if (EFI_ERROR(g_rt->GetTime(&t, nullptr))) return false;
    out->year = t.Year;
    out->month = t.Month;
    out->day = t.Day;
    out->hour = t.Hour;
    out->minute = t.Minute;
    out->second = t.Second;
    return true;
}

} // namespace kv

// The program's clock: milliseconds from the time-stamp counter, and the
// firmware's calendar time.
#pragma once

#include <stdint.h>

namespace kv {

struct CalendarTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

uint64_t tsc_read();
// Milliseconds since the start reference taken at start-up, at the rate
// calibrated there.
uint64_t elapsed_ms();
// False, with *out untouched, when the firmware cannot tell the time.
bool local_time(CalendarTime* out);

} // namespace kv

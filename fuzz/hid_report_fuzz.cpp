// Feeds arbitrary report descriptors to the HID parser, then reads the
// fields it found from the same bytes taken as a report. Neither may read
// outside its input, loop or find a field it cannot read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "gui/hid_report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kv::HidTablet tablet;
    if (!kv::hid_find_tablet(data, size, &tablet)) return 0;
    if (tablet.x.logical_max <= tablet.x.logical_min) std::abort();
    if (tablet.x.bit_size == 0 || tablet.x.bit_size > 32) std::abort();
    kv::hid_field_value(data, size, tablet.x);
    kv::hid_field_value(data, size, tablet.y);
    kv::hid_field_value(data, size, tablet.button);
    return 0;
}

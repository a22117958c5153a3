// Where a HID device's report descriptor puts an absolute pointer's X, Y
// and first button, so that its reports can be read without the boot
// protocol (tablets, a BMC's remote console, many KVM switches).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

struct HidField {
    uint32_t bit_offset; // within the report, after the report ID byte
    uint32_t bit_size;
    int32_t logical_min;
    int32_t logical_max;
};

struct HidTablet {
    uint8_t report_id; // 0: the device sends no report IDs
    HidField x;
    HidField y;
    HidField button;
};

// Walks the descriptor's items. True when one report holds absolute X and Y
// (Generic Desktop) with a usable range and button 1; the descriptor is
// untrusted and may be cut or malformed anywhere.
bool hid_find_tablet(const uint8_t* descriptor, size_t length, HidTablet* out);

// A field's value from a report (the report ID byte already skipped),
// sign-extended when the field's logical minimum is negative.
int32_t hid_field_value(const uint8_t* report, size_t length, const HidField& field);

} // namespace kv

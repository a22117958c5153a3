#include "gui/hid_report.h"

namespace kv {

namespace {

constexpr uint32_t kPageDesktop = 0x01;
constexpr uint32_t kPageButton = 0x09;
constexpr uint32_t kUsageX = 0x30;
constexpr uint32_t kUsageY = 0x31;
constexpr int kMaxUsages = 16;
constexpr int kMaxReports = 16;
// No real field is wider; larger sizes only serve to overflow offsets.
constexpr uint32_t kMaxFieldBits = 32;
constexpr uint32_t kMaxReportBits = 64 * 8 * 8;

struct Found {
    uint8_t id;
    uint32_t bits; // running offset in this report
    bool has_x, has_y, has_button;
    HidField x, y, button;
};

struct Locals {
    uint32_t usages[kMaxUsages];
    int count;
    uint32_t min, max;
    bool has_range;
};

uint32_t item_value(const uint8_t* p, int size) {
    uint32_t v = 0;
    for (int i = 0; i < size; i++)
        v |= uint32_t(p[i]) << (8 * i);
    return v;
}

int32_t signed_value(uint32_t v, int size) {
    if (size == 1) return int8_t(v);
    if (size == 2) return int16_t(v);
    return int32_t(v);
}

// The usage of the n-th field of a main item: extended usages carry their
// page in the upper half.
uint32_t usage_at(const Locals& l, uint32_t page, uint32_t n) {
    uint32_t u = 0;
    if (l.count > 0) {
        u = l.usages[n < uint32_t(l.count) ? n : uint32_t(l.count - 1)];
    } else if (l.has_range) {
        uint64_t v = uint64_t(l.min) + n;
        u = v > l.max ? l.max : uint32_t(v);
    } else {
        return 0;
    }
    return u > 0xFFFF ? u : (page << 16) | u;
}

} // namespace

bool hid_find_tablet(const uint8_t* d, size_t length, HidTablet* out) {
    Found reports[kMaxReports] = {};
    int report_count = 1; // report 0 until an ID appears
    int current = 0;
    uint32_t page = 0, report_size = 0, report_fields = 0;
    int32_t logical_min = 0, logical_max = 0;
    Locals locals = {};

    size_t i = 0;
    while (i < length) {
        uint8_t prefix = d[i];
        if (prefix == 0xFE) { // long item: skip it whole
            if (i + 2 >= length) break;
            i += 3 + size_t(d[i + 1]);
            continue;
        }
        int size = prefix & 3;
        if (size == 3) size = 4;
        if (i + 1 + size_t(size) > length) break;
        uint32_t v = item_value(d + i + 1, size);
        int type = (prefix >> 2) & 3;
        int tag = prefix >> 4;
        i += 1 + size_t(size);

        if (type == 1) { // global
            switch (tag) {
            case 0:
                page = v & 0xFFFF;
                break;
            case 1:
                logical_min = signed_value(v, size);
                break;
            case 2:
                logical_max = signed_value(v, size);
                break;
            case 7:
                report_size = v;
                break;
            case 8: {
                uint8_t id = uint8_t(v);
                if (id == 0) return false;
                int k = 0;
                while (k < report_count && reports[k].id != id)
                    k++;
                if (k == report_count) {
                    if (report_count == kMaxReports) return false;
                    // Fields before the first ID belong to no report.
                    if (report_count == 1 && reports[0].id == 0 && reports[0].bits == 0)
                        k = 0;
                    else
                        report_count++;
                    reports[k] = Found{};
                    reports[k].id = id;
                }
                current = k;
                break;
            }
            case 9:
                report_fields = v;
                break;
            default:
                break; // push/pop and units do not move fields
            }
        } else if (type == 2) { // local
            switch (tag) {
            case 0:
                if (locals.count < kMaxUsages)
                    locals.usages[locals.count++] = size == 4 ? v : v & 0xFFFF;
                break;
            case 1:
                locals.min = v;
                locals.has_range = true;
                break;
            case 2:
                locals.max = v;
                locals.has_range = true;
                break;
            default:
                break;
            }
        } else if (type == 0) {                       // main
            if (tag == 8 || tag == 9 || tag == 0xB) { // input, output, feature
                bool input = tag == 8;
                Found& r = reports[current];
                if (report_size > kMaxFieldBits || report_fields > kMaxReportBits) return false;
                bool constant = v & 1;
                bool variable = v & 2;
                bool relative = v & 4;
                for (uint32_t n = 0; input && n < report_fields; n++) {
                    if (r.bits + report_size > kMaxReportBits) return false;
                    HidField f = {r.bits + n * report_size, report_size, logical_min, logical_max};
                    if (r.bits + n * report_size + report_size > kMaxReportBits) return false;
                    if (constant || !variable) continue;
                    uint32_t u = usage_at(locals, page, n);
                    if (u == ((kPageDesktop << 16) | kUsageX) && !relative && !r.has_x) {
                        r.x = f;
                        r.has_x = true;
                    } else if (u == ((kPageDesktop << 16) | kUsageY) && !relative && !r.has_y) {
                        r.y = f;
                        r.has_y = true;
                    } else if (u == ((kPageButton << 16) | 1) && !r.has_button) {
                        r.button = f;
                        r.has_button = true;
                    }
                }
                if (input) r.bits += report_size * report_fields;
            }
            locals = Locals{};
        }
    }

    for (int k = 0; k < report_count; k++) {
        const Found& r = reports[k];
        if (!r.has_x || !r.has_y || !r.has_button) continue;
        if (r.x.logical_max <= r.x.logical_min || r.y.logical_max <= r.y.logical_min) continue;
        if (r.x.bit_size == 0 || r.y.bit_size == 0 || r.button.bit_size == 0) continue;
        *out = HidTablet{r.id, r.x, r.y, r.button};
        return true;
    }
    return false;
}

int32_t hid_field_value(const uint8_t* report, size_t length, const HidField& field) {
    uint32_t v = 0;
    for (uint32_t b = 0; b < field.bit_size; b++) {
        uint32_t bit = field.bit_offset + b;
        if (bit / 8 >= length) break;
        if (report[bit / 8] >> (bit % 8) & 1) v |= 1u << b;
    }
    if (field.logical_min < 0 && field.bit_size > 0 && field.bit_size < 32 &&
        (v >> (field.bit_size - 1)) & 1)
        v |= ~0u << field.bit_size;
    return int32_t(v);
}

} // namespace kv

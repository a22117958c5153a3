#include "gui/hid_report.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> seed(const std::string& name) {
    std::ifstream f(std::string(KV_SOURCE_DIR) + "/fuzz/corpus/hid_report/" + name,
                    std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// QEMU's usb-tablet: three buttons, five bits of padding, X and Y of 16 bits
// in 0..32767, a relative wheel; a report of the pointer at the far corner
// with the left button down must read back as such.
TEST(HidReport, FindsTheTabletsFieldsWithAndWithoutAReportId) {
    for (const char* name : {"qemu_tablet", "with_report_id"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> d = seed(name);
        ASSERT_FALSE(d.empty());
        kv::HidTablet t{};
        ASSERT_TRUE(kv::hid_find_tablet(d.data(), d.size(), &t));
        EXPECT_EQ(t.report_id, std::string(name) == "qemu_tablet" ? 0 : 2);
        const uint8_t report[] = {0x01, 0xFF, 0x7F, 0x34, 0x12, 0x00};
        EXPECT_EQ(kv::hid_field_value(report, sizeof report, t.button), 1);
        EXPECT_EQ(kv::hid_field_value(report, sizeof report, t.x), 0x7FFF);
        EXPECT_EQ(kv::hid_field_value(report, sizeof report, t.y), 0x1234);
        EXPECT_EQ(t.x.logical_max, 0x7FFF);
        // A report cut before Y reads what is there and no further.
        EXPECT_EQ(kv::hid_field_value(report, 4, t.y), 0x34);
    }
}

TEST(HidReport, RelativeMiceAndCutDescriptorsAreNoTablets) {
    kv::HidTablet t{};
    for (const char* name : {"boot_mouse", "cut_short"}) {
        std::vector<uint8_t> d = seed(name);
        ASSERT_FALSE(d.empty()) << name;
        EXPECT_FALSE(kv::hid_find_tablet(d.data(), d.size(), &t)) << name;
    }
    // A report size that would overflow the offsets.
    const uint8_t huge[] = {0x05, 0x01, 0x09, 0x30, 0x77, 0xFF, 0xFF,
                            0xFF, 0x7F, 0x95, 0x02, 0x81, 0x02};
    EXPECT_FALSE(kv::hid_find_tablet(huge, sizeof huge, &t));
}

// A field with a negative minimum is signed: its top bit extends. A field of
// no bits reads 0 whatever its range (the sanitizer build catches a shift
// past the width).
TEST(HidReport, SignedFieldsExtendAndEmptyFieldsReadZero) {
    const uint8_t report[] = {0xE5, 0x0F};
    EXPECT_EQ(kv::hid_field_value(report, sizeof report, kv::HidField{4, 4, -8, 7}), -2);
    EXPECT_EQ(kv::hid_field_value(report, sizeof report, kv::HidField{4, 4, 0, 15}), 14);
    EXPECT_EQ(kv::hid_field_value(report, sizeof report, kv::HidField{0, 4, -8, 7}), 5);
    EXPECT_EQ(kv::hid_field_value(report, sizeof report, kv::HidField{4, 0, -8, 7}), 0);
}

} // namespace

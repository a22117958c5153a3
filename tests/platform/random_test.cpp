#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/disks.h"
#include "sim/disks.h"
#include "tests/sim/storage_images.h"

namespace {

using kvtest::StorageTest;

uint64_t word(const uint8_t* p, size_t n = 8) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;)
        v = v << 8 | p[i];
    return v;
}

TEST(SplitmixNext, MatchesTheReferenceSequence) {
    uint64_t state = 0;
    // The first value from 0 is splitmix64's published first output.
    EXPECT_EQ(kv::splitmix_next(&state), 0xE220A8397B1DCDAFull);
    EXPECT_EQ(state, 0xE220A8397B1DCDAFull);
    // The state itself is stepped, so the next value mixes the last output.
    EXPECT_EQ(kv::splitmix_next(&state), 0xA706DD2F4D197E6Full);
    state = 0x0123456789ABCDEFull;
    EXPECT_EQ(kv::splitmix_next(&state), 0x157A3807A48FAA9Dull);
}

class RandomBytes : public StorageTest {};

TEST_F(RandomBytes, TakesTheFirmwareBytesWhenItHasAnRng) {
    sim::set_rng(true, [](uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; i++)
            out[i] = uint8_t(0xA0 + i);
        return EFI_SUCCESS;
    });
    uint8_t buf[13] = {};
    kv::random_bytes(nullptr, buf, sizeof buf);
    for (size_t i = 0; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], 0xA0 + i);
    EXPECT_EQ(sim::rng_calls(), 1u);
    kv::random_bytes(nullptr, buf, 0);
    EXPECT_EQ(sim::rng_calls(), 1u);
}

// Without firmware bytes the output is successive generator states: each
// 8-byte group is the next step from the one before it.
void expect_chained(const std::vector<uint8_t>& bytes) {
    for (size_t at = 8; at < bytes.size(); at += 8) {
        uint64_t state = word(&bytes[at - 8]);
        uint64_t next = kv::splitmix_next(&state);
        size_t n = bytes.size() - at < 8 ? bytes.size() - at : 8;
        EXPECT_EQ(word(&bytes[at], n), next & (n == 8 ? ~0ull : (1ull << (8 * n)) - 1))
            << "group at " << at;
    }
}

TEST_F(RandomBytes, FallsBackToTheGeneratorWithoutAnRng) {
    std::vector<uint8_t> a(29), b(29);
    kv::random_bytes(nullptr, a.data(), a.size());
    kv::random_bytes(nullptr, b.data(), b.size());
    expect_chained(a);
    expect_chained(b);
    EXPECT_NE(a, b);
    EXPECT_NE(word(a.data()), 0u);
}

TEST_F(RandomBytes, FallsBackWhenTheRngFailsOrTheClockIsGone) {
    sim::set_rng(true, [](uint8_t* out, size_t n) {
        std::memset(out, 0x11, n);
        return EFI_DEVICE_ERROR;
    });
    EFI_TIME t{};
    sim::set_time(t, true);
    std::vector<uint8_t> a(24);
    kv::random_bytes(nullptr, a.data(), a.size());
    EXPECT_EQ(sim::rng_calls(), 1u);
    EXPECT_NE(a, std::vector<uint8_t>(24, 0x11));
    expect_chained(a);
}

TEST_F(RandomBytes, EveryDiskUsesIt) {
    sim::add_block_disk(kvtest::blank_image(64));
    kv::Disk* disks = nullptr;
    ASSERT_EQ(kv::discover_disks(&disks), 1);
    sim::set_rng(true, [](uint8_t* out, size_t n) {
        std::memset(out, 0x5C, n);
        return EFI_SUCCESS;
    });
    uint8_t buf[4] = {};
    disks[0].access.random(disks[0].access.context, buf, sizeof buf);
    EXPECT_EQ(word(buf, 4), 0x5C5C5C5Cu);
    kv::release_disks();
}

} // namespace

#include "io/wipe.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>
#include <vector>

#include "io/xoshiro.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

// A device that records every call. With `store` set it keeps the disk's
// bytes; without, it only counts, so gigabyte ranges cost no memory.
struct TestDisk {
    struct Write {
        uint64_t first;
        uint64_t count;
    };

    kv::BlockDevice dev{};
    bool store = false;
    std::vector<uint8_t> data;
    std::vector<Write> writes;
    int fail_write = -1; // index of the write that fails
    kv::ErrorCode fail_code = kv::ERR_IO;
    std::vector<std::vector<uint8_t>> seeds; // handed out in turn, the last repeats
    int random_calls = 0;

    TestDisk(uint32_t block_size, uint64_t block_count, bool keep) : store(keep) {
        dev.read = nullptr;
        dev.write = &write_fn;
        dev.random = &random_fn;
        dev.context = this;
        dev.block_size = block_size;
        dev.block_count = block_count;
        if (store) data.assign(block_size * block_count, 0xAA);
        seeds.push_back(seed_bytes(0x1234));
    }

    static kv::ErrorCode write_fn(void* ctx, uint64_t first, uint64_t count, const void* buf) {
        TestDisk* d = static_cast<TestDisk*>(ctx);
        if (first >= d->dev.block_count || count > d->dev.block_count - first) {
            ADD_FAILURE() << "write of " << count << " blocks at " << first << " is off the disk";
            return kv::ERR_IO;
        }
        if ((int)d->writes.size() == d->fail_write) {
            d->writes.push_back({first, count});
            return d->fail_code;
        }
        d->writes.push_back({first, count});
        if (d->store)
            memcpy(d->data.data() + first * d->dev.block_size, buf, count * d->dev.block_size);
        return kv::ERR_OK;
    }

    static void random_fn(void* ctx, void* buf, size_t n) {
        TestDisk* d = static_cast<TestDisk*>(ctx);
        size_t i = d->random_calls < (int)d->seeds.size() ? d->random_calls : d->seeds.size() - 1;
        EXPECT_EQ(n, 32u);
        memcpy(buf, d->seeds[i].data(), n);
        d->random_calls++;
    }

    static std::vector<uint8_t> seed_bytes(uint32_t tag) {
        std::vector<uint8_t> s(32);
        for (size_t i = 0; i < s.size(); i++)
            s[i] = (uint8_t)(tag * 31 + i * 7 + (tag >> 8));
        return s;
    }

    std::vector<uint8_t> bytes(uint64_t first, uint64_t count) const {
        auto b = data.begin() + first * dev.block_size;
        return std::vector<uint8_t>(b, b + count * dev.block_size);
    }
};

struct Call {
    int pass;
    uint64_t done;
    uint64_t total;
    bool operator==(const Call&) const = default;
};

// Records every progress call; answers false on call number `stop_at`, and
// can copy the disk when a pass starts (the bytes pass 1 left).
struct Progress {
    std::vector<Call> calls;
    int stop_at = -1;
    TestDisk* snapshot_disk = nullptr;
    std::vector<uint8_t> after_pass1;

    static bool fn(void* ctx, int pass, uint64_t done, uint64_t total) {
        Progress* p = static_cast<Progress*>(ctx);
        if (p->snapshot_disk && pass == 2 && done == 0) p->after_pass1 = p->snapshot_disk->data;
        p->calls.push_back({pass, done, total});
        return (int)p->calls.size() - 1 != p->stop_at;
    }
};

kv::ErrorCode wipe(TestDisk& d, uint64_t first, uint64_t count, Progress* p) {
    return kv::wipe_blocks(&d.dev, first, count, p ? &Progress::fn : nullptr, p);
}

// Written from the published description, independently of io/xoshiro.
struct Reference {
    uint64_t s[4];

    explicit Reference(const std::vector<uint8_t>& seed) {
        for (int w = 0; w < 4; w++) {
            s[w] = 0;
            for (int b = 7; b >= 0; b--)
                s[w] = s[w] << 8 | seed[w * 8 + b];
        }
    }

    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }

    std::vector<uint8_t> stream(size_t bytes) {
        std::vector<uint8_t> out((bytes + 7) / 8 * 8);
        for (size_t i = 0; i < out.size(); i += 8) {
            uint64_t v = next();
            for (int b = 0; b < 8; b++)
                out[i + b] = (uint8_t)(v >> (8 * b));
        }
        out.resize(bytes);
        return out;
    }
};

constexpr uint64_t kChunk512 = 8192;
constexpr uint64_t kGiB = 1ull << 30;

class Wipe : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Wipe, TenBlocksTakeOneWritePerPassAndReportZeroAndTen) {
    TestDisk d(512, 100, false);
    Progress p;
    EXPECT_EQ(wipe(d, 5, 10, &p), kv::ERR_OK);
    ASSERT_EQ(d.writes.size(), 2u);
    for (auto& w : d.writes) {
        EXPECT_EQ(w.first, 5u);
        EXPECT_EQ(w.count, 10u);
    }
    std::vector<Call> want = {{1, 0, 10}, {1, 10, 10}, {2, 0, 10}, {2, 10, 10}};
    EXPECT_EQ(p.calls, want);
    EXPECT_EQ(d.random_calls, 1);
}

TEST_F(Wipe, OneGibAt512BytesTakes256WritesOf8192BlocksPerPass) {
    const uint64_t count = kGiB / 512;
    TestDisk d(512, count + 100, false);
    Progress p;
    ASSERT_EQ(wipe(d, 100, count, &p), kv::ERR_OK);
    ASSERT_EQ(d.writes.size(), 512u);
    for (size_t i = 0; i < d.writes.size(); i++) {
        EXPECT_EQ(d.writes[i].count, kChunk512) << i;
        EXPECT_EQ(d.writes[i].first, 100 + (i % 256) * kChunk512) << i;
    }
    ASSERT_EQ(p.calls.size(), 2u * 257);
    for (size_t i = 0; i < p.calls.size(); i++) {
        Call want{(int)(i / 257) + 1, (i % 257) * kChunk512, count};
        EXPECT_EQ(p.calls[i], want) << i;
    }
}

TEST_F(Wipe, LastChunkTakesTheRemainderAndNullProgressIsAllowed) {
    TestDisk d(512, 3 * kChunk512, false);
    EXPECT_EQ(wipe(d, 0, 2 * kChunk512 + 3, nullptr), kv::ERR_OK);
    ASSERT_EQ(d.writes.size(), 6u);
    EXPECT_EQ(d.writes[2].first, 2 * kChunk512);
    EXPECT_EQ(d.writes[2].count, 3u);
    EXPECT_EQ(d.writes[5].count, 3u);
}

TEST_F(Wipe, ChunkOf4096ByteBlocksHolds1024Blocks) {
    TestDisk d(4096, 5000, false);
    Progress p;
    ASSERT_EQ(wipe(d, 1, 2500, &p), kv::ERR_OK);
    ASSERT_EQ(d.writes.size(), 6u);
    const uint64_t firsts[] = {1, 1025, 2049};
    const uint64_t counts[] = {1024, 1024, 452};
    for (size_t i = 0; i < 6; i++) {
        EXPECT_EQ(d.writes[i].first, firsts[i % 3]) << i;
        EXPECT_EQ(d.writes[i].count, counts[i % 3]) << i;
    }
    EXPECT_EQ(p.calls[3], (Call{1, 2500, 2500}));
}

TEST_F(Wipe, StopAtTheStartOfPassOneWritesNothing) {
    TestDisk d(512, 100, false);
    Progress p;
    p.stop_at = 0;
    EXPECT_EQ(wipe(d, 0, 100, &p), kv::ERR_ABORTED);
    EXPECT_TRUE(d.writes.empty());
    EXPECT_EQ(p.calls.size(), 1u);
}

TEST_F(Wipe, StopInPassOneKeepsTheChunksWritten) {
    TestDisk d(512, 3 * kChunk512, true);
    Progress p;
    p.stop_at = 1; // after the first chunk
    EXPECT_EQ(wipe(d, 0, 3 * kChunk512, &p), kv::ERR_ABORTED);
    ASSERT_EQ(d.writes.size(), 1u);
    EXPECT_EQ(p.calls.back(), (Call{1, kChunk512, 3 * kChunk512}));
    Reference ref(d.seeds[0]);
    EXPECT_EQ(d.bytes(0, kChunk512), ref.stream(kChunk512 * 512));
    EXPECT_EQ(d.bytes(kChunk512, 2 * kChunk512), std::vector<uint8_t>(2 * kChunk512 * 512, 0xAA));
}

TEST_F(Wipe, StopInPassTwoLeavesRandomDataAfterTheZeroedChunks) {
    const uint64_t count = 3 * kChunk512;
    TestDisk d(512, count, true);
    Progress p;
    p.stop_at = 5; // pass 1: 0, 1, 2, 3; pass 2: 4 = start, 5 = first chunk
    EXPECT_EQ(wipe(d, 0, count, &p), kv::ERR_ABORTED);
    EXPECT_EQ(d.writes.size(), 4u);
    EXPECT_EQ(p.calls.back(), (Call{2, kChunk512, count}));
    Reference ref(d.seeds[0]);
    std::vector<uint8_t> random = ref.stream(count * 512);
    EXPECT_EQ(d.bytes(0, kChunk512), std::vector<uint8_t>(kChunk512 * 512, 0));
    EXPECT_TRUE(std::equal(random.begin() + kChunk512 * 512, random.end(),
                           d.data.begin() + kChunk512 * 512));
}

TEST_F(Wipe, StopAtTheStartOfPassTwo) {
    TestDisk d(512, 10, false);
    Progress p;
    p.stop_at = 2;
    EXPECT_EQ(wipe(d, 0, 10, &p), kv::ERR_ABORTED);
    EXPECT_EQ(d.writes.size(), 1u);
    EXPECT_EQ(p.calls.back(), (Call{2, 0, 10}));
}

TEST_F(Wipe, FailedWriteInPassOneEndsWithItsCode) {
    TestDisk d(512, 4 * kChunk512, false);
    d.fail_write = 1;
    d.fail_code = kv::ERR_NO_MEDIA;
    Progress p;
    EXPECT_EQ(wipe(d, 0, 4 * kChunk512, &p), kv::ERR_NO_MEDIA);
    EXPECT_EQ(d.writes.size(), 2u); // no retry, no further chunk
    std::vector<Call> want = {{1, 0, 4 * kChunk512}, {1, kChunk512, 4 * kChunk512}};
    EXPECT_EQ(p.calls, want);
}

TEST_F(Wipe, FailedWriteInPassTwoEndsWithItsCode) {
    TestDisk d(512, 2 * kChunk512, false);
    d.fail_write = 3;
    Progress p;
    EXPECT_EQ(wipe(d, 0, 2 * kChunk512, &p), kv::ERR_IO);
    EXPECT_EQ(d.writes.size(), 4u);
    EXPECT_EQ(p.calls.back(), (Call{2, kChunk512, 2 * kChunk512}));
}

TEST_F(Wipe, PassOneWritesTheGeneratorStreamAndPassTwoZerosOnlyTheRange) {
    for (uint32_t bs : {512u, 4096u}) {
        SCOPED_TRACE(bs);
        const uint64_t chunk = kv::kWipeChunkBytes / bs;
        const uint64_t first = 7, count = 2 * chunk + 5;
        TestDisk d(bs, first + count + 3, true);
        d.seeds[0] = TestDisk::seed_bytes(bs);
        Progress p;
        p.snapshot_disk = &d;
        ASSERT_EQ(wipe(d, first, count, &p), kv::ERR_OK);

        // The stream runs on across chunks: one reference stream covers the range.
        Reference ref(d.seeds[0]);
        std::vector<uint8_t> want = ref.stream(count * bs);
        ASSERT_EQ(p.after_pass1.size(), d.data.size());
        EXPECT_TRUE(std::equal(want.begin(), want.end(), p.after_pass1.begin() + first * bs));

        EXPECT_EQ(d.bytes(first, count), std::vector<uint8_t>(count * bs, 0));
        EXPECT_EQ(d.bytes(0, first), std::vector<uint8_t>(first * bs, 0xAA));
        EXPECT_EQ(d.bytes(first + count, 3), std::vector<uint8_t>(3 * bs, 0xAA));
    }
}

TEST_F(Wipe, AllZeroSeedIsDrawnAgain) {
    TestDisk d(512, 16, true);
    d.seeds = {std::vector<uint8_t>(32, 0), std::vector<uint8_t>(32, 0), TestDisk::seed_bytes(77)};
    Progress p;
    p.snapshot_disk = &d;
    ASSERT_EQ(wipe(d, 0, 16, &p), kv::ERR_OK);
    EXPECT_EQ(d.random_calls, 3);
    EXPECT_EQ(p.after_pass1, Reference(d.seeds[2]).stream(16 * 512));
}

TEST_F(Wipe, SourceGivingOnlyZeroSeedsFailsInsteadOfHanging) {
    TestDisk d(512, 16, false);
    d.seeds = {std::vector<uint8_t>(32, 0)};
    Progress p;
    EXPECT_EQ(wipe(d, 0, 16, &p), kv::ERR_IO);
    EXPECT_GT(d.random_calls, 1);
    EXPECT_TRUE(d.writes.empty());
    EXPECT_TRUE(p.calls.empty());
}

TEST_F(Wipe, WriteProtectedBeforeSeedOrProgress) {
    TestDisk d(512, 100, false);
    d.dev.write = nullptr;
    Progress p;
    EXPECT_EQ(wipe(d, 0, 10, &p), kv::ERR_WRITE_PROTECTED);
    EXPECT_EQ(wipe(d, 0, 0, &p), kv::ERR_WRITE_PROTECTED);
    EXPECT_EQ(d.random_calls, 0);
    EXPECT_TRUE(p.calls.empty());
}

TEST_F(Wipe, InvalidRangesAreRefusedBeforeAnything) {
    struct Case {
        uint32_t block_size;
        uint64_t first;
        uint64_t count;
    } cases[] = {
        {512, 0, 0},                // nothing to wipe
        {512, 100, 1},              // first block just past the end
        {512, 1000, 1},             // far beyond
        {512, 90, 11},              // one block past the end
        {512, 1, UINT64_MAX},       // first + count wraps to 0
        {512, 99, UINT64_MAX - 97}, // wraps to 1
        {0, 0, 10},                 // no block size
        {8388608, 0, 1},            // block larger than a chunk
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.block_size << " " << c.first << " " << c.count);
        TestDisk d(512, 100, false);
        d.dev.block_size = c.block_size;
        Progress p;
        EXPECT_EQ(wipe(d, c.first, c.count, &p), kv::ERR_INVALID_PARAMETER);
        EXPECT_EQ(d.random_calls, 0);
        EXPECT_TRUE(p.calls.empty());
        EXPECT_TRUE(d.writes.empty());
    }
}

TEST_F(Wipe, RangeEndingAtTheLastBlockIsAccepted) {
    TestDisk d(512, 100, false);
    EXPECT_EQ(wipe(d, 90, 10, nullptr), kv::ERR_OK);
    EXPECT_EQ(wipe(d, 99, 1, nullptr), kv::ERR_OK);
    EXPECT_EQ(wipe(d, 0, 100, nullptr), kv::ERR_OK);
    EXPECT_EQ(d.writes.size(), 6u);
}

TEST_F(Wipe, MemDiskGetsItsOwnRandomStreamThenZeros) {
    const uint64_t count = kChunk512 + 9;
    sim::MemDisk disk(512, count + 2, 9);
    sim::MemDisk twin(512, 1, 9);
    std::vector<uint8_t> seed(32);
    twin.device()->random(twin.device()->context, seed.data(), seed.size());
    std::vector<uint8_t> after_pass1;
    auto snapshot = [](void* ctx, int pass, uint64_t done, uint64_t) {
        auto* d = static_cast<std::pair<sim::MemDisk*, std::vector<uint8_t>*>*>(ctx);
        if (pass == 2 && done == 0) *d->second = d->first->image();
        return true;
    };
    std::pair<sim::MemDisk*, std::vector<uint8_t>*> ctx{&disk, &after_pass1};
    ASSERT_EQ(kv::wipe_blocks(disk.device(), 1, count, snapshot, &ctx), kv::ERR_OK);
    EXPECT_EQ(disk.stats().random_calls, 1u);
    EXPECT_EQ(disk.stats().write_calls, 4u);
    std::vector<uint8_t> want = Reference(seed).stream(count * 512);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), after_pass1.begin() + 512));
    std::vector<uint8_t> zeros((count + 2) * 512, 0);
    EXPECT_EQ(disk.image(), zeros); // the blocks around the range were zero already
}

TEST_F(Wipe, MemDiskWriteFailureStopsTheWipe) {
    sim::MemDisk disk(512, 3 * kChunk512);
    disk.fail_write(2, kv::ERR_SECURITY_VIOLATION);
    EXPECT_EQ(kv::wipe_blocks(disk.device(), 0, 3 * kChunk512, nullptr, nullptr),
              kv::ERR_SECURITY_VIOLATION);
    EXPECT_EQ(disk.stats().write_calls, 2u);
    EXPECT_EQ(disk.stats().write_blocks, kChunk512);
}

TEST(Xoshiro, KnownAnswerFromWordsOneToFour) {
    const uint64_t want[] = {11520ull,
                             0ull,
                             1509978240ull,
                             1215971899390074240ull,
                             1216172134540287360ull,
                             607988272756665600ull};
    kv::Xoshiro256ss g{{1, 2, 3, 4}};
    for (uint64_t w : want)
        EXPECT_EQ(kv::xoshiro_next(&g), w);

    // The same values through the seed bytes and the bulk fill, little-endian.
    uint8_t seed[32] = {};
    for (int i = 0; i < 4; i++)
        seed[8 * i] = (uint8_t)(i + 1);
    ASSERT_TRUE(kv::xoshiro_seed(&g, seed));
    uint8_t out[6 * 8];
    kv::xoshiro_fill(&g, out, 6);
    for (int i = 0; i < 6; i++) {
        uint64_t v = 0;
        for (int b = 7; b >= 0; b--)
            v = v << 8 | out[8 * i + b];
        EXPECT_EQ(v, want[i]) << i;
    }
}

TEST(Xoshiro, FillContinuesTheStreamWhateverTheSplit) {
    std::vector<uint8_t> seed = TestDisk::seed_bytes(5);
    std::vector<uint8_t> want = Reference(seed).stream(1003 * 8);
    kv::Xoshiro256ss g;
    ASSERT_TRUE(kv::xoshiro_seed(&g, seed.data()));
    // Odd offsets also exercise unaligned stores and the unrolled loop's tail.
    std::vector<uint8_t> got(1003 * 8 + 1);
    size_t at = 1;
    for (size_t words : {1, 3, 4, 7, 988}) {
        kv::xoshiro_fill(&g, got.data() + at, words);
        at += words * 8;
    }
    EXPECT_TRUE(std::equal(want.begin(), want.end(), got.begin() + 1));
    Reference r(seed);
    for (int i = 0; i < 1003; i++)
        r.next();
    EXPECT_EQ(kv::xoshiro_next(&g), r.next());
}

TEST(Xoshiro, AllZeroSeedIsRefused) {
    uint8_t seed[32] = {};
    kv::Xoshiro256ss g;
    EXPECT_FALSE(kv::xoshiro_seed(&g, seed));
    seed[31] = 1;
    EXPECT_TRUE(kv::xoshiro_seed(&g, seed));
    EXPECT_EQ(g.s[3], 1ull << 56);
}

} // namespace

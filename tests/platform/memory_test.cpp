#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/globals.h"
#include "platform/memory.h"
#include "sim/firmware.h"

namespace {

uint64_t header_size(void* p) {
    return reinterpret_cast<uint64_t*>(static_cast<char*>(p) - 16)[0];
}

class Heap : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
};

TEST_F(Heap, MallocRecordsRequestedSizeAndFreeReturnsTheBlock) {
    size_t before = sim::pool_blocks_live();
    void* a = kv::malloc(100);
    void* b = kv::malloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(header_size(a), 100u);
    EXPECT_EQ(header_size(b), 0u);
    EXPECT_EQ(sim::pool_blocks_live(), before + 2);
    std::memset(a, 0x5A, 100);
    kv::free(a);
    kv::free(b);
    kv::free(nullptr);
    EXPECT_EQ(sim::pool_blocks_live(), before);
}

TEST_F(Heap, MallocReturnsNullWhenThePoolRefuses) {
    sim::fail_pool_after(0);
    EXPECT_EQ(kv::malloc(10), nullptr);
    EXPECT_EQ(kv::malloc(0), nullptr);
}

TEST_F(Heap, CallocZeroFillsAndRejectsOverflow) {
    size_t before = sim::pool_blocks_live();
    EXPECT_EQ(kv::calloc(SIZE_MAX / 2 + 1, 2), nullptr);
    EXPECT_EQ(kv::calloc(2, SIZE_MAX / 2 + 1), nullptr);
    EXPECT_EQ(sim::pool_blocks_live(), before);

    // Dirty a block first so that a reused one would show stale bytes.
    void* dirty = kv::malloc(4096);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xEE, 4096);
    kv::free(dirty);
    auto* p = static_cast<unsigned char*>(kv::calloc(64, 64));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(header_size(p), 4096u);
    for (size_t i = 0; i < 4096; i++)
        ASSERT_EQ(p[i], 0) << i;
    kv::free(p);

    void* empty = kv::calloc(0, 7);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(header_size(empty), 0u);
    kv::free(empty);
}

TEST_F(Heap, ReallocShrinkKeepsBlockDownToHalfThenMoves) {
    auto* p = static_cast<char*>(kv::malloc(100));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 100; i++)
        p[i] = static_cast<char>(i);

    char* same = static_cast<char*>(kv::realloc(p, 50));
    EXPECT_EQ(same, p);
    EXPECT_EQ(header_size(same), 50u);

    // The halving now applies to the recorded 50, not the original 100.
    char* moved = static_cast<char*>(kv::realloc(same, 24));
    ASSERT_NE(moved, nullptr);
    EXPECT_NE(moved, same);
    EXPECT_EQ(header_size(moved), 24u);
    for (int i = 0; i < 24; i++)
        ASSERT_EQ(moved[i], static_cast<char>(i));
    kv::free(moved);

    auto* q = static_cast<char*>(kv::malloc(100));
    ASSERT_NE(q, nullptr);
    std::memset(q, 'q', 100);
    size_t live = sim::pool_blocks_live();
    char* r = static_cast<char*>(kv::realloc(q, 49));
    ASSERT_NE(r, nullptr);
    EXPECT_NE(r, q);
    EXPECT_EQ(header_size(r), 49u);
    EXPECT_EQ(std::string(r, 49), std::string(49, 'q'));
    EXPECT_EQ(sim::pool_blocks_live(), live);

    char* zero = static_cast<char*>(kv::realloc(r, 0));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(header_size(zero), 0u);
    kv::free(zero);
}

TEST_F(Heap, ReallocGrowCopiesAndNullActsAsMalloc) {
    auto* p = static_cast<char*>(kv::realloc(nullptr, 8));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(header_size(p), 8u);
    std::memcpy(p, "abcdefgh", 8);
    size_t live = sim::pool_blocks_live();
    auto* q = static_cast<char*>(kv::realloc(p, 1000));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(header_size(q), 1000u);
    EXPECT_EQ(std::string(q, 8), "abcdefgh");
    EXPECT_EQ(sim::pool_blocks_live(), live);
    kv::free(q);
}

TEST_F(Heap, FailedReallocLeavesOldBlockValid) {
    auto* p = static_cast<char*>(kv::malloc(100));
    ASSERT_NE(p, nullptr);
    std::memset(p, 'z', 100);
    size_t live = sim::pool_blocks_live();
    sim::fail_pool_after(0);
    EXPECT_EQ(kv::realloc(p, 200), nullptr);
    EXPECT_EQ(kv::realloc(p, 10), nullptr);
    sim::fail_pool_after(-1);
    EXPECT_EQ(sim::pool_blocks_live(), live);
    EXPECT_EQ(header_size(p), 100u);
    EXPECT_EQ(std::string(p, 100), std::string(100, 'z'));
    kv::free(p);
}

TEST_F(Heap, FatalWrappersTurnZeroIntoOneByte) {
    void* a = kv::xmalloc(0);
    void* b = kv::xcalloc(0, 0);
    EXPECT_EQ(header_size(a), 1u);
    EXPECT_EQ(header_size(b), 1u);
    EXPECT_EQ(*static_cast<unsigned char*>(b), 0);
    void* c = kv::xrealloc(kv::xmalloc(100), 0);
    EXPECT_EQ(header_size(c), 1u);
    char* s = kv::xstrdup("disk 0");
    EXPECT_STREQ(s, "disk 0");
    EXPECT_EQ(header_size(s), 7u);
    kv::free(a);
    kv::free(b);
    kv::free(c);
    kv::free(s);
}

// Each case runs as the image and must end through Exit, never return.
struct ExhaustionCase {
    const char* name;
    EFI_STATUS (*run)(void*);
};

EFI_STATUS exhaust_xmalloc(void*) {
    sim::fail_pool_after(0);
    kv::xmalloc(16);
    return EFI_SUCCESS;
}

EFI_STATUS exhaust_xcalloc_overflow(void*) {
    kv::xcalloc(SIZE_MAX / 4, 8);
    return EFI_SUCCESS;
}

EFI_STATUS exhaust_xrealloc(void*) {
    void* p = kv::xmalloc(10);
    sim::fail_pool_after(0);
    kv::xrealloc(p, 20);
    return EFI_SUCCESS;
}

EFI_STATUS exhaust_xstrdup(void*) {
    sim::fail_pool_after(0);
    kv::xstrdup("x");
    return EFI_SUCCESS;
}

TEST_F(Heap, WrappersEndTheProgramWhenMemoryRunsOut) {
    const ExhaustionCase cases[] = {{"xmalloc", exhaust_xmalloc},
                                    {"xcalloc overflow", exhaust_xcalloc_overflow},
                                    {"xrealloc", exhaust_xrealloc},
                                    {"xstrdup", exhaust_xstrdup}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::reset();
        sim::RunResult r = sim::run_image(c.run, nullptr);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, EFI_LOAD_ERROR);
        EXPECT_EQ(sim::console_output_utf8(), "\r\nkorvane: fatal: out of memory\r\n");
    }
}

} // namespace

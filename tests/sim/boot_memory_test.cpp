#include <gtest/gtest.h>

#include <cstring>

#include "sim/firmware.h"

namespace {

class BootMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        bs = sim::system_table()->BootServices;
    }

    EFI_STATUS pool(size_t n, void** out) { return bs->AllocatePool(EfiLoaderData, n, out); }

    EFI_STATUS pages(size_t n, EFI_PHYSICAL_ADDRESS* out) {
        return bs->AllocatePages(AllocateAnyPages, EfiLoaderData, n, out);
    }

    EFI_BOOT_SERVICES* bs = nullptr;
};

TEST_F(BootMemory, PoolBlocksAreTrackedUntilFreed) {
    size_t before = sim::pool_blocks_live();
    void* p = nullptr;
    void* q = nullptr;
    ASSERT_EQ(pool(100, &p), EFI_SUCCESS);
    ASSERT_EQ(pool(0, &q), EFI_SUCCESS);
    EXPECT_NE(p, q);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u);
    std::memset(p, 0, 100);
    EXPECT_EQ(sim::pool_blocks_live(), before + 2);
    EXPECT_EQ(bs->FreePool(p), EFI_SUCCESS);
    EXPECT_EQ(bs->FreePool(p), EFI_INVALID_PARAMETER);
    int local = 0;
    EXPECT_EQ(bs->FreePool(&local), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->FreePool(static_cast<char*>(q) + 1), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->FreePool(q), EFI_SUCCESS);
    EXPECT_EQ(sim::pool_blocks_live(), before);
}

TEST_F(BootMemory, PoolFailsOnceTheBudgetIsSpentUntilSwitchedOff) {
    void* p = nullptr;
    sim::fail_pool_after(2);
    EXPECT_EQ(pool(8, &p), EFI_SUCCESS);
    EXPECT_EQ(pool(8, &p), EFI_SUCCESS);
    EXPECT_EQ(pool(8, &p), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(pool(8, &p), EFI_OUT_OF_RESOURCES);
    // Pages have their own budget.
    EFI_PHYSICAL_ADDRESS a = 0;
    EXPECT_EQ(pages(1, &a), EFI_SUCCESS);
    sim::fail_pool_after(-1);
    EXPECT_EQ(pool(8, &p), EFI_SUCCESS);
    sim::fail_pool_after(0);
    EXPECT_EQ(pool(8, &p), EFI_OUT_OF_RESOURCES);
    sim::reset();
    EXPECT_EQ(sim::system_table()->BootServices->AllocatePool(EfiLoaderData, 8, &p), EFI_SUCCESS);
}

TEST_F(BootMemory, FirmwareBuffersCountAgainstThePoolBudget) {
    sim::fail_pool_after(0);
    UINTN n = 0;
    EFI_HANDLE* buffer = nullptr;
    EXPECT_EQ(bs->LocateHandleBuffer(AllHandles, nullptr, nullptr, &n, &buffer),
              EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(buffer, nullptr);
}

TEST_F(BootMemory, PagesArePageAlignedAndFreedOnlyWhole) {
    EFI_PHYSICAL_ADDRESS a = 0, b = 0;
    ASSERT_EQ(pages(256, &a), EFI_SUCCESS);
    ASSERT_EQ(pages(1, &b), EFI_SUCCESS);
    EXPECT_EQ(a % 4096, 0u);
    EXPECT_EQ(b % 4096, 0u);
    std::memset(reinterpret_cast<void*>(a), 0, 256 * 4096);
    EXPECT_EQ(sim::pages_live(), 257u);
    EXPECT_EQ(bs->FreePages(a, 255), EFI_INVALID_PARAMETER);
    EXPECT_EQ(bs->FreePages(a + 4096, 255), EFI_NOT_FOUND);
    EXPECT_EQ(bs->FreePages(a, 256), EFI_SUCCESS);
    EXPECT_EQ(bs->FreePages(a, 256), EFI_NOT_FOUND);
    EXPECT_EQ(sim::pages_live(), 1u);
    EXPECT_EQ(bs->AllocatePages(AllocateAddress, EfiLoaderData, 1, &a), EFI_NOT_FOUND);
    EXPECT_EQ(pages(0, &a), EFI_INVALID_PARAMETER);
}

TEST_F(BootMemory, PageFailuresFollowTheirBudget) {
    EFI_PHYSICAL_ADDRESS a = 0;
    sim::fail_pages_after(1);
    EXPECT_EQ(pages(1, &a), EFI_SUCCESS);
    EXPECT_EQ(pages(1, &a), EFI_OUT_OF_RESOURCES);
    void* p = nullptr;
    EXPECT_EQ(pool(8, &p), EFI_SUCCESS);
    sim::fail_pages_after(-1);
    EXPECT_EQ(pages(1, &a), EFI_SUCCESS);
}

TEST_F(BootMemory, RequestsBeyondTheMemoryLimitAreRefused) {
    sim::set_memory_limit(1 << 20);
    void* p = nullptr;
    EXPECT_EQ(pool((1 << 20) + 1, &p), EFI_OUT_OF_RESOURCES);
    ASSERT_EQ(pool(1 << 19, &p), EFI_SUCCESS);
    EFI_PHYSICAL_ADDRESS a = 0;
    EXPECT_EQ(pages(129, &a), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(pages(128, &a), EFI_SUCCESS);
    EXPECT_EQ(pool(1, &p), EFI_OUT_OF_RESOURCES);
    // A page count whose byte size overflows is refused, not wrapped.
    EXPECT_EQ(pages(UINTN(1) << 53, &a), EFI_OUT_OF_RESOURCES);
}

TEST_F(BootMemory, ResetReleasesEverything) {
    void* p = nullptr;
    EFI_PHYSICAL_ADDRESS a = 0;
    ASSERT_EQ(pool(64, &p), EFI_SUCCESS);
    ASSERT_EQ(pages(4, &a), EFI_SUCCESS);
    sim::reset();
    EXPECT_EQ(sim::pool_blocks_live(), 0u);
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST(BootMemoryDeathTest, WritingPastAPoolBlockIsCaughtWhenItIsFreed) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::reset();
            EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
            void* p = nullptr;
            bs->AllocatePool(EfiLoaderData, 10, &p);
            static_cast<char*>(p)[10] = 0;
            bs->FreePool(p);
        },
        "overrun");
}

} // namespace

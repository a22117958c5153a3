// Pool and page services over host memory. Every block is tracked so that a
// test can see leaks and so that freeing something the firmware never handed
// out is refused, as firmware refuses it. New memory is filled with a
// pattern rather than zeros: firmware does not clear it either.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "sim/firmware.h"
#include "sim/internal.h"

namespace sim {
namespace {

constexpr uint64_t kPageSize = 4096;
constexpr size_t kPoolAlign = 16;
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kFreshFill = 0xAF;
constexpr uint8_t kGuardFill = 0xFD;

struct PoolBlock {
    size_t size;
};

struct PageBlock {
    uint64_t pages;
};

struct MemoryState {
    std::map<void*, PoolBlock> pool;
    std::map<uint64_t, PageBlock> pages;
    long pool_budget = -1; // successes left before failing; -1: no failures
    long pages_budget = -1;
    uint64_t limit = uint64_t(1) << 30;
    uint64_t in_use = 0;
    size_t pages_in_use = 0;
};

MemoryState g_mem;

uint64_t room() {
    return g_mem.limit > g_mem.in_use ? g_mem.limit - g_mem.in_use : 0;
}

// Consumes one success from a failure budget; false when this call fails.
bool take_budget(long& budget) {
    if (budget < 0) return true;
    if (budget == 0) return false;
    budget--;
    return true;
}

bool valid_memory_type(EFI_MEMORY_TYPE type) {
    uint32_t t = uint32_t(type);
    return t < EfiMaxMemoryType || t >= 0x70000000u;
}

// A write past the end of a pool block corrupts memory on real firmware;
// here it is caught when the block is freed.
void check_guard(void* p, size_t size) {
    const uint8_t* guard = static_cast<uint8_t*>(p) + size;
    for (size_t i = 0; i < kGuardBytes; i++) {
        if (guard[i] != kGuardFill) {
            std::fprintf(stderr, "sim: pool block %p of %zu bytes was overrun\n", p, size);
            std::abort();
        }
    }
}

EFI_STATUS EFIAPI allocate_pool(EFI_MEMORY_TYPE type, UINTN size, VOID** buffer) {
    if (!buffer || !valid_memory_type(type)) return EFI_INVALID_PARAMETER;
    return detail::pool_allocate(size, buffer);
}

EFI_STATUS EFIAPI free_pool(VOID* buffer) {
    auto it = g_mem.pool.find(buffer);
    if (it == g_mem.pool.end()) return EFI_INVALID_PARAMETER;
    check_guard(buffer, it->second.size);
    g_mem.in_use -= it->second.size;
    std::free(buffer);
    g_mem.pool.erase(it);
    return EFI_SUCCESS;
}

EFI_STATUS EFIAPI allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory_type, UINTN pages,
                                 EFI_PHYSICAL_ADDRESS* memory) {
    if (!memory || !valid_memory_type(memory_type) || pages == 0) return EFI_INVALID_PARAMETER;
    if (type != AllocateAnyPages && type != AllocateMaxAddress) {
        // Host memory cannot be placed at a chosen address.
        return type == AllocateAddress ? EFI_NOT_FOUND : EFI_INVALID_PARAMETER;
    }
    if (pages > room() / kPageSize) return EFI_OUT_OF_RESOURCES;
    if (!take_budget(g_mem.pages_budget)) return EFI_OUT_OF_RESOURCES;
    uint64_t bytes = pages * kPageSize;
    void* p = std::aligned_alloc(kPageSize, bytes);
    if (!p) return EFI_OUT_OF_RESOURCES;
    uint64_t address = reinterpret_cast<uintptr_t>(p);
    if (type == AllocateMaxAddress && address + bytes - 1 > *memory) {
        std::free(p);
        return EFI_NOT_FOUND;
    }
    std::memset(p, kFreshFill, bytes);
    g_mem.pages[address] = PageBlock{pages};
    g_mem.in_use += bytes;
    g_mem.pages_in_use += pages;
    *memory = address;
    return EFI_SUCCESS;
}

// Only whole allocations are given back: a partial or mismatched free is
// almost always a bug in the caller.
EFI_STATUS EFIAPI free_pages(EFI_PHYSICAL_ADDRESS memory, UINTN pages) {
    auto it = g_mem.pages.find(memory);
    if (it == g_mem.pages.end()) return EFI_NOT_FOUND;
    if (it->second.pages != pages) return EFI_INVALID_PARAMETER;
    std::free(reinterpret_cast<void*>(uintptr_t(memory)));
    g_mem.in_use -= pages * kPageSize;
    g_mem.pages_in_use -= pages;
    g_mem.pages.erase(it);
    return EFI_SUCCESS;
}

} // namespace

namespace detail {

EFI_STATUS pool_allocate(size_t size, void** out) {
    if (size > room()) return EFI_OUT_OF_RESOURCES;
    if (!take_budget(g_mem.pool_budget)) return EFI_OUT_OF_RESOURCES;
    size_t total = (size + kGuardBytes + kPoolAlign - 1) / kPoolAlign * kPoolAlign;
    void* p = std::aligned_alloc(kPoolAlign, total);
    if (!p) return EFI_OUT_OF_RESOURCES;
    std::memset(p, kFreshFill, size);
    std::memset(static_cast<uint8_t*>(p) + size, kGuardFill, kGuardBytes);
    g_mem.pool[p] = PoolBlock{size};
    g_mem.in_use += size;
    *out = p;
    return EFI_SUCCESS;
}

bool memory_held(const void* p, size_t n) {
    uintptr_t at = reinterpret_cast<uintptr_t>(p);
    auto page = g_mem.pages.upper_bound(at);
    if (page != g_mem.pages.begin()) {
        --page;
        uint64_t end = page->first + page->second.pages * kPageSize;
        if (at >= page->first && at <= end && n <= end - at) return true;
    }
    auto pool = g_mem.pool.upper_bound(const_cast<void*>(p));
    if (pool != g_mem.pool.begin()) {
        --pool;
        uintptr_t start = reinterpret_cast<uintptr_t>(pool->first);
        uintptr_t end = start + pool->second.size;
        if (at >= start && at <= end && n <= end - at) return true;
    }
    return false;
}

void memory_reset(EFI_BOOT_SERVICES& bs) {
    for (auto& [p, block] : g_mem.pool)
        std::free(p);
    for (auto& [address, block] : g_mem.pages)
        std::free(reinterpret_cast<void*>(uintptr_t(address)));
    g_mem = MemoryState{};
    bs.AllocatePool = allocate_pool;
    bs.FreePool = free_pool;
    bs.AllocatePages = allocate_pages;
    bs.FreePages = free_pages;
}

} // namespace detail

void fail_pool_after(long after) {
    g_mem.pool_budget = after < 0 ? -1 : after;
}
void fail_pages_after(long after) {
    g_mem.pages_budget = after < 0 ? -1 : after;
}
void set_memory_limit(uint64_t bytes) {
    g_mem.limit = bytes;
}
uint64_t memory_in_use() {
    return g_mem.in_use;
}
size_t pool_blocks_live() {
    return g_mem.pool.size();
}
size_t pages_live() {
    return g_mem.pages_in_use;
}

} // namespace sim

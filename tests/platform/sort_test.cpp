#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/sort.h"
#include "sim/firmware.h"

namespace {

int by_int(const void* a, const void* b) {
    int x = *static_cast<const int*>(a);
    int y = *static_cast<const int*>(b);
    return (x > y) - (x < y);
}

struct Tagged {
    int key;
    char tag;
};

int by_key(const void* a, const void* b) {
    return by_int(&static_cast<const Tagged*>(a)->key, &static_cast<const Tagged*>(b)->key);
}

int never_greater(const void*, const void*) {
    return 0;
}

struct Wide {
    int key;
    unsigned char fill[300];
};

int by_wide_key(const void* a, const void* b) {
    return by_int(&static_cast<const Wide*>(a)->key, &static_cast<const Wide*>(b)->key);
}

std::string tags(const std::vector<Tagged>& v) {
    std::string s;
    for (const auto& t : v)
        s += t.tag;
    return s;
}

TEST(Sort, OrdersIntegers) {
    std::vector<int> v = {3, 1, 2};
    kv::sort(v.data(), v.size(), sizeof(int), by_int);
    EXPECT_EQ(v, (std::vector<int>{1, 2, 3}));

    std::mt19937 rng(7);
    for (size_t n : {0u, 1u, 2u, 5u, 64u, 1000u}) {
        std::vector<int> r(n);
        for (auto& x : r)
            x = static_cast<int>(rng() % 50) - 25;
        std::vector<int> expected = r;
        std::sort(expected.begin(), expected.end());
        kv::sort(r.data(), r.size(), sizeof(int), by_int);
        EXPECT_EQ(r, expected) << n;
    }
}

TEST(Sort, EqualElementsMoveAsTheGapSequenceDictates) {
    std::vector<Tagged> v = {{1, 'a'}, {1, 'b'}, {0, 'c'}, {1, 'd'}};
    kv::sort(v.data(), v.size(), sizeof(Tagged), never_greater);
    EXPECT_EQ(tags(v), "abcd");
    // The gap-2 pass carries a over b: the result is not the stable "cabd".
    kv::sort(v.data(), v.size(), sizeof(Tagged), by_key);
    EXPECT_EQ(tags(v), "cbad");
}

TEST(Sort, LargeElementsUseAHeapTemporary) {
    sim::reset();
    std::vector<Wide> v(5);
    const int keys[] = {4, 0, 3, 1, 2};
    for (size_t i = 0; i < v.size(); i++) {
        v[i].key = keys[i];
        std::memset(v[i].fill, keys[i], sizeof v[i].fill);
    }
    size_t live = sim::pool_blocks_live();
    kv::sort(v.data(), v.size(), sizeof(Wide), by_wide_key);
    EXPECT_EQ(sim::pool_blocks_live(), live);
    for (size_t i = 0; i < v.size(); i++) {
        EXPECT_EQ(v[i].key, static_cast<int>(i));
        EXPECT_EQ(v[i].fill[299], i);
    }

    for (size_t i = 0; i < v.size(); i++)
        v[i].key = keys[i];
    sim::fail_pool_after(0);
    kv::sort(v.data(), v.size(), sizeof(Wide), by_wide_key);
    for (size_t i = 0; i < v.size(); i++)
        EXPECT_EQ(v[i].key, keys[i]);
}

} // namespace

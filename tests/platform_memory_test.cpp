// Movable memory blocks: zero-fill, lock counting, sizes, the failure hook
// and the count of blocks in use.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"

namespace {

TEST(PlatMem, ZeroInitBlockIsZeroAndKeepsItsSize) {
    const size_t before = plat_mem_blocks_in_use();
    PlatMem h = plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, 1000);
    ASSERT_NE(h, nullptr);
    EXPECT_GE(plat_mem_size(h), 1000u);
    EXPECT_EQ(plat_mem_blocks_in_use(), before + 1);
    const uint8_t* p = static_cast<const uint8_t*>(plat_mem_lock(h));
    ASSERT_NE(p, nullptr);
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0) << i;
    plat_mem_unlock(h);
    EXPECT_EQ(plat_mem_free(h), nullptr);
    EXPECT_EQ(plat_mem_blocks_in_use(), before);
}

TEST(PlatMem, LocksNestAndKeepTheAddress) {
    PlatMem h = plat_mem_alloc(PLAT_MEM_MOVEABLE, 16);
    ASSERT_NE(h, nullptr);
    void* a = plat_mem_lock(h);
    std::memset(a, 0x42, 16);
    void* b = plat_mem_lock(h);
    EXPECT_EQ(a, b);
    EXPECT_EQ(plat_mem_lock_count(h), 2u);
    EXPECT_TRUE(plat_mem_unlock(h));   // still locked once
    EXPECT_FALSE(plat_mem_unlock(h));  // now unlocked
    EXPECT_FALSE(plat_mem_unlock(h));  // unlocking an unlocked block changes nothing
    EXPECT_EQ(plat_mem_lock_count(h), 0u);
    EXPECT_EQ(static_cast<uint8_t*>(plat_mem_lock(h))[15], 0x42);
    plat_mem_unlock(h);
    plat_mem_free(h);
}

TEST(PlatMem, NullHandlesAreHarmless) {
    EXPECT_EQ(plat_mem_lock(nullptr), nullptr);
    EXPECT_FALSE(plat_mem_unlock(nullptr));
    EXPECT_EQ(plat_mem_free(nullptr), nullptr);
    EXPECT_EQ(plat_mem_size(nullptr), 0u);
    EXPECT_EQ(plat_mem_lock_count(nullptr), 0u);
}

TEST(PlatMem, EmptyBlockIsAHandleOfSizeZero) {
    PlatMem h = plat_mem_alloc(PLAT_MEM_MOVEABLE, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(plat_mem_size(h), 0u);
    plat_mem_free(h);
}

TEST(PlatMem, FailAfterFailsExactlyTheNthRequest) {
    const size_t before = plat_mem_blocks_in_use();
    plat_mem_fail_after(3);
    PlatMem a = plat_mem_alloc(PLAT_MEM_MOVEABLE, 8);
    PlatMem b = plat_mem_alloc(PLAT_MEM_MOVEABLE, 8);
    PlatMem c = plat_mem_alloc(PLAT_MEM_MOVEABLE, 8);
    PlatMem d = plat_mem_alloc(PLAT_MEM_MOVEABLE, 8);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr);  // the hook fires once
    EXPECT_EQ(plat_mem_blocks_in_use(), before + 3);
    plat_mem_free(a);
    plat_mem_free(b);
    plat_mem_free(d);
    EXPECT_EQ(plat_mem_blocks_in_use(), before);
}

TEST(PlatMem, AbsurdSizeFailsCleanly) {
    EXPECT_EQ(plat_mem_alloc(PLAT_MEM_MOVEABLE, SIZE_MAX), nullptr);
    EXPECT_EQ(plat_mem_alloc(PLAT_MEM_MOVEABLE | PLAT_MEM_ZEROINIT, SIZE_MAX - 8), nullptr);
}

// Discarding never touches a byte outside the range, for ranges that start
// and end inside pages, on whole pages, at the block's ends and past them,
// in small and large blocks. Where pages do go back (large blocks here),
// the whole pages inside read as zero afterwards.
TEST(PlatMem, DiscardKeepsEveryByteOutsideItsRange) {
    struct Range {
        size_t size, offset, length;
    } const cases[] = {
        {3000000, 100, 50000},    {3000000, 8192, 16384},   {3000000, 2999000, 5000},
        {3000000, 0, 3000000},    {3000000, 123457, 1},      {3000000, 4000000, 10},
        {5000, 100, 4000},
    };
    for (const Range& c : cases) {
        PlatMem h = plat_mem_alloc(PLAT_MEM_MOVEABLE, c.size);
        ASSERT_NE(h, nullptr);
        uint8_t* p = static_cast<uint8_t*>(plat_mem_lock(h));
        for (size_t i = 0; i < c.size; ++i) p[i] = uint8_t(i * 7 + 1);
        plat_mem_discard(h, c.offset, c.length);
        size_t zeroed = 0;
        for (size_t i = 0; i < c.size; ++i) {
            const bool inside = i >= c.offset && i - c.offset < c.length;
            if (!inside) {
                ASSERT_EQ(p[i], uint8_t(i * 7 + 1)) << c.size << " " << c.offset << " at " << i;
            } else if (p[i] == 0 && uint8_t(i * 7 + 1) != 0) {
                ++zeroed;
            }
        }
#ifndef _WIN32
        if (c.size >= 1000000 && c.length >= 16384 && c.offset < c.size) {
            EXPECT_GT(zeroed, 0u) << "no page went back for " << c.offset;
        }
#endif
        plat_mem_unlock(h);
        plat_mem_free(h);
    }
}

// Trimming a large block keeps every byte in use, for ends inside a page,
// on a page's end and at the block's ends, in blocks with and without huge
// pages; what lies past stays writable.
TEST(PlatBig, TrimKeepsTheBytesInUse) {
    struct Trim {
        size_t size, used;
    } const cases[] = {
        {5 << 20, 1}, {5 << 20, 4096}, {5 << 20, (2 << 20) + 1}, {5 << 20, (5 << 20) - 1},
        {5 << 20, 5 << 20}, {20000, 0}, {20000, 12345},
    };
    for (const Trim& c : cases) {
        uint8_t* p = static_cast<uint8_t*>(plat_big_alloc(c.size));
        ASSERT_NE(p, nullptr);
        for (size_t i = 0; i < c.size; ++i) p[i] = uint8_t(i * 7 + 1);
        plat_big_trim(p, c.size, c.used);
        for (size_t i = 0; i < c.used; ++i)
            ASSERT_EQ(p[i], uint8_t(i * 7 + 1)) << c.size << " " << c.used << " at " << i;
        std::memset(p + c.used, 0xA5, c.size - c.used);
        plat_big_free(p, c.size);
    }
}

// Blocks freed and taken again, smaller, larger and of the same size, with
// up to three held at once: every byte of each is its own until freed.
TEST(PlatBig, BlocksTakenAgainAreWholeAndApart) {
    const size_t sizes[] = {5 << 20, 5 << 20, 3 << 20, 9 << 20, 1, 20000, (2 << 20) + 3, 7 << 20};
    struct Held {
        uint8_t* p;
        size_t n;
        uint8_t mark;
    } held[3] = {};
    uint8_t mark = 0;
    for (int round = 0; round < 3; ++round) {
        for (size_t n : sizes) {
            Held& h = held[mark % 3];
            if (h.p) {
                for (size_t i = 0; i < h.n; i += 4093) ASSERT_EQ(h.p[i], h.mark) << h.n << " at " << i;
                ASSERT_EQ(h.p[h.n - 1], h.mark) << h.n;
                plat_big_free(h.p, h.n);
            }
            h = Held{static_cast<uint8_t*>(plat_big_alloc(n)), n, ++mark};
            ASSERT_NE(h.p, nullptr) << n;
            std::memset(h.p, h.mark, n);
        }
    }
    for (Held& h : held) plat_big_free(h.p, h.n);
}

}  // namespace

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

}  // namespace

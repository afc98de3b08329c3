// The process clipboard on its own: one opener at a time, data owned and
// replaced per format, named formats numbered stably.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

PlatMem block() { return plat_mem_alloc(PLAT_MEM_MOVEABLE, 8); }

TEST(PlatClipboard, OneOpenerAtATime) {
    plat_clip_reset();
    int owner = 0;
    EXPECT_FALSE(plat_clip_close());
    EXPECT_TRUE(plat_clip_open(&owner));
    EXPECT_FALSE(plat_clip_open(&owner));
    EXPECT_FALSE(plat_clip_open(nullptr));
    EXPECT_TRUE(plat_clip_close());
    EXPECT_TRUE(plat_clip_open(nullptr));
    EXPECT_TRUE(plat_clip_close());
}

TEST(PlatClipboard, DataBelongsToTheClipboard) {
    plat_clip_reset();
    const size_t blocks = plat_mem_blocks_in_use();
    PlatMem a = block(), b = block(), c = block();
    EXPECT_FALSE(plat_clip_set(PLAT_CF_DIB, a)) << "closed";
    EXPECT_FALSE(plat_clip_empty());
    ASSERT_TRUE(plat_clip_open(nullptr));
    EXPECT_FALSE(plat_clip_set(0, a));
    EXPECT_FALSE(plat_clip_set(PLAT_CF_DIB, nullptr));
    EXPECT_TRUE(plat_clip_set(PLAT_CF_DIB, a));
    EXPECT_TRUE(plat_clip_set(PLAT_CF_DIB, a)) << "the same block again";
    EXPECT_TRUE(plat_clip_set(PLAT_CF_DIB, b));  // frees a
    EXPECT_TRUE(plat_clip_set(0xC123, c));
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks + 2);
    EXPECT_EQ(plat_clip_get(PLAT_CF_DIB), b);
    EXPECT_EQ(plat_clip_get(0xC123), c);
    EXPECT_EQ(plat_clip_get(2), nullptr);
    ASSERT_TRUE(plat_clip_close());
    EXPECT_EQ(plat_clip_get(PLAT_CF_DIB), nullptr) << "closed";
    EXPECT_TRUE(plat_clip_available(0xC123));
    ASSERT_TRUE(plat_clip_open(nullptr));
    EXPECT_TRUE(plat_clip_empty());
    EXPECT_FALSE(plat_clip_available(PLAT_CF_DIB));
    EXPECT_EQ(plat_mem_blocks_in_use(), blocks);
    ASSERT_TRUE(plat_clip_close());
}

TEST(PlatClipboard, NamedFormatsAreStableAndCaseBlind) {
    const unsigned a = plat_clip_register("Kesti#1");
    const unsigned b = plat_clip_register("Kesti#2");
    EXPECT_GE(a, unsigned(PLAT_CF_FIRST_REGISTERED));
    EXPECT_LE(b, unsigned(PLAT_CF_LAST_REGISTERED));
    EXPECT_NE(a, b);
    EXPECT_EQ(plat_clip_register("kESTI#1"), a);
    EXPECT_EQ(plat_clip_register("Kesti#2"), b);
    EXPECT_EQ(plat_clip_register(""), 0u);
    EXPECT_EQ(plat_clip_register(nullptr), 0u);
    EXPECT_EQ(plat_clip_register(std::string(256, 'x').c_str()), 0u);
    EXPECT_NE(plat_clip_register(std::string(255, 'x').c_str()), 0u);
}

}  // namespace

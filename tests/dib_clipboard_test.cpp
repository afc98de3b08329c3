// Bitmaps through the clipboard: the standard format and private named
// formats side by side, resolution units both ways, what a taken block must
// be, and that no failure leaks a block or leaves the clipboard open.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "dib/dib.h"
#include "support/bmp_writer.h"
#include "support/dib_pixels.h"

namespace {

class Clipboard : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clip_reset();
        blocks_ = plat_mem_blocks_in_use();
    }
    void TearDown() override {
        // Whatever happened, the clipboard must be closed again.
        EXPECT_TRUE(plat_clip_open(nullptr));
        plat_clip_reset();
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks_);
    }
    size_t blocks_ = 0;
};

DibHandle make(int bits, int32_t x_res, int32_t y_res, uint8_t fill) {
    DibHandle h = nullptr;
    EXPECT_EQ(dib_create(3, 2, bits, x_res, y_res, nullptr, &h), DIB_OK);
    uint8_t* p = dib_lock_bits(h, nullptr);
    p[0] = fill;
    p[1] = static_cast<uint8_t>(fill + 1);
    dib_unlock(h);
    return h;
}

void* packed(int format, int dpi) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(format) << 16 | static_cast<uintptr_t>(dpi));
}

// The header stored on the clipboard under format.
DibInfoHeader held(unsigned format) {
    DibInfoHeader hdr{};
    EXPECT_TRUE(plat_clip_open(nullptr));
    PlatMem data = plat_clip_get(format);
    EXPECT_NE(data, nullptr);
    if (data) {
        std::memcpy(&hdr, plat_mem_lock(data), sizeof hdr);
        plat_mem_unlock(data);
    }
    EXPECT_TRUE(plat_clip_close());
    return hdr;
}

// Puts raw bytes on the clipboard under format.
void put_raw(unsigned format, const std::vector<uint8_t>& bytes) {
    PlatMem m = plat_mem_alloc(PLAT_MEM_MOVEABLE, bytes.size());
    std::memcpy(plat_mem_lock(m), bytes.data(), bytes.size());
    plat_mem_unlock(m);
    ASSERT_TRUE(plat_clip_open(nullptr));
    ASSERT_TRUE(plat_clip_set(format, m));
    ASSERT_TRUE(plat_clip_close());
}

TEST_F(Clipboard, StandardFormatRoundTripConvertsDotsPerInchBothWays) {
    DibHandle h = make(8, 300, 150, 7);
    ASSERT_EQ(dib_command(DIB_OP_TO_CLIPBOARD, h, packed(0, 1)), DIB_OK);
    EXPECT_EQ(header_of(h).x_ppm, 300) << "the handle is untouched";
    const DibInfoHeader on_clip = held(PLAT_CF_DIB);
    EXPECT_EQ(on_clip.x_ppm, 11811);
    EXPECT_EQ(on_clip.y_ppm, 5906);

    const struct {
        int dpi;
        int32_t x;
        int32_t y;
    } takes[] = {{1, 300, 150}, {0, 11811, 5906}};
    for (const auto& t : takes) {
        DibHandle got = nullptr;
        ASSERT_EQ(dib_command(DIB_OP_FROM_CLIPBOARD, &got, packed(0, t.dpi)), DIB_OK);
        EXPECT_EQ(header_of(got).x_ppm, t.x);
        EXPECT_EQ(header_of(got).y_ppm, t.y);
        EXPECT_EQ(dib_pixel_at(got, 0, 1), 7u);
        EXPECT_EQ(dib_pixel_at(got, 1, 1), 8u);
        plat_mem_free(got);
    }
    plat_mem_free(h);
}

TEST_F(Clipboard, PrivateFormatsSitBesideTheStandardOne) {
    DibHandle a = make(24, 3780, 3780, 1), b = make(4, 3780, 3780, 0x23);
    ASSERT_EQ(dib_to_clipboard(a, 0, 0), DIB_OK);
    ASSERT_EQ(dib_command(DIB_OP_TO_CLIPBOARD, a, packed(3, 0)), DIB_OK);
    ASSERT_EQ(dib_command(DIB_OP_TO_CLIPBOARD, b, packed(3, 0)), DIB_OK);  // replaces a's copy
    const unsigned id = plat_clip_register("Kesti#3");
    EXPECT_GE(id, unsigned(PLAT_CF_FIRST_REGISTERED));
    EXPECT_TRUE(plat_clip_available(id));
    EXPECT_TRUE(plat_clip_available(PLAT_CF_DIB));
    EXPECT_EQ(held(id).bit_count, 4);

    DibHandle got = nullptr;
    ASSERT_EQ(dib_from_clipboard(&got, 3, 0), DIB_OK);
    EXPECT_EQ(header_of(got).bit_count, 4);
    EXPECT_EQ(dib_pixel_at(got, 1, 1), 3u);
    plat_mem_free(got);
    ASSERT_EQ(dib_from_clipboard(&got, 0, 0), DIB_OK);
    EXPECT_EQ(header_of(got).bit_count, 24);
    plat_mem_free(got);

    // An empty private format answers 1; the standard one replaces all.
    got = a;
    EXPECT_EQ(dib_from_clipboard(&got, 4, 0), DIB_CLIP_NO_PRIVATE_DATA);
    EXPECT_EQ(got, nullptr);
    ASSERT_EQ(dib_to_clipboard(a, 0, 0), DIB_OK);
    EXPECT_FALSE(plat_clip_available(id));
    plat_mem_free(a);
    plat_mem_free(b);
}

TEST_F(Clipboard, TakingNeedsTheStandardFormatEvenForPrivateOnes) {
    DibHandle b = make(8, 0, 0, 1);
    ASSERT_EQ(dib_to_clipboard(b, 5, 0), DIB_OK);
    DibHandle got = b;
    EXPECT_EQ(dib_from_clipboard(&got, 5, 0), DIB_ERR_CLIP_NO_DIB);
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(dib_from_clipboard(&got, 0, 0), DIB_ERR_CLIP_NO_DIB);
    plat_mem_free(b);
}

TEST_F(Clipboard, FailuresFreeTheCopyAndCloseTheClipboard) {
    DibHandle h = make(8, 0, 0, 1);
    const struct {
        unsigned fail;
        int format;
        int status;
    } puts[] = {
        {PLAT_CLIP_FAIL_OPEN, 0, DIB_ERR_CLIP_OPEN},
        {PLAT_CLIP_FAIL_SET, 0, DIB_ERR_CLIP_SET},
        {PLAT_CLIP_FAIL_SET, 2, DIB_ERR_CLIP_SET},
        {PLAT_CLIP_FAIL_REGISTER, 2, DIB_ERR_CLIP_SET},
    };
    for (const auto& p : puts) {
        plat_clip_fail(p.fail);
        EXPECT_EQ(dib_to_clipboard(h, p.format, 0), p.status) << p.fail;
        plat_clip_fail(0);
        EXPECT_EQ(plat_mem_blocks_in_use(), blocks_ + 1) << p.fail;
        EXPECT_TRUE(plat_clip_open(nullptr));
        EXPECT_TRUE(plat_clip_close());
    }
    // A failed close after a good set: the data stays on the clipboard.
    plat_clip_fail(PLAT_CLIP_FAIL_CLOSE);
    EXPECT_EQ(dib_to_clipboard(h, 0, 0), DIB_ERR_CLIP_CLOSE);
    plat_clip_fail(0);
    EXPECT_TRUE(plat_clip_available(PLAT_CF_DIB));
    ASSERT_TRUE(plat_clip_close());

    DibHandle got = h;
    plat_clip_fail(PLAT_CLIP_FAIL_CLOSE);
    EXPECT_EQ(dib_from_clipboard(&got, 0, 0), DIB_ERR_CLIP_CLOSE);
    plat_clip_fail(0);
    EXPECT_EQ(got, nullptr);
    ASSERT_TRUE(plat_clip_close());
    plat_clip_fail(PLAT_CLIP_FAIL_REGISTER);
    EXPECT_EQ(dib_from_clipboard(&got, 9, 0), DIB_ERR_CLIP_NO_DATA);
    plat_clip_fail(0);

    // Held open by someone else.
    ASSERT_TRUE(plat_clip_open(&got));
    EXPECT_EQ(dib_to_clipboard(h, 0, 0), DIB_ERR_CLIP_OPEN);
    EXPECT_EQ(dib_from_clipboard(&got, 0, 0), DIB_ERR_CLIP_OPEN);
    ASSERT_TRUE(plat_clip_close());
    EXPECT_EQ(dib_to_clipboard(nullptr, 0, 0), DIB_ERR_NO_BITMAP);
    plat_mem_free(h);
}

TEST_F(Clipboard, TakenBlocksMustBeWholeUncompressedBitmaps) {
    const std::vector<uint8_t> file = bmp_encode(bmp_pattern(5, 3, 8, false, 6));
    const std::vector<uint8_t> dib(file.begin() + 14, file.end());
    auto with = [&](size_t offset, uint32_t value) {
        std::vector<uint8_t> d = dib;
        std::memcpy(&d[offset], &value, 4);
        return d;
    };
    const struct {
        std::vector<uint8_t> bytes;
        int status;
    } cases[] = {
        {dib, DIB_OK},
        {with(14, 2), DIB_ERR_BIT_COUNT},          // 2 bits per pixel
        {with(14, 16 | 3u << 16), DIB_ERR_UNSUPPORTED},  // 16 bits, bit fields
        {std::vector<uint8_t>(dib.begin(), dib.end() - 4), DIB_ERR_NO_BITMAP},
        {std::vector<uint8_t>(dib.begin(), dib.begin() + 20), DIB_ERR_NO_BITMAP},
        {with(0, 12), DIB_ERR_NO_BITMAP},          // core header
    };
    for (const auto& c : cases) {
        put_raw(PLAT_CF_DIB, c.bytes);
        DibHandle got = nullptr;
        EXPECT_EQ(dib_from_clipboard(&got, 0, 0), c.status);
        EXPECT_EQ(got == nullptr, c.status != DIB_OK);
        plat_mem_free(got);
    }

    // A 108-byte header comes back as a 40-byte one with the same picture.
    std::vector<uint8_t> v4 = with(0, 108);
    v4.insert(v4.begin() + 40, 68, 0);
    put_raw(PLAT_CF_DIB, v4);
    DibHandle got = nullptr, ref = dib_from_file_bytes(file);
    ASSERT_EQ(dib_from_clipboard(&got, 0, 0), DIB_OK);
    EXPECT_EQ(header_of(got).size, 40u);
    Raster a, b;
    ASSERT_TRUE(dib_read_rgb(got, &a));
    ASSERT_TRUE(dib_read_rgb(ref, &b));
    EXPECT_EQ(a.rgb, b.rgb);
    plat_mem_free(ref);
    plat_mem_free(got);
}

}  // namespace

// MD5 against the RFC 1321 test suite (whole and fed in pieces), and the
// Flate adapter: empty input, capacity too small, round trip through zlib's
// own inflater.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <zlib.h>

#include <string>
#include <vector>

#include "codec/codec.h"
#include "pdf/security/security.h"
#include "support/tools.h"

namespace {

std::string md5_hex(const std::string& input, size_t piece) {
    Md5Context ctx;
    md5_init(&ctx);
    for (size_t at = 0; at < input.size(); at += piece)
        md5_update(&ctx, input.data() + at, std::min(piece, input.size() - at));
    uint8_t digest[16];
    md5_final(&ctx, digest);
    return hex_text(digest, sizeof digest);
}

TEST(Md5, Rfc1321Suite) {
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    // Pieces of 1, 3, 63 and 64 bytes cross every block boundary case.
    for (const auto& [input, expected] : suite)
        for (size_t piece : {size_t(1), size_t(3), size_t(63), size_t(64), size_t(1000)})
            EXPECT_EQ(md5_hex(input, piece), expected) << '"' << input << "\" by " << piece;
}

TEST(Md5, PaddingBoundaries) {
    // Lengths around 56 and 64 bytes take the one- or two-block padding path.
    const std::pair<size_t, std::string> known[] = {
        {55, "ef1772b6dff9a122358552954ad0df65"},
        {56, "3b0c8ac703f828b04c6c197006d17218"},
        {64, "014842d480b571495a4a0363793f7367"},
    };
    for (const auto& [n, expected] : known)
        EXPECT_EQ(md5_hex(std::string(n, 'a'), 7), expected) << n;
}

std::vector<uint8_t> inflate_all(const uint8_t* z, uint32_t n, size_t expected) {
    std::vector<uint8_t> out(expected + 1);
    uLongf length = out.size();
    EXPECT_EQ(uncompress(out.data(), &length, z, n), Z_OK);
    out.resize(length);
    return out;
}

TEST(Flate, EmptyInputIsAValidStream) {
    uint8_t dst[64];
    uint32_t size = sizeof dst;
    ASSERT_EQ(codec_flate(dst, &size, nullptr, 0), 0);
    EXPECT_GE(size, 8u);  // header, empty final block, Adler-32 of nothing
    EXPECT_EQ(dst[size - 1], 1);  // Adler-32 of empty input is 1
    EXPECT_TRUE(inflate_all(dst, size, 0).empty());
}

TEST(Flate, CapacityTooSmall) {
    const std::vector<uint8_t> src = noise_bytes(4096, 1);
    std::vector<uint8_t> dst(src.size() + 64);
    for (uint32_t capacity : {0u, 1u, 100u, uint32_t(src.size() / 2)}) {
        uint32_t size = capacity;
        EXPECT_EQ(codec_flate(dst.data(), &size, src.data(), uint32_t(src.size())),
                  Z_BUF_ERROR)
            << capacity;
    }
    uint32_t size = 0;
    EXPECT_EQ(codec_flate(nullptr, &size, src.data(), 10), Z_BUF_ERROR);
}

TEST(Flate, RoundTrip) {
    std::vector<uint8_t> one_colour(300000, 0xFF);
    std::vector<uint8_t> mixed(70000);
    for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = uint8_t((i % 251) ^ (i >> 9));
    for (const std::vector<uint8_t>* src : {&one_colour, &mixed}) {
        std::vector<uint8_t> dst(src->size() + 1024);
        uint32_t size = uint32_t(dst.size());
        ASSERT_EQ(codec_flate(dst.data(), &size, src->data(),
                                    uint32_t(src->size())),
                  0);
        EXPECT_EQ(inflate_all(dst.data(), size, src->size()), *src);
        if (src == &one_colour) {
            EXPECT_LT(size, src->size() / 100);
        }
    }
}

// The stream stays within 2 % of zlib's at its default level (or a few
// bytes, for streams of a few hundred), decodes to the source exactly,
// fits exactly the room it reports and no less.
TEST(Flate, WithinTwoPercentOfZlibAndExactRoom) {
    std::vector<uint8_t> rows(3 * 1000 * 120);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = uint8_t(((i % 3000) / 37) * 11 + ((i / 3000) % 7 == 0 ? 200 : 0));
    const std::vector<uint8_t> sources[] = {std::vector<uint8_t>(), noise_bytes(100000, 7),
                                            std::vector<uint8_t>(250000, 0x42), rows};
    for (const std::vector<uint8_t>& src : sources) {
        std::vector<uint8_t> zlib_out(compressBound(uLong(src.size())));
        uLongf zlib_size = uLongf(zlib_out.size());
        ASSERT_EQ(compress2(zlib_out.data(), &zlib_size, src.data(), uLong(src.size()), 6), Z_OK);
        std::vector<uint8_t> got(codec_flate_bound(src.size()));
        uint32_t size = uint32_t(got.size());
        ASSERT_EQ(codec_flate(got.data(), &size, src.data(), uint32_t(src.size())), CODEC_OK);
        EXPECT_LE(double(size), std::max(1.02 * double(zlib_size), double(zlib_size) + 64))
            << src.size() << " bytes";
        EXPECT_EQ(inflate_all(got.data(), size, src.size()), src) << src.size() << " bytes";
        const uint32_t exact = size;
        EXPECT_EQ(codec_flate(got.data(), &size, src.data(), uint32_t(src.size())), CODEC_OK);
        EXPECT_EQ(size, exact);
        size = exact - 1;
        EXPECT_EQ(codec_flate(got.data(), &size, src.data(), uint32_t(src.size())), CODEC_FLATE_FULL)
            << src.size() << " bytes";
    }
}

// Two parts coded apart and joined are one zlib stream of the whole
// source, whatever bits the first part's last byte leaves unused (the
// sources vary it), within 2 % of one stream's size (or a kilobyte: the
// second part starts without the first's window); a join without room is
// refused, and so is a first part not coded to be followed.
TEST(Flate, PartsJoinIntoOneStream) {
    std::vector<uint8_t> rows(3 * 1000 * 700);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = uint8_t(((i % 3000) / 37) * 11 + ((i / 3000) % 7 == 0 ? 200 : 0));
    std::vector<std::vector<uint8_t>> sources = {rows, noise_bytes(300000, 5),
                                                 std::vector<uint8_t>(100001, 0x42)};
    for (uint8_t k = 1; k < 9; ++k) {
        std::vector<uint8_t> text(20000 + k * 777);
        for (size_t i = 0; i < text.size(); ++i) text[i] = uint8_t("tarvo pages "[(i * k) % 12]);
        sources.push_back(text);
    }
    for (const std::vector<uint8_t>& src : sources) {
        const size_t half = src.size() / 2;
        std::vector<uint8_t> dst(codec_flate_bound(src.size()) + 32);
        std::vector<uint8_t> second_out(codec_deflate_part_bound(src.size() - half) + 4);
        CodecDeflatePart first{src.data(), half, dst.data() + 2, dst.size() - 16, true, 0, 0, -1};
        CodecDeflatePart second{src.data() + half, src.size() - half, second_out.data(),
                                second_out.size(), false, 0, 0, -1};
        ASSERT_TRUE(codec_deflate_part(&first));
        ASSERT_TRUE(codec_deflate_part(&second));
        uint32_t size = uint32_t(dst.size());
        ASSERT_EQ(codec_flate_join(dst.data(), &size, &first, &second), CODEC_OK) << src.size();
        std::vector<uint8_t> joined(dst.begin(), dst.begin() + size);
        joined.insert(joined.end(), second_out.begin(), second_out.begin() + second.length + 4);
        EXPECT_EQ(inflate_all(joined.data(), joined.size(), src.size()), src) << src.size() << " bytes";
        std::vector<uint8_t> one(codec_flate_bound(src.size()));
        uint32_t one_size = uint32_t(one.size());
        ASSERT_EQ(codec_flate(one.data(), &one_size, src.data(), uint32_t(src.size())), CODEC_OK);
        EXPECT_LE(double(joined.size()), std::max(1.02 * one_size, one_size + 1024.0)) << src.size();
        // The whole stream must fit the capacity, and the Adler-32 the second's room.
        uint32_t small = uint32_t(joined.size() - 1);
        EXPECT_EQ(codec_flate_join(dst.data(), &small, &first, &second), CODEC_FLATE_FULL);
        second.room = second.length + 3;
        small = uint32_t(dst.size());
        EXPECT_EQ(codec_flate_join(dst.data(), &small, &first, &second), CODEC_FLATE_FULL);
        first.more_follows = false;
        EXPECT_EQ(codec_flate_join(dst.data(), &small, &first, &second), CODEC_FLATE_BAD_ARGUMENT);
    }
}

}  // namespace

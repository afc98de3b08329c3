// Compresses the input with the Flate adapter, inflates it with zlib's own
// uncompress and requires the original bytes back. The last input byte also
// picks a capacity, so the too-small path is exercised as well, and whether
// the input is also coded in two parts joined into one stream (split where
// the first byte says), which must inflate to the input too.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    uint32_t length = uint32_t(size);
    uint32_t bound = uint32_t(compressBound(length));
    uint32_t capacity = bound;
    if (size > 0 && (data[size - 1] & 1)) capacity = uint32_t(uint64_t(bound) * data[size - 1] / 512);
    std::vector<uint8_t> packed(bound + 1);
    uint32_t packed_size = capacity;
    int status = codec_flate(packed.data(), &packed_size, data, length);
    if (status != Z_OK) {
        // Only a capacity below the bound may fail, and only for lack of room.
        if (capacity >= bound || status != Z_BUF_ERROR) std::abort();
        return 0;
    }
    if (packed_size > capacity) std::abort();
    std::vector<uint8_t> plain(size + 1);
    uLongf plain_size = plain.size();
    if (uncompress(plain.data(), &plain_size, packed.data(), packed_size) != Z_OK) std::abort();
    if (plain_size != size || (size && std::memcmp(plain.data(), data, size) != 0)) std::abort();
    if (size < 2 || (data[size - 1] & 6) != 6) return 0;

    const size_t split = size * data[0] / 256;
    std::vector<uint8_t> joined(codec_flate_bound(size) + 32);
    std::vector<uint8_t> second_out(codec_deflate_part_bound(size - split) + 4);
    CodecDeflatePart first{data, split, joined.data() + 2, joined.size() - 16, true, 0, 0, -1};
    CodecDeflatePart second{data + split, size - split, second_out.data(), second_out.size(), false,
                            0, 0, -1};
    if (!codec_deflate_part(&first) || !codec_deflate_part(&second)) std::abort();
    uint32_t joined_size = uint32_t(joined.size());
    if (codec_flate_join(joined.data(), &joined_size, &first, &second) != CODEC_OK) std::abort();
    joined.resize(joined_size);
    joined.insert(joined.end(), second_out.begin(), second_out.begin() + second.length + 4);
    plain_size = plain.size();
    if (uncompress(plain.data(), &plain_size, joined.data(), joined.size()) != Z_OK) std::abort();
    if (plain_size != size || std::memcmp(plain.data(), data, size) != 0) std::abort();
    return 0;
}

// Compresses the input with the Flate adapter, inflates it with zlib's own
// uncompress and requires the original bytes back. The last input byte also
// picks a capacity, so the too-small path is exercised as well.
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
    return 0;
}

// PDF/A-1b objects: the XMP metadata stream, the embedded ICC profile and the
// output intent that names it.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"
#include "platform/platform.h"

namespace {

// ICC header: declared size at 0, colour space at 16, signature at 36.
enum { ICC_HEADER_SIZE = 128 };

uint32_t read_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Reads the whole profile into a pdfw_alloc block and checks its header: a
// complete profile (not shorter than it declares) in the RGB colour space.
bool icc_read(PdfDocument* doc, uint8_t** bytes, uint32_t* length) {
    if (!doc->icc_path || doc->icc_path[0] == L'\0') return pdfw_fail(doc, PDFW_ERR_ICC_PATH);
    errno = 0;
    FILE* f = plat_wfopen(doc->icc_path, "rb");
    if (!f) return pdfw_fail_errno(doc, PDFW_ERR_ICC_OPEN, errno);

    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    // The header is checked before the whole file is taken into memory, so
    // that neither a directory nor a large file of another kind is read.
    uint8_t header[ICC_HEADER_SIZE];
    errno = 0;
    bool ok = size >= ICC_HEADER_SIZE && size <= INT32_MAX && std::fseek(f, 0, SEEK_SET) == 0 &&
              std::fread(header, 1, sizeof header, f) == sizeof header &&
              read_be32(header) <= uint32_t(size) && std::memcmp(header + 36, "acsp", 4) == 0 &&
              std::memcmp(header + 16, "RGB ", 4) == 0 && std::fseek(f, 0, SEEK_SET) == 0;
    if (!ok) {
        // A folder opens on Linux and fails here with its reason; a file
        // that is too short or of another kind leaves errno at 0.
        const int error = errno;
        std::fclose(f);
        return pdfw_fail_errno(doc, PDFW_ERR_ICC_READ, error);
    }
    uint8_t* data = static_cast<uint8_t*>(pdfw_alloc(doc, size_t(size)));
    if (!data) {
        std::fclose(f);
        return false;
    }
    ok = std::fread(data, 1, size_t(size), f) == size_t(size);
    std::fclose(f);
    if (!ok) {
        pdfw_free(doc, data);
        return pdfw_fail(doc, PDFW_ERR_ICC_READ);
    }
    *bytes = data;
    *length = uint32_t(size);
    return true;
}

// The profile as a stream object, Flate-compressed when that fits in the
// size of the raw profile.
bool write_profile(PdfDocument* doc, PdfObjectId* id) {
    uint8_t* raw = nullptr;
    uint32_t length = 0;
    if (!icc_read(doc, &raw, &length)) return false;
    if (!pdfw_obj_new(doc, id, 0)) {
        pdfw_free(doc, raw);
        return false;
    }
    PdfStream s;
    pdfw_stream_begin(doc, &s, *id, PDFW_STREAM_FLATE, 0);
    pdfw_stream_entry(&s, "/N 3");
    pdfw_stream_entry(&s, "/Range [0 1 0 1 0 1]");
    pdfw_stream_adopt(&s, raw, length);
    return pdfw_stream_end(&s);
}

}  // namespace

bool pdfw_icc_check(PdfDocument* doc) {
    if (!doc) return false;
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (!icc_read(doc, &bytes, &length)) return false;
    pdfw_free(doc, bytes);
    return true;
}

bool pdfw_obj_metadata(PdfDocument* doc, PdfObjectId* id) {
    if (!doc) return false;
    if (!id) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    if (!pdfw_obj_new(doc, id, 0)) return false;
    int32_t length = 0;
    char* packet = pdfw_xmp_packet(doc, doc->doc_info_obj, &length);
    if (!packet) return false;
    PdfStream s;
    pdfw_stream_begin(doc, &s, *id, 0, 0);
    pdfw_stream_entry(&s, "/Type /Metadata");
    pdfw_stream_entry(&s, "/Subtype /XML");
    pdfw_stream_adopt(&s, reinterpret_cast<uint8_t*>(packet), length);
    return pdfw_stream_end(&s);
}

bool pdfw_obj_output_intent(PdfDocument* doc, PdfObjectId* id) {
    if (!doc) return false;
    if (!id) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    PdfObjectId profile;
    if (!write_profile(doc, &profile)) return false;
    if (!pdfw_obj_new(doc, id, 0)) return false;

    PdfObject* intent = pdfw_dict_new(doc);
    if (!intent) return false;
    bool ok = pdfw_dict_set_name(doc, intent, "Type", "OutputIntent") &&
              pdfw_dict_set_name(doc, intent, "S", "GTS_PDFA1") &&
              pdfw_dict_set_string(doc, intent, "OutputCondition", "sRGB IEC61966-2.1") &&
              pdfw_dict_set_string(doc, intent, "OutputConditionIdentifier", "Custom") &&
              pdfw_dict_set_string(doc, intent, "Info", "sRGB") &&
              pdfw_dict_set_ref(doc, intent, "DestOutputProfile", profile) &&
              pdfw_object(doc, *id, intent);
    pdfw_object_free(doc, intent);
    return ok;
}

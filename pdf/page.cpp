// Pages and content streams: one image page per call, the per-page media
// size and rotation, and the content text buffer.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

constexpr size_t PDFW_CONTENT_STEP = 256;

// Document units as points with two decimals, each followed by one space.
bool content_number(PdfDocument* doc, int64_t value) {
    char text[32];
    pdfw_format_fixed(static_cast<long>(value), 2, text);
    return pdfw_content_printf(doc, "%s ", text);
}

void content_reset(PdfDocument* doc) {
    if (doc->content) doc->content[0] = 0;
}

void content_release(PdfDocument* doc) {
    pdfw_free(doc, doc->content);
    doc->content = nullptr;
    doc->content_capacity = 0;
}

// Clip to C, then map the unit square onto R; PDF's y axis runs upward from
// the bottom edge of a page of height H.
bool place_image(PdfDocument* doc, int32_t page_height, const PageRect& r, const PageRect* clip,
                 PdfObjectId image) {
    const int64_t h = page_height;
    bool ok = pdfw_content_printf(doc, "q\n");
    if (ok && clip) {
        ok = content_number(doc, clip->x) && content_number(doc, h - clip->y - clip->h) &&
             content_number(doc, clip->w) && content_number(doc, clip->h) &&
             pdfw_content_printf(doc, "re W n\n");
    }
    return ok && content_number(doc, r.w) && pdfw_content_printf(doc, "0 0 ") &&
           content_number(doc, r.h) && content_number(doc, r.x) &&
           content_number(doc, h - r.y - r.h) && pdfw_content_printf(doc, "cm\n") &&
           pdfw_content_printf(doc, "/R%ld Do\n", static_cast<long>(image.number)) &&
           pdfw_content_printf(doc, "Q\n");
}

bool write_resources(PdfDocument* doc, PdfObjectId image, PdfObjectId* id) {
    PdfObject* dict = pdfw_dict_new(doc);
    if (!dict) return false;
    char key[32];
    std::snprintf(key, sizeof key, "R%ld", static_cast<long>(image.number));
    bool ok = pdfw_dict_set_ref(doc, dict, key, image) && pdfw_obj_new(doc, id, 0) &&
              pdfw_object(doc, *id, dict);
    pdfw_object_free(doc, dict);
    return ok;
}

bool write_page(PdfDocument* doc, PdfObjectId resources, PdfObjectId contents) {
    doc->page_count += 1;
    PdfObjectId id{};
    if (!pdfw_obj_new(doc, &id, doc->page_count)) return false;
    PdfObject* page = pdfw_dict_new(doc);
    if (!page) return false;
    bool ok = pdfw_dict_set_name(doc, page, "Type", "Page") &&
              pdfw_dict_set_ref(doc, page, "Parent", doc->pages_id);
    if (ok && doc->next_size_selector != -1) {
        PdfObject* box = pdfw_dict_set_array(doc, page, "MediaBox");
        ok = box && pdfw_array_add_hundredths(doc, box, 0) &&
             pdfw_array_add_hundredths(doc, box, 0) &&
             pdfw_array_add_hundredths(doc, box, doc->next_width) &&
             pdfw_array_add_hundredths(doc, box, doc->next_height);
    }
    if (ok && doc->page_rotation != -1)
        ok = pdfw_dict_set_int(doc, page, "Rotate", doc->page_rotation);
    if (ok) {
        PdfObject* res = pdfw_dict_set_dict(doc, page, "Resources");
        PdfObject* procset = res ? pdfw_dict_set_array(doc, res, "ProcSet") : nullptr;
        ok = procset && pdfw_array_add_name(doc, procset, "PDF") &&
             pdfw_dict_set_ref(doc, res, "XObject", resources);
    }
    if (ok) {
        PdfObject* list = pdfw_dict_set_array(doc, page, "Contents");
        ok = list && pdfw_array_add_ref(doc, list, contents);
    }
    // A page that lost its transition for want of memory is not complete.
    ok = ok && pdfw_page_transition(doc, page) && pdfw_object(doc, id, page);
    pdfw_object_free(doc, page);
    return ok;
}

}  // namespace

bool pdfw_content_printf(PdfDocument* doc, const char* format, ...) {
    if (!doc) return false;
    char piece[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(piece, sizeof piece, format, args);
    va_end(args);
    if (n < 0 || n >= static_cast<int>(sizeof piece)) return pdfw_fail(doc, PDFW_ERR_LINE_LENGTH);
    size_t used = doc->content ? std::strlen(doc->content) : 0;
    if (used + static_cast<size_t>(n) + 1 > doc->content_capacity) {
        size_t grown = doc->content_capacity + PDFW_CONTENT_STEP;
        char* block = static_cast<char*>(pdfw_realloc(doc, doc->content, grown));
        if (!block) return false;
        if (!doc->content) block[0] = 0;
        doc->content = block;
        doc->content_capacity = grown;
    }
    std::memcpy(doc->content + used, piece, static_cast<size_t>(n) + 1);
    return true;
}

namespace {

// One page: the image XObject (written by emit), its placement in the
// content stream, the resources and the page object.
bool add_page(PdfDocument* doc, const PageRect* image, const PageRect* clip,
              bool (*emit)(PdfDocument*, void*, PdfObjectId*), void* source) {
    if (image) {
        pdfw_trace(doc, "PDF: pdfw_impage( [%d/%d %lld/%lld %d %d] xusp)\n", image->x, image->y,
                   static_cast<long long>(image->x) + image->w,
                   static_cast<long long>(image->y) + image->h, image->w, image->h);
    }
    if (!doc) return false;
    doc->stage = PDFW_STAGE_PAGE;
    if (!doc->out) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    const PageRect rect = image ? *image : PageRect{0, 0, doc->page_width, doc->page_height};

    content_reset(doc);
    if (!pdfw_content_printf(doc, "q\n") || !pdfw_content_printf(doc, "0 0 0 rg\n")) return false;

    PdfObjectId image_id{};
    if (!emit(doc, source, &image_id)) return false;

    const int32_t height =
        doc->next_size_selector != -1 ? doc->next_height : doc->page_height;
    if (!place_image(doc, height, rect, clip, image_id) || !pdfw_content_printf(doc, "Q\n"))
        return false;

    PdfObjectId resources{};
    if (!write_resources(doc, image_id, &resources)) return false;

    PdfObjectId contents{};
    if (!pdfw_obj_stream(doc, reinterpret_cast<uint8_t*>(doc->content),
                         static_cast<int32_t>(std::strlen(doc->content)), &contents))
        return false;

    if (!write_page(doc, resources, contents)) return false;
    content_release(doc);
    return true;
}

bool emit_bitmap(PdfDocument* doc, void* dib, PdfObjectId* id) {
    return pdfw_impage_image(doc, static_cast<DibHandle>(dib), 0, id);
}

// Takes the prepared image out of its slot, which then holds null.
bool emit_prepared(PdfDocument* doc, void* slot, PdfObjectId* id) {
    PdfPreparedImage** held = static_cast<PdfPreparedImage**>(slot);
    PdfPreparedImage* taken = *held;
    *held = nullptr;
    return pdfw_image_emit(doc, taken, id);
}

}  // namespace

bool pdfw_impage(PdfDocument* doc, DibHandle dib, const PageRect* image, const PageRect* clip) {
    return add_page(doc, image, clip, emit_bitmap, dib);
}

bool pdfw_impage_prepared(PdfDocument* doc, PdfPreparedImage* prepared, const PageRect* image,
                          const PageRect* clip) {
    // The prepared image is used up whether or not the page comes to be.
    PdfPreparedImage* slot = prepared;
    const bool ok = add_page(doc, image, clip, emit_prepared, &slot);
    pdfw_image_discard(doc, slot);
    return ok;
}

bool pdfw_set_next_page_size(PdfDocument* doc, int selector, int reserved_a, int reserved_b,
                             int32_t width, int32_t height) {
    if (!doc) return false;
    if (selector == -1) {
        doc->next_width = 0;
        doc->next_height = 0;
    } else if (!pdfw_preset_size(selector, reserved_a, reserved_b, width, height,
                                 &doc->next_width, &doc->next_height)) {
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    }
    doc->next_size_selector = selector;
    return true;
}

bool pdf_page_set_rotate(PdfDocument* doc, int angle) {
    if (!doc) return false;
    if (angle != 0 && angle != 90 && angle != 180 && angle != 270 && angle != -1)
        return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    pdfw_trace(doc, "PDF: pdf_page_set_rotate( %d)\n", angle);
    doc->page_rotation = angle;
    return true;
}

// File frame: header, document information dictionary and dates, and the
// close sequence (encryption dictionary, page tree root, information
// dictionary, catalog, cross-reference table, trailer, footer).
#include <cerrno>
#include <cstdio>
#include <cinttypes>
#include <cstring>
#include <cwchar>

#include "pdf/pdfw_private.h"
#include "platform/platform.h"

namespace {

// A comment line of 8-bit bytes tells transfer programs the file is binary.
const char kBinaryComment[] = "%\xC7\xEC\x8F\xA2";

const char* key_without_slash(const char* key) { return key[0] == '/' ? key + 1 : key; }

bool write_pages(PdfDocument* doc) {
    char w[32], h[32];
    if (!(pdfw_obj_begin(doc, doc->pages_id) && pdfw_io_line(doc, "<<") &&
          pdfw_io_key_name(doc, "/Type", "/Pages") && pdfw_io_line(doc, "/Kids") &&
          pdfw_io_line(doc, "[") && pdfw_page_kids(doc) && pdfw_io_line(doc, "]") &&
          pdfw_io_key_int(doc, "/Count", doc->page_count) &&
          pdfw_io_printf(doc, "/MediaBox [0 0 %s %s]", pdfw_format_fixed(doc->page_width, 2, w),
                         pdfw_format_fixed(doc->page_height, 2, h))))
        return false;
    if (doc->crop_mode != -1) {
        char b[4][32];
        for (int i = 0; i < 4; ++i) pdfw_format_fixed(doc->crop_box[i], 2, b[i]);
        if (!pdfw_io_printf(doc, "/CropBox [%s %s %s %s]", b[0], b[1], b[2], b[3]))
            return false;
    }
    return pdfw_io_key_int(doc, "/Rotate", doc->rotation) && pdfw_obj_dict_end(doc);
}

bool write_info(PdfDocument* doc) {
    char date[24];
    bool have_date = pdfw_info_date(date, sizeof date);
    if (!doc->doc_info_obj) {
        pdfw_trace(doc, "PDF: ERROR: pdfw_obj_info: Missing pdf or pdf->doc_info_obj\n");
        return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    }
    if (!pdfw_set_info(doc, "/Producer", pdfw_producer())) return false;
    // A clock out of range leaves the dates out rather than writing a bad one.
    if (have_date && !(pdfw_set_info_bytes(doc, "/CreationDate", date) &&
                       pdfw_set_info_bytes(doc, "/ModDate", date)))
        return false;
    pdfw_trace(doc, "PDF: pdfw_obj_info: pdfw_object\n");
    return pdfw_object(doc, doc->info_id, doc->doc_info_obj);
}

bool fill_catalog(PdfDocument* doc, PdfObject* catalog) {
    if (!(pdfw_dict_set_name(doc, catalog, "Type", "Catalog") &&
          pdfw_dict_set_ref(doc, catalog, "Pages", doc->pages_id) &&
          pdfw_catalog_page_mode(doc, catalog) && pdfw_catalog_page_layout(doc, catalog)))
        return false;
    // The header went out before the pages showed what they need.
    if (doc->body_version > doc->required_version) {
        char version[32];
        std::snprintf(version, sizeof version, "%d.%d", doc->body_version >> 8, doc->body_version & 0xFF);
        if (!pdfw_dict_set_name(doc, catalog, "Version", version)) return false;
    }
    // AES-256 is extension level 8 of PDF 1.7.
    if (doc->security.r == 6) {
        PdfObject* ext = pdfw_dict_set_dict(doc, catalog, "Extensions");
        PdfObject* adbe = ext ? pdfw_dict_set_dict(doc, ext, "ADBE") : nullptr;
        if (!adbe || !pdfw_dict_set_name(doc, adbe, "BaseVersion", "1.7") ||
            !pdfw_dict_set_int(doc, adbe, "ExtensionLevel", 8))
            return false;
    }
    // The script actions refused in PDF/A mode leave -35 behind; the close
    // goes on without them. Any other failure is real.
    if (!pdfw_catalog_open_action(doc, catalog) && doc->last_error != PDFW_ERR_PDFA_SCRIPT)
        return false;
    if (!pdfw_catalog_viewer_prefs(doc, catalog)) return false;
    if (!doc->pdfa) return true;
    PdfObjectId metadata, intent;
    if (!pdfw_obj_metadata(doc, &metadata) || !pdfw_obj_output_intent(doc, &intent) ||
        !pdfw_dict_set_ref(doc, catalog, "Metadata", metadata))
        return false;
    PdfObject* intents = pdfw_dict_set_array(doc, catalog, "OutputIntents");
    return intents && pdfw_array_add_ref(doc, intents, intent);
}

bool write_root(PdfDocument* doc) {
    PdfObject* catalog = pdfw_dict_new(doc);
    if (!catalog) return false;
    bool ok = fill_catalog(doc, catalog) && pdfw_object(doc, doc->root_id, catalog);
    pdfw_object_free(doc, catalog);
    return ok;
}

bool write_entry(PdfDocument* doc, const PdfXrefEntry& e) {
    // 20 bytes with the line feed: the fixed width lets readers seek by number.
    return pdfw_io_printf(doc, "%010" PRId64 " %05u %c ", e.offset, unsigned(e.generation),
                          e.kind);
}

bool write_xref(PdfDocument* doc) {
    doc->prev_xref_offset = doc->xref_offset;
    doc->xref_offset = doc->position;
    if (!pdfw_io_line(doc, "xref")) return false;
    // Entries still at offset 0 were numbered before the file existed and
    // never written; runs of written entries become subsections.
    int32_t count = doc->xref_count;
    int32_t start = 0;
    while (start < count) {
        int32_t end = start + 1;
        while (end < count && doc->xref[end].offset != 0) ++end;
        if (!pdfw_io_printf(doc, "%ld %ld", long(start), long(end - start))) return false;
        for (int32_t i = start; i < end; ++i) {
            PdfXrefEntry e = doc->xref[i];
            if (i == 0) e = PdfXrefEntry{65535, 0, 'f', 0};
            if (!write_entry(doc, e)) return false;
        }
        start = end;
        while (start < count && doc->xref[start].offset == 0) ++start;
    }
    return true;
}

bool write_trailer(PdfDocument* doc) {
    char id[33];
    pdfw_hex_upper(doc->security.file_id, sizeof doc->security.file_id, id);
    const PdfObjectId& enc = doc->security.dict_id;
    return pdfw_io_line(doc, "trailer") && pdfw_io_line(doc, "<<") &&
           (doc->prev_xref_offset == 0 ||
            pdfw_io_key_int(doc, "/Prev", long(doc->prev_xref_offset))) &&
           pdfw_io_key_int(doc, "/Size", pdfw_obj_count(doc)) &&
           pdfw_io_printf(doc, "%s %d %d R", "/Root", int(doc->root_id.number),
                          int(doc->root_id.generation)) &&
           pdfw_io_printf(doc, "%s %d %d R", "/Info", int(doc->info_id.number),
                          int(doc->info_id.generation)) &&
           (!doc->security.dict_present ||
            pdfw_io_printf(doc, "%s %d %d R", "/Encrypt", int(enc.number),
                           int(enc.generation))) &&
           pdfw_io_printf(doc, "/ID [<%s><%s>]", id, id) && pdfw_io_line(doc, ">>");
}

bool write_footer(PdfDocument* doc) {
    return pdfw_io_line(doc, "startxref") &&
           pdfw_io_printf(doc, "%" PRId64, doc->xref_offset) && pdfw_io_line(doc, "%%EOF");
}

// Bytes that fit the stdio buffer fail only here, so flushing is part of
// the write check.
bool finish_file(PdfDocument* doc) {
    errno = 0;
    bool ok = std::fflush(doc->out) == 0;
    int error = errno;
    if (!ok)
        pdfw_trace(doc, "PDF: Error: pdfw_io_flush() at 0x%" PRIX64 " errno=%d\n",
                    uint64_t(doc->position), error);
    if (std::fclose(doc->out) != 0 && ok) {
        ok = false;
        error = errno;
    }
    doc->out = nullptr;
    if (!ok) {
        pdfw_fail_errno(doc, PDFW_ERR_WRITE, error);
        pdfw_write_failed(doc);
    }
    return ok;
}

}  // namespace

namespace {

// The header and the document information of a file just opened.
bool begin_file(PdfDocument* doc, const char* comment) {
    const char* version = nullptr;
    switch (doc->required_version) {
    case 0x103: version = "%PDF-1.3"; break;
    case 0x104: version = "%PDF-1.4"; break;
    case 0x105: version = "%PDF-1.5"; break;
    case 0x106: version = "%PDF-1.6"; break;
    case 0x107: version = "%PDF-1.7"; break;
    default:
        pdfw_fail(doc, PDFW_ERR_VERSION);
        return false;
    }
    if (!pdfw_io_line(doc, version)) return false;
    if (doc->pdfa && !pdfw_io_line(doc, kBinaryComment)) return false;
    if (comment && !pdfw_io_line(doc, comment)) return false;
    if (!pdfw_io_line(doc, kBinaryComment)) return false;

    pdfw_object_free(doc, doc->doc_info_obj);
    doc->doc_info_obj = pdfw_dict_new(doc);
    if (!doc->doc_info_obj) return false;
    doc->info_from_file = 0;
    wchar_t user[80];
    if (plat_user_name(user, sizeof user / sizeof user[0]) && user[0] &&
        !pdfw_set_info(doc, "/Author", user))
        return false;
    doc->stage = PDFW_STAGE_OPEN;
    return true;
}

}  // namespace

bool pdfw_file_create(PdfDocument* doc, const wchar_t* path, const char* comment) {
    if (!doc) return false;
    if (doc->out) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    doc->stage = PDFW_STAGE_CREATE;
    if (!path || !*path) return pdfw_fail(doc, PDFW_ERR_FILE_OPEN);
    size_t n = std::wcslen(path);
    wchar_t* copy = static_cast<wchar_t*>(pdfw_alloc(doc, (n + 1) * sizeof(wchar_t)));
    if (!copy) return false;
    std::wmemcpy(copy, path, n + 1);
    pdfw_free(doc, doc->out_path);
    doc->out_path = copy;

    doc->write_error = 0;
    doc->write_detail[0] = 0;
    errno = 0;
    doc->out = plat_wfopen(path, "w+b");
    if (!doc->out) return pdfw_fail_errno(doc, PDFW_ERR_FILE_OPEN, errno);
    return begin_file(doc, comment);
}

bool pdfw_file_attach(PdfDocument* doc, FILE* file, const char* comment) {
    if (!doc) {
        if (file) std::fclose(file);
        return false;
    }
    if (doc->out) {
        if (file) std::fclose(file);
        return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    }
    doc->stage = PDFW_STAGE_CREATE;
    if (!file) return pdfw_fail(doc, PDFW_ERR_FILE_OPEN);
    doc->write_error = 0;
    doc->write_detail[0] = 0;
    doc->out = file;
    return begin_file(doc, comment);
}

bool pdfw_page_kids(PdfDocument* doc) {
    if (!doc) return false;
    for (int32_t i = 0; i < doc->xref_count; ++i)
        if (doc->xref[i].page_ordinal > 0 &&
            !pdfw_io_printf(doc, "%ld %u R", long(i), unsigned(doc->xref[i].generation)))
            return false;
    return true;
}

bool pdfw_set_info(PdfDocument* doc, const char* key, const wchar_t* value) {
    if (!doc) return false;
    if (!doc->doc_info_obj) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    if (!key) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    const char* name = key_without_slash(key);
    if (!value || !*value) return pdfw_dict_set_text(doc, doc->doc_info_obj, name, nullptr, 0);
    size_t n = std::wcslen(value);
    // A text string holds at most 2048 bytes; longer text cannot fit.
    if (n > 2048) return pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
    uint16_t* units = static_cast<uint16_t*>(pdfw_alloc(doc, 2 * n * sizeof(uint16_t)));
    if (!units) return false;
    int32_t count = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = uint32_t(value[i]);
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c >= 0x10000) {
            c -= 0x10000;
            units[count++] = uint16_t(0xD800 + (c >> 10));
            units[count++] = uint16_t(0xDC00 + (c & 0x3FF));
        } else {
            units[count++] = uint16_t(c);
        }
    }
    bool ok = pdfw_dict_set_text(doc, doc->doc_info_obj, name, units, count);
    pdfw_free(doc, units);
    return ok;
}

bool pdfw_set_info_bytes(PdfDocument* doc, const char* key, const char* text) {
    if (!doc) return false;
    if (!doc->doc_info_obj) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    if (!key) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    size_t n = text ? std::strlen(text) : 0;
    if (n > size_t(INT32_MAX) / 2) return pdfw_fail(doc, PDFW_ERR_STRING_LENGTH);
    return pdfw_dict_set_bytes(doc, doc->doc_info_obj, key_without_slash(key), text,
                               int32_t(n));
}

bool pdfw_info_date(char* buffer, size_t size) {
    if (!buffer || size == 0) return false;
    buffer[0] = 0;
    PlatTime utc{}, local{};
    plat_system_time(&utc);
    plat_local_time(&local);
    int64_t utc_ticks = 0, local_ticks = 0;
    int64_t minutes = 0;
    if (plat_time_to_filetime(&utc, &utc_ticks) && plat_time_to_filetime(&local, &local_ticks))
        minutes = (local_ticks - utc_ticks) / 600000000;
    char sign = minutes > 0 ? '+' : minutes < 0 ? '-' : 'Z';
    int64_t magnitude = minutes < 0 ? -minutes : minutes;
    char text[64];
    int n = std::snprintf(text, sizeof text, "D:%04d%02d%02d%02d%02d%02d%c%02d'%02d'",
                          local.year, local.month, local.day, local.hour, local.minute,
                          local.second, sign, int(magnitude / 60), int(magnitude % 60));
    // Anything but 23 characters means a clock out of range.
    if (n != 23 || size < 24) return false;
    std::memcpy(buffer, text, 24);
    return true;
}

bool pdfw_file_close(PdfDocument* doc) {
    if (!doc) return false;
    if (!doc->out) return pdfw_fail(doc, PDFW_ERR_FILE_STATE);
    doc->stage = PDFW_STAGE_CLOSE;
    if (doc->security.dict_present) {
        pdfw_trace(doc, "PDF: pdfw_file_close: pdfw_obj_encrypt()\n");
        doc->stage = PDFW_STAGE_ENCRYPT;
        if (!pdfw_security_write_dict(doc)) return false;
    }
    struct Step {
        const char* line;
        int stage;
        bool (*run)(PdfDocument*);
    };
    static const Step kSteps[] = {
        {"PDF: pdfw_file_close: pdfw_obj_pages()\n", PDFW_STAGE_PAGES, write_pages},
        {"PDF: pdfw_file_close: pdfw_obj_info()\n", PDFW_STAGE_INFO, write_info},
        {"PDF: pdfw_file_close: pdfw_obj_root()\n", PDFW_STAGE_CATALOG, write_root},
        {"PDF: pdfw_file_close: pdfw_xref()\n", PDFW_STAGE_XREF, write_xref},
        {"PDF: pdfw_file_close: pdfw_trailer()\n", PDFW_STAGE_TRAILER, write_trailer},
        {"PDF: pdfw_file_close: pdfw_footer()\n", PDFW_STAGE_FOOTER, write_footer},
    };
    for (const Step& step : kSteps) {
        pdfw_trace_text(doc, step.line);
        doc->stage = step.stage;
        if (!step.run(doc)) return false;
    }
    doc->stage = PDFW_STAGE_CLOSE;
    if (!finish_file(doc)) return false;
    pdfw_trace(doc, "PDF: closed\n");
    return true;
}

// XMP packet of a PDF/A-1b document: the information dictionary's values in
// the XMP basic, Dublin Core and PDF schemas.
#include <cstring>

#include "pdf/pdfw_private.h"

namespace {

// 34 lines, 1242 bytes. Each {Name} is replaced by the information entry of
// that name; the pdfaid description declares PDF/A-1b.
const char kPacketTemplate[] =
    "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?>\n"
    " <x:xmpmeta xmlns:x='adobe:ns:meta/'>\n"
    "  <rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
    "   <rdf:Description rdf:about='' xmlns:pdfaid='http://www.aiim.org/pdfa/ns/id/'"
    "    pdfaid:part=\"1\" pdfaid:conformance=\"B\"/>\n"
    "   <rdf:Description rdf:about='' xmlns:xmp='http://ns.adobe.com/xap/1.0/'>\n"
    "    <xmp:CreateDate>{CreationDate}</xmp:CreateDate>\n"
    "    <xmp:ModifyDate>{ModDate}</xmp:ModifyDate>\n"
    "    <xmp:CreatorTool>{Creator}</xmp:CreatorTool>\n"
    "   </rdf:Description>\n"
    "   <rdf:Description rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/'>\n"
    "    <dc:format>application/pdf</dc:format>\n"
    "    <dc:title>\n"
    "     <rdf:Alt>\n"
    "      <rdf:li xml:lang='x-default'>{Title}</rdf:li>\n"
    "     </rdf:Alt>\n"
    "    </dc:title>\n"
    "    <dc:description>\n"
    "     <rdf:Alt>\n"
    "      <rdf:li xml:lang='x-default'>{Subject}</rdf:li>\n"
    "     </rdf:Alt>\n"
    "    </dc:description>\n"
    "    <dc:creator>\n"
    "     <rdf:Seq>\n"
    "      <rdf:li>{Author}</rdf:li>\n"
    "     </rdf:Seq>\n"
    "    </dc:creator>\n"
    "    </rdf:Description>\n"
    "   <rdf:Description rdf:about='' xmlns:pdf='http://ns.adobe.com/pdf/1.3/'>\n"
    "    <pdf:Producer>{Producer}</pdf:Producer>\n"
    "    <pdf:Keywords>{Keywords}</pdf:Keywords>\n"
    "   </rdf:Description>\n"
    "  </rdf:RDF>\n"
    " </x:xmpmeta>\n"
    "<?xpacket end='w'?>\n";
static_assert(sizeof kPacketTemplate - 1 == 1242, "XMP template length");

struct Placeholder {
    const char* name;  // as in the template, braces included
    const char* path;  // information dictionary key path
    bool date;
};
const Placeholder kPlaceholders[] = {
    {"{CreationDate}", "/CreationDate", true}, {"{ModDate}", "/ModDate", true},
    {"{Creator}", "/Creator", false},          {"{Title}", "/Title", false},
    {"{Subject}", "/Subject", false},          {"{Author}", "/Author", false},
    {"{Producer}", "/Producer", false},        {"{Keywords}", "/Keywords", false},
};

// Lookups hold at most 1023 units or bytes plus the terminator.
enum { LOOKUP_CAPACITY = 1024 };

bool is_digits(const char* s, int n) {
    for (int i = 0; i < n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// XML 1.0 Char production, less what a packet would never want.
bool xml_allowed(uint32_t c) {
    if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
    return c != 0xFFFE && c != 0xFFFF;
}

size_t put(char* out, size_t at, const char* bytes, size_t n) {
    if (out) std::memcpy(out + at, bytes, n);
    return n;
}

// Bytes one placeholder expands to, written at out + at unless out is null.
size_t expand(PdfDocument* doc, PdfObject* info, const Placeholder& p, char* out,
              size_t at) {
    if (p.date) {
        char raw[LOOKUP_CAPACITY];
        int32_t length = LOOKUP_CAPACITY;
        if (pdfw_dict_get_bytes(doc, info, p.path, raw, &length) <= 0) return 0;
        raw[length < LOOKUP_CAPACITY ? length : LOOKUP_CAPACITY - 1] = '\0';
        char date[PDFW_XMP_DATE_LENGTH + 1];
        int n = pdfw_xmp_date(raw, date);
        return put(out, at, date, size_t(n));
    }
    uint16_t units[LOOKUP_CAPACITY];
    int32_t count = LOOKUP_CAPACITY;
    if (pdfw_dict_get_text(doc, info, p.path, units, &count) <= 0) return 0;
    if (count > LOOKUP_CAPACITY - 1) count = LOOKUP_CAPACITY - 1;
    return pdfw_xmp_text(units, count, out ? out + at : nullptr);
}

// One pass over the template: counts when out is null, else writes.
size_t fill_template(PdfDocument* doc, PdfObject* info, char* out) {
    size_t at = 0;
    const char* s = kPacketTemplate;
    while (*s) {
        const char* open = std::strchr(s, '{');
        const char* close = open ? std::strchr(open, '}') : nullptr;
        if (!close) {
            at += put(out, at, s, std::strlen(s));
            break;
        }
        at += put(out, at, s, size_t(open - s));
        size_t name_length = size_t(close - open) + 1;
        for (const Placeholder& p : kPlaceholders) {
            if (std::strlen(p.name) == name_length &&
                std::memcmp(p.name, open, name_length) == 0) {
                at += expand(doc, info, p, out, at);
                break;
            }
        }
        s = close + 1;
    }
    return at;
}

}  // namespace

int pdfw_xmp_date(const char* info_date, char* out) {
    out[0] = '\0';
    // D:YYYYMMDDhhmmss then sign, HH'mm'.
    if (!info_date || std::strlen(info_date) < 23 || std::strncmp(info_date, "D:", 2) != 0 ||
        !is_digits(info_date + 2, 14) || !std::strchr("+-Z", info_date[16]) ||
        !is_digits(info_date + 17, 2) || info_date[19] != '\'' ||
        !is_digits(info_date + 20, 2))
        return 0;
    // The source walks the pattern: s skips a character, c copies one, any
    // other pattern character is emitted as it is.
    const char* pattern = "sscccc-cc-ccTcc:cc:cccccs:ccs";
    const char* src = info_date;
    int n = 0;
    for (const char* p = pattern; *p; ++p) {
        if (*p == 's') {
            ++src;
        } else if (*p == 'c') {
            out[n++] = *src++;
        } else {
            out[n++] = *p;
        }
    }
    // UTC is Z in a PDF date but +00:00 in XMP, which has no Z with an offset.
    if (out[19] == 'Z') out[19] = '+';
    out[n] = '\0';
    return n;
}

size_t pdfw_xmp_text(const uint16_t* units, int32_t count, char* out) {
    size_t at = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (!xml_allowed(c)) continue;

        const char* entity = nullptr;
        switch (c) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '\'': entity = "&apos;"; break;
        case '"': entity = "&quot;"; break;
        default: break;
        }
        if (entity) {
            at += put(out, at, entity, std::strlen(entity));
            continue;
        }

        char bytes[4];
        size_t n;
        if (c < 0x80) {
            bytes[0] = char(c);
            n = 1;
        } else if (c < 0x800) {
            bytes[0] = char(0xC0 | (c >> 6));
            bytes[1] = char(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            bytes[0] = char(0xE0 | (c >> 12));
            bytes[1] = char(0x80 | ((c >> 6) & 0x3F));
            bytes[2] = char(0x80 | (c & 0x3F));
            n = 3;
        } else {
            bytes[0] = char(0xF0 | (c >> 18));
            bytes[1] = char(0x80 | ((c >> 12) & 0x3F));
            bytes[2] = char(0x80 | ((c >> 6) & 0x3F));
            bytes[3] = char(0x80 | (c & 0x3F));
            n = 4;
        }
        at += put(out, at, bytes, n);
    }
    return at;
}

char* pdfw_xmp_packet(PdfDocument* doc, PdfObject* info, int32_t* length) {
    if (!doc) return nullptr;
    if (!length) {
        pdfw_fail(doc, PDFW_ERR_ARGUMENT);
        return nullptr;
    }
    // Counted first, so the packet is made in one block of its exact size.
    size_t size = fill_template(doc, info, nullptr);
    char* packet = static_cast<char*>(pdfw_alloc(doc, size));
    if (!packet) return nullptr;
    fill_template(doc, info, packet);
    *length = int32_t(size);
    return packet;
}

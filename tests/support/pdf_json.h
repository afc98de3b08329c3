// A PDF's document structure as read by qpdf, flattened into one map so tests
// can look entries up by path.
#ifndef TARVO_TESTS_PDF_JSON_H
#define TARVO_TESTS_PDF_JSON_H

#include <map>
#include <string>

// Path -> value for everything reachable from the trailer's /Root and /Info,
// references followed (except /Parent). Paths join keys and array indices
// with "/": "/Root/PageMode", "/Root/Pages/Kids/0/Trans/S",
// "/Root/OutputIntents/0/DestOutputProfile/N". A followed reference keeps its
// own entry ("/Root/Metadata" -> "7 0 R"). Values as qpdf writes them: names
// with their slash, numbers in the file's own spelling, true/false/null,
// strings decoded to UTF-8 with "\" doubled and line feeds written "\n".
// Streams contribute their dictionary. Empty when qpdf cannot read the file.
typedef std::map<std::string, std::string> PdfTree;
PdfTree pdf_tree(const std::string& pdf);

// Number of distinct keys or indices directly under a path.
int pdf_tree_count(const PdfTree& tree, const std::string& prefix);

// A text in the escaped form pdf_tree gives strings.
std::string pdf_tree_escape(const std::string& text);

// An XMP packet read by minidom (system Python), one entry per element of
// interest: "pi" (both xpacket instructions), "part", "conformance",
// "pdfaid" (its namespace), "xmp:CreateDate", "xmp:ModifyDate",
// "xmp:CreatorTool", "dc:format", "pdf:Producer", "pdf:Keywords", and the
// first rdf:li of "dc:title", "dc:description" (with "@lang") and
// "dc:creator". Line feeds in values are written "\n". The packet goes to a
// file in dir. Empty, with a test failure, when it is not well-formed.
typedef std::map<std::string, std::string> XmpFields;
XmpFields xmp_fields(const std::string& dir, const std::string& packet);

#endif

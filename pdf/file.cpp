// File structure: header, information dictionary, close sequence.
#include "pdf/pdfw_private.h"

bool pdfw_file_create(PdfDocument*, const wchar_t*, const char*) { return false; }
bool pdfw_file_close(PdfDocument*) { return false; }
bool pdfw_page_kids(PdfDocument*) { return false; }
bool pdfw_set_info(PdfDocument*, const char*, const wchar_t*) { return false; }
bool pdfw_set_info_bytes(PdfDocument*, const char*, const char*) { return false; }
bool pdfw_info_date(char*, size_t) { return false; }

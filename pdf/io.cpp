// Output channel and primitive syntax.
#include "pdf/pdfw_private.h"

int64_t pdfw_io_position(const PdfDocument* doc) { return doc ? doc->position : 0; }
bool pdfw_io_data(PdfDocument*, const void*, int64_t) { return false; }
bool pdfw_io_cstring(PdfDocument*, const char*) { return false; }
bool pdfw_io_line(PdfDocument*, const char*) { return false; }
bool pdfw_io_printf(PdfDocument*, const char*, ...) { return false; }
bool pdfw_io_token(PdfDocument*, int, char, const void*, int32_t) { return false; }
bool pdfw_io_litstring(PdfDocument*, const void*, int32_t) { return false; }
bool pdfw_io_key_name(PdfDocument*, const char*, const char*) { return false; }
bool pdfw_io_key_int(PdfDocument*, const char*, long) { return false; }
bool pdfw_io_key_bool(PdfDocument*, const char*, int) { return false; }
bool pdfw_obj_dict_end(PdfDocument*) { return false; }
char* pdfw_format_fixed(long, int, char* buffer) { buffer[0] = 0; return buffer; }
const char* pdfw_token_name(int) { return "???"; }

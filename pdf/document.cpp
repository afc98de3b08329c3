// Document context: creation, settings, destruction, allocator, object table.
#include "pdf/pdfw_private.h"

bool pdfw_new(PdfDocument** handle) { (void)handle; return false; }
int pdfw_destroy(PdfDocument** handle) { (void)handle; return PDFW_ERR_NULL_DOCUMENT; }
int pdfw_last_error(const PdfDocument* doc) { return doc ? doc->last_error : PDFW_ERR_NULL_DOCUMENT; }
void pdfw_set_last_error(PdfDocument* doc, int code) { if (doc) doc->last_error = code; }
bool pdfw_set_icc_file(PdfDocument*, const wchar_t*) { return false; }
bool pdfw_set_exec_mode(PdfDocument*, int, int, int, int, int, int, int, uint32_t, uint32_t, int, int, int, int, int) { return false; }
bool pdfw_set_encoding(PdfDocument*, int, int, int, int, int, int, int, int, int, int, int) { return false; }
bool pdfw_set_page_size(PdfDocument*, int, int, int, int32_t, int32_t) { return false; }
bool pdfw_set_rotation(PdfDocument*, int) { return false; }
void pdfw_require_version(PdfDocument*, int) {}
const wchar_t* pdfw_producer() { return L""; }
void* pdfw_alloc(PdfDocument*, size_t) { return nullptr; }
void* pdfw_realloc(PdfDocument*, void*, size_t) { return nullptr; }
void pdfw_free(PdfDocument*, void*) {}
int64_t pdfw_mem_in_use(const PdfDocument*) { return 0; }
int64_t pdfw_mem_peak(const PdfDocument*) { return 0; }
void pdfw_alloc_fail_after(unsigned) {}
bool pdfw_obj_new(PdfDocument*, PdfObjectId*, int32_t) { return false; }
int32_t pdfw_obj_count(const PdfDocument*) { return 0; }
bool pdfw_obj_set_page(PdfDocument*, PdfObjectId, int32_t) { return false; }
bool pdfw_obj_set_offset(PdfDocument*, PdfObjectId, int64_t) { return false; }
bool pdfw_page_ref(const PdfDocument*, int32_t, PdfObjectId*) { return false; }
const char* pdfw_transition_name(int) { return nullptr; }
const char* pdfw_filter_name(int) { return "???"; }

// Object model and serialisation.
#include "pdf/pdfw_private.h"

PdfObject* pdfw_dict_new(PdfDocument*) { return nullptr; }
void pdfw_object_free(PdfDocument*, PdfObject*) {}
bool pdfw_dict_set(PdfDocument*, PdfObject*, const char*, PdfObject*) { return false; }
bool pdfw_dict_set_bool(PdfDocument*, PdfObject*, const char*, int) { return false; }
bool pdfw_dict_set_name(PdfDocument*, PdfObject*, const char*, const char*) { return false; }
bool pdfw_dict_set_string(PdfDocument*, PdfObject*, const char*, const char*) { return false; }
bool pdfw_dict_set_bytes(PdfDocument*, PdfObject*, const char*, const void*, int32_t) { return false; }
bool pdfw_dict_set_text(PdfDocument*, PdfObject*, const char*, const uint16_t*, int32_t) { return false; }
bool pdfw_dict_set_format(PdfDocument*, PdfObject*, const char*, const char*, const char* const*, int) { return false; }
bool pdfw_dict_set_int(PdfDocument*, PdfObject*, const char*, int32_t) { return false; }
bool pdfw_dict_set_hundredths(PdfDocument*, PdfObject*, const char*, int32_t) { return false; }
bool pdfw_dict_set_ref(PdfDocument*, PdfObject*, const char*, PdfObjectId) { return false; }
PdfObject* pdfw_dict_set_array(PdfDocument*, PdfObject*, const char*) { return nullptr; }
PdfObject* pdfw_dict_set_dict(PdfDocument*, PdfObject*, const char*) { return nullptr; }
bool pdfw_array_add_name(PdfDocument*, PdfObject*, const char*) { return false; }
bool pdfw_array_add_null(PdfDocument*, PdfObject*) { return false; }
bool pdfw_array_add_hundredths(PdfDocument*, PdfObject*, int32_t) { return false; }
bool pdfw_array_add_fixed(PdfDocument*, PdfObject*, int32_t, int) { return false; }
bool pdfw_array_add_ref(PdfDocument*, PdfObject*, PdfObjectId) { return false; }
bool pdfw_array_add_bytes(PdfDocument*, PdfObject*, const void*, int32_t) { return false; }
PdfObject* pdfw_dict_get(PdfDocument*, PdfObject*, const char*) { return nullptr; }
int32_t pdfw_dict_get_bytes(PdfDocument*, PdfObject*, const char*, char*, int32_t*) { return 0; }
int32_t pdfw_dict_get_text(PdfDocument*, PdfObject*, const char*, uint16_t*, int32_t*) { return 0; }
PdfObject* pdfw_text_string(PdfDocument*, const uint16_t*, int32_t) { return nullptr; }
bool pdfw_obj_begin(PdfDocument*, PdfObjectId) { return false; }
bool pdfw_obj_end(PdfDocument*) { return false; }
bool pdfw_object(PdfDocument*, PdfObjectId, PdfObject*) { return false; }
bool pdfw_object_sub(PdfDocument*, PdfObject*) { return false; }
bool pdfw_obj_stream(PdfDocument*, uint8_t*, int32_t, PdfObjectId*) { return false; }

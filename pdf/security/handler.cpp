// Standard security handler. Placeholder: encryption cannot be set up yet,
// so the encryption hooks never change data.
#include "pdf/pdfw_private.h"

bool pdfw_set_encryption(PdfDocument*, const char*, const char*, int, int32_t) { return false; }
void pdfw_encrypt_buffer(PdfDocument*, PdfObjectId, uint8_t*, int64_t) {}
void pdfw_encrypt_current(PdfDocument*, uint8_t*, int64_t) {}

// Flate filter over zlib's one-shot compress.
#include "codec/codec.h"

int pdfw_filter_flate(PdfDocument*, uint8_t*, uint32_t*, const uint8_t*, uint32_t) { return -5; }

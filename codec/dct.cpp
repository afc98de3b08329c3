// JPEG coding of a bitmap through libjpeg.
#include "codec/codec.h"

int dct_encode(PdfDocument* doc, uint8_t** output, uint32_t* size, DibHandle dib,
               int quality, int grey) {
    (void)doc, (void)output, (void)size, (void)dib, (void)quality, (void)grey;
    return 1;
}

// The encoders through the writer's calling convention: the document's
// allocator and trace, and a bitmap handle where the encoder wants pixels.
#include "pdf/pdfw_private.h"

CodecImage pdfw_codec_image(const DibView* view) {
    CodecImage im{};
    im.width = view->width;
    im.rows = view->rows;
    im.top_down = view->header->height < 0;
    im.stride = view->stride;
    im.bit_count = view->bit_count;
    // Bit-field masks come first where the colour table would be.
    if (dib_channel_masks(view->header, view->colours, im.masks)) {
        const int64_t mask_bytes = view->colour_bytes - 4 * int64_t(dib_palette_entries(view->header));
        im.table = view->colours + mask_bytes;
        im.entries = int(view->colour_bytes - mask_bytes) / 4;
    } else {
        im.table = view->colours;
        im.entries = view->colour_bytes / 4;
    }
    im.pixels = view->pixels;
    im.wait = [](const void* source, int64_t rows) {
        return dib_rows_wait(static_cast<DibHandle>(const_cast<void*>(source)), rows);
    };
    im.source = view->handle;
    im.missing_bytes = view->pixel_bytes - view->held_bytes;
    return im;
}

int pdfw_filter_flate(PdfDocument* doc, uint8_t* dst, uint32_t* size, const uint8_t* src,
                      uint32_t src_length) {
    (void)doc;
    return codec_flate(dst, size, src, src_length);
}

int pdfw_filter_ccitt(PdfDocument* doc, uint8_t* out, uint32_t* size, const uint8_t* samples,
                      uint32_t length, int32_t columns, int32_t rows) {
    const CodecHost host = pdfw_codec_host(doc);
    return codec_ccitt_encode(&host, out, size, samples, static_cast<int32_t>(length), -1, 0,
                              columns, rows, 0);
}

int dct_encode(PdfDocument* doc, uint8_t** output, uint32_t* size, DibHandle dib, int quality,
               int grey) {
    const CodecHost host = pdfw_codec_host(doc);
    DibView view;
    if (dib_view_open(&view, dib) != DIB_OK) {
        pdfw_trace(doc, "PDF:ERROR:JPG:Bitmap cannot be locked\n");
        return CODEC_DCT_FAILED;
    }
    const CodecImage image = pdfw_codec_image(&view);
    const int rc = codec_dct_encode(&host, &image, quality, grey, output, size);
    dib_view_close(&view);
    return rc;
}

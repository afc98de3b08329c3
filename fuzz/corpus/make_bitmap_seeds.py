#!/usr/bin/env python3
"""Writes the small seed files of the bitmap fuzz targets: BMP files of
every depth and compression for bmp_load_fuzzer (and, with a trailing byte
of choices each, for convert_fuzzer), run-length streams with their five
trailing size bytes for rle_decode_fuzzer."""
import io
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def bmp(width, height, bits, compression=0, header=40, colours=None, body=b"", used=0, ppm=2835):
    if colours is None:
        colours = b"".join(bytes((i * 9 & 255, 255 - i & 255, i * 3 & 255, 0))
                           for i in range(1 << bits)) if bits <= 8 else b""
    info = struct.pack("<IiiHHIIiiII", header, width, height, 1, bits, compression,
                       len(body), ppm, ppm, used, 0)
    info += b"\0" * (header - 40)
    offset = 14 + header + len(colours)
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + info + colours + body


def rows(width, height, bits):
    stride = (width * bits + 31) // 32 * 4
    return bytes((x * 37 + y * 11) & 255 for y in range(abs(height)) for x in range(stride))


def masks(*values):
    return struct.pack("<%dI" % len(values), *values)


def v5(width, height, bits, compression, channel_masks, body):
    """A 124-byte header with the masks in it."""
    info = struct.pack("<IiiHHIIiiII", 124, width, height, 1, bits, compression, len(body),
                       2835, 2835, 0, 0) + masks(*channel_masks) + b"\0" * (124 - 56)
    offset = 14 + 124
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + info + body


def png(width, height, colour_type, raw_rows, palette=b""):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + (chunk(b"PLTE", palette) if palette else b"")
            + chunk(b"IDAT", zlib.compress(raw_rows)) + chunk(b"IEND", b""))


def jpeg(width, height):
    """A baseline JPEG from Pillow, or None where Pillow is missing."""
    try:
        from PIL import Image
    except ImportError:
        return None
    out = io.BytesIO()
    Image.new("RGB", (width, height), (200, 30, 60)).save(out, "JPEG", quality=50)
    return out.getvalue()


def embedded(width, height, compression, data):
    return bmp(width, height, 0, compression, colours=b"", body=data)


RLE8 = bytes([3, 5, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 2, 9, 4, 7, 0, 0, 0, 1])
RLE24 = bytes([3, 10, 20, 30, 0, 0, 0, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 1])
# Two 8-pixel rows of Modified Huffman: an EOL, white 3, black 2, white 3;
# an EOL, white 8.
HUFFMAN = bytes([0x00, 0x18, 0xE0, 0x00, 0x66])
RLE4 = bytes([5, 0x12, 0, 0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 2, 1, 0, 3, 0x9A, 0, 1])


def main():
    load = os.path.join(HERE, "bmp_load_fuzzer")
    rle = os.path.join(HERE, "rle_decode_fuzzer")
    os.makedirs(load, exist_ok=True)
    os.makedirs(rle, exist_ok=True)
    seeds = {}
    for bits in (1, 4, 8, 16, 24, 32):
        seeds["rgb%d-7x3.bmp" % bits if bits > 8 else "pal%d-7x3.bmp" % bits] = bmp(7, 3, bits, body=rows(7, 3, bits))
    seeds["pal8-topdown.bmp"] = bmp(5, -3, 8, body=rows(5, -3, 8))
    seeds["pal8-rle.bmp"] = bmp(9, 4, 8, 1, body=RLE8)
    seeds["pal4-rle.bmp"] = bmp(9, 4, 4, 2, body=RLE4)
    seeds["pal8-rle-used4.bmp"] = bmp(9, 4, 8, 1, colours=bytes(16), used=4, body=RLE8)
    seeds["pal8-v4.bmp"] = bmp(5, 3, 8, header=108, body=rows(5, 3, 8))
    seeds["pal8-v5.bmp"] = bmp(5, 3, 8, header=124, body=rows(5, 3, 8))
    seeds["pal8-used3.bmp"] = bmp(5, 3, 8, colours=bytes(12), used=3, body=rows(5, 3, 8))
    seeds["rgb24-short.bmp"] = bmp(5, 3, 24, body=rows(5, 3, 24)[:-7])
    seeds["pal2.bmp"] = bmp(7, 3, 2, body=rows(7, 3, 2))
    seeds["rgb32-bitfields.bmp"] = bmp(3, 2, 32, 3, colours=bytes(12), body=rows(3, 2, 32))
    seeds["core-header.bmp"] = (struct.pack("<2sIHHI", b"BM", 26 + 6 + 32, 0, 0, 32)
                                + struct.pack("<IHHHH", 12, 3, 2, 1, 1) + bytes(6) + bytes(32))
    seeds["core-pal8.bmp"] = (struct.pack("<2sIHHI", b"BM", 26 + 9 + 8, 0, 0, 35)
                              + struct.pack("<IHHHH", 12, 3, 2, 1, 8) + bytes(range(9)) + rows(3, 2, 8))
    seeds["os2v2-pal8.bmp"] = bmp(5, 3, 8, header=64, body=rows(5, 3, 8))
    seeds["os2v2-16-pal4.bmp"] = (struct.pack("<2sIHHI", b"BM", 14 + 16 + 64 + 12, 0, 0, 14 + 16 + 64)
                                  + struct.pack("<IiiHH", 16, 5, 3, 1, 4) + bytes(range(64)) + rows(5, 3, 4))
    seeds["os2v2-rle24.bmp"] = bmp(5, 3, 24, 4, header=64, body=RLE24)
    seeds["os2v2-huffman.bmp"] = bmp(8, 2, 1, 3, header=64, body=HUFFMAN)
    seeds["rgb16-565.bmp"] = bmp(5, 3, 16, 3, colours=masks(0xF800, 0x07E0, 0x001F), body=rows(5, 3, 16))
    seeds["rgba16-4444-v5.bmp"] = v5(5, 3, 16, 3, (0x0F00, 0x00F0, 0x000F, 0xF000), rows(5, 3, 16))
    seeds["rgba32-v5.bmp"] = v5(4, -3, 32, 3, (0xFF0000, 0xFF00, 0xFF, 0xFF000000), rows(4, 3, 32))
    seeds["rgba32-alphabitfields.bmp"] = bmp(3, 2, 32, 6, colours=masks(0xFF, 0xFF00, 0xFF0000, 0xFF000000),
                                             body=rows(3, 2, 32))
    seeds["rgb32-1010102.bmp"] = v5(3, 2, 32, 3, (0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000), rows(3, 2, 32))
    seeds["pal8-short-table.bmp"] = bmp(5, 3, 8, colours=bytes(range(20)), used=5, body=rows(5, 3, 8))
    seeds["png-rgb.bmp"] = embedded(3, 2, 5, png(3, 2, 2, bytes(b"\0" + bytes(range(9)) + b"\1" + bytes(9))))
    seeds["png-palette.bmp"] = embedded(3, 2, 5, png(3, 2, 3, b"\0\0\1\2\0\2\1\0", bytes(range(9))))
    seeds["png-grey-alpha.bmp"] = embedded(2, 2, 5, png(2, 2, 4, b"\0\1\2\3\4\0\5\6\7\x08"))
    picture = jpeg(5, 3)
    if picture:
        seeds["jpeg-rgb.bmp"] = embedded(5, 3, 4, picture)
    for name, data in seeds.items():
        with open(os.path.join(load, name), "wb") as f:
            f.write(data)
    # Whole conversions: each new kind with five choices of encoding,
    # encryption, rotation and threads.
    convert = os.path.join(HERE, "convert_fuzzer")
    os.makedirs(convert, exist_ok=True)
    for name, data in seeds.items():
        if os.path.exists(os.path.join(convert, name[:-4] + "-00")) or name == "core-header.bmp":
            continue
        for choice in (0x00, 0x3E, 0x45, 0x86, 0xC9):
            with open(os.path.join(convert, "%s-%02x" % (name[:-4], choice)), "wb") as f:
                f.write(data + bytes([choice]))

    streams = {
        "rle8-9x4": RLE8 + struct.pack("<HHB", 9, 4, 0),
        "rle4-9x4": RLE4 + struct.pack("<HHB", 9, 4, 1),
        "rle8-delta-clip": bytes([0, 2, 200, 3, 5, 1, 255, 2, 0, 5, 1, 2]) + struct.pack("<HHB", 3, 2, 4),
        "rle4-absolute-cut": bytes([0, 9, 0x12, 0x34]) + struct.pack("<HHB", 8, 1, 3),
        "rle8-empty": struct.pack("<HHB", 4, 4, 0),
    }
    for name, data in streams.items():
        with open(os.path.join(rle, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the small seed files of the bitmap fuzz targets: BMP files of
every depth and compression for bmp_load_fuzzer, run-length streams with
their five trailing size bytes for rle_decode_fuzzer."""
import os
import struct

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


RLE8 = bytes([3, 5, 0, 0, 0, 3, 1, 2, 3, 0, 0, 2, 1, 1, 2, 9, 4, 7, 0, 0, 0, 1])
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
    for name, data in seeds.items():
        with open(os.path.join(load, name), "wb") as f:
            f.write(data)

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

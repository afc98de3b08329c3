"""Compares the image a PDF page shows with an independent decoding of the
bitmap it was made from.

Reads lines "PDF PAGE BITMAP REFERENCE TOLERANCE" from the file named as
its argument (or standard input) and prints one line per case: "ok ..." or "FAIL ...". The page's image comes
from pikepdf (a soft mask composited onto white, a stencil painted black on
white). REFERENCE names who decodes the bitmap:
  pil      Pillow
  im       ImageMagick (convert, flattened onto white)
  format   this file's own reader, written from the BMP format
  twin:F   Pillow's reading of another file F with the same picture
  embedded Pillow's reading of the JPEG or PNG data the bitmap holds
  embedded:png  this file's own reading of plain PNG data, 16-bit samples rounded
TOLERANCE 0 asks for equal pixels; a number above 0 is the least PSNR in dB
(JPEG). Run with the system Python, which has Pillow and pikepdf.
"""
import io
import struct
import subprocess
import sys
import tempfile

import pikepdf
from PIL import Image
from pikepdf import PdfImage


def page_image(pdf_path, page_number):
    pdf = pikepdf.open(pdf_path)
    page = pdf.pages[page_number - 1]
    xobjects = page.obj.Resources.get("/XObject", {})
    images = [raw for _, raw in xobjects.items() if raw.get("/Subtype") == "/Image"]
    if len(images) != 1:
        raise ValueError("%d images on the page" % len(images))
    raw = images[0]
    if raw.get("/ImageMask", False):
        # A stencil: what poppler paints with it on the white page, rendered
        # one pixel a sample (the page is the image at its resolution).
        with tempfile.TemporaryDirectory() as d:
            subprocess.run(["pdftoppm", "-scale-to-x", str(int(raw.Width)), "-scale-to-y",
                            str(int(raw.Height)), "-f", str(page_number), "-l",
                            str(page_number), "-singlefile", "-png", pdf_path, d + "/page"],
                           check=True, capture_output=True)
            return Image.open(d + "/page.png").convert("RGB")
    image = PdfImage(raw).as_pil_image().convert("RGB")
    if "/SMask" in raw:
        alpha = PdfImage(raw.SMask).as_pil_image().convert("L")
        white = Image.new("RGB", image.size, (255, 255, 255))
        image = Image.composite(image, white, alpha)
    return image


def on_white(image):
    if image.mode in ("RGBA", "LA", "PA") or "transparency" in image.info:
        image = image.convert("RGBA")
        white = Image.new("RGB", image.size, (255, 255, 255))
        white.paste(image, mask=image.split()[3])
        return white
    return image.convert("RGB")


def with_pillow(path):
    image = Image.open(path)
    image.load()
    return on_white(image)


def with_imagemagick(path):
    with tempfile.TemporaryDirectory() as d:
        out = d + "/out.png"
        subprocess.run(["convert", path, "-background", "white", "-alpha", "remove",
                        "-alpha", "off", "-depth", "8", out], check=True, capture_output=True)
        return Image.open(out).convert("RGB")


# ---- The BMP format, read from the file -------------------------------------

def u16(b, at):
    return struct.unpack_from("<H", b, at)[0]


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def i32(b, at):
    return struct.unpack_from("<i", b, at)[0]


def scale(v, mask):
    """A channel scaled to 8 bits: round(v * 255 / max)."""
    if not mask:
        return 0
    shift = (mask & -mask).bit_length() - 1
    top = mask >> shift
    return (2 * ((v & mask) >> shift) * 255 + top) // (2 * top)


def rle_pixels(data, width, height, bits):
    """Indices (or BGR tuples for 24 bits) of RLE4, RLE8 and RLE24 data,
    bottom row first; pixels the data leaves alone are index 0 (black for
    24 bits)."""
    blank = (0, 0, 0) if bits == 24 else 0
    rows = [[blank] * width for _ in range(height)]
    size = 3 if bits == 24 else 1
    x = y = i = 0

    def put(v):
        if 0 <= y < height and 0 <= x < width:
            rows[y][x] = v

    while i + 1 < len(data) and y < height:
        count, value = data[i], data[i + 1]
        if count:
            if bits == 24:
                px = tuple(data[i + 1:i + 4])
            for k in range(count):
                if bits == 4:
                    put(value >> 4 if k % 2 == 0 else value & 15)
                else:
                    put(px if bits == 24 else value)
                x += 1
            i += 1 + size
        elif value == 0:
            x, y, i = 0, y + 1, i + 2
        elif value == 1:
            break
        elif value == 2:
            x, y, i = x + data[i + 2], y + data[i + 3], i + 4
        else:
            i += 2
            n = (value + 1) // 2 if bits == 4 else value * size
            for k in range(value):
                if bits == 4:
                    b = data[i + k // 2]
                    put(b >> 4 if k % 2 == 0 else b & 15)
                elif bits == 24:
                    put(tuple(data[i + 3 * k:i + 3 * k + 3]))
                else:
                    put(data[i + k])
                x += 1
            i += n + (n & 1)
    return rows


def with_format(path):
    b = open(path, "rb").read()
    header = u32(b, 14)
    os2 = header != 12 and (header < 40 or header == 64 or 40 < header < 64 and header not in (52, 56))
    fields = b[14:14 + header] + bytes(max(0, 40 - header))
    if header == 12:
        width, height, bits, compression, used = u16(b, 18), u16(b, 20), u16(b, 24), 0, 0
        entry = 3
    else:
        width, height = i32(fields, 4), i32(fields, 8)
        bits, compression, used = u16(fields, 14), u32(fields, 16), u32(fields, 32)
        entry = 4
    top_down = height < 0
    height = abs(height)
    at = 14 + header
    masks = None
    if compression in (3, 6) and not os2:
        if header < 52:
            masks = [u32(b, at + 4 * k) for k in range(3 if compression == 3 else 4)] + [0]
            at += 12 if compression == 3 else 16
        else:
            masks = [u32(b, 54 + 4 * k) for k in range(3)] + [u32(b, 66) if header >= 56 else 0]
    elif bits == 16:
        masks = [0x7C00, 0x03E0, 0x001F, 0]
    entries = used or (1 << bits if bits <= 8 else 0)
    if header == 12:
        entries = min(entries, (u32(b, 10) - 26) // 3)
    table = [tuple(b[at + entry * k:at + entry * k + 3]) for k in range(entries)]
    at += entry * entries
    offset = u32(b, 10)
    if offset > at and offset < len(b):
        at = offset

    def colour(index):
        if index < len(table):
            blue, green, red = table[index]
            return (red, green, blue)
        return (0, 0, 0)

    image = Image.new("RGB", (width, height))
    alpha = Image.new("L", (width, height), 255)
    if compression in (1, 2) or (os2 and compression == 4):
        rows = rle_pixels(b[at:], width, height, bits)
        for y in range(height):
            for x in range(width):
                v = rows[y][x]
                image.putpixel((x, height - 1 - y), (v[2], v[1], v[0]) if bits == 24 else colour(v))
        return image
    stride = (width * bits + 31) // 32 * 4
    for y in range(height):
        row = b[at + stride * y:at + stride * (y + 1)].ljust(stride, b"\0")
        target = y if top_down else height - 1 - y
        for x in range(width):
            if bits <= 8:
                per = 8 // bits
                v = row[x // per] >> (8 - bits * (x % per + 1)) & ((1 << bits) - 1)
                image.putpixel((x, target), colour(v))
            elif bits == 24 or (bits == 32 and masks is None):
                p = row[x * bits // 8:x * bits // 8 + 3]
                image.putpixel((x, target), (p[2], p[1], p[0]))
            else:
                v = u16(row, 2 * x) if bits == 16 else u32(row, 4 * x)
                image.putpixel((x, target), tuple(scale(v, m) for m in masks[:3]))
                if masks[3]:
                    alpha.putpixel((x, target), scale(v, masks[3]))
    white = Image.new("RGB", image.size, (255, 255, 255))
    return Image.composite(image, white, alpha)


def png_rounded(data):
    """Non-interlaced PNG data of 8 or 16 bits a sample, read here so that
    16-bit samples come to 8 bits rounded, round(v * 255 / 65535): Pillow
    keeps their high byte."""
    import zlib
    at, idat, header = 8, b"", None
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    width, height, depth, colour, _, _, interlace = header
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    if interlace or depth not in (8, 16):
        raise ValueError("only plain 8- and 16-bit PNG data is read here")
    size = depth // 8 * channels
    stride = width * size
    raw = zlib.decompress(idat)
    rows, prior = [], bytearray(stride)
    for y in range(height):
        kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = row[i - size] if i >= size else 0
            up, corner = prior[i], prior[i - size] if i >= size else 0
            if kind == 1:
                row[i] = (row[i] + left) & 255
            elif kind == 2:
                row[i] = (row[i] + up) & 255
            elif kind == 3:
                row[i] = (row[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                row[i] = (row[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(bytes(row))
        prior = row
    image = Image.new("RGB", (width, height))
    for y, row in enumerate(rows):
        for x in range(width):
            samples = [row[x * size + k * depth // 8:x * size + (k + 1) * depth // 8] for k in range(channels)]
            values = [s[0] if depth == 8 else ((s[0] << 8 | s[1]) * 255 + 32767) // 65535 for s in samples]
            image.putpixel((x, y), tuple(values[:3]) if channels >= 3 else (values[0],) * 3)
    return image


def reference(path, kind):
    if kind == "pil":
        return with_pillow(path)
    if kind == "im":
        return with_imagemagick(path)
    if kind == "format":
        return with_format(path)
    if kind.startswith("embedded"):
        data = open(path, "rb").read()[u32(open(path, "rb").read(), 10):]
        if kind == "embedded:png":
            return png_rounded(data)
        return on_white(Image.open(io.BytesIO(data)))
    if kind.startswith("twin:"):
        return with_pillow(kind[5:])
    raise ValueError("unknown reference " + kind)


def compare(ours, theirs, tolerance):
    if ours.size != theirs.size:
        return "size %s where %s" % (ours.size, theirs.size)
    a, b = ours.tobytes(), theirs.tobytes()
    if tolerance == 0:
        differ = sum(1 for k in range(0, len(a), 3) if a[k:k + 3] != b[k:k + 3])
        return None if differ == 0 else "%d of %d pixels differ" % (differ, len(a) // 3)
    square = sum((x - y) * (x - y) for x, y in zip(a, b)) / len(a)
    psnr = 99.0 if square == 0 else 10 * __import__("math").log10(255 * 255 / square)
    return None if psnr >= tolerance else "PSNR %.1f dB below %s" % (psnr, tolerance)


def main():
    failed = 0
    source = open(sys.argv[1]) if len(sys.argv) > 1 else sys.stdin
    for line in source:
        if not line.strip():
            continue
        pdf, page, bitmap, kind, tolerance = line.split()
        try:
            problem = compare(page_image(pdf, int(page)), reference(bitmap, kind), float(tolerance))
        except Exception as e:  # a decoder that cannot read the file is a failure too
            problem = "%s: %s" % (type(e).__name__, e)
        failed += problem is not None
        print(("ok " if problem is None else "FAIL ") + " ".join([pdf, page, bitmap, kind]) +
              ("" if problem is None else ": " + problem))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

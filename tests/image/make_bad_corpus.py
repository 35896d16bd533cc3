#!/usr/bin/env python3
"""Writes tests/data/bad/: files that break the image readers, each named
after what it breaks, from the valid images gw_image_fixtures writes:

    build/gw_image_fixtures /tmp/fixtures
    tests/image/make_bad_corpus.py /tmp/fixtures tests/data/bad

The expected message of each file lives in tests/data/bad/expected-messages.txt
(kept by hand: the messages are the point of the corpus)."""
import os
import struct
import sys
import zlib


def png_chunks(data):
    pos, chunks = 8, []
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        chunks.append((kind, data[pos + 8:pos + 8 + length]))
        pos += 12 + length
    return chunks


def png_build(chunks):
    out = b"\x89PNG\r\n\x1a\n"
    for kind, body in chunks:
        out += struct.pack(">I", len(body)) + kind + body
        out += struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    return out


def png_with_size(data, width, height):
    chunks = png_chunks(data)
    kind, body = chunks[0]
    chunks[0] = (kind, struct.pack(">II", width, height) + body[8:])
    return png_build(chunks)


def jpeg_sof(data):
    pos = 2
    while pos + 4 <= len(data):
        marker, length = data[pos + 1], struct.unpack(">H", data[pos + 2:pos + 4])[0]
        if marker in (0xC0, 0xC1, 0xC2):
            return pos
        pos += 2 + length
    raise ValueError("no SOF")


def jpeg_with(data, width=None, height=None, precision=None):
    sof = jpeg_sof(data)
    out = bytearray(data)
    if precision is not None:
        out[sof + 4] = precision
    if height is not None:
        out[sof + 5:sof + 7] = struct.pack(">H", height)
    if width is not None:
        out[sof + 7:sof + 9] = struct.pack(">H", width)
    return bytes(out)


def jpeg_scan_start(data):
    return data.index(b"\xff\xda") + 2 + struct.unpack(">H", data[data.index(b"\xff\xda") + 2:][:2])[0]


def tiff_patch(data, tag, value):
    """Sets a SHORT or LONG tag of the first directory (little-endian file)."""
    out = bytearray(data)
    ifd = struct.unpack("<I", data[4:8])[0]
    count = struct.unpack("<H", data[ifd:ifd + 2])[0]
    for i in range(count):
        e = ifd + 2 + 12 * i
        t, kind = struct.unpack("<HH", data[e:e + 4])
        if t == tag:
            if kind == 3:
                out[e + 8:e + 12] = struct.pack("<HH", value, 0)
            else:
                out[e + 4:e + 12] = struct.pack("<II", 1, value)
            return bytes(out)
    raise ValueError("no tag %d" % tag)


def tiff_first_strip(data):
    ifd = struct.unpack("<I", data[4:8])[0]
    count = struct.unpack("<H", data[ifd:ifd + 2])[0]
    for i in range(count):
        e = ifd + 2 + 12 * i
        t, kind, n, value = struct.unpack("<HHII", data[e:e + 12])
        if t == 273:
            return value if n == 1 else struct.unpack("<I", data[value:value + 4])[0]
    raise ValueError("no strips")


def gif_image_descriptor(data):
    flags = data[10]
    pos = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
    while data[pos] != 0x2C:
        pos += 2
        while data[pos] != 0:
            pos += data[pos] + 1
        pos += 1
    return pos


def garble(data, start, length):
    out = bytearray(data)
    for i in range(start, min(start + length, len(out))):
        out[i] ^= 0x5A
    return bytes(out)


def main():
    fixtures, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)

    def src(path):
        with open(os.path.join(fixtures, path), "rb") as f:
            return f.read()

    files = {}
    # Anything.
    files["empty.png"] = b""
    files["text-named.jpg"] = b"This is not a picture.\n"
    files["html-named.png"] = b"<!DOCTYPE html>\n<html><body>Not found</body></html>\n"
    files["bmp-unsupported.bmp"] = (b"BM" + struct.pack("<IHHI", 70, 0, 0, 54) +
                                    struct.pack("<IiiHHII", 40, 2, 2, 1, 24, 0, 16) + bytes(32))

    # JPEG.
    rgb, tall, prog = src("jpeg/rgb.jpg"), src("jpeg/tall.jpg"), src("jpeg/progressive.jpg")
    files["jpeg-header-only.jpg"] = rgb[:40]
    files["jpeg-truncated-scan.jpg"] = tall[:len(tall) * 6 // 10]
    files["jpeg-progressive-truncated.jpg"] = prog[:len(prog) * 7 // 10]
    files["jpeg-no-image.jpg"] = b"\xff\xd8\xff\xd9"
    files["jpeg-zero-size.jpg"] = jpeg_with(rgb, width=0, height=0)
    files["jpeg-too-wide.jpg"] = jpeg_with(rgb, width=40000)
    files["jpeg-declares-20000x20000.jpg"] = jpeg_with(rgb, width=20000, height=20000)
    # A marker in the middle of the entropy-coded data; libjpeg-turbo cannot
    # see most other damage there (a bad Huffman code decodes as zero).
    scan = jpeg_scan_start(tall) + 200
    files["jpeg-marker-inside-scan.jpg"] = tall[:scan] + b"\xff\xd9" + tall[scan + 2:]
    files["jpeg-bad-marker-length.jpg"] = b"\xff\xd8\xff\xdb\x00\x01" + rgb[2:]
    files["jpeg-12-bit.jpg"] = jpeg_with(rgb, precision=12)

    # PNG.
    png, tallpng, inter, pal = src("png/rgb.png"), src("png/tall.png"), src("png/interlaced.png"), src("png/palette4-trns.png")
    files["png-signature-only.png"] = png[:8]
    files["png-truncated-idat.png"] = tallpng[:len(tallpng) // 2]
    bad_crc = bytearray(png)
    bad_crc[29] ^= 0xFF  # the IHDR CRC
    files["png-bad-ihdr-crc.png"] = bytes(bad_crc)
    files["png-zero-size.png"] = png_with_size(png, 0, 0)
    files["png-too-wide.png"] = png_with_size(png, 40000, 8)
    files["png-declares-20000x20000.png"] = png_with_size(png, 20000, 20000)
    chunks = png_chunks(png)
    files["png-corrupt-zlib.png"] = png_build([(k, garble(b, 2, 8) if k == b"IDAT" else b) for k, b in chunks])
    files["png-no-idat.png"] = png_build([(k, b) for k, b in chunks if k != b"IDAT"])
    files["png-missing-plte.png"] = png_build([(k, b) for k, b in png_chunks(pal) if k not in (b"PLTE", b"tRNS")])
    files["png-interlaced-truncated.png"] = inter[:len(inter) - 40]
    files["png-interlaced-declares-20000x20000.png"] = png_with_size(inter, 20000, 20000)

    # TIFF.
    tif, talltif, lzw = src("tiff/rgb.tif"), src("tiff/tall.tif"), src("tiff/lzw.tif")
    files["tiff-header-only.tif"] = tif[:8]
    files["tiff-truncated.tif"] = talltif[:len(talltif) * 6 // 10]
    files["tiff-strip-beyond-end.tif"] = tiff_patch(tif, 273, 10000000)
    files["tiff-zero-size.tif"] = tiff_patch(tiff_patch(tif, 256, 0), 257, 0)
    files["tiff-zero-width.tif"] = tiff_patch(tif, 256, 0)
    files["tiff-too-large.tif"] = tiff_patch(tif, 256, 40000)
    files["tiff-declares-20000x20000.tif"] = tiff_patch(tiff_patch(tiff_patch(tif, 256, 20000), 257, 20000), 278, 20000)
    files["tiff-bad-ifd-offset.tif"] = tif[:4] + struct.pack("<I", 0x7FFFFFF0) + tif[8:]
    files["tiff-corrupt-lzw.tif"] = garble(lzw, tiff_first_strip(lzw), 40)
    files["tiff-float-samples.tif"] = src("tiff/float.tif")

    # GIF.
    gif, tallgif = src("gif/simple.gif"), src("gif/tall.gif")
    files["gif-header-only.gif"] = gif[:9]
    files["gif-truncated.gif"] = tallgif[:len(tallgif) * 6 // 10]
    files["gif-zero-size.gif"] = gif[:6] + struct.pack("<HH", 0, 0) + gif[10:]
    files["gif-too-large.gif"] = gif[:6] + struct.pack("<HH", 40000, 8) + gif[10:]
    flags = gif[10]
    table_end = 13 + (3 * (2 << (flags & 7)) if flags & 0x80 else 0)
    files["gif-no-image.gif"] = gif[:table_end] + b";"
    d = gif_image_descriptor(tallgif)
    big = bytearray(tallgif)
    big[6:10] = struct.pack("<HH", 20000, 20000)
    big[d + 5:d + 9] = struct.pack("<HH", 20000, 20000)
    files["gif-declares-20000x20000.gif"] = bytes(big)
    inter_gif = bytearray(src("gif/interlaced.gif"))
    d = gif_image_descriptor(bytes(inter_gif))
    inter_gif[6:10] = struct.pack("<HH", 20000, 20000)
    inter_gif[d + 5:d + 9] = struct.pack("<HH", 20000, 20000)
    files["gif-interlaced-declares-20000x20000.gif"] = bytes(inter_gif)
    files["gif-corrupt-lzw.gif"] = garble(tallgif, gif_image_descriptor(tallgif) + 12, 30)

    # WebP.
    lossy, lossless = src("webp/lossy.webp"), src("webp/lossless.webp")
    files["webp-header-only.webp"] = lossy[:12]
    files["webp-truncated.webp"] = lossy[:len(lossy) * 6 // 10]
    files["webp-riff-size-too-big.webp"] = lossy[:4] + struct.pack("<I", len(lossy) + 1000) + lossy[8:]
    files["webp-corrupt-lossless.webp"] = garble(lossless, 25, 20)
    files["webp-unknown-chunk-only.webp"] = b"RIFF" + struct.pack("<I", 16) + b"WEBPXXXX" + struct.pack("<I", 4) + b"abcd"

    # PNM and PAM.
    ppm = src("pnm/raw.ppm")
    files["pnm-magic-only.ppm"] = b"P6\n"
    files["pnm-truncated.ppm"] = ppm[:-10]
    files["pnm-declares-20000x20000.pgm"] = b"P5 20000 20000 255\n" + bytes(100)
    files["pnm-zero-size.pgm"] = b"P5 0 0 255\n"
    files["pnm-too-wide.pbm"] = b"P4 40000 1\n" + bytes(5000)
    files["pnm-maxval-zero.pgm"] = b"P5 2 1 0\n\0\0"
    files["pnm-maxval-70000.pgm"] = b"P5 2 1 70000\n" + bytes(4)
    files["pnm-sample-over-maxval.pgm"] = b"P5 2 1 99\n\0\x64"
    files["pnm-plain-bad-number.pgm"] = b"P2 2 1 255\n1 x\n"
    files["pnm-plain-bit-not-binary.pbm"] = b"P1 2 1\n0 2\n"
    files["pnm-negative-width.pgm"] = b"P5 -3 2 255\n" + bytes(6)
    files["pam-no-endhdr.pam"] = b"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n"
    files["pam-depth-zero.pam"] = b"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 0\nMAXVAL 255\nENDHDR\n"
    files["pam-unknown-field.pam"] = b"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nCOLOUR blue\nENDHDR\n\0"
    files["pam-tupltype-mismatch.pam"] = b"P7\nWIDTH 1\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE RGB\nENDHDR\n\0"
    files["pam-missing-width.pam"] = b"P7\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nENDHDR\n\0"

    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    os.makedirs(os.path.join(out, "folder.tif"), exist_ok=True)
    with open(os.path.join(out, "folder.tif", "README"), "w") as f:
        f.write("A folder named like an image: opening it must say it is a folder.\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes tests/data/bad/: files that break the image readers, each named
after what it breaks, from the valid images gw_image_fixtures writes:

    build/gw_image_fixtures /tmp/fixtures
    tests/image/make_bad_corpus.py /tmp/fixtures tests/data/bad

The expected message of each file lives in tests/data/bad/expected-messages.txt
(kept by hand: the messages are the point of the corpus).

    tests/image/make_bad_corpus.py --seeds tests/fuzz/corpus

adds small hostile seeds to the fuzz corpora (a huge animated WebP canvas, a
GIF frame far larger than its screen, TIFF strips sharing one deflate block,
subsampled YCbCr TIFF, a progressive JPEG with hundreds of scans), and

    tests/image/make_bad_corpus.py --bombs DIR

writes them at full size, for measuring time and memory (cjpeg and jpegtran
make the JPEG), and

    tests/image/make_bad_corpus.py --samples tests/data

writes the small HEIF/HEIC, AVIF and JPEG XL files of tests/data/heif/ and
tests/data/jxl/ from synthetic PNGs (heif-enc and heif-convert from
libheif-examples, avifenc from libavif-bin, cjxl and djxl from
libjxl-tools), with the encoders' own decodings of the lossy ones as PNG.
The HEIF and JPEG XL files of the bad corpus are cut from those."""
import os
import struct
import sys
import tempfile
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


class Bits:
    def __init__(self): self.v = 0; self.n = 0
    def put(self, value, count):
        self.v |= value << self.n; self.n += count
    def bytes(self): return self.v.to_bytes((self.n + 7) // 8, 'little')

def vp8l_flat(width, height, argb=(255, 0, 0, 0)):
    a, r, g, b = argb
    bits = Bits()
    bits.put(0x2f, 8); bits.put(width - 1, 14); bits.put(height - 1, 14); bits.put(1, 1); bits.put(0, 3)
    bits.put(0, 1); bits.put(0, 1); bits.put(0, 1)
    for sym in (g, r, b, a, 0):
        bits.put(1, 1); bits.put(0, 1); bits.put(1, 1); bits.put(sym, 8)
    return bits.bytes()

def chunk(kind, body):
    return kind + struct.pack('<I', len(body)) + body + (b'\0' if len(body) & 1 else b'')

def riff(body): return b'RIFF' + struct.pack('<I', 4 + len(body)) + b'WEBP' + body

def u24(v): return struct.pack('<I', v)[:3]

def webp_animated(cw, ch, fw=1, fh=1, x=0, y=0):
    frame = chunk(b'VP8L', vp8l_flat(fw, fh))
    anmf = u24(x // 2) + u24(y // 2) + u24(fw - 1) + u24(fh - 1) + u24(100) + b'\0' + frame
    return riff(chunk(b'VP8X', bytes([0x12, 0, 0, 0]) + u24(cw - 1) + u24(ch - 1)) +
                chunk(b'ANIM', b'\0\0\0\0\0\0') + chunk(b'ANMF', anmf))

def webp_still(w, h): return riff(chunk(b'VP8L', vp8l_flat(w, h)))

def lzw_run(pixels, value=1, min_size=2):
    """GIF LZW codes for `pixels` copies of `value`: each new code is the last
    string and one more pixel, and once the table is full (4096 codes, no
    clear) its longest string over and over, about 2730 pixels a byte."""
    clear = 1 << min_size
    out, acc, nacc, size = bytearray(), 0, 0, min_size + 1
    def put(code):
        nonlocal acc, nacc
        acc |= code << nacc
        nacc += size
        while nacc >= 8:
            out.append(acc & 255)
            acc >>= 8
            nacc -= 8
    put(clear)
    put(value)
    left, nxt, length = pixels - 1, clear + 2, 1
    while left > 0:
        if nxt < 4096:
            code = nxt if length + 1 <= left else value
            length = length + 1 if code == nxt else 1
            nxt += 1
        else:
            code, length = (4095, 4095 - (clear + 2) + 2) if left >= 4095 - clear else (value, 1)
        put(code)
        left -= length
        if nxt >= (1 << size) and size < 12:
            size += 1
    put(clear + 1)
    if nacc:
        out.append(acc & 255)
    return bytes(out)


def gif_blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        part = data[i:i + 255]; out.append(len(part)); out += part
    return bytes(out) + b'\0'

def gif(sw, sh, fw, fh, interlaced=True, x=0, y=0):
    head = b'GIF89a' + struct.pack('<HHBBB', sw, sh, 0x80, 0, 0) + b'\0\0\0\xff\xff\xff'
    desc = b',' + struct.pack('<HHHHB', x, y, fw, fh, 0x40 if interlaced else 0)
    return head + desc + bytes([2]) + gif_blocks(lzw_run(fw * fh)) + b';'

def tiff(width, height, rows_per_strip, strips, photometric=2, samples=3, compression=8,
         orientation=1, subsampling=None, extra=()):
    """A little-endian TIFF, its directory first (as many writers put it), then
    the tag arrays, then the strips: `strips` holds each strip's bytes (the
    same object twice is stored once) or an (offset, count) pair."""
    tags = {256: (4, [width]), 257: (4, [height]), 258: (3, [8] * samples), 259: (3, [compression]),
            262: (3, [photometric]), 273: (4, [0] * len(strips)), 274: (3, [orientation]),
            277: (3, [samples]), 278: (4, [rows_per_strip]), 279: (4, [0] * len(strips)), 284: (3, [1])}
    if subsampling: tags[530] = (3, list(subsampling))
    for t, kind, values in extra: tags[t] = (kind, list(values))
    def packed(kind, values): return struct.pack('<%d%s' % (len(values), {3: 'H', 4: 'I'}[kind]), *values)
    data_at = 8 + 2 + 12 * len(tags) + 4
    def layout():
        blobs, at, placed = bytearray(), data_at, {}
        arrays = {}
        for t in sorted(tags):
            body = packed(*tags[t])
            if len(body) > 4:
                arrays[t] = at + len(blobs); blobs += body + (b'\0' if len(body) & 1 else b'')
        offsets, counts = [], []
        for s in strips:
            if isinstance(s, tuple): offsets.append(s[0]); counts.append(s[1]); continue
            if id(s) not in placed:
                placed[id(s)] = at + len(blobs); blobs += s + (b'\0' if len(s) & 1 else b'')
            offsets.append(placed[id(s)]); counts.append(len(s))
        return blobs, arrays, offsets, counts
    blobs, arrays, offsets, counts = layout()
    tags[273] = (4, offsets); tags[279] = (4, counts)
    blobs, arrays, _, _ = layout()
    ifd = struct.pack('<H', len(tags))
    for t in sorted(tags):
        kind, values = tags[t]; body = packed(kind, values)
        ifd += struct.pack('<HHI', t, kind, len(values))
        ifd += body.ljust(4, b'\0') if len(body) <= 4 else struct.pack('<I', arrays[t])
    return b'II*\0' + struct.pack('<I', 8) + ifd + b'\0\0\0\0' + bytes(blobs)

def tiff_shared_strip_bomb(side=32767, rows=16, orientation=6):
    block = zlib.compress(bytes(side * 3 * rows), 9)
    n = (side + rows - 1) // rows
    return tiff(side, side, rows, [block] * n, orientation=orientation)

def ycbcr420(width, height, rows_per_strip=4, compression=8):
    """A deflate YCbCr 4:2:0 TIFF, its strips of 2 x 2 blocks (Y00 Y01 Y10 Y11 Cb Cr)."""
    strips = []
    for top in range(0, height, rows_per_strip):
        raw = bytearray()
        for by in range(top, min(top + rows_per_strip, height), 2):
            for bx in range(0, width, 2):
                raw += bytes([(bx * 8 + by * 4 + k * 3) & 255 for k in range(4)]) + bytes([90 + bx, 160 - by])
        strips.append(zlib.compress(bytes(raw), 9) if compression == 8 else bytes(raw))
    return tiff(width, height, rows_per_strip, strips, photometric=6, compression=compression,
                subsampling=(2, 2))

def jpeg_segments(data):
    """(marker, bytes) of each segment; a scan's entropy-coded data stays with its SOS."""
    out, pos = [(0xD8, data[:2])], 2
    while pos < len(data):
        marker = data[pos + 1]
        if marker == 0xD9:
            out.append((marker, data[pos:pos + 2])); break
        length = int.from_bytes(data[pos + 2:pos + 4], 'big')
        end = pos + 2 + length
        if marker == 0xDA:
            while not (data[end] == 0xFF and data[end + 1] not in (0,) and not 0xD0 <= data[end + 1] <= 0xD7):
                end += 1
        out.append((marker, data[pos:end])); pos = end
    return out

def jpeg_many_scans(width, height, workdir, per_file=9):
    """A valid grey progressive JPEG with 1 + 63 * 11 = 694 scans (every AC
    coefficient in its own scans, a bit at a time from bit 10), spliced from
    jpegtran's outputs, since jpegtran writes at most 100 scans a file."""
    import subprocess
    pgm = os.path.join(workdir, 'scans.pgm')
    with open(pgm, 'wb') as f:
        f.write(b'P5 %d %d 255\n' % (width, height))
        for y in range(height):  # flat grey with a small pattern in the corner
            f.write(bytes((x * 16 + y * 8) & 255 if x < 32 and y < 32 else 128 for x in range(width)))
    base = subprocess.run(['cjpeg', '-grayscale', '-quality', '90', pgm], check=True, capture_output=True).stdout
    head, scans = [], []
    for first in range(1, 64, per_file):
        lines = ['0: 0 0 0 0;']
        for k in range(first, min(first + per_file, 64)):
            lines.append('0: %d %d 0 10;' % (k, k))
            lines += ['0: %d %d %d %d;' % (k, k, al + 1, al) for al in range(9, -1, -1)]
        script = os.path.join(workdir, 'scans.txt')
        with open(script, 'w') as f: f.write('\n'.join(lines) + '\n')
        out = subprocess.run(['jpegtran', '-scans', script], input=base, check=True, capture_output=True).stdout
        segs = jpeg_segments(out)
        body = [s for s in segs if s[0] not in (0xD8, 0xD9)]
        first_scan = next(i for i, s in enumerate(body) if s[0] in (0xC4, 0xDA))
        if not head: head = body[:first_scan]
        groups, current = [], []
        for m, b in body[first_scan:]:
            current.append(b)
            if m == 0xDA: groups.append(b''.join(current)); current = []
        scans += groups if not scans else groups[1:]
    return b'\xff\xd8' + b''.join(b for m, b in head) + b''.join(scans) + b'\xff\xd9'


def png_image(width, height, channels, pixel, depth=8, exif=None, frames=1):
    """A PNG of pixel(x, y, c, frame); with frames > 1 an APNG."""
    kind = {1: 0, 2: 4, 3: 2, 4: 6}[channels]
    def raw(frame):
        out = bytearray()
        for y in range(height):
            out.append(0)
            for x in range(width):
                for c in range(channels):
                    v = pixel(x, y, c, frame)
                    out += struct.pack(">H", v) if depth == 16 else bytes([v])
        return zlib.compress(bytes(out), 9)
    chunks = [(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, kind, 0, 0, 0))]
    if exif is not None:
        chunks.append((b"eXIf", exif))
    if frames == 1:
        chunks.append((b"IDAT", raw(0)))
    else:
        chunks.append((b"acTL", struct.pack(">II", frames, 0)))
        seq = 0
        for f in range(frames):
            chunks.append((b"fcTL", struct.pack(">IIIIIHHBB", seq, width, height, 0, 0, 1, 10, 0, 0)))
            seq += 1
            if f == 0:
                chunks.append((b"IDAT", raw(0)))
            else:
                chunks.append((b"fdAT", struct.pack(">I", seq) + raw(f)))
                seq += 1
    chunks.append((b"IEND", b""))
    return png_build(chunks)


def exif_orientation(value):
    """A big-endian EXIF block (TIFF header, one IFD) of one orientation tag."""
    return (b"MM\0*" + struct.pack(">IH", 8, 1) + struct.pack(">HHIHH", 0x112, 3, 1, value, 0) +
            b"\0\0\0\0")


def icc_profile():
    """An ICC v2 RGB profile with sRGB's colorants and a tone curve given as
    a table (v / 2 + v^2 / 2), which no JPEG XL colour description matches,
    so that cjxl keeps the profile itself."""
    def tag(kind, body): return kind + bytes(4) + body
    def xyz(x, y, z): return tag(b"XYZ ", struct.pack(">3i", *(round(v * 65536) for v in (x, y, z))))
    curve = tag(b"curv", struct.pack(">I", 256) +
                b"".join(struct.pack(">H", round(65535 * (v / 255 / 2 + (v / 255) ** 2 / 2))) for v in range(256)))
    text = b"table curve\0"
    tags = [(b"desc", tag(b"desc", struct.pack(">I", len(text)) + text + bytes(4 + 2 + 1 + 67))),
            (b"cprt", tag(b"text", b"none\0")),
            (b"wtpt", xyz(0.9642, 1.0, 0.8249)),
            (b"rXYZ", xyz(0.4361, 0.2225, 0.0139)), (b"gXYZ", xyz(0.3851, 0.7169, 0.0971)),
            (b"bXYZ", xyz(0.1431, 0.0606, 0.7141)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve)]
    at, table, bodies = 128 + 4 + 12 * len(tags), b"", b""
    for kind, body in tags:
        body += bytes(-len(body) % 4)
        table += kind + struct.pack(">II", at + len(bodies), len(body))
        bodies += body
    size = at + len(bodies)
    header = (struct.pack(">I4sI4s4s4s", size, b"none", 0x02100000, b"mntr", b"RGB ", b"XYZ ") + bytes(12) +
              b"acsp" + bytes(24) + struct.pack(">I3i", 0, *(round(v * 65536) for v in (0.9642, 1.0, 0.8249))) +
              bytes(48))
    return header + struct.pack(">I", len(tags)) + table + bodies


def samples(data):
    """tests/data/heif/ and tests/data/jxl/: each encoded file beside the PNG
    it was made from (lossless) or the encoder's own decoding (lossy)."""
    import subprocess
    def run(*args):
        subprocess.run(args, check=True, capture_output=True)
    heif, jxl = os.path.join(data, "heif"), os.path.join(data, "jxl")
    os.makedirs(heif, exist_ok=True)
    os.makedirs(jxl, exist_ok=True)
    def rgb(x, y, c, f=0): return (x * 10 + y * 7 * (c + 1) + c * 80 + f * 60) & 255
    def gray(x, y, c, f=0): return (x * 11 + y * 5) & 255
    def rgba(x, y, c, f=0): return (x * 10 + y * 15) & 255 if c == 3 else (x * 9 + y * 3 * (c + 2)) & 255
    def v10(x, y, c): return (x * 41 + y * 67 * (c + 1) + c * 300) % 1024
    sources = {
        "rgb.png": png_image(24, 16, 3, rgb),
        "gray.png": png_image(24, 16, 1, gray),
        "rgba.png": png_image(24, 16, 4, rgba),
        # 10-bit values, their bits repeated to 16: avifenc keeps them exactly.
        "rgb-10-bit.png": png_image(24, 16, 3, lambda x, y, c, f: v10(x, y, c) << 6 | v10(x, y, c) >> 4, 16),
        "rgb-16-bit.png": png_image(24, 16, 3, lambda x, y, c, f: (x * 2741 + y * 977 * (c + 1) + c * 20000) & 65535, 16),
        "rgb-exif-6.png": png_image(24, 16, 3, rgb, exif=exif_orientation(6)),
        # Blocks of 16 x 16, which lossless AV1 codes small.
        "grid.png": png_image(128, 128, 3, lambda x, y, c, f: (x // 16 * 40 + y // 16 * 25 * (c + 1) + c * 60) & 255),
        "animated.png": png_image(24, 16, 3, rgb, frames=2),
        # Sizes x265 pads: coded 104 x 80, cropped by the conformance window.
        "odd.png": png_image(101, 75, 3, rgb),
        "frame-1.png": png_image(100, 60, 3, rgb),
        "frame-2.png": png_image(100, 60, 3, lambda x, y, c, f: rgb(x, y, c, 1)),
    }
    # The same pixels tagged with a profile of their own.
    chunks = png_chunks(sources["rgb.png"])
    sources["rgb-icc.png"] = png_build(chunks[:1] + [(b"iCCP", b"table\0\0" + zlib.compress(icc_profile()))] + chunks[1:])
    work = tempfile.mkdtemp()
    for name, body in sources.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(body)
    exif6 = os.path.join(work, "exif-6.bin")
    with open(exif6, "wb") as f:
        f.write(exif_orientation(6))
    src = lambda name: os.path.join(work, name)
    for name in ("rgb.png", "gray.png", "rgba.png", "rgb-10-bit.png", "rgb-16-bit.png", "rgb-exif-6.png"):
        with open(os.path.join(data, "heif" if name == "rgb-10-bit.png" else "jxl", name), "wb") as f:
            f.write(sources[name])
    for name in ("rgb.png", "gray.png", "rgba.png", "grid.png"):
        with open(os.path.join(heif, name), "wb") as f:
            f.write(sources[name])
    # Lossless AVIF: RGB coded as is (identity matrix), grey as 4:0:0.
    run("avifenc", "-l", src("rgb.png"), os.path.join(heif, "lossless-rgb.avif"))
    run("avifenc", "-l", "--yuv", "400", src("gray.png"), os.path.join(heif, "lossless-gray.avif"))
    run("avifenc", "-l", src("rgba.png"), os.path.join(heif, "lossless-rgba.avif"))
    run("avifenc", "-l", "-d", "10", src("rgb-10-bit.png"), os.path.join(heif, "lossless-10-bit.avif"))
    # A grid of 2 x 2 tiles of 64 x 64, as cameras write larger images.
    run("avifenc", "-l", "-g", "2x2", src("grid.png"), os.path.join(heif, "lossless-grid-2x2.avif"))
    # Turned a quarter anticlockwise by irot; an EXIF orientation 6 beside it
    # must not turn it again.
    run("avifenc", "-l", "--irot", "1", "--exif", exif6, src("rgb.png"), os.path.join(heif, "irot-1-exif-6.avif"))
    # Lossy, with the encoders' own decodings.
    run("heif-enc", "-q", "50", src("rgb.png"), "-o", os.path.join(heif, "lossy.heic"))
    run("heif-enc", "-q", "50", src("rgba.png"), "-o", os.path.join(heif, "lossy-alpha.heic"))
    run("heif-enc", "-q", "50", src("odd.png"), "-o", os.path.join(heif, "odd-101x75.heic"))
    # An image sequence: its primary item's sequence header lets frames give
    # their own size, where a still image's (reduced) header does not.
    run("avifenc", "-s", "10", src("frame-1.png"), src("frame-2.png"), os.path.join(heif, "animated.avif"))
    run("avifenc", "-s", "8", src("rgb.png"), os.path.join(heif, "lossy.avif"))
    for name in ("lossy.heic", "lossy-alpha.heic", "lossy.avif"):
        run("heif-convert", "--quiet", os.path.join(heif, name), os.path.join(heif, name + ".png"))
    # JPEG XL: lossless, the orientation from the PNG's EXIF into the header,
    # an animation, lossy with djxl's decoding.
    for name in ("rgb", "gray", "rgba", "rgb-16-bit", "rgb-exif-6"):
        run("cjxl", "-d", "0", src(name + ".png"), os.path.join(jxl, "lossless-%s.jxl" % name))
    os.rename(os.path.join(jxl, "lossless-rgb-exif-6.jxl"), os.path.join(jxl, "orientation-6.jxl"))
    run("cjxl", "-d", "0", src("animated.png"), os.path.join(jxl, "animated.jxl"))
    run("cjxl", "-d", "1", src("rgb.png"), os.path.join(jxl, "lossy.jxl"))
    run("cjxl", "-d", "1", src("rgba.png"), os.path.join(jxl, "lossy-alpha.jxl"))
    for name in ("lossy.jxl", "lossy-alpha.jxl"):
        run("djxl", os.path.join(jxl, name), os.path.join(jxl, name + ".png"))
    # Lossy (XYB) with the profile kept: decoded to sRGB.
    run("cjxl", "-d", "1", src("rgb-icc.png"), os.path.join(jxl, "lossy-icc.jxl"))
    run("djxl", os.path.join(jxl, "lossy-icc.jxl"), os.path.join(jxl, "lossy-icc.jxl.png"),
        "--color_space=RGB_D65_SRG_Rel_SRG")


def iso_boxes(data):
    """(type, offset, size) of the top-level boxes of an ISO media file."""
    at, out = 0, []
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        if size < 8:
            break
        out.append((kind, at, size))
        at += size
    return out


def heif_with_size(data, width, height):
    """Every ispe property (the image sizes) set to width x height."""
    out, at = bytearray(data), 0
    while (at := out.find(b"ispe", at)) >= 0:
        out[at + 8:at + 16] = struct.pack(">II", width, height)
        at += 4
    return bytes(out)


def heif_repeating_extents(data, copies):
    """The first item's one extent named `copies` times in its iloc entry
    (version 1, 4-byte fields, as heif-enc writes it), so that its data is
    many times the file's size; the offsets after the growth moved on."""
    meta = next(at for kind, at, size in iso_boxes(data) if kind == b"meta")
    iloc = data.index(b"iloc", meta) - 4
    assert data[iloc + 8:iloc + 14] == bytes([1, 0, 0, 0, 0x44, 0x40])
    entry = iloc + 16
    base, count = struct.unpack(">IH", data[entry + 6:entry + 12])
    assert count == 1
    extent = data[entry + 12:entry + 20]
    grown = (copies - 1) * len(extent)
    out = bytearray(data[:entry + 20] + extent * (copies - 1) + data[entry + 20:])
    out[entry + 6:entry + 12] = struct.pack(">IH", base + grown, copies)
    for at in (meta, iloc):
        out[at:at + 4] = struct.pack(">I", struct.unpack(">I", out[at:at + 4])[0] + grown)
    return bytes(out)


def jxl_header(width, height):
    """A JPEG XL codestream that ends after its size header and default
    metadata: its bits, least significant first."""
    bits = Bits()
    def u32(value):
        for selector, width_bits in enumerate((9, 13, 18, 30)):
            if value - 1 < 1 << width_bits:
                bits.put(selector, 2)
                bits.put(value - 1, width_bits)
                return
    bits.put(0xFF, 8); bits.put(0x0A, 8)
    bits.put(0, 1)  # not a small size
    u32(height)
    bits.put(0, 3)  # no ratio: the width follows
    u32(width)
    bits.put(1, 1)  # all metadata default
    return bits.bytes()


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

    # YCbCr 4:2:0 through libtiff's RGBA interface (its directory first, so
    # that cutting the file cuts strips), and JPEG-in-TIFF cut short: both
    # once decoded to garbage without complaint.
    ycc = ycbcr420(64, 48, rows_per_strip=8)
    files["tiff-ycbcr-truncated-strip.tif"] = ycc[:len(ycc) * 2 // 3]
    strips = [zlib.compress(bytes(64 * 8 * 3 // 2), 9)] * 6
    strips[3] = b"not deflate data at all" * 4
    files["tiff-ycbcr-strip-not-deflate.tif"] = tiff(64, 48, 8, strips, photometric=6, subsampling=(2, 2))
    strips[3] = (len(strips[0]) * 50, 400)
    files["tiff-ycbcr-strip-past-the-end.tif"] = tiff(64, 48, 8, strips, photometric=6, subsampling=(2, 2))
    jpeg_tif = src("tiff/jpeg-ycbcr.tif")
    files["tiff-jpeg-strip-cut-short.tif"] = tiff_patch(jpeg_tif, 279, 150)

    # A progressive JPEG with far more scans than encoders write.
    files["jpeg-694-scans.jpg"] = jpeg_many_scans(8, 8, tempfile.mkdtemp())

    # WebP.
    lossy, lossless = src("webp/lossy.webp"), src("webp/lossless.webp")
    files["webp-header-only.webp"] = lossy[:12]
    files["webp-truncated.webp"] = lossy[:len(lossy) * 6 // 10]
    files["webp-riff-size-too-big.webp"] = lossy[:4] + struct.pack("<I", len(lossy) + 1000) + lossy[8:]
    files["webp-corrupt-lossless.webp"] = garble(lossless, 25, 20)
    files["webp-unknown-chunk-only.webp"] = b"RIFF" + struct.pack("<I", 16) + b"WEBPXXXX" + struct.pack("<I", 4) + b"abcd"

    # HEIF/HEIC, AVIF and JPEG XL, from the committed samples.
    data = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
    def sample(path):
        with open(os.path.join(data, path), "rb") as f:
            return f.read()
    heic, avif, jxl = sample("heif/lossy.heic"), sample("heif/lossy.avif"), sample("jxl/lossy.jxl")
    mdat = next(at for kind, at, size in iso_boxes(heic) if kind == b"mdat")
    files["heif-header-only.heic"] = heic[:40]
    files["heif-truncated.heic"] = heic[:mdat + 100]
    files["heif-no-meta.heic"] = b"".join(heic[at:at + size] for kind, at, size in iso_boxes(heic) if kind != b"meta")
    files["heif-zero-size.heic"] = heif_with_size(heic, 0, 0)
    files["heif-too-large.heic"] = heif_with_size(heic, 40000, 16)
    files["heif-declares-20000x20000.heic"] = heif_with_size(heic, 20000, 20000)
    files["heif-unknown-item-type.heic"] = heic.replace(b"hvc1", b"vvc1")
    files["heif-item-repeats-its-data.heic"] = heif_repeating_extents(heic, 32)
    files["iso-media-video.mp4"] = (struct.pack(">I4s4sI4s4s", 24, b"ftyp", b"isom", 512, b"isom", b"mp41") +
                                    struct.pack(">I4s", 16, b"mdat") + bytes(8))
    mdat = next(at for kind, at, size in iso_boxes(avif) if kind == b"mdat")
    files["avif-truncated.avif"] = avif[:mdat + 100]
    files["avif-corrupt-av1.avif"] = garble(avif, mdat + 12, 28)
    # A grid that names itself as its first tile.
    grid = sample("heif/lossless-grid-2x2.avif")
    dimg = grid.index(b"dimg")
    files["avif-grid-refers-to-itself.avif"] = (grid[:dimg + 8] + grid[dimg + 4:dimg + 6] +
                                                grid[dimg + 10:])
    # Brands libheif does not take (its message has its own prefixes); its
    # major brand, heix, names it HEIF where HEIF is not read at all.
    ftyp = avif.index(b"ftyp") - 4
    brands = avif[ftyp + 8:ftyp + struct.unpack(">I", avif[ftyp:ftyp + 4])[0]]
    kept = b"heix" + brands[4:8] + b"".join(b"zzzz" for _ in range(8, len(brands), 4))
    files["heif-no-brand-libheif-reads.avif"] = avif[:ftyp + 8] + kept + avif[ftyp + 8 + len(brands):]
    files.update(lying())
    files["jxl-header-only.jxl"] = jxl[:8]
    files["jxl-truncated.jxl"] = jxl[:len(jxl) * 6 // 10]
    files["jxl-corrupt.jxl"] = garble(jxl, len(jxl) // 2, 16)
    files["jxl-too-large.jxl"] = jxl_header(40000, 16)
    files["jxl-declares-20000x20000.jxl"] = jxl_header(20000, 20000)

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


def lying():
    """Small files whose header (ispe) gives a small image but whose codec
    headers say a large one: flat images, which encode to a few KB. The
    16384 x 16384 AVIF takes avifenc about 30 s and 4 GB."""
    import subprocess
    work = tempfile.mkdtemp()
    def flat(name, width, height):
        row = b"\0" + bytes([100, 150, 200]) * width
        body = zlib.compressobj(6)
        data = b"".join(body.compress(row) for _ in range(height)) + body.flush()
        with open(os.path.join(work, name), "wb") as f:
            f.write(png_build([(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)),
                               (b"IDAT", data), (b"IEND", b"")]))
        return os.path.join(work, name)
    def made(*args):
        subprocess.run(args, check=True, capture_output=True)
        with open(args[-1], "rb") as f:
            return f.read()
    avif = made("avifenc", "-s", "10", "-y", "420", "--min", "63", "--max", "63",
                flat("wide.png", 16384, 16384), os.path.join(work, "wide.avif"))
    heic = made("heif-enc", "-q", "10", flat("photo.png", 4000, 3000), "-o", os.path.join(work, "photo.heic"))
    return {"avif-lying-16384x16384.avif": heif_with_size(avif, 64, 64),
            "heif-lying-4000x3000.heic": heif_with_size(heic, 64, 48)}


def seeds(corpus):
    """Small hostile inputs for the fuzz corpora."""
    work = tempfile.mkdtemp()
    out = {
        "image_webp/hostile-animated-canvas-32767.webp": webp_animated(32767, 32767),
        "image_webp/hostile-animated-frame-on-canvas.webp": webp_animated(6, 5, 2, 2, 2, 2),
        "image_webp/hostile-lossless-4000x4000.webp": webp_still(4000, 4000),
        "image_gif/hostile-frame-4096-on-1x1-screen.gif": gif(1, 1, 4096, 4096, True),
        "image_gif/hostile-frame-larger-than-screen.gif": gif(20, 10, 40, 30, True, 3, 2),
        "image_tiff/hostile-strips-share-one-block-turned.tif": tiff_shared_strip_bomb(4096, 16, 6),
        "image_tiff/hostile-ycbcr-420-deflate.tif": ycbcr420(32, 24, rows_per_strip=8),
        "image_tiff/hostile-ycbcr-420-raw.tif": ycbcr420(16, 8, rows_per_strip=4, compression=1),
        "image_jpeg/hostile-694-scans.jpg": jpeg_many_scans(8, 8, work),
    }
    for name, data in out.items():
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)


def bombs(folder):
    """The hostile inputs at full size."""
    os.makedirs(folder, exist_ok=True)
    out = {
        "webp-animated-canvas-32767.webp": webp_animated(32767, 32767),
        "gif-frame-65535-on-1x1-screen.gif": gif(1, 1, 65535, 65535, True),
        "tiff-strips-share-one-block-orientation-6.tif": tiff_shared_strip_bomb(),
        "jpeg-8192x8192-694-scans.jpg": jpeg_many_scans(8192, 8192, folder),
    }
    for name, data in out.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    if sys.argv[1] == "--seeds":
        seeds(sys.argv[2])
    elif sys.argv[1] == "--bombs":
        bombs(sys.argv[2])
    elif sys.argv[1] == "--samples":
        samples(sys.argv[2])
    else:
        main()

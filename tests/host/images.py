"""Small image writers and the text the plug-in must make of an image, for
the end-to-end tests of the glyphweave host."""
import struct
import zlib

# The ramp as runs of characters, from white to black.
RUNS = [(' ', 9), ('`', 12), ('.', 6), ('-', 4), ("'", 7), (',', 8), (':', 8), ('=', 8),
        ('!', 9), ('+', 8), ('i', 6), ('?', 6), ('[', 1), ('(', 8), ('7', 4), ('*', 4),
        ('{', 4), ('2', 4), ('J', 4), ('3', 4), ('u', 4), ('5', 4), ('n', 4), ('%', 5),
        ('y', 4), ('6', 6), ('$', 6), ('&', 4), ('0', 4), ('8', 4), ('A', 5), ('G', 4),
        ('U', 4), ('K', 4), ('#', 4), ('Q', 6), ('m', 6), ('H', 15), ('W', 14), ('N', 8),
        ('@', 42)]
RAMP = ''.join(c * n for c, n in RUNS).encode('ascii')
assert len(RAMP) == 281
# bytes.translate table: sample -> character.
TABLE = bytes(RAMP[255 - s] for s in range(256))


def text_of(rows, columns, planes, samples):
    """The exact file the plug-in writes for these interleaved samples."""
    width = columns * planes
    out = bytearray()
    for r in range(rows):
        out += bytes(samples[r * width:(r + 1) * width]).translate(TABLE) + b'\n'
    return bytes(out)


def write_pnm(path, kind, width, height, samples, maxval=255):
    """P5 (grey) or P6 (RGB) with 8-bit samples."""
    with open(path, 'wb') as f:
        f.write(b'%s\n%d %d\n%d\n' % (kind.encode(), width, height, maxval))
        f.write(bytes(samples))


def write_pam(path, width, height, depth, tupltype, samples):
    with open(path, 'wb') as f:
        f.write(b'P7\nWIDTH %d\nHEIGHT %d\nDEPTH %d\nMAXVAL 255\nTUPLTYPE %s\nENDHDR\n'
                % (width, height, depth, tupltype.encode()))
        f.write(bytes(samples))


def write_png(path, width, height, colour_type, samples, palette=None):
    """8-bit PNG: colour type 0 grey, 2 RGB, 3 palette, 6 RGBA."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour_type]
    stride = width * channels
    raw = b''.join(b'\x00' + bytes(samples[y * stride:(y + 1) * stride]) for y in range(height))

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    data = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8,
                                                             colour_type, 0, 0, 0))
    if palette is not None:
        data += chunk(b'PLTE', bytes(c for rgb in palette for c in rgb))
    data += chunk(b'IDAT', zlib.compress(raw, 6)) + chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(data)


def pattern(n, seed=1):
    """Deterministic pseudo-random samples."""
    import random
    return random.Random(seed).randbytes(n)

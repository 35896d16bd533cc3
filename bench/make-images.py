#!/usr/bin/env python3
"""Writes test images for the host benchmark without holding them in
memory: a PPM (or PGM) to standard output for cjpeg, a non-interlaced PNG,
or a batch of small PNGs, each a little different.

  make-images.py ppm WIDTH HEIGHT > image.ppm
  make-images.py png WIDTH HEIGHT image.png
  make-images.py batch WIDTH HEIGHT COUNT FOLDER     (FOLDER/0000.png ...)
"""
import os
import struct
import sys
import zlib


def rows(width, height, channels, phase=0):
    # A smooth pattern with some texture, so that the encoders do real work.
    base = bytes(((x * 255 // max(1, width - 1)) + phase) & 0xFF for x in range(width))
    for y in range(height):
        shift = (y * 7) % width
        line = base[shift:] + base[:shift]
        if channels == 1:
            yield line
        else:
            g = bytes(((b + y) & 0xFF) for b in line[::max(1, width // 256)][:256]) * (width // 256 + 1)
            yield bytes(v for triple in zip(line, g[:width], line[::-1]) for v in triple)


def ppm(width, height, channels):
    out = sys.stdout.buffer
    out.write(b'%s\n%d %d\n255\n' % (b'P6' if channels == 3 else b'P5', width, height))
    for row in rows(width, height, channels):
        out.write(row)


def png(width, height, channels, path, phase=0):
    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n')
        f.write(chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2 if channels == 3 else 0, 0, 0, 0)))
        z = zlib.compressobj(1)
        pending = []
        size = 0
        for row in rows(width, height, channels, phase):
            pending.append(z.compress(b'\x00' + row))
            size += len(pending[-1])
            if size > (8 << 20):
                f.write(chunk(b'IDAT', b''.join(pending)))
                pending, size = [], 0
        pending.append(z.flush())
        f.write(chunk(b'IDAT', b''.join(pending)))
        f.write(chunk(b'IEND', b''))


def batch(width, height, count, folder):
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        png(width, height, 3, os.path.join(folder, '%04d.png' % i), phase=i)


if __name__ == '__main__':
    kind, width, height = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    if kind == 'batch':
        batch(width, height, int(sys.argv[4]), sys.argv[5])
        sys.exit(0)
    channels = 1 if kind.startswith('gray') else 3
    if kind.endswith('ppm'):
        ppm(width, height, channels)
    else:
        png(width, height, channels, sys.argv[4])

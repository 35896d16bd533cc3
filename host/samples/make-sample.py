#!/usr/bin/env python3
"""Draws the bundled sample image, a lit sphere over a soft gradient, as an
8-bit greyscale PNG. Text characters are about twice as tall as wide, so the
sphere is drawn twice as wide as tall to look round as text."""
import math
import struct
import sys
import zlib

W, H = 96, 40


def sample(x, y):
    # Background: a diagonal gradient with faint rings.
    bg = 200 + 40 * (x / W) - 30 * (y / H) + 6 * math.sin((x * 0.5 + y) * 0.35)
    cx, cy, rx, ry = W * 0.5, H * 0.5, W * 0.33, H * 0.42
    dx, dy = (x - cx) / rx, (y - cy) / ry
    d2 = dx * dx + dy * dy
    if d2 <= 1.0:
        dz = math.sqrt(1.0 - d2)
        # Light from the upper left, a little in front.
        lx, ly, lz = -0.55, -0.6, 0.58
        lambert = max(0.0, dx * lx + dy * ly + dz * lz)
        rz = 2 * (dx * lx + dy * ly + dz * lz) * dz - lz
        highlight = max(0.0, rz) ** 24
        value = 18 + 200 * lambert + 60 * highlight
        # Soft edge against the background.
        edge = min(1.0, (1.0 - d2) * 12)
        return value * edge + bg * (1 - edge)
    # A shadow below the sphere.
    sx, sy = (x - cx - 6) / (rx * 1.1), (y - cy - ry * 0.95) / (ry * 0.25)
    s2 = sx * sx + sy * sy
    if s2 < 1.0:
        bg -= 70 * (1.0 - s2)
    return bg


def png(path):
    rows = b"".join(
        b"\x00" + bytes(max(0, min(255, int(round(sample(x, y))))) for x in range(W))
        for y in range(H))
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", W, H, 8, 0, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


if __name__ == "__main__":
    png(sys.argv[1] if len(sys.argv) > 1 else "sphere.png")

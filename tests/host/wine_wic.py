"""The Windows glyphweave.exe reads JPEG, PNG, GIF and TIFF through the
Windows Imaging Component. Run under Wine against the native host of the
same tree:
  - every layout of grey, RGB, palette (1 to 8 bits, with and without
    transparency), grey and RGB with alpha and 16-bit PNGs, and the native
    build's own JPEG, PNG, GIF and TIFF fixtures, give exactly the native
    text, in the image's own mode, as indices and as stored channels;
  - sizes the plug-in cannot carry, files too small for what they declare,
    JPEGs of too many scans, damaged PNG headers and images beyond
    --max-memory are refused before WIC decodes them, with the native
    messages;
  - --help says what the Windows build lacks.

  wine_wic.py NATIVE_BUILD_DIR WINDOWS_GLYPHWEAVE WINE_RUN SOURCE_DIR

Exits 77 (skipped) without the native build."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import images  # noqa: E402

SKIP = 77


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def png(path, width, height, depth, colour, samples, palette=None, trns=None):
    """Any PNG layout: `samples` one value per channel, packed to `depth` bits."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    raw = bytearray()
    per_row = width * channels
    for y in range(height):
        row = samples[y * per_row:(y + 1) * per_row]
        raw.append(0)
        if depth == 16:
            for v in row:
                raw += struct.pack('>H', v)
        elif depth == 8:
            raw += bytes(row)
        else:
            bits = 0
            count = 0
            packed = bytearray()
            for v in row:
                bits = (bits << depth) | v
                count += depth
                if count == 8:
                    packed.append(bits)
                    bits = count = 0
            if count:
                packed.append(bits << (8 - count))
            raw += packed

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)

    data = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, depth, colour, 0, 0, 0))
    if palette is not None:
        data += chunk(b'PLTE', bytes(c for rgb in palette for c in rgb))
    if trns is not None:
        data += chunk(b'tRNS', trns)
    data += chunk(b'IDAT', zlib.compress(bytes(raw), 6)) + chunk(b'IEND', b'')
    with open(path, 'wb') as f:
        f.write(data)


def tiff(path, width, height, samples):
    """An uncompressed 8-bit RGB TIFF in one strip: header, pixels, the three
    bits per sample, then the directory."""
    pixels = bytes(samples)
    bits_at = 8 + len(pixels)
    ifd_at = bits_at + 6
    short, long = 3, 4
    entries = [(256, short, 1, width), (257, short, 1, height), (258, short, 3, bits_at), (259, short, 1, 1),
               (262, short, 1, 2), (273, long, 1, 8), (277, short, 1, 3), (278, short, 1, height),
               (279, long, 1, len(pixels))]
    out = b'II*\x00' + struct.pack('<I', ifd_at) + pixels + struct.pack('<HHH', 8, 8, 8)
    out += struct.pack('<H', len(entries))
    for tag, kind, count, value in entries:
        inline = kind == short and count == 1
        out += struct.pack('<HHI', tag, kind, count) + struct.pack('<HH' if inline else '<I',
                                                                   *((value, 0) if inline else (value,)))
    out += struct.pack('<I', 0)
    with open(path, 'wb') as f:
        f.write(out)


def made_pngs(folder):
    """name -> path of the PNG layouts the readers must agree on."""
    w, h = 29, 11
    made = {}

    def add(name, *args, **kwargs):
        made[name] = os.path.join(folder, name + '.png')
        png(made[name], w, h, *args, **kwargs)

    noise = images.pattern(w * h * 4, 7)
    add('grey8', 8, 0, images.pattern(w * h, 1))
    add('rgb8', 8, 2, images.pattern(w * h * 3, 2))
    add('rgba8', 8, 6, noise)
    add('grey-alpha8', 8, 4, images.pattern(w * h * 2, 3))
    wide = [(a << 8) | b for a, b in zip(noise, images.pattern(w * h * 4, 8))]
    add('grey16', 16, 0, wide[:w * h])
    add('rgb16', 16, 2, wide[:w * h * 3])
    add('rgba16', 16, 6, wide)
    for depth in (1, 2, 4):
        add('grey%d' % depth, depth, 0, [v % (1 << depth) for v in noise[:w * h]])
    # A transparent grey of middle brightness, so that white in its place shows.
    add('grey-trns', 8, 0, [v % 128 + 64 for v in noise[:w * h]], trns=struct.pack('>H', noise[5] % 128 + 64))
    add('grey4-trns', 4, 0, [v % 16 for v in noise[:w * h]], trns=struct.pack('>H', noise[5] % 16))
    add('grey16-trns', 16, 0, wide[:w * h], trns=struct.pack('>H', wide[5]))
    for depth in (1, 2, 4, 8):
        entries = min(1 << depth, 200)
        palette = [(i * 53 % 256, i * 101 % 256, i * 29 % 256) for i in range(entries)]
        indices = [v % entries for v in noise[:w * h]]
        add('palette%d' % depth, depth, 3, indices, palette=palette)
        alphas = bytes((i * 97) % 256 for i in range(entries))
        add('palette%d-trns' % depth, depth, 3, indices, palette=palette, trns=alphas)
    return made


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **kwargs)


def main():
    build, windows, wine_run, source = sys.argv[1:5]
    native = os.path.join(build, 'glyphweave')
    fixtures_tool = os.path.join(build, 'gw_image_fixtures')
    for path in (native, fixtures_tool):
        if not os.access(path, os.X_OK):
            print('skipped: no native build (%s)' % path)
            return SKIP
    work = tempfile.mkdtemp(prefix='gw-wic-')
    faults = []
    try:
        inputs = os.path.join(work, 'in')
        os.mkdir(inputs)
        made_pngs(inputs)
        fixtures = os.path.join(work, 'fixtures')
        subprocess.run([fixtures_tool, fixtures], check=True, timeout=60)
        # Wine's TIFF decoder reads neither separate planes, YCbCr nor CIELab
        # (Windows' reads some); floating point is refused by both builds.
        unread = {'separate.tif', 'jpeg-ycbcr.tif', 'ycbcr-rgba.tif', 'lab.tif', 'float.tif'}
        for kind in ('jpeg', 'png', 'gif', 'tiff'):
            for name in sorted(os.listdir(os.path.join(fixtures, kind))):
                if name not in unread:
                    shutil.copy(os.path.join(fixtures, kind, name), os.path.join(inputs, kind + '-' + name))
        names = sorted(os.listdir(inputs))
        paths = [os.path.join(inputs, n) for n in names]
        for mode in ([], ['--mode', 'indexed'], ['--mode', 'multichannel'], ['--keep-alpha']):
            label = ' '.join(mode) or 'own mode'
            out = {}
            for side in ('native', 'windows'):
                out[side] = os.path.join(work, side + str(len(label)))
                os.mkdir(out[side])
            a = run([native, '-q', *mode, '-o', out['native'] + '/', *paths])
            b = run([wine_run, windows, '-q', *mode, '-o', windows_path(out['windows']) + '\\',
                     *[windows_path(p) for p in paths]])
            if a.returncode != 0 or b.returncode != 0:
                faults.append('%s: native %d, Windows %d:\n%s%s' % (label, a.returncode, b.returncode, a.stderr,
                                                                    b.stderr))
                continue
            for name in names:
                text = os.path.splitext(name)[0] + '.txt'
                with open(os.path.join(out['native'], text), 'rb') as f:
                    left = f.read()
                right_path = os.path.join(out['windows'], text)
                right = open(right_path, 'rb').read() if os.path.isfile(right_path) else b''
                if not left or left != right:
                    faults.append('%s, %s: the Windows text differs (%d against %d bytes)'
                                  % (name, label, len(right), len(left)))

        # Refusals, decided before WIC decodes anything.
        big = os.path.join(work, 'big.png')
        noise = images.pattern(1024 * 1024 * 3, 9)
        images.write_png(big, 1024, 1024, 2, noise)
        big_tiff = os.path.join(work, 'big.tif')
        tiff(big_tiff, 1024, 1024, noise)
        # A TIFF header is WIC's alone to read: its size is judged once WIC
        # has told it, before anything is charged for it.
        huge_tiff = os.path.join(work, 'huge.tif')
        tiff(huge_tiff, 40000, 40000, b'')
        bad = os.path.join(source, 'tests', 'data', 'bad')
        refusals = [
            (huge_tiff, [], 'too large: 40000 x 40000 pixels'),
            (os.path.join(bad, 'png-declares-20000x20000.png'), [], 'its header declares 1145 MB of pixels'),
            (os.path.join(bad, 'jpeg-694-scans.jpg'), [], 'a JPEG file with 694 scans, more than the 40'),
            (os.path.join(bad, 'png-bad-ihdr-crc.png'), [], 'corrupt PNG data: IHDR: CRC error'),
            # 3 MB decoded, in chunks of 1 MB: only the whole image is over 2 MB.
            (big, ['--max-memory', '2M'], 'needs 3072 KB to decode the image whole'),
            (big_tiff, ['--max-memory', '2M'], 'needs 3072 KB to decode the image whole'),
        ]
        for path, args, expected in refusals:
            proc = run([wine_run, windows, '-q', *args, '-o', windows_path(os.path.join(work, 'refused.txt')),
                        windows_path(path)])
            first = proc.stderr.split('\n')[0]
            if proc.returncode != 2 or expected not in first or windows_path(path).replace('\\', '/') not in \
                    first.replace('\\', '/'):
                faults.append('%s %s: exit %d, %r; expected %r' % (os.path.basename(path), ' '.join(args),
                                                                   proc.returncode, first, expected))
        # What the Windows build lacks, --help says.
        shown = run([wine_run, windows, '--help']).stdout
        for words in ('no terminal view', 'does not resize images', 'Windows Imaging Component'):
            if words not in ' '.join(shown.split()):
                faults.append('--help does not say "%s"' % words)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for fault in faults:
        print(fault)
    if not faults:
        print('%d images in 4 modes identical to the native text; %d refusals as expected'
              % (len(names), len(refusals)))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())

"""Animations: a GIF written here byte by byte, the WebP gif2webp makes of it
and a JPEG XL cjxl makes of its frames; each frame exported with --frame N
is the plug-in's exact text of the frame as a browser shows it (disposal to
background and to previous, transparency, a local colour table, an
interlaced frame, a frame partly off the screen); the frames, delays and
loop counts the image input reads; the note on standard error; the memory
budget. On a pseudo-terminal, the player: the frames in order (never their
timing), as many times as asked, each drawn over the last, the cursor shown
again at the end and after Ctrl-C, a resized terminal fitted again."""
import fcntl
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import Folder, run  # noqa: E402
from test_view import show  # noqa: E402

STREAM = os.environ.get('GW_IMAGE_STREAM', 'build/gw_image_stream')


def lzw(indices, min_size=8):
    """GIF image data whose code table never grows: a clear code before
    every run of 2**min_size - 2 codes keeps each code one bit wider than an
    index."""
    clear = 1 << min_size
    codes = []
    for k, v in enumerate(indices):
        codes += [clear, v] if k % (clear - 2) == 0 else [v]
    bits = sum(code << (k * (min_size + 1)) for k, code in enumerate(codes + [clear + 1]))
    data = bits.to_bytes(((len(codes) + 1) * (min_size + 1) + 7) // 8, 'little')
    blocks = bytes([min_size]) + b''.join(bytes([len(data[i:i + 255])]) + data[i:i + 255]
                                          for i in range(0, len(data), 255))
    return blocks + b'\0'


def colour_table(colours):
    bits = max(1, (len(colours) - 1).bit_length())
    return bits - 1, b''.join(bytes(c) for c in colours) + bytes(3 * ((1 << bits) - len(colours)))


def gif(width, height, palette, frames, loops=None):
    """Frames: x, y, w, h, rows of indices; delay (hundredths), disposal,
    transparent, palette (a local table), interlaced."""
    bits, table = colour_table(palette)
    out = bytearray(b'GIF89a' + struct.pack('<HHBBB', width, height, 0x80 | bits, 0, 0) + table)
    if loops is not None:
        out += b'!\xff\x0bNETSCAPE2.0\x03\x01' + struct.pack('<H', loops) + b'\0'
    for f in frames:
        t = f.get('transparent')
        out += b'!\xf9\x04' + struct.pack('<BHB', f.get('disposal', 0) << 2 | (t is not None), f['delay'], t or 0) + b'\0'
        flags, local = 0x40 if f.get('interlaced') else 0, b''
        if 'palette' in f:
            lbits, local = colour_table(f['palette'])
            flags |= 0x80 | lbits
        rows = f['rows']
        if f.get('interlaced'):
            rows = [rows[r] for start, step in ((0, 8), (4, 8), (2, 4), (1, 2)) for r in range(start, len(rows), step)]
        out += b',' + struct.pack('<HHHHB', f['x'], f['y'], f['w'], f['h'], flags) + local
        out += lzw([i for row in rows for i in row])
    return bytes(out) + b';'


def apng(width, height, greys, delays, plays):
    """An animated PNG of whole grey frames."""
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    out = b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 0, 0, 0, 0))
    out += chunk(b'acTL', struct.pack('>II', len(greys), plays))
    for n, (rows, delay) in enumerate(zip(greys, delays)):
        out += chunk(b'fcTL', struct.pack('>IIIIIHHBB', max(0, 2 * n - 1), width, height, 0, 0, delay // 10, 100, 0, 0))
        data = zlib.compress(b''.join(b'\0' + bytes(row) for row in rows))
        out += chunk(b'IDAT', data) if n == 0 else chunk(b'fdAT', struct.pack('>I', 2 * n) + data)
    return out + chunk(b'IEND', b'')


# A 4 x 3 screen: black, white and two greys, then a local table of red and
# blue whose blue is transparent.
PALETTE = [(0, 0, 0), (255, 255, 255), (128, 128, 128), (64, 64, 64)]
FRAMES = [
    dict(x=0, y=0, w=4, h=3, rows=[[2] * 4] * 3, disposal=1, delay=20),
    dict(x=1, y=0, w=2, h=1, rows=[[0, 0]], disposal=2, delay=3),            # then cleared
    dict(x=0, y=0, w=1, h=2, rows=[[3], [3]], disposal=3, delay=5),          # then put back
    dict(x=0, y=1, w=4, h=1, rows=[[0, 1, 0, 1]], palette=[(255, 0, 0), (0, 0, 255)], transparent=1, delay=1),
    dict(x=2, y=0, w=2, h=3, rows=[[1, 0], [0, 1], [1, 1]], interlaced=True, delay=7),
    dict(x=3, y=2, w=3, h=2, rows=[[0] * 3] * 2, delay=4),                   # mostly off the screen
]
# Each frame as shown, in grey over white (red is 76).
SHOWN = [
    [[128, 128, 128, 128], [128, 128, 128, 128], [128, 128, 128, 128]],
    [[128, 0, 0, 128], [128, 128, 128, 128], [128, 128, 128, 128]],
    [[64, 255, 255, 128], [64, 128, 128, 128], [128, 128, 128, 128]],
    [[128, 255, 255, 128], [76, 128, 76, 128], [128, 128, 128, 128]],
    [[128, 255, 255, 0], [76, 128, 0, 255], [128, 128, 255, 255]],
    [[128, 255, 255, 0], [76, 128, 0, 255], [128, 128, 255, 0]],
]
DELAYS = [200, 30, 50, 10, 70, 40]


def text(rows):
    return images.text_of(len(rows), len(rows[0]), 1, [v for row in rows for v in row])


def tool(name):
    path = shutil.which(name)
    if path is None:
        raise AssertionError(name + ' is missing: scripts/setup installs it')
    return path


class Frames(Folder):
    def write(self, name, data):
        with open(self.path(name), 'wb') as f:
            f.write(data)
        return self.path(name)

    def animations(self):
        """(file, frames as shown, their delays, times played) of each format.
        gif2webp and browsers take delays of 10 ms or less as 100 ms, and a
        GIF's loop count as the repeats after the first play."""
        whole = self.write('anim.gif', gif(4, 3, PALETTE, FRAMES, loops=2))
        self.write('five.gif', gif(4, 3, PALETTE, FRAMES[:5], loops=2))  # gif2webp keeps frames on the screen
        subprocess.run([tool('gif2webp'), '-quiet', self.path('five.gif'), '-o', self.path('anim.webp')], check=True)
        self.write('frames.png', apng(4, 3, SHOWN[:5], DELAYS[:5], 3))
        subprocess.run([tool('cjxl'), '-d', '0', self.path('frames.png'), self.path('anim.jxl')], check=True,
                       capture_output=True)
        # cjxl writes no loop count: forever.
        return [(whole, SHOWN, DELAYS, 3), (self.path('anim.webp'), SHOWN[:5], [200, 30, 50, 100, 70], 3),
                (self.path('anim.jxl'), SHOWN[:5], DELAYS[:5], 0)]

    def test_each_frame_is_the_exact_text_of_the_frame_as_shown(self):
        for path, shown, _, _ in self.animations():
            for n, rows in enumerate(shown, 1):
                with self.subTest(file=os.path.basename(path), frame=n):
                    proc = run('-q', '--mode', 'gray', '--frame', str(n), '-o', '-', path)
                    self.assertExported(proc)
                    self.assertEqual(proc.stdout, text(rows))
            proc = run('-q', '--frame', str(len(shown) + 1), '-o', '-', path)
            self.assertEqual(proc.returncode, 2)
            self.assertIn(b'has no frame %d: it has %d frames' % (len(shown) + 1, len(shown)), proc.stderr)
            self.assertEqual(proc.stdout, b'')

    def stream(self, *args):
        proc = subprocess.run([STREAM, '--mode', 'gray', *args], capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout.decode()

    def test_frames_delays_and_plays_and_the_frames_again_at_a_size(self):
        for path, shown, delays, plays in self.animations():
            with self.subTest(file=os.path.basename(path)):
                out = self.stream('--frames', '--plays', '2', '--size', '3x2', path)
                self.assertTrue(out.startswith('%d frames, played %d times\n' % (len(shown), plays)), out)
                lines = re.findall(r'frame (\d+), (\d+) ms, fnv1a (\w+)', out)
                self.assertEqual([(int(n), int(ms)) for n, ms, _ in lines],
                                 2 * [(n, ms) for n, ms in enumerate(delays, 1)])
                # Played again from the first frame, and each frame reached in
                # order is the frame opened at once.
                sums = [s for _, _, s in lines]
                self.assertEqual(sums[:len(shown)], sums[len(shown):])
                for n in (1, len(shown)):
                    self.assertIn('fnv1a ' + sums[n - 1], self.stream('--frame', str(n), '--size', '3x2', path))
        for loops, plays in ((None, 1), (0, 0), (1, 2), (65535, 65536)):
            with self.subTest(loops=loops):
                path = self.write('loops.gif', gif(4, 3, PALETTE, FRAMES[:2], loops=loops))
                self.assertTrue(self.stream('--frames', path).startswith('2 frames, played %d times' % plays))

    def test_a_note_says_how_many_frames_once_per_image_unless_quiet_or_chosen(self):
        still = self.write('still.pgm', b'P5 1 1 255\n\x80')
        gif_path = self.animations()[0][0]
        out = self.path('out') + '/'
        os.mkdir(out)
        note = b'anim.gif: an animation of 6 frames; the first was exported (--frame N exports frame N)\n'
        apng_note = (b'frames.png: an animated PNG of 5 frames; its default image was exported'
                     b" (this build's libpng reads no animation)\n")
        for args, expected in ((['--frame', '2', '-o', out, gif_path], b''),
                               (['-q', '-o', out, gif_path], b''),
                               (['-o', out, still, gif_path, self.path('frames.png')], note + apng_note)):
            with self.subTest(args=args[:2]):
                proc = run(*args)
                self.assertExported(proc)
                self.assertEqual(re.sub(rb'glyphweave: [^\n]*/', b'', proc.stderr), expected)
        # The first frame, as always: the image's own mode, its indices' greys.
        self.assertEqual(self.read('out', 'anim.txt'), text(SHOWN[0]))
        proc = run('--frame', '2', '-o', '-', self.path('frames.png'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'has no frame 2: an animated PNG of 5 frames', proc.stderr)

    def test_canvases_are_charged_to_the_budget(self):
        # 1 x 1 frames on a 2048 x 2048 screen: a canvas of grey and alpha is
        # 8 MB, and a frame to be put back after it needs a second.
        dot = dict(x=5, y=5, w=1, h=1, rows=[[1]], delay=1)
        kept = self.write('kept.gif', gif(2048, 2048, PALETTE[:2], [dot, dict(dot, disposal=3), dot]))
        cleared = self.write('cleared.gif', gif(2048, 2048, PALETTE[:2], [dot, dict(dot, disposal=2), dot]))
        for path, needs in ((kept, b'needs 16 MB to decode the image whole (animated GIF), more than the limit of '
                                   b'10 MB (--max-memory changes it)'), (cleared, None)):
            with self.subTest(file=os.path.basename(path)):
                proc = run('-q', '--max-memory', '10M', '--width', '8', '--frame', '3', '-o', '-', path)
                if needs is None:
                    self.assertExported(proc)
                else:
                    self.assertEqual(proc.returncode, 2)
                    self.assertIn(needs, proc.stderr)



# Each frame inside synchronized output, after the cursor is moved back up
# over the last.
FRAME = re.compile(rb'\x1b\[\?2026h(?:\r\x1b\[(\d+)A)?(\x1b\[J)?(.*?)\x1b\[\?2026l', re.S)


class Player(Folder):
    def animation(self, name, width, height, loops):
        """Three uniform frames, black, dark grey and mid grey, 20 ms each."""
        frames = [dict(x=0, y=0, w=width, h=height, rows=[[i] * width] * height, delay=2) for i in (0, 3, 2)]
        path = self.path(name)
        with open(path, 'wb') as f:
            f.write(gif(width, height, PALETTE, frames, loops=loops))
        return path

    def play(self, args, columns=20, lines=8, animations=1, **kwargs):
        shown = show(['--background', 'light', '--color=never', '-o', '-', *args], columns, lines, **kwargs)
        frames = FRAME.findall(shown.out)
        # The cursor is hidden while each animation plays, and shown again last.
        self.assertTrue(shown.out.startswith(b'\x1b[?25l'), shown.out[:40])
        self.assertTrue(shown.out.endswith(b'\x1b[?25h'), shown.out[-40:])
        self.assertEqual(shown.out.count(b'\x1b[?25l'), animations)
        self.assertEqual(shown.out.count(b'\x1b[?25h'), animations)
        # Each frame of an animation but its first goes back up exactly over
        # the one before.
        self.assertEqual(sum(up == b'' for up, _, _ in frames), animations)
        for before, (up, _, _) in zip(frames, frames[1:]):
            self.assertIn(up, (b'', b'%d' % before[2].count(b'\n')))
        return shown, frames

    def test_frames_in_order_as_many_times_as_asked(self):
        twice = self.animation('twice.gif', 8, 4, loops=1)
        other = self.animation('other.gif', 8, 4, loops=1)
        # (options and images, times through the frames, animations)
        for args, plays, animations in (([twice], 2, 1), (['--loop', '3', twice], 3, 1),
                                        (['--loop', '1', twice], 1, 1), ([twice, other], 2, 2)):
            with self.subTest(args=args):
                shown, frames = self.play(args, animations=animations)
                self.assertEqual(shown.code, 0, shown.err)
                self.assertEqual([set(text) - {ord('\n')} for _, _, text in frames],
                                 plays * [{ord('@')}, {ord('Q')}, {ord('u')}])
                self.assertEqual(shown.err, b'')

    def test_ctrl_c_ends_an_endless_animation_and_shows_the_cursor(self):
        endless = self.animation('endless.gif', 8, 4, loops=0)
        shown, frames = self.play(['-q', endless], ctrl_c_after=400)
        self.assertEqual(shown.code, 130, shown.err)
        self.assertGreater(len(frames), 4)
        self.assertTrue(shown.modes_kept)

    def test_a_resized_terminal_is_fitted_from_the_next_frame(self):
        endless = self.animation('wide.gif', 40, 20, loops=0)
        seen = {}

        def resize(out, master):
            count = len(FRAME.findall(out))
            if count >= 2 and 'resized' not in seen:
                seen['resized'] = count
                fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack('HHHH', 6, 10, 0, 0))
            if count >= seen.get('resized', count + 1) + 3 and 'stopped' not in seen:
                seen['stopped'] = True
                os.write(master, b'\x03')
        shown, frames = self.play(['-q', endless], columns=30, lines=12, on_output=resize)
        self.assertEqual(shown.code, 130, shown.err)
        widths = [len(text.split(b'\n')[0]) for _, _, text in frames]
        cleared = [bool(clear) for _, clear, _ in frames]
        # Fitted to 30 x 11, then to 10 x 5 once the change is seen, the old
        # picture cleared once.
        first = widths.index(10)
        self.assertEqual(set(widths[:first]), {30})
        self.assertEqual(set(widths[first:]), {10})
        self.assertEqual(cleared, [i == first for i in range(len(frames))])


if __name__ == '__main__':
    unittest.main()

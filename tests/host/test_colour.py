"""Colour in the text on standard output: the depth the environment and the
options give, each character in the colour of the sample or pixel it came
from, and lines that end uncoloured, also when the run is interrupted."""
import os
import fcntl
import re
import signal
import struct
import subprocess
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402
from test_view import show  # noqa: E402

SEQUENCE = re.compile(rb'\x1b\[([0-9;]*)m')
# A sequence cut short by the next one, which a terminal drops.
CUT = re.compile(rb'\x1b\[[0-9;]*(?=\x1b)')


def coloured(out):
    """[(line, [each character's colour])] and the colour left at the end: None
    for the terminal's own, ('rgb', r, g, b), ('256', n) or ('16', n). Fails on
    a line that ends coloured and on an escape that sets no colour."""
    lines, line, kinds, state, i = [], b'', [], None, 0
    while i < len(out):
        m = CUT.match(out, i)
        if m:
            i = m.end()
            continue
        m = SEQUENCE.match(out, i)
        if m:
            p = [int(x) for x in m.group(1).split(b';') if x] or [0]
            if p in ([0], [39]):
                state = None
            elif p[:2] == [38, 2] and len(p) == 5:
                state = ('rgb', *p[2:])
            elif p[:2] == [38, 5] and len(p) == 3:
                state = ('256', p[2])
            elif len(p) == 1 and (30 <= p[0] <= 37 or 90 <= p[0] <= 97):
                state = ('16', p[0] - 30 if p[0] < 90 else p[0] - 82)
            else:
                raise AssertionError('not a colour: %r' % m.group(0))
            i = m.end()
            continue
        c = out[i:i + 1]
        if c == b'\x1b':
            raise AssertionError('not a colour: %r' % out[i:i + 12])
        if c == b'\n':
            if state is not None:
                raise AssertionError('line %d ends coloured' % len(lines))
            lines.append((line, kinds))
            line, kinds = b'', []
        else:
            line, kinds = line + c, kinds + [state]
        i += 1
    return lines, state


def depth(lines):
    """The kind of colour the text uses: rgb, 256, 16, 8 or None."""
    found = {k for _, kinds in lines for k in kinds if k is not None}
    if not found:
        return None
    kinds = {k[0] for k in found}
    if kinds == {'16'}:
        return '16' if max(k[1] for k in found) >= 8 else '8'
    return kinds.pop() if len(kinds) == 1 else kinds


class Colour(Folder):
    def setUp(self):
        super().setUp()
        # Red, green, blue, white and black, seen on a dark terminal: full
        # channels get the densest characters and show their colour.
        self.image = self.path('p.ppm')
        images.write_pnm(self.image, 'P6', 5, 1, [255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0])

    def test_the_depth_from_the_environment_and_the_options(self):
        # (on a terminal, environment, options, the colour the text gets)
        for terminal, env, options, expected in [
                (True, {}, [], '256'),
                (True, {'COLORTERM': 'truecolor'}, [], 'rgb'),
                (True, {'TERM': 'xterm', 'COLORTERM': '24bit'}, [], 'rgb'),
                (True, {'TERM': 'rxvt-unicode'}, [], '16'),  # 88 colours
                (True, {'TERM': 'xterm'}, [], '8'),
                # Debian's xterm says TERM=xterm (8) and draws 256.
                (True, {'TERM': 'xterm', 'XTERM_VERSION': 'XTerm(379)'}, [], '256'),
                (True, {'TERM': 'dumb'}, [], None),
                (True, {'TERM': 'dumb', 'COLORTERM': 'truecolor'}, [], None),
                (True, {}, ['--color-depth', '16'], '16'),
                (True, {'NO_COLOR': '1'}, [], None),
                (True, {'NO_COLOR': ''}, [], '256'),
                (True, {'NO_COLOR': '1'}, ['--color=always'], '256'),
                (True, {}, ['--color=never'], None),
                (False, {'TERM': 'xterm-256color'}, [], None),
                (False, {'TERM': 'dumb'}, ['--color'], '256'),
                (False, {'TERM': 'dumb', 'COLORTERM': 'truecolor'}, ['--color=always'], '256'),
                (False, {'TERM': 'xterm', 'COLORTERM': 'truecolor'}, ['--color=always'], 'rgb'),
                (False, {'TERM': 'xterm'}, ['--color=always', '--color-depth', '16'], '16')]:
            with self.subTest(terminal=terminal, env=env, options=options):
                # Cells three times as tall as wide keep an RGB image's size when fitted.
                args = ['-q', '--mode', 'rgb', '--cell-aspect', '3', *options, '-o', '-', self.image]
                if terminal:
                    shown = show(args, env=env)
                    self.assertEqual(shown.code, 0, shown.err)
                    out = shown.out.replace(b'\x1b]11;?\x1b\\\x1b[c', b'')
                else:
                    environment = {k: v for k, v in os.environ.items() if k not in ('COLORTERM', 'NO_COLOR')}
                    proc = run('--background', 'dark', *args, env=dict(environment, **env))
                    self.assertExported(proc)
                    out = proc.stdout
                lines, _ = coloured(out)
                self.assertEqual(b''.join(line + b'\n' for line, _ in lines), images.text_of(1, 5, 3, [
                    0, 255, 255, 255, 0, 255, 255, 255, 0, 0, 0, 0, 255, 255, 255]))
                self.assertEqual(depth(lines), expected)

    def exported(self, image, *options):
        # Forced colour into a pipe takes the background to be dark unless
        # told: these compare with the plain text.
        background = [] if '--background' in options else ['--background', 'light']
        proc = run('-q', '--color=always', '--color-depth', 'truecolor', '-o', '-', *background, *options, image)
        self.assertExported(proc)
        return coloured(proc.stdout)[0]

    def assertColours(self, lines, text, expected):
        """Every character that shows (not a blank) in its expected colour."""
        self.assertEqual(b''.join(line + b'\n' for line, _ in lines), text)
        for y, (line, kinds) in enumerate(lines):
            for x, (char, kind) in enumerate(zip(line, kinds)):
                if char != ord(' '):
                    self.assertEqual(kind, expected(y, x), 'row %d, character %d' % (y, x))

    def test_rgb_planes_in_their_channels_across_many_bands(self):
        columns, rows = 50, 40
        samples = images.pattern(columns * rows * 3, seed=12)
        images.write_pnm(self.path('r.ppm'), 'P6', columns, rows, samples)

        def channel(y, x):
            s = samples[y * columns * 3 + x]
            return ('rgb', *[s if c == x % 3 else 0 for c in range(3)])
        # Small bands: lines are copied split across bands and reads.
        for background, text in [('light', images.text_of(rows, columns, 3, samples)),
                                 ('dark', images.text_of(rows, columns, 3, [255 - s for s in samples]))]:
            with self.subTest(background=background):
                lines = self.exported(self.path('r.ppm'), '--max-data', '400', '--background', background)
                self.assertColours(lines, text, channel)

    def test_one_plane_views_in_each_pixels_own_colour(self):
        columns, rows = 40, 30
        samples = images.pattern(columns * rows * 3, seed=14)
        images.write_pnm(self.path('g.ppm'), 'P6', columns, rows, samples)

        def pixel(y, x):
            return ('rgb', *samples[(y * columns + x) * 3:(y * columns + x + 1) * 3])
        # The pixel's colour, never inverted; bands read ahead keep theirs.
        for options in (['--mode', 'gray'], ['--mode', 'duotone', '--background', 'dark']):
            with self.subTest(options=options):
                plain = run('-q', '--max-data', '100', '-o', '-', *options, self.path('g.ppm')).stdout
                lines = self.exported(self.path('g.ppm'), '--max-data', '100', *options)
                self.assertColours(lines, plain, pixel)

        palette = [(200, 30, 30), (30, 200, 30), (30, 30, 200), (90, 90, 90)]
        indices = [0, 1, 2, 3, 3, 2]
        images.write_png(self.path('i.png'), 3, 2, 3, indices, palette=palette)
        lines = self.exported(self.path('i.png'), '--mode', 'indexed')
        self.assertColours(lines, images.text_of(2, 3, 1, indices), lambda y, x: ('rgb', *palette[indices[y * 3 + x]]))

        # A JPEG keeps its colour for the view, though grey needs only its luma.
        images.write_pnm(self.path('h.ppm'), 'P6', 16, 8, ([230, 20, 20] * 8 + [20, 20, 230] * 8) * 8)
        with open(self.path('h.jpg'), 'wb') as f:
            subprocess.run(['cjpeg', '-quality', '95', self.path('h.ppm')], stdout=f, check=True)
        lines = self.exported(self.path('h.jpg'), '--mode', 'gray')
        reds = [k[1] - k[3] for _, kinds in lines for k in kinds[:6]]
        blues = [k[3] - k[1] for _, kinds in lines for k in kinds[10:]]
        self.assertGreater(min(reds + blues), 150)

    def test_cmyk_inks_alpha_and_modes_without_colour(self):
        # Red, green, blue, white, black, grey: C, M, Y, K samples (255 = no ink).
        images.write_pnm(self.path('c.ppm'), 'P6', 6, 1, [255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255,
                                                          0, 0, 0, 128, 128, 128])
        cmyk = [255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0,
                255, 255, 255, 128]

        def ink(y, x):
            s = cmyk[x]
            return ('rgb', s, s, s) if x % 4 == 3 else ('rgb', *[s if c == x % 4 else 255 for c in range(3)])
        self.assertColours(self.exported(self.path('c.ppm'), '--mode', 'cmyk'), images.text_of(1, 6, 4, cmyk), ink)

        # A kept alpha plane shows no colour, between coloured planes.
        images.write_png(self.path('a.png'), 2, 1, 6, [0, 0, 0, 255, 0, 0, 200, 128])
        rgba = [0, 0, 0, 255, 0, 0, 200, 128]
        lines = self.exported(self.path('a.png'), '--mode', 'rgb', '--keep-alpha')
        self.assertColours(lines, images.text_of(1, 2, 4, rgba),
                           lambda y, x: None if x % 4 == 3 else ('rgb', *[rgba[x] if c == x % 4 else 0 for c in range(3)]))

        # Lab and the others: the text as it is, byte for byte.
        plain = run('-q', '--mode', 'lab', '-o', '-', self.path('c.ppm')).stdout
        self.assertEqual(run('-q', '--color=always', '--background', 'light', '--mode', 'lab', '-o', '-',
                             self.path('c.ppm')).stdout, plain)

    def test_lines_end_uncoloured_when_interrupted(self):
        images.write_pnm(self.path('big.ppm'), 'P6', 1000, 800, images.pattern(1000 * 800 * 3, seed=13))
        # Ctrl-C as soon as the picture starts.
        shown = show(['-q', '--mode', 'rgb', '--width', '1500', '--max-data', '20k', '-o', '-',
                      self.path('big.ppm')], ctrl_c_after=1000)
        self.assertEqual(shown.code, 130, shown.err)
        # Ctrl-C has the terminal throw away the text it holds; its echo
        # marks the place. Before it, whole lines end uncoloured (the last
        # one shown is cut anywhere). After it comes at most the piece being
        # written then, which may go on from inside a sequence, and a reset.
        before, _, after = shown.out.replace(b'\x1b]11;?\x1b\\\x1b[c', b'').partition(b'^C')
        coloured(re.sub(rb'\x1b(\[[0-9;]*)?$', b'', before))
        self.assertIn(b'\x1b[38;5;', before)
        self.assertLessEqual(len(after), 4096 + 4, after[:200])
        self.assertTrue(after.endswith(b'\x1b[0m'), after[-200:])
        self.assertTrue(shown.modes_kept)

    def test_a_stop_ends_a_view_on_a_terminal_that_takes_nothing(self):
        # A terminal held by Ctrl-S, or a link gone quiet: nothing is read,
        # so neither the text nor the reset after the stop can be written.
        images.write_pnm(self.path('big.ppm'), 'P6', 600, 400, images.pattern(600 * 400 * 3, seed=5))
        master, slave = os.openpty()
        try:
            proc = subprocess.Popen([GLYPHWEAVE, '-q', '--color=always', '--color-depth', '256', '--background',
                                     'light', '--mode', 'rgb', '-o', '-', self.path('big.ppm')],
                                    stdin=subprocess.DEVNULL, stdout=slave, stderr=subprocess.PIPE,
                                    start_new_session=True)
            os.close(slave)
            queued, since = -1, time.monotonic()
            while time.monotonic() - since < 0.5 and proc.poll() is None:
                now = struct.unpack('i', fcntl.ioctl(master, termios.FIONREAD, b'\0' * 4))[0]
                if now != queued:
                    queued, since = now, time.monotonic()
                time.sleep(0.05)
            self.assertIsNone(proc.poll(), 'the terminal took the whole text')
            proc.send_signal(signal.SIGTERM)
            try:
                err = proc.communicate(timeout=30)[1]
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.communicate()
                self.fail('the program waited for good on a terminal that takes nothing')
            self.assertEqual(proc.returncode, 143, err)
        finally:
            os.close(master)


if __name__ == '__main__':
    unittest.main()

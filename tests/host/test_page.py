"""--html: the page's text and colours against the plug-in's text and the
terminal view's colours, where pages go and how they are written, and the
page as a real browser (headless Chromium) reads and shows it.

The Browser tests are run as `python3 test_page.py Browser`, which exits 77
(skipped) when chromium is missing."""
import html.parser
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', '..', 'doc'))
import terminal_pictures  # noqa: E402
from test_budget import sanitized  # noqa: E402
from test_colour import coloured  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402

CHROMIUM = shutil.which('chromium')


class PageReader(html.parser.HTMLParser):
    """The text of the <pre> with each character's colour ((r, g, b) or
    None), the number of coloured elements, and whether every element is
    closed where it should be."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.text, self.colours, self.elements = '', [], 0
        self.stack, self.in_pre, self.balanced, self.fetches = [], False, True, []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.fetches += [v for k, v in attrs.items() if k in ('src', 'href')] + (['<script>'] if tag == 'script' else [])
        if tag == 'pre':
            self.in_pre = True
        elif self.in_pre:
            style = attrs.get('style', '')
            assert style.startswith('color:#') and len(style) == 13, style
            self.stack.append(tuple(int(style[7 + 2 * i:9 + 2 * i], 16) for i in range(3)))
            self.elements += 1

    def handle_endtag(self, tag):
        if tag == 'pre':
            self.in_pre = False
            self.balanced = self.balanced and not self.stack
        elif self.in_pre:
            self.balanced = self.balanced and bool(self.stack)
            self.stack[-1:] = []

    def handle_data(self, data):
        if self.in_pre:
            if not self.text and data.startswith('\n'):
                data = data[1:]  # as a browser drops the line feed just after <pre>
            self.text += data
            self.colours += [self.stack[-1] if self.stack else None] * len(data)


def read_page(page):
    reader = PageReader()
    reader.feed(page.decode('utf-8'))
    reader.close()
    assert reader.balanced, 'an element is left open or closed twice'
    assert not reader.fetches, reader.fetches
    return reader


def runs(text, colours):
    """The fewest elements that colour the text: one per run of one colour,
    which blanks and line feeds do not break."""
    count, current = 0, None
    for char, colour in zip(text, colours):
        if char in ' \n':
            continue
        if colour != current and colour is not None:
            count += 1
        current = colour
    return count


class Page(Folder):
    def test_text_and_colours_are_the_plug_ins_and_the_views(self):
        columns, rows = 36, 20
        samples = images.pattern(columns * rows * 3, seed=21)
        images.write_pnm(self.path('p.ppm'), 'P6', columns, rows, samples)
        # Blocks of one colour, so that runs are long and cross line ends.
        images.write_pnm(self.path('b.ppm'), 'P6', 12, 6, ([200, 40, 40] * 6 + [40, 40, 200] * 6) * 3 +
                         [40, 200, 40] * 36)
        images.write_png(self.path('i.png'), 4, 2, 3, [0, 1, 2, 3, 3, 3, 0, 0],
                         palette=[(250, 10, 10), (10, 250, 10), (10, 10, 250), (38, 38, 38)])
        images.write_png(self.path('a.png'), 3, 2, 6, images.pattern(24, seed=22))
        images.write_pnm(self.path('h.ppm'), 'P6', 16, 8, ([230, 20, 20] * 8 + [20, 20, 230] * 8) * 8)
        with open(self.path('h.jpg'), 'wb') as f:
            subprocess.run(['cjpeg', '-quality', '95', self.path('h.ppm')], stdout=f, check=True)
        for image, options in [('p.ppm', ['--mode', 'rgb']),
                               ('p.ppm', ['--mode', 'gray', '--background', 'dark', '--max-data', '300']),
                               ('p.ppm', ['--mode', 'cmyk', '--width', '50']),
                               ('b.ppm', ['--mode', 'gray']),
                               ('i.png', ['--mode', 'indexed']),
                               ('a.png', ['--mode', 'rgb', '--keep-alpha']),
                               ('h.jpg', ['--mode', 'gray']),
                               ('p.ppm', ['--mode', 'lab'])]:
            for to_file in (False, True):
                with self.subTest(image=image, options=options, to_file=to_file):
                    source = self.path(image)
                    text = run('-q', '-o', '-', *options, source).stdout
                    # A page is light unless told; coloured text into a pipe dark.
                    light = [] if '--background' in options else ['--background', 'light']
                    view, _ = coloured(run('-q', '--color=always', '--color-depth', 'truecolor', '-o', '-',
                                           *light, *options, source).stdout)
                    expected = [None if k is None else tuple(k[1:]) for line, kinds in view for k in kinds + [None]]
                    args = ['-q', '--html', '--color', *options]
                    if to_file:
                        proc = run(*args, '-o', self.path('out.html'), source)
                        self.assertExported(proc)
                        page = read_page(self.read('out.html'))
                    else:
                        proc = run(*args, '-o', '-', source)
                        self.assertExported(proc)
                        page = read_page(proc.stdout)
                    self.assertEqual(page.text.encode('utf-8'), text)
                    for i, char in enumerate(page.text):
                        if char not in ' \n':
                            self.assertEqual(page.colours[i], expected[i], 'character %d' % i)
                    self.assertEqual(page.elements, runs(page.text, page.colours))

    def test_colour_only_when_asked(self):
        images.write_pnm(self.path('p.ppm'), 'P6', 8, 4, images.pattern(96, seed=23))
        # (options, environment, coloured)
        for options, env, expected in [([], {}, False),
                                       (['--color=auto'], {'TERM': 'xterm-256color', 'COLORTERM': 'truecolor'}, False),
                                       (['--color=never'], {}, False),
                                       (['--color'], {}, True),
                                       (['--color=always', '--color-depth', '16'], {'NO_COLOR': '1'}, True)]:
            with self.subTest(options=options, env=env):
                proc = run('-q', '--html', *options, '-o', '-', self.path('p.ppm'), env=dict(os.environ, **env))
                self.assertExported(proc)
                page = read_page(proc.stdout)
                self.assertEqual(page.elements > 0, expected)
                # The page's colours are 24-bit, whatever depth a terminal has.
                if expected:
                    self.assertGreater(len(set(page.colours)), 16)


class Files(Folder):
    def setUp(self):
        super().setUp()
        self.samples = images.pattern(10 * 6, seed=24)
        images.write_pnm(self.path('a.pgm'), 'P5', 10, 6, self.samples)
        self.text = images.text_of(6, 10, 1, self.samples).decode()
        os.mkdir(self.path('out'))

    def test_where_pages_go(self):
        shutil.copy(self.path('a.pgm'), self.path('b.pgm'))
        a, b = self.path('a.pgm'), self.path('b.pgm')
        # (arguments, the pages expected, what standard output says)
        for args, pages, said in [([a], ['a.html'], '%s -> %s\n' % (a, self.path('a.html'))),
                                  (['-o', self.path('out') + '/', a, b], ['out/a.html', 'out/b.html'], None),
                                  (['-o', self.path('out'), a], ['out/a.html'], None),
                                  (['-o', self.path('page.txt'), a], ['page.txt'], None)]:
            with self.subTest(args=args):
                proc = run('--html', *args)
                self.assertExported(proc)
                for page in pages:
                    self.assertEqual(read_page(self.read(page)).text, self.text)
                    os.remove(self.path(page))
                if said is not None:
                    self.assertEqual(proc.stdout.decode(), said)
                self.assertFalse(os.path.exists(self.path('a.txt')))
                self.assertEqual(self.leftovers(), [])
        with open(a, 'rb') as f:
            proc = run('-q', '--html', '-', stdin=f)
        self.assertExported(proc)
        self.assertEqual(read_page(proc.stdout).text, self.text)

    def test_refusals(self):
        a = self.path('a.pgm')
        # An image whose name is that of a.pgm's page.
        images.write_png(self.path('a.html'), 2, 2, 0, [0, 1, 2, 3])
        with open(self.path('old.html'), 'w') as f:
            f.write('earlier')
        os.chmod(self.path('old.html'), 0o444)
        # (arguments, exit status, a word of the message)
        shutil.copy(a, self.path('out', 'a.pgm'))
        for args, code, word in [(['-o', self.path('x.html'), a, self.path('out', 'a.pgm')], 2, 'names one file'),
                                 ([a, self.path('out', 'a.pgm'), '-o', self.path('out') + '/'], 2, 'both be written'),
                                 (['-o', a, a], 2, 'over itself'),
                                 ([a, self.path('a.html')], 2, 'page of %s would be written over the input' % a),
                                 (['--record', self.path('s.json'), a], 2, '--record'),
                                 (['--play', self.path('s.json'), a], 2, '--play'),
                                 (['--dialog', a], 2, '--dialog'),
                                 (['-o', self.path('old.html'), a], 1, 'old.html'),
                                 (['-o', '/dev/null', a], 2, 'page would go to /dev/null')]:
            with self.subTest(args=args):
                proc = run('-q', '--html', *args)
                self.assertEqual(proc.returncode, code, proc.stderr)
                self.assertIn(word, proc.stderr.decode())
                self.assertEqual(sorted(os.listdir(self.dir)), ['a.html', 'a.pgm', 'old.html', 'out'])
                self.assertEqual(os.listdir(self.path('out')), ['a.pgm'])
        self.assertEqual(self.read('old.html'), b'earlier')

    def test_an_earlier_page_is_kept_when_the_export_fails(self):
        # Its scan ends early: the read fails in the middle of the page.
        shutil.copy(os.path.join(os.path.dirname(__file__), '..', 'data', 'bad', 'jpeg-truncated-scan.jpg'),
                    self.path('cut.jpg'))
        with open(self.path('cut.html'), 'wb') as f:
            f.write(b'earlier')
        proc = run('-q', '--html', '--color', '--max-data', '1k', self.path('cut.jpg'))
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertEqual(self.read('cut.html'), b'earlier')
        self.assertEqual(self.leftovers(), [])

    def test_a_page_is_written_as_it_comes(self):
        # Every character in a colour of its own: a page of about 60 MB,
        # while the program needs a few MB for the image.
        columns, rows = 1500, 1400
        images.write_pnm(self.path('big.ppm'), 'P6', columns, rows, images.pattern(columns * rows * 3, seed=26))
        # GNU time measures the program alone, not the Python that forked it.
        proc = subprocess.run(['/usr/bin/time', '-f', '%M', GLYPHWEAVE, '-q', '--html', '--color', '--mode', 'gray',
                               self.path('big.ppm')], capture_output=True, timeout=300)
        self.assertExported(proc)
        size = os.path.getsize(self.path('big.html'))
        self.assertGreater(size, 50 << 20)
        if not sanitized():
            self.assertLess(int(proc.stderr.split()[-1]) << 10, size // 2, 'peak memory in bytes')


def chromium(*args):
    with tempfile.TemporaryDirectory(prefix='gw-chromium-') as profile:
        proc = subprocess.run([CHROMIUM, '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                               '--no-first-run', '--disable-background-networking', '--disable-component-update',
                               '--disable-sync', '--hide-scrollbars', '--user-data-dir=' + profile, *args],
                              capture_output=True, timeout=180)
    if proc.returncode != 0:
        raise AssertionError('chromium failed (%d): %s' % (proc.returncode, proc.stderr.decode(errors='replace')))
    return proc.stdout


def grey_png(path):
    """(width, height, rows of grey levels) of a screenshot."""
    width, height, rows = terminal_pictures.read_png(path)
    return width, height, [[sum(row[x * 3:x * 3 + 3]) // 3 for x in range(width)] for row in rows]


class Browser(Folder):
    @classmethod
    def setUpClass(cls):
        if CHROMIUM is None:
            raise unittest.SkipTest('chromium is not installed (scripts/setup installs it)')

    def test_the_browser_reads_the_plug_ins_text(self):
        # Every sample value, so every character of the ramp, '&' included.
        samples = list(range(256)) * 12
        images.write_pnm(self.path('all.ppm'), 'P6', 64, 16, samples)
        text = run('-q', '--mode', 'rgb', '--background', 'dark', '-o', '-', self.path('all.ppm')).stdout
        self.assertIn(b'&', text)
        proc = run('-q', '--html', '--color', '--mode', 'rgb', '--background', 'dark', self.path('all.ppm'))
        self.assertExported(proc)
        dom = chromium('--dump-dom', 'file://' + self.path('all.html'))
        page = read_page(dom)
        self.assertEqual(page.text.encode('utf-8'), text)

    def test_a_half_black_half_white_image_on_either_background(self):
        # 24 columns: black, then white; lines 2.5 character widths apart.
        columns, rows, aspect = 24, 10, 2.5
        images.write_pnm(self.path('half.pgm'), 'P5', columns, rows, ([0] * 12 + [255] * 12) * rows)
        for background in ('light', 'dark'):
            with self.subTest(background=background):
                proc = run('-q', '--html', '--cell-aspect', str(aspect), '--background', background,
                           '-o', self.path(background + '.html'), self.path('half.pgm'))
                self.assertExported(proc)
                chromium('--screenshot=' + self.path(background + '.png'), '--window-size=400,400',
                         'file://' + self.path(background + '.html'))
                width, height, shot = grey_png(self.path(background + '.png'))
                page = shot[-1][-1]
                self.assertEqual(page > 128, background == 'light')
                # The ink (what differs from the page's background) is
                # characters on one half of the picture: 12 columns.
                ink = [(x, y) for y in range(height) for x in range(width) if abs(shot[y][x] - page) > 96]
                self.assertTrue(ink)
                left, right = min(x for x, _ in ink), max(x for x, _ in ink) + 1
                top, bottom = min(y for _, y in ink), max(y for _, y in ink) + 1
                cell = (right - left) / 12
                start = left if background == 'light' else left - 12 * cell
                self.assertGreater(start, 0)

                def mean(half):
                    xs = range(int(start + half * 12 * cell), int(start + (half + 1) * 12 * cell))
                    return sum(shot[y][x] for y in range(top, bottom) for x in xs) / (len(xs) * (bottom - top))
                # The image's black half is the darker one on either page.
                self.assertGreater(mean(1) - mean(0), 40)
                # Lines are the cell aspect times a character's width apart:
                # the first rows of ink of each line of text.
                starts = [y for y in range(top, bottom) if any(abs(v - page) > 96 for v in shot[y])
                          and not any(abs(v - page) > 96 for v in shot[y - 1])]
                self.assertEqual(len(starts), rows)
                pitch = (starts[-1] - starts[0]) / (rows - 1)
                self.assertAlmostEqual(pitch / cell, aspect, delta=0.1)


if __name__ == '__main__':
    if sys.argv[1:] == ['Browser'] and CHROMIUM is None:
        print('skipped: chromium is not installed (scripts/setup installs it)')
        sys.exit(77)
    unittest.main(verbosity=2)

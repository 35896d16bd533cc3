"""Sizing in the host: the proportions a terminal shows for 1 and 3 planes,
bounds that are never exceeded (a width narrower than one pixel is
refused), no enlarging unless asked, tiny images enlarged to thousands of
columns, --fit from the environment, and averages that keep a flat image
flat."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402


class Sizing(Folder):
    def shape(self, image, *options, env=None):
        proc = run('-q', '-o', '-', *options, image, env=env)
        self.assertExported(proc)
        lines = proc.stdout.split(b'\n')[:-1]
        self.assertEqual(len({len(line) for line in lines}), 1, 'every line as long')
        return len(lines[0]), len(lines), proc.stdout

    def test_proportions_for_one_and_three_planes(self):
        images.write_pnm(self.path('g.pgm'), 'P5', 400, 200, images.pattern(400 * 200))
        images.write_pnm(self.path('c.ppm'), 'P6', 400, 200, images.pattern(400 * 200 * 3))
        # Cells twice as tall as wide: 100 columns of a 2:1 picture are 25 lines.
        self.assertEqual(self.shape(self.path('g.pgm'), '--width', '100')[:2], (100, 25))
        # Three characters a pixel: 33 pixels, and the same 25 lines.
        self.assertEqual(self.shape(self.path('c.ppm'), '--width', '100')[:2], (99, 25))
        self.assertEqual(self.shape(self.path('g.pgm'), '--height', '10')[:2], (40, 10))
        self.assertEqual(self.shape(self.path('g.pgm'), '--width', '100', '--height', '10')[:2], (40, 10))
        self.assertEqual(self.shape(self.path('g.pgm'), '--width', '100', '--cell-aspect', '1')[:2], (100, 50))

    def test_small_images_are_not_enlarged_unless_asked(self):
        images.write_pnm(self.path('s.pgm'), 'P5', 40, 20, images.pattern(800))
        self.assertEqual(self.shape(self.path('s.pgm'), '--width', '100')[:2], (40, 10))
        self.assertEqual(self.shape(self.path('s.pgm'), '--width', '100', '--enlarge')[:2], (100, 25))

    def test_a_width_narrower_than_one_pixel_is_refused(self):
        images.write_pnm(self.path('c.ppm'), 'P6', 40, 20, images.pattern(40 * 20 * 3))
        for mode, planes in (('rgb', 3), ('cmyk', 4)):
            for width in range(1, planes):
                proc = run('-q', '-o', '-', '--mode', mode, '--width', str(width), self.path('c.ppm'))
                self.assertEqual(proc.returncode, 2, (mode, width))
                self.assertIn(b'each pixel takes %d, one for each of its planes (%s)' % (planes, mode.encode()),
                              proc.stderr)
                self.assertEqual(proc.stdout, b'')
            self.assertEqual(self.shape(self.path('c.ppm'), '--mode', mode, '--width', str(planes))[0], planes)

    def test_one_pixel_enlarges_to_thousands_of_columns(self):
        images.write_pnm(self.path('one.pgm'), 'P5', 1, 1, [77])
        images.write_pnm(self.path('four.ppm'), 'P6', 2, 2, [200, 100, 50] * 4)
        # The tallest cells keep the text to a few hundred lines.
        for name, columns in (('one.pgm', 8000), ('four.ppm', 7998)):
            width, _, text = self.shape(self.path(name), '--enlarge', '--width', '8000', '--cell-aspect', '10')
            self.assertEqual(width, columns)
            self.assertEqual(len(set(text.split(b'\n')[:-1])), 1, 'a flat image stays flat')

    def test_fit_uses_the_terminal_size_it_is_given(self):
        images.write_pnm(self.path('g.pgm'), 'P5', 400, 200, images.pattern(400 * 200))
        env = dict(os.environ, COLUMNS='60', LINES='12')
        # Standard output is a pipe here: COLUMNS and LINES, one line kept for the prompt.
        self.assertEqual(self.shape(self.path('g.pgm'), '--fit', env=env)[:2], (44, 11))
        env = {k: v for k, v in os.environ.items() if k not in ('COLUMNS', 'LINES')}
        proc = subprocess.run([GLYPHWEAVE, '-q', '-o', '-', '--fit', self.path('g.pgm')], capture_output=True,
                              env=env, stdin=subprocess.DEVNULL, start_new_session=True, timeout=60)
        lines = proc.stdout.split(b'\n')[:-1]
        self.assertEqual((len(lines[0]), len(lines)), (80, 20), '80 x 24 without a terminal')

    def test_a_flat_image_stays_flat(self):
        for level in (0, 1, 100, 254, 255):
            images.write_pnm(self.path('f.ppm'), 'P6', 300, 300, [level, 255 - level, level // 2] * 90000)
            text = self.shape(self.path('f.ppm'), '--width', '30')[2]
            self.assertEqual(set(text.split(b'\n')[:-1]), {images.text_of(1, 10, 3, [level, 255 - level,
                                                                                     level // 2] * 10)[:-1]})


if __name__ == '__main__':
    unittest.main()

"""Option values at their bounds: each bound is accepted and the value beside
it refused with a message naming the option, before anything is written."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'image'))
import images  # noqa: E402
import make_bad_corpus as corpus  # noqa: E402
from test_glyphweave import Folder, run  # noqa: E402


class Bounds(Folder):
    def test_each_bound_on_both_sides(self):
        images.write_pnm(self.path('a.pgm'), 'P5', 2, 1, [0, 255])
        # Decoded whole: 4 MB held at once.
        with open(self.path('w.gif'), 'wb') as f:
            f.write(corpus.gif(2048, 2048, 2048, 2048, True))
        step = self.path('step.json')
        with open(step, 'w') as f:
            f.write('{"format": "glyphweave-step", "version": 1, "parameters": []}')
        a = self.path('a.pgm')
        # (arguments, the start of the refusal; None: accepted)
        rows = [
            (['-j', '0', a], '-j takes'), (['-j', '1', a], None), (['-j', '256', a], None),
            (['-j', '257', a], '-j takes'), (['-j', '+4', a], '-j takes'), (['-j', ' 4', a], '-j takes'),
            (['-j', '4x', a], '-j takes'),
            (['-j'], '-j needs a value'), (['--width'], '--width needs a value'),
            (['-o', '', a], '-o needs a path'), (['--play=', a], '--play needs a file'),
            (['--loop', '0', a], None), (['--loop', '00', a], '--loop takes'),
            (['--width', '0', a], '--width takes'), (['--width', '1073741824', a], None),
            (['--width', '1073741825', a], '--width takes'), (['--height', '0', a], '--height takes'),
            (['--max-data', '0', a], '--max-data takes'), (['--max-data', '1', a], None),
            (['--max-data', '2147483647', a], None), (['--max-data', '2G', a], '--max-data takes'),
            (['--max-data', '512kb', a], None), (['--max-data', '512KB', a], None),
            (['--max-memory', '0', self.path('w.gif')], None), (['--max-memory', '1048576G', a], None),
            (['--max-memory', '1048577G', a], '--max-memory takes'),
            # 2^64 bytes: zero once shifted in 64 bits.
            (['--max-memory', '17179869184G', a], '--max-memory takes'),
            (['--max-memory', '1G', self.path('w.gif')], None),
            (['--max-memory', '3M', self.path('w.gif')], 'w.gif: needs 4096 KB'),
            (['--cell-aspect', '0.1', a], None), (['--cell-aspect', '0.0999', a], '--cell-aspect takes'),
            (['--cell-aspect', '10', a], None), (['--cell-aspect', '10.001', a], '--cell-aspect takes'),
            (['-', '-'], "standard input ('-') can be read only once"),
            (['-o', self.path('x.txt'), '--play', step, a], '-o and --play both give the output path'),
        ]
        for args, refusal in rows:
            with self.subTest(args=args):
                for name in ('a.txt', 'w.txt', 'x.txt'):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                proc = run('-q', *args, input=b'')
                if refusal is None:
                    self.assertExported(proc)
                    self.assertTrue(os.path.exists(self.path(os.path.basename(args[-1])[0] + '.txt')))
                else:
                    self.assertEqual(proc.returncode, 2, proc.stderr)
                    self.assertTrue(proc.stderr.startswith(b'glyphweave: '), proc.stderr)
                    self.assertIn(refusal.encode(), proc.stderr)
                    self.assertFalse(os.path.exists(self.path('x.txt')))


if __name__ == '__main__':
    unittest.main()

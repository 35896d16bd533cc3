"""Batches that never lose a result: every run in which one export would
destroy another's text, an input or a step file is refused before the first
export, naming what collides."""
import json
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import Folder, run  # noqa: E402


class Refusals(Folder):
    def setUp(self):
        super().setUp()
        for sub in ('x', 'y', 'out'):
            os.mkdir(self.path(sub))
        for name in ('photo.png', 'x/a.pgm', 'y/a.pgm'):
            images.write_pnm(self.path(name), 'P5', 2, 1, [0, 255])
        images.write_pnm(self.path('photo.jpg'), 'P5', 2, 1, [255, 0])

    def assertRefused(self, *args, naming=()):
        before = sorted(os.walk(self.dir))
        proc = run('-q', *args)
        self.assertEqual(proc.returncode, 2, proc.stderr)
        for name in naming:
            self.assertIn(name.encode(), proc.stderr)
        self.assertEqual(sorted(os.walk(self.dir)), before, 'nothing may be written')
        return proc

    def test_two_images_on_one_output(self):
        self.assertRefused(self.path('photo.png'), self.path('photo.jpg'), naming=['photo.png', 'photo.jpg'])
        self.assertRefused('-o', self.path('out') + '/', self.path('x/a.pgm'), self.path('y/a.pgm'),
                           naming=['x/a.pgm', 'y/a.pgm', 'out/a.txt'])
        # Also into a folder that does not exist (yet): one refusal, not two failures.
        self.assertRefused('-o', self.path('new') + '/', self.path('x/a.pgm'), self.path('y/a.pgm'),
                           naming=['x/a.pgm', 'y/a.pgm', 'new/a.txt'])
        # A folder by another name is the same folder.
        os.symlink(self.path('x'), self.path('link'))
        self.assertRefused(self.path('x/a.pgm'), self.path('link/a.pgm'), naming=['x/a.pgm', 'link/a.pgm'])

    def test_an_output_that_is_an_input(self):
        images.write_pnm(self.path('notes.txt'), 'P5', 1, 1, [7])
        self.assertRefused(self.path('notes.txt'), naming=['notes.txt'])
        # An input later in the batch is no safer than an earlier one.
        images.write_pnm(self.path('notes.pgm'), 'P5', 1, 1, [7])
        self.assertRefused(self.path('notes.pgm'), self.path('notes.txt'),
                           naming=['the text of %s would be written over the input %s' %
                                   (self.path('notes.pgm'), self.path('notes.txt'))])
        self.assertRefused('-o', self.path('notes.txt'), self.path('notes.txt'))
        with open(self.path('notes.txt'), 'rb') as f:
            self.assertTrue(f.read().startswith(b'P5'))

    def test_a_file_that_is_no_image_is_unreadable_not_refused(self):
        with open(self.path('notes.txt'), 'w') as f:
            f.write('hello, these are my notes\n')
        with open(self.path('x/a.txt'), 'w') as f:
            f.write('more notes\n')
        open(self.path('empty.txt'), 'w').close()
        not_an_image = b': not an image file (it starts with "'
        cases = [
            # The other images still export.
            ([self.path('notes.txt'), self.path('photo.png')], b'notes.txt' + not_an_image, ['photo.txt']),
            (['-o', self.path('notes.txt'), self.path('notes.txt')], b'notes.txt' + not_an_image, []),
            ([self.path('empty.txt')], b'empty.txt: empty file', []),
            # Only the image writes to the output they would share.
            (['-o', self.path('out') + '/', self.path('x/a.txt'), self.path('y/a.pgm')], b'x/a.txt' + not_an_image,
             ['out/a.txt']),
        ]
        for args, message, exported in cases:
            with self.subTest(args=args):
                proc = run('-q', *args)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(message, proc.stderr)
                self.assertNotIn(b'written over', proc.stderr)
                for name in exported:
                    self.assertTrue(os.path.exists(self.path(name)), name)
                    os.remove(self.path(name))
                self.assertEqual(self.read('notes.txt'), b'hello, these are my notes\n')
                self.assertEqual(self.read('x/a.txt'), b'more notes\n')

    def test_step_files_that_are_inputs_or_outputs(self):
        self.assertRefused('--record', self.path('photo.png'), self.path('photo.png'), naming=['--record'])
        self.assertRefused('--record', self.path('out', 'a.txt'), '-o', self.path('out') + '/',
                           self.path('x/a.pgm'), naming=['--record'])
        # A played step that the export would overwrite.
        with open(self.path('out', 'a.txt'), 'w') as f:
            json.dump({'format': 'glyphweave-step', 'version': 1, 'parameters': [
                {'key': 'In  ', 'type': 'alias', 'path': self.path('out') + '/'}]}, f)
        self.assertRefused('--play', self.path('out', 'a.txt'), self.path('x/a.pgm'),
                           naming=['--play', 'is also the output of'])
        # Text on standard output leaves no path to record.
        self.assertRefused('--record', self.path('s.json'), '-o', '-', self.path('x/a.pgm'), naming=['--record'])

    def test_a_renamed_output_is_announced_once(self):
        proc = run('-q', '-o', self.path('out', 'art.asc'), self.path('photo.png'))
        self.assertExported(proc)
        self.assertEqual(proc.stderr.count(b'art.asc becomes'), 1, proc.stderr)
        self.assertTrue(os.path.exists(self.path('out', 'art.txt')))
        proc = run('-q', '-o', self.path('out', 'plain.txt'), self.path('photo.png'))
        self.assertEqual(proc.stderr, b'')
        # A folder, with or without its separator, is no renamed file.
        for folder in (self.path('out'), self.path('out') + '/'):
            proc = run('-o', folder, self.path('photo.png'))
            self.assertEqual(proc.stderr, b'')
            self.assertEqual(proc.stdout, ('%s -> %s\n' % (self.path('photo.png'), self.path('out', 'photo.txt'))).encode())

    def test_output_paths_up_to_the_limit(self):
        # The plug-in takes paths of up to 255 bytes.
        for length, refused in ((255, False), (256, True)):
            output = self.path('out', 'n' * (length - len(self.path('out', '.txt'))) + '.txt')
            self.assertEqual(len(output), length)
            proc = run('-q', '-o', output, self.path('photo.png'))
            self.assertEqual(proc.returncode, 2 if refused else 0, proc.stderr)
            self.assertEqual(os.path.exists(output), not refused)
            if refused:
                self.assertIn(b'longer than 255 bytes', proc.stderr)


if __name__ == '__main__':
    unittest.main()

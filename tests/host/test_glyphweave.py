"""End-to-end tests of the glyphweave host: real image files exported
through build/glyphweave, which loads the built plug-in module and calls its
entry point. GLYPHWEAVE names the program."""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402

GLYPHWEAVE = os.environ.get('GLYPHWEAVE', 'build/glyphweave')
MODULE = os.environ.get('GLYPHWEAVE_MODULE', os.path.join(os.path.dirname(GLYPHWEAVE), 'Glyphweave.so'))


def run(*args, **kwargs):
    return subprocess.run([GLYPHWEAVE, *args], capture_output=True, timeout=120, **kwargs)


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='gw-host-')

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def read(self, *names):
        with open(self.path(*names), 'rb') as f:
            return f.read()

    def assertExported(self, proc):
        self.assertEqual(proc.returncode, 0, proc.stderr.decode(errors='replace'))

    def leftovers(self):
        """Files in the folder other than inputs: nothing temporary may stay."""
        return sorted(n for n in os.listdir(self.dir) if n.endswith('.tmp') or n.startswith('~gw')
                      or n.startswith('.~gw'))


class Modes(Folder):
    """Every mode gives byte-exact text for tiny images of known samples."""

    def export(self, image, *options):
        proc = run('-q', '-o', self.dir + '/', *options, image)
        self.assertExported(proc)
        return self.read(os.path.splitext(os.path.basename(image))[0] + '.txt')

    def test_gray_and_its_one_plane_relatives(self):
        samples = [0, 255, 128, 64, 17, 16, 247, 246]
        image = self.path('g.pgm')
        images.write_pnm(image, 'P5', 4, 2, samples)
        expected = images.text_of(2, 4, 1, samples)
        self.assertEqual(expected, b'@ uQ\nN@ `\n')
        self.assertEqual(self.export(image), expected)
        self.assertEqual(self.export(image, '--mode', 'duotone'), expected)
        # A grey image's colour table is the 256 grey levels: index = level.
        self.assertEqual(self.export(image, '--mode', 'indexed'), expected)
        # Every plane as stored: the same single plane.
        self.assertEqual(self.export(image, '--mode', 'multichannel'), expected)

    def test_rgb_is_three_characters_a_pixel(self):
        samples = [255, 0, 128, 0, 0, 0, 10, 200, 250, 64, 64, 64]
        image = self.path('c.ppm')
        images.write_pnm(image, 'P6', 2, 2, samples)
        self.assertEqual(self.export(image), images.text_of(2, 2, 3, samples))
        self.assertEqual(self.export(image).split(b'\n')[0][:3], b' @u')

    def test_rgb_png_matches_the_same_ppm(self):
        samples = images.pattern(5 * 3 * 3, seed=4)
        images.write_png(self.path('p.png'), 5, 3, 2, samples)
        self.assertEqual(self.export(self.path('p.png')), images.text_of(3, 5, 3, samples))

    def test_palette_png_is_colour_and_indexed_keeps_its_indices(self):
        palette = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (9, 9, 9)]
        indices = [0, 1, 2, 3, 3, 2]
        images.write_png(self.path('i.png'), 3, 2, 3, indices, palette=palette)
        colours = [v for i in indices for v in palette[i]]
        self.assertEqual(self.export(self.path('i.png')), images.text_of(2, 3, 3, colours))
        self.assertEqual(self.export(self.path('i.png'), '--mode', 'indexed'),
                         images.text_of(2, 3, 1, indices))

    def test_hsb_and_hsl_of_pure_colours(self):
        # red, green, blue, white: hue 0..255 for 0..360 degrees.
        samples = [255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255]
        image = self.path('h.ppm')
        images.write_pnm(image, 'P6', 4, 1, samples)
        hsb = [0, 255, 255, 85, 255, 255, 170, 255, 255, 0, 0, 255]
        hsl = [0, 255, 128, 85, 255, 128, 170, 255, 128, 0, 0, 255]
        self.assertEqual(self.export(image, '--mode', 'hsb'), images.text_of(1, 4, 3, hsb))
        self.assertEqual(self.export(image, '--mode', 'hsl'), images.text_of(1, 4, 3, hsl))

    def test_lab_and_cmyk_of_white_and_black(self):
        image = self.path('wb.ppm')
        images.write_pnm(image, 'P6', 2, 1, [255, 255, 255, 0, 0, 0])
        lab = self.export(image, '--mode', 'lab')
        self.assertEqual(lab, images.text_of(1, 2, 3, [255, 128, 128, 0, 128, 128]))
        cmyk = self.export(image, '--mode', 'cmyk')
        # 255 is no ink: white paper, and black from the black ink alone.
        self.assertEqual(cmyk, images.text_of(1, 2, 4, [255, 255, 255, 255, 255, 255, 255, 0]))

    def test_alpha_over_white_or_kept(self):
        # Two RGBA pixels: opaque black, fully transparent black.
        samples = [0, 0, 0, 255, 0, 0, 0, 0]
        images.write_png(self.path('a.png'), 2, 1, 6, samples)
        self.assertEqual(self.export(self.path('a.png')), images.text_of(1, 2, 3, [0, 0, 0, 255, 255, 255]))
        kept = self.export(self.path('a.png'), '--keep-alpha')
        # Kept alpha: the colours as stored, nothing composited.
        self.assertEqual(kept, images.text_of(1, 2, 4, [0, 0, 0, 255, 0, 0, 0, 0]))

    def test_multichannel_pam_keeps_every_plane(self):
        samples = images.pattern(3 * 2 * 5, seed=8)
        images.write_pam(self.path('m.pam'), 3, 2, 5, 'SPECTRAL', samples)
        self.assertEqual(self.export(self.path('m.pam')), images.text_of(2, 3, 5, samples))

    def test_bitmap_is_refused_clearly(self):
        images.write_pnm(self.path('b.pgm'), 'P5', 2, 2, [0, 255, 255, 0])
        proc = run('-q', '-o', self.dir + '/', '--mode', 'bitmap', self.path('b.pgm'))
        self.assertEqual(proc.returncode, 1)
        self.assertIn(b'bitmap images are not supported (-30201)', proc.stderr)
        self.assertFalse(os.path.exists(self.path('b.txt')))


class Sizes(Folder):
    """Large images: exactly rows x (columns x planes + 1) bytes, and right."""

    def test_large_gray_and_rgb(self):
        for name, kind, planes, columns, rows in [('big.pgm', 'P5', 1, 3001, 1999),
                                                  ('big.ppm', 'P6', 3, 1500, 1001)]:
            samples = images.pattern(columns * rows * planes, seed=columns)
            images.write_pnm(self.path(name), kind, columns, rows, samples)
            for max_data in ('4194304', '1000'):
                proc = run('-q', '--max-data', max_data, self.path(name))
                self.assertExported(proc)
                text = self.read(os.path.splitext(name)[0] + '.txt')
                self.assertEqual(len(text), rows * (columns * planes + 1))
                self.assertEqual(text, images.text_of(rows, columns, planes, samples))


class Batch(Folder):
    def test_each_image_lands_beside_itself(self):
        expected = {}
        for i, name in enumerate(['one.pgm', 'two.pgm', 'three.pgm']):
            samples = images.pattern(12, seed=i)
            images.write_pnm(self.path(name), 'P5', 4, 3, samples)
            expected[name] = images.text_of(3, 4, 1, samples)
        proc = run(*[self.path(n) for n in expected])
        self.assertExported(proc)
        for name, text in expected.items():
            self.assertEqual(self.read(name.replace('.pgm', '.txt')), text)
            self.assertIn((self.path(name) + ' -> ' + self.path(name.replace('.pgm', '.txt'))).encode(),
                          proc.stdout)

    def test_an_unreadable_image_does_not_stop_the_others(self):
        images.write_pnm(self.path('good.pgm'), 'P5', 2, 1, [0, 255])
        with open(self.path('bad.pgm'), 'wb') as f:
            f.write(b'P5\n2 1\n255\n')  # no samples
        proc = run('-q', self.path('bad.pgm'), self.path('good.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'bad.pgm', proc.stderr)
        self.assertEqual(self.read('good.txt'), b'@ \n')
        self.assertFalse(os.path.exists(self.path('bad.txt')))


class OutputAndSteps(Folder):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path('out'))
        self.samples = [0, 64, 128, 255]
        for name in ('a.pgm', 'b.pgm'):
            images.write_pnm(self.path(name), 'P5', 2, 2, self.samples)
        self.text = images.text_of(2, 2, 1, self.samples)

    def test_output_folder_and_file(self):
        self.assertExported(run('-q', '-o', self.path('out') + '/', self.path('a.pgm')))
        self.assertEqual(self.read('out', 'a.txt'), self.text)
        # A folder named without the trailing separator is still a folder.
        self.assertExported(run('-q', '-o', self.path('out'), self.path('b.pgm')))
        self.assertEqual(self.read('out', 'b.txt'), self.text)
        # A file: its extension becomes .txt.
        self.assertExported(run('-q', '-o', self.path('out', 'named.dat'), self.path('a.pgm')))
        self.assertEqual(self.read('out', 'named.txt'), self.text)
        # One file for several images would overwrite itself: refused.
        proc = run('-q', '-o', self.path('out', 'x.txt'), self.path('a.pgm'), self.path('b.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'but 2 images are given; give a folder', proc.stderr)

    def test_record_then_replay_into_a_folder(self):
        step = self.path('step.json')
        self.assertExported(run('-q', '-o', self.path('out') + '/', '--record', step, self.path('a.pgm')))
        with open(step) as f:
            recorded = json.load(f)
        self.assertEqual(recorded['format'], 'glyphweave-step')
        self.assertEqual([p['key'] for p in recorded['parameters']], ['In  '])
        os.remove(self.path('out', 'a.txt'))
        path = recorded['parameters'][0]['path']
        self.assertEqual(path, self.path('out', 'a.txt'), 'a path given with -o is recorded whole')
        # One recorded file over two images would overwrite itself: refused.
        proc = run('-q', '--play', step, self.path('a.pgm'), self.path('b.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertFalse(os.path.exists(self.path('out', 'a.txt')))
        self.assertExported(run('-q', '--play', step, self.path('b.pgm')))
        self.assertEqual(self.read('out', 'a.txt'), self.text)

    def test_a_broken_step_file_is_refused(self):
        with open(self.path('step.json'), 'w') as f:
            f.write('{"format": "something else"}')
        proc = run('-q', '--play', self.path('step.json'), self.path('a.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'step', proc.stderr)


class Dialog(Folder):
    """The plug-in's Save As dialog, answered on a pseudo-terminal: on Linux
    it asks on the controlling terminal."""

    def setUp(self):
        super().setUp()
        self.samples = [0, 128, 255, 64]
        images.write_pnm(self.path('doc.pgm'), 'P5', 2, 2, self.samples)
        self.text = images.text_of(2, 2, 1, self.samples)

    def converse(self, script, *options):
        """Runs glyphweave --dialog on a new terminal; `script` is a list of
        (prompt expected, answer or None for end of input)."""
        import pty
        import select
        pid, fd = pty.fork()
        if pid == 0:
            quiet = [] if '--report' in options else ['-q']
            options = [o for o in options if o != '--report']
            os.execv(GLYPHWEAVE, [GLYPHWEAVE, *quiet, '--dialog', *options, self.path('doc.pgm')])
        seen = b''

        def read_until(marker):
            nonlocal seen
            deadline = time.time() + 20
            while marker not in seen:
                ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.time()))
                if not ready:
                    raise AssertionError('no %r on the terminal; it shows %r' % (marker, seen))
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    chunk = b''
                if not chunk:
                    raise AssertionError('the terminal closed before %r: %r' % (marker, seen))
                seen += chunk
            seen = seen[seen.index(marker) + len(marker):]

        try:
            for prompt, answer in script:
                read_until(prompt)
                os.write(fd, b'\x04' if answer is None else answer + b'\n')
            # Drain until the program ends.
            self.transcript = b''
            while True:
                ready, _, _ = select.select([fd], [], [], 20)
                if not ready:
                    break
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                self.transcript += chunk
        finally:
            _, status = os.waitpid(pid, 0)
            os.close(fd)
        return os.waitstatus_to_exitcode(status)

    def test_keeping_the_proposed_name(self):
        step = self.path('step.json')
        code = self.converse([(b'File name [doc]: ', b'')], '--record', step)
        self.assertEqual(code, 0)
        self.assertEqual(self.read('doc.txt'), self.text)
        with open(step) as f:
            recorded = json.load(f)['parameters'][0]['path']
        self.assertEqual(recorded, self.dir + '/', 'a kept name records only the folder')

    def test_typing_a_name_without_extension(self):
        code = self.converse([(b'File name [doc]: ', b'custom')])
        self.assertEqual(code, 0)
        self.assertEqual(self.read('custom.txt'), self.text)

    def test_the_report_names_the_file_written(self):
        # A step that records a file: the dialog proposes its name, and
        # keeping it writes that name with the plug-in's extension.
        os.mkdir(self.path('out'))
        with open(self.path('step.json'), 'w') as f:
            json.dump({'format': 'glyphweave-step', 'version': 1, 'parameters': [
                {'key': 'In  ', 'type': 'alias', 'path': self.path('out', 'custom.dat')}]}, f)
        code = self.converse([(b'File name [custom]: ', b'')], '--report', '--play', self.path('step.json'))
        self.assertEqual(code, 0)
        self.assertEqual(self.read('out', 'custom.txt'), self.text)
        self.assertIn(('doc.pgm -> ' + self.path('out', 'custom.txt')).encode(), self.transcript)

    def test_replacing_only_when_confirmed(self):
        with open(self.path('doc.txt'), 'wb') as f:
            f.write(b'keep me')
        code = self.converse([(b'File name [doc]: ', b''), (b'[y/N] ', b'n'),
                              (b'File name [doc]: ', None)])
        self.assertEqual(code, 1, 'declining and then giving up cancels')
        self.assertEqual(self.read('doc.txt'), b'keep me')
        code = self.converse([(b'File name [doc]: ', b''), (b'[y/N] ', b'y')])
        self.assertEqual(code, 0)
        self.assertEqual(self.read('doc.txt'), self.text)

    def test_cancelling_leaves_no_file(self):
        proc_code = self.converse([(b'File name [doc]: ', None)])
        self.assertEqual(proc_code, 1)
        self.assertFalse(os.path.exists(self.path('doc.txt')))
        self.assertEqual(self.leftovers(), [])

    def test_no_terminal_says_so(self):
        proc = subprocess.run([GLYPHWEAVE, '-q', '--dialog', self.path('doc.pgm')], capture_output=True,
                              timeout=60, start_new_session=True)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'--dialog asks on the terminal, and there is none here', proc.stderr)
        self.assertFalse(os.path.exists(self.path('doc.txt')))
        # A step naming one file is fine for several images when the dialog asks for each.
        with open(self.path('step.json'), 'w') as f:
            json.dump({'format': 'glyphweave-step', 'version': 1, 'parameters': [
                {'key': 'In  ', 'type': 'alias', 'path': self.path('one.txt')}]}, f)
        proc = subprocess.run([GLYPHWEAVE, '-q', '--dialog', '--play', self.path('step.json'), self.path('doc.pgm'),
                               self.path('doc.pgm')], capture_output=True, timeout=60, start_new_session=True)
        self.assertIn(b'--dialog asks on the terminal', proc.stderr)


class BadInput(Folder):
    """Every file of the bad-input corpus: a clear message, exit 2, no output
    file and no crash."""

    def test_each_bad_file(self):
        corpus = os.path.join(os.path.dirname(__file__), '..', 'data', 'bad')
        names = sorted(n for n in os.listdir(corpus) if not n.endswith('.txt'))
        self.assertGreater(len(names), 20)
        out = self.path('out')
        os.mkdir(out)
        for name in names:
            with self.subTest(name=name):
                proc = run('-q', '-o', out + '/', os.path.join(corpus, name))
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertTrue(proc.stderr.startswith(b'glyphweave: '), proc.stderr)
                self.assertIn(name.encode(), proc.stderr)
                self.assertEqual(os.listdir(out), [])
        missing = run('-q', self.path('no-such-file.png'))
        self.assertEqual(missing.returncode, 2)


class Module(Folder):
    def test_about_box(self):
        proc = run('--about')
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.startswith(b'Glyphweave\n\nVersion 0.001 Release 1 (12/2001)\n'), proc.stdout)
        self.assertIn(b'Glyphweave plug-in module', proc.stdout)

    def test_other_modules_are_refused(self):
        with open(MODULE, 'rb') as f:
            module = f.read()
        kind = b'dnik\x00\x00\x00\x00\x04\x00\x00\x00MEB8'
        self.assertEqual(module.count(kind), 1)
        with open(self.path('filter.so'), 'wb') as f:
            f.write(module.replace(kind, kind[:-4] + b'MFB8'))
        images.write_pnm(self.path('a.pgm'), 'P5', 1, 1, [0])
        proc = run('--plugin', self.path('filter.so'), self.path('a.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"not an export module (its kind is '8BFM'", proc.stderr)
        with open(self.path('junk.so'), 'wb') as f:
            f.write(b'not a module')
        proc = run('--plugin', self.path('junk.so'), self.path('a.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertFalse(os.path.exists(self.path('a.txt')))

    def test_option_forms(self):
        images.write_pnm(self.path('-a.pgm'), 'P5', 2, 1, [0, 255])
        os.mkdir(self.path('out'))
        for args in (['--mode=gray', '--output=' + self.path('out', 'x.txt')], ['-qo', self.path('out', 'x.txt')],
                     ['-o' + self.path('out', 'x.txt'), '--max-data', '512k']):
            with self.subTest(args=args):
                os.path.exists(self.path('out', 'x.txt')) and os.remove(self.path('out', 'x.txt'))
                self.assertExported(run(*args, '--', self.path('-a.pgm')))
                self.assertEqual(self.read('out', 'x.txt'), b'@ \n')
        proc = run('--mode=sepia', self.path('-a.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"unknown mode 'sepia'", proc.stderr)
        proc = run('--quiet=yes', self.path('-a.pgm'))
        self.assertIn(b'--quiet takes no value', proc.stderr)

    def test_usage_errors(self):
        for args in [[], ['--mode', 'sepia', 'x.png'], ['--max-data', '0', 'x.png'], ['--frobnicate']]:
            proc = run(*args)
            self.assertEqual(proc.returncode, 2, args)
            self.assertTrue(proc.stderr.startswith(b'glyphweave: '), args)
        self.assertEqual(run('--help').returncode, 0)
        self.assertEqual(run('--version').returncode, 0)

    def test_document_names_at_the_limit(self):
        # 255 characters: the most a document name can have; the text goes
        # beside it under a name just as long.
        name = 'n' * 251 + '.pgm'
        images.write_pnm(self.path(name), 'P5', 1, 1, [0])
        proc = subprocess.run([os.path.abspath(GLYPHWEAVE), '-q', name], cwd=self.dir,
                              capture_output=True, timeout=60)
        self.assertExported(proc)
        self.assertEqual(self.read('n' * 251 + '.txt'), b'@\n')
        # 256 characters cannot be passed to the plug-in at all.
        proc = run('-q', self.path('x' * 200, 'y' * 60 + '.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'longer than 255 bytes', proc.stderr)


if __name__ == '__main__':
    unittest.main()

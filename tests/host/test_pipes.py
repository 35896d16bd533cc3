"""glyphweave on a terminal and in pipes: the text on standard output, a
reader that goes away, stop signals, and nothing left behind."""
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402


class StandardOutput(Folder):
    def setUp(self):
        super().setUp()
        # The host stages the text in a private folder under TMPDIR.
        self.tmp = self.path('tmp')
        os.mkdir(self.tmp)
        self.env = dict(os.environ, TMPDIR=self.tmp)

    def test_text_in_order_and_nothing_left(self):
        a, b = images.pattern(12, seed=1), images.pattern(6, seed=2)
        images.write_pnm(self.path('a.pgm'), 'P5', 4, 3, a)
        images.write_pnm(self.path('b.pgm'), 'P5', 3, 2, b)
        proc = run('-o', '-', self.path('a.pgm'), self.path('b.pgm'), env=self.env)
        self.assertExported(proc)
        self.assertEqual(proc.stdout, images.text_of(3, 4, 1, a) + images.text_of(2, 3, 1, b))
        self.assertEqual(os.listdir(self.tmp), [])
        self.assertEqual(sorted(os.listdir(self.dir)), ['a.pgm', 'b.pgm', 'tmp'])

    def test_a_large_image_streams_whole(self):
        columns, rows = 2000, 1500
        samples = images.pattern(columns * rows, seed=3)
        images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, samples)
        proc = run('-q', '--max-data', '64k', '-o', '-', self.path('big.pgm'), env=self.env)
        self.assertExported(proc)
        self.assertEqual(proc.stdout, images.text_of(rows, columns, 1, samples))

    def test_a_reader_that_goes_away_ends_the_run_quietly(self):
        columns, rows = 3000, 3000
        images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, images.pattern(columns * rows, seed=4))
        # The images after it are not even opened: one that is no image says nothing.
        with open(self.path('next.pgm'), 'wb') as f:
            f.write(b'no image')
        proc = subprocess.Popen([GLYPHWEAVE, '--max-data', '64k', '-o', '-', self.path('big.pgm'),
                                 self.path('next.pgm')], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=self.env)
        self.assertEqual(len(proc.stdout.read(5000)), 5000)
        proc.stdout.close()
        err = proc.stderr.read()
        self.assertEqual(proc.wait(timeout=60), 141)
        self.assertEqual(err, b'')
        self.assertEqual(os.listdir(self.tmp), [])


class StandardInput(Folder):
    def test_an_image_from_a_pipe(self):
        samples = images.pattern(5 * 4 * 3, seed=6)
        images.write_png(self.path('c.png'), 5, 4, 2, samples)
        with open(self.path('c.png'), 'rb') as f:
            data = f.read()
        # A pipe cannot seek; without -o the text comes back on standard output.
        proc = run('-', input=data)
        self.assertExported(proc)
        self.assertEqual(proc.stdout, images.text_of(4, 5, 3, samples))
        os.mkdir(self.path('out'))
        with open(self.path('c.png'), 'rb') as f:
            proc = run('-q', '-o', self.path('out') + '/', '-', stdin=f)
        self.assertExported(proc)
        self.assertEqual(self.read('out', 'stdin.txt'), images.text_of(4, 5, 3, samples))
        # A replayed step sends it where the step says, standard output stays empty.
        os.remove(self.path('out', 'stdin.txt'))
        with open(self.path('step.json'), 'w') as f:
            f.write('{"format": "glyphweave-step", "version": 1, "parameters": '
                    '[{"key": "In  ", "type": "alias", "path": "%s/"}]}' % self.path('out'))
        proc = run('-q', '--play', self.path('step.json'), '-', input=data)
        self.assertExported(proc)
        self.assertEqual(proc.stdout, b'')
        self.assertEqual(self.read('out', 'stdin.txt'), images.text_of(4, 5, 3, samples))

    def test_piped_input_stops_at_max_input(self):
        # The copy goes to TMPDIR, and nothing of it stays there.
        self.tmp = self.path('tmp')
        os.mkdir(self.tmp)
        self.env = dict(os.environ, TMPDIR=self.tmp)
        # A valid header, then data without end.
        endless = subprocess.Popen([sys.executable, '-c', 'import sys\nsys.stdout.buffer.write(b"P5 4000 4000 255\\n")\n'
                                    'while True: sys.stdout.buffer.write(bytes(65536))'],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        proc = run('-q', '--max-input', '1M', '-o', self.path('out.txt'), '-', stdin=endless.stdout, env=self.env)
        endless.stdout.close()
        endless.kill()
        endless.wait()
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn(b'standard input: more than the limit of 1024 KB for input through a pipe '
                      b'(--max-input changes it)', proc.stderr)
        self.assertEqual(os.listdir(self.tmp), [])
        self.assertFalse(os.path.exists(self.path('out.txt')))
        # The limit itself passes, a byte less does not; 0 is no limit.
        samples = images.pattern(40 * 30, seed=7)
        images.write_pnm(self.path('d.pgm'), 'P5', 40, 30, samples)
        size = os.path.getsize(self.path('d.pgm'))
        for limit, status in ((str(size), 0), (str(size - 1), 2), ('0', 0)):
            with self.subTest(limit=limit), open(self.path('d.pgm'), 'rb') as f:
                proc = run('-q', '--max-input', limit, '-o', '-', '-', input=f.read(), env=self.env)
                self.assertEqual(proc.returncode, status, proc.stderr)
                if status == 0:
                    self.assertEqual(proc.stdout, images.text_of(30, 40, 1, samples))
                self.assertEqual(os.listdir(self.tmp), [])

    def test_special_files_are_refused_at_once(self):
        os.mkfifo(self.path('fifo'))
        for path, reason in [('/dev/zero', b'device'), (self.path('fifo'), b'no writer')]:
            with self.subTest(path=path):
                proc = run('-q', '-o', self.dir + '/', path)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(reason, proc.stderr)


class StopSignals(Folder):
    """SIGTERM and SIGHUP stop an export like Ctrl-C: cancelled, the earlier
    file kept, no temporary file left, 128 + the signal."""

    def test_each_signal(self):
        columns, rows = 4000, 2000
        with open(self.path('long.pgm'), 'wb') as f:
            f.write(b'P5\n%d %d\n255\n' % (columns, rows))
            f.write(images.pattern(columns * rows, seed=5))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig):
                with open(self.path('long.txt'), 'wb') as f:
                    f.write(b'earlier export')
                proc = subprocess.Popen([GLYPHWEAVE, '-q', '--max-data', '1', self.path('long.pgm')],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                deadline = time.time() + 30
                while time.time() < deadline and not self.leftovers():
                    time.sleep(0.005)
                proc.send_signal(sig)
                out, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 128 + sig, err)
                self.assertEqual(self.read('long.txt'), b'earlier export')
                self.assertEqual(self.leftovers(), [])


if __name__ == '__main__':
    unittest.main()

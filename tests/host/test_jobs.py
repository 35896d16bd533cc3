"""Several images at once (-j): results reported in the order of the images
whatever order they finish in, every failure said and counted in the exit
status, and a stop signal that ends the run without starting more exports."""
import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402


class Jobs(Folder):
    def test_failures_among_many_images(self):
        names, texts = [], {}
        for i in range(9):
            name = 'i%d.pgm' % i
            # The first is the largest, so that later ones finish first.
            columns, rows = (600, 400) if i == 0 else (3, 2)
            samples = images.pattern(columns * rows, seed=i)
            images.write_pnm(self.path(name), 'P5', columns, rows, samples)
            names.append(name)
            texts[name] = images.text_of(rows, columns, 1, samples)
        with open(self.path('i3.pgm'), 'wb') as f:
            f.write(b'P5\n2 1\n255\n')  # no samples: unreadable
        os.mkdir(self.path('i6.txt'))  # the output is a folder: the export fails
        good = [n for n in names if n not in ('i3.pgm', 'i6.pgm')]
        for jobs in ('1', '4'):
            with self.subTest(jobs=jobs):
                for n in good:
                    if os.path.exists(self.path(n[:-4] + '.txt')):
                        os.remove(self.path(n[:-4] + '.txt'))
                proc = run('-j', jobs, *[self.path(n) for n in names])
                self.assertEqual(proc.returncode, 2, 'an unreadable image outweighs a failed export')
                self.assertEqual(proc.stdout.decode().splitlines(),
                                 ['%s -> %s' % (self.path(n), self.path(n[:-4] + '.txt')) for n in good])
                errors = proc.stderr.decode().splitlines()
                self.assertEqual(len(errors), 2, errors)
                self.assertIn('i3.pgm', errors[0])
                self.assertIn('i6.txt: cannot create the output file (-23): is a folder', errors[1])
                for n in good:
                    self.assertEqual(self.read(n[:-4] + '.txt'), texts[n])
        # On standard output the texts follow each other whole and in order,
        # -j or not: two long exports, a row a band.
        proc = run('-q', '-j', '2', '--max-data', '600', '-o', '-', self.path('i0.pgm'), self.path('i0.pgm'))
        self.assertExported(proc)
        self.assertEqual(proc.stdout, texts['i0.pgm'] * 2)

    def test_a_stop_signal_starts_no_more_exports(self):
        columns, rows = 2000, 1000
        with open(self.path('slow.pgm'), 'wb') as f:
            f.write(b'P5\n%d %d\n255\n' % (columns, rows))
            f.write(images.pattern(columns * rows, seed=7))
        for jobs, count in ((1, 2), (3, 6)):
            with self.subTest(jobs=jobs):
                inputs = []
                for i in range(count):
                    name = self.path('s%d.pgm' % i)
                    if not os.path.exists(name):
                        os.link(self.path('slow.pgm'), name)
                    inputs.append(name)
                proc = subprocess.Popen([GLYPHWEAVE, '-q', '-j', str(jobs), '--max-data', '1', *inputs],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                deadline = time.time() + 30
                while time.time() < deadline and not self.leftovers():
                    time.sleep(0.005)
                proc.send_signal(signal.SIGTERM)
                _, err = proc.communicate(timeout=60)
                self.assertEqual(proc.returncode, 128 + signal.SIGTERM, err)
                said = re.search(rb'interrupted; (\d+) image(s?) not exported\n', err)
                self.assertIsNotNone(said, err)
                skipped = int(said.group(1))
                self.assertEqual(said.group(2), b'' if skipped == 1 else b's')
                # The exports under way when the signal came are cancelled;
                # the rest never start.
                self.assertEqual(skipped + err.count(b'cancelled (-128)'), count, err)
                if jobs == 1:
                    self.assertEqual(skipped, 1)
                self.assertFalse(os.path.exists(self.path('s%d.txt' % (count - 1))))
                self.assertEqual(self.leftovers(), [])

    def test_an_export_done_before_a_stop_is_still_reported(self):
        # The first image never finishes arriving, so the second, done
        # meanwhile, waits to be reported in order when the signal comes.
        os.mkfifo(self.path('slow'))
        writer = os.open(self.path('slow'), os.O_RDWR)
        self.addCleanup(os.close, writer)
        os.write(writer, b'P5\n2000 1000\n255\n')
        images.write_pnm(self.path('quick.pgm'), 'P5', 3, 2, images.pattern(6, seed=8))
        proc = subprocess.Popen([GLYPHWEAVE, '-j', '2', self.path('slow'), self.path('quick.pgm')],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.time() + 30
        while time.time() < deadline and not os.path.exists(self.path('quick.txt')):
            time.sleep(0.005)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
        self.assertEqual(proc.returncode, 128 + signal.SIGINT, err)
        self.assertEqual(out, ('%s -> %s\n' % (self.path('quick.pgm'), self.path('quick.txt'))).encode())
        self.assertIn(b'slow: interrupted', err)


if __name__ == '__main__':
    unittest.main()

"""Small files that declare huge images: each is refused, or exported,
within the command-line host's default memory budget; and a stop signal
ends a long whole-image decode at once."""
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'image'))
import images  # noqa: E402
import make_bad_corpus as corpus  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder  # noqa: E402

BAD = os.path.join(os.path.dirname(__file__), '..', 'data', 'bad')


def run_measured(*args):
    """Exit status, peak memory in MB and standard error of one run."""
    proc = subprocess.Popen([GLYPHWEAVE, *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_maxrss / 1024, err


def sanitized():
    """True for a build under AddressSanitizer, whose shadow memory makes
    peak figures meaningless."""
    with open(GLYPHWEAVE, 'rb') as f:
        return b'__asan_init' in f.read()


class Bombs(Folder):
    def write(self, name, data):
        with open(self.path(name), 'wb') as f:
            f.write(data)
        return self.path(name)

    def test_each_bomb_is_refused_or_small(self):
        out = self.path('out') + '/'
        os.mkdir(out)
        cases = [
            (self.write('canvas.webp', corpus.webp_animated(32767, 32767)), 2, b'needs 4096 MB'),
            (self.write('strips.tif', corpus.tiff_shared_strip_bomb()), 2, b'needs 3072 MB'),
            (self.write('frame.gif', corpus.gif(1, 1, 65535, 65535, True)), 0, b''),
            (os.path.join(BAD, 'jpeg-694-scans.jpg'), 2, b'694 scans'),
        ]
        for path, status, message in cases:
            with self.subTest(path=os.path.basename(path)):
                code, peak, err = run_measured('-q', '-o', out, path)
                self.assertEqual(code, status, err)
                self.assertIn(message, err)
                if status == 2 and b'MB' in message:
                    self.assertIn(b'--max-memory', err)
                self.assertLess(peak, 200, 'peak memory in MB')
        self.assertEqual(os.listdir(out), ['frame.txt'])
        # A smaller budget is the user's to set, and holds too.
        code, _, err = run_measured('-q', '--max-memory', '1M', '-o', out, self.write('wide.gif', corpus.gif(
            2048, 2048, 2048, 2048, True)))
        self.assertEqual(code, 2, err)
        self.assertIn(b'more than the limit of 1024 KB (--max-memory changes it)', err)

    def test_heif_and_avif_decodes_stay_within_their_budget(self):
        out = self.path('out') + '/'
        os.mkdir(out)
        measured = not sanitized()
        # Headers (ispe) that say 64 x 64 and 64 x 48 over a coded 16384 x
        # 16384 and 4000 x 3000: refused before anything is decoded.
        for name, budget in (('avif-lying-16384x16384.avif', 16), ('heif-lying-4000x3000.heic', 20)):
            with self.subTest(name=name):
                code, peak, err = run_measured('-q', '--max-memory', '%dM' % budget, '-o', out, os.path.join(BAD, name))
                self.assertEqual(code, 2, err)
                self.assertIn(b'is coded at', err)
                if measured:
                    self.assertLess(peak, budget + 40, 'peak memory in MB')
        # Honest images of 2400 x 1600, decoded within what they are charged.
        if not shutil.which('heif-enc') or not shutil.which('avifenc'):
            self.skipTest('heif-enc or avifenc is not installed')
        width, height = 2400, 1600
        y4m = self.path('source.y4m')
        with open(y4m, 'wb') as f:
            f.write(b'YUV4MPEG2 W%d H%d F25:1 Ip A1:1 C420jpeg\nFRAME\n' % (width, height))
            f.write(bytes((x * 3) & 255 for x in range(width)) * height + bytes([90, 160]) * (width * height // 4))
        rgba = self.path('source.png')
        row = b'\0' + bytes((x * 5 + c * 60) & 255 for x in range(width) for c in range(4))
        with open(rgba, 'wb') as f:
            def chunk(kind, body):
                return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
            f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 6, 0, 0, 0)) +
                    chunk(b'IDAT', zlib.compress(row * height, 1)) + chunk(b'IEND', b''))
        made = [('photo.heic', ['heif-enc', '-q', '50', '-p', 'preset=ultrafast', y4m, '-o']),
                ('photo.avif', ['avifenc', '-s', '10', y4m]),
                ('alpha.avif', ['avifenc', '-s', '10', rgba]),
                ('alpha.heic', ['heif-enc', '-q', '50', '-p', 'preset=ultrafast', rgba, '-o'])]
        for name, command in made:
            with self.subTest(name=name):
                subprocess.run(command + [self.path(name)], check=True, capture_output=True)
                code, _, err = run_measured('-q', '--max-memory', '1M', '-o', out, self.path(name))
                needed = re.search(rb'needs (\d+) MB', err)
                self.assertEqual(code, 2, err)
                self.assertIsNotNone(needed, err)
                budget = int(needed.group(1))
                code, peak, err = run_measured('-q', '--max-memory', '%dM' % budget, '-o', out, self.path(name))
                self.assertEqual(code, 0, err)
                if measured:
                    # The process's own (program, plug-in, output buffers) on top.
                    self.assertLess(peak, budget + 20, 'peak memory in MB')

    def test_a_stop_signal_ends_a_long_whole_decode(self):
        # An interlaced GIF is decoded whole: this one takes seconds.
        image = self.write('long.gif', corpus.gif(8192, 8192, 65535, 65535, True))
        # A second signal while the first is being acted on changes nothing.
        for sig, times in ((signal.SIGINT, 1), (signal.SIGTERM, 1), (signal.SIGINT, 2)):
            with self.subTest(signal=sig, times=times):
                proc = subprocess.Popen([GLYPHWEAVE, '-q', '-o', self.dir + '/', image],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                time.sleep(0.3)
                sent = time.monotonic()
                for _ in range(times):
                    proc.send_signal(sig)
                out, err = proc.communicate(timeout=60)
                waited = time.monotonic() - sent
                self.assertEqual(proc.returncode, 128 + sig, err)
                self.assertIn(b'cancelled (-128)', err)
                self.assertLess(waited, 3, 'the decode went on after the signal')
                self.assertEqual(self.leftovers(), [])
                self.assertFalse(os.path.exists(self.path('long.txt')))


def jpeg_with_scans(path, scans, workdir):
    """A grey progressive JPEG of exactly `scans` scans (2 to 64): the DC
    coefficients, then the 63 AC coefficients in scans - 1 bands."""
    pgm = os.path.join(workdir, 'scans.pgm')
    images.write_pnm(pgm, 'P5', 64, 48, images.pattern(64 * 48))
    base = subprocess.run(['cjpeg', '-grayscale', pgm], check=True, capture_output=True).stdout
    edges = [1 + 63 * k // (scans - 1) for k in range(scans)]
    script = os.path.join(workdir, 'scans.txt')
    with open(script, 'w') as f:
        f.write('0: 0 0 0 0;\n' + ''.join('0: %d %d 0 0;\n' % (a, b - 1) for a, b in zip(edges, edges[1:])))
    with open(path, 'wb') as f:
        f.write(subprocess.run(['jpegtran', '-scans', script], input=base, check=True, capture_output=True).stdout)


class Limits(Folder):
    def test_the_scan_limit_at_and_beside_it(self):
        for scans, refused in ((40, False), (41, True)):
            jpeg_with_scans(self.path('p.jpg'), scans, self.dir)
            code, _, err = run_measured('-q', self.path('p.jpg'))
            self.assertEqual(code, 2 if refused else 0, err)
            if refused:
                self.assertIn(b'a JPEG file with 41 scans, more than the 40 this reader decodes', err)

    def test_the_budget_at_its_edge(self):
        # The need a refusal names is enough, and one byte less is not.
        with open(self.path('small.gif'), 'wb') as f:
            f.write(corpus.gif(60, 50, 60, 50, True))
        code, _, err = run_measured('-q', '--max-memory', '1', self.path('small.gif'))
        need = re.search(rb'needs (\d+) bytes ', err)
        self.assertIsNotNone(need, err)
        for limit, status in ((int(need.group(1)), 0), (int(need.group(1)) - 1, 2)):
            code, _, err = run_measured('-q', '--max-memory', str(limit), self.path('small.gif'))
            self.assertEqual(code, status, err)


if __name__ == '__main__':
    unittest.main()

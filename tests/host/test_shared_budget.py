"""--max-memory is the whole run's budget: with -j 8 the images decoded
whole (progressive JPEG, some turned by their EXIF orientation, and
interlaced PNG) take turns within it, every one is exported as it is alone,
one larger than the whole budget is refused, and a stop signal ends the
jobs that wait for memory. A turned JPEG holds its oriented image before
libjpeg takes its coefficients: two of them holding one half each and
waiting for the other must not wait for ever. Peak memory is the kernel's
count for the process (its children's rusage)."""
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(__file__), '..', 'image'))
import images  # noqa: E402
import make_bad_corpus as corpus  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder  # noqa: E402

# MB: two of the plain JPEGs (9.5 MB of coefficients and libjpeg's buffers
# each) at once, or one turned (and 9 MB oriented, held whole).
BUDGET = 20
# The program itself (about 9 MB), the plug-in's bands and small buffers of
# eight jobs; without sharing the run peaks at about 100 MB.
MARGIN = 32


def rgb_rows(width, height, phase):
    base = bytes(((x * 255 // (width - 1)) + phase) & 255 for x in range(width))
    row = bytearray(3 * width)
    row[0::3], row[1::3], row[2::3] = base, base[7:] + base[:7], base[::-1]
    row = bytes(row) * 2
    return [row[3 * ((y * 7) % width):][:3 * width] for y in range(height)]


def progressive_jpeg(width, height, phase):
    ppm = b'P6\n%d %d\n255\n' % (width, height) + b''.join(rgb_rows(width, height, phase))
    return subprocess.run(['cjpeg', '-progressive', '-quality', '75'], input=ppm, capture_output=True,
                          check=True).stdout


def turned(jpeg, orientation):
    """The JPEG with an EXIF block saying how it is turned."""
    tiff = b'MM\0*' + struct.pack('>IHHHIHHI', 8, 1, 0x0112, 3, 1, orientation, 0, 0)
    body = b'Exif\0\0' + tiff
    return jpeg[:2] + b'\xff\xe1' + struct.pack('>H', len(body) + 2) + body + jpeg[2:]


def interlaced_png(width, height, phase):
    rows = rgb_rows(width, height, phase)
    raw = bytearray()
    for x0, y0, dx, dy in ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
                           (0, 1, 1, 2)):
        n = len(range(x0, width, dx))
        for y in range(y0, height, dy) if n else ():
            sub = bytearray(3 * n)
            for c in range(3):
                sub[c::3] = rows[y][3 * x0 + c::3 * dx]
            raw += b'\0' + sub

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 1)) +
            chunk(b'IDAT', zlib.compress(bytes(raw), 1)) + chunk(b'IEND', b''))


class SharedBudget(Folder):
    @classmethod
    def setUpClass(cls):
        cls.images = tempfile.mkdtemp(prefix='gw-budget-')
        jpeg = progressive_jpeg(2000, 1500, 0)
        png = interlaced_png(1500, 1000, 40)
        files = {'j0.jpg': jpeg, 'j1.jpg': jpeg, 'r0.jpg': turned(jpeg, 6), 'r1.jpg': turned(jpeg, 6),
                 'r2.jpg': turned(jpeg, 8), 'r3.jpg': turned(jpeg, 3), 'p0.png': png, 'p1.png': png}
        cls.names = sorted(files)
        for name, data in files.items():
            with open(os.path.join(cls.images, name), 'wb') as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.images)

    def inputs(self):
        return [os.path.join(self.images, name) for name in self.names]

    def run_jobs(self, *args):
        """Exit status, peak memory in MB and standard error of a run, killed
        after two minutes (jobs waiting for each other wait for ever)."""
        proc = subprocess.Popen([GLYPHWEAVE, '-q', '-j', '8', '--max-data', '256k', *args],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = threading.Timer(120, proc.kill)
        deadline.start()
        err = proc.stderr.read()
        proc.stderr.close()
        _, status, usage = os.wait4(proc.pid, 0)
        deadline.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        return proc.returncode, usage.ru_maxrss / 1024, err

    def test_jobs_take_turns_within_the_budget(self):
        alone = self.path('alone') + '/'
        shared = self.path('shared') + '/'
        os.mkdir(alone)
        os.mkdir(shared)
        proc = subprocess.run([GLYPHWEAVE, '-q', '-j', '1', '--max-memory', '0', '-o', alone, *self.inputs()],
                              capture_output=True, timeout=300)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        # An image larger than the whole budget is still refused as such.
        bomb = self.path('wide.gif')
        with open(bomb, 'wb') as f:
            f.write(corpus.gif(5000, 5000, 5000, 5000, True))
        code, peak, err = self.run_jobs('--max-memory', '%dM' % BUDGET, '-o', shared, *self.inputs(), bomb)
        self.assertEqual(code, 2, err)
        self.assertEqual(err.count(b'\n'), 1, err)
        self.assertIn(b'wide.gif: needs 24 MB to decode the image whole (interlaced GIF), more than the limit of '
                      b'20 MB (--max-memory changes it)', err)
        self.assertEqual(sorted(os.listdir(shared)), sorted(os.listdir(alone)))
        for name in os.listdir(alone):
            with open(alone + name, 'rb') as a, open(shared + name, 'rb') as b:
                self.assertEqual(a.read(), b.read(), name)
        self.assertLess(peak, BUDGET + MARGIN, 'peak memory in MB')

    def test_enlarged_images_are_made_as_they_are_written(self):
        # Eight pixels across enlarged to 32767 columns: each of the 2048
        # rows comes from the one source row, and making them all when it
        # came held each whole enlarged image (64 MB), charged to nothing.
        names = []
        for k in range(3):
            names.append(self.path('row%d.pgm' % k))
            images.write_pnm(names[-1], 'P5', 8, 1, [k * 30 + 25 * x for x in range(8)])
        out = self.path('out') + '/'
        os.mkdir(out)
        code, peak, err = self.run_jobs('--max-memory', '%dM' % BUDGET, '--enlarge', '--width', '32767',
                                        '-o', out, *names)
        self.assertEqual(code, 0, err)
        for k in range(3):
            with open(out + 'row%d.txt' % k, 'rb') as f:
                first = f.readline()
                self.assertEqual(len(first), 32768)
                f.seek(-len(first), os.SEEK_END)
                self.assertEqual(f.read(), first)
                self.assertEqual(f.tell(), 32768 * 2048)
        self.assertLess(peak, BUDGET + MARGIN, 'peak memory in MB')

    def test_a_stop_signal_ends_jobs_waiting_for_memory(self):
        # Room for one image at a time: seven jobs wait. Enough images that a
        # fast machine is still at work when the first text is written.
        out = self.path('out') + '/'
        os.mkdir(out)
        inputs = []
        for copy in range(6):
            for name in self.names:
                link = self.path('%d-%s' % (copy, name))
                os.symlink(os.path.join(self.images, name), link)
                inputs.append(link)
        proc = subprocess.Popen([GLYPHWEAVE, '-q', '-j', '8', '--max-memory', '19M', '-o', out, *inputs],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 60
        while not os.listdir(out) and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        try:
            err = proc.communicate(timeout=60)[1]
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            raise
        self.assertEqual(proc.returncode, 130, err)
        written = os.listdir(out)
        self.assertLess(len(written), len(inputs), 'the exports went on after the signal')
        self.assertEqual([n for n in written if not n.endswith('.txt')], [], 'a temporary file left')
        self.assertEqual(self.leftovers(), [])

if __name__ == '__main__':
    unittest.main()

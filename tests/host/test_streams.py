"""Text that streams to standard output or another descriptor: writes that
fail are named and stop the batch, a stop signal ends a write blocked on a
slow reader, paths that name descriptors, and no file made in /dev or /proc."""
import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import time
import tty
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402


def shell(redirect, *args, **kwargs):
    """glyphweave with a shell redirection (>&-, 3>FILE) applied first."""
    return subprocess.run(['sh', '-c', 'exec "$0" "$@" ' + redirect, GLYPHWEAVE, *args],
                          capture_output=True, timeout=120, **kwargs)


class Streams(Folder):
    def setUp(self):
        super().setUp()
        self.tmp = self.path('tmp')
        os.mkdir(self.tmp)
        self.env = dict(os.environ, TMPDIR=self.tmp)
        self.samples = {}
        for name, seed in (('a', 1), ('b', 2), ('c', 3)):
            self.samples[name] = images.pattern(12, seed=seed)
            images.write_pnm(self.path(name + '.pgm'), 'P5', 4, 3, self.samples[name])

    def text(self, name):
        return images.text_of(3, 4, 1, self.samples[name])


class WriteFailures(Streams):
    def test_each_failure_is_named_and_stops_the_batch(self):
        columns, rows = 1000, 300
        images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, images.pattern(columns * rows))
        os.mkdir(self.path('out'))
        out = self.path('out') + '/'
        # redirection, arguments, exit status, message, files in out/
        cases = [
            ('>/dev/full', ['-q', '-o', '-', 'big.pgm'], 1, 'standard output: no space left on device', []),
            ('>/dev/full', ['-j1', '-o', out, 'a.pgm', 'b.pgm', 'c.pgm'], 1,
             'standard output: no space left on device; 2 images not exported', ['a.txt']),
            ('>&-', ['-o', '-', 'a.pgm'], 1, 'standard output: bad file descriptor', []),
            ('>&-', ['-o', out, 'a.pgm'], 1, 'standard output: bad file descriptor', ['a.txt']),
            # A closed standard output that is never written is no failure.
            ('>&-', ['-q', '-o', out, 'a.pgm'], 0, None, ['a.txt']),
            ('', ['-q', '-o', '/dev/fd/5', 'a.pgm'], 1, 'descriptor 5: bad file descriptor', []),
            ('>/dev/full', ['--help'], 1, 'standard output: no space left on device', []),
        ]
        for redirect, args, status, message, files in cases:
            with self.subTest(redirect=redirect, args=args):
                for name in os.listdir(out):
                    os.remove(out + name)
                proc = shell(redirect, *args, cwd=self.dir, env=self.env)
                self.assertEqual(proc.returncode, status, proc.stderr)
                if message is None:
                    self.assertEqual(proc.stderr, b'')
                else:
                    self.assertEqual(proc.stderr, b'glyphweave: cannot write to %s\n' % message.encode())
                self.assertEqual(sorted(os.listdir(out)), files)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_a_full_file_system(self):
        if os.geteuid() != 0:
            self.skipTest('mounting a small tmpfs needs root')
        disk = self.path('small')
        os.mkdir(disk)
        if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', disk],
                          capture_output=True).returncode != 0:
            self.skipTest('cannot mount a small tmpfs here')
        try:
            columns, rows = 1000, 300
            images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, images.pattern(columns * rows))
            with open(os.path.join(disk, 'art.txt'), 'wb') as f:
                proc = subprocess.run([GLYPHWEAVE, '-q', '-o', '-', self.path('big.pgm'), self.path('a.pgm')],
                                      stdout=f, stderr=subprocess.PIPE, env=self.env, timeout=120)
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertEqual(proc.stderr, b'glyphweave: cannot write to standard output: '
                                          b'no space left on device; 1 image not exported\n')
            self.assertEqual(os.listdir(self.tmp), [])
            # The temporary file the text streams through fills the disk:
            # named with the folder, which the user did not name.
            os.remove(os.path.join(disk, 'art.txt'))
            proc = run('-q', '-o', '-', self.path('big.pgm'), env=dict(self.env, TMPDIR=disk))
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertEqual(proc.stderr, b'glyphweave: %s: write error (-20): no space left on device (the text for '
                             b'standard output passes through a temporary file in %s/)\n'
                             % (self.path('big.pgm').encode(), disk.encode()))
            self.assertEqual(os.listdir(disk), [])
        finally:
            subprocess.run(['umount', disk])


class StopWhileBlocked(Streams):
    def test_each_signal_ends_a_write_to_a_reader_that_does_not_read(self):
        columns, rows = 2000, 1000
        images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, images.pattern(columns * rows, seed=9))
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig):
                r, w = os.pipe()
                size = fcntl.fcntl(w, fcntl.F_GETPIPE_SZ)
                proc = subprocess.Popen([GLYPHWEAVE, '-q', '-o', '-', self.path('big.pgm')], stdout=w,
                                        stderr=subprocess.PIPE, env=self.env)
                os.close(w)

                def wait_until_full():
                    deadline = time.time() + 60
                    while time.time() < deadline and \
                            int.from_bytes(fcntl.ioctl(r, termios.FIONREAD, b'\0' * 4), 'little') < size:
                        time.sleep(0.01)

                # A slow reader: it takes a little and stops again, with the
                # host waiting for it each time.
                wait_until_full()
                os.read(r, 4096)
                wait_until_full()
                proc.send_signal(sig)
                try:
                    status = proc.wait(timeout=60)
                finally:
                    proc.kill()
                    os.close(r)
                err = proc.stderr.read()
                proc.stderr.close()
                self.assertEqual(status, 128 + sig, err)
                self.assertEqual(err, b'glyphweave: %s: cancelled (-128)\n' % self.path('big.pgm').encode())
                self.assertEqual(os.listdir(self.tmp), [])

    def test_a_stop_ends_a_write_to_a_terminal_that_does_not_read(self):
        # A terminal takes a write whole: one begun as its buffer filled
        # (a slow link, or Ctrl-S) waited inside the write, where no signal
        # reached it.
        images.write_pnm(self.path('big.pgm'), 'P5', 2000, 1000, images.pattern(2000 * 1000, seed=9))
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        proc = subprocess.Popen([GLYPHWEAVE, '-q', '--color=always', '--background', 'light', '--width', '2000',
                                 '-o', '-', self.path('big.pgm')], stdout=slave, stderr=subprocess.PIPE,
                                start_new_session=True)
        os.close(slave)
        # A slow link: a little is read now and then. The signal comes once
        # the program waits inside a write (as the kernel names that wait),
        # or after a while if it never does.
        for _ in range(200):
            time.sleep(0.02)
            with open('/proc/%d/wchan' % proc.pid) as f:
                wchan = f.read()
            if 'wait_woken' in wchan or 'tty_write' in wchan:
                break
            os.read(master, 4096)
        proc.send_signal(signal.SIGTERM)
        try:
            status = proc.wait(timeout=30)
        finally:
            proc.kill()
        err = proc.stderr.read()
        proc.stderr.close()
        self.assertEqual(status, 128 + signal.SIGTERM, err)


class DescriptorPaths(Streams):
    def test_paths_that_name_standard_output(self):
        for output in ('-', '/dev/stdout', '/dev/fd/1', '/proc/self/fd/1'):
            with self.subTest(output=output):
                proc = run('-o', output, self.path('a.pgm'), self.path('b.pgm'), env=self.env)
                self.assertExported(proc)
                self.assertEqual(proc.stdout, self.text('a') + self.text('b'))
                self.assertEqual(proc.stderr, b'')
                self.assertFalse(os.path.lexists(output + '.txt'))

    def test_another_descriptor(self):
        proc = shell('3>out.txt', '-o', '/dev/fd/3', 'a.pgm', 'b.pgm', cwd=self.dir, env=self.env)
        self.assertExported(proc)
        self.assertEqual(proc.stdout, b'')
        self.assertEqual(self.read('out.txt'), self.text('a') + self.text('b'))

    def test_terminals_named_by_descriptor(self):
        # Terminals are written through a description of the program's own:
        # a master side opened again would be a new pseudo-terminal, and a
        # side open only for reading would take the text.
        for case in ('master', 'read-only'):
            with self.subTest(case):
                master, slave = os.openpty()
                tty.setraw(slave)
                fd = master if case == 'master' else os.open(os.ttyname(slave), os.O_RDONLY | os.O_NOCTTY)
                proc = run('-q', '-o', '/dev/fd/%d' % fd, self.path('a.pgm'), pass_fds=(fd,), env=self.env)
                if case == 'master':
                    self.assertExported(proc)
                    self.assertTrue(select.select([slave], [], [], 10)[0], 'nothing reached the terminal')
                    self.assertEqual(os.read(slave, 4096), self.text('a'))
                else:
                    self.assertEqual(proc.returncode, 1, proc.stderr)
                    self.assertIn(b'cannot write to descriptor %d: bad file descriptor' % fd, proc.stderr)
                    self.assertEqual(select.select([master], [], [], 0)[0], [])
                    os.close(fd)
                os.close(master)
                os.close(slave)

    def test_a_process_substitution_gives_its_text_on_standard_output(self):
        with open(self.path('a.pgm'), 'rb') as f:
            data = f.read()
        for prefix in ('/dev/fd/', '/proc/self/fd/'):
            with self.subTest(prefix=prefix):
                r, w = os.pipe()
                os.write(w, data)
                os.close(w)
                # Beside an ordinary image, whose report line keeps out of the text.
                proc = run(self.path('b.pgm'), prefix + str(r), pass_fds=(r,), env=self.env)
                os.close(r)
                self.assertExported(proc)
                self.assertEqual(proc.stdout, self.text('a'))
                self.assertIn(b'b.pgm -> ', proc.stderr)
                self.assertEqual(self.read('b.txt'), self.text('b'))
                os.remove(self.path('b.txt'))

    def test_a_named_pipe_in_a_folder_is_written_beside(self):
        os.mkfifo(self.path('fifo'))
        # Our reader keeps the written image in the pipe after its writer
        # has gone, so the host finds the data and then the end.
        keep = os.open(self.path('fifo'), os.O_RDONLY | os.O_NONBLOCK)
        w = os.open(self.path('fifo'), os.O_WRONLY)
        os.write(w, self.read('a.pgm'))
        os.close(w)
        proc = run('-q', self.path('fifo'), env=self.env)
        os.close(keep)
        self.assertExported(proc)
        self.assertEqual(self.read('fifo.txt'), self.text('a'))

    def test_no_file_is_made_in_dev_or_proc(self):
        os.symlink('/dev', self.path('devices'))
        cases = [
            (['-o', '/dev/null'], '/dev', '/dev/null.txt'),
            (['-o', '/dev/stdout.txt'], '/dev', '/dev/stdout.txt'),
            (['-o', '/dev/fd/'], '/proc', '/dev/fd/a.txt'),
            (['-o', self.path('devices', 'gw-test.txt')], '/dev', '/dev/gw-test.txt'),
        ]
        def state(path):
            try:
                st = os.lstat(path)
                return st.st_ino, st.st_size, st.st_mtime_ns
            except FileNotFoundError:
                return None

        for args, folder, target in cases:
            with self.subTest(args=args):
                # Another program may have left one there; ours must not touch it.
                before = state(target)
                proc = run(*args, self.path('a.pgm'), env=self.env)
                made = state(target) != before
                if made and before is None:
                    os.remove(target)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(b'no file is made in %s' % folder.encode(), proc.stderr)
                self.assertFalse(made, target)
        # A folder whose name only begins like /dev is an ordinary missing one.
        proc = run('-o', '/dev-gw-missing/a.txt', self.path('a.pgm'), env=self.env)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn(b'folder /dev-gw-missing/ does not exist', proc.stderr)


if __name__ == '__main__':
    unittest.main()

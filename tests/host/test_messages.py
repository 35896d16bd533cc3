"""Messages that say why: the path and the system's reason next to an output
failure, names escaped on both streams, the dialog's terminal."""
import fcntl
import os
import pty
import pwd
import select
import shutil
import stat
import subprocess
import struct
import sys
import termios
import time
import unicodedata
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, MODULE, Folder, run  # noqa: E402


class OutputFailures(Folder):
    def setUp(self):
        super().setUp()
        images.write_pnm(self.path('a.pgm'), 'P5', 2, 1, [0, 255])

    def assertFails(self, expected, *args):
        proc = run('-q', *args, self.path('a.pgm'))
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertIn(expected.encode(), proc.stderr)
        self.assertEqual(proc.stderr.count(b'\n'), 1, proc.stderr)

    def test_reasons(self):
        missing = self.path('missing') + '/'
        self.assertFails('missing/a.txt: cannot create the output file (-23): folder %s does not exist' % missing,
                         '-o', missing)
        os.mkdir(self.path('a.txt'))
        self.assertFails('a.txt: cannot create the output file (-23): is a folder')
        os.rmdir(self.path('a.txt'))
        os.mkfifo(self.path('a.txt'))
        self.assertFails('is a named pipe (FIFO), not a regular file', '-o', self.path('a.txt'))
        os.remove(self.path('a.txt'))
        os.symlink('a.txt', self.path('a.txt'))
        self.assertFails('a.txt: cannot create the output file (-23): is a symbolic link in a loop of links')
        os.remove(self.path('a.txt'))
        # A device node is never replaced, not even by root: this one is a
        # copy of /dev/null made here, so that a fault cannot harm the real one.
        try:
            os.mknod(self.path('a.txt'), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        except PermissionError:
            return
        self.assertFails('is a device, not a regular file', '-o', self.path('a.txt'))
        self.assertTrue(stat.S_ISCHR(os.lstat(self.path('a.txt')).st_mode))

    def test_permissions_of_a_normal_user(self):
        # Root may write anywhere: run as nobody, with the program and the
        # module copied where nobody can reach them.
        if os.geteuid() != 0:
            self.skipTest('only root can run the program as another user')
        nobody = pwd.getpwnam('nobody')
        os.chmod(self.dir, 0o755)
        os.mkdir(self.path('bin'))
        for program in (GLYPHWEAVE, MODULE):
            shutil.copy(program, self.path('bin'))
        mine, theirs = self.path('mine'), self.path('theirs')
        os.mkdir(mine)
        os.mkdir(theirs)
        os.chown(mine, nobody.pw_uid, nobody.pw_gid)
        for name, owner, mode in (('ro.txt', nobody.pw_uid, 0o444), ('root.txt', 0, 0o644)):
            with open(os.path.join(mine, name), 'w') as f:
                f.write('earlier')
            os.chown(os.path.join(mine, name), owner, nobody.pw_gid)
            os.chmod(os.path.join(mine, name), mode)
        # (output, the reason given; None: written)
        rows = [(mine + '/', None), (theirs + '/', 'permission denied (folder %s/)' % theirs),
                (os.path.join(mine, 'ro.txt'), 'the file is read-only'),
                (os.path.join(mine, 'root.txt'), 'the file is read-only')]
        for output, reason in rows:
            with self.subTest(output=output):
                proc = subprocess.run([self.path('bin', 'glyphweave'), '-q', '-o', output, self.path('a.pgm')],
                                      capture_output=True, timeout=60, user=nobody.pw_uid, group=nobody.pw_gid,
                                      extra_groups=[])
                if reason is None:
                    self.assertEqual(proc.returncode, 0, proc.stderr)
                    self.assertEqual(os.stat(os.path.join(mine, 'a.txt')).st_uid, nobody.pw_uid)
                    continue
                self.assertEqual(proc.returncode, 1, proc.stderr)
                self.assertIn(b'cannot create the output file (-23): ' + reason.encode(), proc.stderr)
                if not output.endswith('/'):
                    with open(output) as f:
                        self.assertEqual(f.read(), 'earlier')
        self.assertEqual(sorted(os.listdir(mine)), ['a.txt', 'ro.txt', 'root.txt'])
        self.assertEqual(os.listdir(theirs), [])

    def test_a_full_disk(self):
        disk = self.path('small')
        os.mkdir(disk)
        mounted = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', disk],
                                 capture_output=True).returncode == 0
        if not mounted:
            self.skipTest('cannot mount a small tmpfs here')
        try:
            columns, rows = 1000, 200
            images.write_pnm(self.path('big.pgm'), 'P5', columns, rows, images.pattern(columns * rows))
            proc = run('-q', '-o', disk + '/', self.path('big.pgm'))
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertIn(b'big.txt: write error (-20): no space left on device', proc.stderr)
            self.assertEqual(os.listdir(disk), [])
        finally:
            subprocess.run(['umount', disk])


class Escaping(Folder):
    def test_control_characters_are_shown_escaped(self):
        name = 'e\x1b[31mvil\n.pgm'
        images.write_pnm(self.path(name), 'P5', 1, 1, [0])
        proc = run(self.path(name))
        self.assertExported(proc)
        self.assertIn(b'e\\x1b[31mvil\\n.pgm -> ', proc.stdout)
        self.assertNotIn(b'\x1b', proc.stdout)
        proc = run('-q', self.path('no\x07such.pgm'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'no\\x07such.pgm', proc.stderr)
        self.assertNotIn(b'\x07', proc.stderr)

    def test_what_was_typed_is_shown_escaped(self):
        images.write_pnm(self.path('a.pgm'), 'P5', 1, 1, [0])
        cases = [
            (['--mode', '\x1b[2J'], b"unknown mode '\\x1b[2J'"),
            (['--\x1b[2J'], b'unknown option --\\x1b[2J'),
            (['-\x1b'], b'unknown option -\\x1b'),
            (['--plugin', self.path('no\x1b]0;x\x07\u202e.so')], b'no\\x1b]0;x\\x07\\u202e.so'),
            (['--play', self.path('step\u2066.json')], b'step\\u2066.json'),
        ]
        for args, shown in cases:
            with self.subTest(args=args):
                proc = run(*args, self.path('a.pgm'))
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(shown, proc.stderr)
                for raw in (b'\x1b', b'\x07', '\u202e'.encode(), '\u2066'.encode()):
                    self.assertNotIn(raw, proc.stderr)


    def test_the_progress_bar_cuts_names_between_characters(self):
        # Names that end in Arabic (with marks that combine), in CJK, and in
        # letters with combining accents, drawn on a terminal 63 columns
        # wide: whole characters that fit the line, escaped where the
        # locale cannot show them.
        names = ['\u0635\u0648\u0631\u0629-\u0634\u0645\u0633\u064a\u0651\u0629-\u0637\u0648\u064a\u0644'
                 '\u0629-\u062c\u062f\u064b\u0627-\u0645\u0646-\u0627\u0644\u0635\u062d\u0631\u0627\u0621',
                 '\u65e5\u672c\u8a9e\u306e\u9577\u3044\u540d\u524d\u306e\u5199\u771f\u3067\u3059',
                 'cafe\u0301-' + 'e\u0301' * 20]
        for name in names:
            images.write_pnm(self.path(name), 'P5', 64, 400, [x & 255 for x in range(64 * 400)])
        os.mkdir(self.path('out'))
        for locale in ('C.UTF-8', 'C'):
            with self.subTest(locale=locale):
                master, terminal = os.openpty()
                fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack('HHHH', 24, 63, 0, 0))
                proc = subprocess.run([GLYPHWEAVE, '-j', '1', '-o', self.path('out') + '/', *map(self.path, names)],
                                      stdout=subprocess.DEVNULL, stderr=terminal, timeout=120,
                                      env=dict(os.environ, LC_ALL=locale))
                os.close(terminal)
                drawn = b''
                try:
                    while chunk := os.read(master, 65536):  # until the closed terminal's EIO
                        drawn += chunk
                except OSError:
                    pass
                os.close(master)
                self.assertEqual(proc.returncode, 0)
                text = drawn.decode('utf-8')  # a character cut in two fails here
                if locale == 'C':
                    self.assertTrue(text.isascii(), text)
                lines = [line for line in text.replace('\x1b[K', '').replace('\n', '\r').split('\r') if line]
                self.assertTrue(any(line.startswith('...') for line in lines), lines)
                for line in lines:
                    self.assertFalse([c for c in line if unicodedata.category(c) in ('Cc', 'Cf')], line)
                    width = sum(0 if unicodedata.combining(c) else
                                2 if unicodedata.east_asian_width(c) in 'WF' else 1 for c in line)
                    self.assertLessEqual(width, 62, line)


class DialogPrompt(Folder):
    def test_names_are_shown_escaped(self):
        # A folder and an image whose names would retitle the window, set
        # the clipboard and clear the screen were they written raw: the
        # prompt, the folder that does not exist and the file that does show
        # them escaped, and the file written has the name itself.
        folder = self.path('in\x1b]0;title\x07')
        name = 'evil\x1b]52;c;aGVsbG8=\x07\x1b[2J\x1b]0;pwned\x07'
        os.mkdir(folder)
        images.write_pnm(os.path.join(folder, name + '.pgm'), 'P5', 1, 1, [0])
        with open(os.path.join(folder, name + '.txt'), 'wb') as f:
            f.write(b'old')
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(GLYPHWEAVE, [GLYPHWEAVE, '-q', '--dialog', os.path.join(folder, name + '.pgm')])
        seen = b''
        try:
            at = 0
            for prompt, answer in ((b']: ', b'missing/x'), (b'does not exist.', None), (b']: ', b''),
                                   (b'[y/N] ', b'y'), (None, None)):
                deadline = time.time() + 20
                while (prompt is None or prompt not in seen[at:]) and time.time() < deadline:
                    if select.select([fd], [], [], 1)[0]:
                        try:
                            chunk = os.read(fd, 4096)
                        except OSError:
                            chunk = b''
                        if not chunk:
                            break
                        seen += chunk
                if prompt is not None:
                    self.assertIn(prompt, seen[at:])
                    at = seen.index(prompt, at) + len(prompt)
                if answer is not None:
                    os.write(fd, answer + b'\n')
        finally:
            _, status = os.waitpid(pid, 0)
            os.close(fd)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, seen)
        shown_folder = b'in\\x1b]0;title\\x07'
        shown_name = b'evil\\x1b]52;c;aGVsbG8=\\x07\\x1b[2J\\x1b]0;pwned\\x07'
        self.assertIn(b'Folder: ' + self.dir.encode() + b'/' + shown_folder + b'/\r\nFile name [' + shown_name, seen)
        self.assertIn(b'The folder ' + self.dir.encode() + b'/' + shown_folder + b'/missing does not exist.', seen)
        self.assertIn(shown_folder + b'/' + shown_name + b'.txt already exists.', seen)
        self.assertNotIn(b'\x07', seen)
        self.assertNotIn(b'\x1b', seen)
        with open(os.path.join(folder, name + '.txt'), 'rb') as f:
            self.assertEqual(f.read(), b'@\n')

    def test_ctrl_c_at_the_prompt_cancels_at_once(self):
        images.write_pnm(self.path('doc.pgm'), 'P5', 1, 1, [0])
        pid, fd = pty.fork()
        if pid == 0:
            os.execv(GLYPHWEAVE, [GLYPHWEAVE, '-q', '--dialog', self.path('doc.pgm')])
        seen = b''
        try:
            deadline = time.time() + 20
            while b'File name [doc]: ' not in seen and time.time() < deadline:
                if select.select([fd], [], [], 1)[0]:
                    seen += os.read(fd, 4096)
            self.assertIn(b'File name [doc]: ', seen)
            os.write(fd, b'\x03')
            waited = time.time()
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.time() - waited > 10:
                    os.kill(pid, 9)
                    self.fail('Ctrl-C at the prompt did not end the run')
                if select.select([fd], [], [], 0.05)[0]:
                    try:
                        os.read(fd, 4096)
                    except OSError:
                        pass
            self.assertEqual(os.waitstatus_to_exitcode(status), 130)
            self.assertFalse(os.path.exists(self.path('doc.txt')))
            self.assertEqual(self.leftovers(), [])
        finally:
            os.close(fd)


if __name__ == '__main__':
    unittest.main()

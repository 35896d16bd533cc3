"""glyphweave on a terminal: a pseudo-terminal of a chosen size that answers
the background query as a real terminal would (or does not, or slowly), the
view's defaults there, the terminal's modes afterwards, and today's exact
text wherever the text does not go to a terminal."""
import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder, run  # noqa: E402

DA1 = b'\x1b[?62;22c'
DARK = b'\x1b]11;rgb:0000/0000/0000\x1b\\' + DA1
LIGHT = b'\x1b]11;rgb:ffff/ffff/ffff\x1b\\' + DA1
QUERY = b'\x1b]11;?\x1b\\\x1b[c'
ESCAPES = re.compile(rb'\x1b\[[0-9;]*m')


class Shown:
    def __init__(self, code, out, err, modes_kept, unread):
        self.code, self.out, self.err, self.modes_kept, self.unread = code, out, err, modes_kept, unread
        self.asked = QUERY in out
        # What the picture shows, without the query and the colours.
        self.text = ESCAPES.sub(b'', out.replace(QUERY, b''))


def show(args, columns=80, lines=24, answer=DARK, env=None, pieces=None, on_query=None, background_job=False,
         ctrl_c_after=None, on_output=None):
    """Runs glyphweave ARGS with a pseudo-terminal of COLUMNS x LINES as its
    controlling terminal and standard input and output. When the query
    comes, the terminal sends ANSWER (None: nothing) in PIECES of bytes
    (none: at once), or types ON_QUERY; Ctrl-C is typed once CTRL_C_AFTER
    bytes have been shown. ON_OUTPUT(shown so far, the terminal's master
    side) is called as output comes."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack('HHHH', lines, columns, 0, 0))
    modes = termios.tcgetattr(slave)
    # Output exactly as written: no carriage returns added, and nothing
    # dropped when Ctrl-C comes (the driver would otherwise discard what is
    # queued, cutting a sequence wherever it happens to be: the terminal's
    # doing, which no program can prevent).
    modes[1] &= ~termios.OPOST
    modes[3] |= termios.NOFLSH
    termios.tcsetattr(slave, termios.TCSANOW, modes)
    before = termios.tcgetattr(slave)

    def take_terminal():
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        if background_job:
            # The session leader stays in the foreground and waits; the
            # program runs in a process group of its own, in the background.
            child = os.fork()
            if child:
                status = os.waitpid(child, 0)[1]
                code = os.waitstatus_to_exitcode(status)
                os._exit(code if code >= 0 else 128 - code)
            os.setpgid(0, 0)

    environment = dict(os.environ, **{'TERM': 'xterm-256color', **(env or {})})
    for name in ('COLORTERM', 'COLORFGBG', 'NO_COLOR'):
        if name not in (env or {}):
            environment.pop(name, None)
    proc = subprocess.Popen([GLYPHWEAVE, *args], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            env=environment, start_new_session=True, preexec_fn=take_terminal)
    out = b''
    queried = False
    while True:
        ready = select.select([master], [], [], 0.02)[0]
        if ready:
            out += os.read(master, 1 << 16)
            if not queried and QUERY in out:
                queried = True
                if on_query is not None:
                    os.write(master, on_query)
                elif answer is not None:
                    for i in range(0, len(answer), pieces or len(answer)):
                        os.write(master, answer[i:i + (pieces or len(answer))])
                        if pieces:
                            time.sleep(0.02)
            if ctrl_c_after is not None and len(out) > ctrl_c_after:
                os.write(master, b'\x03')
                ctrl_c_after = None
            if on_output is not None:
                on_output(out, master)
        elif proc.poll() is not None:
            break
    err = proc.stderr.read()
    proc.stderr.close()
    proc.wait()
    after = termios.tcgetattr(slave)
    # Whatever the program left unread would reach the shell as typed text.
    quiet = list(after)
    quiet[3] &= ~(termios.ICANON | termios.ECHO)
    quiet[6] = list(quiet[6])
    quiet[6][termios.VMIN] = 0
    quiet[6][termios.VTIME] = 0
    termios.tcsetattr(slave, termios.TCSANOW, quiet)
    unread = b''
    while select.select([slave], [], [], 0)[0]:
        chunk = os.read(slave, 4096)
        if not chunk:
            break
        unread += chunk
    os.close(master)
    os.close(slave)
    return Shown(proc.returncode, out, err, after == before, unread)


class Defaults(Folder):
    def setUp(self):
        super().setUp()
        self.samples = images.pattern(400 * 200 * 3, seed=11)
        self.image = self.path('c.ppm')
        images.write_pnm(self.image, 'P6', 400, 200, self.samples)

    def piped(self, *args):
        proc = run('-q', '-o', '-', *args, self.image)
        self.assertExported(proc)
        return proc.stdout

    def test_a_terminal_is_fitted_with_a_character_a_pixel(self):
        # (terminal, options, the same text through a pipe)
        for columns, lines, options, same in [
                (60, 20, [], ['--mode', 'gray', '--width', '60', '--height', '19', '--invert']),
                (100, 10, [], ['--mode', 'gray', '--width', '100', '--height', '9', '--invert']),
                (60, 20, ['--width', '100'], ['--mode', 'gray', '--width', '100', '--invert']),
                (30, 20, ['--height', '10'], ['--mode', 'gray', '--height', '10', '--invert']),
                (60, 20, ['--mode', 'rgb'], ['--mode', 'rgb', '--width', '60', '--height', '19', '--invert']),
                (60, 20, ['--invert'], ['--mode', 'gray', '--width', '60', '--height', '19']),
                (60, 20, ['--background', 'light'], ['--mode', 'gray', '--width', '60', '--height', '19'])]:
            with self.subTest(columns=columns, lines=lines, options=options):
                shown = show(['-q', '-o', '-', *options, self.image], columns, lines)
                self.assertEqual(shown.code, 0, shown.err)
                self.assertEqual(shown.text, self.piped(*same))
                self.assertTrue(shown.modes_kept)
                self.assertEqual(shown.unread, b'')

    def test_pipes_and_files_keep_todays_text(self):
        # Everything a terminal would change, in the environment.
        env = dict(os.environ, TERM='xterm-256color', COLORTERM='truecolor', COLORFGBG='15;0')
        env.pop('NO_COLOR', None)
        today = images.text_of(200, 400, 3, self.samples)
        proc = run('-o', '-', self.image, env=env)
        self.assertEqual(proc.stdout, today)
        with open(self.image, 'rb') as f:
            self.assertEqual(run('-', stdin=f, env=env).stdout, today)
        self.assertExported(run('-q', '-o', self.path('c.txt'), self.image, env=env))
        self.assertEqual(self.read('c.txt'), today)
        # Asked for, a dark background inverts a pipe's text too.
        self.assertEqual(run('--background', 'dark', '-o', '-', self.image, env=env).stdout,
                         images.text_of(200, 400, 3, [255 - s for s in self.samples]))


class BackgroundQuery(Folder):
    def test_answers_or_none(self):
        samples = [0, 40, 90, 160, 220, 255]
        image = self.path('g.pgm')
        images.write_pnm(image, 'P5', 6, 1, samples)
        light, dark = images.text_of(1, 6, 1, samples), images.text_of(1, 6, 1, [255 - s for s in samples])
        # (how the terminal answers, environment, asked, the text)
        for case, kwargs, asked, text in [
                ('dark', dict(answer=DARK), True, dark),
                ('light', dict(answer=LIGHT), True, light),
                ('light, slowly', dict(answer=LIGHT, pieces=3), True, light),
                ('no OSC 11', dict(answer=DA1), True, dark),
                ('no OSC 11, COLORFGBG', dict(answer=DA1, env={'COLORFGBG': '0;15'}), True, light),
                ('silent, COLORFGBG', dict(answer=None, env={'COLORFGBG': '0;15'}), True, light),
                ('a background job', dict(answer=LIGHT, background_job=True), False, dark),
                ('TERM=dumb shows escapes as text', dict(answer=LIGHT, env={'TERM': 'dumb'}), False, dark),
                ('TERM empty', dict(answer=LIGHT, env={'TERM': ''}), False, dark)]:
            with self.subTest(case):
                shown = show(['-q', '--color=never', '-o', '-', image], **kwargs)
                self.assertEqual(shown.code, 0, shown.err)
                self.assertEqual(shown.asked, asked)
                self.assertEqual(shown.text, text)
                self.assertTrue(shown.modes_kept)
                self.assertEqual(shown.unread, b'')
                self.assertNotIn(b'rgb:', shown.out, 'the answer is not echoed')

    def test_ctrl_c_while_waiting(self):
        images.write_pnm(self.path('g.pgm'), 'P5', 2, 1, [0, 255])
        shown = show(['-q', '-o', '-', self.path('g.pgm')], on_query=b'\x03')
        self.assertEqual(shown.code, 130, shown.err)
        self.assertEqual(shown.text, b'')
        self.assertTrue(shown.modes_kept)


if __name__ == '__main__':
    unittest.main()

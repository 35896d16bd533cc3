"""glyphweave on a terminal: a pseudo-terminal of a chosen size that answers
the background query as a real terminal would (or does not, or slowly), the
view's defaults there, the terminal's modes afterwards, and today's exact
text wherever the text does not go to a terminal."""
import fcntl
import os
import pty
import re
import select
import shutil
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
         ctrl_c_after=None, on_output=None, typed_before=b'', later=()):
    """Runs glyphweave ARGS with a pseudo-terminal of COLUMNS x LINES as its
    controlling terminal and standard input and output. When the query
    comes, the terminal sends ANSWER (None: nothing) in PIECES of bytes
    (none: at once), or types ON_QUERY; Ctrl-C is typed once CTRL_C_AFTER
    bytes have been shown. ON_OUTPUT(shown so far, the terminal's master
    side) is called as output comes. TYPED_BEFORE is typed before the
    program starts; LATER is (seconds after the query, bytes) sent then,
    instead of the answer."""
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
    for name in ('COLORTERM', 'COLORFGBG', 'NO_COLOR', 'XTERM_VERSION', 'TMUX', 'TMUX_PANE'):
        if name not in (env or {}):
            environment.pop(name, None)
    os.write(master, typed_before)
    proc = subprocess.Popen([GLYPHWEAVE, *args], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            env=environment, start_new_session=True, preexec_fn=take_terminal)
    out = b''
    queried = None
    later = list(later)
    while True:
        while later and queried is not None and time.monotonic() - queried >= later[0][0]:
            os.write(master, later.pop(0)[1])
        ready = select.select([master], [], [], 0.01)[0]
        if ready:
            out += os.read(master, 1 << 16)
            if queried is None and QUERY in out:
                queried = time.monotonic()
                if later:
                    pass
                elif on_query is not None:
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
    # What comes after the end reaches the shell, whose terminal this is now.
    for when, data in later if queried is not None else []:
        time.sleep(max(0.0, queried + when - time.monotonic()))
        os.write(master, data)
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
        inverted = images.text_of(200, 400, 3, [255 - s for s in self.samples])
        self.assertEqual(run('--background', 'dark', '-o', '-', self.image, env=env).stdout, inverted)
        # Colour forced into a pipe is for a terminal further on (less -R),
        # never asked: COLORFGBG says its background, else it is dark.
        for colorfgbg, text in [('15;0', inverted), ('0;15', today), (None, inverted)]:
            with self.subTest(COLORFGBG=colorfgbg):
                forced = {k: v for k, v in env.items() if k != 'COLORFGBG'}
                if colorfgbg:
                    forced['COLORFGBG'] = colorfgbg
                proc = run('-q', '--color=always', '-o', '-', self.image, env=forced)
                self.assertExported(proc)
                self.assertEqual(ESCAPES.sub(b'', proc.stdout), text)


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

    def test_typed_text_is_left_for_the_shell(self):
        samples = [0, 40, 90, 160, 220, 255]
        image = self.path('g.pgm')
        images.write_pnm(image, 'P5', 6, 1, samples)
        dark = images.text_of(1, 6, 1, [255 - s for s in samples])
        keys = [(0.2 + 0.08 * i, bytes([c])) for i, c in enumerate(b'echo typed\n')]
        # (case, show's arguments, asked, what the shell gets first)
        for case, kwargs, asked, unread in [
                ('typed before the start: not asked', dict(typed_before=b'ls -l\n'), False, b'ls -l\n'),
                ('a line begun before the start', dict(typed_before=b'ls'), False, b'ls'),
                # A terminal slower than the typing: the keys come first.
                ('typed while waiting', dict(later=keys + [(0.6, LIGHT)]), True, b'echo typed\n'),
                # The keys after the answer, which is taken.
                ('typed after the answer', dict(later=[(0.1, LIGHT)] + keys), True, b'echo typed\n')]:
            with self.subTest(case):
                shown = show(['-q', '--color=never', '-o', '-', image], **kwargs)
                self.assertEqual(shown.code, 0, shown.err)
                self.assertEqual(shown.asked, asked)
                self.assertTrue(shown.unread.startswith(unread), shown.unread)
                self.assertTrue(shown.modes_kept)
                if case == 'typed after the answer':
                    self.assertEqual(shown.unread, unread)
                    self.assertEqual(shown.text.split(b'\n')[0] + b'\n', images.text_of(1, 6, 1, samples))
                else:
                    self.assertIn(dark, shown.text)

    def test_a_late_answer_is_not_left_for_the_shell(self):
        images.write_pnm(self.path('g.pgm'), 'P5', 2, 1, [0, 255])
        # Later than the wait (a second), within the half second the end
        # of the run gives it; in pieces, as a slow link brings it.
        for case, later in [('at once', [(1.1, LIGHT)]),
                            ('in pieces', [(1.1 + 0.004 * i, LIGHT[i:i + 5]) for i in range(0, len(LIGHT), 5)])]:
            with self.subTest(case):
                shown = show(['-q', '--color=never', '-o', '-', self.path('g.pgm')], later=later)
                self.assertEqual(shown.code, 0, shown.err)
                self.assertEqual(shown.unread, b'')
                self.assertTrue(shown.modes_kept)
                self.assertNotIn(b'rgb:', shown.out, 'the answer is not echoed')
                self.assertEqual(shown.text, images.text_of(1, 2, 1, [255, 0]))

    def test_ctrl_c_while_waiting(self):
        images.write_pnm(self.path('g.pgm'), 'P5', 2, 1, [0, 255])
        shown = show(['-q', '-o', '-', self.path('g.pgm')], on_query=b'\x03')
        self.assertEqual(shown.code, 130, shown.err)
        self.assertEqual(shown.text, b'')
        self.assertTrue(shown.modes_kept)


@unittest.skipIf(shutil.which('tmux') is None, 'tmux is not installed')
class InsideTmux(Folder):
    """tmux answers the device attributes itself but OSC 11 only when its
    window style sets a background; allowed to, it passes the question on to
    the terminal outside, which this test plays."""

    def run_in_tmux(self, config, outer_background):
        """(the pane's first line after glyphweave, whether the outer
        terminal was asked OSC 11, allow-passthrough afterwards)."""
        samples = [0, 40, 90, 160, 220, 255]
        images.write_pnm(self.path('g.pgm'), 'P5', 6, 1, samples)
        # Each run its own server and files: a server just killed may linger.
        self.runs = getattr(self, 'runs', 0) + 1
        folder = self.path('run%d' % self.runs)
        os.mkdir(folder)
        with open(os.path.join(folder, 'tmux.conf'), 'w') as f:
            f.write('set -g status off\n' + config)
        script = '%s -q --color=never -o - %s; tmux capture-pane -p -S 0 -E 0 > %s; ' \
                 'tmux show-options -Apv allow-passthrough > %s; tmux kill-server' % (
                     os.path.abspath(GLYPHWEAVE), self.path('g.pgm'), os.path.join(folder, 'shown'),
                     os.path.join(folder, 'option'))
        env = {k: v for k, v in os.environ.items() if k not in ('TMUX', 'TMUX_PANE', 'COLORFGBG', 'XTERM_VERSION')}
        env['TERM'] = 'xterm-256color'
        pid, master = pty.fork()
        if pid == 0:
            os.execvpe('tmux', ['tmux', '-S', os.path.join(folder, 'sock'), '-f', os.path.join(folder, 'tmux.conf'),
                                'new-session', '-x', '80', '-y', '24', script], env)
        out, answered, asked, deadline = b'', 0, False, time.monotonic() + 30
        try:
            while time.monotonic() < deadline:
                if not select.select([master], [], [], 0.05)[0]:
                    continue
                try:
                    out += os.read(master, 1 << 16)
                except OSError:
                    break
                for m in re.finditer(rb'\x1b\]11;\?(\x1b\\|\x07)|\x1b\[0?c|\x1b\[5n', out[answered:]):
                    if m.group(0).startswith(b'\x1b]'):
                        asked = True
                        os.write(master, (LIGHT if outer_background == 'light' else DARK)[:-len(DA1)])
                    else:
                        os.write(master, DA1 if m.group(0).endswith(b'c') else b'\x1b[0n')
                answered = len(out) - 16
        finally:
            os.close(master)
            os.waitpid(pid, 0)
        # The pane keeps no trailing blanks.
        return (self.read('run%d' % self.runs, 'shown').split(b'\n')[0], asked,
                self.read('run%d' % self.runs, 'option').strip())

    def test_tmuxs_own_answer_else_passed_through_else_dark(self):
        samples = [0, 40, 90, 160, 220, 255]
        light, dark = (images.text_of(1, 6, 1, v).rstrip(b' \n') for v in (samples, [255 - s for s in samples]))
        # (tmux's configuration, the outer terminal's background, the text,
        # whether the outer terminal was asked, allow-passthrough after)
        for config, outer, text, asked, option in [
                ('set -g allow-passthrough on\n', 'light', light, True, b'on'),
                ('set -g allow-passthrough on\n', 'dark', dark, True, b'on'),
                # Not allowed: not asked, not switched on; dark by default.
                ('', 'light', dark, False, b'off'),
                # tmux's own answer first, whatever is outside.
                ('set -g allow-passthrough on\nset -g window-style bg=#ffffff\n', 'dark', light, True, b'on')]:
            with self.subTest(config=config, outer=outer):
                self.assertEqual(self.run_in_tmux(config, outer), (text, asked, option))


if __name__ == '__main__':
    unittest.main()

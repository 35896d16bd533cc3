"""--record and the step files it writes: anything that is not a step (or an
empty file) is kept, and so are read-only files and special targets, all
refused before the first export; steps nested deeper than any step needs are
refused, not followed down until the stack runs out."""
import hashlib
import json
import os
import stat
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import Folder, run  # noqa: E402

STEP = {'format': 'glyphweave-step', 'version': 1, 'parameters': []}


def nested(levels, lists=True):
    return ('[' * levels + ']' * levels) if lists else ('{"a":' * levels + '1' + '}' * levels)


class Record(Folder):
    def setUp(self):
        super().setUp()
        os.mkdir(self.path('out'))
        images.write_pnm(self.path('a.pgm'), 'P5', 2, 1, [0, 255])
        images.write_png(self.path('photo.png'), 2, 1, 0, [0, 255])

    def snapshot(self):
        found = {}
        for root, folders, files in os.walk(self.dir):
            for name in folders + files:
                path = os.path.join(root, name)
                st = os.lstat(path)
                content = None
                if stat.S_ISREG(st.st_mode):
                    with open(path, 'rb') as f:
                        content = hashlib.sha256(f.read()).hexdigest()
                found[path] = (stat.S_IFMT(st.st_mode), stat.S_IMODE(st.st_mode), content)
        return found

    def test_what_is_not_a_step_is_kept_and_nothing_exported(self):
        def write(name, content, mode=0o644):
            with open(self.path(name), 'wb') as f:
                f.write(content)
            os.chmod(self.path(name), mode)
            return self.path(name)
        step = json.dumps(STEP).encode()
        os.mkfifo(self.path('fifo'))
        mine = os.open(write('mine.json', step), os.O_RDONLY)
        self.addCleanup(os.close, mine)
        cases = [
            # The first image of `--record *.png *.heic` is taken for the step file.
            (self.path('photo.png'), b'not a step file'),
            (write('other.json', b'{"a": 1}'), b'not a step file'),
            (write('big.json', step[:-1] + b', "pad": "' + b'x' * (1 << 20) + b'"}'), b'too large'),
            (write('deep.json', step[:-1] + b', "deep": ' + nested(100).encode() + b'}'), b'nested more than 64'),
            (write('read-only.json', step, 0o444), b'read-only'),
            (self.path('out'), b'is a folder'),
            (self.path('fifo'), b'named pipe'),
            ('/dev/null', b'is a device'),
            (self.path('none', 'step.json'), b'does not exist'),
            ('/proc/self/fd/%d' % mine, b'/dev or /proc'),
        ]
        before = self.snapshot()
        for target, reason in cases:
            with self.subTest(target=target):
                proc = run('-q', '--record', target, '-o', self.path('out') + '/', self.path('a.pgm'),
                           pass_fds=(mine,))
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(b'--record ' + target.encode() + b': ', proc.stderr)
                self.assertIn(reason, proc.stderr)
                self.assertEqual(self.snapshot(), before, 'nothing may be written')

    def test_an_empty_file_a_step_or_none_is_replaced_keeping_its_mode(self):
        for name, content, mode in [('empty.json', b'', 0o600), ('step.json', json.dumps(STEP).encode(), 0o640),
                                    ('new.json', None, None)]:
            with self.subTest(name=name):
                target = self.path(name)
                if content is not None:
                    with open(target, 'wb') as f:
                        f.write(content)
                    os.chmod(target, mode)
                proc = run('-q', '--record', target, '-o', self.path('out') + '/', self.path('a.pgm'))
                self.assertExported(proc)
                with open(target) as f:
                    recorded = json.load(f)
                self.assertEqual(recorded['parameters'][0]['path'], self.path('out', 'a.txt'))
                if mode is not None:
                    self.assertEqual(stat.S_IMODE(os.stat(target).st_mode), mode)
                self.assertEqual(self.leftovers(), [])

    def test_steps_nested_too_deeply_are_refused_not_crashed_on(self):
        entry = '{"key": "In  ", "type": "alias", "path": "%s/", "note": %s}'
        for what, parameters in [('lists', nested(200000)),
                                 ('an unknown field', '[' + entry % (self.path('out'), nested(200000)) + ']'),
                                 ('objects', '[' + entry % (self.path('out'), nested(100000, lists=False)) + ']')]:
            with self.subTest(what=what):
                with open(self.path('deep.json'), 'w') as f:
                    f.write('{"format": "glyphweave-step", "version": 1, "parameters": %s}' % parameters)
                proc = run('-q', '--play', self.path('deep.json'), self.path('a.pgm'))
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(b'deep.json: nested more than 64 levels deep', proc.stderr)
                self.assertEqual(os.listdir(self.path('out')), [])


if __name__ == '__main__':
    unittest.main()

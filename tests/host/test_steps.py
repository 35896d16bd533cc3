"""Recorded step files: only small regular files are read, their content is
held to the format, and writing one never aborts or destroys the earlier
step."""
import json
import os
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import Folder, run  # noqa: E402


class StepFiles(Folder):
    def setUp(self):
        super().setUp()
        images.write_pnm(self.path('a.pgm'), 'P5', 2, 1, [0, 255])

    def play(self, step, *more):
        return run('-q', '--play', step, *more, self.path('a.pgm'))

    def test_only_small_regular_files_are_played(self):
        os.mkfifo(self.path('fifo'))
        # Nobody writes to the pipe: it must be refused at once, not waited on.
        timer = threading.Timer(20, lambda: open(self.path('fifo'), 'wb').close())
        timer.start()
        try:
            for step, reason in [('/dev/zero', b'is a device'), (self.path('fifo'), b'named pipe'),
                                 (self.dir, b'is a folder'), (self.path('none.json'), b'No such file')]:
                with self.subTest(step=step):
                    proc = self.play(step)
                    self.assertEqual(proc.returncode, 2, proc.stderr)
                    self.assertIn(reason, proc.stderr)
        finally:
            timer.cancel()
        with open(self.path('huge.json'), 'w') as f:
            f.write('{"format": "glyphweave-step", "version": 1, "pad": "%s"}' % ('x' * (1 << 20)))
        proc = self.play(self.path('huge.json'))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'too large', proc.stderr)

    def test_content_is_strict_and_unknown_fields_warned_about(self):
        def step(*parameters, **extra):
            path = self.path('step.json')
            with open(path, 'w') as f:
                json.dump(dict({'format': 'glyphweave-step', 'version': 1, 'parameters': list(parameters)},
                               **extra), f)
            return path
        out = {'key': 'In  ', 'type': 'alias', 'path': self.dir + '/out/'}
        for bad in [dict(out, path=self.dir + '/o\u0000ut/'), dict(out, path=''),
                    {'key': 'In  ', 'type': 'alias', 'pathHex': '2f746d7000'}]:
            proc = self.play(step(bad))
            self.assertEqual(proc.returncode, 2, bad)
        proc = self.play(step(out, out))
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b'given twice', proc.stderr)
        os.mkdir(self.path('out'))
        proc = self.play(step(dict(out, comment='mine'), origin='elsewhere'))
        self.assertExported(proc)
        self.assertIn(b'unknown field "origin" ignored', proc.stderr)
        self.assertIn(b'unknown field "comment" ignored', proc.stderr)
        self.assertTrue(os.path.exists(self.path('out', 'a.txt')))

    def test_recording_a_folder_that_is_not_utf8(self):
        record = self.path('step.json')
        with open(record, 'w') as f:
            json.dump({'format': 'glyphweave-step', 'version': 1, 'parameters': []}, f)
        for raw in (b'\xc0\xaf', b'\xed\xa0\x80', b'\xf5\x80\x80\x80'):
            with self.subTest(name=raw):
                folder = os.path.join(self.dir.encode(), b'out' + raw)
                os.mkdir(folder)
                proc = run('-q', '-o', folder + b'/', '--record', record, self.path('a.pgm'))
                self.assertExported(proc)
                with open(record) as f:
                    recorded = json.load(f)['parameters'][0]
                self.assertNotIn('path', recorded)
                self.assertEqual(bytes.fromhex(recorded['pathHex']), os.path.join(folder, b'a.txt'))
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith('.~gw')], [])


if __name__ == '__main__':
    unittest.main()

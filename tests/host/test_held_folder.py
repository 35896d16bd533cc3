"""An export whose output folder is swapped for a symbolic link while it
writes: the plug-in holds the folder it began in, so its text lands there
whole and no temporary file is left in either folder."""
import os
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402
from test_glyphweave import GLYPHWEAVE, Folder  # noqa: E402


class HeldFolder(Folder):
    def temporary_files(self, *folders):
        return [n for folder in folders for n in os.listdir(folder) if n.startswith('.~gw')]

    def stopped_with_a_temporary_file(self, proc, out):
        """Stops `proc` while its temporary file is in `out`; False when the
        export ended before it was caught there."""
        while proc.poll() is None:
            if self.temporary_files(out):
                proc.send_signal(signal.SIGSTOP)
                if self.temporary_files(out):
                    return True
                proc.send_signal(signal.SIGCONT)
        return False

    def test_a_folder_swapped_for_a_link_mid_export(self):
        # The export is enlarged from a tiny image: long enough to be caught
        # mid-way (it is tried again, larger, when it was not).
        images.write_pnm(self.path('a.pgm'), 'P5', 8, 8, list(range(0, 256, 4)))
        for side in (2000, 4000, 8000):
            out, moved, elsewhere = self.path('out'), self.path('moved'), self.path('elsewhere')
            for folder in (out, elsewhere):
                os.mkdir(folder)
            proc = subprocess.Popen([GLYPHWEAVE, '-q', '-o', out + '/', '--width', str(side), '--height', str(side),
                                     '--enlarge', '--cell-aspect', '1', self.path('a.pgm')],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                caught = self.stopped_with_a_temporary_file(proc, out)
                if caught:
                    os.rename(out, moved)
                    os.symlink('elsewhere', out)
                    proc.send_signal(signal.SIGCONT)
                _, stderr = proc.communicate(timeout=120)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            if caught:
                break
            for folder in (out, elsewhere):
                subprocess.run(['rm', '-rf', folder], check=True)
        else:
            self.skipTest('the export was never caught while writing')
        self.assertEqual(proc.returncode, 0, stderr)
        self.assertEqual(os.listdir(moved), ['a.txt'])
        self.assertEqual(os.path.getsize(os.path.join(moved, 'a.txt')), side * (side + 1))
        self.assertEqual(os.listdir(elsewhere), [])
        self.assertEqual(self.temporary_files(moved, elsewhere), [])


if __name__ == '__main__':
    unittest.main()

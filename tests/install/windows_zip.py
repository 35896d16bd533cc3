"""The Windows download as a user gets it: unzipped, its glyphweave.exe run
under Wine on PNM images finds the module beside it and writes the same text
as the native program of the same tree.

  windows_zip.py ZIP NATIVE_GLYPHWEAVE WINDOWS_MODULE WINE_RUN VERSION

WINDOWS_MODULE is the build's Glyphweave.8be, which the zip must carry
unchanged. Exits 77 (skipped) without the zip or the native program."""
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'host'))
import images  # noqa: E402

SKIP = 77


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def main():
    archive, native, module, wine_run, version = sys.argv[1:6]
    for path, what in ((archive, 'no Windows download (scripts/package makes it)'),
                       (native, 'no native build (scripts/build makes it)')):
        if not os.path.isfile(path):
            print('skipped: %s at %s' % (what, path))
            return SKIP
    top = 'glyphweave-%s-windows' % version
    faults = []
    with zipfile.ZipFile(archive) as z:
        names = sorted(n for n in z.namelist() if not n.endswith('/'))
        want = sorted('%s/%s' % (top, n) for n in
                      ('Glyphweave.8be', 'glyphweave.exe', 'LICENSE.txt', 'COPYRIGHT.txt', 'README.txt'))
        if names != want:
            print('the zip holds %s, not %s' % (names, want))
            return 1
        work = tempfile.mkdtemp(prefix='gw-zip-')
        try:
            z.extractall(work)
            folder = os.path.join(work, top)
            with open(module, 'rb') as a, open(os.path.join(folder, 'Glyphweave.8be'), 'rb') as b:
                if a.read() != b.read():
                    faults.append('the zip\'s Glyphweave.8be differs from ' + module)
            with open(os.path.join(folder, 'LICENSE.txt'), 'rb') as f:
                licence = f.read()
            if b'MIT License' not in licence or b'\r\n' not in licence:
                faults.append('LICENSE.txt is not the MIT licence with Windows line ends')

            exe = os.path.join(folder, 'glyphweave.exe')
            shown = subprocess.run([wine_run, exe, '--version'], capture_output=True, text=True, timeout=120)
            if shown.stdout.split() != ['glyphweave', version]:
                faults.append('glyphweave.exe --version says %r, not %s' % (shown.stdout, version))

            # No --plugin: the program must find the module in its own folder.
            inputs = {'grey.pgm': ('P5', 41, 17, 1), 'colour.ppm': ('P6', 33, 21, 3)}
            for name, (kind, w, h, planes) in inputs.items():
                images.write_pnm(os.path.join(work, name), kind, w, h, images.pattern(w * h * planes, planes))
            for side in ('native', 'windows'):
                os.mkdir(os.path.join(work, side))
            paths = [os.path.join(work, n) for n in inputs]
            subprocess.run([native, '-q', '-o', os.path.join(work, 'native') + '/', *paths],
                           check=True, timeout=120)
            ran = subprocess.run([wine_run, exe, '-q', '-o', windows_path(os.path.join(work, 'windows')) + '\\',
                                  *[windows_path(p) for p in paths]], capture_output=True, text=True, timeout=120)
            if ran.returncode != 0:
                faults.append('glyphweave.exe failed (%d): %s' % (ran.returncode, ran.stderr))
            for name in inputs:
                text = os.path.splitext(name)[0] + '.txt'
                with open(os.path.join(work, 'native', text), 'rb') as a:
                    left = a.read()
                right_path = os.path.join(work, 'windows', text)
                right = open(right_path, 'rb').read() if os.path.isfile(right_path) else b''
                if not left or left != right:
                    faults.append('%s: the download\'s text differs from the native one (%d against %d bytes)'
                                  % (name, len(right), len(left)))
        finally:
            shutil.rmtree(work, ignore_errors=True)
    for fault in faults:
        print(fault)
    if not faults:
        print('%s: %d files; glyphweave.exe %s exports as the native program' % (os.path.basename(archive),
                                                                                len(names), version))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())

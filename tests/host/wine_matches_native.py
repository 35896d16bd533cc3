"""The Windows glyphweave.exe, run under Wine with the real Glyphweave.8be,
exports the same images byte for byte as the native host with the native
module.

  wine_matches_native.py NATIVE_GLYPHWEAVE WINDOWS_GLYPHWEAVE WINE_RUN
"""
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
import images  # noqa: E402

SKIP = 77


def windows_path(path):
    return 'Z:' + path.replace('/', '\\')


def main():
    native, windows, wine_run = sys.argv[1:4]
    if not os.access(native, os.X_OK):
        print('no native build at %s: skipped' % native)
        return SKIP
    work = tempfile.mkdtemp(prefix='gw-wine-')
    try:
        inputs = {
            'gray.pgm': lambda p: images.write_pnm(p, 'P5', 7, 5, images.pattern(35, 1)),
            'rgb.ppm': lambda p: images.write_pnm(p, 'P6', 301, 203, images.pattern(301 * 203 * 3, 2)),
            'five.pam': lambda p: images.write_pam(p, 9, 4, 5, 'SPECTRAL', images.pattern(180, 3)),
            'rgba.pam': lambda p: images.write_pam(p, 6, 6, 4, 'RGB_ALPHA', images.pattern(144, 4)),
        }
        for name, write in inputs.items():
            write(os.path.join(work, name))
        for folder in ('native', 'windows'):
            os.mkdir(os.path.join(work, folder))
        for mode in ([], ['--mode', 'gray'], ['--mode', 'hsb'], ['--mode', 'multichannel']):
            # Five channels of no known colour convert to no colour mode.
            names = [n for n in inputs if not (mode and mode[1] in ('gray', 'hsb') and n == 'five.pam')]
            paths = [os.path.join(work, n) for n in names]
            subprocess.run([native, '-q', *mode, '-o', os.path.join(work, 'native') + '/', *paths],
                           check=True, timeout=120)
            subprocess.run([wine_run, windows, '-q', *mode, '-o',
                            windows_path(os.path.join(work, 'windows')) + '\\',
                            *[windows_path(p) for p in paths]], check=True, timeout=120)
            for name in names:
                text = os.path.splitext(name)[0] + '.txt'
                with open(os.path.join(work, 'native', text), 'rb') as a, \
                        open(os.path.join(work, 'windows', text), 'rb') as b:
                    left, right = a.read(), b.read()
                if left != right or not left:
                    print('%s %s: the Windows export differs (%d against %d bytes)'
                          % (' '.join(mode), name, len(right), len(left)))
                    return 1
        print('%d images in 4 modes: identical' % len(inputs))
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())

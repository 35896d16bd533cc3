#!/usr/bin/env python3
"""The container image scripts/container makes from the Debian package:

    container.py image  PACKAGE.deb IMAGE.tar WORK
    container.py shards PACKAGE.deb IMAGE.tar WORK GLYPHWEAVE

Both first bring IMAGE.tar up to date with PACKAGE.deb (scripts/container
keeps its Debian layer in WORK, so this is quick once it is made).

image: the archive as docker and podman load it (the layers its config
names, by digest), what the image holds (the package and what it
recommends installed, no documentation but copyright files, nothing of the
machine that built it, under the size budget), and the same package
giving the same image, byte for byte.

shards: podman loads the image into storage of the test's own (in WORK),
several containers export their shares of one bind-mounted folder of
images at once, and together they must write the same files, byte for byte,
as GLYPHWEAVE (the build tree's program) exporting them all in one process
on this machine; images on standard input and text on standard output
pass through a container unchanged.

Exits 77 (skipped, with the reason) where the image cannot be made (not
root, no mmdebstrap, the mirror out of reach) and, for shards, where podman
cannot run a container at all."""
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.request

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.normpath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'host'))
import images  # noqa: E402

# What the README promises the image stays under, unpacked.
SIZE_BUDGET = 100 * 1000 * 1000
CONTAINERS = 4
# A user the image does not know, as a batch system might run it.
USER = 4321


class Skip(Exception):
    pass


def log(message):
    print(message, flush=True)


def run(args, check=True, **kwargs):
    proc = subprocess.run(args, capture_output=True, **kwargs)
    if check and proc.returncode != 0:
        raise AssertionError('`%s` failed (%d):\n%s%s' % (' '.join(map(str, args)), proc.returncode,
                                                        proc.stdout.decode(errors='replace'),
                                                        proc.stderr.decode(errors='replace')))
    return proc


def mirror_reachable():
    out = run(['apt-get', 'indextargets', '--format', '$(REPO_URI)'], check=False).stdout.decode()
    mirror = next((line for line in out.split('\n') if line.startswith('http')),
                  'http://deb.debian.org/debian/')
    try:
        urllib.request.urlopen(mirror.rstrip('/') + '/dists/bookworm/Release', timeout=20).read(64)
        return None
    except OSError as e:
        return '%s (%s)' % (mirror, e)


def current_image(deb, image, work, output=None):
    """Runs scripts/container for deb; the time it took."""
    if not os.path.isfile(deb):
        raise Skip('no package at %s (scripts/package makes it)' % deb)
    if os.geteuid() != 0:
        raise Skip('not root (mmdebstrap and chroot need it)')
    if shutil.which('mmdebstrap') is None:
        raise Skip('no mmdebstrap on this machine (scripts/setup --package installs it)')
    started = time.time()
    proc = subprocess.run([os.path.join(SOURCE_DIR, 'scripts', 'container'), '--work', work,
                           '--output', output or image, deb], capture_output=True, text=True)
    print(proc.stdout, end='', flush=True)
    if proc.returncode != 0:
        unreachable = mirror_reachable()
        if unreachable:
            raise Skip('the mirror %s cannot be reached' % unreachable)
        raise AssertionError('scripts/container failed:\n' + proc.stderr)
    return time.time() - started


# ---- image ----------------------------------------------------------------

def read_archive(path):
    """(manifest entry, config, [layer TarInfo]) of a docker-archive, with
    each layer's digest checked against the config."""
    with tarfile.open(path) as tar:
        manifest = json.load(tar.extractfile('manifest.json'))
        assert len(manifest) == 1, 'the archive holds %d images' % len(manifest)
        entry = manifest[0]
        config_bytes = tar.extractfile(entry['Config']).read()
        assert hashlib.sha256(config_bytes).hexdigest() + '.json' == entry['Config'], \
            'the config is not named by its digest'
        config = json.loads(config_bytes)
        diff_ids = config['rootfs']['diff_ids']
        assert len(diff_ids) == len(entry['Layers']), 'the config names %d layers, the manifest %d' \
            % (len(diff_ids), len(entry['Layers']))
        layers = []
        for name, diff_id in zip(entry['Layers'], diff_ids):
            member = tar.getmember(name)
            h = hashlib.sha256()
            f = tar.extractfile(member)
            for block in iter(lambda: f.read(1 << 20), b''):
                h.update(block)
            assert 'sha256:' + h.hexdigest() == diff_id, '%s is not the layer the config names' % name
            layers.append(member)
    return entry, config, layers


def merged_view(path, layers):
    """{path: (TarInfo, content or None)} of the image's file system, the
    layers applied in order (whiteouts remove what is below them)."""
    view = {}
    with tarfile.open(path) as outer:
        for layer in layers:
            with tarfile.open(fileobj=outer.extractfile(layer)) as tar:
                for info in tar:
                    name = info.name[2:] if info.name.startswith('./') else info.name
                    base = os.path.basename(name)
                    if base.startswith('.wh.'):
                        gone = os.path.join(os.path.dirname(name), base[4:])
                        for p in [p for p in view if p == gone or p.startswith(gone + '/')]:
                            del view[p]
                        continue
                    keep = name in ('var/lib/dpkg/status',)
                    view[name] = (info, tar.extractfile(info).read() if keep else None)
    return view


def resolve(view, path):
    """path with the image's symbolic links followed, or None."""
    parts, done = path.split('/'), ''
    for _ in range(40):
        if not parts:
            return done
        part = parts.pop(0)
        here = (done + '/' + part).lstrip('/')
        entry = view.get(here)
        if entry is None:
            return None
        if entry[0].issym():
            target = entry[0].linkname
            start = '' if target.startswith('/') else os.path.dirname(here)
            parts = [p for p in os.path.normpath(os.path.join('/', start, target)).lstrip('/').split('/')
                     if p] + parts
            done = ''
        else:
            done = here
    return None


def installed_packages(status):
    """{package: version} of the packages dpkg's status calls installed."""
    found = {}
    for stanza in status.decode().split('\n\n'):
        fields = dict(line.split(': ', 1) for line in stanza.split('\n') if ': ' in line and line[0] != ' ')
        if fields.get('Status') == 'install ok installed':
            found[fields['Package']] = fields['Version']
    return found


def check_image(deb, image, work):
    took = current_image(deb, image, work)
    log('scripts/container: %.0f s' % took)
    entry, config, layers = read_archive(image)
    version = subprocess.run(['dpkg-deb', '-f', deb, 'Version'], capture_output=True, text=True,
                             check=True).stdout.strip()
    assert 'glyphweave:' + version in entry['RepoTags'], 'tags: %s' % entry['RepoTags']
    assert config['config']['Entrypoint'] == ['/usr/bin/glyphweave'], config['config']
    size = sum(layer.size for layer in layers)
    log('image: %.1f MB unpacked in %d layers (budget %.0f MB), archive %.1f MB'
        % (size / 1e6, len(layers), SIZE_BUDGET / 1e6, os.path.getsize(image) / 1e6))
    assert size < SIZE_BUDGET, 'the image is %.1f MB, over the budget' % (size / 1e6)

    view = merged_view(image, layers)
    faults = []
    packages = installed_packages(view['var/lib/dpkg/status'][1])
    if packages.get('glyphweave') != version:
        faults.append('glyphweave %s is not installed (%s)' % (version, packages.get('glyphweave')))
    for field in ('Depends', 'Recommends'):
        value = subprocess.run(['dpkg-deb', '-f', deb, field], capture_output=True, text=True).stdout
        for item in filter(None, (i.strip() for i in value.split(','))):
            if not any(alt.strip().split(' ')[0] in packages for alt in item.split('|')):
                faults.append('%s of the package, %s, is not installed' % (field, item))
    # Licences stay: every package keeps its copyright file.
    for package in sorted(packages):
        doc = resolve(view, 'usr/share/doc/' + package)
        if doc is None or not view.get(doc + '/copyright'):
            faults.append('no /usr/share/doc/%s/copyright' % package)
    for path, (info, _) in sorted(view.items()):
        if path.startswith('usr/share/doc/') and path.count('/') > 3 and not path.endswith('/copyright') \
                and not info.isdir():
            faults.append('documentation left in: /' + path)
        elif path.startswith(('usr/share/man/', 'usr/share/info/', 'usr/share/locale/')) \
                and not info.isdir():
            faults.append('left in: /' + path)
        elif info.ischr() or info.isblk() or info.isfifo():
            faults.append('a device or FIFO in a layer: /' + path)
    for path in ('etc/resolv.conf', 'etc/hostname', 'etc/apt/apt.conf.d/99mmdebstrap'):
        if path in view:
            faults.append('the building machine\'s /%s is in the image' % path)
    if faults:
        raise AssertionError('\n'.join(faults[:40]))
    log('contents: %d packages installed, glyphweave %s with its Depends and Recommends; '
        'no docs but copyright files' % (len(packages), version))

    # The same package over the same Debian layer: the same bytes.
    again = image + '.again'
    try:
        current_image(deb, image, work, output=again)
        with open(image, 'rb') as a, open(again, 'rb') as b:
            same = hashlib.sha256(a.read()).digest() == hashlib.sha256(b.read()).digest()
        assert same, 'made twice from the same package, the image differs'
    finally:
        if os.path.exists(again):
            os.remove(again)
    log('made again from the same package: the same archive, byte for byte')


# ---- shards ---------------------------------------------------------------

class Podman:
    """podman as root with settings and storage of this test's own, in
    folder: runc and cgroupfs (crun fails under cgroups v1), no default
    rlimits (setting them fails in some sandboxes), events to a file."""

    def __init__(self, folder):
        self.folder = folder
        for sub in ('storage', 'run', 'tmp', 'net'):
            os.makedirs(os.path.join(folder, sub), exist_ok=True)
        conf = os.path.join(folder, 'containers.conf')
        with open(conf, 'w') as f:
            f.write('[containers]\ndefault_ulimits = []\n'
                    '[engine]\nruntime = "runc"\ncgroup_manager = "cgroupfs"\nevents_logger = "file"\n'
                    'events_logfile_path = "%s/events.log"\ntmp_dir = "%s/tmp"\n'
                    '[network]\nnetwork_config_dir = "%s/net"\n' % (folder, folder, folder))
        storage = os.path.join(folder, 'storage.conf')
        with open(storage, 'w') as f:
            f.write('[storage]\ndriver = "overlay"\ngraphroot = "%s/storage"\nrunroot = "%s/run"\n'
                    % (folder, folder))
        self.env = dict(os.environ, CONTAINERS_CONF=conf, CONTAINERS_STORAGE_CONF=storage)

    def __call__(self, *args, check=True, **kwargs):
        return run(['podman', *args], check=check, env=self.env, timeout=300, **kwargs)

    def popen(self, *args):
        return subprocess.Popen(['podman', *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=self.env)

    def check_can_run(self):
        """Skips when podman cannot start any container: tried on a root
        folder of the host's own /bin/true, not on the image under test."""
        for tool in ('podman', 'runc'):
            if shutil.which(tool) is None:
                raise Skip('no %s on this machine (scripts/setup installs it)' % tool)
        if os.geteuid() != 0:
            raise Skip('not root (the test runs podman with root\'s storage of its own)')
        probe = os.path.join(self.folder, 'probe')
        if not os.path.isfile(os.path.join(probe, 'bin', 'true')):
            libs = run(['ldd', '/bin/true']).stdout.decode().split()
            for path in ['/bin/true'] + [p for p in libs if p.startswith('/')]:
                target = os.path.join(probe, path.lstrip('/'))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy(path, target)
        info = self('info', check=False)
        if info.returncode != 0:
            raise Skip('podman cannot run here: %s' % info.stderr.decode().strip()[-300:])
        proc = self('run', '--rm', '--network=none', '--rootfs', probe, '/bin/true', check=False)
        if proc.returncode != 0:
            raise Skip('podman cannot start a container here: %s' % proc.stderr.decode().strip()[-300:])


def share(k, n, names):
    """What container k of n is given on its command line: its share of the
    images. With sharding in the program this is the one line to change:
        return ['--shard', '%d/%d' % (k + 1, n)] + names"""
    return names[k::n]


def make_images(folder):
    """Images of every format the image should read, each named apart (the
    text of each lands in out/NAME.txt)."""
    shutil.copy(os.path.join(SOURCE_DIR, 'host', 'samples', 'sphere.png'), folder)
    for kind, names in (('heif', ('lossy.heic', 'lossy-alpha.heic', 'odd-101x75.heic', 'lossless-rgba.avif',
                                  'animated.avif', 'irot-1-exif-6.avif')),
                        ('jxl', ('lossy-icc.jxl', 'lossless-rgb-16-bit.jxl', 'orientation-6.jxl',
                                 'animated.jxl', 'lossless-gray.jxl'))):
        for name in names:
            shutil.copy(os.path.join(SOURCE_DIR, 'tests', 'data', kind, name),
                        os.path.join(folder, '%s-%s' % (kind, name)))
    width, height = 61, 37
    rgb = [(x * 255 // width + (y % 5) * 11) % 256 if c != 1 else (y * 255 // height) % 256
           for y in range(height) for x in range(width) for c in range(3)]
    images.write_png(os.path.join(folder, 'rgb.png'), width, height, 2, rgb)
    images.write_png(os.path.join(folder, 'gray.png'), width, height, 0, images.pattern(width * height, 3))
    images.write_png(os.path.join(folder, 'rgba.png'), width, height, 6,
                     images.pattern(width * height * 4, 4))
    images.write_png(os.path.join(folder, 'palette.png'), width, height, 3,
                     [v % 7 for v in images.pattern(width * height, 5)],
                     palette=[(i * 36, 255 - i * 30, i * i * 5) for i in range(7)])
    # A name with a space and a character outside ASCII, through podman's
    # command line.
    images.write_png(os.path.join(folder, 'café au lait.png'), 17, 9, 0, images.pattern(17 * 9, 6))
    images.write_pnm(os.path.join(folder, 'photo.ppm'), 'P6', width, height, rgb)
    images.write_pam(os.path.join(folder, 'cmyk.pam'), width, height, 4, 'CMYK',
                     images.pattern(width * height * 4, 7))
    if shutil.which('cjpeg'):
        with open(os.path.join(folder, 'photo.ppm'), 'rb') as ppm, \
                open(os.path.join(folder, 'photo-q85.jpg'), 'wb') as jpg:
            subprocess.run(['cjpeg', '-quality', '85'], stdin=ppm, stdout=jpg, check=True)
    return sorted(os.listdir(folder))


def check_shards(deb, image, work, glyphweave):
    if not os.path.isfile(deb):
        raise Skip('no package at %s (scripts/package makes it)' % deb)
    podman = Podman(os.path.join(work, 'podman'))
    podman.check_can_run()
    current_image(deb, image, work)
    with tarfile.open(image) as tar:
        image_id = json.load(tar.extractfile('manifest.json'))[0]['Config'][:-5]
    version = subprocess.run(['dpkg-deb', '-f', deb, 'Version'], capture_output=True, text=True,
                             check=True).stdout.strip()
    podman('rm', '--all', '--force')
    started = time.time()
    podman('load', '--quiet', '--input', image)
    log('podman load: %.1f s' % (time.time() - started))
    # Earlier builds' images, untagged by this load, go.
    podman('image', 'prune', '--force')

    said = podman('run', '--rm', '--network=none', 'glyphweave:' + version, '--version').stdout.decode()
    want = run([glyphweave, '--version']).stdout.decode()
    assert said == want, 'glyphweave:%s --version says %r, the build tree %r' % (version, said, want)

    scratch = tempfile.mkdtemp(prefix='shards-', dir=work)
    try:
        shared = os.path.join(scratch, 'shared')
        native = os.path.join(scratch, 'native')
        os.makedirs(shared)
        os.mkdir(native)
        names = make_images(shared)
        os.mkdir(os.path.join(shared, 'out'))
        os.chown(os.path.join(shared, 'out'), USER, USER)
        os.chmod(shared, 0o755)

        run([glyphweave, '-q', '-o', native + '/', *names], cwd=shared)
        started = time.time()
        runs = [podman.popen('run', '--rm', '--network=none', '--read-only', '--user', '%d:%d' % (USER, USER),
                             '--volume', shared + ':/data', image_id, '-o', 'out/', *share(k, CONTAINERS, names))
                for k in range(CONTAINERS)]
        exported = {}
        faults = []
        for k, proc in enumerate(runs):
            out, err = proc.communicate(timeout=300)
            if proc.returncode != 0:
                faults.append('container %d failed (%d): %s' % (k, proc.returncode, err.decode()))
            # Each export reports "IMAGE -> out/NAME.txt".
            for line in out.decode().split('\n'):
                if ' -> ' in line:
                    exported.setdefault(line.split(' -> ')[0], []).append(k)
        log('%d containers exported %d images in %.1f s' % (CONTAINERS, len(names), time.time() - started))
        for name in names:
            if len(exported.get(name, [])) != 1:
                faults.append('%s was exported by containers %s' % (name, exported.get(name, [])))
        want = sorted(os.listdir(native))
        got = sorted(os.listdir(os.path.join(shared, 'out')))
        if got != want:
            faults.append('the containers wrote %s, the program alone %s' % (got, want))
        for name in sorted(set(got) & set(want)):
            with open(os.path.join(native, name), 'rb') as a, open(os.path.join(shared, 'out', name), 'rb') as b:
                if a.read() != b.read():
                    faults.append('out/%s differs from the program\'s' % name)
            if os.stat(os.path.join(shared, 'out', name)).st_uid != USER:
                faults.append('out/%s is not owned by the user the container ran as' % name)
        if faults:
            raise AssertionError('\n'.join(faults))
        log('the same %d files, byte for byte, as one native process' % len(want))

        # Standard input and output through a container: an image piped in,
        # text sized to standard output.
        for args, piped in ((['-'], 'rgb.png'), (['-o', '-', '--width', '40', 'heif-lossy.heic'], None)):
            source = os.path.join(shared, piped) if piped else os.devnull
            with open(source, 'rb') as f:
                got = podman('run', '--rm', '-i', '--network=none', '--read-only', '--volume', shared + ':/data',
                             image_id, *args, stdin=f).stdout
            with open(source, 'rb') as f:
                want = run([glyphweave, *args], cwd=shared, stdin=f).stdout
            assert got and got == want, 'glyphweave %s: the container wrote %d bytes, the program %d%s' \
                % (' '.join(args), len(got), len(want), ' (different)' if len(got) == len(want) else '')
        log('standard input and output pass through a container unchanged')
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def main():
    what, deb, image, work = sys.argv[1:5]
    work = os.path.abspath(work)
    if what == 'image':
        check_image(deb, image, work)
    elif what == 'shards':
        check_shards(deb, image, work, os.path.abspath(sys.argv[5]))
    else:
        raise SystemExit('usage: container.py image|shards PACKAGE.deb IMAGE.tar WORK [GLYPHWEAVE]')
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    except Skip as why:
        print('skipped: %s' % why)
        sys.exit(SKIP)
    except AssertionError as fault:
        print('container: FAILED: %s' % fault)
        sys.exit(1)

#!/usr/bin/env python3
"""The Debian package in a fresh minimal Debian 12 root, as a new user gets it:

    fresh_root.py PACKAGE.deb GLYPHWEAVE CACHE_DIR

Makes (once, then kept in CACHE_DIR) a `debootstrap --variant=minbase
bookworm` root from the mirror and proxy apt uses on this machine, copies it,
installs the package there with `apt-get install --no-install-recommends`
and prints what that brought in (packages and megabytes: the figure to watch
when a dependency changes). Then exports a JPEG and a PNG, sizes one, checks
that a HEIF file names the package to install, reads the man page, purges
the package and checks that it left nothing behind. GLYPHWEAVE is the build
tree's program: the installed one must write the same text.

Exits 77 (skipped, with the reason) where it cannot run: not root, no
debootstrap or chroot, too little room, no mounting, no network."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.normpath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(SOURCE_DIR, 'tests', 'host'))
import images  # noqa: E402

SUITE = 'bookworm'
ROOM_NEEDED = 3 << 30  # the cached root, one copy and the packages
# Paths whose contents change whenever apt or dpkg runs, whatever is installed.
VOLATILE = ('proc/', 'tmp/', 'var/cache/', 'var/lib/apt/', 'var/lib/dpkg/', 'var/log/',
            'var/lib/man-db/', 'etc/ld.so.cache', 'run/')


class Skip(Exception):
    pass


def log(message):
    print(message, flush=True)


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def apt_settings():
    """(mirror, sources lines, apt.conf lines) from this machine's apt."""
    targets = run(['apt-get', 'indextargets', '--format', '$(REPO_URI) $(CODENAME) $(TARGET_OF)'])
    suites, mirror = [], None
    for line in sorted(set(targets.stdout.split('\n'))):
        parts = line.split()
        if len(parts) != 3 or parts[2] != 'deb' or not parts[1].startswith(SUITE):
            continue
        suites.append('deb %s %s main' % (parts[0], parts[1]))
        if parts[1] == SUITE:
            mirror = parts[0]
    if mirror is None:
        mirror = 'http://deb.debian.org/debian/'
        suites.insert(0, 'deb %s %s main' % (mirror, SUITE))
    # Proxies, and the date checks a snapshot mirror needs turned off.
    keys = ('Acquire::http::Proxy', 'Acquire::https::Proxy', 'Acquire::ftp::Proxy',
            'Acquire::Check-Valid-Until', 'Acquire::Check-Date')
    dump = run(['apt-config', 'dump']).stdout.split('\n')
    conf = [line for line in dump if any(line.startswith(k + ' ') or line.startswith(k + '::') for k in keys)]
    return mirror, suites, conf


def proxy_environment(conf):
    env = {}
    for line in conf:
        m = re.match(r'Acquire::(https?)::Proxy "([^"]+)";', line)
        if m and m.group(2) not in ('DIRECT', 'false'):
            env['%s_proxy' % m.group(1)] = m.group(2)
    return env


def check_can_run(cache):
    if os.geteuid() != 0:
        raise Skip('not root (debootstrap and chroot need it)')
    for tool in ('debootstrap', 'chroot', 'mount', 'umount'):
        if shutil.which(tool) is None:
            raise Skip('no %s on this machine' % tool)
    os.makedirs(cache, exist_ok=True)
    free = shutil.disk_usage(cache).free
    if free < ROOM_NEEDED and not os.path.isdir(os.path.join(cache, 'base')):
        raise Skip('%d MB free in %s, %d MB needed' % (free >> 20, cache, ROOM_NEEDED >> 20))


def check_network(mirror, proxies):
    handler = urllib.request.ProxyHandler(proxies)
    try:
        urllib.request.build_opener(handler).open(mirror.rstrip('/') + '/dists/%s/Release' % SUITE,
                                                  timeout=20).read(64)
    except OSError as e:
        raise Skip('the mirror %s cannot be reached (%s)' % (mirror, e))


def chroot(root, command, check=True):
    env = {'PATH': '/usr/sbin:/usr/bin:/sbin:/bin', 'LC_ALL': 'C', 'HOME': '/root',
           'DEBIAN_FRONTEND': 'noninteractive'}
    proc = subprocess.run(['chroot', root, 'sh', '-c', command], capture_output=True, text=True,
                          env=env, timeout=600)
    if check and proc.returncode != 0:
        raise AssertionError('in the fresh root, `%s` failed (%d):\n%s%s'
                             % (command, proc.returncode, proc.stdout, proc.stderr))
    return proc


def make_base(cache, mirror, suites, conf, env):
    """The minimal root, made once; later runs copy it."""
    base = os.path.join(cache, 'base')
    if os.path.isfile(os.path.join(base, '.complete')):
        return base
    log('making the minimal root (debootstrap --variant=minbase %s %s); later runs reuse it'
        % (SUITE, mirror))
    fresh = base + '.new'
    shutil.rmtree(fresh, ignore_errors=True)
    shutil.rmtree(base, ignore_errors=True)
    started = time.time()
    proc = run(['debootstrap', '--variant=minbase', SUITE, fresh, mirror], env=dict(os.environ, **env),
               timeout=1200)
    if proc.returncode != 0:
        tail = '\n'.join((proc.stdout + proc.stderr).strip().split('\n')[-8:])
        shutil.rmtree(fresh, ignore_errors=True)
        raise AssertionError('debootstrap failed:\n' + tail)
    with open(os.path.join(fresh, 'etc', 'apt', 'sources.list'), 'w') as f:
        f.write('\n'.join(suites) + '\n')
    with open(os.path.join(fresh, 'etc', 'apt', 'apt.conf.d', '90host-settings'), 'w') as f:
        f.write('// This machine\'s proxy and date checks, as apt-config gave them\n')
        f.write('\n'.join(conf) + '\n')
    log('  made in %d s' % (time.time() - started))
    open(os.path.join(fresh, '.complete'), 'w').close()
    os.rename(fresh, base)
    return base


def unmount_under(root):
    """Unmounts what an interrupted run left mounted in the root, so that
    removing it cannot reach the cache or the system."""
    with open('/proc/mounts') as f:
        points = [line.split()[1] for line in f]
    for point in sorted(points, reverse=True):
        if point == root or point.startswith(root + '/'):
            subprocess.run(['umount', '-l', point])
    with open('/proc/mounts') as f:
        return not any(line.split()[1].startswith(root + '/') for line in f)


def snapshot(root):
    """Every path in the root but the volatile ones, relative to it."""
    found = set()
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        rel = '' if rel == '.' else rel + '/'
        if rel.startswith(VOLATILE):
            dirs[:] = []
            continue
        for name in dirs + files:
            path = rel + name
            if not (path + '/').startswith(VOLATILE) and not path.startswith(VOLATILE):
                found.add(path)
    return found


def installed(root):
    """{package: installed size in KiB} of the root."""
    out = chroot(root, "dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Installed-Size}\\n'").stdout
    sizes = {}
    for line in out.split('\n'):
        parts = line.split()
        if len(parts) == 3 and parts[0] == 'ii':
            sizes[parts[1]] = int(parts[2])
    return sizes


def export(program, args, cwd):
    proc = subprocess.run([program, *args], cwd=cwd, capture_output=True, timeout=120)
    if proc.returncode != 0:
        raise AssertionError('%s %s failed: %s' % (program, ' '.join(args), proc.stderr.decode()))


def make_inputs(folder):
    """A PNG (the bundled sample), a JPEG, a HEIF and a JPEG XL file in `folder`."""
    shutil.copy(os.path.join(SOURCE_DIR, 'host', 'samples', 'sphere.png'), folder)
    shutil.copy(os.path.join(SOURCE_DIR, 'tests', 'data', 'heif', 'lossy.heic'), folder)
    shutil.copy(os.path.join(SOURCE_DIR, 'tests', 'data', 'jxl', 'lossy.jxl'), folder)
    width, height = 96, 64
    samples = [(x * 255 // width + (y % 7) * 9) % 256 if c != 1 else (y * 255 // height) % 256
               for y in range(height) for x in range(width) for c in range(3)]
    ppm = os.path.join(folder, 'photo.ppm')
    images.write_pnm(ppm, 'P6', width, height, samples)
    with open(os.path.join(folder, 'photo.jpg'), 'wb') as out:
        subprocess.run(['cjpeg', '-quality', '90', ppm], stdout=out, check=True)
    os.remove(ppm)


def main():
    deb, glyphweave, cache = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    if not os.path.isfile(deb):
        raise Skip('no package at %s (scripts/package makes it)' % deb)
    check_can_run(cache)
    if shutil.which('cjpeg') is None:
        raise Skip('no cjpeg (libjpeg-turbo-progs) to make the JPEG')
    mirror, suites, conf = apt_settings()
    env = proxy_environment(conf)
    check_network(mirror, env)
    base = make_base(cache, mirror, suites, conf, env)

    root = os.path.join(cache, 'root')
    archives = os.path.join(cache, 'archives')
    os.makedirs(os.path.join(archives, 'partial'), exist_ok=True)
    try:
        if os.path.isdir(root):
            if not unmount_under(root):
                raise AssertionError('%s still has mounts in it' % root)
            shutil.rmtree(root)
        subprocess.run(['cp', '-a', '--reflink=auto', base, root], check=True)
        for source, target, kind in ((None, 'proc', 'proc'), (archives, 'var/cache/apt/archives', 'bind')):
            where = os.path.join(root, target)
            args = ['mount', '-t', 'proc', 'proc', where] if kind == 'proc' else ['mount', '--bind', source, where]
            proc = run(args)
            if proc.returncode != 0:
                raise Skip('cannot mount in the fresh root: ' + proc.stderr.strip())
        shutil.copy('/etc/resolv.conf', os.path.join(root, 'etc', 'resolv.conf'))
        chroot(root, 'apt-get update -q')

        work = os.path.join(root, 'tmp', 'gw')
        os.makedirs(work)
        shutil.copy(deb, work)
        before = installed(root)
        proc = chroot(root, 'cd /tmp/gw && apt-get install -y -q --no-install-recommends ./%s'
                      % os.path.basename(deb))
        apt_says = [line.strip() for line in proc.stdout.split('\n')
                    if re.match(r'\s*(\d+ upgraded|Need to get|After this operation)', line)]
        after = installed(root)
        added = sorted(set(after) - set(before))
        if 'glyphweave' not in added:
            raise AssertionError('apt-get did not install glyphweave')
        kib = sum(after[p] for p in added)
        log('minimal install: %d packages (glyphweave and %d more), %.1f MB installed'
            % (len(added), len(added) - 1, kib * 1024 / 1e6))
        log('  ' + ' '.join(added))
        log('  apt-get: ' + ' '.join(apt_says))

        # Exports in the root against the build tree's program.
        make_inputs(work)
        reference = tempfile.mkdtemp(prefix='gw-fresh-')
        try:
            for folder in (reference, work):
                os.mkdir(os.path.join(folder, 'out'))
            for name in ('sphere.png', 'photo.jpg'):
                shutil.copy(os.path.join(work, name), reference)
            runs = [(['-q', '-o', 'out/', 'sphere.png', 'photo.jpg'], ['out/sphere.txt', 'out/photo.txt']),
                    (['-q', '--width', '40', '-o', 'sized.txt', 'photo.jpg'], ['sized.txt'])]
            for args, outputs in runs:
                export(glyphweave, args, reference)
                chroot(root, 'cd /tmp/gw && glyphweave ' + ' '.join(args))
                for name in outputs:
                    with open(os.path.join(reference, name), 'rb') as a, open(os.path.join(work, name), 'rb') as b:
                        want, got = a.read(), b.read()
                    if not want or want != got:
                        raise AssertionError('the installed program wrote another %s than the build tree'
                                             % name)
        finally:
            shutil.rmtree(reference, ignore_errors=True)
        log('exported a PNG and a JPEG, and the JPEG sized, as the build tree does')

        # libheif and libjxl are recommended, not depended on: without them,
        # one line says which package to install.
        for sample, package in (('lossy.heic', 'libheif1'), ('lossy.jxl', 'libjxl0.7')):
            if package in after:
                continue
            proc = chroot(root, 'cd /tmp/gw && glyphweave -q ' + sample, check=False)
            lines = proc.stderr.strip().split('\n')
            if proc.returncode != 2 or len(lines) != 1 or 'apt install %s)' % package not in lines[0]:
                raise AssertionError('%s without %s gave (%d):\n%s' % (sample, package, proc.returncode, proc.stderr))
            log('without %s: %s' % (package, lines[0]))

        chroot(root, 'apt-get install -y -q --no-install-recommends man-db')
        page = chroot(root, 'man -P cat glyphweave 2>&1').stdout
        if 'SYNOPSIS' not in page or '--max-memory' not in page:
            raise AssertionError('man glyphweave shows:\n' + page[:500])
        log('man glyphweave: %d lines' % len(page.split('\n')))

        shutil.rmtree(work)
        owned = set(p.lstrip('/') for p in chroot(root, 'dpkg -L glyphweave').stdout.split('\n') if p.strip())
        kept = snapshot(root)
        chroot(root, 'apt-get purge -y -q glyphweave')
        left = snapshot(root)
        faults = []
        for path in sorted(left):
            if 'glyphweave' in path.lower():
                faults.append('left behind: /' + path)
        gone = kept - left
        faults += ['removed, though not the package\'s: /' + p for p in sorted(gone - owned)]
        faults += ['appeared with the purge: /' + p for p in sorted(left - kept) if 'glyphweave' not in p.lower()]
        if 'glyphweave' in installed(root):
            faults.append('glyphweave is still installed')
        if faults:
            raise AssertionError('\n'.join(faults))
        log('purged: nothing of the package is left, nothing else changed')
    finally:
        if unmount_under(root):
            shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    except Skip as why:
        print('skipped: %s' % why)
        sys.exit(SKIP)
    except AssertionError as fault:
        print('fresh root: FAILED: %s' % fault)
        sys.exit(1)

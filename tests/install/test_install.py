"""What a user gets from `cmake --install`: the staged program and module,
the bash completion, and --help, the man page and the completion agreeing
with the option table the program parses with. The environment names the
pieces: GLYPHWEAVE (the build tree's program), OPTION_TABLE (a program that
prints that table), BUILD_DIR, CMAKE, OBJDUMP, VERSION, WINDOWS_MODULE,
SOURCE_DIR."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

GLYPHWEAVE = os.environ['GLYPHWEAVE']
SOURCE_DIR = os.environ['SOURCE_DIR']
MAN_PAGE = os.path.join(SOURCE_DIR, 'doc', 'glyphweave.1')
COMPLETION = os.path.join(SOURCE_DIR, 'completion', 'glyphweave')
SAMPLE = os.path.join(SOURCE_DIR, 'host', 'samples', 'sphere.png')
BASH_COMPLETION = '/usr/share/bash-completion/bash_completion'


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kwargs)


class Staged(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='gw-install-')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def stage(self):
        dest = os.path.join(self.dir, 'stage')
        # --strip, as the package strips: the module must keep its resources
        # section and its entry point.
        proc = run([os.environ['CMAKE'], '--install', os.environ['BUILD_DIR'], '--prefix', '/usr', '--strip'],
                   env=dict(os.environ, DESTDIR=dest))
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        return dest

    def export(self, program, cwd, name):
        proc = run([program, '-q', '-o', name, SAMPLE], cwd=cwd)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(os.path.join(cwd, name), 'rb') as f:
            return f.read()

    def test_installed_program_finds_its_module_and_exports_as_the_build_tree(self):
        dest = self.stage()
        files = sorted(os.path.relpath(os.path.join(d, f), dest)
                       for d, _, names in os.walk(dest) for f in names)
        expected = ['usr/bin/glyphweave', 'usr/lib/glyphweave/Glyphweave.so',
                    'usr/share/bash-completion/completions/glyphweave', 'usr/share/man/man1/glyphweave.1.gz',
                    'usr/share/doc/glyphweave/copyright', 'usr/share/doc/glyphweave/changelog.gz']
        if os.path.isfile(os.environ['WINDOWS_MODULE']):
            expected += ['usr/share/glyphweave/windows/Glyphweave.8be',
                         'usr/share/doc/glyphweave/windows-install.txt']
        self.assertEqual(files, sorted(expected))

        program = os.path.join(dest, 'usr', 'bin', 'glyphweave')
        module = os.path.join(dest, 'usr', 'lib', 'glyphweave', 'Glyphweave.so')
        elsewhere = os.path.join(self.dir, 'elsewhere')
        os.mkdir(elsewhere)
        built = self.export(GLYPHWEAVE, elsewhere, 'built.txt')
        self.assertGreater(len(built), 0)
        self.assertEqual(self.export(program, elsewhere, 'staged.txt'), built)
        # A link to the program, as /usr/local/bin links often are.
        os.symlink(program, os.path.join(self.dir, 'glyphweave'))
        self.assertEqual(self.export(os.path.join(self.dir, 'glyphweave'), elsewhere, 'linked.txt'), built)

        version = run([program, '--version'])
        self.assertEqual(version.stdout.split(), ['glyphweave', os.environ['VERSION']])

        exports = run([os.path.join(SOURCE_DIR, 'tests', 'check-module-exports'), os.environ['OBJDUMP'],
                       module, 'PluginMain'])
        self.assertEqual(exports.returncode, 0, exports.stdout + exports.stderr)
        for binary in (program, module):
            headers = run([os.environ['OBJDUMP'], '-p', binary]).stdout
            self.assertNotRegex(headers, r'\b(RPATH|RUNPATH)\b', binary + ' keeps a build-tree library path')
            # Debian's strip drops the compilers' version strings; so does ours.
            sections = run([os.environ['OBJDUMP'], '-h', binary]).stdout
            self.assertNotRegex(sections, r'\s\.comment\s', binary + ' keeps its .comment section')


def complete_many(cases, cwd):
    """The completions bash offers for the last word of each case (a list of
    words), through the function the completion file registers for
    glyphweave, all in one bash. A word '=' is joined to its neighbours in
    the command line, as bash splits --color=never into three words."""
    script = r"""
        source "$1" && source "$2" || exit 3
        func=$(complete -p glyphweave | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
        [ -n "$func" ] || exit 4
        while IFS=$'\x1f' read -r -a fields; do
            unset 'fields[-1]'  # the end mark, which keeps an empty last word
            COMP_LINE=${fields[0]}
            COMP_WORDS=("${fields[@]:1}")
            COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
            COMP_POINT=${#COMP_LINE}
            COMPREPLY=()
            "$func" glyphweave "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
            printf '%s\x1e' "${COMPREPLY[@]}"
            printf '\n'
        done
    """
    def command_line(words):
        line = words[0]
        for before, word in zip(words, words[1:]):
            line += word if '=' in (before, word) else ' ' + word
        return line
    lines = ''.join('\x1f'.join([command_line(words), *words, 'end']) + '\n' for words in cases)
    proc = subprocess.run(['bash', '-c', script, 'bash', BASH_COMPLETION, COMPLETION], input=lines,
                          capture_output=True, text=True, timeout=120, cwd=cwd)
    if proc.returncode != 0:
        raise AssertionError('completion failed (%d): %s' % (proc.returncode, proc.stderr))
    answers = proc.stdout.split('\n')[:-1]
    if len(answers) != len(cases):
        raise AssertionError('completion answered %d of %d: %s' % (len(answers), len(cases), proc.stderr))
    return [set(word for word in answer.split('\x1e') if word) for answer in answers]


def complete(words, cwd):
    """The completions bash offers for the last of `words`."""
    return complete_many([words], cwd)[0]


MODES = {'gray', 'indexed', 'rgb', 'cmyk', 'lab', 'hsb', 'hsl', 'multichannel', 'duotone', 'bitmap'}


class Completion(unittest.TestCase):
    def test_options_and_modes(self):
        self.assertEqual(complete(['glyphweave', '--mo'], '/'), {'--mode'})
        self.assertEqual(complete(['glyphweave', '--mode', ''], '/'), MODES)
        self.assertEqual(complete(['glyphweave', '--mode', 'h'], '/'), {'hsb', 'hsl'})
        self.assertEqual(complete(['glyphweave', '--width', ''], '/'), set())

    def test_file_names_by_what_the_option_takes(self):
        with tempfile.TemporaryDirectory(prefix='gw-complete-') as d:
            for name in ('a.png', 'B.JPG', 'with space.webp', 'notes.txt', 'step.json'):
                open(os.path.join(d, name), 'w').close()
            os.mkdir(os.path.join(d, 'sub'))
            images = {'a.png', 'B.JPG', 'with space.webp', 'sub'}
            self.assertEqual(complete(['glyphweave', ''], d), images)
            self.assertEqual(complete(['glyphweave', '-q', '--', ''], d), images)
            self.assertEqual(complete(['glyphweave', '-o', ''], d), images | {'notes.txt', 'step.json'})
            self.assertEqual(complete(['glyphweave', '--play', ''], d), {'step.json', 'sub'})
            self.assertEqual(complete(['glyphweave', '--record', 's'], d), {'step.json', 'sub'})


OPTION_ENTRY = re.compile(r'((?:--?[A-Za-z][\w-]*, )*)(--?[A-Za-z][\w-]*)(\[=[A-Z]+\]| [A-Z]+)?(?:\s|$)')


def entry_options(entry):
    """{spelling: 'none', 'required' or 'optional'} for an option entry as
    --help and the man page write it: "-o, --output PATH", "--color[=WHEN]",
    "-q, --quiet"."""
    m = OPTION_ENTRY.match(entry)
    if not m:
        return {}
    takes = 'none' if not m.group(3) else 'optional' if m.group(3).startswith('[') else 'required'
    return {spelling: takes for spelling in m.group(1).split(', ')[:-1] + [m.group(2)]}


def help_options(text):
    """The options --help describes: the entries that open a line indented as
    the option column is (continuations are indented further)."""
    found = {}
    for line in text.splitlines():
        if re.match(r' {2,6}-', line):
            found.update(entry_options(line.strip()))
    return found


def man_text(source):
    """Man source as plain text: font changes and escapes gone."""
    return re.sub(r'\\f[BIRP]|\\f\(..|\\&|\\\|', '', source).replace('\\-', '-')


def man_options(source):
    """(documented, mentioned): the options that tag an entry of the OPTIONS
    section, as entry_options reads the tag once its font macro has joined
    its arguments, and every long option named anywhere on the page."""
    documented = {}
    section = None
    lines = source.splitlines()
    for i, line in enumerate(lines):
        if line.startswith('.SH'):
            section = line[3:].strip().strip('"')
        elif section == 'OPTIONS' and i > 0 and lines[i - 1].startswith('.TP'):
            macro, _, arguments = line.partition(' ')
            if re.fullmatch(r'\.[BIR]{1,2}', macro):
                # Alternating fonts join their arguments without blanks.
                words = [a or b for a, b in re.findall(r'"([^"]*)"|(\S+)', arguments)]
                documented.update(entry_options(man_text(''.join(words))))
    mentioned = set(re.findall(r'(?<![\w-])--[A-Za-z][\w-]*', man_text(source)))
    return documented, mentioned


def completion_options():
    """{spelling: 'none', 'required' or 'optional'} as the completion treats
    the options it offers: after one that takes the next word as its value,
    a '-' is that value, and no option is offered; one that takes a value
    only after '=' offers words there."""
    with tempfile.TemporaryDirectory(prefix='gw-complete-') as empty:
        offered = sorted(complete(['glyphweave', '-'], empty))
        after = complete_many([['glyphweave', o, '-'] for o in offered], empty)
        joined = complete_many([['glyphweave', o, '=', ''] for o in offered], empty)
    return {o: 'required' if not next_word else 'optional' if o.startswith('--') and words else 'none'
            for o, next_word, words in zip(offered, after, joined)}


class OptionsAgree(unittest.TestCase):
    """The option table the program parses with, --help, the man page and
    the completion: the same options, and the same ones taking a value."""
    maxDiff = None

    def test_table_help_man_page_and_completion_agree(self):
        table = {}
        for line in run([os.environ['OPTION_TABLE']]).stdout.splitlines():
            spelling, takes = line.split()
            table[spelling] = takes
        self.assertEqual((table.get('--output'), table.get('-o'), table.get('--fit')), ('required', 'required', 'none'))
        proc = run([GLYPHWEAVE, '--help'])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        with open(MAN_PAGE) as f:
            documented, mentioned = man_options(f.read())
        self.assertEqual(help_options(proc.stdout), table, '--help against the option table')
        self.assertEqual(documented, table, "the man page's entries against the option table")
        self.assertEqual(completion_options(), table, 'the completion against the option table')
        self.assertEqual(mentioned - set(table), set(), 'long options named in the man page unknown to the table')
        offered = complete(['glyphweave', '-'], '/')
        self.assertEqual(complete(['glyphweave', '--'], '/'), {o for o in offered if o.startswith('--')})


class Versions(unittest.TestCase):
    """One version, project()'s: the program's, the changelog's newest entry,
    and the names CPack gives the Debian package and the Windows download.
    (The package's own fields and the download's program are checked where
    they are made: check-package and windows_zip.py.)"""

    def test_everything_carries_the_project_version(self):
        version = os.environ['VERSION']
        self.assertRegex(version, r'^\d+\.\d+\.\d+$')
        self.assertEqual(run([GLYPHWEAVE, '--version']).stdout.split(), ['glyphweave', version])
        with open(os.path.join(SOURCE_DIR, 'doc', 'changelog')) as f:
            newest = re.match(r'glyphweave \(([^)]+)\) \S+; urgency=\w+$', f.readline())
        self.assertIsNotNone(newest, "doc/changelog does not start with an entry")
        self.assertEqual(newest.group(1), version, "doc/changelog's newest entry")

        def cpack_setting(build, name):
            with open(os.path.join(build, 'CPackConfig.cmake')) as f:
                found = re.search(r'^set\(%s "([^"]*)"\)' % name, f.read(), re.M)
            return found.group(1) if found else None
        build = os.environ['BUILD_DIR']
        self.assertEqual(cpack_setting(build, 'CPACK_PACKAGE_VERSION'), version)
        # The Windows build beside this one, when there is one.
        windows = os.path.join(build, '..', 'build-win32')
        if os.path.isfile(os.path.join(windows, 'CPackConfig.cmake')):
            self.assertEqual(cpack_setting(windows, 'CPACK_PACKAGE_FILE_NAME'), 'glyphweave-%s-windows' % version)


if __name__ == '__main__':
    unittest.main()

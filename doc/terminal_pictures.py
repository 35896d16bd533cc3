"""Pictures of terminals and pages, made on this machine alone: a command run
in a detached tmux pane of a chosen size, the pane captured with its colours
(capture-pane -e), that text drawn as an HTML page on a terminal's black, and
pages photographed by headless Chromium. PNGs are read and written with zlib.
Used by doc/make-pictures (the README's pictures) and bench/captures."""
import html
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time
import zlib

SGR = re.compile(r'\x1b\[([0-9;:]*)m')
OTHER_ESCAPE = re.compile(r'\x1b(\[[0-9;?]*[A-Za-ln-z]|\][^\x07\x1b]*(\x07|\x1b\\)|[()][0-9A-B])')

# xterm's first 16 colours; the rest of the 256 follow from the cube and the greys.
BASIC = [(0, 0, 0), (205, 0, 0), (0, 205, 0), (205, 205, 0), (0, 0, 238), (205, 0, 205), (0, 205, 205),
         (229, 229, 229), (127, 127, 127), (255, 0, 0), (0, 255, 0), (255, 255, 0), (92, 92, 255),
         (255, 0, 255), (0, 255, 255), (255, 255, 255)]
LEVELS = [0, 95, 135, 175, 215, 255]


def palette(n):
    if n < 16:
        return BASIC[n]
    if n < 232:
        n -= 16
        return LEVELS[n // 36], LEVELS[n // 6 % 6], LEVELS[n % 6]
    return (8 + 10 * (n - 232),) * 3


def need(program):
    if shutil.which(program) is None:
        raise SystemExit('%s is needed (scripts/setup installs it)' % program)


def capture(command, columns, lines, env=None, wait=20.0, settle=None):
    """What a terminal of COLUMNS x LINES shows once COMMAND (a shell
    command) has ended, or SETTLE seconds after it started: ANSI text."""
    need('tmux')
    socket = 'gw-pictures-%d' % os.getpid()
    tmux = ['tmux', '-L', socket, '-f', '/dev/null']
    environment = dict(os.environ, **(env or {}))
    environment.pop('TMUX', None)
    done = os.path.join(tempfile.gettempdir(), socket + '.done')
    if os.path.exists(done):
        os.remove(done)
    script = '%s; touch %s; sleep 600' % (command, done)
    subprocess.run(tmux + ['new-session', '-d', '-x', str(columns), '-y', str(lines), '-s', 'p', script],
                   env=environment, check=True)
    try:
        subprocess.run(tmux + ['set-option', '-t', 'p', 'status', 'off'], check=True)
        subprocess.run(tmux + ['resize-window', '-t', 'p', '-x', str(columns), '-y', str(lines)], check=True)
        deadline = time.time() + (settle if settle is not None else wait)
        while time.time() < deadline and not os.path.exists(done):
            time.sleep(0.1)
        shown = subprocess.run(tmux + ['capture-pane', '-p', '-e', '-t', 'p'], capture_output=True,
                               check=True).stdout.decode('utf-8', errors='replace')
    finally:
        subprocess.run(tmux + ['kill-server'], capture_output=True)
        if os.path.exists(done):
            os.remove(done)
    return shown


def ansi_to_html(text, title, columns, lines, font_px=14):
    """A page that shows ANSI-coloured text as a terminal of COLUMNS x LINES
    would: light grey on black, each character in its foreground colour."""
    out, colour, bold = [], None, False
    for line in text.split('\n')[:lines]:
        pos = 0
        line = OTHER_ESCAPE.sub('', line)
        for m in list(SGR.finditer(line)) + [None]:
            chunk = line[pos:m.start() if m else len(line)]
            if chunk:
                style = ('color:#%02x%02x%02x;' % colour if colour else '') + ('font-weight:bold;' if bold else '')
                out.append('<span style="%s">%s</span>' % (style, html.escape(chunk)) if style
                           else html.escape(chunk))
            if m is None:
                break
            pos = m.end()
            p = [int(x) if x else 0 for x in re.split('[;:]', m.group(1))] or [0]
            i = 0
            while i < len(p):
                if p[i] == 0:
                    colour, bold = None, False
                elif p[i] == 1:
                    bold = True
                elif p[i] == 22:
                    bold = False
                elif p[i] == 39:
                    colour = None
                elif 30 <= p[i] <= 37:
                    colour = palette(p[i] - 30 + (8 if bold else 0))
                elif 90 <= p[i] <= 97:
                    colour = palette(p[i] - 90 + 8)
                elif p[i] in (38, 48) and i + 1 < len(p):
                    if p[i + 1] == 5 and i + 2 < len(p):
                        if p[i] == 38:
                            colour = palette(p[i + 2])
                        i += 2
                    elif p[i + 1] == 2 and i + 4 < len(p):
                        if p[i] == 38:
                            colour = tuple(p[i + 2:i + 5])
                        i += 4
                i += 1
        out.append('\n')
    return ('<!DOCTYPE html>\n<html><head><meta charset="utf-8"><title>%s</title><style>'
            'html{background:#fff}body{margin:10px}'
            'pre{font:%dpx/1.2 "DejaVu Sans Mono",monospace;margin:0;padding:6px;width:%dch;height:%.1fem;'
            'overflow:hidden;background:#000;color:#d0d0d0;font-variant-ligatures:none}'
            '</style></head><body><pre>%s</pre></body></html>\n'
            % (html.escape(title), font_px, columns, lines * 1.2, ''.join(out)))


def screenshot(page_path, png_path, width, height):
    """Chromium's picture of a page in a window of WIDTH x HEIGHT pixels."""
    need('chromium')
    with tempfile.TemporaryDirectory(prefix='gw-chromium-') as profile:
        subprocess.run(['chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                        '--disable-background-networking', '--disable-component-update', '--disable-sync',
                        '--hide-scrollbars', '--force-device-scale-factor=1', '--user-data-dir=' + profile,
                        '--screenshot=' + png_path, '--window-size=%d,%d' % (width, height),
                        'file://' + os.path.abspath(page_path)], capture_output=True, check=True, timeout=180)


def read_png(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB or RGBA PNG."""
    with open(path, 'rb') as f:
        data = f.read()
    pos, idat = 8, b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour_type = struct.unpack('>IIBB', body[:10])
            assert depth == 8 and colour_type in (2, 6)
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    n = 3 if colour_type == 2 else 4
    raw, stride, rows, previous = zlib.decompress(idat), width * n, [], bytearray(width * n)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - n] if i >= n else 0
            b, c = previous[i], previous[i - n] if i >= n else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        previous = line
        rows.append(bytes(line) if n == 3 else bytes(v for x in range(width) for v in line[x * 4:x * 4 + 3]))
    return width, height, rows


def write_png(path, width, height, rows):
    """An 8-bit RGB PNG, each row filtered by its left neighbour (Sub)."""
    raw = bytearray()
    for row in rows:
        raw.append(1)
        raw += bytes([row[0], row[1], row[2]]) + bytes((row[i] - row[i - 3]) & 255 for i in range(3, len(row)))

    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body) & 0xFFFFFFFF)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


def crop_to_content(path, margin=8):
    """Cuts a screenshot down to what differs from its bottom-right pixel
    (the page's background), keeping MARGIN pixels around it."""
    width, height, rows = read_png(path)
    back = rows[-1][-3:]
    top, bottom, left, right = height, 0, width, 0
    for y, row in enumerate(rows):
        xs = [x for x in range(width) if row[x * 3:x * 3 + 3] != back]
        if xs:
            top, bottom = min(top, y), y + 1
            left, right = min(left, xs[0]), max(right, xs[-1] + 1)
    if bottom == 0:
        return
    top, left = max(0, top - margin), max(0, left - margin)
    bottom, right = min(height, bottom + margin), min(width, right + margin)
    write_png(path, right - left, bottom - top, [row[left * 3:right * 3] for row in rows[top:bottom]])


def terminal_picture(command, columns, lines, png_path, title, env=None, settle=None, font_px=14):
    """COMMAND as a terminal of COLUMNS x LINES shows it, as a PNG."""
    shown = capture(command, columns, lines, env=env, settle=settle)
    with tempfile.TemporaryDirectory(prefix='gw-pictures-') as folder:
        page = os.path.join(folder, 'terminal.html')
        with open(page, 'w', encoding='utf-8') as f:
            f.write(ansi_to_html(shown, title, columns, lines, font_px))
        # Generous: the crop takes the window down to the terminal.
        screenshot(page, png_path, int(columns * font_px * 0.62) + 40, int(lines * font_px * 1.2) + 40)
    crop_to_content(png_path, margin=0)
    return shown

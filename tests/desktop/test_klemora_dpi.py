#!/usr/bin/env python3
"""Klemora.exe at 96, 144 and 192 DPI under Wine and Xvfb, in a Wine prefix of its own whose
LogPixels sets the DPI (a change restarts the prefix's wineserver, which would end the programs
of other tests). On every page and in both dialogs no control's text may be cut off, no two
controls may overlap, and every control lies inside its window; the clock's picture fills its
window. The settings page shows the most it can under its settings: the note of a value set by
policy, and a status line of two lines and a third for the Windows Time service, which a
stand-in plays (Wine's own service stub registered as W32Time). Needs root (the prefix lives
beside the suite's), Xvfb, xdotool and ImageMagick.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import Xvfb, settings_lines, reg_import, wait_for, windows_path  # noqa: E402

KLEMORA = os.environ.get('KLEMORA_EXE', '')
DRIVER = os.environ.get('KLEMORA_DRIVER', '')
BASE_PREFIX = os.environ.get('PENDRA_WINEPREFIX', '')
DESKTOP = 'klemora-dpi'
DESKTOP_SIZE = '1280x1024'
FONT = ('MS Sans Serif', '8')  # every dialog template's font
ABOUT, SET_TIME, WORLD_CLOCK = 16, 1076, 1020
STATUS_LINE, POLICY_NOTE = 1040, 1041
STATUS_KEY = r'HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client\Status'
POLICY_KEY = r'HKEY_LOCAL_MACHINE\Software\Policies\Tarnwick\NTP Client'
WINDOWS_TIME_LINE = 'The Windows Time service steers this clock too (Type NT5DS).'
ABOUT_TITLE_HEX = 'Info \xfcber Klemora'.encode('cp1252').hex()
# Containers: other controls lie inside them, never across their edges.
CONTAINERS = ('Button/group', 'SysTabControl32')
# The set-time button lies under the clock by design: a click on the clock reaches it.
DESIGNED_OVERLAPS = {frozenset((SET_TIME, WORLD_CLOCK))}


def parse_layout(lines):
    """The window's client size and its controls from the driver's layout lines."""
    client = None
    controls = []
    for line in lines:
        fields = line.split(' ', 9)
        if fields[0] == 'client':
            client = (int(fields[1]), int(fields[2]))
            continue
        owner, ident, kind = fields[0], int(fields[1]), fields[2]
        left, top, right, bottom = map(int, fields[3:7])
        need = None if fields[7] == '-' else (int(fields[7]), int(fields[8]))
        text = fields[9] if len(fields) > 9 else ''
        controls.append({'owner': owner, 'id': ident, 'kind': kind,
                         'rect': (left, top, right, bottom), 'need': need, 'text': text})
    return client, controls


def intersects(a, b):
    return a[0] < b[2] and b[0] < a[2] and a[1] < b[3] and b[1] < a[3]


def inside(inner, outer):
    return (inner[0] >= outer[0] and inner[1] >= outer[1] and inner[2] <= outer[2]
            and inner[3] <= outer[3])


def layout_faults(client, controls):
    """What is wrong with a window's layout, in words: texts that do not fit, overlaps, controls
    outside the window or across a frame's edge."""
    faults = []
    for c in controls:
        left, top, right, bottom = c['rect']
        name = f"{c['owner']} {c['id']} {c['kind']} {c['text']!r}"
        if c['need'] is not None and (c['need'][0] > right - left or c['need'][1] > bottom - top):
            faults.append(f'{name}: needs {c["need"]}, has {right - left} x {bottom - top}')
        if not inside(c['rect'], (0, 0, *client)):
            faults.append(f'{name}: {c["rect"]} outside the client area {client}')
    for i, a in enumerate(controls):
        for b in controls[i + 1:]:
            if not intersects(a['rect'], b['rect']):
                continue
            if frozenset((a['id'], b['id'])) in DESIGNED_OVERLAPS:
                continue
            # Up-down arrows join their edit over its border.
            if {a['kind'], b['kind']} == {'msctls_updown32', 'Edit'}:
                continue
            container = [c for c in (a, b) if c['kind'] in CONTAINERS]
            if container:
                outer = container[0]
                inner = b if outer is a else a
                if inside(inner['rect'], outer['rect']) or (
                        inner['kind'] in CONTAINERS and inside(outer['rect'], inner['rect'])):
                    continue
            faults.append(f"{a['id']} {a['kind']} {a['rect']} and {b['id']} {b['kind']} "
                          f"{b['rect']} overlap")
    return faults


@unittest.skipUnless(os.geteuid() == 0, 'needs root: the prefix lives beside the suite\'s')
@unittest.skipUnless(KLEMORA and DRIVER and BASE_PREFIX,
                     'KLEMORA_EXE, KLEMORA_DRIVER and PENDRA_WINEPREFIX not set')
@unittest.skipUnless(all(shutil.which(tool) for tool in ('Xvfb', 'xdotool', 'import', 'convert')),
                     'needs Xvfb, xdotool and ImageMagick')
class KlemoraDpiTest(unittest.TestCase):

    def setUp(self):
        self.prefix = BASE_PREFIX + '-dpi'
        self.work = tempfile.mkdtemp(prefix='klemora-dpi-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.screen = Xvfb(size=DESKTOP_SIZE + 'x24')
        self.addCleanup(self.screen.stop)
        self.env = {k: v for k, v in os.environ.items() if k != 'DISPLAY'}
        self.env['DISPLAY'] = self.screen.display
        self.addCleanup(self.stop_wine)

    def stop_wine(self):
        subprocess.run(['sh', '-c', 'wineserver -k; wineserver -w'], timeout=60, check=False,
                       env=dict(self.env, WINEPREFIX=self.prefix))

    def wine(self, *args, check=True):
        return pendra_testlib.wine(self.prefix, *args, env=self.env, timeout=120, check=check)

    def drive(self, *script):
        code, output, errors = pendra_testlib.wine_detached_output(
            self.prefix, DRIVER, '--desktop', DESKTOP, *script, env=self.env, timeout=60)
        if code != 0:
            self.fail(f'driver {script}: {code} {errors.strip()}')
        return output.splitlines()

    def prepare(self, dpi):
        """The prefix at that DPI, with Klemora and Pendra's settings; the desktop large enough
        for the sheet at 192 DPI."""
        # A change of LogPixels counts from the wineserver's next start.
        self.stop_wine()
        self.wine('reg', 'add', r'HKCU\Control Panel\Desktop', '/v', 'LogPixels', '/t',
                  'REG_DWORD', '/d', str(dpi), '/f')
        self.wine('reg', 'add', r'HKCU\Software\Wine\Explorer\Desktops', '/v', DESKTOP, '/d',
                  DESKTOP_SIZE, '/f')
        self.stop_wine()
        folder = os.path.join(self.prefix, 'drive_c', 'Klemora DPI')
        os.makedirs(folder, exist_ok=True)
        for name in ('Klemora.exe', 'Pendra.exe'):
            shutil.copy(os.path.join(os.path.dirname(KLEMORA), name), folder)
        with open(os.path.join(folder, 'NTPServ.dat'), 'w', encoding='ascii',
                  newline='\r\n') as out:
            out.write('pool.ntp.org\n192.0.2.10\n')
        reg_import(self.prefix, self.work, settings_lines(
            {'NTPServerName': 'pool.ntp.org', 'WriteLogEntries': 1,
             'LogDirectory': windows_path(self.work), 'WaitForRAS': 1, 'RASPollMilliseconds': 5000,
             'RunOnce': 0, 'NTPPollMilliseconds': 60000, 'PlausibilityCheck': 1,
             'MaxAdjustSeconds': 3600}), env=self.env)
        # A success fresh for a day, from the longest address there is.
        now = time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())
        reg_import(self.prefix, self.work, [
            f'[{POLICY_KEY}]', '"NTPPollMilliseconds"=dword:000927c0', '', f'[-{STATUS_KEY}]',
            '', f'[{STATUS_KEY}]', f'"LastPoll"="{now}"', '"LastResult"="synchronised"',
            f'"LastSuccess"="{now}"', '"OffsetMilliseconds"="+1234.567"',
            '"Address"="2001:db8:1234:5678:9abc:def0:1234:5678"', '"PollSeconds"=dword:00015180',
            '"FrequencyPpm"="-123.456"', '"LastCorrection"="slew"', ''], env=self.env)
        # Registered and started by an earlier run, or now.
        self.wine('sc', 'create', 'W32Time', 'binpath=', r'C:\windows\system32\wuauserv.exe',
                  check=False)
        self.wine('reg', 'add', r'HKLM\SYSTEM\CurrentControlSet\Services\W32Time\Parameters',
                  '/v', 'Type', '/d', 'NT5DS', '/f')
        self.wine('net', 'start', 'W32Time', check=False)
        return 'C:\\Klemora DPI\\Klemora.exe'

    def check(self, what, lines):
        client, controls = parse_layout(lines)
        self.assertIsNotNone(client, lines)
        self.assertTrue(controls, what)
        self.assertEqual(layout_faults(client, controls), [], f'{what}:\n' + '\n'.join(lines))
        return controls

    def clock_edges_are_picture(self, controls, origin):
        """The clock's map reaches its window's right and bottom edges: a strip just inside each
        is the dark map, neither the page's light face (a window not painted to its edge) nor
        black (a picture wider than its map)."""
        clock = next(c for c in controls if c['id'] == WORLD_CLOCK)
        left, top, right, bottom = (v + o for v, o in zip(clock['rect'], origin * 2))
        shot = os.path.join(self.work, 'clock.png')
        window = wait_for(lambda: (self.screen.visible_windows('--name', 'Wine desktop')
                                   or [None])[0], 10)
        self.assertIsNotNone(window)
        subprocess.run(['import', '-window', str(window), shot], check=True, timeout=30,
                       env=self.env, capture_output=True)
        # Inside the window's frame, a few pixels from the edge; the right one above the ticker.
        inset = 8
        strips = {'right': f'4x{(bottom - top) * 3 // 5}+{right - inset - 4}+{top + inset}',
                  'bottom': f'{right - left - 2 * inset}x4+{left + inset}+{bottom - inset - 4}'}
        means = {}
        for name, crop in strips.items():
            means[name] = float(subprocess.run(
                ['convert', shot, '-crop', crop, '+repage', '-format', '%[fx:mean]', 'info:'],
                check=True, timeout=30, capture_output=True, text=True).stdout)
        # The night side's sea is darkest: about 0.04.
        self.assertTrue(all(0.01 < mean < 0.4 for mean in means.values()), means)

    def run_at(self, dpi):
        program = self.prepare(dpi)
        # The first program after prepare()'s restart of the wineserver sets up the desktop and
        # the fonts at the new DPI first: seconds more on a machine busy with other tests.
        self.drive('--timeout', 30000, 'start', program, ';', 'wait')
        self.addCleanup(self.stop_wine)
        for tab in (0, 1, 2):
            if tab == 1:
                # The status line is read every 3 s: the stand-in may start after the first.
                self.assertTrue(wait_for(lambda: self.drive('select-tab', 1, ';', 'text',
                                                            STATUS_LINE)[-1] == WINDOWS_TIME_LINE,
                                         15), self.drive('text', STATUS_LINE))
            lines = self.drive('select-tab', tab, ';', 'sleep', 300, ';', 'layout', *FONT)
            controls = self.check(f'page {tab} at {dpi} DPI', lines)
            if tab == 1:
                self.assertIn(POLICY_NOTE, [c['id'] for c in controls])
            if tab == 0:
                origin = next(line for line in lines if line.startswith('client')).split()[3:5]
                self.clock_edges_are_picture(controls, tuple(map(int, origin)))
        self.drive('select-tab', 0, ';', 'click', SET_TIME)
        self.check(f'Set Time and Date at {dpi} DPI',
                   self.drive('layout', *FONT, 'Set Time and Date'))
        self.drive('dialog-close', 'Set Time and Date', 2, ';', 'sysmenu', ABOUT)
        self.check(f'About at {dpi} DPI', self.drive('layout-hex', *FONT, ABOUT_TITLE_HEX))
        self.drive('about-close', ';', 'close', ';', 'wait-gone')

    def test_at_96_dpi_nothing_is_cut_off_or_covered(self):
        self.run_at(96)

    def test_at_144_dpi_nothing_is_cut_off_or_covered(self):
        self.run_at(144)

    def test_at_192_dpi_nothing_is_cut_off_or_covered(self):
        self.run_at(192)


if __name__ == '__main__':
    unittest.main()

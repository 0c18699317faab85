#!/usr/bin/env python3
"""Klemora.exe under Wine and Xvfb, driven from another process by klemora-driver.

Each test installs Klemora.exe and Pendra.exe into a fresh folder with a blank in its name on
the prefix's drive C, writes Pendra's settings into the prefix's registry, starts Klemora on a
Wine desktop of its own and reads back what it shows and what it writes: the registry, the
service registration, Pendra's log, the message boxes. The time server is the fake SNTP server
on a test host. Needs root, Xvfb and chmcmd's help file from the build. Never changes the clock.
"""
import http.server
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import (SETTINGS_KEY, Xvfb, processes_running,  # noqa: E402
                            reg_import, settings_lines, testhost, wait_for, windows_path)

KLEMORA = os.environ.get('KLEMORA_EXE', '')
DRIVER = os.environ.get('KLEMORA_DRIVER', '')
DIALOG_TESTS = os.environ.get('KLEMORA_DIALOG_TESTS', '')
QUERY = os.environ.get('PENDRA_SERVICE_QUERY', '')
POKE = os.environ.get('PENDRA_TRAY_POKE', '')
RECORDER = os.environ.get('PENDRA_KLEMORA_STANDIN', '')
# A prefix of its own: its registry and service manager are Klemora's alone, so these tests run
# beside those of Pendra.
PREFIX = os.environ.get('KLEMORA_WINEPREFIX', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '13'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11126'))
DESKTOP = f'klemora-{os.getpid()}'
RUN_KEY = r'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Run'
EVENT_SOURCE = r'HKLM\System\CurrentControlSet\Services\EventLog\Application\Pendra'
APP_DEFAULTS = r'HKEY_CURRENT_USER\Software\Wine\AppDefaults'
ABOUT_TITLE_HEX = 'Info \xfcber Klemora'.encode('cp1252').hex()
APPLY, HELP = 0x3021, 9
STATUS_LINE, POLICY_NOTE = 1040, 1041
POLICY_KEY = r'HKEY_LOCAL_MACHINE\Software\Policies\Tarnwick\NTP Client'
TICKER_RESTARTS = 0x8000 + 1  # WM_APP + 1: how often the clock's ticker started again
STOPPED, RUNNING = 1, 4


class Expand(str):
    """A text to be stored as REG_EXPAND_SZ."""


START_LINE = re.compile(r'^Start Pendra Rev: 1\.22, server (.*)$')


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(KLEMORA and DRIVER and DIALOG_TESTS and QUERY and POKE and RECORDER and PREFIX,
                     'KLEMORA_EXE, KLEMORA_DRIVER, KLEMORA_DIALOG_TESTS, PENDRA_SERVICE_QUERY, '
                     'PENDRA_TRAY_POKE, PENDRA_KLEMORA_STANDIN and KLEMORA_WINEPREFIX not set')
@unittest.skipUnless(all(shutil.which(tool) for tool in ('Xvfb', 'import', 'convert')),
                     'needs Xvfb and ImageMagick')
class KlemoraTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.screen = Xvfb()

    @classmethod
    def tearDownClass(cls):
        cls.screen.stop()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='klemora-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.logs = os.path.join(self.work, 'logs')
        os.mkdir(self.logs)
        self.folder_name = f'Klemora Test {os.getpid()} {time.monotonic_ns()}'
        self.folder = os.path.join(PREFIX, 'drive_c', self.folder_name)
        self.windows_folder = 'C:\\' + self.folder_name
        os.makedirs(self.folder)
        self.addCleanup(shutil.rmtree, self.folder, True)
        build_bin = os.path.dirname(KLEMORA)
        for name in ('Klemora.exe', 'Pendra.exe'):
            shutil.copy(os.path.join(build_bin, name), self.folder)
        self.addCleanup(self.end_programs)
        self.addCleanup(self.wine, 'reg', 'delete', SETTINGS_KEY, '/f', check=False)

    # --- helpers --------------------------------------------------------------------------

    def wine(self, *args, check=True, timeout=60):
        env = {k: v for k, v in os.environ.items() if k != 'DISPLAY'}
        env['DISPLAY'] = self.screen.display
        return pendra_testlib.wine(PREFIX, *args, check=check, timeout=timeout, env=env)

    def drive(self, *script, check=True, timeout=60, zone=None, news=None, prefix=PREFIX,
              netns=None):
        """Runs a klemora-driver script; returns its output lines. The output goes through
        files: a program that the script starts inherits them and outlives the driver. zone:
        the TZ of a program that the script starts; news: its news ticker's URL; prefix and
        netns: another Wine prefix, whose programs all run in that network namespace."""
        env = {k: v for k, v in os.environ.items() if k != 'DISPLAY'}
        env['DISPLAY'] = self.screen.display
        if zone is not None:
            env['TZ'] = zone
        if news is not None:
            env['KLEMORA_NEWS_URL'] = news
        code, output, errors = pendra_testlib.wine_detached_output(
            prefix, DRIVER, '--desktop', DESKTOP, *script, env=env, timeout=timeout, netns=netns)
        if check and code != 0:
            self.fail(f'driver {script}: {code} {errors.strip()}')
        return output.splitlines()

    def value(self, *script):
        return self.drive(*script)[-1]

    def start_klemora(self, zone=None, news=None, **where):
        """Starts Klemora and waits for its sheet; returns its process id."""
        # Another prefix sees the test folder through its drive Z:.
        folder = windows_path(self.folder) if where else self.windows_folder
        lines = self.drive('start', folder + '\\Klemora.exe', ';', 'wait', zone=zone,
                           news=news, **where)
        return int(lines[0].split('=')[1])

    def write_server_list(self, *servers):
        with open(os.path.join(self.folder, 'NTPServ.dat'), 'w', encoding='ascii',
                  newline='\r\n') as out:
            out.write(''.join(server + '\n' for server in servers))

    def configure(self, **values):
        defaults = {'WriteLogEntries': 1, 'LogDirectory': windows_path(self.logs),
                    'WaitForRAS': 0, 'RunOnce': 0, 'NTPPollMilliseconds': 60000,
                    'NTPServerPort': PORT}
        defaults.update(values)
        expanded = {k: v for k, v in defaults.items() if isinstance(v, Expand)}
        reg_import(PREFIX, self.work, settings_lines(
            {k: v for k, v in defaults.items() if k not in expanded}))
        for name, value in expanded.items():
            self.wine('reg', 'add', SETTINGS_KEY.replace('HKEY_LOCAL_MACHINE', 'HKLM'), '/v',
                      name, '/t', 'REG_EXPAND_SZ', '/d', value, '/f')

    def registry_value(self, key, name):
        """(type, data) of a value as reg query prints them, or None."""
        done = self.wine('reg', 'query', key.replace('HKEY_LOCAL_MACHINE', 'HKLM'), '/v', name,
                         check=False)
        match = re.search(rf'^\s*{re.escape(name)}\s+(REG_\w+)\s*(.*?)\s*$', done.stdout,
                          re.MULTILINE)
        return (match.group(1), match.group(2)) if match else None

    def start_fake(self, *options):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        pid = testhost('fake', HOST, PORT, self.work, *options)
        self.addCleanup(testhost, 'stop', pid)
        return address

    def service(self, *args):
        done = self.wine(os.path.join(self.folder, 'service-query.exe'), *map(str, args),
                         check=False)
        return done.returncode, dict(line.split('=', 1) for line in done.stdout.splitlines()
                                     if '=' in line)

    def remove_service(self):
        self.wine('net', 'stop', 'Pendra', check=False)
        self.wine('sc', 'delete', 'Pendra', check=False)

    def log_texts(self):
        return pendra_testlib.log_texts(self.logs)

    def start_lines(self):
        return [t for t in self.log_texts() if START_LINE.match(t)]

    def klemora_threads(self):
        """How many threads the running Klemora has (Wine's threads are the process's own)."""
        def command_line(pid):
            with open(f'/proc/{pid}/cmdline', 'rb') as text:
                return text.read().decode('latin-1').lower()
        pids = [pid for pid in processes_running(self.folder_name)
                if 'klemora.exe' in command_line(pid)]
        self.assertEqual(len(pids), 1, pids)
        return len(os.listdir(f'/proc/{pids[0]}/task'))

    def pixels_of(self, image, colour):
        """How many pixels of the image have exactly this colour."""
        done = subprocess.run(
            ['convert', image, '-fill', 'black', '+opaque', colour, '-fill', 'white', '-opaque',
             colour, '-format', '%[fx:round(mean*w*h)]', 'info:'],
            capture_output=True, text=True, check=True, timeout=60)
        return int(done.stdout.strip())

    def changed_area(self, first, second):
        """x, y, width and height of the area where two screenshots differ, or None."""
        done = subprocess.run(
            ['convert', first, second, '-compose', 'difference', '-composite', '-threshold', '0',
             '-trim', '-format', '%w %h %X %Y', 'info:'],
            capture_output=True, text=True, check=True, timeout=60)
        width, height, x, y = done.stdout.split()
        if int(width) <= 1 and int(height) <= 1:
            return None
        return int(x), int(y), int(width), int(height)

    def end_programs(self):
        """Ends every program started from the test folder."""
        for pid in processes_running(self.folder_name):
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        wait_for(lambda: not processes_running(self.folder_name), 10)

    # --- the sheet --------------------------------------------------------------------------

    def test_the_sheet_its_buttons_and_its_about_windows(self):
        self.wine('reg', 'delete', SETTINGS_KEY, '/f', check=False)
        self.write_server_list('pool.ntp.org')
        self.start_klemora()
        # The tab's own text; it shows one ampersand.
        self.assertEqual(self.drive('tabs'),
                         ['Show Time && Date', 'NTP Synchronization Settings', 'Info'])
        self.assertEqual(self.drive('visible', '1', ';', 'text', '2', ';', 'enabled', APPLY),
                         ['0', 'Ende', '0'])
        # Each choice of the system menu entry opens one more About window; closing one leaves
        # the other and the sheet.
        self.drive('sysmenu', 16, ';', 'sysmenu', 16)
        self.assertEqual(self.value('windows-hex', ABOUT_TITLE_HEX), '2')
        self.drive('about-close')
        self.assertEqual(self.value('windows-hex', ABOUT_TITLE_HEX), '1')
        # Without settings: set once, nothing else, autostart off under Windows NT.
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('checked', 1001, ';', 'enabled', 1030, ';', 'text', 1030,
                                    ';', 'enabled', 1013, ';', 'checked', 1003, ';',
                                    'enabled', 1021),
                         ['1', '0', '0', '0', '0', '0'])
        self.assertEqual(self.drive('combo', 1032),
                         ['Milliseconds', 'Seconds', 'Minutes', 'Hours', 'selected=0'])
        self.assertEqual(self.drive('combo', 1008), ['pool.ntp.org', 'selected=-1'])
        self.drive('close', ';', 'wait-gone')

    def test_the_world_clock_shows_the_computers_zone_and_switches_modes(self):
        self.write_server_list('pool.ntp.org')
        self.start_klemora(zone='Australia/Sydney')
        zones = self.drive('combo', 102)
        self.assertGreater(len(zones), 100)
        selected = int(zones[-1].split('=')[1])
        self.assertIn('Sydney', zones[selected])
        self.assertEqual(self.drive('visible', 1020, ';', 'text', 1078, ';', 'text', 1079),
                         ['1', '<- Show this time', 'Show UTC'])
        # The caption names the mode that the next press selects.
        self.assertEqual(self.value('click', 1079, ';', 'text', 1079), 'Show Local time')
        self.assertEqual(self.value('click', 1079, ';', 'text', 1079), 'Show UTC')
        # On the screen: orange labels and green digits, and between two moments only the clock's
        # area changes (the digits, the colons and the ticker).
        first, second = (os.path.join(self.work, f'clock-{n}.png') for n in (1, 2))
        self.screen.screenshot(first)
        time.sleep(0.7)
        self.screen.screenshot(second)
        for colour in ('rgb(243,85,0)', 'rgb(85,243,0)'):
            self.assertGreater(self.pixels_of(first, colour), 200, colour)
        changed = self.changed_area(first, second)
        self.assertIsNotNone(changed)
        x, y, width, height = changed
        sheets = self.screen.visible_windows('--name', '^Klemora$')
        self.assertEqual(len(sheets), 1)
        left, top, sheet_width, sheet_height = self.screen.geometry(sheets[0])
        # Inside the page: below the tabs and the zone list, above the sheet's buttons.
        self.assertGreaterEqual(x, left)
        self.assertGreaterEqual(y, top + 50)
        self.assertLessEqual(x + width, left + sheet_width)
        self.assertLessEqual(y + height, top + sheet_height - 40)
        # Each press of the button under the clock opens one more Set Time and Date dialog;
        # Beenden closes one.
        self.drive('click', 1076, ';', 'click', 1076)
        self.assertEqual(self.value('windows', 'Set Time and Date'), '2')
        self.drive('dialog-close', 'Set Time and Date', 2)
        self.assertEqual(self.value('windows', 'Set Time and Date'), '1')
        # The clock's window goes with its page and comes back with it; its repaint thread
        # ends each time, so twenty switches leave no thread behind.
        self.assertEqual(self.value('select-tab', 1, ';', 'select-tab', 0, ';', 'visible', 1020),
                         '1')
        threads = self.klemora_threads()
        switches = sum((['select-tab', 1, ';', 'select-tab', 0, ';'] for _ in range(20)), [])
        self.assertEqual(self.value(*switches, 'visible', 1020), '1')
        self.assertTrue(wait_for(lambda: self.klemora_threads() == threads, 10),
                        (threads, self.klemora_threads()))
        self.drive('close', ';', 'wait-gone')

    def test_the_set_time_dialog_passes_the_chosen_day_and_time(self):
        # Its GoogleTest, on this test's desktop: the dialog's windows need a display.
        report = os.path.join(self.work, 'dialog.xml')
        code = self.value('start', windows_path(DIALOG_TESTS),
                          '--gtest_output=xml:' + windows_path(report), ';', 'exit-code')
        with open(report, encoding='utf-8') as text:
            self.assertEqual(code, '0', text.read())

    def serve_news(self, body, status=200, declared=None, stall=None):
        """Serves body (text or bytes) as newsticker.txt on this machine's loopback, with that
        HTTP status and a declared length (a longer one than the body breaks the transfer off;
        with stall, an event, the server waits for it before breaking off); returns the URL and
        the list of (path, user agent) of the requests."""
        requests = []
        data = body if isinstance(body, bytes) else body.encode('ascii')

        class NewsHandler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                requests.append((self.path, self.headers.get('User-Agent')))
                self.send_response(status)
                self.send_header('Content-Length', str(declared or len(data)))
                self.end_headers()
                try:
                    self.wfile.write(data)
                    self.wfile.flush()
                except OSError:
                    pass  # a client that stops reading early
                if stall is not None:
                    stall.wait(60)
                self.close_connection = True

            def log_message(self, *args):
                pass

        port = self.serve_http(NewsHandler)
        if stall is not None:
            self.addCleanup(stall.set)
        return f'http://127.0.0.1:{port}/newsticker.txt', requests

    def serve_http(self, handler):
        """An HTTP server with that handler on this machine's loopback until the test ends;
        returns its port."""
        server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), handler)
        server.daemon_threads = True
        self.addCleanup(server.server_close)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.shutdown)
        return server.server_address[1]

    def test_the_news_ticker_shows_the_downloaded_text_when_it_starts_again(self):
        # More than one read of 4095 bytes.
        news = 'Klemora news +++ ' + 'x' * 5000 + ' +++ end'
        url, requests = self.serve_news(news)
        self.write_server_list('pool.ntp.org')
        self.start_klemora(news=url)
        banner = self.value('text', 1020)
        self.assertIn('Klemora', banner)
        # The first tick of the page's timer starts the download.
        self.assertTrue(wait_for(lambda: requests, 20))
        self.assertEqual(requests[0], ('/newsticker.txt', 'Klemora'))
        # The banner scrolls on until it has left the window; then the news follows.
        self.assertTrue(wait_for(lambda: self.value('text', 1020) != banner, 60, 0.5))
        self.assertEqual(self.value('text', 1020), news)
        self.drive('close', ';', 'wait-gone')

    def test_an_empty_news_file_empties_the_ticker_at_its_next_start(self):
        url, requests = self.serve_news('')
        self.write_server_list('pool.ntp.org')
        self.start_klemora(news=url)
        self.assertTrue(wait_for(lambda: requests, 20))
        self.assertTrue(wait_for(lambda: self.value('text', 1020) == '', 60, 0.5))
        self.drive('close', ';', 'wait-gone')

    def test_an_error_page_or_a_broken_transfer_leaves_the_banner(self):
        for body, status, declared in (('<html>Not Found</html>', 404, None),
                                       ('Klemora news cut', 200, 10000)):
            url, requests = self.serve_news(body, status, declared)
            self.write_server_list('pool.ntp.org')
            self.start_klemora(news=url)
            banner = self.value('text', 1020)
            self.assertTrue(wait_for(lambda: requests, 20))
            # Once the ticker has started again, a published text would show.
            self.assertTrue(wait_for(
                lambda: int(self.value('ask', 1020, TICKER_RESTARTS)) > 0, 60, 0.5))
            self.assertEqual(self.value('text', 1020), banner, status)
            self.drive('close', ';', 'wait-gone')

    def test_a_long_or_binary_news_file_shows_its_first_line_only(self):
        # A megabyte on one line keeps its first 64 KiB; a binary file shows its first line with
        # the control characters as blanks.
        for body, shown in ((b'N' * (1 << 20), 'N' * 65536),
                            (b'\x00\x01\x1b\x7fKlemora\x07binary\r\n' + bytes(range(256)) * 4096,
                             '    Klemora binary')):
            url, requests = self.serve_news(body)
            self.write_server_list('pool.ntp.org')
            self.start_klemora(news=url)
            self.assertTrue(wait_for(lambda: requests, 20))
            self.assertTrue(wait_for(lambda: self.value('text', 1020) == shown, 60, 0.5),
                            shown[:20])
            self.drive('close', ';', 'wait-gone')

    def test_switching_pages_and_closing_the_sheet_during_a_download(self):
        # The server sends a part of the news and then waits: the download hangs in its read.
        url, requests = self.serve_news('Klemora news, cut', declared=10000,
                                        stall=threading.Event())
        self.write_server_list('pool.ntp.org')
        pid = self.start_klemora(news=url)
        self.assertTrue(wait_for(lambda: requests, 20))
        switches = sum((['select-tab', 1, ';', 'select-tab', 0, ';'] for _ in range(5)), [])
        self.assertEqual(self.value(*switches, 'visible', 1020), '1')
        self.assertIn('Klemora', self.value('text', 1020))
        # The sheet closes at once and the program ends normally, download or not.
        self.assertEqual(self.value('hold', pid, ';', 'close', ';', 'wait-gone', ';', 'exit-code'),
                         '0')
        self.assertTrue(wait_for(lambda: not processes_running(self.folder_name), 10))

    def test_a_dribbling_news_server_holds_one_download_at_a_time_until_its_deadline(self):
        # A server or proxy that sends a byte every 2 s: each read lives on, and so would every
        # download that the page's timer starts, one more every few seconds.
        state = {'active': 0, 'most': 0, 'started': 0}
        lock = threading.Lock()

        class DribbleHandler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with lock:
                    state['active'] += 1
                    state['started'] += 1
                    state['most'] = max(state['most'], state['active'])
                try:
                    self.send_response(200)
                    self.send_header('Content-Length', '100000')
                    self.end_headers()
                    self.wfile.flush()
                    for _ in range(60):
                        # The client's close is seen at once: its end of the connection reads.
                        readable, _, _ = select.select([self.connection], [], [], 2)
                        if readable and not self.connection.recv(1):
                            break
                        self.wfile.write(b'N')
                        self.wfile.flush()
                except OSError:
                    pass
                finally:
                    with lock:
                        state['active'] -= 1
                self.close_connection = True

            def log_message(self, *args):
                pass

        port = self.serve_http(DribbleHandler)
        self.write_server_list('pool.ntp.org')
        pid = self.start_klemora(news=f'http://127.0.0.1:{port}/n.txt')
        # The first download gives up at its deadline; only then may the next one start.
        self.assertTrue(wait_for(lambda: state['started'] >= 2, 75, 0.5), state)
        self.assertEqual(state['most'], 1, state)
        self.assertIn('Klemora', self.value('text', 1020))
        started = time.monotonic()
        self.assertEqual(self.value('hold', pid, ';', 'close', ';', 'wait-gone', ';', 'exit-code'),
                         '0')
        self.assertLess(time.monotonic() - started, 10)

    def test_an_offline_machine_keeps_the_banner_and_asks_no_server(self):
        # Another prefix, whose Wine lives in a network namespace with only a loopback: no
        # adapter has a gateway, as on a computer without a network. The news server listens on
        # that loopback.
        namespace, prefix = pendra_testlib.isolated_prefix(self, 'klemora-offline', PREFIX)
        news = os.path.join(self.work, 'news')
        os.mkdir(news)
        with open(os.path.join(news, 'newsticker.txt'), 'w', encoding='ascii') as out:
            out.write('Klemora offline news')
        requests = os.path.join(self.work, 'requests.log')
        with open(requests, 'wb') as log:
            server = subprocess.Popen(
                ['ip', 'netns', 'exec', namespace, sys.executable, '-m', 'http.server', '8080',
                 '--bind', '127.0.0.1', '--directory', news],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log)
        self.addCleanup(server.wait, 10)
        self.addCleanup(server.kill)
        where = {'news': 'http://127.0.0.1:8080/newsticker.txt', 'prefix': prefix,
                 'netns': namespace}

        def asked():
            with open(requests, encoding='latin-1') as log:
                return 'GET /newsticker.txt' in log.read()

        self.write_server_list('pool.ntp.org')
        self.start_klemora(**where)
        banner = self.drive('text', 1020, **where)[-1]
        self.assertTrue(wait_for(
            lambda: int(self.drive('ask', 1020, TICKER_RESTARTS, **where)[-1]) > 0, 60, 0.5))
        self.assertEqual(self.drive('text', 1020, **where)[-1], banner)
        self.assertFalse(asked())
        self.drive('close', ';', 'wait-gone', **where)
        # With a default route the same program fetches the news: the server was there.
        for command in (['link', 'add', 'offline0', 'type', 'veth', 'peer', 'name', 'offline1'],
                        ['addr', 'add', '10.213.0.2/24', 'dev', 'offline0'],
                        ['link', 'set', 'offline1', 'up'], ['link', 'set', 'offline0', 'up'],
                        ['route', 'add', 'default', 'via', '10.213.0.1']):
            subprocess.run(['ip', '-n', namespace, *command], check=True, timeout=30)
        self.start_klemora(**where)
        self.assertTrue(wait_for(asked, 20))
        self.assertTrue(wait_for(
            lambda: self.drive('text', 1020, **where)[-1] == 'Klemora offline news', 60, 0.5))
        self.drive('close', ';', 'wait-gone', **where)

    def write_status(self, **values):
        """Replaces Pendra's status record by these values (ints as REG_DWORD)."""
        key = SETTINGS_KEY + r'\Status'
        self.wine('reg', 'delete', key.replace('HKEY_LOCAL_MACHINE', 'HKLM'), '/f', check=False)
        lines = [f'[{key}]']
        for name, value in values.items():
            lines.append(f'"{name}"=dword:{value:08x}' if isinstance(value, int)
                         else f'"{name}"="{value}"')
        reg_import(PREFIX, self.work, lines + [''])

    def test_the_settings_page_shows_pendras_state_and_follows_it(self):
        self.configure(NTPServerName='pool.ntp.org')
        self.write_server_list('pool.ntp.org')
        self.start_klemora(zone='UTC')
        self.drive('select-tab', 1)
        self.assertEqual(self.value('text', STATUS_LINE),
                         'Pendra does not run: it has left no status on this computer')

        def iso(seconds_ago):
            return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(time.time() - seconds_ago))

        def shown(line):
            return wait_for(lambda: self.value('text', STATUS_LINE) == line, 10, 0.5)

        just_now = iso(5)
        self.write_status(LastPoll=just_now, LastResult='synchronised', LastSuccess=just_now,
                          OffsetMilliseconds='+0.412', DelayMilliseconds='1.250',
                          Server='pool.ntp.org', Address='192.0.2.7', FailedPolls=0,
                          PollSeconds=900, RunOnce=0)
        self.assertTrue(shown(f'Synchronised {just_now[11:19]} from 192.0.2.7, offset +0.4 ms'),
                        self.value('text', STATUS_LINE))
        earlier = iso(2000)
        self.write_status(LastPoll=iso(5), LastResult='no valid reply', LastSuccess=earlier,
                          FailedPolls=3, PollSeconds=900, RunOnce=0)
        self.assertTrue(shown(f'No valid reply since {earlier[11:19]}, 3 polls'),
                        self.value('text', STATUS_LINE))
        # No poll within two intervals: the service does not run. A record of garbage is no
        # record; the page shows it and stays.
        self.write_status(LastPoll=earlier, LastResult='synchronised', LastSuccess=earlier,
                          PollSeconds=900, RunOnce=0)
        self.assertTrue(shown(f'Pendra does not run: last poll {earlier[11:19]}'),
                        self.value('text', STATUS_LINE))
        self.write_status(LastPoll=5, LastSuccess='yesterday', PollSeconds='many')
        self.assertTrue(shown('Pendra does not run: it has left no status on this computer'))
        self.assertEqual(self.value('visible', STATUS_LINE), '1')

    def test_stored_values_are_shown_and_apply_registers_and_restarts_pendra(self):
        server = self.start_fake()
        self.remove_service()
        self.addCleanup(self.remove_service)
        shutil.copy(QUERY, os.path.join(self.folder, 'service-query.exe'))
        self.write_server_list('pool.ntp.org', server)
        self.configure(NTPServerName=server, NTPPollMilliseconds=900000, MaxAdjustSeconds=7200,
                       LogDirectory=Expand(windows_path(self.logs)))
        # An autostart entry left from Windows 98 goes with the first save on Windows NT.
        run_key = RUN_KEY.replace('HKEY_LOCAL_MACHINE', 'HKLM')
        self.wine('reg', 'add', run_key, '/v', 'Pendra_Auto', '/d', 'C:\\old\\Pendra.exe', '/f')
        self.addCleanup(self.wine, 'reg', 'delete', run_key, '/v', 'Pendra_Auto', '/f',
                        check=False)
        self.start_klemora()
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('text', 1030, ';', 'text', 1021, ';', 'checked', 1003, ';',
                                    'checked', 1002, ';', 'enabled', APPLY),
                         ['15', '2', '1', '1', '0'])
        self.assertEqual(self.drive('combo', 1032)[-1], 'selected=2')
        self.assertEqual(self.drive('combo', 1020)[-1], 'selected=2')
        self.assertEqual(self.drive('combo', 1008)[-1], 'selected=1')
        # 15 Minutes become 15 Hours; Apply registers the service and starts it.
        self.drive('combo-select', 1032, 3)
        self.assertEqual(self.value('enabled', APPLY), '1')
        self.drive('click', APPLY)
        self.assertTrue(wait_for(lambda: self.service('status', 'Pendra')[0] == 0, 20),
                        self.drive('--timeout', 500, 'box', check=False))
        code, status = self.service('wait', 'Pendra', RUNNING, 20000)
        self.assertEqual(code, 0, status)
        code, config = self.service('config', 'Pendra')
        program = self.windows_folder + '\\Pendra.exe'
        self.assertEqual(config['path'], '"' + program.replace('\\', '\\\\') + '"')
        self.assertEqual(config['start'], '2')
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'NTPPollMilliseconds'),
                         ('REG_DWORD', hex(15 * 3600000)))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'MaxAdjustSeconds'),
                         ('REG_DWORD', hex(7200)))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'LogDirectory'),
                         ('REG_EXPAND_SZ', windows_path(self.logs)))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'AppRoot'),
                         ('REG_SZ', self.windows_folder + '\\'))
        self.assertEqual(self.value('enabled', APPLY), '0')
        self.assertIsNone(self.registry_value(RUN_KEY, 'Pendra_Auto'))
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 1, 20), self.log_texts())
        # Another server: the running service is stopped, waited for and started again.
        self.drive('combo-select', 1008, 0, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 2, 40), self.log_texts())
        self.assertEqual(START_LINE.match(self.start_lines()[-1]).group(1), 'pool.ntp.org')
        self.assertIn('stop request', self.log_texts())
        self.assertEqual(self.service('wait', 'Pendra', RUNNING, 20000)[0], 0)
        # A typed list of servers is saved exactly as typed, and Pendra starts with it.
        servers = 'ntp1.test  [2001:db8::1] pool.ntp.org'
        self.drive('set-text', 1008, servers, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 3, 40), self.log_texts())
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'NTPServerName'), ('REG_SZ', servers))
        self.assertEqual(START_LINE.match(self.start_lines()[-1]).group(1), servers)
        self.drive('close', ';', 'wait-gone')

    def test_values_set_by_policy_are_shown_locked_and_apply_leaves_them_alone(self):
        testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        local_server, policy_server = testhost('peer', HOST), testhost('peer6', HOST)
        self.remove_service()
        self.addCleanup(self.remove_service)
        self.write_server_list('pool.ntp.org', local_server)
        self.configure(NTPServerName=local_server, NTPPollMilliseconds=900000, WaitForRAS=None)
        # A server, an interval of 10 minutes and, of the wrong type, the wait for a network:
        # that reads as it would locally, as off.
        self.addCleanup(self.wine, 'reg', 'delete', POLICY_KEY.replace('HKEY_LOCAL_MACHINE',
                                                                       'HKLM'), '/f', check=False)
        reg_import(PREFIX, self.work, [f'[{POLICY_KEY}]', f'"NTPServerName"="{policy_server}"',
                                       '"NTPPollMilliseconds"=dword:000927c0',
                                       '"WaitForRAS"="1"', ''])
        self.start_klemora()
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('text', 1008, ';', 'enabled', 1008, ';', 'text', 1030, ';',
                                    'enabled', 1030, ';', 'enabled', 1031, ';', 'enabled', 1032,
                                    ';', 'checked', 1036, ';', 'enabled', 1036),
                         [policy_server, '0', '10', '0', '0', '0', '0', '0'])
        self.assertEqual(self.drive('combo', 1032)[-1], 'selected=2')
        self.assertEqual(self.drive('visible', POLICY_NOTE, ';', 'text', POLICY_NOTE),
                         ['1', 'Some settings are set by Group Policy and cannot be changed here.'])
        # What policy leaves alone stays the user's, and a click on it does not free the rest.
        self.assertEqual(self.drive('enabled', 1001, ';', 'enabled', 1003, ';', 'enabled', 1012),
                         ['1', '1', '1'])
        self.drive('click', 1001, ';', 'click', 1002, ';', 'click', 1003, ';', 'set-text', 1021,
                   '30')
        self.assertEqual(self.value('enabled', 1030), '0')
        self.drive('click', APPLY)
        self.assertTrue(wait_for(lambda: self.value('enabled', APPLY) == '0', 30),
                        self.drive('--timeout', 500, 'box', check=False))
        self.assertEqual(self.drive('--timeout', 500, 'box', check=False), [])
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'MaxAdjustSeconds'),
                         ('REG_DWORD', hex(30)))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'NTPServerName'),
                         ('REG_SZ', local_server))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'NTPPollMilliseconds'),
                         ('REG_DWORD', hex(900000)))
        self.assertIsNone(self.registry_value(SETTINGS_KEY, 'WaitForRAS'))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'AppRoot'),
                         ('REG_SZ', self.windows_folder + '\\'))
        self.drive('close', ';', 'wait-gone')

    def test_a_stored_server_shows_as_stored_and_apply_registers_the_event_source(self):
        self.remove_service()
        self.addCleanup(self.remove_service)
        self.wine('reg', 'delete', EVENT_SOURCE, '/f', check=False)
        self.addCleanup(self.wine, 'reg', 'delete', EVENT_SOURCE, '/f', check=False)
        shutil.copy(QUERY, os.path.join(self.folder, 'service-query.exe'))
        # A stored name that only begins a listed one is not that one.
        self.write_server_list('time.nist.gov', 'pool.ntp.org')
        self.configure(NTPServerName='time')
        self.start_klemora()
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('text', 1008, ';', 'combo', 1008),
                         ['time', 'time.nist.gov', 'pool.ntp.org', 'selected=-1'])
        # Apply keeps it, registers the service and with it the source of its events, whose
        # texts are in Pendra.exe.
        self.drive('click', 1003, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: self.service('status', 'Pendra')[0] == 0, 20),
                        self.drive('--timeout', 500, 'box', check=False))
        self.assertEqual(self.registry_value(SETTINGS_KEY, 'NTPServerName'), ('REG_SZ', 'time'))
        self.assertEqual(self.registry_value(EVENT_SOURCE, 'EventMessageFile'),
                         ('REG_EXPAND_SZ', self.windows_folder + '\\Pendra.exe'))
        self.assertEqual(self.registry_value(EVENT_SOURCE, 'TypesSupported'), ('REG_DWORD', '0x7'))
        self.drive('close', ';', 'wait-gone')

    def test_a_service_slow_to_stop_is_started_again_once_it_has_stopped(self):
        # A silent server: the running service is inside its 10-second wait for a reply, and
        # a stop takes until that wait is over.
        server = self.start_fake('--mode', 'silent')
        self.remove_service()
        self.addCleanup(self.remove_service)
        shutil.copy(QUERY, os.path.join(self.folder, 'service-query.exe'))
        self.write_server_list(server, 'pool.ntp.org')
        self.configure(NTPServerName=server)
        self.start_klemora()
        self.drive('select-tab', 1, ';', 'click', 1003, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 1, 20), self.log_texts())
        started = time.monotonic()
        self.drive('click', 1003, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 2, 40), self.log_texts())
        self.assertGreater(time.monotonic() - started, 5)
        self.assertEqual(self.service('wait', 'Pendra', RUNNING, 20000)[0], 0)
        texts = self.log_texts()
        self.assertIn('no response from server', texts)
        second_start = [i for i, t in enumerate(texts) if START_LINE.match(t)][1]
        self.assertLess(texts.index('stop request'), second_start)
        # No box: nothing failed.
        self.assertEqual(self.drive('--timeout', 500, 'box', check=False), [])
        self.drive('close', ';', 'wait-gone')

    def test_refused_saves_show_their_boxes_in_order_and_write_nothing(self):
        missing = os.path.join(self.work, 'new-logs')
        self.write_server_list('pool.ntp.org')
        self.configure(LogDirectory=windows_path(missing))
        self.start_klemora()
        self.drive('select-tab', 1, ';', 'click', 1003, ';', 'click', APPLY)
        self.assertEqual(self.drive('box'), ['title=Horvane Error', 'text=',
                                             'You must specify a NTP server name.'])
        self.drive('answer', 'OK')
        self.assertEqual(self.drive('box'), ['title=Log Directory Error', 'text=',
                                             windows_path(missing) + ' does not exist',
                                             ' create it?'])
        self.drive('answer', 'CANCEL')
        self.assertFalse(os.path.exists(missing))
        # Apply is off after a refused save; the next change allows another try.
        self.assertEqual(self.value('enabled', APPLY), '0')
        self.drive('click', 1003, ';', 'click', APPLY, ';', 'box', ';', 'answer', 'OK', ';',
                   'box', ';', 'answer', 'OK')
        self.assertTrue(wait_for(lambda: os.path.isdir(missing), 10))
        self.assertIsNone(self.registry_value(SETTINGS_KEY, 'AppRoot'))
        self.drive('close', ';', 'wait-gone')

        # A file where the directory should be; then a directory whose parent is missing.
        not_directory = os.path.join(self.work, 'a-file')
        open(not_directory, 'w').close()
        orphan = os.path.join(self.work, 'no-parent', 'logs')
        cases = [
            (not_directory, [['title=Horvane Error', 'text=',
                              windows_path(not_directory) + ' exists, but is not a directory']]),
            (orphan, [None, ['title=Horvane Error', 'text=', 'CreateDirectory(LogDirectory)']]),
        ]
        for directory, boxes in cases:
            self.configure(NTPServerName='pool.ntp.org', LogDirectory=windows_path(directory))
            self.start_klemora()
            self.drive('select-tab', 1, ';', 'click', 1003, ';', 'click', APPLY)
            for expected in boxes:
                shown = self.drive('box')
                if expected is not None:
                    self.assertEqual(shown[:len(expected)], expected)
                self.drive('answer', 'OK')
            if directory == orphan:
                # The caption line, then the system's own text for the failure.
                self.assertGreater(len(shown), 3, shown)
            self.assertIsNone(self.registry_value(SETTINGS_KEY, 'AppRoot'))
            self.drive('close', ';', 'wait-gone')

    def test_enter_applies_and_a_refused_save_keeps_the_sheet_and_its_edits(self):
        self.write_server_list('pool.ntp.org')
        self.configure(NTPServerName=None)
        self.start_klemora()
        self.drive('select-tab', 1, ';', 'click', 1003, ';', 'set-text', 1030, '25')
        self.drive('key', 'ENTER', 1030)
        self.assertEqual(self.drive('box'), ['title=Horvane Error', 'text=',
                                             'You must specify a NTP server name.'])
        self.drive('answer', 'OK')
        self.assertEqual(self.drive('--timeout', 2000, 'wait', ';', 'text', 1030), ['25'])
        self.assertIsNone(self.registry_value(SETTINGS_KEY, 'AppRoot'))
        # With a server the same key saves, and the sheet stays.
        self.drive('combo-select', 1008, 0, ';', 'key', 'ENTER', 1030)
        self.assertTrue(wait_for(
            lambda: self.registry_value(SETTINGS_KEY, 'NTPServerName') is not None, 20))
        self.assertEqual(self.drive('--timeout', 2000, 'wait', ';', 'text', 1030), ['25'])
        self.remove_service()
        self.drive('close', ';', 'wait-gone')

    def test_wrong_registry_types_and_bad_server_lists_are_survived(self):
        # Values of other types are ignored; a missing list offers the public pool.
        long_directory = 'C:\\' + '\\'.join(['d' * 29] * 10)
        self.configure(NTPServerName=5, NTPPollMilliseconds='900000', RunOnce='0',
                       LogDirectory=long_directory)
        self.start_klemora()
        # The page is made with the box open: it becomes current once the box is answered.
        self.drive('--timeout', 1000, 'select-tab', 1, check=False)
        self.assertEqual(self.drive('box'), [
            'title=Klemora', 'text=', f"Couldn't open {self.windows_folder}\\NTPServ.dat!"])
        self.drive('answer', 'OK')
        self.assertEqual(self.drive('combo', 1008), ['pool.ntp.org', 'selected=-1'])
        self.assertEqual(self.drive('text', 1030, ';', 'checked', 1001, ';', 'text', 1014),
                         ['0', '1', long_directory])
        # A directory name beyond what the system takes is refused with the system's text.
        self.drive('combo-select', 1008, 0, ';', 'click', APPLY)
        for _ in range(3):
            shown = self.drive('--timeout', 3000, 'box', check=False)
            if not shown:
                break
            self.assertIn(shown[0], ('title=Horvane Error', 'title=Log Directory Error'))
            self.drive('answer', 'OK')
        self.assertEqual(shown, [])
        self.assertIsNone(self.registry_value(SETTINGS_KEY, 'AppRoot'))
        self.drive('close', ';', 'wait-gone')

        # 10,000 entries, one of 2,000 characters, the last without a line end.
        entries = [f'ntp{i}.example.net' for i in range(9999)] + ['x' * 2000]
        with open(os.path.join(self.folder, 'NTPServ.dat'), 'w', encoding='ascii') as out:
            out.write('\r\n'.join(entries))
        os.chmod(os.path.join(self.folder, 'NTPServ.dat'), 0o444)
        self.configure(NTPServerName='ntp9998.example.net')
        self.start_klemora()
        listed = self.drive('select-tab', 1, ';', 'combo', 1008, timeout=120)
        self.assertEqual(len(listed), 10001)
        self.assertEqual(listed[-2], 'x' * 2000)
        self.assertEqual(listed[-1], 'selected=9998')
        self.drive('close', ';', 'wait-gone')

    def test_typed_numbers_that_do_not_fit_are_limited_where_the_user_sees_it(self):
        self.write_server_list('pool.ntp.org')
        self.configure(NTPServerName='pool.ntp.org')
        self.start_klemora()
        self.drive('select-tab', 1, ';', 'click', 1002, ';', 'combo-select', 1032, 3)
        cases = [('99999', '1193'), ('-5', '0'), ('250', '250'), ('', '')]
        for typed, shown in cases:
            self.assertEqual(self.value('set-text', 1030, typed, ';', 'text', 1030), shown)
        self.drive('combo-select', 1032, 0)
        self.assertEqual(self.value('set-text', 1030, '4294967296', ';', 'text', 1030),
                         '4294967295')
        self.drive('click', 1003, ';', 'combo-select', 1020, 2)
        self.assertEqual(self.value('set-text', 1021, '99999999', ';', 'text', 1021),
                         str(4294967295 // 3600))
        self.drive('close', ';', 'wait-gone')

    # --- links and help -------------------------------------------------------------------

    def point_shell_at_recorder(self, record):
        """Makes the shell open links, mail addresses and .htm files with the recorder, and
        restores what it did before at the end."""
        shutil.copy(RECORDER, os.path.join(self.folder, 'recorder.exe'))
        command = (f'"{self.windows_folder}\\recorder.exe" --record-command '
                   f'{windows_path(record)} %1')
        keys = [r'HKCR\http\shell\open\command', r'HKCR\mailto\shell\open\command',
                r'HKCR\htmlfile\shell\open\command', r'HKCR\.htm']
        for key in keys:
            done = self.wine('reg', 'query', key, '/ve', check=False)
            old = re.search(r'\(Default\)\s+REG_SZ\s+(.*?)\s*$', done.stdout, re.MULTILINE)
            if old:
                self.addCleanup(self.wine, 'reg', 'add', key, '/ve', '/d', old.group(1), '/f')
            else:
                self.addCleanup(self.wine, 'reg', 'delete', key, '/f', check=False)
            self.wine('reg', 'add', key, '/ve', '/d', 'htmlfile' if key.endswith('.htm')
                      else command, '/f')

    def opened(self, record, count):
        def lines():
            try:
                with open(record, encoding='latin-1') as text:
                    return text.read().splitlines()
            except FileNotFoundError:
                return []
        self.assertTrue(wait_for(lambda: len(lines()) >= count, 15), lines())
        return lines()

    def test_links_and_help_open_what_they_name(self):
        record = os.path.join(self.work, 'opened.txt')
        self.point_shell_at_recorder(record)
        self.write_server_list('pool.ntp.org')
        self.wine('reg', 'delete', SETTINGS_KEY, '/f', check=False)
        build_bin = os.path.dirname(KLEMORA)
        shutil.copytree(os.path.join(build_bin, 'html'), os.path.join(self.folder, 'html'))
        self.start_klemora()
        self.drive('select-tab', 2, ';', 'press', 1148, ';', 'press', 1010, ';', 'press', 1011)
        self.assertEqual(self.opened(record, 3), [
            'http://www.tarnwick.example/klemora/', 'mailto:support@tarnwick.example',
            'http://www.tarnwick.example/klemora/'])
        # Without Klemora.chm every help request opens the page itself, named by the page.
        self.drive('click', HELP, ';', 'select-tab', 1, ';', 'click', HELP, ';', 'select-tab', 0,
                   ';', 'click', HELP)
        pages = self.opened(record, 6)[3:]
        self.assertEqual([p.lower() for p in pages],
                         [f'{self.windows_folder}\\html\\{topic}.htm'.lower()
                          for topic in ('Tarnwick', 'Standard', 'KlemoraHelp')])
        self.drive('close', ';', 'wait-gone')
        # With it the help control shows it, and nothing is handed to the shell.
        shutil.copy(os.path.join(build_bin, 'Klemora.chm'), self.folder)
        self.start_klemora()
        self.drive('select-tab', 1, ';', 'click', HELP)
        self.assertTrue(wait_for(lambda: self.value('windows', 'Klemora Help') != '0', 15))
        self.assertEqual(len(self.opened(record, 6)), 6)
        self.drive('close')

    def test_the_keyboard_works_in_the_modeless_dialogs_and_f1_opens_the_makers_topic(self):
        record = os.path.join(self.work, 'opened.txt')
        self.point_shell_at_recorder(record)
        self.write_server_list('pool.ntp.org')
        build_bin = os.path.dirname(KLEMORA)
        shutil.copytree(os.path.join(build_bin, 'html'), os.path.join(self.folder, 'html'))
        self.start_klemora()
        self.drive('click', 1076)
        first = self.value('focus')
        self.assertTrue(first.endswith(' Set Time and Date'), first)
        # Tab moves on within the dialog, F1 opens the maker's page, Esc closes it.
        second = self.value('key', 'TAB', ';', 'focus')
        self.assertTrue(second.endswith(' Set Time and Date'), second)
        self.assertNotEqual(first, second)
        self.drive('key', 'F1')
        self.drive('key', 'ESC')
        self.assertEqual(self.value('windows', 'Set Time and Date'), '0')
        self.drive('sysmenu', 16)
        self.assertEqual(self.value('windows-hex', ABOUT_TITLE_HEX), '1')
        self.drive('key', 'F1', ';', 'key', 'ESC')
        self.assertEqual(self.value('windows-hex', ABOUT_TITLE_HEX), '0')
        self.assertEqual([p.lower() for p in self.opened(record, 2)],
                         [f'{self.windows_folder}\\html\\tarnwick.htm'.lower()] * 2)
        self.drive('close', ';', 'wait-gone')

    # --- Windows 98 -------------------------------------------------------------------------

    def test_on_windows_98_apply_sets_autostart_and_replaces_the_tray_pendra(self):
        server = self.start_fake()
        versions = [f'[{APP_DEFAULTS}\\{name}]' for name in ('Klemora.exe', 'Pendra.exe')]
        reg_import(PREFIX, self.work, sum(([key, '"Version"="win98"', ''] for key in versions),
                                          []))
        self.addCleanup(reg_import, PREFIX, self.work,
                        sum(([f'[-{key[1:-1]}]', ''] for key in versions), []))
        self.addCleanup(self.wine, 'reg', 'delete', RUN_KEY.replace('HKEY_LOCAL_MACHINE', 'HKLM'),
                        '/v', 'Pendra_Auto', '/f', check=False)
        self.write_server_list(server)
        self.configure(NTPServerName=server)
        self.drive('start', self.windows_folder + '\\Pendra.exe', ';', 'sleep', 100)
        self.assertTrue(wait_for(lambda: any(t.startswith('time reset') for t in self.log_texts()),
                                 20), self.log_texts())
        self.start_klemora()
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('enabled', 1013, ';', 'checked', 1013), ['1', '0'])
        self.drive('click', 1013, ';', 'click', APPLY)
        self.assertEqual(self.registry_value(RUN_KEY, 'Pendra_Auto'),
                         ('REG_SZ', self.windows_folder + '\\Pendra.exe'))
        # The running tray program ends, a new one starts and synchronises.
        self.assertTrue(wait_for(lambda: len(self.start_lines()) == 2, 20), self.log_texts())
        self.assertTrue(wait_for(
            lambda: sum(t.startswith('time reset') for t in self.log_texts()) == 2, 20),
            self.log_texts())
        self.assertEqual(self.wine(POKE, '--desktop', DESKTOP, 'exists', check=False).returncode,
                         0)
        # Autostart off again removes the entry.
        self.drive('click', 1013, ';', 'click', APPLY)
        self.assertTrue(wait_for(lambda: self.registry_value(RUN_KEY, 'Pendra_Auto') is None, 10))
        self.drive('close', ';', 'wait-gone')
        self.wine(POKE, '--desktop', DESKTOP, 'post-destroy', check=False)


if __name__ == '__main__':
    unittest.main()

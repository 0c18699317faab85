#!/usr/bin/env python3
"""Pendra.exe in tray mode: Wine presents itself as Windows 98 to it, so it runs as a tray program
with a hidden window, an icon in the notification area and a worker thread that synchronises.

Each test copies Pendra.exe into a fresh folder of the prefix's drive C, writes the settings
and the Windows 98 version into the prefix's registry (and removes both again), and runs
Pendra under an Xvfb of this class. With PENDRA_MESSAGE_LOG set, Pendra appends its message
boxes and tray icon calls to that file instead of showing them; one test shows a real box.
tray-poke sends the window the messages that the shell, the menu and Klemora send.

Pendra and tray-poke run on a Wine desktop of their own: Wine's default desktop belongs to
whichever Wine process opened it first, and one started without an X display (wineboot,
another test) leaves every window creation on it failing.

Needs root (the time server runs on a test host, a network namespace), Xvfb, xdotool and
ImageMagick. Never changes the clock.
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..',
                                'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import (SETTINGS_KEY, Xvfb, processes_running, reg_import,  # noqa: E402
                            settings_lines, testhost, wait_for, windows_path)

PENDRA = os.environ.get('PENDRA_EXE', '')
POKE = os.environ.get('PENDRA_TRAY_POKE', '')
STANDIN = os.environ.get('PENDRA_KLEMORA_STANDIN', '')
PREFIX = os.environ.get('PENDRA_WINEPREFIX', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '11'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11124'))
VERSION_KEY = r'HKEY_CURRENT_USER\Software\Wine\AppDefaults\Pendra.exe'
DESKTOP = f'pendra-tray-{os.getpid()}'
TOOLS = ('Xvfb', 'xdotool', 'import', 'convert')

NIM_ADD, NIM_MODIFY, NIM_DELETE = '0', '1', '2'
MB_ICONWARNING = '48'
SYNC_TIP_RE = re.compile(r'^last sync to UTC: (\d\d):(\d\d):(\d\d) time reset: (-?\d+\.\d{3}) s $')
REPORT_RE = re.compile(r'time reset: (-?\d+\.\d{3}) delay: ')


def wine_environment(display=None, **extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ('DISPLAY', 'PENDRA_MESSAGE_LOG', 'KLEMORA_STANDIN_LOG')}
    if display is not None:
        env['DISPLAY'] = display
    env.update(extra)
    return env


def wine(*args, env=None, check=True, timeout=60):
    return pendra_testlib.wine(PREFIX, *args, check=check, timeout=timeout,
                               env=env or wine_environment())


def write_settings(work, values):
    """Replaces the settings key with values (None: no key) and makes Pendra.exe see
    Windows 98."""
    lines = settings_lines(values) if values is not None else [f'[-{SETTINGS_KEY}]', '']
    lines += [f'[{VERSION_KEY}]', '"Version"="win98"', '']
    reg_import(PREFIX, work, lines, env=wine_environment())


def remove_settings(work):
    # Other tests run Pendra.exe as an NT service in this prefix.
    reg_import(PREFIX, work, [f'[-{VERSION_KEY}]', '', f'[-{SETTINGS_KEY}]', ''],
               env=wine_environment())


class PendraRun:
    """One Pendra.exe started from a folder, on the test desktop, through tray-poke run."""

    def __init__(self, folder, work, display, message_log=None, klemora_log=None, verb='run',
                 wrapper=()):
        extra = {}
        if message_log is not None:
            extra['PENDRA_MESSAGE_LOG'] = windows_path(message_log)
        if klemora_log is not None:
            extra['KLEMORA_STANDIN_LOG'] = windows_path(klemora_log)
        self.output = open(os.path.join(work, f'pendra-{time.monotonic_ns()}.out'), 'wb')
        # Its own working directory lies outside its folder, so Setup's folder is seen.
        self.process = subprocess.Popen(
            [*wrapper, pendra_testlib.WINE_RUN, PREFIX, POKE, '--desktop', DESKTOP, verb,
             folder + '\\Pendra.exe'],
            stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT,
            env=wine_environment(display, **extra), cwd=work)

    def wait(self, timeout):
        """The exit code, or None when it still runs after timeout seconds."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None
        finally:
            if self.process.returncode is not None:
                self.output.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=10)
        self.output.close()


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(PENDRA and POKE and STANDIN and PREFIX, 'PENDRA_EXE, PENDRA_TRAY_POKE, '
                     'PENDRA_KLEMORA_STANDIN and PENDRA_WINEPREFIX not set')
@unittest.skipUnless(all(shutil.which(tool) for tool in TOOLS), 'needs ' + ', '.join(TOOLS))
class TrayModeTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.screen = Xvfb()

    @classmethod
    def tearDownClass(cls):
        # The desktop's explorer ends shortly after the last program on it.
        wait_for(lambda: not [pid for pid in processes_running('explorer.exe')
                              if cls.display_of(pid) == cls.screen.display], 10)
        cls.screen.stop()

    @staticmethod
    def display_of(pid):
        try:
            with open(f'/proc/{pid}/environ', 'rb') as environ:
                for item in environ.read().split(b'\0'):
                    if item.startswith(b'DISPLAY='):
                        return item[8:].decode()
        except OSError:
            pass
        return None

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='pendra-tray-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.logs = os.path.join(self.work, 'logs')
        os.mkdir(self.logs)
        self.message_log = os.path.join(self.work, 'messages.log')
        self.folder_name = f'pendra-tray-{os.getpid()}-{time.monotonic_ns()}'
        self.folder = os.path.join(PREFIX, 'drive_c', self.folder_name)
        self.windows_folder = 'C:\\' + self.folder_name
        os.mkdir(self.folder)
        self.addCleanup(shutil.rmtree, self.folder, True)
        shutil.copy(PENDRA, os.path.join(self.folder, 'Pendra.exe'))
        self.server_address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        self.runs = []
        self.addCleanup(remove_settings, self.work)
        self.addCleanup(self.end_everything)

    # --- helpers ----------------------------------------------------------------------

    def configure(self, **overrides):
        values = {
            'WriteLogEntries': 1,
            'LogDirectory': windows_path(self.logs),
            'WaitForRAS': 0,
            'RunOnce': 0,
            'NTPServerName': self.server_address,
            'NTPPollMilliseconds': 60000,
            'NTPServerPort': PORT,
        }
        values.update(overrides)
        write_settings(self.work, values)

    def start_fake(self, *options):
        pid = testhost('fake', HOST, PORT, self.work, *options)
        self.addCleanup(testhost, 'stop', pid)

    def start_pendra(self, recorded=True, klemora_log=None, verb='run', wrapper=()):
        run = PendraRun(self.windows_folder, self.work, self.screen.display,
                        self.message_log if recorded else None, klemora_log, verb, wrapper)
        self.runs.append(run)
        return run

    def poke(self, *command):
        return wine(POKE, '--desktop', DESKTOP, *command, check=False,
                    env=wine_environment(self.screen.display)).returncode

    def window_exists(self):
        return self.poke('exists') == 0

    def records(self):
        """(caption, flags, text) of every complete record in the message log."""
        try:
            with open(self.message_log, 'rb') as log:
                content = log.read().decode('latin-1')
        except FileNotFoundError:
            return []
        # The part after the last form feed may still be being written.
        return [tuple(item.split('|', 2)) for item in content.split('\f')[:-1]]

    def tips(self):
        return [(flags, text) for caption, flags, text in self.records() if caption == 'tray']

    def wait_for_record(self, predicate, timeout=20):
        found = wait_for(lambda: [r for r in self.records() if predicate(r)], timeout)
        if not found:
            server_logs = ''
            for path in glob.glob(os.path.join(self.work, 'fake-*.log')):
                with open(path, encoding='utf-8', errors='replace') as log:
                    server_logs += log.read()
            outputs = ''
            for path in glob.glob(os.path.join(self.work, 'pendra-*.out')):
                with open(path, encoding='latin-1') as output:
                    outputs += output.read()
            running = [run.process.poll() is None for run in self.runs]
            self.fail(f'no such record within {timeout} s: {self.records()}; log: '
                      f'{self.log_texts()}; server: {server_logs}; runs alive: {running}; '
                      f'their output: {outputs!r}')
        return found[0]

    def wait_for_tip(self, predicate, timeout=20):
        return self.wait_for_record(lambda r: r[0] == 'tray' and r[1] == NIM_MODIFY and
                                    predicate(r[2]), timeout)[2]

    def start_running(self, **options):
        """A Pendra whose window exists and whose first synchronisation is shown."""
        self.start_fake()
        self.configure(**options)
        run = self.start_pendra()
        self.wait_for_tip(SYNC_TIP_RE.match)
        self.assertTrue(self.window_exists())
        return run

    def assert_ended(self, run, timeout=30):
        code = run.wait(timeout)
        self.assertEqual(code, 0, self.records())
        self.assertFalse(self.window_exists())
        self.assertEqual(self.tips()[-1][0], NIM_DELETE, self.records())

    def log_texts(self):
        texts = []
        for name in sorted(os.listdir(self.logs)):
            with open(os.path.join(self.logs, name), 'rb') as log:
                texts += [line[30:] for line in log.read().decode('latin-1').splitlines()]
        return texts

    def end_everything(self):
        """Ends every Pendra of this test: a posted WM_DESTROY first, then by force."""
        running = [run for run in self.runs if run.process.poll() is None]
        if running and self.window_exists():
            self.poke('post-destroy')
        for run in running:
            if run.wait(15) is None:
                run.kill()
        for pid in processes_running(self.folder_name):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        wait_for(lambda: not processes_running(self.folder_name), 10)

    # --- the tips of the synchronisation -------------------------------------------------

    def test_true_time_shows_each_step_and_run_once_ends_the_program(self):
        self.start_fake()
        self.configure(RunOnce=1, NTPPollMilliseconds=0)
        run = self.start_pendra()
        code = run.wait(30)
        self.assertEqual(code, 0, self.records())
        records = self.records()
        self.assertTrue(all(caption == 'tray' for caption, _, _ in records), records)
        tips = self.tips()
        self.assertEqual(tips[0], (NIM_ADD, 'Pendra active'))
        self.assertEqual(tips[1], (NIM_MODIFY, f'Try to connect server: "{self.server_address}"'))
        self.assertEqual(tips[2][0], NIM_MODIFY)
        match = SYNC_TIP_RE.match(tips[2][1])
        self.assertIsNotNone(match, tips)
        hours, minutes, seconds, offset = match.groups()
        # True time on a test host: a few milliseconds at most, more only on a loaded machine.
        self.assertRegex(offset, r'^-?0\.0[0-2]\d$')
        # The time shown is UTC at the moment of the sync, a few seconds ago at most.
        shown = int(hours) * 3600 + int(minutes) * 60 + int(seconds)
        now = time.gmtime()
        utc = now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec
        self.assertLess((utc - shown) % 86400, 15, tips)
        # The tip and the log line report the same offset.
        reports = [m.group(1) for m in map(REPORT_RE.match, self.log_texts()) if m]
        self.assertEqual(reports, [offset], self.log_texts())
        # One sync, then only the removal of the icon.
        self.assertTrue(tips[3:], tips)
        self.assertTrue(all(flags == NIM_DELETE for flags, _ in tips[3:]), tips)
        self.assertFalse(self.window_exists())

    def test_silent_server_shows_no_response_and_keeps_running(self):
        self.start_fake('--mode', 'silent')
        self.configure(RunOnce=1)
        run = self.start_pendra()
        started = time.monotonic()
        tip = self.wait_for_tip(lambda text: text.startswith('no response'), timeout=25)
        self.assertEqual(tip, f'no response from server: "{self.server_address}"')
        self.assertGreater(time.monotonic() - started, 9)
        # A run-once Pendra goes on after a time-out: it has not synchronised yet.
        self.assertIsNone(run.wait(1))
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)

    def test_refused_offset_names_both_numbers_in_the_tip(self):
        self.start_fake('--offset', '6.5')
        self.configure(RunOnce=1, MaxAdjustSeconds=5)
        run = self.start_pendra()
        tip = self.wait_for_tip(lambda text: text.startswith('adjustment'))
        self.assertEqual(tip, 'adjustment of 6 seconds > max way to big of 5 seconds')
        self.assertFalse([t for _, t in self.tips() if SYNC_TIP_RE.match(t)], self.tips())
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)

    def test_long_server_name_is_cut_to_127_characters_in_the_tip(self):
        name = 'a' * 190 + '.invalid'
        # Waiting for a dial-up connection that never comes: no exchange, which would hold
        # the exit for its 10-second wait.
        self.configure(NTPServerName=name, WaitForRAS=1, RASPollMilliseconds=100)
        run = self.start_pendra()
        tip = self.wait_for_tip(lambda text: text.startswith('Try to connect'))
        self.assertEqual(len(tip), 127)
        self.assertEqual(tip, f'Try to connect server: "{name}"'[:127])
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)

    def test_missing_settings_leave_the_icon_until_exit(self):
        write_settings(self.work, None)
        run = self.start_pendra()
        self.assertTrue(wait_for(self.window_exists, 20))
        # The worker gives up at once; the program waits for the user.
        self.assertIsNone(run.wait(2))
        self.assertEqual(self.tips(), [(NIM_ADD, 'Pendra active')])
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)
        self.assertEqual([r for r in self.records() if r[0] != 'tray'], [])

    # --- the window and its messages -----------------------------------------------------

    def test_second_instance_is_refused_and_the_first_goes_on(self):
        first = self.start_running()
        second = self.start_pendra()
        self.assertEqual(second.wait(30), 2)
        boxes = [r for r in self.records() if r[0] != 'tray']
        self.assertEqual(boxes, [('Pendra start failed!', MB_ICONWARNING,
                                  'Synchronisation already active!')])
        # The second one never touched the icon.
        self.assertEqual([flags for flags, _ in self.tips()].count(NIM_ADD), 1)
        self.assertIsNone(first.wait(1))
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(first)

    def test_destroy_sent_from_another_program_ends_it(self):
        run = self.start_running()
        self.assertEqual(self.poke('destroy'), 0)
        self.assert_ended(run)
        self.assertEqual([r for r in self.records() if r[0] != 'tray'], [])
        self.assertEqual(self.log_texts()[-1], 'stop request')

    def test_replaced_during_the_reply_wait_the_new_instance_runs_and_synchronises(self):
        # What Klemora does after a change of settings: WM_DESTROY, and a new Pendra at once.
        self.start_fake('--silent-first', '1')
        self.configure()
        old = self.start_pendra()
        server_log = os.path.join(self.work, f'fake-{PORT}.log')
        def unanswered():
            with open(server_log, encoding='utf-8') as log:
                return 'silent first' in log.read()
        self.assertTrue(wait_for(unanswered, 20))
        started = time.monotonic()
        new = self.start_pendra(verb='replace')
        # The old one gives up its 10-second wait and ends.
        self.assertEqual(old.wait(8), 0, self.records())
        self.assertLess(time.monotonic() - started, 8)
        self.wait_for_tip(SYNC_TIP_RE.match)
        self.assertEqual([r for r in self.records() if r[0] != 'tray'], [])
        self.assertIsNone(new.wait(0.5))
        # The two programs write into one log, each in its own order.
        texts = self.log_texts()
        start_line = f'Start Pendra Rev: 1.22, server {self.server_address}'
        self.assertEqual(texts.count(start_line), 2, texts)
        self.assertEqual(texts.count('stop request'), 1, texts)
        self.assertEqual(len([t for t in texts if REPORT_RE.match(t)]), 1, texts)
        self.assertEqual(len(texts), 4, texts)
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(new)

    def test_destroyed_during_a_hanging_name_lookup_it_still_ends_within_seconds(self):
        # The name server on the test host never answers: the lookup cannot be cut short.
        pid = testhost('fake', HOST, 53, self.work, '--mode', 'silent')
        self.addCleanup(testhost, 'stop', pid)
        wrapper = pendra_testlib.private_name_service(
            self.work, resolv_conf=f'nameserver {self.server_address}\n'
                                   'options timeout:30 attempts:1\n',
            nsswitch_conf='hosts: dns\n')
        self.configure(NTPServerName='ntp.pendra-hang.test')
        run = self.start_pendra(wrapper=wrapper)
        server_log = os.path.join(self.work, 'fake-53.log')

        def asked():
            with open(server_log, encoding='utf-8') as log:
                return 'no answer (silent)' in log.read()
        self.assertTrue(wait_for(asked, 20))
        started = time.monotonic()
        self.assertEqual(self.poke('destroy'), 0)
        self.assertFalse(wait_for(self.window_exists, 1))
        self.assertEqual(run.wait(10), 0)
        self.assertLess(time.monotonic() - started, 8)
        self.assertEqual(self.tips()[-1][0], NIM_DELETE, self.records())
        # The worker never came back from its lookup: the process ended around it.
        self.assertEqual(self.log_texts(),
                         ['Start Pendra Rev: 1.22, server ntp.pendra-hang.test'])

    def test_destroy_sent_twice_does_not_crash(self):
        run = self.start_running()
        self.assertEqual(self.poke('destroy', 2), 0)
        self.assert_ended(run)
        # The first removes the icon and ends the loop; the second may come too late to be
        # handled, and a removal of the removed icon is harmless.
        self.assertGreaterEqual([flags for flags, _ in self.tips()].count(NIM_DELETE), 1)

    def test_destroy_posted_twice_does_not_crash(self):
        run = self.start_running()
        self.assertEqual(self.poke('post-destroy', 2), 0)
        self.assert_ended(run)
        self.assertGreaterEqual([flags for flags, _ in self.tips()].count(NIM_DELETE), 1)

    def test_exit_command_ends_it(self):
        run = self.start_running()
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)
        self.assertEqual([r for r in self.records() if r[0] != 'tray'], [])

    def test_setup_starts_klemora_in_the_program_folder(self):
        shutil.copy(STANDIN, os.path.join(self.folder, 'Klemora.exe'))
        started = os.path.join(self.work, 'klemora.log')
        self.start_fake()
        self.configure()
        run = self.start_pendra(klemora_log=started)
        self.wait_for_tip(SYNC_TIP_RE.match)
        self.assertEqual(self.poke('setup'), 0)
        self.assertTrue(wait_for(lambda: os.path.exists(started) and os.path.getsize(started), 20))
        with open(started, 'rb') as log:
            directories = log.read().decode('latin-1').splitlines()
        self.assertEqual([d.lower() for d in directories], [self.windows_folder.lower()])
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)
        self.assertEqual([r for r in self.records() if r[0] != 'tray'], [])

    def test_setup_without_klemora_warns_and_goes_on(self):
        run = self.start_running()
        self.assertEqual(self.poke('setup'), 0)
        box = self.wait_for_record(lambda r: r[0] != 'tray')
        self.assertEqual(box, ("'Klemora.exe' start failed!", MB_ICONWARNING,
                               'Klemora.exe not found\nbe shure it is in the same directory'))
        self.assertIsNone(run.wait(1))
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)

    def test_left_click_does_nothing(self):
        run = self.start_running()
        before = len(self.records())
        self.screen.xdotool('mousemove', 500, 400)
        self.assertEqual(self.poke('left-click'), 0)
        # Setup (without Klemora) answers with a box: the click before it has been handled.
        self.assertEqual(self.poke('setup'), 0)
        self.wait_for_record(lambda r: r[0] != 'tray')
        self.assertEqual([r[0] for r in self.records()[before:]], ["'Klemora.exe' start failed!"])
        self.assertEqual(self.screen.visible_windows('--class', 'pendra.exe'), [])
        self.assertIsNone(run.wait(0.5))
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(run)

    # --- on the screen ---------------------------------------------------------------------

    def test_second_instance_box_is_shown_and_closed_with_return(self):
        first = self.start_running()
        second = self.start_pendra(recorded=False)
        title = 'Pendra start failed!'
        boxes = wait_for(lambda: self.screen.visible_windows('--name', title), 20, 0.2)
        self.assertEqual(len(boxes), 1, 'no message box on the screen')
        x, y, width, height = self.screen.geometry(boxes[0])
        self.assertGreater(width, 100)
        self.assertGreater(height, 40)
        shot = os.path.join(self.work, 'second-instance.png')
        self.screen.screenshot(shot)
        # The box has content: icon, text and button, not a blank rectangle.
        deviation = subprocess.run(
            ['convert', shot, '-crop', f'{width}x{height}+{x}+{y}', '+repage', '-format',
             '%[fx:standard_deviation]', 'info:'],
            capture_output=True, text=True, check=True, timeout=30).stdout
        self.assertGreater(float(deviation), 0.05)
        # The box is a modal one of the second instance: it ends only once the box is closed.
        self.assertIsNone(second.wait(0.5))
        self.screen.xdotool('windowfocus', '--sync', boxes[0])
        self.screen.xdotool('key', 'Return')
        self.assertEqual(second.wait(20), 2)
        self.assertEqual(self.screen.visible_windows('--name', title), [])
        self.assertTrue(self.window_exists())
        self.assertEqual(self.poke('exit'), 0)
        self.assert_ended(first)

    def test_right_click_opens_the_menu_at_the_cursor(self):
        run = self.start_running()
        self.screen.xdotool('mousemove', 600, 400)
        self.assertEqual(self.poke('menu'), 0)
        menus = wait_for(lambda: self.screen.visible_windows('--class', 'pendra.exe'), 15)
        self.assertEqual(len(menus), 1, 'no menu on the screen')
        x, y, width, height = self.screen.geometry(menus[0])
        self.assertEqual((x, y), (600, 400))
        # Two items and a separator, each wider than it is tall.
        self.assertGreater(height, 30)
        self.assertGreater(width, height)
        self.screen.xdotool('key', 'Escape')
        self.assertTrue(wait_for(
            lambda: not self.screen.visible_windows('--class', 'pendra.exe'), 10))
        self.assertIsNone(run.wait(0.5))
        # Again, and this time Exit, by its mnemonic.
        self.assertEqual(self.poke('menu'), 0)
        self.assertTrue(wait_for(lambda: self.screen.visible_windows('--class', 'pendra.exe'), 15))
        self.screen.xdotool('key', 'e')
        self.assert_ended(run)


if __name__ == '__main__':
    unittest.main()

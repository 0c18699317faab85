#!/usr/bin/env python3
"""The installer packages that tools/package builds, installed, repaired, upgraded and removed
by Wine's msiexec in a fresh Wine prefix of each test.

Reads back what an administrator would look at: the files, the settings key with its types,
the service registration, the installed programs, the installer's log and Pendra's own log,
with chronyd on a test host as the time server. Needs root (test hosts), wixl and msitools.
Never changes the clock.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import ROOT, Xvfb, testhost, wait_for  # noqa: E402

BIN = os.environ.get('PENDRA_BIN_DIR', '')
X86_BIN = os.environ.get('PENDRA_X86_BIN_DIR', '')
DRIVER = os.environ.get('KLEMORA_DRIVER', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '14'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11127'))
SETTINGS = r'HKLM\SOFTWARE\Tarnwick\NTP Client'
SERVICE = r'HKLM\System\CurrentControlSet\Services\Pendra'
EVENT_SOURCE = r'HKLM\System\CurrentControlSet\Services\EventLog\Application\Pendra'
UNINSTALL = r'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
W32TIME = r'HKLM\System\CurrentControlSet\Services\W32Time\Parameters'
FOLDER = 'C:\\Program Files\\Tarnwick\\Pendra\\'
PROGRAM_FILES = ('Pendra.exe', 'Klemora.exe', 'NTPServ.dat', 'OpenSSL_LICENSE.txt', 'Klemora.chm',
                 'html/KlemoraHelp.htm', 'html/Standard.htm', 'html/Autostart.htm',
                 'html/Server.htm', 'html/LogFile.htm', 'html/Tarnwick.htm', 'html/help.css',
                 'PolicyDefinitions/Pendra.admx', 'PolicyDefinitions/en-US/Pendra.adml')
INSTALL_FAILURE = 1603 & 0xFF  # Wine's exit code keeps the low byte
SERVER_COMBO, HELP = 1008, 9


def package(version, arch='x64', bin_dir=None, out=None):
    done = subprocess.run([os.path.join(ROOT, 'tools', 'package'), '--no-build', '--arch', arch,
                           '--bin', bin_dir or BIN, '--version', version, '--out', out],
                          capture_output=True, text=True, timeout=120, check=True)
    return done.stdout.strip()


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(BIN and DRIVER, 'PENDRA_BIN_DIR and KLEMORA_DRIVER not set')
@unittest.skipUnless(all(shutil.which(tool) for tool in ('wixl', 'msiinfo', 'msibuild')),
                     'needs wixl and msitools')
class InstallerTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='pendra-msi-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.prefix = os.path.join(self.work, 'prefix')
        self.addCleanup(self.stop_wine)
        self.drive_c = os.path.join(self.prefix, 'drive_c')
        self.logs = os.path.join(self.drive_c, 'ProgramData', 'Tarnwick', 'Pendra', 'Logs')
        # Every program of the prefix gets the screen: the desktop that the first one opens
        # stays without one otherwise, and Klemora's windows on it would never show.
        self.screen = Xvfb()
        self.addCleanup(self.screen.stop)

    def stop_wine(self):
        if not os.path.isdir(self.prefix):
            return
        env = dict(os.environ, WINEPREFIX=self.prefix)
        subprocess.run(['wineserver', '-k'], env=env, timeout=60, check=False)
        subprocess.run(['wineserver', '-w'], env=env, timeout=60, check=False)

    # --- helpers --------------------------------------------------------------------------

    def wine(self, *args, check=True, timeout=120):
        env = dict(os.environ, DISPLAY=self.screen.display)
        return pendra_testlib.wine(self.prefix, *args, check=check, timeout=timeout, env=env)

    def package(self, version):
        """Builds the package and puts it on drive C; returns its Windows path."""
        built = package(version, out=os.path.join(self.work, 'packages'))
        os.makedirs(self.drive_c, exist_ok=True)
        shutil.copy(built, self.drive_c)
        return 'C:\\' + os.path.basename(built)

    def msiexec(self, *args, log='msi.log'):
        """Runs msiexec quietly with a verbose log; returns (exit code, the log's text)."""
        path = os.path.join(self.drive_c, log)
        if os.path.exists(path):
            os.remove(path)
        code = self.wine('msiexec', *args, '/qn', '/l*v', 'C:\\' + log, check=False).returncode
        text = ''
        if os.path.exists(path):
            with open(path, encoding='latin-1') as out:
                text = out.read()
        return code, text

    def install(self, version='1.22', *properties):
        code, log = self.msiexec('/i', self.package(version), *properties)
        self.assertEqual(code, 0, log[-3000:])
        return log

    def registry(self, key):
        """{name: (type, data)} of the key's values; None when the key is missing."""
        done = self.wine('reg', 'query', key, check=False)
        if done.returncode != 0:
            return None
        return {m.group(1): (m.group(2), m.group(3)) for m in
                re.finditer(r'^    (\S+)\s+(REG_\w+)\s*(.*?)\s*$', done.stdout, re.MULTILINE)}

    def service_state(self):
        done = self.wine('sc', 'query', 'Pendra', check=False)
        found = re.search(r'STATE\s+:\s+(\d+)', done.stdout)
        return int(found.group(1)) if found else None

    def installed_products(self):
        done = self.wine('reg', 'query', UNINSTALL, '/s', check=False)
        return re.findall(r'DisplayName\s+REG_SZ\s+Pendra\s*$', done.stdout, re.MULTILINE)

    def log_texts(self, folder=None):
        return pendra_testlib.log_texts(folder or self.logs)

    def start_chrony(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        chrony = os.path.join(self.work, 'chrony')
        os.mkdir(chrony)
        self.addCleanup(testhost, 'stop', testhost('chrony', HOST, PORT, chrony))
        return address

    def program_file(self, name):
        return os.path.join(self.drive_c, 'Program Files', 'Tarnwick', 'Pendra', name)

    def drive(self, *script, check=True):
        """Runs a klemora-driver script; returns its output lines."""
        env = dict(os.environ, DISPLAY=self.screen.display)
        code, output, errors = pendra_testlib.wine_detached_output(
            self.prefix, DRIVER, *script, env=env, timeout=90)
        if check and code != 0:
            self.fail(f'driver {script}: {code} {errors.strip()}')
        return output.splitlines()

    def start_klemora(self):
        """Klemora from the installed folder, on the default desktop, which the installer's
        own processes see."""
        # Its first start in a fresh prefix sets up the desktop and the fonts first.
        lines = self.drive('--timeout', 30000, 'start', FOLDER + 'Klemora.exe', ';', 'wait')
        return int(lines[0].split('=')[1])

    # --- tests ----------------------------------------------------------------------------

    def test_a_silent_install_sets_up_files_settings_and_a_synchronising_service(self):
        address = self.start_chrony()
        log = self.install('1.22', f'NTPSERVER={address}', f'NTPPORT={PORT}', 'POLLMINUTES=30')
        for name in PROGRAM_FILES:
            self.assertTrue(os.path.isfile(self.program_file(name)), name)
        shortcuts = glob.glob(os.path.join(self.drive_c, '**', 'Start Menu', 'Programs',
                                           'Klemora.lnk'), recursive=True)
        self.assertEqual(len(shortcuts), 1, shortcuts)
        self.assertEqual(self.registry(SETTINGS), {
            'AppRoot': ('REG_SZ', FOLDER),
            'NTPServerName': ('REG_SZ', address),
            'NTPServerPort': ('REG_DWORD', hex(PORT)),
            'NTPPollMilliseconds': ('REG_DWORD', hex(30 * 60000)),
            'RunOnce': ('REG_DWORD', '0x0'),
            'MaxAdjustSeconds': ('REG_DWORD', '0x0'),
            'WriteLogEntries': ('REG_DWORD', '0x1'),
            'LogDirectory': ('REG_SZ', 'C:\\ProgramData\\Tarnwick\\Pendra\\Logs'),
            'LogFileCount': ('REG_DWORD', '0x7'),
            'WaitForRAS': ('REG_DWORD', '0x0'),
            'RASPollMilliseconds': ('REG_DWORD', hex(60000)),
            'NTPSamples': ('REG_DWORD', '0x1'),
            'MaxSlewMilliseconds': ('REG_DWORD', hex(1000)),
            'UseNTS': ('REG_DWORD', '0x0')})
        self.assertIn('Pendra setting NTPPollMilliseconds = 1800000 (from POLLMINUTES)', log)
        self.assertIn('Pendra setting LogFileCount = 7 (default)', log)
        # As Pendra.exe -install registers it; without RasMan there is no dependency.
        self.assertEqual(self.registry(SERVICE), {
            'DisplayName': ('REG_SZ', 'Pendra'), 'ErrorControl': ('REG_DWORD', '0x1'),
            'ImagePath': ('REG_SZ', FOLDER + 'Pendra.exe'), 'ObjectName': ('REG_SZ', 'LocalSystem'),
            'PreshutdownTimeout': ('REG_DWORD', '0x2bf20'), 'Start': ('REG_DWORD', '0x2'),
            'Type': ('REG_DWORD', '0x10')})
        self.assertEqual(self.registry(EVENT_SOURCE), {
            'EventMessageFile': ('REG_SZ', FOLDER + 'Pendra.exe'),
            'TypesSupported': ('REG_DWORD', '0x7')})
        self.assertEqual(self.service_state(), 4)
        self.assertTrue(wait_for(lambda: any(t.startswith('time reset: ')
                                             for t in self.log_texts()), 30), self.log_texts())
        self.assertEqual(self.log_texts()[0], f'Start Pendra Rev: 1.22, server {address}')
        self.assertEqual(self.installed_products(), ['DisplayName    REG_SZ    Pendra'])

    def test_repair_upgrade_and_removal_keep_the_folder_and_the_settings_changed_by_hand(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        folder = os.path.join(self.drive_c, 'Tools', 'Pendra')
        self.install('1.22', f'NTPSERVER={address}', f'NTPPORT={PORT}',
                     'INSTALLDIR=C:\\Tools\\Pendra\\')
        self.wine('reg', 'add', SETTINGS, '/v', 'NTPPollMilliseconds', '/t', 'REG_DWORD',
                  '/d', '90000', '/f')
        self.wine('reg', 'add', SETTINGS, '/v', 'LogDirectory', '/t', 'REG_EXPAND_SZ', '/d',
                  '%SystemDrive%\\PendraLogs', '/f')
        self.wine('reg', 'delete', SETTINGS, '/v', 'NTPSamples', '/f')
        os.remove(os.path.join(folder, 'NTPServ.dat'))
        changed = dict(self.registry(SETTINGS), NTPSamples=('REG_DWORD', '0x1'))
        self.assertEqual(changed['AppRoot'], ('REG_SZ', 'C:\\Tools\\Pendra\\'))

        # Wine's msiexec /f takes no package and no product code; REINSTALL does the same.
        code, log = self.msiexec('/i', 'C:\\Pendra-1.22-x64.msi', 'REINSTALL=ALL',
                                 'REINSTALLMODE=vomus')
        self.assertEqual(code, 0, log[-3000:])
        self.assertIn('Pendra setting NTPPollMilliseconds = 90000 (kept)', log)
        self.assertIn('Pendra program folder C:\\Tools\\Pendra\\ (kept)', log)
        self.assertEqual(self.registry(SETTINGS), changed)
        self.assertTrue(os.path.isfile(os.path.join(folder, 'NTPServ.dat')))
        # The restarted service writes where the kept, expanded folder points.
        self.assertTrue(wait_for(lambda: self.log_texts(os.path.join(self.drive_c, 'PendraLogs')),
                                 15))

        log = self.install('1.23', 'NTPSAMPLES=4')
        self.assertRegex(log, r'WIX_UPGRADE_DETECTED = \{[0-9A-F-]+\}')
        self.assertEqual(self.registry(SETTINGS),
                         dict(changed, NTPSamples=('REG_DWORD', '0x4')))
        self.assertEqual(self.installed_products(), ['DisplayName    REG_SZ    Pendra'])
        done = self.wine('reg', 'query', UNINSTALL, '/s', '/v', 'DisplayVersion')
        self.assertEqual(re.findall(r'DisplayVersion\s+REG_SZ\s+(\S+)', done.stdout), ['1.23'])
        self.assertEqual(self.registry(SERVICE)['ImagePath'],
                         ('REG_SZ', 'C:\\Tools\\Pendra\\Pendra.exe'))
        self.assertEqual(self.service_state(), 4)
        self.assertFalse(os.path.exists(self.program_file('')))

        # An older package does not go over a newer one. (Wine logs no launch condition's
        # text when there is no user interface to show it in.)
        code, log = self.msiexec('/i', 'C:\\Pendra-1.22-x64.msi')
        self.assertEqual(code, INSTALL_FAILURE)
        self.assertRegex(log, r'WIX_DOWNGRADE_DETECTED = \{[0-9A-F-]+\}')
        self.assertEqual(self.service_state(), 4)

        code, log = self.msiexec('/x', 'C:\\Pendra-1.23-x64.msi')
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(glob.glob(os.path.join(folder, '**', '*'), recursive=True), [])

    def test_upgrades_keep_the_other_widths_settings_and_replace_what_cannot_be_kept(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        # As the x86 package leaves its settings on 64-bit Windows: in the 32-bit view only,
        # with the logs on a disk of their own.
        stored = {
            'AppRoot': ('REG_SZ', 'C:\\Program Files (x86)\\Tarnwick\\Pendra\\'),
            'NTPServerName': ('REG_SZ', address),
            'NTPPollMilliseconds': ('REG_DWORD', hex(90000)),
            'RunOnce': ('REG_DWORD', '0x0'),
            'MaxAdjustSeconds': ('REG_DWORD', hex(3600)),
            'WriteLogEntries': ('REG_DWORD', '0x1'),
            'LogDirectory': ('REG_SZ', 'Q:\\Pendra'),
            'WaitForRAS': ('REG_DWORD', '0x0'),
            'RASPollMilliseconds': ('REG_DWORD', hex(30000)),
            'LogFileCount': ('REG_DWORD', '0x3'),
            'NTPServerPort': ('REG_DWORD', hex(PORT)),
            'NTPSamples': ('REG_DWORD', '0x2')}
        for name, (kind, data) in stored.items():
            self.wine('reg', 'add', SETTINGS, '/v', name, '/t', kind, '/d',
                      int(data, 16) if kind == 'REG_DWORD' else data, '/f', '/reg:32')
        # An uninstall of this width left its own key behind, holding only the status record:
        # that key has no settings to keep.
        self.wine('reg', 'add', SETTINGS + '\\Status', '/v', 'LastResult', '/d', 'synchronised',
                  '/f')
        self.assertEqual(self.registry(SETTINGS), {})
        disk = os.path.join(self.work, 'disk')
        os.mkdir(disk)
        drive = os.path.join(self.prefix, 'dosdevices', 'q:')
        os.symlink(disk, drive)

        log = self.install('1.22')
        natively = dict(stored, AppRoot=('REG_SZ', FOLDER))
        self.assertEqual(self.registry(SETTINGS), natively)
        kept = re.findall(r'Pendra setting (\w+) = .* \(kept from the 32-bit registry view\)$',
                          log, re.MULTILINE)
        self.assertEqual(sorted(kept), sorted(set(stored) - {'AppRoot'}))
        # A setting that the kept ones lack is not added: the upgrade changes nothing unasked.
        self.assertIn('Pendra setting MaxSlewMilliseconds not written (absent from the settings '
                      'kept)', log)
        self.assertIn('Pendra setting UseNTS not written (absent from the settings kept)', log)
        self.assertTrue(wait_for(lambda: self.log_texts(os.path.join(disk, 'Pendra')), 15))
        self.assertEqual(self.log_texts(os.path.join(disk, 'Pendra'))[0],
                         f'Start Pendra Rev: 1.22, server {address}')

        # A value that Pendra refuses to start with, and the log disk removed: both would fail
        # the upgrade and roll it back.
        self.wine('reg', 'add', SETTINGS, '/v', 'NTPSamples', '/t', 'REG_DWORD', '/d', '10', '/f')
        os.remove(drive)
        log = self.install('1.23')
        self.assertIn('Pendra setting NTPPollMilliseconds = 90000 (kept)', log)
        self.assertIn('Pendra setting NTPSamples = 1 (default, the stored value 10 is not from '
                      '1 to 8)', log)
        self.assertIn('Pendra setting LogDirectory = "Q:\\Pendra" (kept, but the package makes '
                      'no folder there: drive Q:\\ does not exist)', log)
        # Windows Installer stops at a directory on a missing drive (error 1327); Wine's goes on
        # without it, so the folder table shows whether the package still had to make it.
        self.assertIn('Property(S): PendraLogFolder = C:\\ProgramData\\Tarnwick\\Pendra\\Logs\\\n',
                      log)
        self.assertEqual(self.registry(SETTINGS), dict(natively, NTPSamples=('REG_DWORD', '0x1')))
        self.assertEqual(self.service_state(), 4)

    def test_a_silent_uninstall_with_klemora_open_removes_all_but_the_logs(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        self.install('1.22', f'NTPSERVER={address}', f'NTPPORT={PORT}')
        self.assertTrue(wait_for(self.log_texts, 15))
        klemora = self.start_klemora()
        # Klemora, started from the installed folder, finds the server list and the help.
        self.drive('select-tab', 1)
        self.assertEqual(self.drive('combo', SERVER_COMBO)[0], 'pool.ntp.org')
        self.drive('click', HELP)
        self.assertTrue(wait_for(lambda: self.drive('windows', 'Klemora Help')[-1] != '0', 15))

        self.wine('reg', 'add', SETTINGS, '/v', 'Comment', '/d', 'added by hand', '/f')
        code, log = self.msiexec('/x', self.package('1.22'))
        self.assertEqual(code, 0, log[-3000:])
        self.assertIn(f'Klemora (process {klemora}) was asked to close', log)
        self.assertNotIn('did not close', log)
        self.assertEqual(self.service_state(), None)
        self.assertIsNone(self.registry(SERVICE))
        self.assertIsNone(self.registry(EVENT_SOURCE))
        self.assertEqual(glob.glob(os.path.join(self.drive_c, 'Program Files', 'Tarnwick', '**',
                                                '*'), recursive=True), [])
        self.assertFalse(glob.glob(os.path.join(self.drive_c, '**', 'Klemora.lnk'),
                                   recursive=True))
        self.assertEqual(self.registry(SETTINGS), {'Comment': ('REG_SZ', 'added by hand')})
        self.assertEqual(self.installed_products(), [])
        texts = self.log_texts()
        self.assertEqual((texts[0], texts[-1]),
                         (f'Start Pendra Rev: 1.22, server {address}', 'stop request'))

    def test_properties_the_settings_cannot_hold_refuse_the_install_and_leave_nothing(self):
        for properties, message in (
                (['POLLMINUTES=abc'], 'POLLMINUTES=abc: must be a whole number of minutes from '
                                      '1 to 71582'),
                (['LOGDIR=Q:\\Logs', 'RUNONCE=yes'], 'LOGDIR=Q:\\Logs: drive Q:\\ does not exist')):
            code, log = self.msiexec('/i', self.package('1.22'), *properties)
            self.assertEqual(code, INSTALL_FAILURE)
            self.assertIn('Pendra cannot be installed with these settings:', log)
            self.assertIn(message, log)
            self.assertIsNone(self.registry(SERVICE))
            self.assertIsNone(self.registry(SETTINGS))
            self.assertFalse(os.path.exists(self.program_file('Pendra.exe')))
        self.assertIn('RUNONCE=yes: must be 0 or 1', log)
        # Nothing left behind stands in the way of the next install; where the dial-up
        # manager exists, the service depends on it, as Pendra.exe -install declares.
        self.wine('sc', 'create', 'RasMan', 'binpath=', 'C:\\windows\\system32\\cmd.exe')
        testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        self.install('1.22', f'NTPSERVER={testhost("peer", HOST)}', f'NTPPORT={PORT}',
                     'LOGDIR=C:\\Pendra Logs')
        self.assertEqual(self.registry(SERVICE)['DependOnService'], ('REG_MULTI_SZ', 'RasMan'))
        self.assertTrue(wait_for(lambda: self.log_texts(os.path.join(self.drive_c, 'Pendra Logs')),
                                 15))

    def test_w32time_nosync_records_the_windows_time_type_and_the_removal_puts_it_back(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        server = (f'NTPSERVER={address}', f'NTPPORT={PORT}')
        # Wine has no Windows time service: a stand-in for its key.
        self.wine('reg', 'add', W32TIME, '/v', 'Type', '/d', 'NT5DS', '/f')
        nt5ds = {'Type': ('REG_SZ', 'NT5DS')}

        code, log = self.msiexec('/i', self.package('1.22'), *server, 'W32TIME=off')
        self.assertEqual(code, INSTALL_FAILURE)
        self.assertIn('Pendra cannot be installed with these settings:\nW32TIME=off: must be keep '
                      'or nosync', log.replace('\r\n', '\n'))
        self.assertIsNone(self.registry(SERVICE))
        self.assertEqual(self.registry(W32TIME), nt5ds)

        # A failure after the change rolls it back: here a service of the same name, already
        # registered, that cannot start.
        self.wine('sc', 'create', 'Pendra', 'binpath=', 'C:\\missing.exe')
        code, log = self.msiexec('/i', 'C:\\Pendra-1.22-x64.msi', *server, 'W32TIME=nosync')
        self.assertNotEqual(code, 0)
        self.assertIn('Pendra changed: type sz NoSync', log)
        self.assertEqual(self.registry(W32TIME), nt5ds)
        self.assertIsNone(self.registry(SETTINGS))
        self.wine('sc', 'delete', 'Pendra', check=False)  # if the rollback left it

        log = self.install('1.22', *server)
        self.assertIn('Pendra setting W32TIME = keep: the Windows time service is left as it is\n',
                      log)
        self.assertEqual(self.registry(W32TIME), nt5ds)
        self.assertNotIn('W32TimeTypeBefore', self.registry(SETTINGS))

        log = self.install('1.23', 'W32TIME=nosync', 'METRICSFILE=C:\\metrics\\pendra.prom',
                           'NTS=1', 'NTSCERTS=C:\\certs\\ca.pem')
        settings = self.registry(SETTINGS)
        self.assertEqual(settings['MetricsFile'], ('REG_SZ', 'C:\\metrics\\pendra.prom'))
        self.assertEqual(settings['UseNTS'], ('REG_DWORD', '0x1'))
        self.assertEqual(settings['NTSTrustedCertificates'], ('REG_SZ', 'C:\\certs\\ca.pem'))
        self.assertIn('Pendra setting W32TIME = nosync: the Windows time service\'s Type NT5DS is '
                      'recorded as W32TimeTypeBefore and set to NoSync', log)
        # Without w32tm, the service takes the new type when it next starts.
        self.assertIn('w32tm.exe is missing', log)
        self.assertEqual(self.registry(W32TIME), {'Type': ('REG_SZ', 'NoSync')})
        self.assertEqual(self.registry(SETTINGS)['W32TimeTypeBefore'], ('REG_SZ', 'NT5DS'))

        # Asked again in an upgrade: the record keeps the type from before NoSync, and NoSync
        # stays through the removal of the package replaced (which Wine's installer does not
        # tell that it is part of an upgrade: it puts the type back, the new package sets both
        # again).
        log = self.install('1.24', 'W32TIME=nosync')
        self.assertIn('Type is NoSync already (the removal puts back NT5DS)', log)
        self.assertEqual(self.registry(W32TIME), {'Type': ('REG_SZ', 'NoSync')})
        self.assertEqual(self.registry(SETTINGS)['W32TimeTypeBefore'], ('REG_SZ', 'NT5DS'))
        self.assertEqual(self.installed_products(), ['DisplayName    REG_SZ    Pendra'])

        # Where w32tm exists, it asks the service to take the type at once. A stand-in that
        # ends with 2: klemora-driver, which refuses the arguments.
        shutil.copy(DRIVER, os.path.join(self.drive_c, 'windows', 'system32', 'w32tm.exe'))
        code, log = self.msiexec('/x', 'C:\\Pendra-1.24-x64.msi')
        self.assertEqual(code, 0, log[-3000:])
        self.assertIn("Pendra removal: the Windows time service's Type goes back to NT5DS", log)
        self.assertIn('Pendra: w32tm /config /update ended with 2;', log)
        self.assertEqual(self.registry(W32TIME), nt5ds)
        self.assertIn(self.registry(SETTINGS), (None, {}))

    def test_the_x86_package_holds_the_32_bit_programs_service_and_settings(self):
        # 32-bit programs cannot run here: the x86 package is read, not installed.
        if not os.path.isfile(os.path.join(X86_BIN, 'Pendra.exe')):
            self.skipTest('the windows-x86 build is missing')
        with tempfile.TemporaryDirectory() as out:
            built = package('1.22', 'x86', X86_BIN, out)
            self.assertEqual(os.path.basename(built), 'Pendra-1.22-x86.msi')

            def table(name):
                done = subprocess.run(['msiinfo', 'export', built, name], capture_output=True,
                                      text=True, check=True, timeout=60)
                return [line.split('\t') for line in done.stdout.splitlines()[3:]]

            summary = subprocess.run(['msiinfo', 'suminfo', built], capture_output=True,
                                     text=True, check=True, timeout=60).stdout
            self.assertRegex(summary, r'Template: Intel;1033')
            files = {row[0]: row for row in table('File')}
            self.assertEqual(sorted(files), sorted(os.path.basename(f) for f in PROGRAM_FILES))
            self.assertEqual(int(files['Pendra.exe'][3]),
                             os.path.getsize(os.path.join(X86_BIN, 'Pendra.exe')))
            # No 64-bit component, and the 32-bit program folder.
            self.assertTrue(all(int(row[3]) & 256 == 0 for row in table('Component')))
            directories = {row[0]: row[1] for row in table('Directory')}
            self.assertEqual(directories['TarnwickFolder'], 'ProgramFilesFolder')
            self.assertEqual(table('ServiceInstall'), [[
                'PendraService', 'Pendra', 'Pendra', '16', '2', '1', '',
                '[PendraDependencies][~][~]', '', '', '', 'PendraProgram', '']])
            self.assertEqual([row[1:5] for row in table('ServiceControl')],
                             [['Pendra', '163', '', '1']])
            self.assertEqual(sorted(row[3] for row in table('Registry')), sorted(
                ['AppRoot', 'NTPServerName', 'NTPPollMilliseconds', 'RunOnce', 'MaxAdjustSeconds',
                 'WriteLogEntries', 'LogDirectory', 'WaitForRAS', 'RASPollMilliseconds',
                 'LogFileCount', 'NTPServerPort', 'NTPSamples', 'MaxSlewMilliseconds',
                 'MetricsFile', 'UseNTS', 'NTSTrustedCertificates', 'EventMessageFile',
                 'TypesSupported']))
            self.assertEqual({row[0]: row[3] for row in table('CustomAction')},
                             {'PrepareSettings': 'PrepareSettings',
                              'KeepProgramFolder': 'KeepProgramFolder',
                              'RememberProgramFolder': '[INSTALLDIR]',
                              'CloseKlemora': 'CloseKlemora',
                              'PlanWindowsTimeRestore': 'PlanWindowsTimeRestore',
                              'ChangeWindowsTime': 'ChangeWindowsTime',
                              'UndoWindowsTimeChange': 'ChangeWindowsTime'})
            # The undo runs only in a rollback (msidbCustomActionTypeRollback), elevated.
            types = {row[0]: int(row[1]) for row in table('CustomAction')}
            self.assertEqual(types['UndoWindowsTimeChange'] & 0xd00, 0xd00)
            self.assertEqual(types['ChangeWindowsTime'] & 0xd00, 0xc00)
            # The custom actions' DLL in the package is a 32-bit one (machine 0x14c).
            dll = subprocess.run(['msiinfo', 'extract', built, 'Binary.PendraSetup'],
                                 capture_output=True, check=True, timeout=60).stdout
            header = int.from_bytes(dll[0x3c:0x40], 'little')
            self.assertEqual(dll[header:header + 6], b'PE\0\0\x4c\x01')


if __name__ == '__main__':
    unittest.main()

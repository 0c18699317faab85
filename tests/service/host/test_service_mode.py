#!/usr/bin/env python3
"""Pendra.exe as a Windows NT service under Wine's service control manager.

Installs and removes the real program with its own command line, starts and stops it with
`net start` / `net stop`, reads what the manager holds with service-query.exe, and the log
file. The time server is the fake SNTP server on a test host. Needs root.
"""
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..',
                                'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import remove_settings, testhost, wine, write_settings  # noqa: E402

PENDRA = os.environ.get('PENDRA_EXE', '')
QUERY = os.environ.get('PENDRA_SERVICE_QUERY', '')
PREFIX = os.environ.get('PENDRA_WINEPREFIX', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '12'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11125'))
STOPPED, RUNNING = 1, 4


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(PENDRA and QUERY and PREFIX, 'PENDRA_EXE, PENDRA_SERVICE_QUERY, '
                     'PENDRA_WINEPREFIX not set')
class ServiceModeTest(unittest.TestCase):

    def setUp(self):
        self.folder = 'pendra-svc'
        self.install_dir = os.path.join(PREFIX, 'drive_c', self.folder)
        shutil.rmtree(self.install_dir, ignore_errors=True)
        os.makedirs(os.path.join(self.install_dir, 'logs'))
        shutil.copy(PENDRA, self.install_dir)
        shutil.copy(QUERY, self.install_dir)
        self.messages = os.path.join(tempfile.mkdtemp(prefix='pendra-boxes-'), 'boxes.log')
        self.addCleanup(shutil.rmtree, os.path.dirname(self.messages), True)
        self.addCleanup(shutil.rmtree, self.install_dir, True)
        self.remove_service()
        self.addCleanup(self.remove_service)
        self.addCleanup(self.wine, 'net', 'stop', 'Pendra', check=False, timeout=60)

    def windows(self, name):
        return f'C:\\{self.folder}\\{name}'

    def wine(self, *args, check=True, timeout=60, env=None):
        return wine(PREFIX, *args, check=check, timeout=timeout, env=env)

    def pendra(self, *args, path=None):
        """Runs Pendra.exe with its boxes recorded; returns (exit code, boxes)."""
        if os.path.exists(self.messages):
            os.remove(self.messages)
        env = dict(os.environ, PENDRA_MESSAGE_LOG=self.messages)
        done = self.wine(path or self.windows('Pendra.exe'), *args, check=False, env=env)
        boxes = []
        if os.path.exists(self.messages):
            with open(self.messages, encoding='latin-1') as log:
                boxes = [tuple(record.split('|', 2)) for record in log.read().split('\f')
                         if record]
        return done.returncode, boxes

    def query(self, *args):
        done = self.wine(self.windows('service-query.exe'), *map(str, args), check=False)
        values = dict(line.split('=', 1) for line in done.stdout.splitlines() if '=' in line)
        return done.returncode, values

    def remove_service(self):
        self.wine('sc', 'delete', 'Pendra', check=False)

    def configure(self, server, **overrides):
        values = {'WriteLogEntries': 1, 'LogDirectory': self.windows('logs'), 'WaitForRAS': 0,
                  'RunOnce': 0, 'NTPServerName': server, 'NTPPollMilliseconds': 60000,
                  'NTPServerPort': PORT}
        values.update(overrides)
        write_settings(PREFIX, self.install_dir, values)

    def log_texts(self):
        return pendra_testlib.log_texts(os.path.join(self.install_dir, 'logs'))

    def wait_for_log(self, predicate, seconds=15):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            texts = self.log_texts()
            if predicate(texts):
                return texts
            time.sleep(0.1)
        return self.log_texts()

    def start_fake_server(self):
        address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        work = tempfile.mkdtemp(prefix='pendra-svc-fake-')
        self.addCleanup(shutil.rmtree, work, True)
        pid = testhost('fake', HOST, PORT, work)
        self.addCleanup(testhost, 'stop', pid)
        return address

    # ---------------------------------------------------------------------------------

    def test_install_registers_an_automatic_service_under_the_system_account(self):
        code, boxes = self.pendra('-install')
        self.assertEqual(code, 0)
        self.assertEqual(boxes, [('Pendra', '0', 'NTP service successfully installed\n')])
        code, config = self.query('config', 'Pendra')
        self.assertEqual(code, 0)
        self.assertEqual(config, {'path': self.windows('Pendra.exe'), 'start': '2',
                                  'type': '16', 'account': 'LocalSystem',
                                  'dependencies': ''})
        # An event source whose texts are in Pendra.exe's message table; -remove takes it away.
        source = r'HKLM\System\CurrentControlSet\Services\EventLog\Application\Pendra'
        done = self.wine('reg', 'query', source)
        self.assertRegex(done.stdout, r'EventMessageFile\s+REG_EXPAND_SZ\s+' +
                         re.escape(self.windows('Pendra.exe')) + r'\s')
        self.assertRegex(done.stdout, r'TypesSupported\s+REG_DWORD\s+0x7\s')
        self.assertEqual(self.pendra('-removeq'), (0, []))
        self.assertNotEqual(self.wine('reg', 'query', source, check=False).returncode, 0)

    def test_installing_twice_fails_with_the_privileges_box(self):
        self.assertEqual(self.pendra('-installq'), (0, []))
        code, boxes = self.pendra('/install')
        self.assertEqual(code, 2)
        self.assertEqual(boxes, [('Pendra', '48',
                                  'Unable to install service - check privileges\n')])

    def test_the_dial_up_manager_becomes_a_dependency_when_it_exists(self):
        self.wine('sc', 'create', 'RasMan', 'binpath=', 'C:\\windows\\system32\\cmd.exe')
        self.addCleanup(self.wine, 'sc', 'delete', 'RasMan', check=False)
        self.assertEqual(self.pendra('-i'), (0, [('Pendra', '0',
                                                  'NTP service successfully installed\n')]))
        # Wine's QueryServiceConfigA leaves the dependencies out; the registration holds them.
        done = self.wine('reg', 'query', r'HKLM\System\CurrentControlSet\Services\Pendra',
                         '/v', 'DependOnService')
        self.assertRegex(done.stdout, r'DependOnService\s+REG_MULTI_SZ\s+RasMan\s*$')

    def test_remove_deletes_the_service_and_a_second_remove_fails(self):
        self.pendra('-installq')
        self.assertEqual(self.pendra('-remove'),
                         (0, [('Pendra', '0', 'NTP service successfully removed\n')]))
        self.assertEqual(self.query('status', 'Pendra')[0], 1)
        self.assertEqual(self.pendra('-removeq'),
                         (2, [('Pendra', '48', 'Unable to remove service - check privileges\n')]))

    def test_the_service_synchronises_and_stops_on_request(self):
        address = self.start_fake_server()
        self.configure(address)
        self.pendra('-installq')
        self.wine('net', 'start', 'Pendra')
        texts = self.wait_for_log(lambda t: any(x.startswith('time reset: ') for x in t))
        self.assertEqual(texts[0], f'Start Pendra Rev: 1.22, server {address}')
        self.assertRegex(texts[1], r'^time reset: -?0\.0\d\d delay: -?0\.0\d\d$')
        self.assertEqual(self.query('status', 'Pendra')[1]['state'], str(RUNNING))
        self.wine('net', 'stop', 'Pendra')
        code, status = self.query('wait', 'Pendra', STOPPED, 15000)
        self.assertEqual(code, 0, status)
        self.assertEqual((status['win32'], status['specific']), ('0', '1'))
        self.assertEqual(self.log_texts()[-1], 'stop request')

    def test_a_configuration_failure_stops_the_service(self):
        remove_settings(PREFIX)
        self.pendra('-installq')
        self.wine('net', 'start', 'Pendra', check=False)
        code, status = self.query('wait', 'Pendra', STOPPED, 15000)
        self.assertEqual(code, 0, status)
        self.assertEqual(status['specific'], '1')
        self.assertEqual(self.log_texts(), [])

    def test_a_path_with_blanks_is_quoted_and_the_service_starts_from_it(self):
        folder = os.path.join(PREFIX, 'drive_c', 'Program Files', 'Pendra Test')
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        self.addCleanup(shutil.rmtree, folder, True)
        shutil.copy(PENDRA, folder)
        program = 'C:\\Program Files\\Pendra Test\\Pendra.exe'
        self.assertEqual(self.pendra('-installq', path=program), (0, []))
        self.assertEqual(self.query('config', 'Pendra')[1]['path'],
                         '"' + program.replace('\\', '\\\\') + '"')
        address = self.start_fake_server()
        self.configure(address)
        self.wine('net', 'start', 'Pendra')
        texts = self.wait_for_log(lambda t: any(x.startswith('time reset: ') for x in t))
        self.assertTrue(any(x.startswith('time reset: ') for x in texts), texts)

    def test_started_outside_the_service_manager_it_ends_with_2(self):
        self.assertEqual(self.pendra(), (2, []))

    def test_the_boxes_of_the_real_program(self):
        code, boxes = self.pendra('-help', 'ignored')
        self.assertEqual(code, 0)
        self.assertEqual(boxes[0][:2], ('Pendra', '0'))
        self.assertTrue(boxes[0][2].startswith('Pendra - NTP time synchronization service\n'))
        self.assertEqual(self.pendra('-x'), (2, [('Pendra', '48', 'Unrecognized argument: -x')]))


if __name__ == '__main__':
    unittest.main()

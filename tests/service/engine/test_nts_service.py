#!/usr/bin/env python3
"""The time service with UseNTS under Wine against chronyd as an NTS server on a test host, with
certificates from a test CA that the test makes with openssl. The service runs through the sync
driver in a Wine prefix of its own, and the test reads the day's log and the status record.
Needs root (test hosts are network namespaces). Never changes the clock: Wine applies none."""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..',
                                'support'))
from pendra_testlib import (log_texts, make_ca, make_server_certificate,  # noqa: E402
                            reported, testhost, wait_for, wine, windows_path,
                            write_settings)

DRIVER = os.environ.get('PENDRA_SYNC_DRIVER', '')
PENDRA = os.environ.get('PENDRA_EXE', '')
PREFIX = os.environ.get('NTS_WINEPREFIX', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '16'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11129'))
STATUS_KEY = r'HKLM\SOFTWARE\Tarnwick\NTP Client\Status'
VALID = ('20260101000000Z', '20991231000000Z')

# A UDP relay on the test host's second address to chronyd on its first, which flips the last
# byte of every reply (inside the authenticator's tag); it ends after 60 s.
RELAY = """
import socket, sys, time
relay = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
relay.bind((sys.argv[1], int(sys.argv[3])))
upstream = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
upstream.settimeout(2)
end = time.monotonic() + 60
relay.settimeout(1)
open(sys.argv[4], 'w').close()
while time.monotonic() < end:
    try:
        request, client = relay.recvfrom(4096)
    except socket.timeout:
        continue
    upstream.sendto(request, (sys.argv[2], int(sys.argv[3])))
    try:
        reply = bytearray(upstream.recv(4096))
    except socket.timeout:
        continue
    reply[-1] ^= 1
    relay.sendto(bytes(reply), client)
"""


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(DRIVER and PENDRA and PREFIX,
                     'PENDRA_SYNC_DRIVER, PENDRA_EXE and NTS_WINEPREFIX not set')
class NtsServiceTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='pendra-nts-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.logs = os.path.join(self.work, 'logs')
        os.mkdir(self.logs)
        self.address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        self.second = testhost('second6', HOST)
        make_ca(self.work, 'ca')
        self.chronyd = None

    def serve(self, certificate, extra='', new_keys=False):
        """chronyd as an NTS server with the named certificate; a restart keeps its keys
        (which it writes when it ends) unless new_keys."""
        directory = os.path.join(self.work, 'chrony')
        if self.chronyd:
            testhost('stop', self.chronyd)
        if new_keys:
            os.remove(os.path.join(directory, 'ntskeys'))
        os.makedirs(directory, exist_ok=True)
        for suffix in ('crt', 'key'):
            shutil.copyfile(os.path.join(self.work, f'{certificate}.{suffix}'),
                            os.path.join(directory, f'nts.{suffix}'))
        with open(os.path.join(directory, 'chrony.extra'), 'w', encoding='ascii') as out:
            out.write(extra)
        self.chronyd = testhost('chrony', HOST, PORT, directory)
        pid = self.chronyd
        self.addCleanup(lambda: self.chronyd == pid and testhost('stop', pid))

    def configure(self, **overrides):
        values = {
            'WriteLogEntries': 1,
            'LogDirectory': windows_path(self.logs),
            'WaitForRAS': 0,
            'RunOnce': 1,
            'NTPServerName': self.address,
            'NTPPollMilliseconds': 600000,
            'NTPServerPort': PORT,
            'UseNTS': 1,
            'NTSTrustedCertificates': windows_path(os.path.join(self.work, 'ca.crt')),
        }
        values.update(overrides)
        write_settings(PREFIX, self.work, values)

    def run_service(self, *args, timeout=60):
        return wine(PREFIX, DRIVER, *map(str, args), check=False, timeout=timeout).returncode

    def run_while(self, during, seconds):
        """Runs the service until during() has returned (at most seconds), then stops it;
        returns its exit code."""
        stop = os.path.join(self.work, 'stop')
        result = {}
        runner = threading.Thread(target=lambda: result.update(code=self.run_service(
            seconds * 1000, '--stop-file', windows_path(stop), timeout=seconds + 60)))
        runner.start()
        try:
            during()
        finally:
            with open(stop, 'w', encoding='ascii'):
                pass
            runner.join(seconds + 70)
        return result.get('code')

    def await_log(self, condition, seconds=30):
        self.assertTrue(wait_for(lambda: condition(self.log_lines()), seconds), self.log_lines())

    def log_lines(self):
        return log_texts(self.logs)

    def status(self, name):
        done = wine(PREFIX, 'reg', 'query', STATUS_KEY, '/v', name, check=False)
        fields = done.stdout.split()
        return fields[-1] if done.returncode == 0 and len(fields) >= 3 else None

    def test_the_clock_is_set_from_authenticated_replies_and_one_exchange_serves_many_polls(self):
        make_server_certificate(self.work, 'server', self.address, VALID)
        self.serve('server')
        self.configure(RunOnce=0, NTPPollMilliseconds=300)
        enough = lambda lines: len([line for line in lines if reported(line)]) >= 8  # noqa: E731
        self.assertEqual(self.run_while(lambda: self.await_log(enough), 40), 0)
        lines = self.log_lines()
        exchanges = [line for line in lines if line.startswith('NTS key exchange')]
        self.assertEqual(exchanges, [f'NTS key exchange with {self.address}: 8 cookies, '
                                     f'NTP server {self.address} port {PORT}'], lines)
        resets = [line for line in lines if reported(line)]
        self.assertGreaterEqual(len(resets), 8, lines)
        self.assertEqual(self.status('Authentication'), 'NTS')

        # -query -nts asks by NTS whatever UseNTS says, with the settings' certificates.
        self.configure(UseNTS=0)
        done = wine(PREFIX, PENDRA, '-query', '-nts', self.address, '2', check=False,
                    timeout=90)
        lines = done.stdout.replace('\r\n', '\n').splitlines()
        self.assertEqual(done.returncode, 0, lines)
        self.assertEqual(lines[:2], [exchanges[0], f'asking {self.address} ({self.address}) on '
                                                   f'port {PORT}, 2 samples by NTS'])
        samples = [line for line in lines if line.startswith('sample ')]
        self.assertEqual(len(samples), 2, lines)
        for line in samples:
            self.assertTrue(line.endswith(', authenticated (NTS)'), lines)

    def test_untrusted_misnamed_or_expired_certificates_and_an_unreadable_file_set_nothing(self):
        make_ca(self.work, 'other')
        make_server_certificate(self.work, 'misnamed', self.address, VALID, 'DNS:other.test')
        make_server_certificate(self.work, 'expired', self.address,
                                ('20200101000000Z', '20210101000000Z'))
        make_server_certificate(self.work, 'server', self.address, VALID)
        missing = windows_path(os.path.join(self.work, 'missing.pem'))
        other = windows_path(os.path.join(self.work, 'other.crt'))
        cases = [
            ('misnamed', {}, "the server's certificate is not trusted: IP address mismatch"),
            ('expired', {}, "the server's certificate is not trusted: certificate has expired"),
            ('server', {'NTSTrustedCertificates': other},
             "the server's certificate is not trusted: unable to get local issuer certificate"),
            ('server', {'NTSTrustedCertificates': missing},
             # The system's own text for its code (Wine's words; Windows says "The system
             # cannot find the file specified."), not an errno's.
             f'cannot read the trusted certificates in {missing}: File not found.'),
        ]
        for certificate, overrides, why in cases:
            with self.subTest(certificate=certificate, why=why):
                for path in glob.glob(os.path.join(self.logs, '*')):
                    os.remove(path)
                self.serve(certificate)
                self.configure(**overrides)
                self.assertEqual(self.run_service(2500), 0)
                lines = self.log_lines()
                self.assertIn(f'NTS key exchange with {self.address} ({self.address}) failed: '
                              f'{why}', lines)
                self.assertFalse([line for line in lines if reported(line)], lines)

    def test_a_reply_whose_authenticator_was_changed_is_rejected(self):
        make_server_certificate(self.work, 'server', self.address, VALID)
        # The key exchange names the relay's address as the NTP server.
        self.serve('server', f'ntsntpserver {self.second}\n')
        ready = os.path.join(self.work, 'relay.ready')
        relay = subprocess.Popen(['ip', 'netns', 'exec', f'pendra-t{HOST}', sys.executable, '-c',
                                  RELAY, self.second, testhost('peer6', HOST), str(PORT), ready])
        self.addCleanup(relay.wait, 70)
        self.addCleanup(relay.kill)
        self.assertTrue(wait_for(lambda: os.path.exists(ready), 10))
        self.configure()
        self.assertEqual(self.run_service(13000), 0)
        lines = self.log_lines()
        self.assertIn(f'NTS key exchange with {self.address}: 8 cookies, NTP server '
                      f'{self.second} port {PORT}', lines)
        rejected = [line for line in lines if line.startswith('reply rejected: not authenticated')]
        self.assertTrue(rejected, lines)
        self.assertFalse([line for line in lines if reported(line)], lines)

    def test_a_closed_key_exchange_port_fails_over_and_a_nak_brings_a_new_exchange(self):
        make_server_certificate(self.work, 'server', self.address, VALID,
                                'DNS:ntp.test,IP:{address},IP:' + self.second)
        self.serve('server')
        # Nothing listens on the second address: its key exchange is refused.
        self.configure(NTPServerName=f'[{self.second}] {self.address}', RunOnce=0,
                       NTPPollMilliseconds=1000)
        def during():
            self.await_log(lambda lines: any(reported(line) for line in lines))
            # chronyd again with new keys: the cookies it gave are no use any more.
            self.serve('server', new_keys=True)
            self.await_log(lambda lines: 'NTS NAK' in ' '.join(lines) and
                           reported(lines[-1]) is not None)

        self.assertEqual(self.run_while(during, 50), 0)
        lines = self.log_lines()
        self.assertTrue(any(line.startswith(f'NTS key exchange with {self.second} '
                                            f'({self.second}) failed: connect: ')
                            for line in lines), lines)
        nak = lines.index(f'NTS NAK from {self.address}: its cookies are spent')
        after = lines[nak + 1:]
        self.assertTrue(after and after[0].startswith(f'NTS key exchange with {self.address}:'),
                        lines)
        self.assertTrue(any(reported(line) for line in after), lines)


if __name__ == '__main__':
    unittest.main()

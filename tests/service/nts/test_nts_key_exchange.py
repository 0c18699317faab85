#!/usr/bin/env python3
"""The NTS key exchange's TLS client and the authenticated exchange against chronyd as an NTS
server on a test host, natively through nts-probe. The certificates come from a test CA that the
test makes with openssl: one for the test host's address and the name ntp.test, one whose
validity ended, and a CA that signed neither.

PENDRA_TEST_HOST and PENDRA_TEST_PORT choose the test host and chronyd's NTP port."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'support'))
from pendra_testlib import make_ca, make_server_certificate, testhost  # noqa: E402

HOST = int(os.environ.get('PENDRA_TEST_HOST', '15'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11128'))
PROBE = os.environ.get('PENDRA_NTS_PROBE', '')

class NtsKeyExchangeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PROBE:
            raise unittest.SkipTest('PENDRA_NTS_PROBE is not set')
        cls.work = tempfile.mkdtemp(prefix='pendra-nts-')
        cls.address = testhost('create', HOST)
        make_ca(cls.work, 'ca')
        make_ca(cls.work, 'other')
        make_server_certificate(cls.work, 'current', cls.address,
                                ('20260101000000Z', '20991231000000Z'))
        make_server_certificate(cls.work, 'expired', cls.address,
                                ('20200101000000Z', '20210101000000Z'))
        cls.chronyd = None

    @classmethod
    def tearDownClass(cls):
        cls.stop_server()
        testhost('delete', HOST)

    @classmethod
    def stop_server(cls):
        if cls.chronyd:
            testhost('stop', cls.chronyd)
            cls.chronyd = None

    @classmethod
    def serve(cls, certificate):
        """chronyd as an NTS server with this certificate."""
        cls.stop_server()
        directory = os.path.join(cls.work, f'chrony-{certificate}')
        os.makedirs(directory, exist_ok=True)
        for suffix in ('crt', 'key'):
            with open(os.path.join(cls.work, f'{certificate}.{suffix}'), 'rb') as source, \
                    open(os.path.join(directory, f'nts.{suffix}'), 'wb') as target:
                target.write(source.read())
        cls.chronyd = testhost('chrony', HOST, PORT, directory)

    def probe(self, *options, ca='ca'):
        done = subprocess.run([PROBE, self.address, '4460', os.path.join(self.work, f'{ca}.crt'),
                               *options], capture_output=True, text=True, timeout=30,
                              check=False)
        return done.returncode, done.stdout + done.stderr

    def test_a_trusted_server_gives_cookies_keys_and_an_authenticated_reply(self):
        self.serve('current')
        for options in ((), ('--name', 'ntp.test')):
            code, output = self.probe(*options)
            self.assertEqual(code, 0, output)
            # chronyd names its own port where it is not 123, and gives eight cookies.
            self.assertIn(f'key exchange: 8 cookies, NTP server {self.address} port {PORT}',
                          output)
            self.assertIn('authenticated: 1 new cookies', output)

    def test_an_untrusted_or_misnamed_or_expired_certificate_gives_no_keys(self):
        self.serve('current')
        code, output = self.probe(ca='other')
        self.assertEqual(code, 1, output)
        self.assertIn("key exchange failed: the server's certificate is not trusted: "
                      'unable to get local issuer certificate', output)
        code, output = self.probe('--name', 'other.test')
        self.assertEqual(code, 1, output)
        self.assertIn('not trusted: hostname mismatch', output)
        # A file that is missing, empty or no PEM: said so, and no keys.
        with open(os.path.join(self.work, 'empty.crt'), 'w', encoding='ascii'):
            pass
        with open(os.path.join(self.work, 'garbage.crt'), 'w', encoding='ascii') as garbage:
            garbage.write('-----BEGIN CERTIFICATE-----\nbm90IGEgY2VydGlmaWNhdGU=\n'
                          '-----END CERTIFICATE-----\n')
        for ca, why in (('missing', 'No such file or directory'),
                        ('empty', 'not a file of PEM certificates (no certificate or crl found)'),
                        ('garbage', 'not a file of PEM certificates (too long)')):
            code, output = self.probe(ca=ca)
            self.assertEqual(code, 1, output)
            self.assertIn(f'key exchange failed: cannot read the trusted certificates in '
                          f'{os.path.join(self.work, ca)}.crt: {why}', output)

        self.serve('expired')
        code, output = self.probe()
        self.assertEqual(code, 1, output)
        self.assertIn('not trusted: certificate has expired', output)
        # A clock known to be wrong skips the times only: the name is still checked.
        code, output = self.probe('--no-time-check')
        self.assertEqual(code, 0, output)
        self.assertIn('authenticated: 1 new cookies', output)
        code, output = self.probe('--no-time-check', '--name', 'other.test')
        self.assertEqual(code, 1, output)
        self.assertIn('hostname mismatch', output)


if __name__ == '__main__':
    unittest.main()

#!/usr/bin/env python3
"""Signed packages from tools/package: Authenticode signatures on the package and on the code in
it, by a throwaway certificate, time-stamped by openssl ts on loopback. No Wine needed."""
import glob
import http.server
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from pendra_testlib import ROOT  # noqa: E402

BIN = os.environ.get('PENDRA_BIN_DIR', '')
PASSWORD = 'correct horse'
TOOLS = ('wixl', 'msibuild', 'msiinfo', 'msiextract', 'openssl', 'osslsigncode')


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=90, check=False,
                          **options)


class TimeStampAuthority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        done = subprocess.run(['openssl', 'ts', '-reply', '-config', self.server.config,
                               '-queryfile', '/dev/stdin', '-out', '/dev/stdout'],
                              input=self.rfile.read(int(self.headers['Content-Length'])),
                              capture_output=True, timeout=30, check=False)
        self.send_response(200 if done.returncode == 0 else 500)
        self.send_header('Content-Type', 'application/timestamp-reply')
        self.send_header('Content-Length', str(len(done.stdout)))
        self.end_headers()
        self.wfile.write(done.stdout)

    def log_message(self, *args):
        pass


@unittest.skipUnless(BIN, 'PENDRA_BIN_DIR not set')
@unittest.skipUnless(all(shutil.which(tool) for tool in TOOLS), 'needs ' + ', '.join(TOOLS))
class SigningTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='pendra-sign-')
        self.addCleanup(shutil.rmtree, self.work, True)
        for name, usage in (('signer', 'codeSigning'), ('tsa', 'critical,timeStamping')):
            self.openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', f'{name}.key',
                         '-out', f'{name}.pem', '-days', '2', '-subj', f'/CN=Pendra test {name}',
                         '-addext', f'extendedKeyUsage={usage}')
        self.openssl('pkcs12', '-export', '-inkey', 'signer.key', '-in', 'signer.pem',
                     '-out', 'signer.pfx', '-passout', f'pass:{PASSWORD}')
        self.pfx = self.path('signer.pfx')

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, data):
        with open(self.path(name), 'wb') as out:
            out.write(data)

    def openssl(self, *args):
        self.assertEqual(run('openssl', *args, cwd=self.work).returncode, 0, args)

    def start_time_stamp_authority(self):
        self.write('tsa.cnf', f'[tsa]\ndefault_tsa = t\n[t]\nserial = {self.path("serial")}\n'
                   f'signer_cert = {self.path("tsa.pem")}\nsigner_key = {self.path("tsa.key")}\n'
                   'signer_digest = sha256\ndigests = sha256\ndefault_policy = 1.2.3.4\n'.encode())
        self.write('serial', b'01\n')
        server = http.server.HTTPServer(('127.0.0.1', 0), TimeStampAuthority)
        server.config = self.path('tsa.cnf')
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        return f'http://127.0.0.1:{server.server_address[1]}/'

    def package(self, *options, password=PASSWORD):
        """Runs tools/package; returns its result and the packages it left."""
        # The time stamps come from loopback, never through a proxy.
        env = {k: v for k, v in os.environ.items()
               if 'proxy' not in k.lower() and k != 'PENDRA_SIGN_PASSWORD'}
        env.update({'PENDRA_SIGN_PASSWORD': password} if password is not None else {})
        # The archive of the build machine may give only an older OpenSSL's source.
        done = run(os.path.join(ROOT, 'tools', 'package'), '--no-build', '--arch', 'x64', '--bin',
                   BIN, '--version', '1.22', '--out', self.path('out'), '--allow-older-openssl',
                   *options, env=env)
        return done, glob.glob(self.path('out/*.msi'))

    def verify(self, path):
        done = run('osslsigncode', 'verify', '-CAfile', self.path('signer.pem'),
                   '-TSA-CAfile', self.path('tsa.pem'), '-in', path)
        return done.returncode, done.stdout + done.stderr

    def test_the_package_and_the_code_in_it_carry_time_stamped_signatures(self):
        done, built = self.package('--sign-pfx', self.pfx,
                                   '--timestamp', self.start_time_stamp_authority())
        self.assertEqual((done.returncode, built), (0, [done.stdout.strip()]), done.stderr)
        self.assertNotIn('not signed', done.stderr)
        self.assertEqual(run('msiextract', '-C', self.path('files'), built[0]).returncode, 0)
        with open(self.path('PendraSetup.dll'), 'wb') as dll:
            subprocess.run(['msiinfo', 'extract', built[0], 'Binary.PendraSetup'], stdout=dll,
                           timeout=60, check=True)
        for path in [built[0], self.path('PendraSetup.dll'), self.path('files/Tarnwick/Pendra/'
                     'Pendra.exe'), self.path('files/Tarnwick/Pendra/Klemora.exe')]:
            code, report = self.verify(path)
            self.assertEqual(code, 0, report)
            self.assertRegex(report, r'Message digest algorithm\s*: SHA256')
            self.assertIn('Subject: /CN=Pendra test signer', report)
            # verify passes even with a time stamp it could not check: the line tells.
            self.assertIn('Timestamp Server Signature verification: ok', report)
            with open(path, 'rb') as original:
                data = bytearray(original.read())
            data[len(data) // 2] ^= 1
            self.write('changed', data)
            self.assertNotEqual(self.verify(self.path('changed'))[0], 0, path)
        # Signed copies went into the package: the build's own files stay unsigned.
        for name in ('Pendra.exe', 'Klemora.exe', 'PendraSetup.dll'):
            self.assertNotEqual(self.verify(os.path.join(BIN, name))[0], 0, name)

    def test_without_a_usable_certificate_no_package_is_signed(self):
        refusing = socket.socket()  # bound, never listening: connections are refused
        refusing.bind(('127.0.0.1', 0))
        self.addCleanup(refusing.close)
        for options, password, message in (
                (['--sign-pfx', self.pfx], 'wrong horse', 'with PENDRA_SIGN_PASSWORD .wrong pass'),
                (['--sign-pfx', self.pfx], None, 'needs the certificate.s password in PENDRA_'),
                (['--sign-pfx', self.path('none.pfx')], PASSWORD, 'none.pfx does not exist'),
                (['--sign-pfx', self.pfx, '--timestamp',
                  f'http://127.0.0.1:{refusing.getsockname()[1]}/'], PASSWORD,
                 r'signing \S+ failed')):
            done, built = self.package(*options, password=password)
            self.assertNotEqual(done.returncode, 0, options)
            self.assertRegex(done.stderr, 'package: .*' + message)
            self.assertNotIn('Traceback', done.stderr)
            self.assertEqual(built, [], options)
        done, built = self.package()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('packages are not signed: no --sign-pfx given', done.stderr)
        streams = run('msiinfo', 'streams', built[0]).stdout
        self.assertIn('Binary.PendraSetup', streams)
        self.assertNotIn('DigitalSignature', streams)


if __name__ == '__main__':
    unittest.main()

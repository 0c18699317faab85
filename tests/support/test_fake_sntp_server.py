#!/usr/bin/env python3
"""Tests of the test-host script and the fake SNTP server, with chronyd as a real server.

Run as root: python3 -m unittest test_fake_sntp_server (in tests/support) or directly.
TESTHOST_K chooses the host number; by default the first free one of 40..63.
"""

import contextlib
import ctypes
import fcntl
import io
import itertools
import math
import os
import re
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TESTHOST = os.path.join(HERE, 'testhost')
sys.path.insert(0, HERE)
import fake_sntp_server as fake  # noqa: E402

IS_ROOT = os.geteuid() == 0
NEEDS_ROOT = 'needs root: test hosts are network namespaces'
HOST_NUMBERS = range(40, 64)
PORTS = itertools.count(12300)


def testhost(*args, timeout=30):
    return subprocess.run([TESTHOST, *map(str, args)], capture_output=True, text=True,
                          timeout=timeout, check=False)


def testhost_value(*args):
    result = testhost(*args)
    if result.returncode != 0:
        raise AssertionError(f'testhost {" ".join(map(str, args))} failed '
                             f'({result.returncode}): {result.stderr}')
    return result.stdout.strip()


def namespaces():
    listing = subprocess.run(['ip', 'netns', 'list'], capture_output=True, text=True,
                             timeout=10, check=True).stdout
    return {line.split()[0] for line in listing.splitlines() if line.strip()}


def reserve_host_number(add_cleanup):
    """A host number no other run of these tests holds; the lock lasts until cleanup."""
    if 'TESTHOST_K' in os.environ:
        return int(os.environ['TESTHOST_K'])
    used = namespaces()
    for k in HOST_NUMBERS:
        if f'pendra-t{k}' in used:
            continue
        lock = open(f'/run/lock/pendra-t{k}.lock', 'w', encoding='ascii')
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            continue
        add_cleanup(lock.close)
        return k
    raise unittest.SkipTest('no free test host number in 40..63')


def link_exists(name):
    return subprocess.run(['ip', 'link', 'show', 'dev', name], capture_output=True,
                          timeout=10, check=False).returncode == 0


def alive(pid):
    try:
        with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
            return stat.read().rsplit(')', 1)[1].split()[0] != 'Z'
    except (OSError, IndexError):
        return False


def wait_until(condition, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def read_text(path):
    with open(path, encoding='utf-8') as file:
        return file.read()


def make_request(first=0x1B, poll=0):
    """A client request with the client's clock in the transmit timestamp."""
    now_ns = time.time_ns()
    request = bytes([first, 0, poll]) + bytes(37) + fake.ntp_stamp(now_ns)
    return request, now_ns / 1e9


class Reply:
    def __init__(self, data, sender, t1, t4):
        self.data, self.sender, self.t1, self.t4 = data, sender, t1, t4

    leap = property(lambda self: self.data[0] >> 6)
    version = property(lambda self: (self.data[0] >> 3) & 7)
    mode = property(lambda self: self.data[0] & 7)
    stratum = property(lambda self: self.data[1])
    poll = property(lambda self: self.data[2])
    precision = property(lambda self: struct.unpack('b', self.data[3:4])[0])
    reference_id = property(lambda self: self.data[12:16])
    originate = property(lambda self: self.data[24:32])
    t2 = property(lambda self: fake.unix_seconds(self.data[32:40]))
    t3 = property(lambda self: fake.unix_seconds(self.data[40:48]))

    def offset(self):
        return ((self.t2 - self.t1) + (self.t3 - self.t4)) / 2

    def delay(self):
        return (self.t4 - self.t1) - (self.t3 - self.t2)


class Client:
    """A small SNTP client on this side of the veth pair, on any port."""

    def __init__(self, host_addr):
        family = socket.AF_INET6 if ':' in host_addr else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_DGRAM)
        self.sock.bind((host_addr, 0))

    def close(self):
        self.sock.close()

    def ask(self, server, count=1, timeout=2.0, **request_fields):
        """Sends one request; returns (request, the replies within the timeout, at most count)."""
        request, t1 = make_request(**request_fields)
        self.sock.sendto(request, server)
        return request, self.receive(t1, count, timeout)

    def receive(self, t1, count, timeout):
        replies = []
        deadline = time.monotonic() + timeout
        while len(replies) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            self.sock.settimeout(left)
            try:
                data, sender = self.sock.recvfrom(65535)
            except socket.timeout:
                break
            replies.append(Reply(data, sender, t1, time.time_ns() / 1e9))
        return replies


class PacketTest(unittest.TestCase):
    def test_timestamps_convert_between_unix_and_ntp_eras(self):
        self.assertEqual(fake.ntp_stamp(0), struct.pack('!II', 2208988800, 0))
        self.assertEqual(fake.ntp_stamp(1_500_000_000), struct.pack('!II', 2208988801, 1 << 31))
        # 2036-02-07T06:28:16Z starts NTP era 1: the seconds wrap to 0.
        self.assertEqual(fake.ntp_stamp(2085978496 * 10**9), bytes(8))
        self.assertAlmostEqual(fake.unix_seconds(fake.ntp_stamp(1_234_567_890_250_000_000)),
                               1_234_567_890.25, places=6)
        self.assertEqual(fake.shift_stamp(b'\xff' * 8, 1.0), b'\x00\x00\x00\x00\xff\xff\xff\xff')

    def test_reply_echoes_version_poll_and_transmit(self):
        request = bytes([0x23, 0, 7]) + bytes(37) + bytes(range(1, 9))
        reply = fake.build_packet(request, 10**18, 10**18 + 5 * 10**8)
        self.assertEqual(len(reply), 48)
        self.assertEqual(reply[0], 0x24)  # leap 0, version 4 as asked, mode 4
        self.assertEqual(reply[2], 7)
        self.assertEqual(reply[24:32], bytes(range(1, 9)))
        self.assertAlmostEqual(fake.unix_seconds(reply[40:48]) - fake.unix_seconds(reply[32:40]),
                               0.5, places=6)


class OptionsTest(unittest.TestCase):
    def rejects(self, *args):
        with contextlib.redirect_stderr(io.StringIO()) as errors, \
                self.assertRaises(SystemExit) as raised:
            fake.parse_options(['--port', '12345', *args])
        self.assertEqual(raised.exception.code, 2)
        return errors.getvalue()

    def test_lengths_must_fit_the_mode(self):
        self.assertIn('short length', self.rejects('--mode', 'short', '--length', '48'))
        self.assertIn('long length', self.rejects('--mode', 'long', '--length', '48'))
        self.assertIn('for short and long', self.rejects('--length', '20'))
        options = fake.parse_options(['--port', '1', '--mode', 'multi', '--first', 'short,kod',
                                      '--length', '0'])
        self.assertEqual((options.first, options.short_length), (['short', 'kod'], 0))

    def test_bad_values_are_refused(self):
        self.assertIn('kiss code', self.rejects('--mode', 'kod', '--kod', 'RATES'))
        self.assertIn('unknown kind', self.rejects('--mode', 'multi', '--first', 'silent'))
        self.assertIn('port', self.rejects('--spoof-port', '12345'))
        self.assertIn('--delay', self.rejects('--delay', '-1'))
        self.assertIn('--max-requests', self.rejects('--max-requests', '0'))
        self.assertIn('unknown kind', self.rejects('--cycle', 'normal,multi'))
        self.assertIn('take an argument', self.rejects('--cycle', 'kod:RATES'))
        self.assertIn('needs a value', self.rejects('--cycle', 'bad-offset'))
        self.assertIn('needs a value', self.rejects('--cycle', 'stretch'))
        self.assertIn('take an argument', self.rejects('--cycle', 'stretch:-1'))
        self.assertIn('replaces --mode', self.rejects('--cycle', 'normal', '--mode', 'silent'))
        self.assertIn('above 0', self.rejects('--delay-kind', 'exponential'))


class HostTestCase(unittest.TestCase):
    """One test host per class, always deleted again."""

    @classmethod
    def setUpClass(cls):
        cls.k = reserve_host_number(cls.addClassCleanup)
        cls.addClassCleanup(testhost, 'delete', cls.k)
        cls.peer_addr = testhost_value('create', cls.k)
        cls.host_addr = testhost_value('host', cls.k)
        work = tempfile.TemporaryDirectory(prefix='testhost-')
        cls.addClassCleanup(work.cleanup)
        cls.dir = work.name

    def setUp(self):
        self.client = Client(self.host_addr)
        self.addCleanup(self.client.close)

    def stop(self, pid):
        result = testhost('stop', pid)
        self.assertEqual(result.returncode, 0, result.stderr)


@unittest.skipUnless(IS_ROOT, NEEDS_ROOT)
class FakeServerTest(HostTestCase):
    def start(self, *options):
        self.port = next(PORTS)
        self.server = (self.peer_addr, self.port)
        self.log = os.path.join(self.dir, f'fake-{self.port}.log')
        result = testhost('fake', self.k, self.port, self.dir, *options)
        self.assertEqual(result.returncode, 0, result.stderr)
        pid = int(result.stdout)
        self.addCleanup(testhost, 'stop', pid)
        return pid

    def ask_one(self, **fields):
        request, replies = self.client.ask(self.server, **fields)
        self.assertEqual(len(replies), 1, read_text(self.log))
        return request, replies[0]

    def assert_good(self, request, reply, offset=0.0):
        self.assertEqual((reply.leap, reply.version, reply.mode, reply.stratum), (0, 3, 4, 2))
        self.assertEqual(reply.precision, -20)
        self.assertEqual(reply.reference_id, bytes([127, 127, 1, 0]))
        self.assertEqual(reply.originate, request[40:48])
        self.assertAlmostEqual(reply.offset(), offset, delta=0.05)

    def test_normal_replies_carry_the_chosen_offset(self):
        for offset in (2.5, -3600.25, 0.0):
            with self.subTest(offset=offset):
                self.start('--offset', str(offset))
                request, reply = self.ask_one(poll=6)
                self.assertEqual(len(reply.data), 48)
                self.assertEqual(reply.sender, self.server)
                self.assertEqual(reply.poll, 6)
                self.assert_good(request, reply, offset)
                self.assertLess(abs(reply.delay()), 0.05)

    def test_random_offsets_hold_for_a_group_of_requests(self):
        self.start('--random-offsets', '0.4', '--offset-group', '3')
        offsets = [self.ask_one()[1].offset() for _ in range(6)]
        # Three alike, then three others alike; each group's offset stays within the range.
        for group in (offsets[:3], offsets[3:]):
            self.assertLess(max(group) - min(group), 0.02, offsets)
            self.assertLessEqual(abs(group[0]), 0.45)
        self.assertGreater(abs(offsets[0] - offsets[3]), 0.0001, offsets)

    def test_reply_version_follows_the_request(self):
        self.start()
        _, reply = self.ask_one(first=0x23)
        self.assertEqual((reply.version, reply.mode), (4, 4))

    def test_silent_logs_the_request_but_never_answers(self):
        self.start('--mode', 'silent')
        _, replies = self.client.ask(self.server, timeout=1.0)
        self.assertEqual(replies, [])
        self.assertTrue(wait_until(lambda: 'no answer (silent)' in read_text(self.log), 2))

    def test_silent_first_leaves_only_the_first_requests_unanswered(self):
        self.start('--silent-first', '2')
        for _ in range(2):
            _, replies = self.client.ask(self.server, timeout=0.5)
            self.assertEqual(replies, [])
        request, reply = self.ask_one()
        self.assert_good(request, reply)

    def test_short_replies_have_the_chosen_length(self):
        for length in (0, 20, 47):
            with self.subTest(length=length):
                self.start('--mode', 'short', '--length', str(length))
                request, reply = self.ask_one()
                self.assertEqual(len(reply.data), length)
                if length >= 32:
                    self.assertEqual(reply.data[:4], bytes([0x1C, 2, 0, 0xEC]))
                    self.assertEqual(reply.originate, request[40:48])

    def test_long_replies_are_a_good_packet_and_a_tail(self):
        for args, length in (((), 68), (('--length', '200'), 200)):
            with self.subTest(length=length):
                self.start('--mode', 'long', '--offset', '1.5', *args)
                request, reply = self.ask_one()
                self.assertEqual(len(reply.data), length)
                self.assertEqual(reply.data[48:52], struct.pack('!I', 1))
                self.assert_good(request, reply, 1.5)

    def test_malformed_breaks_only_the_chosen_field(self):
        cases = {'mode': lambda r: r.mode == 3, 'version0': lambda r: r.version == 0,
                 'version7': lambda r: r.version == 7, 'leap3': lambda r: r.leap == 3,
                 'stratum16': lambda r: r.stratum == 16,
                 'zero-transmit': lambda r: r.data[40:48] == bytes(8)}
        for field, broken in cases.items():
            with self.subTest(field=field):
                self.start('--mode', 'malformed', '--bad-field', field)
                request, reply = self.ask_one()
                self.assertTrue(broken(reply), reply.data[:4].hex())
                self.assertEqual(reply.originate, request[40:48])
                if field != 'zero-transmit':
                    self.assertAlmostEqual(reply.offset(), 0.0, delta=0.05)

    def test_spoof_originate_echoes_another_time(self):
        self.start('--mode', 'spoof-originate', '--offset', '2.5')
        request, reply = self.ask_one()
        self.assertNotEqual(reply.originate, request[40:48])
        echoed = fake.unix_seconds(reply.originate)
        self.assertAlmostEqual(echoed - reply.t1, 1000.0, delta=0.01)
        self.assertAlmostEqual(reply.t3 - time.time(), 2.5, delta=0.05)

    def test_spoof_source_answers_from_the_next_port(self):
        self.start('--mode', 'spoof-source', '--offset', '2.5')
        request, replies = self.client.ask(self.server, count=2, timeout=0.5)
        self.assertEqual([r.sender for r in replies], [(self.peer_addr, self.port + 1)])
        self.assert_good(request, replies[0], 2.5)

    def test_kiss_o_death_has_stratum_zero_and_the_code(self):
        for code in ('RATE', 'DENY', 'X'):
            with self.subTest(code=code):
                self.start('--mode', 'kod', '--kod', code)
                request, reply = self.ask_one()
                self.assertEqual((reply.leap, reply.mode, reply.stratum), (3, 4, 0))
                self.assertEqual(reply.reference_id, code.ljust(4).encode())
                self.assertEqual(reply.originate, request[40:48])

    def test_multi_sends_the_bad_datagrams_before_the_good_one(self):
        self.start('--mode', 'multi', '--first', 'spoof-originate,kod,spoof-source',
                   '--offset', '2.5', '--bad-offset', '100', '--gap', '0.05')
        request, replies = self.client.ask(self.server, count=5, timeout=1.0)
        self.assertEqual(len(replies), 4, read_text(self.log))
        spoofed, kod, other_port, good = replies
        self.assertNotEqual(spoofed.originate, request[40:48])
        self.assertEqual(kod.stratum, 0)
        self.assertEqual(other_port.sender[1], self.port + 1)
        for bad in (kod, other_port):
            self.assertAlmostEqual(bad.offset(), 100.0, delta=0.1)
        self.assertEqual(good.sender, self.server)
        self.assert_good(request, good, 2.5)
        self.assertGreaterEqual(good.t4 - spoofed.t4, 0.1)

    def test_delay_holds_the_reply_as_server_or_network_time(self):
        for kind, seen_delay in (('server', 0.0), ('network', 0.3)):
            with self.subTest(kind=kind):
                self.start('--delay', '0.3', '--delay-kind', kind, '--offset', '-2')
                request, reply = self.ask_one()
                self.assertGreaterEqual(reply.t4 - reply.t1, 0.3)
                self.assertAlmostEqual(reply.delay(), seen_delay, delta=0.05)
                self.assert_good(request, reply, -2.0)

    def test_cycle_gives_each_request_the_next_behaviour_and_logs_it(self):
        cycle = ['normal', 'silent', 'kod:DENY', 'bad-offset:3600', 'malformed:version7',
                 'spoof-source', 'stretch:0.4']
        self.start('--cycle', ','.join(cycle), '--offset', '1.5')
        request, reply = self.ask_one()
        self.assert_good(request, reply, 1.5)
        self.assertEqual(self.client.ask(self.server, timeout=0.5)[1], [])
        _, reply = self.ask_one()
        self.assertEqual((reply.stratum, reply.reference_id), (0, b'DENY'))
        request, reply = self.ask_one()
        self.assert_good(request, reply, 3600.0)
        _, reply = self.ask_one()
        self.assertEqual(reply.version, 7)
        _, reply = self.ask_one()
        self.assertEqual(reply.sender, (self.peer_addr, self.port + 1))
        request, reply = self.ask_one()
        self.assert_good(request, reply, 1.5)
        self.assertAlmostEqual(reply.delay(), -0.4, delta=0.05)
        request, reply = self.ask_one()  # round again
        self.assert_good(request, reply, 1.5)
        self.assertTrue(wait_until(lambda: read_text(self.log).count(' request ') == 8, 2))
        logged = re.findall(r': cycle (\S+) at (\d+\.\d{6}): ', read_text(self.log))
        self.assertEqual([b for b, _ in logged], cycle + ['normal'])
        self.assertAlmostEqual(float(logged[-1][1]), reply.t1, delta=0.05)

    def test_exponential_delay_holds_each_leg_by_its_own_logged_draw(self):
        args = ['--delay', '0.05', '--delay-kind', 'exponential', '--seed', '7']
        self.start(*args, '--offset', '-2')
        exchanges = [self.ask_one() for _ in range(4)]
        self.assertTrue(wait_until(lambda: read_text(self.log).count('; legs ') == 4, 2))
        logged = [(float(a), float(b)) for a, b in
                  re.findall(r'; legs (\d+\.\d{9}) (\d+\.\d{9}) s', read_text(self.log))]
        # The same seed draws the same legs: a benchmark can reproduce them.
        again = fake.Responder(fake.parse_options(['--port', '1', *args]))
        self.assertEqual(logged, [tuple(round(x / 1e9, 9) for x in again.legs())
                                  for _ in range(4)])
        for (request, reply), (before_t2, after_t3) in zip(exchanges, logged):
            self.assert_good(request, reply, -2.0)
            self.assertGreaterEqual(reply.t2 + 2 - reply.t1, before_t2 - 1e-6)
            self.assertGreaterEqual(reply.t4 - (reply.t3 + 2), after_t3 - 1e-6)
        # Load only adds to a measured delay, tens of ms an exchange on a busy machine: the
        # legs are its floor (above), and legs held twice, 0.41 s more on these draws, exceed
        # its ceiling.
        legs = sum(before + after for before, after in logged)
        self.assertLess(sum(reply.delay() for _, reply in exchanges), legs + 0.3)
        draws = [again.legs()[0] / 1e9 for _ in range(4000)]
        self.assertAlmostEqual(statistics.fmean(draws), 0.05, delta=0.0025)
        self.assertAlmostEqual(statistics.median(draws), 0.05 * math.log(2), delta=0.0025)

    def test_max_requests_and_lifetime_end_the_server(self):
        pid = self.start('--max-requests', '2')
        for _ in range(2):
            self.ask_one()
        self.assertTrue(wait_until(lambda: not alive(pid), 5))
        self.assertIn('stopping: max requests 2 reached', read_text(self.log))
        pid = self.start('--lifetime', '1')
        self.assertTrue(wait_until(lambda: not alive(pid), 5))
        self.assertIn('stopping: lifetime', read_text(self.log))

    def test_stop_ends_the_server_cleanly_and_logs_the_requests(self):
        pid = self.start('--offset', '2.5')
        self.ask_one()
        started = time.monotonic()
        self.stop(pid)
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertFalse(alive(pid))
        lines = read_text(self.log).splitlines()
        self.assertIn(f'from {self.host_addr}:', lines[1])
        self.assertIn('sent normal 48 bytes', lines[1])
        self.assertIn('stopping: SIGTERM after 1 requests', lines[-1])


@unittest.skipUnless(IS_ROOT, NEEDS_ROOT)
class TestHostScriptTest(unittest.TestCase):
    def setUp(self):
        self.k = reserve_host_number(self.addCleanup)
        self.addCleanup(testhost, 'delete', self.k)
        self.dir = tempfile.mkdtemp(prefix='testhost-')
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)

    def test_addresses_follow_the_host_number(self):
        self.assertEqual(testhost_value('peer', 0), '198.51.100.2')
        self.assertEqual(testhost_value('host', 63), '198.51.100.253')
        for bad in ('64', '-1', 'x'):
            self.assertEqual(testhost('peer', bad).returncode, 1)

    def test_create_replaces_a_stale_host_and_delete_removes_everything(self):
        k = self.k
        self.assertEqual(testhost_value('create', k), f'198.51.100.{4 * k + 2}')
        pid = int(testhost_value('fake', k, 12299, self.dir))
        self.assertEqual(testhost_value('create', k), f'198.51.100.{4 * k + 2}')
        self.assertFalse(alive(pid))
        pid = int(testhost_value('fake', k, 12299, self.dir))
        self.assertEqual(testhost('delete', k).returncode, 0)
        self.assertFalse(alive(pid))
        self.assertNotIn(f'pendra-t{k}', namespaces())
        self.assertFalse(link_exists(f'pt{k}h'))
        self.assertEqual(testhost('delete', k).returncode, 0)

    def test_a_server_that_cannot_start_fails_at_once_with_its_log(self):
        testhost_value('create', self.k)
        started = time.monotonic()
        result = testhost('fake', self.k, 12299, self.dir, '--mode', 'bogus')
        self.assertEqual(result.returncode, 1)
        self.assertLess(time.monotonic() - started, 5)
        self.assertIn('invalid choice', result.stderr)
        pid = int(testhost_value('fake', self.k, 12299, self.dir))
        self.addCleanup(testhost, 'stop', pid)
        result = testhost('chrony', self.k, 12299, self.dir)
        self.assertEqual(result.returncode, 1)
        self.assertIn('already in use', result.stderr)

    def test_stop_leaves_processes_outside_test_hosts_alone(self):
        with subprocess.Popen(['sleep', '30']) as other:
            try:
                result = testhost('stop', other.pid)
                self.assertEqual(result.returncode, 1)
                self.assertIsNone(other.poll())
            finally:
                other.kill()
        self.assertEqual(testhost('stop', other.pid).returncode, 0)


class Timex(ctypes.Structure):
    _fields_ = [('modes', ctypes.c_uint), ('offset', ctypes.c_long), ('freq', ctypes.c_long),
                ('maxerror', ctypes.c_long), ('esterror', ctypes.c_long),
                ('status', ctypes.c_int), ('constant', ctypes.c_long),
                ('precision', ctypes.c_long), ('tolerance', ctypes.c_long),
                ('time_sec', ctypes.c_long), ('time_usec', ctypes.c_long),
                ('tick', ctypes.c_long), ('rest', ctypes.c_byte * 128)]


def clock_state():
    """The kernel's clock discipline (read only: modes 0) and realtime minus monotonic."""
    timex = Timex()
    ctypes.CDLL(None, use_errno=True).adjtimex(ctypes.byref(timex))
    samples = []
    for _ in range(5):
        before = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        real = time.clock_gettime_ns(time.CLOCK_REALTIME)
        after = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
        samples.append((after - before, real - (before + after) // 2))
    discipline = (timex.offset, timex.freq, timex.status, timex.constant, timex.tick)
    return discipline, min(samples)[1]


@unittest.skipUnless(IS_ROOT, NEEDS_ROOT)
@unittest.skipUnless(shutil.which('chronyd') or os.path.exists('/usr/sbin/chronyd'),
                     'chronyd is not installed')
class ChronydTest(HostTestCase):
    def test_chronyd_serves_its_clock_and_leaves_the_host_clock_alone(self):
        discipline, real_minus_monotonic = clock_state()
        port = next(PORTS)
        started = time.monotonic()
        result = testhost('chrony', self.k, port, self.dir)
        ready_after = time.monotonic() - started
        self.assertEqual(result.returncode, 0, result.stderr)
        pid = int(result.stdout)
        self.addCleanup(testhost, 'stop', pid)
        self.assertLess(ready_after, 10)
        self.assertEqual(read_text(f'/proc/{pid}/comm').strip(), 'chronyd')
        self.assertTrue(wait_until(
            lambda: read_text(os.path.join(self.dir, 'chronyd.pid')).strip() == str(pid), 5))

        request, replies = self.client.ask((self.peer_addr, port))
        self.assertEqual(len(replies), 1, read_text(os.path.join(self.dir, 'chronyd.log')))
        reply = replies[0]
        self.assertEqual(reply.sender, (self.peer_addr, port))
        self.assertEqual((reply.leap, reply.version, reply.mode, reply.stratum), (0, 3, 4, 8))
        self.assertEqual(reply.originate, request[40:48])
        self.assertLess(abs(reply.offset()), 0.5)
        self.assertLess(abs(reply.delay()), 0.5)

        self.stop(pid)
        self.assertFalse(alive(pid))
        self.assertIn('Disabled control of system clock',
                      read_text(os.path.join(self.dir, 'chronyd.log')))
        discipline_after, real_minus_monotonic_after = clock_state()
        self.assertEqual(discipline_after, discipline)
        self.assertLess(abs(real_minus_monotonic_after - real_minus_monotonic), 1_000_000)


if __name__ == '__main__':
    unittest.main()

#!/usr/bin/env python3
"""The time service under Wine against chronyd and the fake SNTP server on a test host.

Each test writes the service's settings into the registry of the Wine prefix, runs the
service (initialize, then the loop) through the sync driver, and reads the day's log file.
Needs root (test hosts are network namespaces). Never changes the clock: Wine refuses every
clock change beyond half a second and applies none.
"""
import errno
import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..',
                                'support'))
import pendra_testlib  # noqa: E402
from pendra_testlib import (log_texts, remove_settings, reported, testhost,  # noqa: E402
                            wine, windows_path, write_settings)

DRIVER = os.environ.get('PENDRA_SYNC_DRIVER', '')
PENDRA = os.environ.get('PENDRA_EXE', '')
SETTINGS_KEY = r'HKLM\SOFTWARE\Tarnwick\NTP Client'
POLICY_KEY = r'HKLM\SOFTWARE\Policies\Tarnwick\NTP Client'
STATUS_KEY = SETTINGS_KEY + r'\Status'
PREFIX = os.environ.get('PENDRA_WINEPREFIX', '')
HOST = int(os.environ.get('PENDRA_TEST_HOST', '10'))
PORT = int(os.environ.get('PENDRA_TEST_PORT', '11123'))


@unittest.skipUnless(os.geteuid() == 0, 'needs root: test hosts are network namespaces')
@unittest.skipUnless(DRIVER and PENDRA and PREFIX,
                     'PENDRA_SYNC_DRIVER, PENDRA_EXE and PENDRA_WINEPREFIX not set')
class SyncServiceTest(unittest.TestCase):

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix='pendra-e2e-')
        self.addCleanup(shutil.rmtree, self.work, True)
        self.logs = os.path.join(self.work, 'logs')
        os.mkdir(self.logs)
        self.server_address = testhost('create', HOST)
        self.addCleanup(testhost, 'delete', HOST)
        self.server_log = None

    def start_fake(self, *options):
        pid = testhost('fake', HOST, PORT, self.work, *options)
        self.addCleanup(testhost, 'stop', pid)
        self.server_log = os.path.join(self.work, f'fake-{PORT}.log')

    def start_chrony(self):
        pid = testhost('chrony', HOST, PORT, self.work)
        self.addCleanup(testhost, 'stop', pid)

    def server_requests(self):
        with open(self.server_log, encoding='utf-8') as log:
            return [line for line in log if ' request ' in line]

    def configure(self, **overrides):
        values = {
            'WriteLogEntries': 1,
            'LogDirectory': windows_path(self.logs),
            'WaitForRAS': 0,
            'RunOnce': 1,
            'NTPServerName': self.server_address,
            'NTPPollMilliseconds': 0,
            'NTPServerPort': PORT,
        }
        values.update(overrides)
        write_settings(PREFIX, self.work, values)

    def remove_settings(self):
        remove_settings(PREFIX)

    def wine(self, *args, check=True, timeout=60):
        return wine(PREFIX, *args, check=check, timeout=timeout)

    def run_service(self, *args, timeout=60):
        start = time.monotonic()
        done = self.wine(DRIVER, *map(str, args), check=False, timeout=timeout)
        return done.returncode, time.monotonic() - start

    def log_lines_or_none(self):
        try:
            return self.log_lines()
        except (AssertionError, UnicodeDecodeError):
            return []  # a line still being written

    def log_lines(self):
        """The texts of every log line, in file order, each prefix checked."""
        return log_texts(self.logs, strict=True)

    def assert_true_time(self, offset, delay, lines, path_delay=0.0):
        """A reply of the fake server's true time through a path of path_delay: a busy machine
        only adds to the delay measured, and at most half of what it adds to the offset; the
        log gives whole milliseconds."""
        self.assertGreaterEqual(delay, path_delay - 0.001, lines)
        self.assertLessEqual(abs(offset), (delay - path_delay) / 2 + 0.002, lines)

    def assert_start_line(self, lines):
        self.assertEqual(lines[0], f'Start Pendra Rev: 1.22, server {self.server_address}')

    # --- synchronisation against real and fake servers -----------------------------------

    def test_chronyd_sets_the_clock_once(self):
        self.start_chrony()
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(len(lines), 2, lines)
        self.assert_start_line(lines)
        offset, delay = reported(lines[1])
        self.assertLess(abs(offset), 0.1, lines)
        self.assertGreaterEqual(delay, -0.002, lines)
        self.assertLess(delay, 0.5, lines)

    def test_fake_server_true_time_with_a_network_delay(self):
        self.start_fake('--delay', '0.3', '--delay-kind', 'network')
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        offset, delay = reported(lines[-1])
        self.assert_true_time(offset, delay, lines, path_delay=0.3)

    def test_offset_beyond_the_limit_is_refused_and_polled_again(self):
        self.start_fake('--offset', '6.2')
        self.configure(MaxAdjustSeconds=5, NTPPollMilliseconds=300)
        code, _ = self.run_service(1500)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assert_start_line(lines)
        refusals = lines[1:-1]
        self.assertGreaterEqual(len(refusals), 2, lines)
        for line in refusals:
            self.assertEqual(line, 'adjustment of 6 seconds > max way to big of 5 seconds')
        self.assertEqual(lines[-1], 'stop request')

    def test_large_offset_without_limit_reaches_set_system_time(self):
        # Wine refuses the change (it never moves the host clock): the failure ends the loop.
        self.start_fake('--offset', '30')
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        self.assertEqual(self.log_lines()[1:], [
            'SetSystemTime: Privilege not held.',
            'shutting down NTP service'])

    def test_rejected_datagrams_are_logged_and_the_valid_reply_is_used(self):
        kinds = ['short', 'malformed:mode', 'malformed:version0', 'malformed:version7',
                 'malformed:leap3', 'malformed:stratum16', 'malformed:zero-transmit',
                 'spoof-originate', 'spoof-source']
        self.start_fake('--mode', 'multi', '--first', ','.join(kinds), '--bad-offset', '40')
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assert_start_line(lines)
        rejected = lines[1:-1]
        self.assertEqual(len(rejected), len(kinds), lines)
        for line in rejected:
            self.assertTrue(line.startswith('reply rejected: '), line)
        self.assertIn('20 bytes', rejected[0])
        self.assertIn(f'{self.server_address}:{PORT + 1}', rejected[-1])
        self.assert_true_time(*reported(lines[-1]), lines)

    def test_kiss_of_death_leaves_the_clock_alone_and_slows_the_polls(self):
        # RATE doubles the wait; DENY waits the longest, 64 polls or at least 15 s; another code
        # is a rejected reply and no more. A stop ends either wait at once. The record shows the
        # wait in force, so that a waiting service does not read as a stopped one.
        self.fresh_status()
        for code_word, interval, line, wait, result in (
                ('RATE', 60000, "kiss-o'-death RATE: polls slowed to every 120000 ms", 120,
                 'the server asks for fewer requests (RATE)'),
                ('DENY', 200, "kiss-o'-death DENY: server refuses this client, next poll in "
                              "15000 ms", 15, 'the server refuses this client (DENY)'),
                ('INIT', 60000, None, 60, 'no valid reply')):
            pid = testhost('fake', HOST, PORT, self.work, '--mode', 'kod', '--kod', code_word)
            self.server_log = os.path.join(self.work, f'fake-{PORT}.log')
            self.configure(NTPPollMilliseconds=interval, RunOnce=0)
            code, elapsed = self.run_service(3000)
            testhost('stop', pid)
            self.assertEqual(code, 0)
            lines = self.log_lines()
            self.assertEqual(lines[1:], [f"reply rejected: kiss-o'-death {code_word}",
                                         *([line] if line else []), 'stop request'])
            self.assertLess(elapsed, 8)
            self.assertEqual(len(self.server_requests()), 1)
            values = self.status_values()
            self.assertEqual(int(values['PollSeconds'], 16), wait, values)
            self.assertEqual(values['LastResult'], result, values)
            for path in glob.glob(os.path.join(self.logs, '*')) + [self.server_log]:
                os.remove(path)

    def test_after_a_rate_kiss_the_next_poll_waits_and_a_good_reply_restores_the_interval(self):
        self.start_fake('--cycle', 'kod:RATE,normal')
        self.configure(NTPPollMilliseconds=200)  # run once: until the clock is set
        code, _ = self.run_service(timeout=60)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1:3], ["reply rejected: kiss-o'-death RATE",
                                      "kiss-o'-death RATE: polls slowed to every 15000 ms"])
        self.assertIsNotNone(reported(lines[3]), lines)
        self.assertEqual(lines[4:], ['polls back to every 200 ms'])
        times = [float(re.search(r' at (\d+\.\d+):', r).group(1)) for r in self.server_requests()]
        self.assertEqual(len(times), 2)
        self.assertGreaterEqual(times[1] - times[0], 15.0)

    def test_four_samples_set_the_clock_once_from_the_one_with_the_least_delay(self):
        # Each leg waits its own exponential draw (mean 200 ms), logged by the server. For this
        # seed the second sample's legs are the shortest by 0.4 s, and its offset lies 0.1 s
        # from every other sample's.
        self.start_fake('--delay', '0.2', '--delay-kind', 'exponential', '--seed', '940')
        self.configure(NTPSamples=4)
        code, elapsed = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(len(lines), 2, lines)
        offset, delay = reported(lines[1])
        legs = self.logged_legs()
        self.assertEqual(len(legs), 4)
        rounds = [before + after for before, after in legs]
        least = rounds.index(min(rounds))
        self.assertEqual(least, 1, legs)  # neither the first sample nor the last
        self.assertGreater(sorted(rounds)[1] - rounds[least], 0.3, legs)
        self.assert_measured_from(legs[least], offset, delay, lines)
        # Every other sample measured at least its own legs: none of them was chosen.
        self.assertLess(delay, sorted(rounds)[1] - 0.001, (lines, legs))
        self.assertGreater(elapsed, 6)  # three pauses of 2 s between the samples

    def logged_legs(self):
        """The two leg waits of each request, in seconds, as the fake server logged them."""
        return [tuple(map(float, re.search(r'legs ([\d.]+) ([\d.]+) s', r).groups()))
                for r in self.server_requests()]

    def assert_measured_from(self, legs, offset, delay, lines):
        """The reported offset and delay are those of the exchange whose server legs waited
        legs. Load only adds to a leg (the server stamps T2 after its first wait and T3 before
        its second, on this machine's one clock), and half of whatever it added, split in any
        way between the legs, shows in the offset. The log gives whole milliseconds."""
        rounded = 0.001
        self.assertGreaterEqual(delay, sum(legs) - rounded, (lines, legs))
        added = delay + rounded - sum(legs)
        self.assertAlmostEqual(offset, (legs[0] - legs[1]) / 2, delta=added / 2 + rounded,
                               msg=(lines, legs))

    def test_a_reply_whose_stamps_span_more_than_the_round_trip_is_rejected(self):
        # T3 - T2 exceeds T4 - T1 by 0.95 s, as when the server's clock steps while it holds
        # the request: the delay below zero would win the least-delay choice. In a poll of two
        # samples the other one is used; a poll of one tries again at the next poll. A busy
        # machine only adds to a measured delay, and half of what it adds to an offset.
        for samples, cycle in ((2, 'normal,stretch:1.0'), (1, 'stretch:1.0,normal')):
            pid = testhost('fake', HOST, PORT, self.work, '--cycle', cycle, '--delay', '0.05',
                           '--delay-kind', 'network')
            self.server_log = os.path.join(self.work, f'fake-{PORT}.log')
            self.configure(NTPSamples=samples)
            code, _ = self.run_service()
            testhost('stop', pid)
            self.assertEqual(code, 0)
            lines = self.log_lines()
            self.assertEqual(len(lines), 3, lines)
            self.assertRegex(lines[1], r'^reply rejected: negative delay -0\.\d{3}$')
            offset, delay = reported(lines[2])
            self.assertGreaterEqual(delay, 0.05 - 0.001, lines)
            self.assertLessEqual(abs(offset), (delay - 0.05) / 2 + 0.002, lines)
            self.assertEqual(len(self.server_requests()), 2)
            for path in glob.glob(os.path.join(self.logs, '*')) + [self.server_log]:
                os.remove(path)

    def test_a_samples_value_out_of_range_stops_the_service_at_its_start(self):
        self.start_fake()
        self.configure(NTPSamples=9)
        code, _ = self.run_service()
        self.assertEqual(code, 1)
        self.assertEqual(self.log_lines(), ['NTPSamples must be a REG_DWORD from 1 to 8'])
        self.assertEqual(self.server_requests(), [])

    def test_a_long_reply_is_judged_by_its_first_68_bytes(self):
        self.start_fake('--mode', 'long', '--length', '200')
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(len(lines), 2, lines)
        self.assertIsNotNone(reported(lines[1]), lines)

    def test_silent_server_times_out_and_a_stop_ends_the_exchange(self):
        self.start_fake('--mode', 'silent')
        self.configure(NTPPollMilliseconds=60000)
        code, elapsed = self.run_service(1000)
        self.assertEqual(code, 0)
        self.assertEqual(self.log_lines()[1:], ['no response from server', 'stop request'])
        # The stop waits for the exchange: its 10 seconds, not the 60-second poll.
        self.assertGreater(elapsed, 9.5)
        self.assertLess(elapsed, 20)

    # --- configuration and the loop -------------------------------------------------------

    def test_a_port_held_by_another_program_is_left_to_it_and_the_service_keeps_running(self):
        # As the Windows time service does: port 123 held on every address, in both families
        # (or held already by some other program of this machine, which is the same case).
        for family, address in ((socket.AF_INET, '0.0.0.0'), (socket.AF_INET6, '::')):
            holder = socket.socket(family, socket.SOCK_DGRAM)
            self.addCleanup(holder.close)
            if family == socket.AF_INET6:
                holder.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
            try:
                holder.bind((address, 123))
            except OSError as error:
                if error.errno != errno.EADDRINUSE:
                    raise
        pid = testhost('fake', HOST, 123, self.work)
        self.addCleanup(testhost, 'stop', pid)
        self.server_log = os.path.join(self.work, 'fake-123.log')
        self.configure(NTPServerPort=None, RunOnce=0, NTPPollMilliseconds=300)
        code, _ = self.run_service(2500)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1], "port 123 is held by another program; asking from a port of "
                                   "the system's choice")
        self.assertGreaterEqual(len([line for line in lines[2:-1] if reported(line)]), 2, lines)
        self.assertEqual(len(lines), len([line for line in lines if reported(line)]) + 3, lines)
        self.assertEqual(lines[-1], 'stop request')
        ports = {int(re.search(r' from [\d.]+:(\d+) ', r).group(1))
                 for r in self.server_requests()}
        self.assertTrue(ports and 123 not in ports, ports)

    def test_a_candidate_that_cannot_be_asked_fails_over_like_silence(self):
        # A broadcast address: sendto is refused for it (no SO_BROADCAST). The next server sets
        # the clock and the service goes on.
        self.start_chrony()
        self.configure(NTPServerName=f'255.255.255.255 {self.server_address}', RunOnce=0,
                       NTPPollMilliseconds=300)
        code, _ = self.run_service(2000)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertRegex(lines[1], r'^sendto: \S', lines)
        self.assertEqual(lines[2], f'no valid reply from 255.255.255.255, trying '
                                   f'{self.server_address}')
        self.assertIsNotNone(reported(lines[3]), lines)
        self.assertNotIn('shutting down NTP service', lines)
        self.assertEqual(lines[-1], 'stop request')

        # -query tells the same and ends with 1: no valid sample.
        code, output = self.query('255.255.255.255', 1)
        self.assertEqual(code, 1, output)
        self.assertRegex(output[1], r'^sendto: \S', output)
        self.assertEqual(output[-1], 'no valid reply from 255.255.255.255')

    def test_a_stop_during_a_slow_lookup_asks_no_further_name_or_server(self):
        # The name server is silent: each lookup waits its two seconds. The stop comes during
        # the first; a poll that went on would look up the second name and wait ten seconds
        # for the silent server after it.
        dns = testhost('fake', HOST, 53, os.path.join(self.work, 'dns'), '--mode', 'silent')
        self.addCleanup(testhost, 'stop', dns)
        self.start_fake('--mode', 'silent')
        wrapper = pendra_testlib.private_name_service(
            self.work, nsswitch_conf='hosts: dns\n',
            resolv_conf=f'nameserver {self.server_address}\noptions timeout:2 attempts:1\n')
        self.configure(NTPServerName=f'first.test second.test {self.server_address}', RunOnce=0,
                       NTPPollMilliseconds=60000)
        driver = subprocess.Popen([*wrapper, pendra_testlib.WINE_RUN, PREFIX, DRIVER, '500'],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(driver.kill)
        self.assertEqual(driver.wait(timeout=60), 0)
        stamped = self.stamped_lines()
        self.assertEqual([text for _, text in stamped][1:],
                         ['cannot resolve server name "first.test"', 'stop request'])
        self.assertEqual(self.server_requests(), [])
        # The first lookup's two seconds and no more, by the log's own clock.
        self.assertLess((stamped[-1][0] - stamped[0][0]) % 86400, 6, stamped)

    def stamped_lines(self):
        """The log's lines as (seconds of the UTC day, text)."""
        lines = []
        for path in sorted(glob.glob(os.path.join(self.logs, '*.ntp'))):
            with open(path, 'rb') as log:
                for line in log.read().decode('ascii').split('\r\n')[:-1]:
                    hours, minutes, seconds = line[5:17].split(':')
                    lines.append((int(hours) * 3600 + int(minutes) * 60 + float(seconds),
                                  line[30:]))
        return lines

    def test_an_unresolvable_name_is_retried_until_it_resolves(self):
        # The driver sees a hosts file of its own: the name is missing at first, as while a
        # name service is not ready yet, and is added later.
        wrapper = pendra_testlib.private_name_service(
            self.work, hosts='127.0.0.1 localhost\n', nsswitch_conf='hosts: files\n')
        self.start_fake()
        name = 'pendra-late.test'
        self.configure(NTPServerName=name, NTPPollMilliseconds=200)
        driver = subprocess.Popen([*wrapper, pendra_testlib.WINE_RUN, PREFIX, DRIVER],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(driver.kill)
        unresolved = f'cannot resolve server name "{name}"'
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and self.log_lines_or_none().count(unresolved) < 3:
            time.sleep(0.1)
        # Rewritten in place: the bind mount holds this file, not its name.
        with open(os.path.join(self.work, 'hosts'), 'a', encoding='ascii') as out:
            out.write(f'{self.server_address} {name}\n')
        self.assertEqual(driver.wait(timeout=30), 0)
        lines = self.log_lines()
        self.assertEqual(lines[0], f'Start Pendra Rev: 1.22, server {name}')
        self.assertGreaterEqual(lines.count(unresolved), 3, lines)
        self.assertEqual(set(lines[1:-1]), {unresolved}, lines)
        self.assertIsNotNone(reported(lines[-1]), lines)
        # Nothing went to 0.0.0.0 or anywhere else before the name resolved.
        self.assertEqual(len(self.server_requests()), 1)

    # --- several servers, every address of a name, IPv6 ------------------------------------

    def start_second(self, *options):
        """A fake server at the test host's second IPv6 address, on the same port."""
        work = os.path.join(self.work, 'second')
        address = testhost('second6', HOST)
        pid = testhost('fake', HOST, PORT, work, '--address', address, *options)
        self.addCleanup(testhost, 'stop', pid)
        return address, os.path.join(work, f'fake-{PORT}.log')

    def run_with_hosts(self, hosts):
        """Runs the service once with a name service that knows only these hosts."""
        wrapper = pendra_testlib.private_name_service(self.work, hosts=hosts,
                                                      nsswitch_conf='hosts: files\n')
        done = subprocess.run([*wrapper, pendra_testlib.WINE_RUN, PREFIX, DRIVER],
                              capture_output=True, timeout=90, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        return self.log_lines()

    def test_a_silent_first_server_costs_one_reply_wait_and_the_next_sets_the_clock(self):
        self.start_fake()
        silent, silent_log = self.start_second('--mode', 'silent')
        servers = f'{silent} {self.server_address}'
        self.configure(NTPServerName=servers)
        code, elapsed = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[0], f'Start Pendra Rev: 1.22, server {servers}')
        self.assertEqual(lines[1:3], [
            'no response from server',
            f'no valid reply from {silent}, trying {self.server_address}'])
        self.assert_true_time(*reported(lines[3]), lines)
        self.assertEqual(len(lines), 4, lines)
        self.assertLess(elapsed, 30)
        with open(silent_log, encoding='utf-8') as log:
            self.assertEqual(sum(' request ' in line for line in log), 1)

    def test_a_name_whose_first_address_is_silent_goes_on_with_its_next(self):
        self.start_chrony()
        silent, _ = self.start_second('--mode', 'silent')
        peer6 = testhost('peer6', HOST)
        self.configure(NTPServerName='pool.test')
        lines = self.run_with_hosts(f'{silent} pool.test\n{peer6} pool.test\n')
        self.assertEqual(lines[1:3], [
            'no response from server',
            f'no valid reply from pool.test ({silent}), trying pool.test ({peer6})'])
        self.assertLess(abs(reported(lines[3])[0]), 0.1, lines)

    def test_a_refusing_first_server_is_left_out_and_the_next_sets_the_clock(self):
        self.start_fake()
        refusing, _ = self.start_second('--mode', 'kod', '--kod', 'DENY')
        self.configure(NTPServerName=f'[{refusing}] {self.server_address}')
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1:3], [
            "reply rejected: kiss-o'-death DENY",
            f'{refusing} refuses this client, trying {self.server_address}'])
        self.assertIsNotNone(reported(lines[3]), lines)

    def test_a_server_that_refuses_after_a_valid_sample_alone_is_left_out(self):
        # The valid sample sets the clock, and the next poll asks the other server after the
        # configured second, not after the longest back-off.
        self.start_fake()
        deny, _ = self.start_second('--cycle', 'normal,kod', '--kod', 'DENY')
        self.configure(NTPServerName=f'[{deny}] {self.server_address}', NTPSamples=2, RunOnce=0,
                       NTPPollMilliseconds=1000)
        code, _ = self.run_service(6500)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1:3], ["reply rejected: kiss-o'-death DENY",
                                      f'{deny} refuses this client; the next poll asks another '
                                      f'server'])
        self.assertIsNotNone(reported(lines[3]), lines)
        self.assertFalse([line for line in lines if 'next poll in' in line], lines)
        self.assertGreaterEqual(len(self.server_requests()), 1, lines)

    def test_ipv6_literals_and_a_name_with_only_ipv6_addresses_set_the_clock(self):
        self.start_chrony()
        peer6 = testhost('peer6', HOST)
        for server in (peer6, f'[{peer6}]'):
            self.configure(NTPServerName=server)
            code, _ = self.run_service()
            self.assertEqual(code, 0)
            lines = self.log_lines()
            self.assertEqual(len(lines), 2, lines)
            self.assertLess(abs(reported(lines[1])[0]), 0.1, lines)
            for path in glob.glob(os.path.join(self.logs, '*')):
                os.remove(path)
        self.configure(NTPServerName='ntp6.test')
        lines = self.run_with_hosts(f'{peer6} ntp6.test\n')
        self.assertEqual(len(lines), 2, lines)
        self.assertLess(abs(reported(lines[1])[0]), 0.1, lines)

    def test_unusable_entries_are_named_once_and_a_usable_one_is_used(self):
        self.start_fake()
        servers = f'  host:123 [{self.server_address}   {self.server_address}\t'
        self.configure(NTPServerName=servers, NTPPollMilliseconds=200, RunOnce=0)
        code, _ = self.run_service(1500)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1:3], [
            'unusable server entry "host:123": a port cannot be given here; NTPServerPort sets it',
            f'unusable server entry "[{self.server_address}": "[" without "]"'])
        self.assertGreaterEqual(len([line for line in lines if reported(line)]), 2, lines)
        self.assertEqual(sum(line.startswith('unusable') for line in lines), 2, lines)

    def start_isolated_service(self, **settings):
        """Runs the service through the driver in a prefix of its own whose wineserver, which
        makes the sockets, lives in a network namespace with only a loopback: as at boot
        before the network is up. Returns the namespace and the driver's process."""
        namespace, prefix = pendra_testlib.isolated_prefix(self, 'pendra-noroute', PREFIX)
        values = {'WriteLogEntries': 1, 'LogDirectory': windows_path(self.logs), 'WaitForRAS': 0,
                  'RunOnce': 1, 'NTPServerName': self.server_address,
                  'NTPPollMilliseconds': 200, 'NTPServerPort': PORT, **settings}
        write_settings(prefix, self.work, values, netns=namespace)
        return namespace, lambda: self.start_driver_in(namespace, prefix)

    def start_driver_in(self, namespace, prefix):
        driver = subprocess.Popen(
            ['ip', 'netns', 'exec', namespace, pendra_testlib.WINE_RUN, prefix, DRIVER],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(driver.kill)
        return driver

    def move_link_into(self, namespace):
        """This side of the test host's link moves into the namespace: the network comes."""
        link, address = f'pt{HOST}h', testhost('host', HOST)
        for command in (['ip', 'link', 'set', link, 'netns', namespace],
                        ['ip', '-n', namespace, 'addr', 'add', f'{address}/30', 'dev', link],
                        ['ip', '-n', namespace, 'link', 'set', link, 'up']):
            subprocess.run(command, check=True, timeout=30)

    def test_without_a_route_each_poll_logs_one_line_until_the_network_comes(self):
        self.start_fake()
        namespace, start = self.start_isolated_service()
        driver = start()
        unreachable = 'sendto: Network is unreachable.'
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and self.log_lines_or_none().count(unreachable) < 3:
            time.sleep(0.1)
        self.move_link_into(namespace)
        self.assertEqual(driver.wait(timeout=30), 0)
        lines = self.log_lines()
        self.assert_start_line(lines)
        self.assertGreaterEqual(lines.count(unreachable), 3, lines)
        self.assertEqual(set(lines[1:-1]), {unreachable}, lines)
        self.assertIsNotNone(reported(lines[-1]), lines)

    def test_a_link_that_fails_during_the_second_of_four_samples_costs_that_sample(self):
        self.start_fake()
        namespace, start = self.start_isolated_service(NTPSamples=4, NTPPollMilliseconds=0)
        self.move_link_into(namespace)
        driver = start()
        link = ['ip', '-n', namespace, 'link', 'set', f'pt{HOST}h']
        unreachable = 'sendto: Network is unreachable.'
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and not self.server_requests():
            time.sleep(0.02)
        # The first sample is answered; the link goes down for the second only (2 s later).
        subprocess.run([*link, 'down'], check=True, timeout=30)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and unreachable not in self.log_lines_or_none():
            time.sleep(0.05)
        subprocess.run([*link, 'up'], check=True, timeout=30)
        self.assertEqual(driver.wait(timeout=30), 0)
        lines = self.log_lines()
        self.assert_start_line(lines)
        self.assertEqual(lines[1], unreachable, lines)
        self.assertIsNotNone(reported(lines[2]), lines)
        self.assertEqual(len(lines), 3, lines)
        self.assertEqual(len(self.server_requests()), 3)

    def test_a_flood_of_bad_replies_writes_ten_lines_and_one_more(self):
        self.start_fake('--mode', 'multi', '--first', ','.join(['malformed:mode'] * 25))
        self.configure()
        code, _ = self.run_service()
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(lines[1:11], ['reply rejected: mode 3, not a server reply'] * 10,
                         lines)
        self.assertEqual(lines[11], 'further replies rejected')
        self.assertEqual(len(lines), 13, lines)
        self.assertIsNotNone(reported(lines[12]), lines)

    def test_missing_settings_key_ends_before_the_loop(self):
        self.remove_settings()
        code, _ = self.run_service()
        self.assertEqual(code, 1)
        self.assertEqual(os.listdir(self.logs), [])

    def test_configuration_failure_after_the_log_directory_is_logged(self):
        self.configure(NTPServerName=None)
        code, _ = self.run_service()
        self.assertEqual(code, 1)
        self.assertEqual(self.log_lines(), ['missing registry entry'])

    def test_stop_during_the_poll_wait_ends_the_loop_at_once(self):
        self.start_fake()
        self.configure(RunOnce=0, NTPPollMilliseconds=60000)
        code, elapsed = self.run_service(1500)
        self.assertEqual(code, 0)
        lines = self.log_lines()
        self.assertEqual(len(lines), 3, lines)
        self.assertIsNotNone(reported(lines[1]))
        self.assertEqual(lines[2], 'stop request')
        self.assertLess(elapsed, 8)

    def test_run_once_keeps_polling_until_an_adjustment_succeeds(self):
        self.start_fake('--offset', '7')
        self.configure(MaxAdjustSeconds=5, NTPPollMilliseconds=0)
        code, _ = self.run_service(800)
        self.assertEqual(code, 0)
        requests = self.server_requests()
        self.assertGreaterEqual(len(requests), 3)
        # T1 as sent carries random bits below the clock's millisecond, so a forger cannot
        # derive it from the time alone: the fraction is no whole millisecond.
        for request in requests:
            fraction = int(re.search(r'transmit ([0-9a-f]{16})', request).group(1)[8:], 16)
            millisecond = fraction * 1000 // 2**32
            whole = (millisecond * 2**32 + 500) // 1000
            self.assertGreater(abs(fraction - whole), 1, request)

    def test_waiting_for_a_dial_up_connection_makes_no_exchange(self):
        self.start_fake()
        self.configure(WaitForRAS=1, RASPollMilliseconds=100, RunOnce=0)
        code, elapsed = self.run_service(1000)
        self.assertEqual(code, 0)
        self.assertEqual(self.log_lines()[1:], ['stop request'])
        self.assertEqual(self.server_requests(), [])
        self.assertLess(elapsed, 8)

    def test_stop_before_initialize_still_makes_the_first_exchange(self):
        self.start_fake()
        self.configure(RunOnce=0, NTPPollMilliseconds=60000)
        code, elapsed = self.run_service('--stop-before-initialize')
        self.assertEqual(code, 0)
        self.assertEqual(len(self.server_requests()), 1)
        self.assertLess(elapsed, 8)

    # --- the status record and Pendra -status ------------------------------------------------

    def status(self):
        """Pendra -status: its exit code and what it printed."""
        done = self.wine(PENDRA, '-status', check=False)
        return done.returncode, done.stdout.replace('\r\n', '\n')

    def status_values(self):
        """The record's values as reg query prints them: texts as they are, numbers in hex."""
        done = self.wine('reg', 'query', STATUS_KEY, check=False)
        values = {}
        for line in done.stdout.splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[1].startswith('REG_'):
                values[parts[0]] = parts[2].strip() if len(parts) > 2 else ''
        return values

    def fresh_status(self):
        self.wine('reg', 'delete', STATUS_KEY, '/f', check=False)
        self.addCleanup(self.wine, 'reg', 'delete', STATUS_KEY, '/f', check=False)

    def test_the_status_record_after_a_good_poll_failed_polls_and_a_restart(self):
        self.fresh_status()
        code, output = self.status()
        self.assertEqual(code, 2, output)
        self.assertIn('No status record', output)

        self.start_chrony()
        self.configure()
        self.assertEqual(self.run_service()[0], 0)
        values = self.status_values()
        self.assertEqual(values['LastResult'], 'synchronised', values)
        self.assertEqual(values['LastSuccess'], values['LastPoll'])
        self.assertRegex(values['LastPoll'], r'^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$')
        self.assertEqual(values['Address'], self.server_address)
        self.assertEqual(values['FailedPolls'], '0x0')
        self.assertEqual(values['NextPoll'], '')
        self.assertLess(abs(float(values['OffsetMilliseconds'])), 100, values)
        self.assertGreater(float(values['DelayMilliseconds']), 0, values)
        code, output = self.status()
        self.assertEqual(code, 0, output)
        self.assertIn(f'from {self.server_address} ({self.server_address})', output)
        self.assertIn('Synchronised: the single run succeeded.', output)

        # Started again against a server that refuses this client: the poll fails at once, and
        # the last success is kept from the record of the run before. (Writing the settings
        # anew would replace their key, the record with it.)
        pid = testhost('fake', HOST, PORT + 1, self.work, '--mode', 'kod', '--kod', 'DENY')
        self.addCleanup(testhost, 'stop', pid)
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerPort', '/t', 'REG_DWORD', '/d',
                  str(PORT + 1), '/f')
        self.assertEqual(self.run_service(1500)[0], 0)
        failed = self.status_values()
        self.assertEqual(failed['LastSuccess'], values['LastSuccess'])
        self.assertEqual(failed['LastResult'], 'the server refuses this client (DENY)')
        self.assertEqual(failed['FailedPolls'], '0x1')
        code, output = self.status()
        self.assertEqual(code, 1, output)
        self.assertIn('the last single run had no success', output)

    def test_a_record_of_garbage_is_named_and_replaced_and_a_denied_write_costs_one_line(self):
        self.fresh_status()
        for name, kind, data in (('LastPoll', 'REG_DWORD', '5'), ('LastSuccess', 'REG_SZ', 'yesterday'),
                                 ('FailedPolls', 'REG_SZ', 'many')):
            self.wine('reg', 'add', STATUS_KEY, '/v', name, '/t', kind, '/d', data, '/f')
        code, output = self.status()
        self.assertEqual(code, 2, output)
        self.assertIn('Unreadable:    LastPoll, LastSuccess, FailedPolls', output)
        self.assertIn('No usable status record', output)

        # Where the record cannot be written, the service goes on and says so once.
        self.start_chrony()
        self.configure(RunOnce=0, NTPPollMilliseconds=300)
        self.assertEqual(self.run_service('--status-denied', 2000)[0], 0)
        lines = self.log_lines()
        denied = [line for line in lines if line.startswith('cannot write the status record: ')]
        self.assertEqual(len(denied), 1, lines)
        self.assertGreaterEqual(len([line for line in lines if reported(line)]), 2, lines)
        self.assertEqual(self.status()[0], 2)

        self.configure()
        self.assertEqual(self.run_service()[0], 0)
        code, output = self.status()
        self.assertEqual(code, 0, output)
        self.assertNotIn('Unreadable', output)

    def test_with_a_slew_limit_the_first_correction_steps_and_the_next_ones_slew(self):
        # Wine applies no rate: what shows here is that the service slews where it may, says
        # so, keeps its frequency in the record, and reads its limit strictly.
        self.fresh_status()
        self.start_chrony()
        self.configure(MaxSlewMilliseconds=1000, RunOnce=0, NTPPollMilliseconds=1000)
        self.assertEqual(self.run_service(3500)[0], 0)
        lines = self.log_lines()
        self.assertIsNotNone(reported(lines[1]), lines)
        self.assertGreaterEqual(len(lines), 5, lines)
        for line in lines[2:-1]:
            self.assertRegex(line, r'^time slewed: offset [+-]\d+\.\d{3} ms, delay \d+\.\d{3} ms, '
                                   r'frequency [+-]\d+\.\d{3} ppm$')
        self.assertEqual(lines[-1], 'stop request')
        values = self.status_values()
        self.assertEqual(values['LastCorrection'], 'slew', values)
        self.assertRegex(values['FrequencyPpm'], r'^[+-]\d+\.\d{3}$')
        output = self.status()[1]
        self.assertIn(', slewed\n', output)
        self.assertIn(f'Frequency:     {values["FrequencyPpm"]} ppm', output)

        # A stored frequency that is no number is named and not taken over; a limit out of
        # range ends the start.
        for path in glob.glob(os.path.join(self.logs, '*')):
            os.remove(path)
        self.wine('reg', 'add', STATUS_KEY, '/v', 'FrequencyPpm', '/d', 'nan', '/f')
        self.assertEqual(self.run_service(500)[0], 0)
        self.assertEqual(self.log_lines()[1], 'the stored frequency is not a number of ppm: ignored')
        self.configure(MaxSlewMilliseconds=60001)
        self.assertEqual(self.run_service()[0], 1)
        self.assertEqual(self.log_lines()[-1],
                         'MaxSlewMilliseconds must be a REG_DWORD from 0 to 60000')

    # --- for a fleet: policy, changes without a restart, metrics ---------------------------------

    def policy(self, *values):
        """Writes values (name, type, data) under the policy key, removed again at the end."""
        self.addCleanup(self.wine, 'reg', 'delete', POLICY_KEY, '/f', check=False)
        for name, kind, data in values:
            self.wine('reg', 'add', POLICY_KEY, '/v', name, '/t', kind, '/d', str(data), '/f')

    def test_policy_values_override_the_settings_and_are_read_as_strictly(self):
        self.start_fake()
        self.configure(NTPServerName='unused.invalid')
        self.policy(('NTPServerName', 'REG_SZ', self.server_address))
        self.assertEqual(self.run_service()[0], 0)
        lines = self.log_lines()
        self.assertEqual(lines[0], f'Start Pendra Rev: 1.22, server {self.server_address}')
        self.assertEqual(lines[1], 'settings from policy: NTPServerName')
        self.assertIsNotNone(reported(lines[2]), lines)
        # A policy value of the wrong type ends the start as the same local value would.
        self.policy(('NTPSamples', 'REG_SZ', '4'))
        self.assertEqual(self.run_service()[0], 1)
        self.assertEqual(self.log_lines()[-1], 'NTPSamples must be a REG_DWORD from 1 to 8')

    def test_a_changed_server_is_asked_at_the_next_poll_and_a_broken_change_is_not_taken(self):
        self.start_fake()
        second, second_log = self.start_second()
        self.configure(RunOnce=0, NTPPollMilliseconds=500)
        stop = os.path.join(self.work, 'stop')
        driver = subprocess.Popen([pendra_testlib.WINE_RUN, PREFIX, DRIVER, '--stop-file',
                                   windows_path(stop)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(driver.kill)
        self.assertTrue(pendra_testlib.wait_for(
            lambda: any(reported(line) for line in self.log_lines_or_none()), 30))

        def asked_second():
            with open(second_log, encoding='utf-8') as log:
                return sum(' request ' in line for line in log)

        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerName', '/d', f'[{second}]', '/f')
        self.assertTrue(pendra_testlib.wait_for(asked_second, 20), self.log_lines_or_none())
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerName', '/t', 'REG_DWORD', '/d', '7',
                  '/f')
        broken = 'settings not applied, the last good ones stay in force: unexpected format ' \
                 'registry value'
        self.assertTrue(pendra_testlib.wait_for(lambda: broken in self.log_lines_or_none(), 20))
        before = asked_second()
        self.assertTrue(pendra_testlib.wait_for(lambda: asked_second() > before + 1, 20))
        with open(stop, 'w', encoding='ascii'):
            pass
        self.assertEqual(driver.wait(timeout=60), 0)
        lines = self.log_lines()
        self.assertIn('settings changed: NTPServerName', lines)
        self.assertEqual(lines.count(broken), 1, lines)  # once, not at every poll
        self.assertNotIn('shutting down NTP service', lines)

    def test_the_metrics_file_is_what_promtool_accepts_and_the_record_says(self):
        self.fresh_status()
        self.start_fake()
        metrics = os.path.join(self.work, 'textfile', 'pendra.prom')
        os.mkdir(os.path.dirname(metrics))
        self.configure(RunOnce=0, NTPPollMilliseconds=300, MetricsFile=windows_path(metrics))
        self.assertEqual(self.run_service(1500)[0], 0)
        with open(metrics, encoding='ascii') as file:
            text = file.read()
        checked = subprocess.run(['promtool', 'check', 'metrics'], input=text,
                                 capture_output=True, text=True, timeout=30, check=False)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        values = dict(re.findall(r'^(pendra_\w+)(?:\{[^}]*\})? (\S+)$', text, re.MULTILINE))
        record = self.status_values()
        # The record rounds to the microsecond; the metric keeps what the service measured.
        self.assertAlmostEqual(float(values['pendra_offset_seconds']) * 1000,
                               float(record['OffsetMilliseconds']), delta=0.0005)
        self.assertAlmostEqual(float(values['pendra_delay_seconds']) * 1000,
                               float(record['DelayMilliseconds']), delta=0.0005)
        self.assertEqual(int(values['pendra_failed_polls']), int(record['FailedPolls'], 16))
        # The service stopped at the end of the run: it keeps nothing synchronised any more.
        self.assertEqual(values['pendra_synchronised'], '0')
        self.assertIn(f'server="{self.server_address}"', text)
        self.assertEqual(os.listdir(os.path.dirname(metrics)), ['pendra.prom'])

        # A folder that is not there costs a line, not a line a poll; the polls go on.
        for path in glob.glob(os.path.join(self.logs, '*')):
            os.remove(path)
        self.configure(RunOnce=0, NTPPollMilliseconds=300,
                       MetricsFile=windows_path(os.path.join(self.work, 'gone', 'pendra.prom')))
        self.assertEqual(self.run_service(1500)[0], 0)
        lines = self.log_lines()
        self.assertEqual(len([line for line in lines if line.startswith('cannot write the metrics')]),
                         1, lines)
        self.assertGreaterEqual(len([line for line in lines if reported(line)]), 3, lines)

        # Optional like the numbers: a value of another type is set aside, and said so.
        self.configure(RunOnce=1, MetricsFile=5)
        self.assertEqual(self.run_service()[0], 0)
        self.assertIn('MetricsFile is no text: no metrics are written', self.log_lines())

    # --- the events -----------------------------------------------------------------------------

    def test_events_of_a_configuration_error_a_day_without_reply_and_its_end(self):
        events = os.path.join(self.work, 'events.log')

        def written():
            if not os.path.exists(events):
                return []
            with open(events, encoding='latin-1') as log:
                lines = log.read().splitlines()
            os.remove(events)
            return lines

        # A setting out of range ends the service at its start.
        self.configure(NTPSamples=9)
        self.assertEqual(self.run_service('--events', windows_path(events))[0], 1)
        lines = written()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith('error 3 '), lines)
        self.assertIn('NTPSamples', lines[0])

        # The last success was three days ago, and the computer was off since: a failed poll
        # right after the start does not complete a day without a valid reply (that day counts
        # from the start; its warning is tested natively, a day being too long to wait here).
        self.configure()
        self.fresh_status()
        days_ago = time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(time.time() - 72 * 3600))

        def stored(*values):
            for name, value in values:
                self.wine('reg', 'add', STATUS_KEY, '/v', name, '/t',
                          'REG_DWORD' if isinstance(value, int) else 'REG_SZ', '/d', str(value),
                          '/f')

        stored(('LastPoll', days_ago), ('LastSuccess', days_ago), ('LastResult', 'synchronised'))
        pid = testhost('fake', HOST, PORT + 1, self.work, '--mode', 'kod', '--kod', 'DENY')
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerPort', '/t', 'REG_DWORD', '/d',
                  str(PORT + 1), '/f')
        self.assertEqual(self.run_service('--events', windows_path(events), 1500)[0], 0)
        testhost('stop', pid)
        self.assertEqual(written(), [f'information 1 {self.server_address}', 'information 2'])
        self.assertEqual(self.status_values()['NoReplyWarned'], '0x0')

        # Warned before the restart: an offset that is refused is no valid reply, and tells
        # nothing; a server that sets the clock ends the warning, once.
        stored(('NoReplyWarned', 1))
        pid = testhost('fake', HOST, PORT + 1, self.work, '--offset', '6.2')
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'MaxAdjustSeconds', '/t', 'REG_DWORD', '/d',
                  '5', '/f')
        self.assertEqual(self.run_service('--events', windows_path(events), 1500)[0], 0)
        testhost('stop', pid)
        self.assertEqual(written(), [f'information 1 {self.server_address}', 'information 2'])
        self.assertEqual(self.status_values()['NoReplyWarned'], '0x1')

        self.start_chrony()
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerPort', '/t', 'REG_DWORD', '/d',
                  str(PORT), '/f')
        self.assertEqual(self.run_service('--events', windows_path(events))[0], 0)
        self.assertEqual(written(), [f'information 1 {self.server_address}',
                                     f'information 6 {self.server_address}|{days_ago}',
                                     'information 2'])
        self.assertEqual(self.status_values()['NoReplyWarned'], '0x0')

    # --- Pendra -query -------------------------------------------------------------------------

    def query(self, *args):
        done = self.wine(PENDRA, '-query', *map(str, args), check=False, timeout=90)
        return done.returncode, done.stdout.replace('\r\n', '\n').splitlines()

    def test_query_reports_each_sample_and_sets_nothing(self):
        self.fresh_status()
        self.start_chrony()
        self.configure(NTPServerPort=PORT, MaxAdjustSeconds=1)
        before = self.wine('reg', 'query', SETTINGS_KEY).stdout
        code, lines = self.query(self.server_address, 3)
        self.assertEqual(code, 0, lines)
        self.assertEqual(lines[0], f'asking {self.server_address} ({self.server_address}) on '
                                   f'port {PORT}, 3 samples')
        samples = [re.fullmatch(r'sample (\d): offset ([-+]\d+\.\d{3}) ms, delay (\d+\.\d{3}) '
                                r'ms, stratum (\d+)', line) for line in lines[1:4]]
        self.assertTrue(all(samples), lines)
        self.assertEqual([int(s.group(1)) for s in samples], [1, 2, 3])
        for sample in samples:
            self.assertLess(abs(float(sample.group(2))), 100, lines)
            self.assertTrue(1 <= int(sample.group(4)) <= 15, lines)
        least = min(samples, key=lambda s: float(s.group(3)))
        self.assertEqual(lines[4], 'least delay: ' + least.group(0))
        # Neither the settings nor the record change, and no log is written.
        self.assertEqual(self.wine('reg', 'query', SETTINGS_KEY).stdout, before)
        self.assertEqual(self.status_values(), {})
        self.assertEqual(self.log_lines(), [])

    def test_query_says_why_a_reply_is_refused_and_when_none_comes(self):
        self.configure(NTPServerPort=PORT)
        self.start_fake('--mode', 'malformed', '--bad-field', 'stratum16')
        code, lines = self.query(self.server_address, 1)
        self.assertEqual(code, 1, lines)
        self.assertTrue(any('stratum' in line for line in lines[1:-2]), lines)
        self.assertEqual(lines[-2:], ['sample 1: no valid reply',
                                      f'no valid reply from {self.server_address}'])
        # A server that lies about the time is shown as it is: the check of the offset is the
        # service's, not the query's.
        pid = testhost('fake', HOST, PORT + 1, self.work, '--offset', '3600')
        self.addCleanup(testhost, 'stop', pid)
        self.wine('reg', 'add', SETTINGS_KEY, '/v', 'NTPServerPort', '/t', 'REG_DWORD', '/d',
                  str(PORT + 1), '/f')
        code, lines = self.query(self.server_address, 1)
        self.assertEqual(code, 0, lines)
        offset = re.match(r'^sample 1: offset \+(\d+\.\d{3}) ms', lines[1])
        self.assertIsNotNone(offset, lines)
        self.assertAlmostEqual(float(offset.group(1)), 3600000, delta=50)

    def test_query_refuses_bad_input_before_asking(self):
        for args, text in ((['-query'], 'usage: pendra -query [-nts] SERVER [SAMPLES]'),
                           (['-query', 'a.test', '0'], 'not "0"'),
                           (['-query', 'a.test', '100'], 'not "100"'),
                           (['-query', '[2001:db8::1'], 'cannot be asked: "[" without "]"'),
                           (['-query', 'host.test:123'], 'a port cannot be given here')):
            done = self.wine(PENDRA, *args, check=False)
            self.assertEqual(done.returncode, 2, (args, done.stdout))
            self.assertIn(text, done.stdout, args)
        # A name that does not resolve, with a hosts file that lacks it and no name server.
        wrapper = pendra_testlib.private_name_service(
            self.work, hosts='127.0.0.1 localhost\n', nsswitch_conf='hosts: files\n')
        done = subprocess.run([*wrapper, pendra_testlib.WINE_RUN, PREFIX, PENDRA, '-query',
                               'pendra-missing.test'], capture_output=True, text=True,
                              timeout=60, check=False)
        self.assertEqual(done.returncode, 2, done.stdout)
        self.assertIn('cannot resolve server name "pendra-missing.test"', done.stdout)


if __name__ == '__main__':
    unittest.main()

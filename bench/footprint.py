#!/usr/bin/env python3
"""Resident cost of the time service under Wine.

1. Idle: the service synchronises once against the fake SNTP server on a test host, then
   waits for its next poll (60 s away); the CPU time the process spends over --idle seconds
   of that wait is measured from /proc.
2. Churn: with a poll interval of 0 the service runs --exchanges exchanges back to back; its
   resident memory and open descriptors (every socket and handle Wine gives the process is
   one) are sampled as the exchanges go on. No growth is the target.

Needs root (the test host is a network namespace). Never changes the clock.
Usage: sudo python3 bench/footprint.py [--idle 60] [--exchanges 1000] [--json FILE]
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
from pendra_testlib import (descriptors, resident_kib, wine_program_pid,  # noqa: E402
                            windows_path)
TESTHOST = os.path.join(ROOT, 'tests', 'support', 'testhost')
WINE_RUN = os.path.join(ROOT, 'tools', 'wine-run')
DRIVER = os.path.join(ROOT, 'build', 'windows-x64', 'tests', 'support', 'sync-driver.exe')
PREFIX = os.path.join(ROOT, 'build', 'footprint-wineprefix')
HOST, PORT = 31, 11231
KEY = r'HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client'
TICKS = os.sysconf('SC_CLK_TCK')


def run(*args, timeout=60):
    return subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=timeout,
                          check=True).stdout.strip()


def configure(work, server, poll):
    lines = ['Windows Registry Editor Version 5.00', '', f'[-{KEY}]', '', f'[{KEY}]',
             '"WriteLogEntries"=dword:00000001',
             '"LogDirectory"="' + windows_path(os.path.join(work, 'logs')).replace('\\', '\\\\')
             + '"',
             '"WaitForRAS"=dword:00000000', '"RunOnce"=dword:00000000',
             f'"NTPServerName"="{server}"', f'"NTPPollMilliseconds"=dword:{poll:08x}',
             f'"NTPServerPort"=dword:{PORT:08x}']
    reg = os.path.join(work, 'settings.reg')
    with open(reg, 'w', encoding='ascii', newline='\r\n') as out:
        out.write('\n'.join(lines) + '\n')
    run(WINE_RUN, PREFIX, 'reg', 'import', windows_path(reg))




def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS






def requests(server_log):
    try:
        with open(server_log, encoding='utf-8') as log:
            return sum(1 for line in log if ' request ' in line)
    except OSError:
        return 0


def session(work, server, poll, body, stop_after=None):
    """Runs the driver until the stop file appears (or for stop_after ms, which keeps its
    stop thread asleep rather than polling); body(pid, stop) measures meanwhile."""
    for old in glob.glob(os.path.join(work, 'logs', '*')):
        os.remove(old)
    configure(work, server, poll)
    stop = os.path.join(work, 'stop')
    if os.path.exists(stop):
        os.remove(stop)
    how = [str(stop_after)] if stop_after is not None else ['--stop-file', windows_path(stop)]
    driver = subprocess.Popen([WINE_RUN, PREFIX, DRIVER, *how],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        pid = wine_program_pid('sync-driver.exe', PREFIX, time.monotonic() + 60)
        return body(pid, stop)
    finally:
        open(stop, 'w', encoding='ascii').close()
        try:
            driver.wait(timeout=30)
        except subprocess.TimeoutExpired:
            driver.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--idle', type=float, default=60.0)
    parser.add_argument('--exchanges', type=int, default=1000)
    parser.add_argument('--json')
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit('needs root: the test host is a network namespace')
    if not os.path.exists(DRIVER):
        sys.exit(f'build the driver first: {DRIVER}')

    work = tempfile.mkdtemp(prefix='pendra-footprint-')
    os.mkdir(os.path.join(work, 'logs'))
    server_pid = None
    results = {}
    try:
        server = run(TESTHOST, 'create', HOST)
        server_pid = run(TESTHOST, 'fake', HOST, PORT, work)
        server_log = os.path.join(work, f'fake-{PORT}.log')

        def idle(pid, _stop):
            deadline = time.monotonic() + 30
            while requests(server_log) < 1 and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(1)  # the exchange's report and the start of the wait
            before, started = cpu_seconds(pid), time.monotonic()
            time.sleep(options.idle)
            return cpu_seconds(pid) - before, time.monotonic() - started

        cpu, seconds = session(work, server, 3600000, idle,
                               stop_after=int((options.idle + 15) * 1000))
        results['idle_seconds'] = round(seconds, 1)
        results['idle_cpu_seconds'] = round(cpu, 3)
        print(f'idle wait: {cpu:.3f} s of CPU in {seconds:.1f} s '
              f'({100 * cpu / seconds:.3f} % of one core)')

        def churn(pid, _stop):
            samples = []
            marks = sorted({10, options.exchanges // 10, options.exchanges // 2,
                            options.exchanges})
            deadline = time.monotonic() + 30 + options.exchanges * 0.5
            for mark in marks:
                while requests(server_log) < mark and time.monotonic() < deadline:
                    time.sleep(0.02)
                # An exchange in flight holds one more descriptor (its socket): the fewest seen
                # over a few readings is what stays between exchanges.
                readings = []
                for _ in range(20):
                    readings.append((resident_kib(pid), descriptors(pid)))
                    time.sleep(0.002)
                samples.append((requests(server_log), min(r for r, _ in readings),
                                min(f for _, f in readings)))
            return samples

        start_requests = requests(server_log)
        started = time.monotonic()
        samples = session(work, server, 0, churn)
        elapsed = time.monotonic() - started
        done = requests(server_log) - start_requests
        results['exchanges'] = done
        results['exchanges_per_second'] = round(done / elapsed, 1)
        results['samples'] = [{'exchanges': n - start_requests, 'rss_kib': r, 'fds': f}
                              for n, r, f in samples]
        print(f'{done} exchanges in {elapsed:.1f} s')
        print('after exchanges   resident KiB   descriptors')
        for n, rss, fds in samples:
            print(f'{n - start_requests:15d}   {rss:12d}   {fds:11d}')
        grew = samples[-1][2] - samples[0][2]
        rss_growth = samples[-1][1] - samples[1][1] if len(samples) > 1 else 0
        results['descriptor_growth'] = grew
        results['rss_growth_kib_after_warmup'] = rss_growth
        verdict = 'PASS' if grew == 0 and rss_growth < 512 and cpu < 0.05 * seconds else 'FAIL'
        results['verdict'] = verdict
        print(f'descriptor growth {grew}, resident growth after warm-up {rss_growth} KiB: '
              f'{verdict}')
    finally:
        if server_pid:
            subprocess.run([TESTHOST, 'stop', str(server_pid)], capture_output=True)
        subprocess.run([TESTHOST, 'delete', str(HOST)], capture_output=True)
        subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=PREFIX),
                       capture_output=True)
        shutil.rmtree(work, ignore_errors=True)
    if options.json:
        with open(options.json, 'w', encoding='ascii') as out:
            json.dump(results, out, indent=2)
    return 0 if results.get('verdict') == 'PASS' else 1


if __name__ == '__main__':
    sys.exit(main())

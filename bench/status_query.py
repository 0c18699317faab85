#!/usr/bin/env python3
"""Pendra -query against the service's own measurement, and the cost of the status record.

1. chronyd on a test host. The service (the sync driver, one poll a run) measures it --runs
   times; each run's offset is read from the status record, to the microsecond. Then
   Pendra -query asks the same server --runs times. The two medians must agree within 0.1 ms.
2. The fake SNTP server on the same test host. The service polls it without a pause for
   --seconds, once writing the status record after every poll and once with every write
   refused at once (the sync driver's --status-denied): the polls a second of each, and what
   a poll costs more with the record.

Needs root (the test host is a network namespace). Never changes the clock.
Usage: sudo python3 bench/status_query.py [--runs 20] [--seconds 10]
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
from pendra_testlib import reported, settings_lines, reg_import, windows_path  # noqa: E402

TESTHOST = os.path.join(ROOT, 'tests', 'support', 'testhost')
WINE_RUN = os.path.join(ROOT, 'tools', 'wine-run')
BUILD = os.path.join(ROOT, 'build', 'windows-x64')
DRIVER = os.path.join(BUILD, 'tests', 'support', 'sync-driver.exe')
PENDRA = os.path.join(BUILD, 'bin', 'Pendra.exe')
PREFIX = os.path.join(ROOT, 'build', 'bench-wineprefix')
# Host 31 and port 11231 are this benchmark's own: the tests and the other benchmarks use others.
HOST = 31
PORT = 11231
STATUS_KEY = r'HKLM\SOFTWARE\Tarnwick\NTP Client\Status'
TARGET_AGREEMENT_MS = 0.1
SAMPLE_RE = re.compile(r'^sample \d+: offset ([-+]\d+\.\d{3}) ms, delay (\d+\.\d{3}) ms')


def run(*args, timeout=120, check=True):
    done = subprocess.run(list(map(str, args)), capture_output=True, text=True, timeout=timeout,
                          check=False)
    if check and done.returncode != 0:
        sys.exit(f'{" ".join(map(str, args))}: exit {done.returncode}: {done.stderr.strip()}')
    return done


def wine(*args, timeout=120, check=True):
    return run(WINE_RUN, PREFIX, *args, timeout=timeout, check=check)


def configure(work, address, **values):
    settings = {'WriteLogEntries': 1, 'LogDirectory': windows_path(os.path.join(work, 'logs')),
                'WaitForRAS': 0, 'RunOnce': 1, 'NTPServerName': address,
                'NTPPollMilliseconds': 0, 'NTPServerPort': PORT, 'MaxAdjustSeconds': 0}
    settings.update(values)
    reg_import(PREFIX, work, settings_lines(settings))


def recorded_offset():
    out = wine('reg', 'query', STATUS_KEY, '/v', 'OffsetMilliseconds').stdout
    return float(re.search(r'OffsetMilliseconds\s+REG_SZ\s+(\S+)', out).group(1))


def agreement(work, address, runs):
    """Medians of the service's and the query's offsets against chronyd, in ms."""
    chrony = run(TESTHOST, 'chrony', HOST, PORT, work).stdout.strip()
    try:
        time.sleep(1)  # chronyd answers once it has read its configuration
        configure(work, address)
        service = []
        for _ in range(runs):
            wine(DRIVER)
            service.append(recorded_offset())
        queried = []
        for _ in range(runs):
            lines = wine(PENDRA, '-query', address, 1).stdout.splitlines()
            match = next(m for m in map(SAMPLE_RE.match, lines) if m)
            queried.append(float(match.group(1)))
    finally:
        run(TESTHOST, 'stop', chrony, check=False)
    return statistics.median(service), statistics.median(queried)


def polls_per_second(work, address, seconds, *driver_options):
    logs = os.path.join(work, 'logs')
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    configure(work, address, RunOnce=0)
    started = time.monotonic()
    wine(DRIVER, *driver_options, seconds * 1000, timeout=seconds + 60)
    elapsed = time.monotonic() - started
    polls = 0
    for path in glob.glob(os.path.join(logs, '*.ntp')):
        with open(path, encoding='ascii', errors='replace') as log:
            polls += sum(1 for line in log if reported(line[30:].strip()))
    return polls / min(elapsed, seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--runs', type=int, default=20)
    parser.add_argument('--seconds', type=int, default=10)
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit('needs root: the test host is a network namespace')
    for path in (DRIVER, PENDRA):
        if not os.path.exists(path):
            sys.exit(f'missing {path}: build the windows-x64 preset first')
    work = tempfile.mkdtemp(prefix='pendra-status-bench-')
    address = run(TESTHOST, 'create', HOST).stdout.strip()
    try:
        service, queried = agreement(work, address, options.runs)
        gap = abs(service - queried)
        print(f'offset median of {options.runs}: service {service:+.3f} ms, '
              f'-query {queried:+.3f} ms, gap {gap:.3f} ms (target <= {TARGET_AGREEMENT_MS})')
        fake = run(TESTHOST, 'fake', HOST, PORT, work).stdout.strip()
        try:
            rates = {}
            # Twice each, alternating, so that a slower phase of the machine hits both.
            for label, option in (('with', ()), ('without', ('--status-denied',))) * 2:
                rates.setdefault(label, []).append(
                    polls_per_second(work, address, options.seconds, *option))
        finally:
            run(TESTHOST, 'stop', fake, check=False)
        with_record = statistics.mean(rates['with'])
        without = statistics.mean(rates['without'])
        print(f'polls a second over {options.seconds} s: with the record {with_record:.1f} '
              f'({", ".join(f"{r:.1f}" for r in rates["with"])}), without {without:.1f} '
              f'({", ".join(f"{r:.1f}" for r in rates["without"])}); a poll '
              f'{1000 / with_record:.3f} ms against {1000 / without:.3f} ms')
    finally:
        wine('reg', 'delete', STATUS_KEY, '/f', check=False)
        run(TESTHOST, 'delete', HOST, check=False)
        shutil.rmtree(work, ignore_errors=True)
    return 0 if gap <= TARGET_AGREEMENT_MS else 1


if __name__ == '__main__':
    sys.exit(main())

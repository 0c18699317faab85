#!/usr/bin/env python3
"""What Network Time Security costs Pendra under Wine, against chronyd on a test host.

chronyd serves its own clock (the machine's) by NTP and by NTS, with a certificate of a test
CA made here; the offset it shows is the path's, as the true offset is zero.
1. Offsets: `Pendra -query -nts ADDRESS N` and `Pendra -query ADDRESS N` in turn, --rounds
   times each; the medians of offsets and delays per mode. Target: medians within 0.05 ms.
2. Key exchanges: nts-ke-bench makes --exchanges key exchanges in a row, trusting the test CA
   alone and then also the machine's roots as the service does; median and p90, and the time
   to build an authenticated request from its cookies. Target: median at most 100 ms.
3. Size: Pendra.exe's bytes.
4. Memory: the sync driver with UseNTS=1 polls every --poll-ms until --polls polls are logged;
   the resident set and open descriptors of its process are read from /proc as they go on,
   and the log's key exchanges counted; then the same without NTS. Target: no growth after
   the first polls, and one key exchange for all of them.

Needs root (the test host is a network namespace). Never changes the clock.
Usage: sudo python3 bench/nts.py [--build build/windows-x64] [--host 33 --port 11233]
       [--rounds 4] [--samples 10] [--exchanges 50] [--polls 1000] [--poll-ms 20]
       [--only offsets,ke,size,memory] [--json FILE]
"""
import argparse
import datetime
import glob
import json
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
from pendra_testlib import log_texts as logged_texts  # noqa: E402
from pendra_testlib import (descriptors, make_ca, make_server_certificate,  # noqa: E402
                            percentile, resident_kib, testhost, wine, wine_program_pid,
                            windows_path, write_settings)

VALID = ('20260101000000Z', '20991231000000Z')
SAMPLE_RE = re.compile(r'^sample (\d+): offset ([-+]\d+\.\d+) ms, delay (-?\d+\.\d+) ms, '
                       r'stratum \d+(, authenticated \(NTS\))?$')
POLL_RE = re.compile(r'^(time reset: |time slewed: )')
TARGET_GAP_MS = 0.05
TARGET_KE_MEDIAN_MS = 100.0


class BenchError(Exception):
    pass




def settings(work, address, port, **overrides):
    values = {
        'WriteLogEntries': 1,
        'LogDirectory': windows_path(os.path.join(work, 'logs')),
        'WaitForRAS': 0,
        'RunOnce': 1,
        'NTPServerName': address,
        'NTPPollMilliseconds': 600000,
        'NTPServerPort': port,
        'UseNTS': 0,
        'NTSTrustedCertificates': windows_path(os.path.join(work, 'ca.crt')),
    }
    values.update(overrides)
    return values


def query(options, address, nts):
    """The samples of one Pendra -query run: [(offset ms, delay ms)]."""
    args = ['-query', *(['-nts'] if nts else []), address, str(options.samples)]
    done = wine(options.prefix, options.pendra, *args, check=False,
                timeout=60 + 3 * options.samples)
    lines = done.stdout.replace('\r\n', '\n').splitlines()
    samples = []
    for line in lines:
        match = SAMPLE_RE.match(line)
        if match:
            if bool(match.group(4)) != nts:
                raise BenchError(f'a sample {"not " if nts else ""}by NTS: {line}')
            samples.append((float(match.group(2)), float(match.group(3))))
    if done.returncode != 0 or len(samples) != options.samples:
        raise BenchError(f'Pendra {" ".join(args)}: exit {done.returncode}, '
                         f'{len(samples)} samples: {lines}')
    return samples


def offsets(options, work, address):
    write_settings(options.prefix, work, settings(work, address, options.port))
    taken = {'nts': [], 'sntp': []}
    for round_number in range(1, options.rounds + 1):
        for mode in ('nts', 'sntp'):
            samples = query(options, address, mode == 'nts')
            taken[mode] += samples
            print(f'round {round_number} {mode}: offsets '
                  + ' '.join(f'{offset:+.3f}' for offset, _ in samples))
    result = {}
    for mode, samples in taken.items():
        offs = [offset for offset, _ in samples]
        delays = [delay for _, delay in samples]
        result[mode] = {
            'samples': len(samples),
            'offset_median_ms': round(statistics.median(offs), 3),
            'offset_p10_ms': round(percentile(offs, 0.1), 3),
            'offset_p90_ms': round(percentile(offs, 0.9), 3),
            'delay_median_ms': round(statistics.median(delays), 3),
            'delay_p90_ms': round(percentile(delays, 0.9), 3),
        }
    gap = abs(result['nts']['offset_median_ms'] - result['sntp']['offset_median_ms'])
    result['offset_median_gap_ms'] = round(gap, 3)
    result['verdict'] = 'PASS' if gap <= TARGET_GAP_MS else 'FAIL'
    print('mode   samples   offset median (p10 .. p90)       delay median (p90)')
    for mode in ('nts', 'sntp'):
        r = result[mode]
        print(f'{mode:5s}  {r["samples"]:7d}   {r["offset_median_ms"]:+.3f} ms '
              f'({r["offset_p10_ms"]:+.3f} .. {r["offset_p90_ms"]:+.3f})   '
              f'{r["delay_median_ms"]:.3f} ms ({r["delay_p90_ms"]:.3f})')
    print(f'offset medians {gap:.3f} ms apart (target <= {TARGET_GAP_MS} ms): '
          f'{result["verdict"]}')
    return result


def key_exchanges(options, work, address):
    result = {}
    for name, extra in (('test_ca', []), ('machine_roots_too', ['--machine-roots'])):
        done = wine(options.prefix, options.ke_bench, address,
                    windows_path(os.path.join(work, 'ca.crt')), str(options.exchanges), *extra,
                    check=False, timeout=60 + 11 * options.exchanges)
        lines = done.stdout.replace('\r\n', '\n').splitlines()
        summary = dict(pair.split('=', 1) for line in lines if not line.startswith('exchange ')
                       for pair in line.split())
        failures = [line for line in lines if ': failed after ' in line]
        if done.returncode != 0 or 'median_ms' not in summary:
            raise BenchError(f'nts-ke-bench: exit {done.returncode}: {failures[:3] or lines} '
                             f'{done.stderr.strip()}')
        entry = {key: float(value) for key, value in summary.items()}
        entry['verdict'] = 'PASS' if entry['median_ms'] <= TARGET_KE_MEDIAN_MS else 'FAIL'
        result[name] = entry
        print(f'key exchanges, {name.replace("_", " ")}: {int(entry["exchanges"])} done, '
              f'median {entry["median_ms"]:.1f} ms, p90 {entry["p90_ms"]:.1f} ms, '
              f'min {entry["min_ms"]:.1f}, max {entry["max_ms"]:.1f} '
              f'(target median <= {TARGET_KE_MEDIAN_MS:.0f} ms): {entry["verdict"]}')
    print(f'reading the machine\'s ROOT store: {result["test_ca"]["roots_ms"]:.1f} ms, '
          f'{int(result["test_ca"]["roots"])} certificates')
    if 'request_us' in result['test_ca']:
        print(f'building an authenticated request: {result["test_ca"]["request_us"]:.1f} us '
              f'(median of {int(result["test_ca"]["requests"])})')
    return result








def log_texts(work):
    return logged_texts(os.path.join(work, 'logs'))


def memory(options, work, address, nts=True):
    for old in glob.glob(os.path.join(work, 'logs', '*')):
        os.remove(old)
    write_settings(options.prefix, work, settings(work, address, options.port, RunOnce=0,
                                                  UseNTS=int(nts),
                                                  NTPPollMilliseconds=options.poll_ms))
    stop = os.path.join(work, 'stop')
    if os.path.exists(stop):
        os.remove(stop)
    bound = 60 + options.polls * (options.poll_ms / 1000 + 0.1)
    driver = subprocess.Popen([os.path.join(ROOT, 'tools', 'wine-run'), options.prefix,
                               options.driver, str(int(bound * 1000)), '--stop-file',
                               windows_path(stop)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    samples = []
    started = time.monotonic()
    try:
        pid = wine_program_pid('sync-driver.exe', options.prefix, started + 60)
        marks = sorted({1, 10, 50} | set(range(100, options.polls + 1, 100)))
        deadline = started + bound
        polls = 0
        for mark in marks:
            while time.monotonic() < deadline:
                polls = sum(1 for text in log_texts(work) if POLL_RE.match(text))
                if polls >= mark:
                    break
                time.sleep(0.05)
            if polls < mark:
                break
            # A poll in flight holds one more descriptor (its socket): the fewest seen over a
            # few readings is what stays between polls.
            readings = []
            for _ in range(10):
                readings.append((resident_kib(pid), descriptors(pid)))
                time.sleep(0.002)
            samples.append({'polls': polls, 'rss_kib': min(r for r, _ in readings),
                            'fds': min(f for _, f in readings)})
    finally:
        open(stop, 'w', encoding='ascii').close()
        try:
            driver.wait(timeout=60)
        except subprocess.TimeoutExpired:
            driver.kill()
    elapsed = time.monotonic() - started
    texts = log_texts(work)
    polls = sum(1 for text in texts if POLL_RE.match(text))
    exchanges = [text for text in texts if text.startswith('NTS key exchange')]
    others = [text for text in texts if not POLL_RE.match(text) and
              not text.startswith(('Start Pendra', 'NTS key exchange', 'stop request'))]
    if not samples:
        raise BenchError(f'no poll logged: {texts[:10]}')
    rss = [s['rss_kib'] for s in samples]
    after_warmup = [s['rss_kib'] for s in samples if s['polls'] >= 50] or rss
    result = {
        'polls': polls, 'seconds': round(elapsed, 1), 'key_exchanges': len(exchanges),
        'exchange_lines': exchanges, 'other_lines': others[:20], 'samples': samples,
        'rss_first_kib': rss[0], 'rss_last_kib': rss[-1], 'rss_max_kib': max(rss),
        'rss_growth_after_warmup_kib': after_warmup[-1] - after_warmup[0],
        'fd_growth': samples[-1]['fds'] - samples[0]['fds'],
    }
    result['verdict'] = ('PASS' if polls >= options.polls and result['fd_growth'] <= 0 and
                         result['rss_growth_after_warmup_kib'] < 512 and
                         len(exchanges) == int(nts) else 'FAIL')
    print(f'{polls} polls {"by NTS" if nts else "by plain SNTP"} in {elapsed:.1f} s '
          f'(with Wine start-up), {len(exchanges)} key exchange(s)')
    print('after polls   resident KiB   descriptors')
    for s in samples:
        print(f'{s["polls"]:11d}   {s["rss_kib"]:12d}   {s["fds"]:11d}')
    print(f'resident first {rss[0]} / last {rss[-1]} / max {max(rss)} KiB, growth after 50 '
          f'polls {result["rss_growth_after_warmup_kib"]} KiB, descriptors '
          f'{result["fd_growth"]:+d}: {result["verdict"]}')
    if others:
        print(f'other log lines ({len(others)}), first: {others[:3]}')
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build', 'windows-x64'),
                        help='the windows-x64 build with Pendra, sync-driver and nts-ke-bench')
    parser.add_argument('--prefix', default=os.path.join(ROOT, 'build', 'nts-wineprefix'),
                        help='Wine prefix of the benchmark')
    parser.add_argument('--host', type=int, default=33, help='test host number')
    parser.add_argument('--port', type=int, default=11233, help="chronyd's NTP port")
    parser.add_argument('--rounds', type=int, default=4)
    parser.add_argument('--samples', type=int, default=10)
    parser.add_argument('--exchanges', type=int, default=50)
    parser.add_argument('--polls', type=int, default=1000)
    parser.add_argument('--poll-ms', type=int, default=20)
    parser.add_argument('--only', default='offsets,ke,size,memory')
    parser.add_argument('--json', metavar='FILE')
    options = parser.parse_args()
    parts = set(options.only.split(','))
    if not parts <= {'offsets', 'ke', 'size', 'memory'} or not 1 <= options.rounds <= 50 or \
            not 1 <= options.samples <= 100 or not 1 <= options.exchanges <= 1000 or \
            not 1 <= options.polls <= 100000 or not 1 <= options.poll_ms <= 60000:
        parser.error('--only offsets,ke,size,memory; --rounds 1..50, --samples 1..100, '
                     '--exchanges 1..1000, --polls 1..100000, --poll-ms 1..60000')
    if os.geteuid() != 0:
        sys.exit('nts: needs root (the test host is a network namespace)')
    build = os.path.abspath(options.build)
    options.prefix = os.path.abspath(options.prefix)
    options.pendra = os.path.join(build, 'bin', 'Pendra.exe')
    options.driver = os.path.join(build, 'tests', 'support', 'sync-driver.exe')
    options.ke_bench = os.path.join(build, 'bench', 'nts-ke-bench.exe')
    needed = {'offsets': [options.pendra], 'ke': [options.ke_bench], 'size': [options.pendra],
              'memory': [options.driver]}
    for path in sorted({p for part in parts for p in needed[part]}):
        if not os.path.isfile(path):
            sys.exit(f'nts: missing {path}; build it with: cmake --build {options.build} '
                     '--target Pendra sync-driver nts-ke-bench')

    work = tempfile.mkdtemp(prefix='pendra-nts-bench-')
    os.mkdir(os.path.join(work, 'logs'))
    results = {
        'date': datetime.datetime.now(datetime.timezone.utc).strftime('%Y-%m-%d %H:%M UTC'),
        'nproc': os.cpu_count(),
        'command': ' '.join(['python3', 'bench/nts.py'] + sys.argv[1:]),
    }
    chronyd = None
    try:
        if 'size' in parts:
            size = os.path.getsize(options.pendra)
            results['pendra_exe_bytes'] = size
            print(f'{options.pendra}: {size:,} bytes')
        if parts & {'offsets', 'ke', 'memory'}:
            address = testhost('create', options.host)
            make_ca(work, 'ca')
            make_server_certificate(work, 'server', address, VALID)
            directory = os.path.join(work, 'chrony')
            os.mkdir(directory)
            for suffix in ('crt', 'key'):
                shutil.copyfile(os.path.join(work, f'server.{suffix}'),
                                os.path.join(directory, f'nts.{suffix}'))
            chronyd = testhost('chrony', options.host, options.port, directory)
            if 'offsets' in parts:
                results['offsets'] = offsets(options, work, address)
            if 'ke' in parts:
                results['key_exchange'] = key_exchanges(options, work, address)
            if 'memory' in parts:
                results['memory'] = memory(options, work, address)
                # The same polls without NTS, for what NTS adds to the resident set.
                results['memory_sntp'] = memory(options, work, address, nts=False)
        results['load_average_1min'] = round(os.getloadavg()[0], 2)
    except (BenchError, RuntimeError, subprocess.TimeoutExpired, OSError) as error:
        print(f'nts: {error}', file=sys.stderr)
        return 2
    finally:
        if chronyd:
            subprocess.run([os.path.join(ROOT, 'tests', 'support', 'testhost'), 'stop',
                            chronyd], capture_output=True, timeout=60, check=False)
        if parts & {'offsets', 'ke', 'memory'}:
            subprocess.run([os.path.join(ROOT, 'tests', 'support', 'testhost'), 'delete',
                            str(options.host)], capture_output=True, timeout=60, check=False)
        subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=options.prefix),
                       capture_output=True, timeout=60, check=False)
        shutil.rmtree(work, ignore_errors=True)
    if options.json:
        with open(options.json, 'w', encoding='utf-8') as out:
            json.dump(results, out, indent=2)
            out.write('\n')
    verdicts = [part.get('verdict') for part in (results.get('offsets'), results.get('memory'),
                                                 results.get('memory_sntp'),
                                                 *results.get('key_exchange', {}).values())
                if part]
    return 0 if all(verdict == 'PASS' for verdict in verdicts) else 1


if __name__ == '__main__':
    sys.exit(main())

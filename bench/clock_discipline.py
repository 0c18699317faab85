#!/usr/bin/env python3
"""The clock discipline's targets, measured with the clock-discipline simulator.

Builds the native-plain preset's clock-discipline, then runs each case in step mode (every
correction a step, as without MaxSlewMilliseconds) and in discipline mode, for several seeds,
and prints one Markdown table row a case: the discipline's p99 error on each seed, the worst,
and step mode's p99 beside it. A case's target is checked on every seed; the script ends with 1
when one is missed. Also times 24 simulated hours.

Usage: python3 bench/clock_discipline.py [--seeds 6] [--build DIR]
"""
import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASE = ['--drift', '50', '--wander', '0.05', '--temp', '1', '--loss', '0', '--api', 'classic',
        '--samples', '1', '--path', 'fixed', '--hours', '24']
LAST = re.compile(r'^error p50 ([\d.]+) ms p99 ([\d.]+) ms max ([\d.]+) ms; steps (\d+); '
                  r'max rate ([\d.]+) ppm; frequency error ([\d.]+) ppm$')

# name, options over BASE, check(discipline, step) -> problem or None
CASES = [
    ('poll 64', ['--poll', '64'], lambda d, s: d['p99'] <= 0.3),
    ('poll 1024', ['--poll', '1024'], lambda d, s: d['p99'] <= 1),
    ('poll 3600, 72 h', ['--poll', '3600', '--hours', '72'],
     lambda d, s: d['p99'] <= 3 and d['p99'] * 50 <= s['p99']),
    ('exponential path, 4 samples', ['--poll', '1024', '--path', 'exponential', '--samples', '4'],
     lambda d, s: d['p99'] <= 2),
    ('exponential path, 1 sample', ['--poll', '1024', '--path', 'exponential'],
     lambda d, s: d['p99'] <= 5),
    ('no temperature: frequency', ['--poll', '1024', '--temp', '0'],
     lambda d, s: d['frequency'] <= 0.1),
    ('server step 300 ms at 12 h', ['--poll', '1024', '--server-step', '300@12',
                                    '--max-slew', '1000'],
     lambda d, s: d['steps'] == 0 and d['recovered'] <= 2 * 1024 + 600),
    # Beyond the targets: a poll in three lost, the precise call; and an oscillator whose
    # frequency jumps, which costs what the first poll after it finds (5 ppm for 1024 s) and
    # must not cost much more.
    ('30 % loss, precise call', ['--poll', '1024', '--loss', '0.3', '--api', 'precise'],
     lambda d, s: d['p99'] <= 2),
    ('frequency step 5 ppm at 12 h (max)', ['--poll', '1024', '--freq-step', '5@12'],
     lambda d, s: d['max'] <= 3 * 5.12),
    # A frequency that moves at once by 50 ppm (a virtual machine moved to another host) at
    # poll 64: followed within a few polls, at most three polls' worth of the step.
    ('frequency step 50 ppm at 12 h, poll 64 (max)', ['--poll', '64', '--freq-step', '50@12'],
     lambda d, s: d['max'] <= 3 * 3.2),
    # 200 ppm at once is caught as a jump, and the sample after it tells that the frequency,
    # not the server's time, moved: back within the poll-64 target over the run.
    ('frequency step 200 ppm at 12 h, poll 64', ['--poll', '64', '--freq-step', '200@12'],
     lambda d, s: d['p99'] <= 0.3 and d['max'] <= 3 * 12.8),
]


def simulate(simulator, mode, options, seed):
    done = subprocess.run([simulator, '--mode', mode, *BASE, *options, '--seed', str(seed)],
                          capture_output=True, text=True, check=True, timeout=120)
    lines = done.stdout.splitlines()
    match = LAST.match(lines[-1])
    if not match:
        raise RuntimeError(f'unexpected last line: {lines[-1]}')
    result = dict(zip(('p50', 'p99', 'max', 'steps', 'rate', 'frequency'),
                      (float(v) for v in match.groups())))
    recovered = [line for line in lines if line.startswith('server step:')]
    if recovered:
        result['recovered'] = float(re.search(r'from (\d+) s', recovered[0]).group(1))
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--seeds', type=int, default=6)
    parser.add_argument('--build', default=os.path.join('build', 'native-plain'),
                        help='build directory of the native-plain preset (default: its own)')
    args = parser.parse_args()
    build = os.path.join(ROOT, args.build)
    simulator = os.path.join(build, 'bench', 'clock-discipline')
    subprocess.run(['cmake', '--preset', 'native-plain', '-B', build], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', build, '--target', 'clock-discipline'], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    seeds = range(1, args.seeds + 1)
    missed = []
    print('| case | discipline p99 per seed (ms) | worst | step mode p99 | steps | max rate |')
    print('|---|---|---|---|---|---|')
    for name, options, check in CASES:
        rows = []
        for seed in seeds:
            discipline = simulate(simulator, 'discipline', options, seed)
            step = simulate(simulator, 'step', options, seed)
            rows.append((discipline, step))
            if not check(discipline, step) or discipline['rate'] > 500:
                missed.append(f'{name}, seed {seed}: {discipline}')
        p99 = [d['max' if '(max)' in name else 'p99'] for d, _ in rows]
        extra = ''
        if 'recovered' in rows[0][0]:
            extra = ', under 1 ms again after ' + '/'.join(
                f'{d["recovered"]:.0f}' for d, _ in rows) + ' s'
        if name.startswith('no temperature'):
            extra = ', frequency error ' + '/'.join(f'{d["frequency"]:.3f}' for d, _ in rows) + \
                ' ppm'
        print(f'| {name}{extra} | {" / ".join(f"{v:.2f}" for v in p99)} | {max(p99):.2f} | '
              f'{max(s["p99"] for _, s in rows):.1f} | {max(d["steps"] for d, _ in rows):.0f} | '
              f'{max(d["rate"] for d, _ in rows):.1f} ppm |')
    started = time.monotonic()
    simulate(simulator, 'discipline', ['--poll', '64'], 1)
    print(f'\n24 simulated hours at poll 64: {time.monotonic() - started:.2f} s')
    for line in missed:
        print('missed:', line)
    return 1 if missed else 0


if __name__ == '__main__':
    sys.exit(main())

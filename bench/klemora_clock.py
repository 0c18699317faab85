#!/usr/bin/env python3
"""What the world clock costs under Wine.

1. clock-bench paints the clock of a zone with daylight saving --frames times in a row (the cost
   of one painting, mean and dearest), then lets its repaint thread drive the paintings for
   --seconds (how many a second the user-interface thread keeps up with, and the process's CPU
   share meanwhile); once with the banner and once with a 64-KiB ticker line.
2. The real Klemora.exe with its clock page open for --open seconds: its CPU share, read from
   /proc (Wine's threads are the process's own); in a Wine prefix of its own whose LogPixels
   is set to each DPI.
Targets: at most 1 ms a painting, 120 paintings a second or more; at most 20 ms to draw day and
night into the map (once a minute, "terminator_ms" of clock-bench).
With --dpi, clock-bench paints the clock as large as the page makes it at each of those DPIs,
and Klemora runs at each.
Needs Xvfb. Usage: python3 bench/klemora_clock.py [--frames 2000] [--seconds 10] [--open 30]
                   [--dpi 96,144,192]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
from pendra_testlib import WINE_RUN, Xvfb, processes_running, wait_for  # noqa: E402

BUILD = os.path.join(ROOT, 'build', 'windows-x64')
BENCH = os.path.join(BUILD, 'bench', 'clock-bench.exe')
KLEMORA = os.path.join(BUILD, 'bin', 'Klemora.exe')
PREFIX = os.path.join(BUILD, 'wineprefix')
DPI_PREFIX = os.path.join(ROOT, 'build', 'klemora-bench-prefix')
TICKS = os.sysconf('SC_CLK_TCK')


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
        fields = stat.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--frames', type=int, default=2000)
    parser.add_argument('--seconds', type=int, default=10)
    parser.add_argument('--open', type=int, default=30)
    parser.add_argument('--dpi', default='96', help='DPIs to paint at, separated by commas')
    options = parser.parse_args()
    for path in (BENCH, KLEMORA):
        if not os.path.exists(path):
            sys.exit(f'missing {path}: build the windows-x64 preset first')
    screen = Xvfb(size='1280x1024x24')
    env = dict(os.environ, DISPLAY=screen.display, TZ='Europe/Berlin')
    try:
        for dpi in (int(value) for value in options.dpi.split(',')):
            # With the banner, and with the longest ticker line that a news file can give.
            for ticker, name in ((0, 'banner'), (65536, '64-KiB ticker line')):
                done = subprocess.run([WINE_RUN, PREFIX, BENCH, str(options.frames),
                                       str(options.seconds), str(ticker), str(dpi)],
                                      env=env, capture_output=True, text=True, timeout=300,
                                      check=True)
                print(f'clock-bench at {dpi} DPI, {name}:', done.stdout.strip())
            share = klemora_share(env, dpi, options.open)
            print(f'Klemora.exe at {dpi} DPI with the clock page open for {options.open} s: '
                  f'cpu_share={share:.3f}')
    finally:
        screen.stop()


def klemora_share(env, dpi, seconds):
    """The CPU share of the real Klemora.exe with its clock page open, at that DPI."""
    stop = dict(env, WINEPREFIX=DPI_PREFIX)
    # A new LogPixels counts from the prefix's next wineserver.
    subprocess.run(['sh', '-c', 'wineserver -k; wineserver -w'], env=stop, timeout=60,
                   check=False)
    subprocess.run([WINE_RUN, DPI_PREFIX, 'reg', 'add', r'HKCU\Control Panel\Desktop', '/v',
                    'LogPixels', '/t', 'REG_DWORD', '/d', str(dpi), '/f'], env=env, timeout=120,
                   check=True, capture_output=True)
    subprocess.run(['sh', '-c', 'wineserver -k; wineserver -w'], env=stop, timeout=60,
                   check=False)
    folder = tempfile.mkdtemp(prefix='klemora-bench-', dir=os.path.join(DPI_PREFIX, 'drive_c'))
    try:
        for name in ('Klemora.exe', 'NTPServ.dat'):
            shutil.copy(os.path.join(BUILD, 'bin', name), folder)
        program = 'C:\\' + os.path.basename(folder) + '\\Klemora.exe'
        klemora = subprocess.Popen([WINE_RUN, DPI_PREFIX, program], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            pids = wait_for(lambda: processes_running(os.path.basename(folder)), 30)
            time.sleep(3)  # the sheet is up and painting
            pid = pids[-1]
            before, started = cpu_seconds(pid), time.monotonic()
            time.sleep(seconds)
            return (cpu_seconds(pid) - before) / (time.monotonic() - started)
        finally:
            for pid in processes_running(os.path.basename(folder)):
                try:
                    os.kill(pid, 9)
                except ProcessLookupError:
                    pass
            klemora.wait(timeout=30)
            subprocess.run(['sh', '-c', 'wineserver -k; wineserver -w'], env=stop, timeout=60,
                           check=False)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()

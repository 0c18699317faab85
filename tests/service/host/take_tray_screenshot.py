#!/usr/bin/env python3
"""Makes docs/tray-menu.png: Pendra.exe in tray mode under Wine and Xvfb, its menu opened by a
right click on the icon in Wine's system tray.

Usage: take_tray_screenshot.py [--build DIR] [--output PNG]
DIR is the windows-x64 build directory (default build/windows-x64); it supplies Pendra.exe,
tray-poke.exe and the Wine prefix. Needs Xvfb, xdotool and ImageMagick; no network: Pendra
waits for a dial-up connection that never comes, so it makes no exchange.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..', '..'))


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build', 'windows-x64'))
    parser.add_argument('--output', default=os.path.join(ROOT, 'docs', 'tray-menu.png'))
    return parser.parse_args()


def main():
    options = parse_arguments()
    build = os.path.abspath(options.build)
    os.environ['PENDRA_EXE'] = os.path.join(build, 'bin', 'Pendra.exe')
    os.environ['PENDRA_TRAY_POKE'] = os.path.join(build, 'tests', 'support', 'tray-poke.exe')
    os.environ['PENDRA_WINEPREFIX'] = os.path.join(build, 'wineprefix')
    sys.path.insert(0, HERE)
    import test_tray_mode as tray  # reads the paths above

    for path in (tray.PENDRA, tray.POKE):
        if not os.path.exists(path):
            sys.exit(f'missing {path}: build the Pendra and tray-poke targets first')
    work = tempfile.mkdtemp(prefix='pendra-shot-')
    folder_name = f'pendra-shot-{os.getpid()}'
    folder = os.path.join(tray.PREFIX, 'drive_c', folder_name)
    screen = tray.Xvfb()
    run = None
    try:
        os.makedirs(folder)
        shutil.copy(tray.PENDRA, os.path.join(folder, 'Pendra.exe'))
        tray.write_settings(work, {
            'WriteLogEntries': 0, 'WaitForRAS': 1, 'RASPollMilliseconds': 1000, 'RunOnce': 0,
            'NTPServerName': 'time.example.org', 'NTPPollMilliseconds': 60000,
            'NTPServerPort': 123})
        run = tray.PendraRun('C:\\' + folder_name, work, screen.display,
                             os.path.join(work, 'messages.log'))

        def poke(command):
            return tray.wine(tray.POKE, '--desktop', tray.DESKTOP, command, check=False,
                             env=tray.wine_environment(screen.display)).returncode

        if not tray.wait_for(lambda: poke('exists') == 0, 30, 0.2):
            sys.exit('Pendra did not start')
        trays = tray.wait_for(lambda: screen.visible_windows('--name', 'Wine System Tray'), 10)
        if not trays:
            sys.exit('no system tray on the screen')
        tray_x, tray_y, _, tray_height = screen.geometry(trays[0])
        # The right click lands on the lower right of the icon, the first one in the tray, so
        # that the menu leaves it in sight.
        screen.xdotool('mousemove', tray_x + 19, tray_y + tray_height - 2)
        poke('menu')
        menus = tray.wait_for(lambda: screen.visible_windows('--class', 'pendra.exe'), 15)
        if not menus:
            sys.exit('the menu did not open')
        time.sleep(0.5)  # let the menu finish painting
        x, y, width, height = screen.geometry(menus[0])
        full = os.path.join(work, 'screen.png')
        screen.screenshot(full)
        screen.xdotool('key', 'Escape')
        right = max(x + width, tray_x + 170)
        bottom = y + height + 16
        os.makedirs(os.path.dirname(os.path.abspath(options.output)), exist_ok=True)
        # The bare X screen is black: give it the classic desktop colour, then enlarge the
        # small picture without blurring it.
        subprocess.run(['convert', full, '-crop', f'{right}x{bottom}+0+0', '+repage',
                        '-fill', '#008080', '-draw', 'color 0,0 floodfill',
                        '-filter', 'point', '-resize', '200%', options.output],
                       check=True, timeout=60)
        poke('exit')
        if run.wait(30) != 0:
            sys.exit('Pendra did not end with exit code 0')
        print(options.output)
    finally:
        if run is not None:
            run.kill()
        tray.remove_settings(work)
        shutil.rmtree(folder, True)
        shutil.rmtree(work, True)
        tray.wait_for(lambda: not tray.processes_running(folder_name), 10)
        screen.stop()


if __name__ == '__main__':
    main()

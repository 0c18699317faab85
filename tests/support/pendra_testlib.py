"""What the black-box tests of Pendra share: the test-host tool, Wine, and the settings key."""
import os
import re
import subprocess

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
TESTHOST = os.path.join(ROOT, 'tests', 'support', 'testhost')
WINE_RUN = os.path.join(ROOT, 'tools', 'wine-run')
SETTINGS_KEY = r'HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client'
REPORT_RE = re.compile(r'^time reset: (-?)(\d+)\.(\d{3}) delay: (-?)(\d+)\.(\d{3})$')


def testhost(*args):
    """Runs the test-host tool and returns what it printed."""
    done = subprocess.run([TESTHOST, *map(str, args)], capture_output=True, text=True,
                          timeout=30, check=False)
    if done.returncode != 0:
        raise RuntimeError(f'testhost {args}: {done.stderr}')
    return done.stdout.strip()


def windows_path(path):
    """The path of a file of this machine as Wine's drive Z: shows it."""
    return 'Z:' + path.replace('/', '\\')


def wine(prefix, *args, check=True, timeout=60, env=None, netns=None):
    """Runs a Windows program under Wine in the prefix, inside a network namespace when given
    (a prefix's wineserver makes its sockets, so all of a prefix's programs run there)."""
    inside = ['ip', 'netns', 'exec', netns] if netns else []
    done = subprocess.run([*inside, WINE_RUN, prefix, *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, check=False, env=env)
    if check and done.returncode != 0:
        raise RuntimeError(f'{args}: {done.returncode} {done.stdout} {done.stderr}')
    return done


def settings_lines(values):
    """The lines of a .reg file that replace the settings key by these values (ints as
    REG_DWORD, texts as REG_SZ, None left out)."""
    lines = [f'[-{SETTINGS_KEY}]', '', f'[{SETTINGS_KEY}]']
    for name, value in values.items():
        if value is None:
            continue
        if isinstance(value, int):
            lines.append(f'"{name}"=dword:{value:08x}')
        else:
            escaped = value.replace('\\', '\\\\').replace('"', '\\"')
            lines.append(f'"{name}"="{escaped}"')
    return lines + ['']


def reg_import(prefix, work, lines, env=None, netns=None):
    """Imports the lines as one .reg file, written into work."""
    reg = os.path.join(work, 'settings.reg')
    with open(reg, 'w', encoding='ascii', newline='\r\n') as out:
        out.write('\n'.join(['Windows Registry Editor Version 5.00', '', *lines]) + '\n')
    wine(prefix, 'reg', 'import', windows_path(reg), env=env, netns=netns)


def write_settings(prefix, work, values, netns=None):
    """Replaces the settings key by these values."""
    reg_import(prefix, work, settings_lines(values), netns=netns)


def remove_settings(prefix):
    wine(prefix, 'reg', 'delete', SETTINGS_KEY.replace('HKEY_LOCAL_MACHINE', 'HKLM'), '/f',
         check=False)


def reported(text):
    """The offset and delay of a "time reset" log text, in seconds, or None."""
    match = REPORT_RE.match(text)
    if not match:
        return None
    sign, whole, millis, dsign, dwhole, dmillis = match.groups()
    offset = (int(whole) + int(millis) / 1000) * (-1 if sign else 1)
    delay = (int(dwhole) + int(dmillis) / 1000) * (-1 if dsign else 1)
    return offset, delay


def private_name_service(work, **files):
    """A command prefix that runs a program in a mount namespace of its own, where each given
    file of /etc (hosts, resolv_conf, nsswitch_conf: their texts) is replaced by a file in
    work, so its name lookups see these. Rewrite such a file in place to change what the
    program sees; the machine's own files stay untouched."""
    script = []
    arguments = []
    for name, text in files.items():
        path = os.path.join(work, name)
        with open(path, 'w', encoding='ascii') as out:
            out.write(text)
        arguments.append(path)
        script.append(f'mount --bind "${len(arguments)}" /etc/{name.replace("_", ".")}')
    script.append(f'shift {len(arguments)} && exec "$@"')
    return ['unshare', '--mount', '--propagation', 'private', 'sh', '-c', ' && '.join(script),
            'sh', *arguments]

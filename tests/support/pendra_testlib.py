"""What the black-box tests of Pendra share: the test-host tool, Wine, and the settings key."""
import glob
import os
import re
import select
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
TESTHOST = os.path.join(ROOT, 'tests', 'support', 'testhost')
WINE_RUN = os.path.join(ROOT, 'tools', 'wine-run')
SETTINGS_KEY = r'HKEY_LOCAL_MACHINE\Software\Tarnwick\NTP Client'
REPORT_RE = re.compile(r'^time reset: (-?)(\d+)\.(\d{3}) delay: (-?)(\d+)\.(\d{3})$')
LOG_PREFIX_RE = re.compile(r'^UTC: \d\d:\d\d:\d\d\.\d{3}  \d\d\.\d\d\.\d{4} $')


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


# What Wine's start.exe says when Wine found no program to run under the name: under load Wine
# now and then fails so on its own tools (reg), before they run at all.
NOT_STARTED = 'Application could not be started, or no application associated'


def wine_processes():
    """The Wine processes of this machine with their ages, for a report of a run that hung."""
    listing = subprocess.run(['ps', '-eo', 'pid,etimes,args'], capture_output=True, text=True,
                             timeout=10, check=False).stdout.splitlines()
    return '\n'.join(line for line in listing if 'wine' in line.lower() or '.exe' in line)


def wine(prefix, *args, check=True, timeout=60, env=None, netns=None):
    """Runs a Windows program under Wine in the prefix, inside a network namespace when given
    (a prefix's wineserver makes its sockets, so all of a prefix's programs run there). A run
    that Wine did not start is tried again, three times in all; one that began never is."""
    inside = ['ip', 'netns', 'exec', netns] if netns else []
    for attempt in range(1, 4):
        try:
            done = subprocess.run([*inside, WINE_RUN, prefix, *map(str, args)],
                                  capture_output=True, text=True, timeout=timeout, check=False,
                                  env=env)
        except subprocess.TimeoutExpired as error:
            raise RuntimeError(f'{args}: still running after {timeout} s; Wine\'s processes:\n'
                               f'{wine_processes()}') from error
        if done.returncode == 0 or NOT_STARTED not in done.stdout + done.stderr or attempt == 3:
            break
        print(f'wine: Wine did not start {args[0]} (attempt {attempt} of 3): '
              f'{done.stdout.strip()}', file=sys.stderr)
        time.sleep(1)
    if check and done.returncode != 0:
        raise RuntimeError(f'{args}: {done.returncode} {done.stdout} {done.stderr}')
    return done


def wine_detached_output(prefix, *args, env=None, timeout=60, netns=None):
    """Runs a Windows program like wine(), for one that may start others: its output goes
    through files, which a program it starts inherits and may keep open after it ended.
    Returns (exit code, output, errors)."""
    inside = ['ip', 'netns', 'exec', netns] if netns else []
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        code = subprocess.run([*inside, WINE_RUN, prefix, *map(str, args)],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env,
                              timeout=timeout, check=False).returncode
        out.seek(0)
        err.seek(0)
        return code, out.read().decode('latin-1'), err.read().decode('latin-1')


def isolated_prefix(test, name, base_prefix):
    """A Wine prefix whose wineserver, which makes the sockets of all its programs, lives in a
    network namespace of its own with only a loopback: as at boot before the network is up, or
    on a computer without one. The clean-ups go to the test. Returns (namespace, prefix)."""
    namespace = f'{name}-{os.getpid()}'
    subprocess.run(['ip', 'netns', 'add', namespace], check=True, timeout=30)
    test.addCleanup(subprocess.run, ['ip', 'netns', 'del', namespace], timeout=30)
    subprocess.run(['ip', '-n', namespace, 'link', 'set', 'lo', 'up'], check=True, timeout=30)
    prefix = base_prefix + '-isolated'
    test.addCleanup(subprocess.run, ['ip', 'netns', 'exec', namespace, 'sh', '-c',
                                     'wineserver -k; wineserver -w'],
                    env=dict(os.environ, WINEPREFIX=prefix), timeout=60)
    return namespace, prefix


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


def log_texts(folder, strict=False):
    """The texts of the lines of the day logs (*.ntp) in folder, in file order, without their
    30-character time prefix. strict: the files are ASCII, every line ends in CR LF and its prefix
    is well formed, else AssertionError (or UnicodeDecodeError)."""
    texts = []
    for path in sorted(glob.glob(os.path.join(folder, '*.ntp'))):
        with open(path, 'rb') as log:
            content = log.read().decode('ascii' if strict else 'latin-1')
        if strict:
            assert content.endswith('\r\n'), content
        for line in content.split('\r\n')[:-1] if strict else content.splitlines():
            assert not strict or LOG_PREFIX_RE.match(line[:30]), line
            texts.append(line[30:])
    return texts


def wait_for(condition, timeout, interval=0.1):
    """Polls condition until it gives a true value or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def processes_running(marker):
    """The ids of the processes whose command line holds marker, in any case."""
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/cmdline', 'rb') as cmdline:
                text = cmdline.read().decode('latin-1')
        except OSError:
            continue
        if marker.lower() in text.lower():
            found.append(int(entry))
    return found


class Xvfb:
    """A private X screen on a display number that the server picks itself."""

    def __init__(self, size='1024x768x24'):
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ['Xvfb', '-displayfd', str(write_end), '-screen', '0', size,
                 '-nolisten', 'tcp'],
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = -1
            number = b''
            deadline = time.monotonic() + 15
            while not number.endswith(b'\n') and time.monotonic() < deadline:
                ready, _, _ = select.select([read_end], [], [], 0.5)
                if ready:
                    chunk = os.read(read_end, 16)
                    if not chunk:
                        break
                    number += chunk
        finally:
            if write_end >= 0:
                os.close(write_end)
            os.close(read_end)
        if not number.strip().isdigit():
            self.stop()
            raise RuntimeError('Xvfb did not report its display')
        self.display = ':' + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)

    def xdotool(self, *args, check=True):
        done = subprocess.run(['xdotool', *map(str, args)], capture_output=True, text=True,
                              timeout=20, check=False, env={**os.environ, 'DISPLAY': self.display})
        if check and done.returncode != 0:
            raise RuntimeError(f'xdotool {args}: {done.returncode} {done.stderr}')
        return done

    def visible_windows(self, *criteria):
        done = self.xdotool('search', '--onlyvisible', *criteria, check=False)
        return [int(line) for line in done.stdout.split()]

    def geometry(self, window):
        """x, y, width and height of a window."""
        out = self.xdotool('getwindowgeometry', '--shell', window).stdout
        values = dict(line.split('=', 1) for line in out.split() if '=' in line)
        return tuple(int(values[k]) for k in ('X', 'Y', 'WIDTH', 'HEIGHT'))

    def screenshot(self, path):
        subprocess.run(['import', '-window', 'root', path], check=True, timeout=30,
                       env={**os.environ, 'DISPLAY': self.display}, capture_output=True)


# Certificates for the NTS tests, made with openssl.
CA_CONFIG = """[ca]
default_ca = test
[test]
database = {dir}/index.txt
new_certs_dir = {dir}
serial = {dir}/serial
default_md = sha256
policy = anything
copy_extensions = copy
unique_subject = no
[anything]
commonName = supplied
"""


def openssl(*args, cwd):
    subprocess.run(['openssl', *args], cwd=cwd, check=True, capture_output=True, timeout=30)


def make_ca(work, name):
    """A test CA: work/name.crt and work/name.key."""
    openssl('req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
            '-keyout', f'{name}.key', '-out', f'{name}.crt', '-days', '30', '-subj',
            f'/CN={name}', '-addext', 'basicConstraints=critical,CA:TRUE',
            '-addext', 'keyUsage=critical,keyCertSign', cwd=work)


def make_server_certificate(work, name, address, dates, names='DNS:ntp.test,IP:{address}'):
    """A server certificate of the CA 'ca' in work, named by names (ntp.test and the address
    unless told), valid over dates (openssl ca's -startdate and -enddate): work/name.crt and
    work/name.key."""
    openssl('req', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
            '-keyout', f'{name}.key', '-out', f'{name}.csr', '-subj', '/CN=ntp.test',
            '-addext', 'subjectAltName=' + names.format(address=address), cwd=work)
    with open(os.path.join(work, 'index.txt'), 'w', encoding='ascii'):
        pass
    with open(os.path.join(work, 'serial'), 'w', encoding='ascii') as serial:
        serial.write(os.urandom(8).hex().upper() + '\n')
    with open(os.path.join(work, 'ca.cnf'), 'w', encoding='ascii') as config:
        config.write(CA_CONFIG.format(dir=work))
    openssl('ca', '-batch', '-config', 'ca.cnf', '-cert', 'ca.crt', '-keyfile', 'ca.key',
            '-in', f'{name}.csr', '-out', f'{name}.crt', '-startdate', dates[0],
            '-enddate', dates[1], cwd=work)


# What the benchmarks read of a running Windows program and of their samples.
def wine_program_pid(name, prefix, deadline):
    """The process of the Windows program `name` that runs in the Wine prefix, once it runs."""
    while time.monotonic() < deadline:
        found = subprocess.run(['pgrep', '-f', name], capture_output=True,
                               text=True).stdout.split()
        for pid in found:
            try:
                with open(f'/proc/{pid}/environ', 'rb') as env:
                    if f'WINEPREFIX={prefix}'.encode() in env.read().split(b'\0'):
                        return int(pid)
            except OSError:
                pass
        time.sleep(0.05)
    raise RuntimeError(f'{name} did not start')


def resident_kib(pid):
    with open(f'/proc/{pid}/status', encoding='ascii') as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def descriptors(pid):
    return len(os.listdir(f'/proc/{pid}/fd'))


def percentile(values, fraction):
    """Linear interpolation between the closest ranks (numpy's default)."""
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)

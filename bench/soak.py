#!/usr/bin/env python3
"""Fault soak of the time service: Pendra.exe as a Windows service under Wine for --minutes.

The fake SNTP server on test host 40 (port 11240) goes through a cycle of behaviours, one per
request: good replies, silence, a spoofed originate or sender, malformed and short datagrams,
kiss-o'-death RATE and DENY, and an offset of +3600 s that MaxAdjustSeconds (60) refuses. The
service polls every 200 ms and logs into a directory of the soak's own. While it runs, the
test host's link goes down and up again, and the log directory turns unwritable and back
(chattr +i on the directory and its files: root ignores modes, and a read-only bind mount does
not stop writes through the file the service keeps open). Once a second the Pendra.exe process
is sampled from /proc: threads, open descriptors (Wine's stand-in for handles), VmRSS, VmSize.

At the end it prints PASS or FAIL for each check (the service still runs and stops within
15 s; every request's outcome is in the log in order; no line was lost while the log was
writable; threads, descriptors and memory at the end are within bounds of their values after
the first minute) and the figures as a markdown table.

Wine's wineserver, which makes the service's sockets, runs in a network namespace of the
soak's own that holds only a loopback and this side of the test host's link: with the link
down, the requests find no route instead of leaving by the machine's default route.

Needs root (namespaces, chattr). Never changes the clock. Work files: build/soak-work.
Usage: sudo nice -n 5 python3 bench/soak.py [--minutes 10] [--json FILE]
       sudo python3 bench/soak.py --minutes 1      (quick: one fault of each sort)
"""
import argparse
import bisect
import datetime
import fcntl
import glob
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
from pendra_testlib import testhost, windows_path, wine, write_settings  # noqa: E402

PENDRA = os.path.join(ROOT, 'build', 'windows-x64', 'bin', 'Pendra.exe')
QUERY = os.path.join(ROOT, 'build', 'windows-x64', 'tests', 'support', 'service-query.exe')
PREFIX = os.path.join(ROOT, 'build', 'soak-wineprefix')
WORK = os.path.join(ROOT, 'build', 'soak-work')
# Hosts 10-13 and 30 belong to the tests and the other benchmarks.
HOST, PORT = 40, 11240
NAMESPACE = 'pendra-soak40'
LINK = f'pt{HOST}h'
FOLDER = 'pendra-soak'
POLL_MS = 200
MAX_ADJUST = 60
BAD_OFFSET = 3600
REPLY_WAIT = 10.0       # the service's wait for a reply
STOP_BOUND = 15.0
STOPPED, RUNNING = 1, 4
MALFORMED = {'mode': 'mode 3, not a server reply', 'version0': 'version 0',
             'version7': 'version 7', 'leap3': 'server not synchronised',
             'stratum16': 'stratum 16', 'zero-transmit': 'transmit timestamp is zero'}
SHORT_LENGTH = 20       # the fake server's default short reply
# End state against the state after the first minute (fewest of ten readings each, so an
# exchange in flight, which holds a socket, does not count).
TOLERANCE = {'threads': 1, 'fds': 2, 'rss_kib': 1024, 'vmsize_kib': 8192}

LINE_RE = re.compile(r'^UTC: (\d\d):(\d\d):(\d\d)\.(\d{3})  (\d\d)\.(\d\d)\.(\d{4}) (.*)$')
REQUEST_RE = re.compile(r' request (\d+) from ([\d.]+):(\d+) len \d+ byte0 0x[0-9a-f]+ '
                        r'transmit (?:[0-9a-f]+|-): cycle (\S+) at (\d+\.\d+): (.*)$')
RESET_RE = re.compile(r'^time reset: -?\d+\.\d{3} delay: -?\d+\.\d{3}$')
NETWORK_RE = re.compile(r'^(sendto|recvfrom): .+')
# Kiss-o'-death back-off lines: written by builds that slow down on RATE, absent before.
RATE_RE = re.compile(r"^kiss-o'-death RATE: polls slowed to every (\d+) ms$")
BACK_RE = re.compile(r'^polls back to every (\d+) ms$')
REFUSE_RE = re.compile(r"^kiss-o'-death (\S+): server refuses this client, next poll in "
                       r'(\d+) ms$')
NO_RESPONSE = 'no response from server'


class SoakError(Exception):
    pass


def soak_cycle():
    """The server's behaviours, one per request. Every round has each behaviour once and one
    of the malformed fields, so six rounds go through all fields; a good reply follows each
    kiss-o'-death, which resets a back-off. A round costs five 10-s reply waits plus the
    kiss-o'-death back-offs, about a minute, so ten minutes see each behaviour several times."""
    entries = []
    for field in MALFORMED:
        entries += ['normal', 'silent', 'normal', 'spoof-originate', 'normal', 'kod:RATE',
                    'normal', f'bad-offset:{BAD_OFFSET}', 'spoof-source', 'normal', 'short',
                    'long', f'malformed:{field}', 'normal', 'kod:DENY', 'normal']
    return entries


def family(behaviour):
    """The behaviour as counted for coverage: the malformed fields count as one."""
    return 'malformed' if behaviour.startswith('malformed:') else behaviour


def expected_lines(behaviour, peer):
    """What the service logs for one request: [(description, test of a text, seconds from
    the request to the line)]. Rejected datagrams leave the reply wait running."""
    def exact(text):
        return text, lambda t: t == text

    base, _, argument = behaviour.partition(':')
    no_response = (*exact(NO_RESPONSE), REPLY_WAIT)
    if base in ('normal', 'long'):
        return [('time reset: ...', RESET_RE.match, 0.0)]
    if base == 'silent':
        return [no_response]
    if base == 'bad-offset':
        whole = int(abs(float(argument)))
        # The measured offset may fall just below the whole second.
        texts = {f'adjustment of {s} seconds > max way to big of {MAX_ADJUST} seconds'
                 for s in (whole - 1, whole)}
        return [(f'adjustment of {whole} seconds > max ...', lambda t: t in texts, 0.0)]
    if base == 'kod':
        return [(*exact(f"reply rejected: kiss-o'-death {argument.ljust(4)}"), 0.0)]
    why = {'spoof-originate': 'originate timestamp does not match the request',
           'spoof-source': f'from {peer}:{PORT + 1}, not the server',
           'short': f'{SHORT_LENGTH} bytes, too short'}.get(base) or MALFORMED[argument]
    return [(*exact(f'reply rejected: {why}'), 0.0), no_response]


# ------------------------------------------------------------------------------------------
# Setting up and tearing down


def run(*args, timeout=60, check=True):
    done = subprocess.run(list(map(str, args)), capture_output=True, text=True,
                          timeout=timeout, check=False)
    if check and done.returncode != 0:
        raise SoakError(f'{" ".join(map(str, args))}: exit {done.returncode}: '
                        f'{done.stdout.strip()} {done.stderr.strip()}')
    return done


def in_soak(*args, check=True, timeout=120):
    """A Windows program in the soak's prefix, inside its network namespace."""
    return wine(PREFIX, *args, check=check, timeout=timeout, netns=NAMESPACE)


def query(*args, timeout=60):
    done = in_soak(f'C:\\{FOLDER}\\service-query.exe', *args, check=False, timeout=timeout)
    values = dict(line.split('=', 1) for line in done.stdout.splitlines() if '=' in line)
    return done.returncode, values


def namespace_exists():
    listing = run('ip', 'netns', 'list').stdout
    return NAMESPACE in [line.split()[0] for line in listing.splitlines() if line.strip()]


def stop_wine():
    env = dict(os.environ, WINEPREFIX=PREFIX)
    for args in (['wineserver', '-k'], ['wineserver', '-w']):
        try:
            subprocess.run(args, env=env, timeout=60, check=False, capture_output=True)
        except subprocess.TimeoutExpired:
            print(f'soak: {" ".join(args)} did not return within 60 s', file=sys.stderr)


def set_writable(log_dir, writable):
    """chattr -i / +i on the log directory and its files: what stops root's writes, also
    through a file that is already open."""
    paths = [log_dir] + sorted(glob.glob(os.path.join(log_dir, '*')))
    run('chattr', '-i' if writable else '+i', *paths)


def make_network(peer):
    """This side of the test host's link moves into the soak's namespace."""
    host_addr = testhost('host', HOST)
    run('ip', 'netns', 'add', NAMESPACE)
    for command in (['ip', '-n', NAMESPACE, 'link', 'set', 'lo', 'up'],
                    ['ip', 'link', 'set', LINK, 'netns', NAMESPACE],
                    ['ip', '-n', NAMESPACE, 'addr', 'add', f'{host_addr}/30', 'dev', LINK],
                    ['ip', '-n', NAMESPACE, 'link', 'set', LINK, 'up']):
        run(*command)
    routes = run('ip', '-n', NAMESPACE, 'route', 'show').stdout
    if 'default' in routes or peer.rsplit('.', 1)[0] not in routes:
        raise SoakError(f'unexpected routes in {NAMESPACE}: {routes}')
    return host_addr


def set_link(up):
    run('ip', '-n', NAMESPACE, 'link', 'set', LINK, 'up' if up else 'down')


def find_pendra():
    """The soak prefix's Pendra.exe process (other prefixes may run one too)."""
    found = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/cmdline', 'rb') as cmdline:
                if b'pendra.exe' not in cmdline.read().lower():
                    continue
            with open(f'/proc/{entry}/environ', 'rb') as environ:
                if f'WINEPREFIX={PREFIX}'.encode() not in environ.read().split(b'\0'):
                    continue
        except OSError:
            continue
        found.append(int(entry))
    return found


def alive(pid):
    try:
        with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
            return stat.read().rsplit(')', 1)[1].split()[0] != 'Z'
    except (OSError, IndexError):
        return False


def sample(pid):
    """threads, descriptors (and how many are sockets), VmRSS and VmSize in KiB, CPU seconds;
    None once the process is gone."""
    try:
        threads = len(os.listdir(f'/proc/{pid}/task'))
        fds = sockets = 0
        for fd in os.listdir(f'/proc/{pid}/fd'):
            fds += 1
            try:
                sockets += os.readlink(f'/proc/{pid}/fd/{fd}').startswith('socket:')
            except OSError:
                pass
        memory = {}
        with open(f'/proc/{pid}/status', encoding='ascii') as status:
            for line in status:
                name, _, value = line.partition(':')
                if name in ('VmRSS', 'VmSize'):
                    memory[name] = int(value.split()[0])
        with open(f'/proc/{pid}/stat', encoding='ascii') as stat:
            fields = stat.read().rsplit(')', 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')
    except (OSError, IndexError, ValueError):
        return None
    if fields[0] == 'Z' or 'VmRSS' not in memory:
        return None
    return {'threads': threads, 'fds': fds, 'sockets': sockets, 'rss_kib': memory['VmRSS'],
            'vmsize_kib': memory['VmSize'], 'cpu_s': cpu}


def fault_plan(seconds, period, link_down, read_only):
    """[(start, end, what)] from the start of the soak: in every period the link goes down
    for link_down seconds, later the log turns unwritable for read_only seconds; none ends
    in the last ten seconds."""
    plan = []
    for start in range(0, int(seconds), period):
        for offset, length, what in ((period * 0.2, link_down, 'link'),
                                     (period * 0.6, read_only, 'read-only')):
            if start + offset + length <= seconds - 10:
                plan.append((start + offset, start + offset + length, what))
    return sorted(plan)


# ------------------------------------------------------------------------------------------
# Reading the logs


def server_requests(path, host_addr):
    """[{'n', 'behaviour', 'at', 'action'}] of the service's requests, in order."""
    requests = []
    with open(path, encoding='utf-8') as log:
        for line in log:
            match = REQUEST_RE.search(line)
            if match and match.group(2) == host_addr and int(match.group(3)) == PORT:
                requests.append({'n': int(match.group(1)), 'behaviour': match.group(4),
                                 'at': float(match.group(5)), 'action': match.group(6)})
    return requests


def service_lines(log_dir):
    """[(unix time, text)] of every day's file in order; unreadable lines as (None, raw)."""
    lines = []
    for path in sorted(glob.glob(os.path.join(log_dir, '*.ntp'))):
        with open(path, 'rb') as log:
            content = log.read().decode('latin-1')
        for raw in content.replace('\r\n', '\n').split('\n'):
            if not raw:
                continue
            match = LINE_RE.match(raw)
            if not match:
                lines.append((None, raw))
                continue
            hh, mm, ss, ms, day, month, year, text = match.groups()
            stamp = datetime.datetime(int(year), int(month), int(day), int(hh), int(mm),
                                      int(ss), int(ms) * 1000, tzinfo=datetime.timezone.utc)
            lines.append((stamp.timestamp(), text))
    return lines


# ------------------------------------------------------------------------------------------
# The checks


def overlaps(windows, start, end):
    return any(w_start < end and start < w_end for w_start, w_end in windows)


def analyse(requests, lines, events, stop_at, peer):
    """Pairs each request with the lines the service wrote for it and sorts out what is
    missing or extra. The exchanges run one after the other, so every line written after a
    request reached the server and before the next one did belongs to that request."""
    link_windows = [(e['start'], e['end']) for e in events if e['what'] == 'link']
    # A write may fail from just before the first chattr returns to the last one returning.
    ro_windows = [(e['start'] - 0.3, e['end'] + 0.3) for e in events
                  if e['what'] == 'read-only']
    # Surely unwritable: from the first chattr's return to the start of the last one.
    ro_strict = [(e['applied'], e['end_begun']) for e in events if e['what'] == 'read-only']
    report = {'unparsable': [raw for when, raw in lines if when is None], 'problems': [],
              'dropped_read_only': 0, 'lost_writable': [], 'written_read_only': 0,
              'cut_by_stop': 0, 'excused_link': 0, 'network_lines': 0, 'kinds': {},
              'link_windows_hit': set(),
              'rate_gaps': [], 'backoff_lines': {'rate': 0, 'back': 0, 'refuse': 0},
              'backoff_violations': []}
    timed = [(when, text) for when, text in lines if when is not None]
    if not timed or not timed[0][1].startswith('Start Pendra Rev: '):
        report['problems'].append(f'the log does not begin with the start line: {timed[:1]}')
    else:
        timed = timed[1:]
    if timed and timed[-1][1] == 'stop request':
        timed = timed[:-1]
    else:
        report['problems'].append(f'the log does not end with "stop request": {timed[-1:]}')
    for (earlier, _), (later, text) in zip(timed, timed[1:]):
        if later < earlier:
            report['problems'].append(f'time goes back before {text!r}')

    starts = [r['at'] for r in requests]
    assigned = [[] for _ in requests]
    for when, text in timed:
        if NETWORK_RE.match(text):
            report['network_lines'] += 1
            for number, (s, e) in enumerate(link_windows):
                if s - 0.2 <= when <= e + 1.0:
                    report['link_windows_hit'].add(number)
            # The route is back within moments of the link coming up.
            if not any(s - 0.2 <= when <= e + 1.0 for s, e in link_windows):
                report['problems'].append(f'network fault line outside the link windows at '
                                          f'{when:.3f}: {text!r}')
            continue
        if any(s <= when <= e for s, e in ro_strict):
            report['written_read_only'] += 1
        # Log stamps are cut to the millisecond, so a line may seem a moment early.
        index = bisect.bisect_right(starts, when + 0.005) - 1
        if index < 0:
            report['problems'].append(f'line before the first request: {text!r}')
            continue
        assigned[index].append((when, text))

    for number, (request, got) in enumerate(zip(requests, assigned)):
        behaviour, at = request['behaviour'], request['at']
        counts = report['kinds'].setdefault(behaviour, {'requests': 0, 'matched': 0,
                                                        'dropped': 0, 'other': 0})
        counts['requests'] += 1
        if 'not sent' in request['action']:
            report['problems'].append(f'the server could not answer request {request["n"]}: '
                                      f'{request["action"]}')
        # Kiss-o'-death back-off lines: checked here, then set aside.
        plain = []
        for when, text in got:
            rate, back, refuse = RATE_RE.match(text), BACK_RE.match(text), \
                REFUSE_RE.match(text)
            if not (rate or back or refuse):
                plain.append((when, text))
                continue
            kind = 'rate' if rate else 'back' if back else 'refuse'
            report['backoff_lines'][kind] += 1
            wait_ms = int((rate or back or refuse).groups()[-1])
            fits = {'rate': behaviour == 'kod:RATE',
                    'refuse': behaviour.startswith('kod:') and behaviour != 'kod:RATE',
                    'back': not behaviour.startswith('kod:')}[kind]
            if not fits:
                report['problems'].append(f'request {request["n"]} ({behaviour}): '
                                          f'unexpected {text!r}')
            if kind != 'back' and number + 1 < len(requests):
                gap = requests[number + 1]['at'] - when
                if gap < wait_ms / 1000 - 0.05:
                    report['backoff_violations'].append(
                        f'request {request["n"]}: {text!r} but the next request came '
                        f'after {gap:.3f} s')
        if behaviour == 'kod:RATE' and number + 1 < len(requests):
            report['rate_gaps'].append(requests[number + 1]['at'] - at)

        position = 0
        extras = []
        for description, test, after in expected_lines(behaviour, peer):
            found = next((j for j in range(position, len(plain)) if test(plain[j][1])), None)
            if found is None:
                due = at + after
                if due >= stop_at:
                    report['cut_by_stop'] += 1
                elif any(s <= due <= e for s, e in ro_windows):
                    report['dropped_read_only'] += 1
                    counts['dropped'] += 1
                elif overlaps(link_windows, at - 0.5, at + REPLY_WAIT + 0.5):
                    report['excused_link'] += 1
                else:
                    report['lost_writable'].append(
                        f'request {request["n"]} ({behaviour}) at {at:.3f}: no '
                        f'"{description}" line (due about {due:.3f}); its lines: '
                        f'{[t for _, t in got]}')
                continue
            extras += plain[position:found]
            when = plain[found][0]
            lower, upper = (at - 0.005, at + 2.0) if after == 0 else \
                (at + after - 1.0, at + after + 2.0)
            if not lower <= when <= upper:
                report['problems'].append(
                    f'request {request["n"]} ({behaviour}) at {at:.3f}: '
                    f'{plain[found][1]!r} at {when:.3f}, expected in {lower:.3f}..{upper:.3f}')
            counts['matched'] += 1
            position = found + 1
        extras += plain[position:]
        for when, text in extras:
            # A request that the link lost before it reached the server.
            if text == NO_RESPONSE and overlaps(link_windows, when - REPLY_WAIT - 0.5, when):
                report['excused_link'] += 1
                continue
            counts['other'] += 1
            report['problems'].append(f'request {request["n"]} ({behaviour}) at {at:.3f}: '
                                      f'unexpected line {text!r} at {when:.3f}')
    return report


def window_min(samples, start, seconds, key):
    values = [s[key] for s in samples if start <= s['t'] < start + seconds]
    return min(values) if values else None


def resource_figures(samples, baseline_at):
    """Per measure: after the first minute, at the end (fewest of ten readings each), the
    most seen, and whether the end is within its tolerance."""
    figures = {}
    end_start = samples[-1]['t'] - 10 if samples else 0
    for key in ('threads', 'fds', 'sockets', 'rss_kib', 'vmsize_kib'):
        first = window_min(samples, baseline_at, 10, key)
        last = window_min(samples, end_start, 10.5, key)
        most = max((s[key] for s in samples if s['t'] >= baseline_at), default=None)
        ok = None
        if key in TOLERANCE and first is not None and last is not None:
            ok = last <= first + TOLERANCE[key]
        figures[key] = {'first_minute': first, 'end': last, 'max': most, 'ok': ok}
    return figures


# ------------------------------------------------------------------------------------------


def soak(options, result):
    """Runs the service through the faults; fills result with what the checks need."""
    minutes = options.minutes
    seconds = minutes * 60
    log_dir = os.path.join(WORK, 'logs')
    server_log = os.path.join(WORK, f'fake-{PORT}.log')
    cycle = soak_cycle()
    state = result['state']

    peer = testhost('create', HOST)
    state['host'] = True
    result['peer'] = peer
    host_addr = make_network(peer)
    state['namespace'] = True
    server_pid = testhost('fake', HOST, PORT, WORK, '--cycle', ','.join(cycle))
    state['server'] = server_pid

    install = os.path.join(PREFIX, 'drive_c', FOLDER)
    os.makedirs(install, exist_ok=True)
    shutil.copy(PENDRA, install)
    shutil.copy(QUERY, install)
    print('soak: starting Wine in the soak prefix (its first start makes the prefix)')
    state['wine'] = True
    # A service left behind by an earlier run goes first: it starts with the prefix. The
    # first start of Wine in a new prefix takes a while.
    in_soak('net', 'stop', 'Pendra', check=False, timeout=600)
    in_soak('sc', 'delete', 'Pendra', check=False)
    write_settings(PREFIX, WORK, {
        'WriteLogEntries': 1, 'LogDirectory': windows_path(log_dir), 'WaitForRAS': 0,
        'RunOnce': 0, 'NTPServerName': peer, 'NTPPollMilliseconds': POLL_MS,
        'NTPServerPort': PORT, 'MaxAdjustSeconds': MAX_ADJUST}, netns=NAMESPACE)
    in_soak(f'C:\\{FOLDER}\\Pendra.exe', '-installq')
    state['service'] = True
    in_soak('net', 'start', 'Pendra')
    code, status = query('wait', 'Pendra', RUNNING, 15000)
    if code != 0:
        raise SoakError(f'the service did not reach the running state: {status}')
    pids = []
    deadline = time.monotonic() + 15
    while not pids and time.monotonic() < deadline:
        pids = find_pendra()
        time.sleep(0.2)
    if len(pids) != 1:
        raise SoakError(f'expected one Pendra.exe process of the soak prefix, found {pids}')
    pid = pids[0]
    result['pid'] = pid

    plan = fault_plan(seconds, options.period, options.link_down, options.read_only)
    samples = result['samples']
    events = result['events']
    started = time.monotonic()
    wall_started = time.time()
    result['started'] = wall_started
    print(f'soak: Pendra.exe is process {pid}; soaking for {minutes:g} min with '
          f'{sum(1 for p in plan if p[2] == "link")} link and '
          f'{sum(1 for p in plan if p[2] == "read-only")} log faults')
    pending = list(plan)
    active = {}
    tick = 0
    # One pass a second, bounded by the count as well as the clock.
    while tick <= seconds + 5:
        now = time.monotonic() - started
        if now >= seconds:
            break
        for what in list(active):
            if now >= active[what]['planned_end']:
                event = active.pop(what)
                event['end_begun'] = time.time()
                if what == 'link':
                    set_link(True)
                else:
                    set_writable(log_dir, True)
                event['end'] = time.time()
                state[what] = False
        while pending and now >= pending[0][0]:
            begin, end, what = pending.pop(0)
            event = {'what': what, 'planned_end': end, 'begun': time.time()}
            state[what] = True
            if what == 'link':
                set_link(False)
            else:
                set_writable(log_dir, False)
            event['applied'] = time.time()
            event['start'] = event['begun']
            events.append(event)
            active[what] = event
        reading = sample(pid)
        if reading is None:
            if not result.get('process_gone_at'):
                result['process_gone_at'] = time.time()
                print(f'soak: Pendra.exe ({pid}) is gone after {now:.0f} s', file=sys.stderr)
        else:
            reading['t'] = now
            samples.append(reading)
        if tick % 60 == 0 and tick:
            last = samples[-1] if samples else {}
            print(f'soak: {tick // 60} min: threads {last.get("threads")} fds '
                  f'{last.get("fds")} VmRSS {last.get("rss_kib")} KiB')
        tick += 1
        time.sleep(max(0.0, started + tick - time.monotonic()))
    for what, event in active.items():
        event['end_begun'] = time.time()
        if what == 'link':
            set_link(True)
        else:
            set_writable(log_dir, True)
        event['end'] = time.time()
        state[what] = False
    for event in events:
        event['start'] = event['begun']
        event['end'] = event.get('end', time.time())
    result['soaked_s'] = time.monotonic() - started

    # The end: still running, then a stop within its bound.
    result['alive_at_end'] = alive(pid) and find_pendra() == [pid]
    code, status = query('status', 'Pendra')
    result['state_at_end'] = status.get('state')
    stop_begun = time.monotonic()
    result['stop_requested_at'] = time.time()
    in_soak('net', 'stop', 'Pendra', check=False, timeout=60)
    code, status = query('wait', 'Pendra', STOPPED, int(STOP_BOUND * 1000))
    stopped_after = time.monotonic() - stop_begun
    gone = False
    while time.monotonic() - stop_begun < STOP_BOUND + 5:
        if not alive(pid):
            gone = True
            break
        time.sleep(0.1)
    result['stop'] = {'state_code': code, 'status': status, 'seconds': stopped_after,
                      'process_gone': gone}
    testhost('stop', server_pid)
    state['server'] = None
    requests = server_requests(server_log, host_addr)
    lines = service_lines(log_dir)
    result['requests'] = len(requests)
    result['lines'] = len(lines)
    result['first_request_at'] = requests[0]['at'] if requests else None
    stop_lines = [when for when, text in lines if text == 'stop request' and when]
    stop_at = stop_lines[-1] if stop_lines else result['stop_requested_at']
    result['analysis'] = analyse(requests, lines, events, stop_at, peer)
    result['analysis']['link_windows_hit'] = sorted(result['analysis']['link_windows_hit'])
    result['wall_started'] = wall_started


def print_and_judge(options, result):
    a = result.get('analysis', {})
    samples = result['samples']
    baseline_at = min(60.0, options.minutes * 60 / 3)
    figures = resource_figures(samples, baseline_at)
    stop = result.get('stop', {})
    checks = []

    def check(name, ok, detail):
        checks.append((name, ok, detail))

    check('service still running at the end',
          result.get('alive_at_end') and result.get('state_at_end') == str(RUNNING)
          and not result.get('process_gone_at'),
          f'process {result.get("pid")} alive: {result.get("alive_at_end")}, service state '
          f'{result.get("state_at_end")}')
    check(f'net stop ends it within {STOP_BOUND:g} s',
          stop.get('state_code') == 0 and stop.get('process_gone')
          and stop.get('seconds', 1e9) <= STOP_BOUND,
          f'stopped state after {stop.get("seconds", float("nan")):.1f} s, process gone: '
          f'{stop.get("process_gone")}, {stop.get("status")}')
    problems = a.get('problems', []) + a.get('unparsable', [])
    check('every outcome in the log, in order', not problems,
          f'{result.get("requests")} requests, {result.get("lines")} log lines, '
          f'{len(problems)} problems' + ''.join(f'\n      {p}' for p in problems[:15]))
    lost = a.get('lost_writable', [])
    check('no line lost while the log was writable', not lost and a.get('kinds'),
          f'{len(lost)} lost; {a.get("dropped_read_only", 0)} dropped while unwritable '
          f'(expected), {a.get("written_read_only", 0)} written in the unwritable windows'
          + ''.join(f'\n      {p}' for p in lost[:15]))
    check('the log was unwritable in its windows', a.get('written_read_only', 1) == 0,
          f'{a.get("written_read_only")} lines written while the files were immutable, '
          f'{a.get("dropped_read_only")} dropped')
    if a.get('backoff_lines', {}).get('rate') or a.get('backoff_lines', {}).get('refuse'):
        violations = a.get('backoff_violations', [])
        check("kiss-o'-death back-off kept", not violations,
              f'{len(violations)} early requests' + ''.join(f'\n      {v}'
                                                           for v in violations[:10]))
    for key, label in (('threads', 'threads'), ('fds', 'descriptors'),
                       ('rss_kib', 'VmRSS KiB'), ('vmsize_kib', 'VmSize KiB')):
        f = figures[key]
        check(f'{label} at the end within +{TOLERANCE[key]} of the first minute', f['ok'],
              f'{f["first_minute"]} -> {f["end"]} (most {f["max"]})')
    kinds = a.get('kinds', {})
    families = {}
    for behaviour, counts in kinds.items():
        families[family(behaviour)] = families.get(family(behaviour), 0) + counts['requests']
    wanted = {family(b) for b in soak_cycle()}
    if options.minutes >= 10:
        few = {k: families.get(k, 0) for k in wanted if families.get(k, 0) < 3}
        check('every behaviour at least 3 times', not few, f'too few: {few}' if few else
              ', '.join(f'{k} {families[k]}' for k in sorted(families)))
    else:
        print('soak: coverage is checked in runs of 10 minutes or more; this run: ' +
              ', '.join(f'{k} {families.get(k, 0)}' for k in sorted(wanted)))

    print()
    for name, ok, detail in checks:
        print(f'{"PASS" if ok else "FAIL"}  {name}: {detail}')

    link = [e for e in result['events'] if e['what'] == 'link']
    ro = [e for e in result['events'] if e['what'] == 'read-only']
    cpu = [s['cpu_s'] for s in samples]
    gaps = a.get('rate_gaps', [])
    backoff = a.get('backoff_lines', {})
    when = datetime.datetime.fromtimestamp(result.get('wall_started', time.time()),
                                           datetime.timezone.utc)
    rows = [
        ('run', f'{result.get("soaked_s", 0) / 60:.1f} min from {when:%Y-%m-%d %H:%M} UTC, '
                f'{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the end'),
        ('requests served', f'{result.get("requests")} (' + ', '.join(
            f'{k} {families[k]}' for k in sorted(families)) + ')'),
        ('log lines', f'{result.get("lines")}, of them {a.get("network_lines", 0)} network '
                      f'faults ("sendto: ...")'),
        ('link down', f'{len(link)} times for {options.link_down} s; polls met it '
                      f'{len(a.get("link_windows_hit", ()))} times'),
        ('log unwritable', f'{len(ro)} times for {options.read_only} s: '
                           f'{a.get("dropped_read_only", 0)} lines dropped then, '
                           f'{a.get("written_read_only", 0)} written'),
        ('lines lost while writable', str(len(lost))),
        ('outcomes out of order or unexpected', str(len(problems))),
        ("after kiss-o'-death RATE, next request",
         f'{statistics.median(gaps):.2f} s later (median of {len(gaps)}); back-off lines: '
         f'{backoff.get("rate", 0)} slowed, {backoff.get("back", 0)} back, '
         f'{backoff.get("refuse", 0)} refused' if gaps else 'none seen'),
    ]
    for key, label in (('threads', 'threads'), ('fds', 'open descriptors'),
                       ('sockets', 'of them sockets'), ('rss_kib', 'VmRSS (KiB)'),
                       ('vmsize_kib', 'VmSize (KiB)')):
        f = figures[key]
        rows.append((f'{label}: after {baseline_at:g} s / end / most',
                     f'{f["first_minute"]} / {f["end"]} / {f["max"]}'))
    if cpu:
        rows.append(('CPU time of Pendra.exe', f'{cpu[-1] - cpu[0]:.2f} s over the soak'))
    rows.append(('net stop to stopped', f'{stop.get("seconds", float("nan")):.1f} s '
                                        f'(bound {STOP_BOUND:g} s)'))
    print()
    print('| measure | result |')
    print('|---|---|')
    for name, value in rows:
        print(f'| {name} | {value} |')
    print()
    print('| behaviour | requests | lines as expected | dropped (log unwritable) | other |')
    print('|---|---|---|---|---|')
    for behaviour in sorted(kinds):
        c = kinds[behaviour]
        print(f'| {behaviour} | {c["requests"]} | {c["matched"]} | {c["dropped"]} | '
              f'{c["other"]} |')
    result['figures'] = figures
    result['checks'] = [{'name': n, 'pass': bool(ok), 'detail': d} for n, ok, d in checks]
    return all(ok for _, ok, _ in checks)


def clean_up(state):
    """Undoes whatever was set up, in reverse; each step on its own."""
    steps = []
    if state.get('read-only') or os.path.isdir(os.path.join(WORK, 'logs')):
        steps.append(('log writable', lambda: set_writable(os.path.join(WORK, 'logs'), True)))
    if state.get('service'):
        steps.append(('service stop', lambda: in_soak('net', 'stop', 'Pendra', check=False,
                                                      timeout=60)))
        steps.append(('service removal', lambda: in_soak('sc', 'delete', 'Pendra',
                                                         check=False)))
    if state.get('wine'):
        steps.append(('wineserver', stop_wine))
    if state.get('server'):
        steps.append(('fake server', lambda: testhost('stop', state['server'])))
    steps.append(('namespace', lambda: namespace_exists() and
                  run('ip', 'netns', 'del', NAMESPACE)))
    if state.get('host'):
        steps.append(('test host', lambda: testhost('delete', HOST)))
    for name, step in steps:
        try:
            step()
        except (SoakError, RuntimeError, OSError, subprocess.TimeoutExpired) as error:
            print(f'soak: clean-up of the {name}: {error}', file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--minutes', type=float, default=10,
                        help='how long the service runs under the faults (default 10; '
                        '1 for a quick check)')
    parser.add_argument('--period', type=int, default=60,
                        help='seconds between faults of the same sort (default 60)')
    parser.add_argument('--link-down', type=int, default=12,
                        help='seconds the link stays down each time (default 12: longer '
                        'than a reply wait, so each time meets a poll)')
    parser.add_argument('--read-only', type=int, default=8,
                        help='seconds the log stays unwritable each time (default 8)')
    parser.add_argument('--json', metavar='FILE', help='also write the figures here')
    options = parser.parse_args()
    if not 1 <= options.minutes <= 24 * 60:
        parser.error('--minutes must be 1..1440')
    if not (20 <= options.period <= 3600 and 1 <= options.link_down
            and 1 <= options.read_only and options.link_down + options.read_only
            <= options.period * 0.4 - 1):
        parser.error('--period 20..3600; --link-down and --read-only at least 1 s and '
                     'together within 40 %% of the period')
    if os.geteuid() != 0:
        sys.exit('soak: needs root (network namespaces, chattr); run it with sudo')
    for path in (PENDRA, QUERY):
        if not os.path.isfile(path):
            sys.exit(f'soak: {path} is missing; build it with: cmake --build --preset '
                     'windows-x64')

    # The test-host lock that the fake server's own tests honour for hosts 40..63.
    lock = open(f'/run/lock/pendra-t{HOST}.lock', 'w', encoding='ascii')
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        sys.exit(f'soak: test host {HOST} is held by another run')
    signal.signal(signal.SIGTERM, lambda *_: sys.exit('soak: terminated'))
    sys.stdout.reconfigure(line_buffering=True)  # progress shows in a redirected output too
    state = {}
    result = {'state': state, 'samples': [], 'events': []}
    code = 2
    try:
        # Left-overs of a run that was killed: its immutable log, its Wine, its namespace.
        if os.path.isdir(os.path.join(WORK, 'logs')):
            set_writable(os.path.join(WORK, 'logs'), True)
        if os.path.isdir(PREFIX):
            stop_wine()
        if namespace_exists():
            run('ip', 'netns', 'del', NAMESPACE)
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(os.path.join(WORK, 'logs'))
        soak(options, result)
        passed = print_and_judge(options, result)
        code = 0 if passed else 1
    except (SoakError, RuntimeError, OSError, subprocess.TimeoutExpired) as error:
        print(f'soak: {error}', file=sys.stderr)
    except KeyboardInterrupt:
        print('soak: interrupted', file=sys.stderr)
        code = 130
    finally:
        clean_up(state)
        lock.close()
        os.makedirs(WORK, exist_ok=True)
        with open(os.path.join(WORK, 'samples.csv'), 'w', encoding='ascii') as out:
            out.write('t,threads,fds,sockets,rss_kib,vmsize_kib,cpu_s\n')
            for s in result['samples']:
                out.write(f'{s["t"]:.1f},{s["threads"]},{s["fds"]},{s["sockets"]},'
                          f'{s["rss_kib"]},{s["vmsize_kib"]},{s["cpu_s"]:.2f}\n')
        with open(os.path.join(WORK, 'events.json'), 'w', encoding='ascii') as out:
            json.dump(result['events'], out, indent=1)
        if options.json:
            kept = {k: v for k, v in result.items() if k not in ('state', 'samples')}
            with open(options.json, 'w', encoding='utf-8') as out:
                json.dump(kept, out, indent=2, default=str)
                out.write('\n')
        print(f'soak: logs, samples and events are in {WORK}', file=sys.stderr)
    return code


if __name__ == '__main__':
    sys.exit(main())

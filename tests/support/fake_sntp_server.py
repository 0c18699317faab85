#!/usr/bin/env python3
"""Fake SNTP server for the network tests.

Answers every request with a chosen behaviour: a chosen clock offset, silence,
short, long or malformed replies, a spoofed originate timestamp or sender,
kiss-o'-death, stamps that span more than the round trip, or several datagrams
per request. With --cycle it goes through a list of behaviours, one per request
in turn, and logs each request's behaviour, so a long run can pair the requests
with what the client logged. It only reads the clock.
"""

import argparse
import os
import random
import select
import signal
import socket
import struct
import sys
import time

NTP_UNIX_DELTA = 2208988800  # seconds from 1900-01-01 to 1970-01-01
NS_PER_S = 10**9
PACKET_LEN = 48
REFERENCE_ID = bytes([127, 127, 1, 0])
PRECISION = -20
ROOT_DELAY = 0x00000100  # about 3.9 ms in 16.16 fixed point
ROOT_DISPERSION = 0x00000200  # about 7.8 ms

MODES = ('normal', 'silent', 'short', 'long', 'malformed', 'spoof-originate',
         'spoof-source', 'kod', 'multi')
BAD_FIELDS = ('mode', 'version0', 'version7', 'leap3', 'stratum16', 'zero-transmit')
DATAGRAM_KINDS = ('normal', 'short', 'long', 'malformed', 'spoof-originate',
                  'spoof-source', 'kod')
# What --cycle takes: a behaviour per request. bad-offset is a good reply carrying another
# offset; stretch one whose T2 and T3 lie further apart, half earlier and half later, than the
# server's time: the offset stays, the client's delay is that much smaller, below zero when
# beyond the round trip (as if the server's clock had stepped while it held the request).
CYCLE_KINDS = ('normal', 'silent', 'short', 'long', 'malformed', 'spoof-originate',
               'spoof-source', 'kod', 'bad-offset', 'stretch')
DELAY_KINDS = ('server', 'network', 'exponential')
DEFAULT_SHORT_LENGTH = 20
DEFAULT_LONG_LENGTH = 68


def ntp_stamp(unix_ns):
    """8-byte NTP timestamp of a Unix time in nanoseconds (era wrap-around kept)."""
    seconds, rest = divmod(unix_ns, NS_PER_S)
    return struct.pack('!II', (seconds + NTP_UNIX_DELTA) & 0xFFFFFFFF,
                       (rest << 32) // NS_PER_S)


def unix_seconds(stamp):
    """Unix time of an 8-byte NTP timestamp, read as era 0."""
    seconds, fraction = struct.unpack('!II', stamp)
    return seconds - NTP_UNIX_DELTA + fraction / 2**32


def shift_stamp(stamp, seconds):
    """The timestamp moved by a number of seconds, in 32.32 fixed point modulo 2**64."""
    value = struct.unpack('!Q', stamp)[0]
    return struct.pack('!Q', (value + round(seconds * 2**32)) % 2**64)


def build_packet(request, t2_ns, t3_ns, *, leap=0, version=None, mode=4, stratum=2,
                 reference_id=REFERENCE_ID, originate=None, zero_transmit=False):
    """A 48-byte server reply to request; version and poll echo the request's."""
    if version is None:
        version = (request[0] >> 3) & 7
    first = ((leap & 3) << 6) | ((version & 7) << 3) | (mode & 7)
    if originate is None:
        originate = request[40:48]
    transmit = bytes(8) if zero_transmit else ntp_stamp(t3_ns)
    return struct.pack('!BBBbII4s', first, stratum, request[2], PRECISION, ROOT_DELAY,
                       ROOT_DISPERSION, reference_id) + \
        ntp_stamp(t3_ns) + originate + ntp_stamp(t2_ns) + transmit


def kiss_code(text):
    """The 4-byte reference identifier of a kiss code of 1 to 4 ASCII characters, else None."""
    try:
        code = text.encode('ascii')
    except UnicodeEncodeError:
        return None
    return code.ljust(4, b' ') if 1 <= len(code) <= 4 else None


def parse_kind(text, allowed):
    """A kind with its optional argument (malformed:FIELD, kod:CODE, bad-offset:SECONDS,
    stretch:SECONDS); returns (base, argument or None) or raises ValueError."""
    base, colon, argument = text.partition(':')
    if base not in allowed:
        raise ValueError(f'unknown kind: {text}')
    if not colon:
        return base, None
    if base == 'malformed' and argument in BAD_FIELDS:
        return base, argument
    if base == 'kod' and kiss_code(argument) is not None:
        return base, argument
    if base in ('bad-offset', 'stretch'):
        try:
            seconds = float(argument)
        except ValueError:
            seconds = None
        if seconds is not None and abs(seconds) <= 2**31 and (base != 'stretch' or seconds > 0):
            return base, argument
    raise ValueError(f'only malformed:FIELD ({", ".join(BAD_FIELDS)}), kod:CODE (1 to 4 '
                     f'ASCII characters), bad-offset:SECONDS and stretch:SECONDS (above 0) '
                     f'take an argument: {text}')


def long_tail(length):
    """Key identifier 1 and a recognisable digest, repeated up to length bytes."""
    pattern = struct.pack('!I', 1) + bytes(range(0xA0, 0xB0))
    return (pattern * (length // len(pattern) + 1))[:length]


class Responder:
    """Builds the datagrams of one request from the chosen behaviour."""

    def __init__(self, options):
        self.options = options
        self.offset_ns = round(options.offset * NS_PER_S)
        self.delay_ns = round(options.delay * NS_PER_S)
        # A stream of its own, so the legs do not change the --random-offsets sequence.
        self.leg_random = random.Random(f'legs {options.seed}')

    def kinds(self, behaviour=None):
        """The datagrams of one request: its cycle behaviour, or those of --mode."""
        if behaviour is not None:
            return [behaviour]
        if self.options.mode == 'multi':
            return self.options.first + ['normal']
        return [self.options.mode]

    def legs(self):
        """The two leg delays of one request in ns, or None unless --delay-kind exponential.
        Drawn for every request, answered or not, so the n-th request has the n-th pair."""
        if self.options.delay_kind != 'exponential':
            return None
        rate = 1.0 / self.options.delay
        return (round(self.leg_random.expovariate(rate) * NS_PER_S),
                round(self.leg_random.expovariate(rate) * NS_PER_S))

    def times(self, received_ns, now_ns):
        if self.options.delay_kind == 'network':
            # The wait stands for the path: half of it before T2, half after T3.
            half = self.delay_ns // 2
            return received_ns + half + self.offset_ns, now_ns - half + self.offset_ns
        return received_ns + self.offset_ns, now_ns + self.offset_ns

    def datagram(self, kind, request, received_ns, good):
        """The datagram of one kind; the bad ones of 'multi' use --bad-offset."""
        t2, t3 = self.times(received_ns, time.time_ns())
        base, _, argument = kind.partition(':')
        if base == 'bad-offset':
            extra = round((float(argument) - self.options.offset) * NS_PER_S)
            return build_packet(request, t2 + extra, t3 + extra)
        if base == 'stretch':
            half = round(float(argument) * NS_PER_S / 2)
            return build_packet(request, t2 - half, t3 + half)
        if not good and self.options.bad_offset is not None:
            extra = round((self.options.bad_offset - self.options.offset) * NS_PER_S)
            t2, t3 = t2 + extra, t3 + extra
        o = self.options
        if kind == 'short':
            return build_packet(request, t2, t3)[:o.short_length]
        if kind == 'long':
            return build_packet(request, t2, t3) + long_tail(o.long_length - PACKET_LEN)
        if base == 'malformed':
            field = argument or o.bad_field
            if field == 'mode':
                return build_packet(request, t2, t3, mode=3)
            if field == 'version0':
                return build_packet(request, t2, t3, version=0)
            if field == 'version7':
                return build_packet(request, t2, t3, version=7)
            if field == 'leap3':
                return build_packet(request, t2, t3, leap=3)
            if field == 'stratum16':
                return build_packet(request, t2, t3, stratum=16)
            return build_packet(request, t2, t3, zero_transmit=True)
        if kind == 'spoof-originate':
            return build_packet(request, t2, t3,
                                originate=shift_stamp(request[40:48], o.spoof_shift))
        if base == 'kod':
            code = kiss_code(argument) if argument else o.kod_code
            return build_packet(request, t2, t3, leap=3, stratum=0, reference_id=code)
        return build_packet(request, t2, t3)


class Server:
    def __init__(self, options, log):
        self.options = options
        self.log = log
        self.responder = Responder(options)
        self.random = random.Random(options.seed)
        self.answered = {}  # sender: requests answered with a --random-offsets offset
        self.offsets = {}  # sender: the offset of its current group
        self.stop_reason = None
        self.wake_read, self.wake_write = os.pipe()
        os.set_blocking(self.wake_read, False)
        os.set_blocking(self.wake_write, False)
        self.sock = self._bind(options.port)
        self.spoof_sock = None
        self.cycled = 0
        if 'spoof-source' in self.responder.kinds() + (options.cycle or []):
            self.spoof_sock = self._bind(options.spoof_port)

    def _bind(self, port):
        family = socket.AF_INET6 if ':' in self.options.address else socket.AF_INET
        sock = socket.socket(family, socket.SOCK_DGRAM)
        try:
            sock.bind((self.options.address, port))
        except OSError:
            sock.close()
            raise
        return sock

    def close(self):
        for sock in (self.sock, self.spoof_sock):
            if sock is not None:
                sock.close()
        os.close(self.wake_read)
        os.close(self.wake_write)

    def request_stop(self, signum, _frame):
        self.stop_reason = signal.Signals(signum).name
        try:
            os.write(self.wake_write, b'x')
        except OSError:
            pass

    def wait(self, timeout, sock=None):
        """Waits for the socket (if any) or the timeout; False when a stop was requested."""
        readers = [self.wake_read] + ([sock] if sock is not None else [])
        ready, _, _ = select.select(readers, [], [], timeout)
        if self.stop_reason is not None:
            return False
        return sock in ready if sock is not None else True

    def remaining(self, deadline):
        if deadline is None:
            return None
        return max(0.0, deadline - time.monotonic())

    def serve(self):
        o = self.options
        deadline = None if o.lifetime is None else time.monotonic() + o.lifetime
        count = 0
        while o.max_requests is None or count < o.max_requests:
            if deadline is not None and time.monotonic() >= deadline:
                return f'lifetime of {o.lifetime:g} s over after {count} requests'
            if not self.wait(self.remaining(deadline), self.sock):
                if self.stop_reason is not None:
                    return f'{self.stop_reason} after {count} requests'
                continue
            request, sender = self.sock.recvfrom(65535)
            received_ns = time.time_ns()
            count += 1
            legs = self.responder.legs()
            if count <= o.silent_first:
                action = 'no answer (silent first)'
            elif o.cycle:
                behaviour = o.cycle[self.cycled % len(o.cycle)]
                self.cycled += 1
                action = (f'cycle {behaviour} at {received_ns / NS_PER_S:.6f}: ' +
                          self.answer(request, sender, received_ns, legs, behaviour))
            else:
                action = self.answer(request, sender, received_ns, legs)
            if legs is not None:
                action += f'; legs {legs[0] / NS_PER_S:.9f} {legs[1] / NS_PER_S:.9f} s'
            if self.stop_reason is not None:
                action += ' (interrupted)'
            self.log(f'request {count} from {sender[0]}:{sender[1]} len {len(request)} '
                     f'byte0 0x{request[0] if request else 0:02x} '
                     f'transmit {request[40:48].hex() or "-"}: {action}')
            if self.stop_reason is not None:
                return f'{self.stop_reason} after {count} requests'
        return f'max requests {o.max_requests} reached'

    def answer(self, request, sender, received_ns, legs=None, behaviour=None):
        o = self.options
        if (behaviour or o.mode) == 'silent':
            return 'no answer (silent)'
        if len(request) < PACKET_LEN:
            return f'no answer (request shorter than {PACKET_LEN} bytes)'
        if legs is not None:
            if not self.wait(legs[0] / NS_PER_S):
                return 'no answer (stopped while delaying)'
            received_ns = time.time_ns()  # T2: the request leg is over
        elif o.delay > 0 and not self.wait(o.delay):
            return 'no answer (stopped while delaying)'
        sent = []
        if o.random_offsets is not None:
            # A new offset at each sender's first request of a group of --offset-group.
            answered = self.answered.get(sender, 0)
            if answered % o.offset_group == 0:
                self.offsets[sender] = self.random.uniform(-o.random_offsets, o.random_offsets)
            self.answered[sender] = answered + 1
            offset = self.offsets[sender]
            self.responder.offset_ns = round(offset * NS_PER_S)
            sent.append(f'injected offset {offset:+.9f}')
        before = len(sent)
        failed = []
        kinds = self.responder.kinds(behaviour)
        for index, kind in enumerate(kinds):
            if index > 0 and o.gap > 0 and not self.wait(o.gap):
                break
            good = index == len(kinds) - 1
            data = self.responder.datagram(kind, request, received_ns, good)
            if legs is not None and not self.wait(legs[1] / NS_PER_S):
                break
            sock = self.spoof_sock if kind == 'spoof-source' else self.sock
            label = f'malformed/{o.bad_field}' if kind == 'malformed' else kind.replace(':', '/')
            try:
                sock.sendto(data, sender)
            except OSError as error:
                # The client's link may be down; the server keeps serving.
                failed.append(f'{label} not sent: {error.strerror or error}')
                continue
            sent.append(f'{label} {len(data)} bytes from port {sock.getsockname()[1]}')
        if failed:
            return ', '.join((['sent ' + ', '.join(sent)] if len(sent) > before else []) +
                             failed)
        return 'sent ' + ', '.join(sent) if len(sent) > before else 'no answer (stopped)'


def parse_options(argv):
    parser = argparse.ArgumentParser(
        description='Fake SNTP server answering with a chosen behaviour.')
    parser.add_argument('--address', default='127.0.0.1', help='address to bind')
    parser.add_argument('--port', type=int, required=True, help='UDP port to bind')
    parser.add_argument('--offset', type=float, default=0.0,
                        help='seconds added to the true UTC time in T2 and T3')
    parser.add_argument('--mode', choices=MODES, default='normal')
    parser.add_argument('--length', type=int,
                        help=f'reply length for short (default {DEFAULT_SHORT_LENGTH}, '
                        f'below {PACKET_LEN}) and long (default {DEFAULT_LONG_LENGTH}, '
                        f'above {PACKET_LEN})')
    parser.add_argument('--bad-field', choices=BAD_FIELDS, default='mode',
                        help='what malformed breaks: mode 3 instead of 4, version 0 or 7, '
                        'leap indicator 3, stratum 16 or a zero transmit timestamp')
    parser.add_argument('--kod', default='RATE', help='kiss code of kod (4 ASCII characters)')
    parser.add_argument('--spoof-shift', type=float, default=1000.0,
                        help='seconds added to the echoed originate by spoof-originate')
    parser.add_argument('--spoof-port', type=int,
                        help='source port of spoof-source replies (default PORT+1)')
    parser.add_argument('--first', default='spoof-originate',
                        help='multi: comma-separated kinds sent before the good reply, '
                        'from ' + ', '.join(DATAGRAM_KINDS))
    parser.add_argument('--cycle', metavar='LIST',
                        help='instead of --mode: comma-separated behaviours, one per request '
                        'in turn, repeating, each logged with its request; from ' +
                        ', '.join(CYCLE_KINDS) + ' (malformed:FIELD, kod:CODE, '
                        'bad-offset:SECONDS choose the field, kiss code and offset; '
                        'stretch:SECONDS how much further apart T2 and T3 lie)')
    parser.add_argument('--bad-offset', type=float,
                        help='multi: offset of the datagrams before the good one '
                        '(default --offset); cycle: offset of bad-offset')
    parser.add_argument('--gap', type=float, default=0.0,
                        help='multi: seconds between the datagrams')
    parser.add_argument('--delay', type=float, default=0.0,
                        help='seconds to wait before answering (exponential: the mean of '
                        'each leg)')
    parser.add_argument('--delay-kind', choices=DELAY_KINDS, default='server',
                        help='server: T2 at receipt, T3 at sending (the client sees no '
                        'delay); network: the wait shows as round-trip delay; exponential: '
                        'each leg (before T2, after T3) waits its own exponential draw with '
                        'mean --delay, both logged')
    parser.add_argument('--random-offsets', type=float, metavar='RANGE',
                        help='a new offset for each request, uniform in -RANGE..RANGE s, logged')
    parser.add_argument('--offset-group', type=int, default=1, metavar='N',
                        help='with --random-offsets: keep each offset for N requests of the '
                        'same sender (a client that samples N times a poll)')
    parser.add_argument('--seed', type=int, default=1,
                        help='seed of --random-offsets and of the exponential legs')
    parser.add_argument('--silent-first', type=int, default=0, metavar='N',
                        help='leave the first N requests unanswered, then behave as chosen')
    parser.add_argument('--max-requests', type=int, help='exit after this many requests')
    parser.add_argument('--lifetime', type=float, help='exit after this many seconds')
    parser.add_argument('--log', help='append the log here instead of standard output')
    parser.add_argument('--ready-file', help='written once the sockets are bound')
    options = parser.parse_args(argv)

    def check(condition, message):
        if not condition:
            parser.error(message)

    check(1 <= options.port <= 65535, 'port must be 1..65535')
    check(options.offset_group >= 1, '--offset-group must be 1 or more')
    if options.spoof_port is None:
        options.spoof_port = options.port + 1
    check(1 <= options.spoof_port <= 65535 and options.spoof_port != options.port,
          'spoof port must be 1..65535 and differ from the port')
    options.first = [k for k in options.first.split(',') if k]
    for kind in options.first:
        try:
            parse_kind(kind, DATAGRAM_KINDS)
        except ValueError as error:
            parser.error(f'--first: {error}')
    check(options.mode != 'multi' or options.first, '--first needs at least one kind')
    kinds = options.first + ['normal'] if options.mode == 'multi' else [options.mode]
    if options.cycle is not None:
        check(options.mode == 'normal', '--cycle replaces --mode')
        entries = []
        for entry in options.cycle.split(','):
            try:
                base, argument = parse_kind(entry.strip(), CYCLE_KINDS)
            except ValueError as error:
                parser.error(f'--cycle: {error}')
            # Written out in full, so that the log alone tells what each request got.
            if base == 'malformed':
                argument = argument or options.bad_field
            elif base == 'kod':
                argument = argument or options.kod
            elif base == 'bad-offset':
                check(argument is not None or options.bad_offset is not None,
                      'bad-offset needs a value: bad-offset:SECONDS or --bad-offset')
                argument = argument or f'{options.bad_offset:g}'
            elif base == 'stretch':
                check(argument is not None, 'stretch needs a value: stretch:SECONDS')
            entries.append(f'{base}:{argument}' if argument else base)
        options.cycle = entries
        kinds = [entry.partition(':')[0] for entry in entries]
    options.short_length = DEFAULT_SHORT_LENGTH
    options.long_length = DEFAULT_LONG_LENGTH
    if options.length is not None:
        check('short' in kinds or 'long' in kinds, '--length is for short and long')
        if 'short' in kinds:
            check(0 <= options.length < PACKET_LEN, f'short length must be 0..{PACKET_LEN - 1}')
            options.short_length = options.length
        if 'long' in kinds:
            check(PACKET_LEN < options.length <= 65507,
                  f'long length must be {PACKET_LEN + 1}..65507')
            options.long_length = options.length
    options.kod_code = kiss_code(options.kod)
    check(options.kod_code is not None, 'kiss code must be 1 to 4 ASCII characters')
    for name in ('delay', 'gap'):
        check(0 <= getattr(options, name) <= 3600, f'--{name} must be 0..3600 seconds')
    check(options.delay_kind != 'exponential' or options.delay > 0,
          '--delay-kind exponential needs --delay MEAN above 0')
    check(options.max_requests is None or options.max_requests >= 1,
          '--max-requests must be at least 1')
    check(options.lifetime is None or options.lifetime > 0, '--lifetime must be positive')
    return options


def main(argv=None):
    options = parse_options(sys.argv[1:] if argv is None else argv)
    out = open(options.log, 'a', encoding='utf-8') if options.log else sys.stdout

    def log(line):
        stamp = time.strftime('%Y-%m-%dT%H:%M:%S', time.gmtime())
        out.write(f'{stamp}Z {line}\n')
        out.flush()

    try:
        server = Server(options, log)
    except OSError as error:
        log(f'cannot bind {options.address}:{options.port}: {error}')
        return 1
    try:
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(signum, server.request_stop)
        mode = f'cycle of {len(options.cycle)}' if options.cycle else options.mode
        log(f'listening on {options.address}:{options.port} mode {mode} '
            f'offset {options.offset:+.6f} pid {os.getpid()}')
        if options.ready_file:
            temporary = options.ready_file + '.tmp'
            with open(temporary, 'w', encoding='ascii') as ready:
                ready.write(f'{os.getpid()} {options.address} {options.port}\n')
            os.replace(temporary, options.ready_file)
        log(f'stopping: {server.serve()}')
    finally:
        server.close()
        if out is not sys.stdout:
            out.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())

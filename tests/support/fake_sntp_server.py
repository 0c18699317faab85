#!/usr/bin/env python3
"""Fake SNTP server for the network tests.

Answers every request with a chosen behaviour: a chosen clock offset, silence,
short, long or malformed replies, a spoofed originate timestamp or sender,
kiss-o'-death, or several datagrams per request. It only reads the clock.
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

    def kinds(self):
        if self.options.mode == 'multi':
            return self.options.first + ['normal']
        return [self.options.mode]

    def times(self, received_ns, now_ns):
        if self.options.delay_kind == 'network':
            # The wait stands for the path: half of it before T2, half after T3.
            half = self.delay_ns // 2
            return received_ns + half + self.offset_ns, now_ns - half + self.offset_ns
        return received_ns + self.offset_ns, now_ns + self.offset_ns

    def datagram(self, kind, request, received_ns, good):
        """The datagram of one kind; the bad ones of 'multi' use --bad-offset."""
        t2, t3 = self.times(received_ns, time.time_ns())
        if not good and self.options.bad_offset is not None:
            extra = round((self.options.bad_offset - self.options.offset) * NS_PER_S)
            t2, t3 = t2 + extra, t3 + extra
        o = self.options
        if kind == 'short':
            return build_packet(request, t2, t3)[:o.short_length]
        if kind == 'long':
            return build_packet(request, t2, t3) + long_tail(o.long_length - PACKET_LEN)
        if kind.startswith('malformed'):
            field = kind.partition(':')[2] or o.bad_field
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
        if kind == 'kod':
            return build_packet(request, t2, t3, leap=3, stratum=0,
                                reference_id=o.kod_code)
        return build_packet(request, t2, t3)


class Server:
    def __init__(self, options, log):
        self.options = options
        self.log = log
        self.responder = Responder(options)
        self.random = random.Random(options.seed)
        self.stop_reason = None
        self.wake_read, self.wake_write = os.pipe()
        os.set_blocking(self.wake_read, False)
        os.set_blocking(self.wake_write, False)
        self.sock = self._bind(options.port)
        self.spoof_sock = None
        if 'spoof-source' in self.responder.kinds():
            self.spoof_sock = self._bind(options.spoof_port)

    def _bind(self, port):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
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
            if count <= o.silent_first:
                action = 'no answer (silent first)'
            else:
                action = self.answer(request, sender, received_ns)
            if self.stop_reason is not None:
                action += ' (interrupted)'
            self.log(f'request {count} from {sender[0]}:{sender[1]} len {len(request)} '
                     f'byte0 0x{request[0] if request else 0:02x} '
                     f'transmit {request[40:48].hex() or "-"}: {action}')
            if self.stop_reason is not None:
                return f'{self.stop_reason} after {count} requests'
        return f'max requests {o.max_requests} reached'

    def answer(self, request, sender, received_ns):
        o = self.options
        if o.mode == 'silent':
            return 'no answer (silent)'
        if len(request) < PACKET_LEN:
            return f'no answer (request shorter than {PACKET_LEN} bytes)'
        if o.delay > 0 and not self.wait(o.delay):
            return 'no answer (stopped while delaying)'
        sent = []
        if o.random_offsets is not None:
            offset = self.random.uniform(-o.random_offsets, o.random_offsets)
            self.responder.offset_ns = round(offset * NS_PER_S)
            sent.append(f'injected offset {offset:+.9f}')
        kinds = self.responder.kinds()
        for index, kind in enumerate(kinds):
            if index > 0 and o.gap > 0 and not self.wait(o.gap):
                break
            good = index == len(kinds) - 1
            data = self.responder.datagram(kind, request, received_ns, good)
            sock = self.spoof_sock if kind == 'spoof-source' else self.sock
            sock.sendto(data, sender)
            label = f'malformed/{o.bad_field}' if kind == 'malformed' else kind.replace(':', '/')
            sent.append(f'{label} {len(data)} bytes from port {sock.getsockname()[1]}')
        return 'sent ' + ', '.join(sent) if len(sent) > (o.random_offsets is not None) \
            else 'no answer (stopped)'


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
    parser.add_argument('--bad-offset', type=float,
                        help='multi: offset of the datagrams before the good one '
                        '(default --offset)')
    parser.add_argument('--gap', type=float, default=0.0,
                        help='multi: seconds between the datagrams')
    parser.add_argument('--delay', type=float, default=0.0,
                        help='seconds to wait before answering')
    parser.add_argument('--delay-kind', choices=('server', 'network'), default='server',
                        help='server: T2 at receipt, T3 at sending (the client sees no '
                        'delay); network: the wait shows as round-trip delay')
    parser.add_argument('--random-offsets', type=float, metavar='RANGE',
                        help='a new offset for each request, uniform in -RANGE..RANGE s, logged')
    parser.add_argument('--seed', type=int, default=1, help='seed of --random-offsets')
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
    if options.spoof_port is None:
        options.spoof_port = options.port + 1
    check(1 <= options.spoof_port <= 65535 and options.spoof_port != options.port,
          'spoof port must be 1..65535 and differ from the port')
    options.first = [k for k in options.first.split(',') if k]
    for kind in options.first:
        base, _, field = kind.partition(':')
        check(base in DATAGRAM_KINDS, f'unknown kind in --first: {kind}')
        check(not field or (base == 'malformed' and field in BAD_FIELDS),
              f'only malformed takes a field, one of {", ".join(BAD_FIELDS)}: {kind}')
    check(options.mode != 'multi' or options.first, '--first needs at least one kind')
    kinds = options.first + ['normal'] if options.mode == 'multi' else [options.mode]
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
    try:
        code = options.kod.encode('ascii')
    except UnicodeEncodeError:
        code = b''
    check(1 <= len(code) <= 4, 'kiss code must be 1 to 4 ASCII characters')
    options.kod_code = code.ljust(4, b' ')
    for name in ('delay', 'gap'):
        check(0 <= getattr(options, name) <= 3600, f'--{name} must be 0..3600 seconds')
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
        log(f'listening on {options.address}:{options.port} mode {options.mode} '
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

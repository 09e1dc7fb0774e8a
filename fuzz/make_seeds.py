#!/usr/bin/env python3
"""Writes the small seed corpora in fuzz/corpus/ (run from anywhere; rerun after a layout change).
Regression inputs found by fuzzing are kept beside the seeds under names starting "regress-"."""
import os
import time

top = os.path.dirname(os.path.abspath(__file__))
RECORD = 234


def put(target, name, data):
    d = os.path.join(top, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def field(s, width):
    b = s.encode()[:width]
    return b + b'\0' * (width - len(b))


def record(product, host, key, msgtype, text='', reply='N', persistent='N', optional=''):
    r = bytearray(RECORD)
    r[0:15] = field(product, 14) + b'\0'
    r[15:26] = field('1.0.2', 10) + b'\0'
    r[26:42] = field(host, 15) + b'\0'
    r[42:57] = field(key, 14) + b'\0'
    r[57:63] = b'00000\0'
    r[63:65] = msgtype.encode()
    r[65] = ord(reply)
    r[66:81] = field(time.strftime('%Y%m%d%H%M%S', time.gmtime(1700000000)), 14) + b'\0'
    r[96] = ord(persistent)
    r[97:102] = b'%04d\0' % len(text)
    r[102:203] = field(text, 100) + b'\0'
    r[203:233] = field(optional, 29) + b'\0'
    r[233] = ord('\n')
    return bytes(r)


def reply(msgtype, text):
    r = bytearray(4184)
    r[0:15] = field('CONSOLE99_127', 14) + b'\0'
    r[63:65] = msgtype.encode()
    data = text.replace('\n', '^').encode()
    r[81:86] = b'%04d\0' % len(data)
    r[86:86 + len(data)] = data
    r[4183] = ord('\n')
    return bytes(r)


def listing_line(host, key, msgtype, text):
    return '%-14s %-15s %-14s %s %s\n' % ('20231114221320', host, key, msgtype, text)


def details(host, key, msgtype, text, optional=''):
    return ('HOST: %-15s   DATETIME: 20231114221320\nKEY: %-14s\nMSGTYPE %s     PERSISTENT N\n'
            'MSGTEXT: %s\nOPTIONAL DATA: %s\n' % (host, key, msgtype, text, optional))


# sievel: parameter file, "\n%%\n", log lines.
with open(os.path.join(top, '..', 'examples', 'ssh-logins.params')) as f:
    ssh = f.read()
put('sievel', 'ssh', ssh + '%%\n'
    'Jun 14 15:16:01 web1 sshd[42]: Failed password for root from 10.0.0.1\n'
    'Jun 14 15:16:02 web1 sshd[42]: Accepted password for root from 10.0.0.1\n'
    'Jun 14 15:16:03 web1 sshd[42]: Invalid user admin\n' + 'x' * 300 + 'Invalid user\n')
put('sievel', 'overlap', 'A ONE 0 abcabd\nA TWO 0 bca\n1 THREE 2 ab\nX FOUR 5 a b c\n'
    'USEHOSTNAME=2\n%%\nzzabcabd\nbcabcabd\nh host a b c\n\x00ab\nabcab')
put('sievel', 'short', 'A K 0 q\n%%\nq\nqq\n\n')

# Console replies: mode byte (bit 0 whole board, bit 1 every alert's details), then replies.
alerts = [('web1', 'DISK01', 'AC', 'disk full'), ('db2', 'CPU', 'AK', 'load high^again'),
          ('mail', 'QUEUE', 'IO', 'x' * 80)]
listing = ''.join(listing_line(*a) for a in alerts)
put('console_reply', 'listing', b'\x00' + reply('DB', listing))
put('console_reply', 'two-part', b'\x00' + reply('DF', listing) + reply('DB', listing))
put('console_reply', 'empty', b'\x00' + reply('DB', listing_line('-' * 15, '-' * 14, 'IO',
                                                              'NO ALERTS AT PRESENT')))
put('console_reply', 'refused', b'\x01' + reply('DE', 'console commands are not accepted\nhere'))
put('console_reply', 'board', b'\x03' + reply('DB', listing) + b''.join(
    reply('DS', details(h, k, t, x, 'opt')) for h, k, t, x in alerts))
put('console_reply', 'board-cut', b'\x01' + reply('DB', listing) + reply('DE', 'no such alert'))
put('console_reply', 'short', b'\x00' + reply('DB', listing)[:300] + b'\n')

# Overflow files: whole records, a torn tail, raise/clear pairs, more than a table's worth.
recs = [record('GENALERT', 'host%d' % (i % 7), 'KEY%d' % i, 'AC', 'alert %d' % i) for i in range(60)]
put('overflow', 'sixty', b''.join(recs))
put('overflow', 'torn', recs[0] + recs[1][:100])
pairs = b''.join(record('JOBSCHED', 'h', 'K%d' % (i % 3), t) for i in range(40) for t in ('AW', 'AK'))
put('overflow', 'pairs', pairs)
mixed = [record('GENALERT', 'a', 'K1', 'IO'), record('RELOADER', 'a', 'K2', 'KA'),
         record('GENALERT', 'b', 'K1', 'KH'), record('GENALERT', 'a', 'K1', 'AK'),
         record('GENALERT', 'c', 'K9', 'LO'), record('GENALERT', 'c', 'K9', 'ZZ')]
put('overflow', 'mixed', b''.join(recs[:50]) + b''.join(mixed))


# Saved tables: the alerts, then the state record.
def state(next_index, file_id):
    r = bytearray(record('TARROWD-STATE', '', '', '--'))
    r[26:42] = bytes(16)
    r[42:57] = bytes(15)
    r[57:63] = bytes(6)
    r[65] = 0
    r[66:81] = bytes(15)
    r[96:203] = bytes(107)
    t = b'next=%d file=%d' % (next_index, file_id)
    r[102:102 + len(t)] = t
    r[203:233] = bytes(30)
    return bytes(r)


def stored(host, key, msgtype, text):
    r = bytearray(record('GENALERT', host, key, msgtype, text))
    r[26:41] = ('%-15s' % host).encode()
    r[42:56] = ('%-14s' % key).encode()
    return bytes(r)


board = [stored('web%d' % i, 'K%d' % i, ('AC', 'AW', 'IO', 'AK')[i % 4], 'text %d' % i)
         for i in range(50)]
put('table_file', 'full', b''.join(board) + state(3, 123))
put('table_file', 'one', board[0] + state(0, 0))
put('table_file', 'empty', state(0, 0))
put('table_file', 'twice', board[0] + board[0] + state(0, 0))
put('table_file', 'torn', board[0] + state(0, 0)[:200])


# Server input: the number of alerts already stored, then chunks (control byte: connection in
# bits 0-1, close after it in bit 2, extra passes in bits 3-7; two length bytes; the bytes).
def chunk(conn, data, close=False, passes=0):
    return bytes([conn | (4 if close else 0) | passes << 3]) + len(data).to_bytes(2, 'little') + data


ack = lambda host, key, t='AC': record('JOBSCHED', host, key, t, 'text of ' + key, reply='Y')
console = lambda cmd, host='', key='': record('CONSOLE99_127', host, key, cmd, reply='Y')
put('server_input', 'alerts', b'\x00' + chunk(0, ack('a', 'K1')) + chunk(1, ack('b', 'K2', 'AW')) +
    chunk(2, console('SL')) + chunk(0, ack('a', 'K1', 'KA')) + chunk(2, console('SD', 'a', 'K1')))
put('server_input', 'spill', b'\x30' + b''.join(chunk(i % 3, ack('s', 'S%d' % i)) for i in range(6)) +
    chunk(1, record('GENALERT', 'host1', 'PRE1', 'AK', reply='Y')) + chunk(2, console('SL')))
rec = ack('cut', 'C1')
put('server_input', 'cut', b'\x05' + chunk(0, rec[:17]) + chunk(0, rec[17:200]) +
    chunk(0, rec[200:] + rec[:100]) + chunk(0, rec[100:], True) + chunk(1, b'\n\n\x1b[31mjunk\n'))
put('server_input', 'console', b'\x32' + chunk(2, console('AD', 'host0', 'PRE0')) +
    chunk(2, console('AC', 'host1', 'PRE1')) + chunk(2, console('KK', 'host2', 'PRE2')) +
    chunk(2, console('RC')) + chunk(2, console('SL')) + chunk(1, b'CONSOLE05_060' + bytes(60) + b'\n'))
put('server_input', 'long', b'\x01' + chunk(0, b'JOBSCHED' + b'L' * 9000 + b'\n') +
    chunk(1, b'x' * 300 + b'\n', passes=3) + chunk(2, ack('h', 'host-key', 'KH')))


# The board requests, acknowledgements with who, note and expiry, un-acknowledge and details
# with acks, on a full board with alerts waiting behind it: actions on waiting alerts wait in
# the overflow file too. Texts and names hold '^', '%' and tabs.
def operator(cmd, host, key, who='al^%ce', note='n^1\t%', until=b'          '):
    r = bytearray(console(cmd, host.ljust(15), key.ljust(14)))
    r[15:25] = until
    r[81:96] = field(who, 15)
    r[102:202] = field(note, 100)
    return bytes(r)


put('server_input', 'operators', b'\x31' + chunk(0, ack('w', 'W1')) +
    chunk(2, operator('AN', 'host0', 'PRE0')) + chunk(2, operator('AN', 'w', 'W1')) +
    chunk(2, operator('SX', 'w', 'W1')) + chunk(2, operator('UA', 'host0', 'PRE0')) +
    chunk(2, operator('AD', 'w', 'W1')) + chunk(2, operator('KK', 'host1', 'PRE1')) +
    chunk(1, console('SA')) + chunk(1, console('SQ')) + chunk(1, console('SS')) +
    chunk(1, record('CONSOLE99_127', '', '7', 'SA', reply='Y')) +
    chunk(2, operator('AN', 'host2', 'PRE2', until=b'4102444800')))

# A short record leaves its persistent flag a zero byte; its details must still be one whole reply.
short = record('JOBSCHED', 'short', 'S1', 'AC', 'cut short', reply='Y')[:90] + b'\n'
put('server_input', 'regress-persistent-zero', b'\x00' + chunk(0, short) +
    chunk(0, record('CONSOLE99_127', 'short'.ljust(15), 'S1'.ljust(14), 'SD', reply='Y')))

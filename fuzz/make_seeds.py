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

# One seed for each console request on a full board with alerts waiting behind it, with a
# name and key that are stored and one that is not.
for cmd in ('SL', 'SD', 'SX', 'AD', 'AC', 'AN', 'UA', 'KK', 'RC', 'SA', 'SQ', 'SS'):
    put('server_input', 'request-' + cmd, b'\x32' + chunk(0, ack('w', 'W1')) +
        chunk(2, operator(cmd, 'host3', 'PRE3')) + chunk(2, operator(cmd, 'w', 'W1')) +
        chunk(2, operator(cmd, 'none', 'NONE')) + chunk(1, console(cmd)))
# A page of the board and of the waiting alerts from a position on.
put('server_input', 'pages', b'\x32' + chunk(0, ack('w', 'W1')) + chunk(0, ack('v', 'V1')) +
    chunk(1, record('CONSOLE99_127', '', '20', 'SA', reply='Y')) +
    chunk(1, record('CONSOLE99_127', '', '1', 'SQ', reply='Y')) +
    chunk(1, record('CONSOLE99_127', '', '99999', 'SQ', reply='Y')))


# Saved tables with acknowledgements, and journals: FNV-1a checksums and state records as the
# server writes them; an empty overflow file (next=0 count=0).
def fnv(data, h=2166136261):
    for c in data:
        h = ((h ^ c) * 16777619) & 0xffffffff
    return h


def ack_record(alert, severity='AC', who='al', since=1796670000, until=0, note='looking'):
    r = bytearray(RECORD)
    r[0:11] = b'TARROWD-ACK'
    r[15:30] = alert[26:41]
    r[30:44] = alert[42:56]
    r[44:46] = severity.encode()
    r[46:46 + len(who)] = who.encode()
    r[61:73] = b'%012d' % since
    r[73:85] = b'%012d' % until
    r[85:85 + len(note)] = note.encode()
    r[233] = ord('\n')
    return bytes(r)


def state_record(productid, label, count, acks, body, seq):
    r = bytearray(RECORD)
    r[0:len(productid)] = productid
    r[63:65] = b'--'
    t = b'next=0 count=0 sum=00000000 seq=%d acks=%d' % (seq, acks)
    r[102:102 + len(t)] = t
    o = b'%s=%d sum=%08x' % (label, count, fnv(body))
    r[203:203 + len(o)] = o
    r[233] = ord('\n')
    return bytes(r)


def saved_table(alerts, acks, seq):
    body = b''.join(alerts) + b''.join(acks)
    return body + state_record(b'TARROWD-STATE', b'board', len(alerts), len(acks), body, seq)


def delta(records, acks, seq):
    body = b''.join(records)
    return body + state_record(b'TARROWD-DELTA', b'ops', len(records), acks, body, seq)


def removed(alert):
    r = bytearray(RECORD)
    r[0:11] = b'TARROWD-DEL'
    r[26:41] = alert[26:41]
    r[42:56] = alert[42:56]
    r[233] = ord('\n')
    return bytes(r)


# An acknowledged alert is stored without its reply flag, as the table keeps it.
def with_type(alert, msgtype):
    r = bytearray(alert)
    r[63:65] = msgtype.encode()
    if msgtype == 'AK':
        r[65] = 0
    return bytes(r)


five = [with_type(stored('web%d' % i, 'K%d' % i, 'AC', 'text %d' % i), t)
        for i, t in enumerate(('AC', 'AW', 'IO', 'AK', 'AC'))]
acked = [ack_record(five[3], 'AW', 'bo', note='swap at 14:00')]
table = saved_table(five, acked, 7)
put('table_file', 'acked', table)
put('table_file', 'acked-full', saved_table(
    [with_type(a, 'AK') for a in board], [ack_record(a, until=4102444800) for a in board], 1))
new = stored('new1', 'N1', 'AW', 'new alert')
d1 = delta([with_type(five[0], 'AK'), ack_record(five[0], who='cy', note='mine'), new], 2, 8)
d2 = delta([removed(five[1]), with_type(five[3], 'AC'), removed(new)], 0, 9)
d3 = delta([with_type(five[2], 'AK'), ack_record(five[2], 'IO')], 2, 10)


def journal_seed(name, table_bytes, journal):
    put('journal', name, bytes([len(table_bytes) // RECORD]) + table_bytes + journal)


journal_seed('deltas', table, d1 + d2 + d3)
journal_seed('torn', table, d1 + d2 + d3[:300])
journal_seed('gap', table, d1 + d3)
journal_seed('old-and-new', table, delta([removed(five[0])], 1, 7) + d1)
# No saved table: the journal's whole board, then its changes.
journal_seed('journal-only', b'', saved_table(five, acked, 7) + d1 + d2)
journal_seed('full', saved_table(board, [], 3),
             delta([removed(board[0]), stored('late', 'L1', 'AC', 'late one')], 0, 4))

# tarrow-history: log lines of every kind the board depends on, and times a user gives.
stamp = 'Mon Dec  7 18:52:08 2026 '
log = [
    '----: Server initialisation beginning',
    'INFO: The board holds up to 50 alerts',
    'INFO: Restored 17 alerts from alert_table.dat',
    'INFO: TCP-IP Services now available',
    'AINF: vm              20261207 18:52 AC DISKFULL       Y disk is full ',
    'AINF: db1 20261207 18:52 AW LOAD N load is 12 ',
    'AINF: vm              20261207 18:52 AD INFO1          (CONSOLE COMMAND)',
    'AINF: Acknowledged web1            DISKFULL       AC by ops1 until 20261207 20:00:30: swap',
    'AINF: Acknowledged web1            DISKFULL       IO by 127.0.0.1:4711 until never: ',
    'AINF: Acknowledgement expired web1            DISKFULL       AW by ops1',
    'AINF: Unacknowledged web1            DISKFULL       AC by ops2 (acknowledged by ops1)',
    'AINF: Manual delete of vm              DISKFULL       (CONSOLE KK)',
    'AINF: 12 alerts KK deleted, 3 recovered by compress',
    'AINF: Spilled web1            DISKFULL       AC to evt_buffer.dat',
    'AINF: Read back web1            DISKFULL       AC from evt_buffer.dat',
    'AINF: Displaced web1            DISKFULL       IO for a new alert',
    'AINF: Pending acknowledge web1            DISKFULL       by ops1',
    'AINF: Deleted web1            DISKFULL       AC by ops1: gone',
    'WARN: Unable to store events in buffer file, disk full ?' + stamp + 'WARN: closed',
    '*ERR: To avoid server failure server is flushing memory tables',
]
put('logline', 'kinds', ''.join(stamp + m + '\n' for m in log))
put('logline', 'days', 'Tue Jan  1 00:00:00 2030 INFO: x\nSat Dec 31 23:59:59 2039 '
    'AINF: db1 20391231 23:59 IO K Y t\nSat Dex 31 23:59:59 2039 hello\n')
for i, t in enumerate(['2026-12-07 18:52', '2026-12-07T18:52:08', '2026-12-07', '10:00',
                       'yesterday 10:00', 'today', '-2h', '-30m', '-1d']):
    put('logline', 'time-%d' % i, t + '\n' + stamp + log[4])

# sievel-act: action lines as sievel prints them.
put('action_line', 'lines',
    'RAISE-ALERT SSH "Failed password for root" web1\n'
    'RAISE-ALERT DISK "web1 /var is full" web1 critical\n'
    'CANCEL-ALERT DISK "web1 /var has room" web1 warning\n'
    'USERFUNC-3 KEY "a "quoted" text" host\n'
    'RAISE-ALERT K "crlf\r" h\n'
    'ERROR: no such file\n'
    'RAISE-ALERT KEY "no host"\n')
put('action_line', 'long', 'RAISE-ALERT K "h1 ' + ' '.join(['word'] * 40) + '" h1 info\n'
    'RAISE-ALERT K "' + '\u00e4' * 80 + '" h\n' + 'RAISE-ALERT K "' + 'x' * 150 + '" h\n')

# tarrow-bridge: replies of Alertmanager to GET /api/v2/alerts and /api/v2/silences.
matchers = ('[{"name":"alertname","value":"%s","isRegex":false,"isEqual":true},'
            '{"name":"instance","value":"%s","isRegex":false},{"name":"board","value":"main"}]')
own = 'acknowledged on the tarrow board 127.0.0.1:19000'
put('bridge_json', 'alerts', '[{"labels":{"alertname":"DISK","instance":"web1","severity":'
    '"critical","board":"main"},"annotations":{"board":"127.0.0.1:19000","state":"critical",'
    '"summary":"disk full","raised":"20261207 18:52","place":"board"},'
    '"startsAt":"2026-12-07T18:52:00Z"},{"labels":{"alertname":"OLD","instance":"db9",'
    '"severity":"warning","board":"main"},"annotations":{"board":"127.0.0.1:19000"},'
    '"startsAt":"2026-12-07T18:00:00.123+01:00"},{"labels":{"alertname":"TarrowBoardDown",'
    '"instance":"127.0.0.1:19000","severity":"critical","board":"main"},"annotations":'
    '{"board":"127.0.0.1:19000"},"startsAt":"2026-12-07T17:00:00Z"}]')
put('bridge_json', 'silences', '[{"id":"a1","status":{"state":"active"},"matchers":' +
    matchers % ('DISK', 'web1') + ',"startsAt":"2026-12-07T18:00:00Z","endsAt":'
    '"2026-12-08T18:00:00Z","createdBy":"carol","comment":"maintenance"},'
    '{"id":"b2","status":{"state":"active"},"matchers":' + matchers % ('QUEUE', 'mail') +
    ',"startsAt":"2026-12-07T18:00:00Z","endsAt":"2026-12-08T18:00:00Z","createdBy":"al",'
    '"comment":"looking | ' + own + '"},{"id":"c3","status":{"state":"expired"},"matchers":' +
    matchers % ('LOAD', 'db2') + ',"endsAt":"2026-12-07T18:00:00Z","comment":"' + own + '"}]')
put('bridge_json', 'time', '2024-07-01T10:30:00-01:30')
put('bridge_json', 'deep', '[' * 40 + ']' * 40)

# tarrow-web: query, body, Cookie, Host, Origin, If-None-Match and peer address, each ending
# at a zero byte.
def web(query='', body='', cookie='', host='127.0.0.1:8080', origin='http://127.0.0.1:8080',
        inm='', peer='127.0.0.1'):
    return '\0'.join([query, body, cookie, host, origin, inm, peer])


put('web_request', 'ack', web('filter=severity%3Dcritical', '{"host":"web1","key":"DISK01",'
                              '"note":"on it","until":4102444800}',
                              'theme=dark; tarrow_session=5e55104d', inm='W/"x", "y"'))
put('web_request', 'login', web('filter=host~web+and+not+acked&x=1&filter=2',
                                '{"name":"al","token":"s3cret-token"}', peer='::ffff:127.0.0.1'))
put('web_request', 'history', web('host=web1&key=DISK01'))
put('web_request', 'waiting', web('filter=place%3Dwaiting%20or%20text~%22b%22',
                                  '{"host":"web1","key":"SSH"}', host='[::1]:8080',
                                  origin='https://[::1]:8080', inm='*', peer='::1'))
put('web_request', 'odd', web('filter=%ZZ&&=&filter', '{"host":"m\\u00e4il","key":"Q\\ufffd"}',
                              'tarrow_session=;tarrow_session=5e55104d', host='LOCALHOST.',
                              peer='10.0.0.0/8'))

// Client connections: reading lines without blocking, classification by productid, and the
// output queues that carry replies as each socket accepts them.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/server.h"

client_slot client[MAX_CLIENTS];
int client_open_fds[MAX_CLIENTS];
int client_open_count = 0;
int client_idle_limit_ms = IDLE_EVICT_MS;
int client_reply_deadline_ms = REPLY_DEADLINE_MS;

// Input buffers, apart from the slots so that walking the slots touches one page.
static char client_in[MAX_CLIENTS][LINE_MAX_BYTES];

// A queue holds at most what arrives while it is below OUT_PAUSE_BYTES, plus the replies to
// one line (a listing is at most two console replies).
inline constexpr std::size_t OUT_FIRST_BYTES = 4096;
inline constexpr std::size_t OUT_CAP_BYTES = OUT_PAUSE_BYTES + 4 * CONSOLE_REPLY_SIZE;
inline constexpr int MAX_NOTES = static_cast<int>(OUT_CAP_BYTES / ALERT_RECORD_SIZE) + 1;
// Replies are written once a connection holds no further line, or when this much waits.
inline constexpr std::size_t OUT_SEND_BYTES = 16 * 1024;

// What is needed to report a reply that was never written: its size tells an ACK from a
// console reply; an ACK is reported with the host of the request it answered.
struct reply_note {
    std::size_t left;           // bytes of the reply not yet written
    long queued_ms;
    unsigned char host_len;
    char host[LEN_HOSTNAME];
    bool ack;
};

struct client_queue {
    std::size_t off = 0, len = 0, cap = 0;   // unwritten bytes: data[off, off + len)
    char *data = nullptr;
    bool blocked = false;                    // the socket took less than was offered
    int first = 0, count = 0;                // notes of the unwritten replies
    reply_note note[MAX_NOTES];
};

// The line being handled, so that a reply can name the request it answers.
static const char *handling_line = nullptr;
static int handling_fd = -1;

long
monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

long
monotonic_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000L + ts.tv_nsec / 1000L;
}

static bool
slot_open(int fd)
{
    return fd >= 0 && fd < MAX_CLIENTS && client[fd].fd == fd;
}

static std::size_t
queued_bytes(const client_slot &c)
{
    return c.out != nullptr ? c.out->len : 0;
}

void
client_table_reset()
{
    for (auto &c : client) {
        free(c.out != nullptr ? c.out->data : nullptr);
        free(c.out);
        c = client_slot{};
    }
    client_open_count = 0;
}

static void
open_list_add(int fd)
{
    int i = client_open_count;
    while (i > 0 && client_open_fds[i - 1] > fd) {
        client_open_fds[i] = client_open_fds[i - 1];
        i--;
    }
    client_open_fds[i] = fd;
    client_open_count++;
}

static void
open_list_remove(int fd)
{
    int i = 0;
    while (i < client_open_count && client_open_fds[i] != fd)
        i++;
    if (i == client_open_count)
        return;
    memmove(client_open_fds + i, client_open_fds + i + 1,
            static_cast<std::size_t>(client_open_count - i - 1) * sizeof client_open_fds[0]);
    client_open_count--;
}

int
client_open(int fd, const char *peer)
{
    if (fd < 0 || fd >= MAX_CLIENTS)
        return -1;
    client_slot &c = client[fd];
    if (c.fd == fd)
        return 0;
    free(c.out != nullptr ? c.out->data : nullptr);
    free(c.out);
    c = client_slot{};
    c.fd = fd;
    c.last_line_ms = monotonic_ms();
    if (peer == nullptr) {
        // Not from net_accept, which makes its descriptors non-blocking already.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0 && (flags & O_NONBLOCK) == 0)
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    } else {
        // A sender writes as soon as it is connected: its record is often there already.
        c.readable = true;
    }
    char text[sizeof c.peer_address];
    if (peer == nullptr || peer[0] == '\0')
        peer = net_peer_text(fd, text, sizeof text);
    if (peer == nullptr) {
        myprintf("INFO: Connection from a host that hides its ip address\n");
        peer = "Hidden\n";
    }
    snprintf(c.peer_address, sizeof c.peer_address, "%s", peer);
    open_list_add(fd);
    return 0;
}

static void
client_close(client_slot &c)
{
    // A peer that sees its connection end finds the reason (a WARN line) already logged.
    msglog_flush();
    // Ends both directions even with input left unread; after the peer's end of input a
    // close alone does the same.
    if (!c.eof)
        shutdown(c.fd, SHUT_RDWR);
    close(c.fd);
    open_list_remove(c.fd);
    if (c.out != nullptr) {
        free(c.out->data);
        free(c.out);
    }
    c.out = nullptr;
    c.fd = -1;
    c.eof = c.readable = c.closing = false;
    c.in_off = c.in_len = 0;
}

// Closes a rejected connection, first handing the socket what was queued before the
// rejection (answers to earlier lines), as far as it takes it now.
static void
close_rejected(client_slot &c)
{
    if (c.out != nullptr && c.out->len > 0 && table_store_sync() == 0) {
        msglog_flush();
        send(c.fd, c.out->data + c.out->off, c.out->len, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    client_close(c);
}

int
client_accept(int fd, const char *peer)
{
    if (fd >= MAX_CLIENTS) {
        // Every slot is taken: the connection that has sent no whole line for longest may give
        // way, whether it was silent or trickled a piece of a record.
        long now = monotonic_ms();
        int idle = -1;
        for (int i = 0; i < client_open_count; i++) {
            int o = client_open_fds[i];
            if (idle < 0 || client[o].last_line_ms < client[idle].last_line_ms)
                idle = o;
        }
        if (idle < 0 || now - client[idle].last_line_ms < client_idle_limit_ms ||
            queued_bytes(client[idle]) > 0) {
            myprintf("WARN: Client connection refused, server alrady has maximum connections "
                     "allowed !\n");
            stats.refused_no_slot++;
            close(fd);
            return -1;
        }
        stats.refused_idle_eviction++;
        myprintf("WARN: Connection from %s closed, idle while the server is full\n",
                 client[idle].peer_address);
        client_close(client[idle]);
        // The new connection takes the freed descriptor number, and so its slot.
        if (dup3(fd, idle, O_CLOEXEC) != idle) {
            close(fd);
            return -1;
        }
        close(fd);
        fd = idle;
    }
    stats.connections_accepted++;
    return client_open(fd, peer);
}

// ---- Reading lines ----

// Bytes of the next line that can be handled now: a whole line, a full buffer, or the
// unterminated rest at end of input. 0 when none.
static std::size_t
conn_line_length(const client_slot &c)
{
    if (c.in_len == 0)
        return 0;
    const char *start = client_in[c.fd] + c.in_off;
    const void *nl = memchr(start, '\n', c.in_len);
    if (nl != nullptr)
        return static_cast<std::size_t>(static_cast<const char *>(nl) - start) + 1;
    if (c.in_len == LINE_MAX_BYTES || c.eof)
        return c.in_len;
    return 0;
}

// Reads what the socket holds now, without waiting; eof at end of input or on error. The
// unhandled bytes move to the front of the buffer first.
static void
conn_fill(client_slot &c)
{
    c.readable = false;
    char *in = client_in[c.fd];
    if (c.in_off > 0) {
        memmove(in, in + c.in_off, c.in_len);
        c.in_off = 0;
    }
    if (c.eof || c.in_len == LINE_MAX_BYTES)
        return;
    ssize_t n = read(c.fd, in + c.in_len, LINE_MAX_BYTES - c.in_len);
    if (n > 0) {
        c.in_len += static_cast<std::size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.eof = true;
    }
}

// Copies the next line of len bytes into line. The bytes after it that a record or an
// earlier line could reach are zeroed, so a short record reads as zero-padded.
static void
conn_take_line(client_slot &c, char *line, std::size_t len, std::size_t *dirty)
{
    memcpy(line, client_in[c.fd] + c.in_off, len);
    std::size_t clear_to = *dirty > ALERT_RECORD_SIZE + 1 ? *dirty : ALERT_RECORD_SIZE + 1;
    if (clear_to > len)
        memset(line + len, 0, clear_to - len);
    *dirty = len;
    c.last_line_ms = monotonic_ms();
    c.in_off += len;
    c.in_len -= len;
    if (c.in_len == 0)
        c.in_off = 0;
}

bool
client_has_line(int fd)
{
    if (!slot_open(fd))
        return false;
    const client_slot &c = client[fd];
    if (c.eof && c.in_len == 0)
        return queued_bytes(c) == 0;     // to be closed once its replies are out
    return conn_line_length(c) > 0;
}

bool
client_paused(int fd)
{
    return slot_open(fd) && queued_bytes(client[fd]) > OUT_PAUSE_BYTES;
}

int
message_from_forwarding_application(const char *record)
{
    for (std::string_view id : {PRODUCT_JOBSCHED, PRODUCT_GENALERT, PRODUCT_RELOADER})
        if (memcmp(record, id.data(), id.size()) == 0)
            return 1;
    return 0;
}

// Empty and unrecognised lines are logged up to JUNK_LOG_PER_SECOND a second across every
// connection, so that peers that reconnect after each JUNK_LINE_LIMIT cannot fill the disk;
// the rest are counted and the count is logged with the next such line.
static time_t junk_second = 0;
static int junk_logged = 0;
static unsigned long junk_unlogged = 0;

// Starts a new second of the junk count when the clock has moved on, logging how many lines
// the last one left unlogged.
static void
junk_new_second(time_t now)
{
    if (now == junk_second)
        return;
    if (junk_unlogged > 0)
        myprintf("WARN: %lu empty or unrecognised lines were not logged, too many in one "
                 "second\n", junk_unlogged);
    junk_second = now;
    junk_logged = 0;
    junk_unlogged = 0;
}

// Logs the count of unlogged lines once their second is over, without waiting for the next
// such line. Returns the milliseconds until that is due, or -1 when nothing is counted.
static long
junk_report()
{
    if (junk_unlogged == 0)
        return -1;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    junk_new_second(ts.tv_sec);
    if (junk_unlogged == 0)
        return -1;
    return 1000 - ts.tv_nsec / 1000000L;
}

// True when one more empty or unrecognised line may be logged now.
static bool
junk_may_log()
{
    junk_new_second(time(nullptr));
    if (junk_logged < JUNK_LOG_PER_SECOND) {
        junk_logged++;
        return true;
    }
    junk_unlogged++;
    return false;
}

// Logs a line from an unknown application, its unprintable bytes shown as '.'.
static void
log_unknown_data(const client_slot &c, char *line, std::size_t text_len)
{
    if (!junk_may_log())
        return;
    myprintf("WARN: Unknown app, ignoring data from %s, datalen=%d\n", c.peer_address,
             static_cast<int>(text_len));
    for (std::size_t i = 0; i < text_len; i++) {
        unsigned char b = static_cast<unsigned char>(line[i]);
        if (b < 0x20 || b > 0x7E)
            line[i] = '.';
    }
    myprintf("Ignored data=%s\n", line);
}

// True when the record's msgtype is one that a forwarding application may send.
static bool
known_msgtype(const char *record)
{
    for (std::string_view t : {MSG_CRITICAL, MSG_WARNING, MSG_INFO, MSG_CLEAR, MSG_ACKNOWLEDGE,
                               MSG_CLEAR_HOST, MSG_LOG_ONLY})
        if (msgtype_is(record, t))
            return true;
    return false;
}

// Counts an empty or unrecognised line; the connection that sends too many is rejected.
static void
count_junk(client_slot &c)
{
    if (++c.junk_lines >= JUNK_LINE_LIMIT && !c.closing) {
        stats.refused_junk_limit++;
        client_reject(c.fd, "too many empty or unrecognised lines");
    }
}

int
process_client(int fd)
{
    if (!slot_open(fd))
        return -1;
    client_slot &c = client[fd];
    std::size_t len = conn_line_length(c);
    if (len == 0 && !c.eof) {
        conn_fill(c);
        len = conn_line_length(c);
    }

    static char line[LINE_BUFFER_SIZE];
    static std::size_t line_dirty = 0;   // bytes of line that may be non-zero
    if (len > 0) {
        conn_take_line(c, line, len, &line_dirty);
        std::size_t text_len = strnlen(line, len);
        handling_line = line;
        handling_fd = fd;
        if (text_len == 0) {
            if (junk_may_log())
                myprintf("0 byte data buffer recieved, ignored\n");
            count_junk(c);
        } else if (message_from_forwarding_application(line) && len < ALERT_RECORD_SIZE &&
                   !known_msgtype(line)) {
            // A piece of a record that asks for nothing: junk like any unrecognised line, so
            // that a flood of them is held by the same limits.
            if (junk_may_log())
                myprintf("WARN: Short record without a message type from %s, datalen=%d, "
                         "ignored\n", c.peer_address, static_cast<int>(len));
            count_junk(c);
        } else if (message_from_forwarding_application(line)) {
            c.sync_round = table_store_count_request();
            process_alert_request(fd, line);
            line_dirty = len > ALERT_RECORD_SIZE ? len : ALERT_RECORD_SIZE;
        } else if (message_from_console_application(line, nullptr) >= 1) {
            stats.console_requests++;
            c.sync_round = table_store_count_request();
            process_console_request(fd, line);
            line_dirty = LINE_BUFFER_SIZE;   // a reply may have been built in it
        } else if (memcmp(line, PRODUCT_KILLER.data(), PRODUCT_KILLER.size()) == 0) {
            stats.shutdown_requests++;
            myprintf("INFO: Shutdown request recieved !\n");
            shutdown_immed(0);
        } else {
            stats.refused_unknown_data++;
            log_unknown_data(c, line, text_len);
            count_junk(c);
        }
        handling_line = nullptr;
        handling_fd = -1;
        if (c.closing) {
            close_rejected(c);
            return -1;
        }
        // A line that starts with a zero byte leaves the close to the next call.
        if (text_len == 0)
            return 0;
    }
    // At end of input with nothing left to handle and every reply written; a last line that
    // came with the end of input is handled first, in this same call.
    if (c.eof && c.in_len == 0 && queued_bytes(c) == 0) {
        client_close(c);
        return -1;
    }
    return 0;
}

// Waits up to us microseconds in all for more requests, handling a line of each connection as
// it comes, until handled reaches target or the wait is used up; then takes, without waiting,
// what arrived while the last ones were handled. Only the time spent waiting counts: handling
// many requests does not leave their senders' next ones out.
static void
gather_more(const int *fds, int n, long us, int handled, int target)
{
    long left = us;
    bool last = false;
    // Bounded in rounds as well as in time: each round handles a line or waits.
    for (int rounds = 0; handled < target && rounds < 4 * MAX_CLIENTS; rounds++) {
        struct pollfd p[MAX_CLIENTS];
        int k = 0;
        for (int i = 0; i < n; i++) {
            int fd = fds[i];
            if (client[fd].fd != fd || client_paused(fd))
                continue;
            if (client_has_line(fd)) {
                process_client(fd);
                handled++;
            } else {
                p[k++] = {fd, POLLIN, 0};
            }
        }
        if (handled >= target || last)
            return;
        if (k == 0 && left > 0)
            continue;       // every connection had a line: another round
        if (left <= 0) {
            left = 0;
            last = true;
        }
        struct timespec ts = {0, left * 1000};
        long began = monotonic_us();
        int ready = ppoll(p, static_cast<nfds_t>(k), &ts, nullptr);
        left -= monotonic_us() - began;
        if (ready <= 0)
            return;
        for (int i = 0; i < k; i++) {
            int fd = p[i].fd;
            if (p[i].revents == 0 || client[fd].fd != fd || client_paused(fd))
                continue;
            client[fd].readable = true;
            process_client(fd);
            handled++;
        }
    }
}

// Further turns of the lines already read before a flush with --sync.
inline constexpr int SYNC_ROUNDS = 16;

long
client_serve_pass()
{
    // The list may change while it is served (closes, evictions): serve a copy.
    int fds[MAX_CLIENTS];
    int n = client_open_count;
    memcpy(fds, client_open_fds, static_cast<std::size_t>(n) * sizeof fds[0]);
    int handled = 0;
    for (int i = 0; i < n; i++) {
        int fd = fds[i];
        if (client[fd].fd != fd || client_paused(fd))
            continue;
        if (client[fd].readable || client_has_line(fd)) {
            process_client(fd);
            handled++;
        }
    }
    // With --sync, the lines already read take further turns, one of each connection a turn,
    // before the flush, so that a client with several records in flight has them in one.
    for (int round = 0; sync_to_disk && round < SYNC_ROUNDS; round++) {
        bool more = false;
        for (int i = 0; i < n; i++) {
            int fd = fds[i];
            if (client[fd].fd != fd || client_paused(fd) || !client_has_line(fd))
                continue;
            process_client(fd);
            handled++;
            more = true;
        }
        if (!more)
            break;
    }
    // With --sync, the requests of the other clients that are on their way join this flush.
    int target = 0;
    int expected = 0;
    long last_flush = table_store_flushes() - 1;
    for (int i = 0; sync_to_disk && i < n; i++)
        expected += client[fds[i]].fd == fds[i] && client[fds[i]].sync_round == last_flush;
    if (long gather = table_store_gather_us(handled, expected, &target); gather > 0)
        gather_more(fds, n, gather, handled, target);
    long junk_due = junk_report();
    // With --sync every answer goes out once its flush is done: one held back for the next
    // line of its connection would hold up its client for a whole flush more.
    long next = client_send_queued(sync_to_disk);
    table_store_answers_sent();
    return next < 0 || (junk_due >= 0 && junk_due < next) ? junk_due : next;
}

void
client_reject(int fd, const char *why)
{
    if (!slot_open(fd) || client[fd].closing)
        return;
    client_slot &c = client[fd];
    myprintf("WARN: Connection from %s closed, %s\n", c.peer_address, why);
    c.closing = true;
    if (fd != handling_fd)
        close_rejected(c);
}

// ---- Output queues ----

// Makes room for len more bytes at the end of the queue. false when it cannot.
static bool
queue_reserve(client_slot &c, std::size_t len)
{
    if (c.out == nullptr) {
        c.out = static_cast<client_queue *>(malloc(sizeof(client_queue)));
        if (c.out == nullptr)
            return false;
        c.out->off = c.out->len = c.out->cap = 0;
        c.out->data = nullptr;
        c.out->blocked = false;
        c.out->first = c.out->count = 0;
    }
    client_queue &q = *c.out;
    if (q.len + len > OUT_CAP_BYTES || q.count == MAX_NOTES)
        return false;
    if (q.first + q.count == MAX_NOTES) {
        memmove(q.note, q.note + q.first, static_cast<std::size_t>(q.count) * sizeof q.note[0]);
        q.first = 0;
    }
    if (q.off + q.len + len <= q.cap)
        return true;
    if (q.off > 0) {
        memmove(q.data, q.data + q.off, q.len);
        q.off = 0;
    }
    if (q.len + len <= q.cap)
        return true;
    std::size_t cap = q.cap > 0 ? q.cap : OUT_FIRST_BYTES;
    while (cap < q.len + len)
        cap *= 2;
    if (cap > OUT_CAP_BYTES)
        cap = OUT_CAP_BYTES;
    char *data = static_cast<char *>(realloc(q.data, cap));
    if (data == nullptr)
        return false;
    q.data = data;
    q.cap = cap;
    return true;
}

int
client_reply(int fd, const char *buf, std::size_t len)
{
    if (!slot_open(fd) || client[fd].closing)
        return -1;
    client_slot &c = client[fd];
    if (!queue_reserve(c, len)) {
        client_reject(fd, "a reply could not be written whole");
        return -1;
    }
    client_queue &q = *c.out;
    memcpy(q.data + q.off + q.len, buf, len);
    q.len += len;
    reply_note &n = q.note[q.first + q.count++];
    n.left = len;
    n.queued_ms = monotonic_ms();
    n.ack = len == ALERT_RECORD_SIZE;
    n.host_len = 0;
    if (handling_fd == fd && handling_line != nullptr) {
        std::string_view host = alert_field_text(handling_line, OFF_HOSTNAME);
        n.host_len = static_cast<unsigned char>(host.size() < LEN_HOSTNAME ? host.size()
                                                                           : LEN_HOSTNAME);
        memcpy(n.host, host.data(), n.host_len);
    }
    return 0;
}

// Drops n written bytes from the front of the queue.
static void
queue_consume(client_queue &q, std::size_t n)
{
    q.off += n;
    q.len -= n;
    while (n > 0 && q.count > 0) {
        reply_note &r = q.note[q.first];
        std::size_t take = n < r.left ? n : r.left;
        r.left -= take;
        n -= take;
        if (r.left == 0) {
            q.first++;
            q.count--;
        }
    }
    if (q.len == 0) {
        q.off = 0;
        q.first = q.count = 0;
    }
}

// Closes a connection whose replies cannot be written, reporting each reply not written.
static void
fail_output(client_slot &c)
{
    client_queue &q = *c.out;
    for (int i = 0; i < q.count; i++) {
        const reply_note &r = q.note[q.first + i];
        if (r.ack)
            myprintf("*ERR: Unable to ACK message from host %.*s\n", r.host_len, r.host);
        else
            myprintf("*ERR: Unable to write a response to a client console application\n");
    }
    myprintf("WARN: Connection from %s closed, a reply could not be written whole\n",
             c.peer_address);
    client_close(c);
}

// Writes as much of the queue as the socket takes now. Returns false when the connection has
// been closed (a write error, or the end of input reached with everything written).
static bool
conn_send(client_slot &c)
{
    client_queue &q = *c.out;
    // With --sync, nothing is answered before the change it answers is on disk.
    if (table_store_sync() != 0) {
        fail_output(c);
        return false;
    }
    msglog_flush();   // the log lines come before the replies that depend on them
    q.blocked = false;
    while (q.len > 0) {
        ssize_t n = send(c.fd, q.data + q.off, q.len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            queue_consume(q, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            q.blocked = true;
            return true;
        }
        fail_output(c);
        return false;
    }
    if (c.eof && c.in_len == 0) {
        client_close(c);
        return false;
    }
    return true;
}

bool
client_output_blocked(int fd)
{
    return slot_open(fd) && client[fd].out != nullptr && client[fd].out->len > 0 &&
           client[fd].out->blocked;
}

long
client_send_queued(bool all)
{
    long next = -1;
    long now = 0;
    int fds[MAX_CLIENTS];
    int n = client_open_count;
    memcpy(fds, client_open_fds, static_cast<std::size_t>(n) * sizeof fds[0]);
    for (int i = 0; i < n; i++) {
        client_slot &c = client[fds[i]];
        if (c.fd != fds[i] || queued_bytes(c) == 0)
            continue;
        if (all || c.out->len >= OUT_SEND_BYTES || conn_line_length(c) == 0)
            if (!conn_send(c))
                continue;
        if (c.out->len == 0)
            continue;
        if (now == 0)
            now = monotonic_ms();
        long left = c.out->note[c.out->first].queued_ms + client_reply_deadline_ms - now;
        if (left <= 0) {
            fail_output(c);
            continue;
        }
        if (next < 0 || left < next)
            next = left;
    }
    return next;
}

void
client_close_all()
{
    for (auto &c : client)
        if (c.fd >= 0)
            close_rejected(c);
}

void
test_end_pass()
{
    msglog_flush();
    client_send_queued(true);
    msglog_flush();     // what the writes reported
}

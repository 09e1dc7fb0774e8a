// tarrow_reference: the minimal server that bench/tarrowd.sh measures tarrowd against.
//
//   tarrow_reference PORT ADDRESS
//
// One thread and a poll() loop; each record read is answered at once: one time-stamped log
// line written per record, its ACK sent per record, a console listing formatted line by line
// and sent at once. The alert table is a plain array of 50. Not a product: just the straight
// way to write such a server, so that the benchmark has something honest to compare with.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fields.h"
#include "common/record.h"

static const int MAX_CONN = 64;
static const std::size_t BUF = 16384;

struct conn {
    int fd = -1;
    std::size_t len = 0;
    char buf[BUF];
};

static conn conns[MAX_CONN];
static char table[50][ALERT_RECORD_SIZE];
static int entries = 0;
static int log_fd = -1;
static volatile sig_atomic_t stop = 0;

static void
on_term(int)
{
    stop = 1;
}

// One log line, stamped as ctime does, written at once.
static void
log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static void
log_line(const char *fmt, ...)
{
    char line[600];
    time_t now = time(nullptr);
    char stamp[32];
    ctime_r(&now, stamp);
    stamp[24] = '\0';
    int n = snprintf(line, sizeof line, "%s ", stamp);
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(line + n, sizeof line - static_cast<std::size_t>(n), fmt, ap);
    va_end(ap);
    std::size_t len = static_cast<std::size_t>(n + m);
    if (len > sizeof line - 1)
        len = sizeof line - 1;
    if (write(log_fd, line, len) < 0)
        perror("log");
}

static void
send_all(int fd, const char *p, std::size_t len)
{
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
}

static int
text_len(const char *rec, std::size_t off)
{
    return static_cast<int>(alert_field_text(rec, off).size());
}

static void
handle_alert(int fd, char *rec)
{
    log_line("AINF: %.*s %.*s %c%c %.*s %c %.*s %.*s\n", text_len(rec, OFF_HOSTNAME),
             rec + OFF_HOSTNAME, text_len(rec, OFF_DATETIME), rec + OFF_DATETIME,
             rec[OFF_MSGTYPE], rec[OFF_MSGTYPE + 1], text_len(rec, OFF_KEY), rec + OFF_KEY,
             rec[OFF_PERSISTENT], text_len(rec, OFF_MSGTEXT), rec + OFF_MSGTEXT,
             text_len(rec, OFF_OPTIONAL_DATA), rec + OFF_OPTIONAL_DATA);
    if (rec[OFF_REPLY_WANTED] == 'Y') {
        char ack[ALERT_RECORD_SIZE] = {};
        memcpy(ack, rec, strnlen(rec, LEN_PRODUCTID));
        set_msgtype(ack, MSG_REPLY_DONE);
        ack[OFF_PERSISTENT] = 'N';
        memcpy(ack + OFF_MSGTEXT_LENGTH, "0000", 4);
        pad_header_fields(ack);
        ack[OFF_ALERT_NEWLINE] = '\n';
        send_all(fd, ack, sizeof ack);
    }
    int slot = -1;
    for (int i = 0; i < entries && slot < 0; i++)
        if (memcmp(table[i] + OFF_HOSTNAME, rec + OFF_HOSTNAME, 31) == 0)
            slot = i;
    if (msgtype_is(rec, MSG_CLEAR)) {
        if (slot >= 0) {
            memmove(table[slot], table[slot + 1],
                    static_cast<std::size_t>(entries - slot - 1) * ALERT_RECORD_SIZE);
            entries--;
        }
    } else if (slot >= 0) {
        memcpy(table[slot], rec, ALERT_RECORD_SIZE);
    } else if (entries < 50) {
        memcpy(table[entries++], rec, ALERT_RECORD_SIZE);
    }
}

// Sends the reply with its data text, then starts an empty one.
static void
send_reply(int fd, char *reply, std::string_view type)
{
    set_msgtype(reply, type);
    reply[OFF_REPLY_WANTED] = 'N';
    set_datestamp(reply + OFF_DATETIME);
    int len = static_cast<int>(strnlen(reply + OFF_DATA, MAX_DATA_TEXT));
    number_to_string_with_null(reply + OFF_DATA_LENGTH, len, LEN_DATA_LENGTH + 1);
    translate_nl_to_hat(reply + OFF_DATA, static_cast<int>(LEN_DATA));
    pad_header_fields(reply);
    reply[OFF_REPLY_NEWLINE] = '\n';
    send_all(fd, reply, CONSOLE_REPLY_SIZE);
    memset(reply + OFF_DATA, 0, LEN_DATA);
}

static void
handle_console(int fd, const char *req)
{
    if (!msgtype_is(req, CMD_LIST) || req[OFF_REPLY_WANTED] != 'Y')
        return;
    char reply[CONSOLE_REPLY_SIZE] = {};
    memcpy(reply, req, HEADER_SIZE);
    std::size_t used = 0;
    for (int i = 0; i < entries; i++) {
        const char *rec = table[i];
        char line[128];
        int n = snprintf(line, sizeof line, "%.*s %.*s %.*s %c%c %.*s\n",
                         text_len(rec, OFF_DATETIME), rec + OFF_DATETIME,
                         text_len(rec, OFF_HOSTNAME), rec + OFF_HOSTNAME, text_len(rec, OFF_KEY),
                         rec + OFF_KEY, rec[OFF_MSGTYPE], rec[OFF_MSGTYPE + 1],
                         text_len(rec, OFF_MSGTEXT), rec + OFF_MSGTEXT);
        std::size_t len = n < 127 ? static_cast<std::size_t>(n) : 127;
        if (used + len > MAX_DATA_TEXT) {
            send_reply(fd, reply, REPLY_LIST_MORE);
            used = 0;
        }
        memcpy(reply + OFF_DATA + used, line, len);
        used += len;
    }
    send_reply(fd, reply, REPLY_LIST_LAST);
}

int
main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: tarrow_reference port address\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, on_term);
    log_fd = open("reference.log", O_WRONLY | O_APPEND | O_CREAT, 0644);
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    sa.sin_addr.s_addr = inet_addr(argv[2]);
    socklen_t sl = sizeof sa;
    if (log_fd < 0 || lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        listen(lfd, 64) != 0 || getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &sl) != 0) {
        perror("tarrow_reference");
        return 2;
    }
    log_line("INFO: Server listening on port address '127.0.0.1:%u'\n", ntohs(sa.sin_port));

    struct pollfd p[MAX_CONN + 1];
    while (!stop) {
        int n = 0;
        p[n++] = {lfd, POLLIN, 0};
        for (auto &c : conns)
            if (c.fd >= 0)
                p[n++] = {c.fd, POLLIN, 0};
        if (poll(p, static_cast<nfds_t>(n), 1000) <= 0)
            continue;
        for (int i = 1; i < n; i++) {
            if (p[i].revents == 0)
                continue;
            conn *c = nullptr;
            for (auto &k : conns)
                if (k.fd == p[i].fd)
                    c = &k;
            ssize_t got = read(c->fd, c->buf + c->len, BUF - c->len);
            if (got <= 0) {
                close(c->fd);
                c->fd = -1;
                continue;
            }
            c->len += static_cast<std::size_t>(got);
            std::size_t start = 0;
            while (const char *nl = static_cast<const char *>(
                       memchr(c->buf + start, '\n', c->len - start))) {
                std::size_t end = static_cast<std::size_t>(nl - c->buf) + 1;
                char rec[ALERT_RECORD_SIZE + 1] = {};
                std::size_t len = end - start;
                memcpy(rec, c->buf + start, len < sizeof rec ? len : sizeof rec);
                if (memcmp(rec, "CONSOLE", 7) == 0)
                    handle_console(c->fd, rec);
                else
                    handle_alert(c->fd, rec);
                start = end;
            }
            memmove(c->buf, c->buf + start, c->len - start);
            c->len -= start;
            if (c->len == BUF)
                c->len = 0;   // no line this long in the benchmark
        }
        if (p[0].revents & POLLIN) {
            int fd = accept(lfd, nullptr, nullptr);
            if (fd >= 0) {
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                conn *slot = nullptr;
                for (auto &k : conns)
                    if (k.fd < 0 && slot == nullptr)
                        slot = &k;
                if (slot == nullptr) {
                    close(fd);
                } else {
                    slot->fd = fd;
                    slot->len = 0;
                }
            }
        }
    }
    return 0;
}

// Client connections: non-blocking line reading, classification by productid, replies.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/server.h"

client_slot client[MAX_CLIENTS];

void
client_table_reset()
{
    for (auto &c : client) {
        c.fd = -1;
        c.eof = false;
        c.torn = false;
        c.in_len = 0;
        snprintf(c.peer_address, sizeof c.peer_address, "SPARE");
    }
}

static bool
slot_open(int fd)
{
    return fd >= 0 && fd < MAX_CLIENTS && client[fd].fd == fd;
}

// The peer's address as "a.b.c.d:port" in buf, or nullptr when it cannot be had.
static char *
get_remote_addr(int fd, char *buf, std::size_t size)
{
    struct sockaddr_in sa {};
    socklen_t len = sizeof sa;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0 ||
        sa.sin_family != AF_INET)
        return nullptr;
    int n = snprintf(buf, size, "%s:%u", inet_ntoa(sa.sin_addr), ntohs(sa.sin_port));
    if (n < 0)
        return nullptr;
    return buf;
}

int
client_open(int fd)
{
    if (fd < 0 || fd >= MAX_CLIENTS)
        return -1;
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    // Replies are whole records written at once: send each now rather than letting a small
    // ACK wait for the peer's acknowledgement of the one before.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    client_slot &c = client[fd];
    c.fd = fd;
    c.eof = false;
    c.torn = false;
    c.rejected = false;
    c.in_len = 0;
    if (get_remote_addr(fd, c.peer_address, sizeof c.peer_address) == nullptr) {
        myprintf("INFO: Connection from a host that hides its ip address\n");
        snprintf(c.peer_address, sizeof c.peer_address, "Hidden\n");
    }
    return 0;
}

// Reads what the socket holds now, without waiting; eof at end of input or on error.
static void
conn_fill(client_slot &c)
{
    if (c.eof || c.in_len == sizeof c.in)
        return;
    ssize_t n = read(c.fd, c.in + c.in_len, sizeof c.in - c.in_len);
    if (n > 0)
        c.in_len += static_cast<std::size_t>(n);
    else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        c.eof = true;
}

// Bytes of the next line that can be handled now: a whole line, a full buffer, or the
// unterminated rest at end of input. 0 when none.
static std::size_t
conn_line_length(const client_slot &c)
{
    if (c.in_len == 0)
        return 0;
    const void *nl = memchr(c.in, '\n', c.in_len);
    if (nl != nullptr)
        return static_cast<std::size_t>(static_cast<const char *>(nl) - c.in) + 1;
    if (c.in_len == sizeof c.in || c.eof)
        return c.in_len;
    return 0;
}

// Moves the next line into the zeroed line buffer; returns its length, 0 when none.
static std::size_t
conn_take_line(client_slot &c, char *line)
{
    std::size_t len = conn_line_length(c);
    if (len == 0)
        return 0;
    memset(line, 0, LINE_BUFFER_SIZE);
    memcpy(line, c.in, len);
    memmove(c.in, c.in + len, c.in_len - len);
    c.in_len -= len;
    return len;
}

bool
client_has_line(int fd)
{
    if (!slot_open(fd))
        return false;
    const client_slot &c = client[fd];
    return c.eof || conn_line_length(c) > 0;
}

static void
client_close(client_slot &c)
{
    shutdown(c.fd, SHUT_RDWR);
    close(c.fd);
    c.fd = -1;
    c.eof = false;
    c.torn = false;
    c.rejected = false;
    c.in_len = 0;
}

void
client_close_all()
{
    for (auto &c : client)
        if (c.fd >= 0)
            client_close(c);
}

void
client_reject(int fd, const char *why)
{
    if (!slot_open(fd))
        return;
    myprintf("WARN: Connection from %s closed, %s\n", client[fd].peer_address, why);
    client[fd].rejected = true;
}

int
message_from_forwarding_application(const char *record)
{
    for (std::string_view id : {PRODUCT_JOBSCHED, PRODUCT_GENALERT, PRODUCT_RELOADER})
        if (memcmp(record, id.data(), id.size()) == 0)
            return 1;
    return 0;
}

// Logs a line from an unknown application, its unprintable bytes shown as '.'.
static void
log_unknown_data(const client_slot &c, char *line, std::size_t text_len)
{
    myprintf("WARN: Unknown app, ignoring data from %s, datalen=%d\n", c.peer_address,
             static_cast<int>(text_len));
    for (std::size_t i = 0; i < text_len; i++) {
        unsigned char b = static_cast<unsigned char>(line[i]);
        if (b < 0x20 || b > 0x7E)
            line[i] = '.';
    }
    myprintf("Ignored data=%s\n", line);
}

int
process_client(int fd)
{
    if (!slot_open(fd))
        return -1;
    client_slot &c = client[fd];
    conn_fill(c);

    static char line[LINE_BUFFER_SIZE];
    std::size_t len = conn_take_line(c, line);
    if (len > 0) {
        std::size_t text_len = strnlen(line, len);
        if (text_len == 0) {
            myprintf("0 byte data buffer recieved, ignored\n");
            return 0;
        }
        int line_length = 127;
        if (message_from_forwarding_application(line)) {
            process_alert_request(fd, line);
        } else if (message_from_console_application(line, &line_length) >= 1) {
            process_console_request(fd, line);
        } else if (memcmp(line, PRODUCT_KILLER.data(), PRODUCT_KILLER.size()) == 0) {
            myprintf("INFO: Shutdown request recieved !\n");
            shutdown_immed(0);
        } else {
            log_unknown_data(c, line, text_len);
        }
    }
    if (c.rejected) {
        client_close(c);
        return -1;
    }
    if (c.torn) {
        myprintf("WARN: Connection from %s closed, a reply could not be written whole\n",
                 c.peer_address);
        client_close(c);
        return -1;
    }
    // At end of input with nothing left to handle; a last line that came with the end of
    // input is handled first, in this same call.
    if (c.eof && c.in_len == 0) {
        client_close(c);
        return -1;
    }
    return 0;
}

static long
monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Writes all of buf within timeout_ms; 0 on success, -1 when short or late.
static int
write_all(int fd, const char *buf, std::size_t len, int timeout_ms)
{
    long deadline = monotonic_ms() + timeout_ms;
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd, buf + done, len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        long left = deadline - monotonic_ms();
        if (left <= 0)
            return -1;
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return -1;
    }
    return 0;
}

int
client_reply(int fd, const char *buf, std::size_t len)
{
    if (write_all(fd, buf, len, REPLY_DEADLINE_MS) == 0)
        return 0;
    if (slot_open(fd))
        client[fd].torn = true;
    return -1;
}

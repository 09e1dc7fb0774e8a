// sievel-act's connection to each board: addresses, connecting with back-off, writing the
// queued records and reading their ACKs.
#include "tools/act.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/fields.h"
#include "common/sender.h"
#include "common/text.h"

std::vector<board> boards;

// True when text is a port: digits only, 1 to 65535.
static bool
valid_port(const char *text)
{
    int port = 0;
    return text_port(text, port);
}

// True when text may name a board: a host name or an IPv6 address as it is, and text of
// digits and dots only when it is four dotted decimal parts of at most 255 each.
static bool
valid_address(const char *text)
{
    if (text[0] == '\0')
        return false;
    if (text[strspn(text, "0123456789.")] != '\0')
        return true;
    return text_dotted_ipv4(text);
}

bool
add_board(const std::string &address, const std::string &port)
{
    if (!valid_port(port.c_str())) {
        fprintf(stderr, "Illegal port number: %s\n", port.c_str());
        return false;
    }
    if (!valid_address(address.c_str())) {
        fprintf(stderr, "Improperly formatted network address, %s\n", address.c_str());
        return false;
    }
    board &b = boards.emplace_back();
    b.host = address;
    b.port = port;
    b.name = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
             port;
    return true;
}

// A --board argument: "host:port", "1.2.3.4:port" or "[ipv6]:port".
bool
add_board_option(const char *arg)
{
    std::string host, port;
    if (const char *why = sender_split_board(arg, host, port)) {
        fprintf(stderr, "sievel-act: --board %s: %s\n", arg, why);
        return false;
    }
    return add_board(host, port);
}

void
link_down(board &b, const char *why)
{
    if (b.fd >= 0)
        close(b.fd);
    b.fd = -1;
    b.state = link_state::waiting;
    b.inflight = 0;
    b.out_off = 0;
    b.in_len = 0;
    ++b.attempt;
    ++b.failed_in_row;
    // The next address of a name is tried at once; after the last one, the wait.
    if (b.addrs.size() > 1 && b.failed_in_row % b.addrs.size() != 0) {
        b.retry_at = monotonic_ms();
        return;
    }
    b.retry_at = monotonic_ms() + b.backoff;
    b.backoff = b.backoff * 2 > BACKOFF_MAX_MS ? BACKOFF_MAX_MS : b.backoff * 2;
    if (!b.down_reported) {
        fprintf(stderr, "sievel-act: board %s: %s; %zu records queued, retrying\n",
                b.name.c_str(), why, b.count);
        b.down_reported = true;
    }
}

// Looks the board's name up; false with why set when it has no address.
static bool
link_resolve(board &b, const char *&why)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(b.host.c_str(), b.port.c_str(), &hints, &list);
    b.resolved_at = monotonic_ms();
    if (rc != 0) {
        why = gai_strerror(rc);
        return false;
    }
    b.addrs.clear();
    b.addr_lens.clear();
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        struct sockaddr_storage ss;
        memset(&ss, 0, sizeof ss);
        memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
        b.addrs.push_back(ss);
        b.addr_lens.push_back(ai->ai_addrlen);
    }
    freeaddrinfo(list);
    b.failed_in_row = 0;
    return !b.addrs.empty();
}

void
link_start(board &b)
{
    const char *why = "no address";
    if ((b.addrs.empty() || (b.failed_in_row >= b.addrs.size() &&
                             monotonic_ms() - b.resolved_at >= 60000)) &&
        !link_resolve(b, why) && b.addrs.empty()) {
        link_down(b, why);
        return;
    }
    std::size_t i = b.attempt % b.addrs.size();
    const struct sockaddr *sa = reinterpret_cast<const struct sockaddr *>(&b.addrs[i]);
    int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int saved_errno = errno;
        link_down(b, strerror(saved_errno));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    b.fd = fd;
    if (connect(fd, sa, b.addr_lens[i]) == 0 || errno == EINPROGRESS) {
        b.state = link_state::connecting;
        b.connect_deadline = monotonic_ms() + 1000L * CONNECT_TIMEOUT_SECONDS;
    } else {
        int saved_errno = errno;
        link_down(b, strerror(saved_errno));
    }
}

void
link_connected(board &b)
{
    b.state = link_state::up;
    b.failed_in_row = 0;
    if (b.down_reported) {
        fprintf(stderr, "sievel-act: board %s: connected, sending %zu queued records\n",
                b.name.c_str(), b.count);
        b.down_reported = false;
    }
}

void
link_write(board &b)
{
    // Only records already in the spool leave: an ACK never comes for one that is not.
    const std::size_t sendable = board_sendable(b);
    for (int pass = 0; pass < 4 && b.state == link_state::up; ++pass) {
        std::size_t next = b.inflight;
        if (next >= sendable)
            return;
        std::size_t idx = (b.head + next) % b.ring_cap;
        // Contiguous records: up to the end of the ring or of what may be sent.
        std::size_t run = b.ring_cap - idx;
        if (run > sendable - next)
            run = sendable - next;
        const char *p = b.ring.get() + idx * REC + b.out_off;
        std::size_t len = run * REC - b.out_off;
        ssize_t n = send(b.fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            int saved_errno = errno;
            if (saved_errno != EAGAIN && saved_errno != EWOULDBLOCK && saved_errno != EINTR)
                link_down(b, strerror(saved_errno));
            return;
        }
        // The board owes an ACK from the moment something is in flight.
        if (b.inflight == 0 && b.out_off == 0 && n > 0)
            b.ack_deadline = monotonic_ms() + static_cast<long>(opt.ack_timeout * 1000);
        std::size_t done = b.out_off + static_cast<std::size_t>(n);
        b.inflight += done / REC;
        b.out_off = done % REC;
        if (static_cast<std::size_t>(n) < len)
            return;
    }
}

void
link_read(board &b)
{
    ssize_t n = read(b.fd, b.in + b.in_len, sizeof b.in - b.in_len);
    if (n == 0) {
        link_down(b, "connection closed by the board");
        return;
    }
    if (n < 0) {
        int saved_errno = errno;
        if (saved_errno != EAGAIN && saved_errno != EWOULDBLOCK && saved_errno != EINTR)
            link_down(b, strerror(saved_errno));
        return;
    }
    b.in_len += static_cast<std::size_t>(n);
    std::size_t off = 0;
    for (; b.in_len - off >= REC; off += REC) {
        const char *ack = b.in + off;
        if (ack[OFF_ALERT_NEWLINE] != '\n' || !msgtype_is(ack, MSG_REPLY_DONE) ||
            b.inflight == 0) {
            link_down(b, "unexpected reply from the board");
            return;
        }
        board_acked(b);
        --b.inflight;
        ++b.delivered;
        b.backoff = BACKOFF_FIRST_MS;
        // Each ACK gives the next record in flight the whole time again.
        b.ack_deadline = monotonic_ms() + static_cast<long>(opt.ack_timeout * 1000);
    }
    memmove(b.in, b.in + off, b.in_len - off);
    b.in_len -= off;
}


void
link_check_ack(board &b, long now)
{
    if (b.state != link_state::up || (b.inflight == 0 && b.out_off == 0) ||
        now < b.ack_deadline)
        return;
    char why[96];
    snprintf(why, sizeof why, "no acknowledgement for %g s", opt.ack_timeout);
    link_down(b, why);
}

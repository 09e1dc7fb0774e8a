// Network addresses: the listening socket, accepting connections and addresses as text.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/server.h"

// An address and port as text: "a.b.c.d:port" for IPv4, "[addr]:port" for IPv6; nullptr for
// other families or when it cannot be formatted.
static char *
address_text(const struct sockaddr_storage &sa, char *buf, std::size_t size)
{
    char host[INET6_ADDRSTRLEN];
    int n = -1;
    if (sa.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const struct sockaddr_in *>(&sa);
        if (inet_ntop(AF_INET, &in->sin_addr, host, sizeof host) != nullptr)
            n = snprintf(buf, size, "%s:%u", host, ntohs(in->sin_port));
    } else if (sa.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const struct sockaddr_in6 *>(&sa);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host) != nullptr)
            n = snprintf(buf, size, "[%s]:%u", host, ntohs(in6->sin6_port));
    }
    if (n < 0)
        return nullptr;
    return buf;
}

char *
net_peer_text(int fd, char *buf, std::size_t size)
{
    struct sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0)
        return nullptr;
    return address_text(sa, buf, size);
}

// Ends the start-up for a bind address that cannot be used, saying which and why on standard
// error and in the log.
[[noreturn]] static void
refuse_address(const char *address, const char *why)
{
    fprintf(stderr, "Improperly formatted network address, %s: %s\n", address, why);
    myprintf("*ERR: Improperly formatted network address, %s: %s\n", address, why);
    errno = EINVAL;     // what perror shows after "Translating IP address"
    die("Translating IP address", 2);
}

int
net_listen(int port, const char *bind_address)
{
    bool v6 = bind_address != nullptr && strchr(bind_address, ':') != nullptr;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    IPPROTO_TCP);
    if (fd < 0)
        die("socket()", 2);

    struct sockaddr_storage sa {};
    socklen_t sa_len = sizeof(struct sockaddr_in);
    auto *in = reinterpret_cast<struct sockaddr_in *>(&sa);
    in->sin_family = AF_INET;
    in->sin_port = htons(static_cast<uint16_t>(port));
    if (bind_address != nullptr) {
        myprintf("INFO: Server configured to bind to interface %s, port %d only\n", bind_address,
                 port);
        if (v6) {
            // An IPv6 literal such as ::1.
            auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&sa);
            in6->sin6_family = AF_INET6;
            in6->sin6_port = htons(static_cast<uint16_t>(port));
            if (inet_pton(AF_INET6, bind_address, &in6->sin6_addr) != 1)
                refuse_address(bind_address, "not an IPv6 address");
            sa_len = sizeof(struct sockaddr_in6);
        } else {
            // Four dotted decimal parts only: "9003" or "127.1", which inet_addr reads, are
            // far more often a port or a typing error than a meant address.
            if (inet_pton(AF_INET, bind_address, &in->sin_addr) != 1)
                refuse_address(bind_address, "an IPv4 address is four dotted decimal parts "
                                             "from 0 to 255, an IPv6 address has colons");
            if (in->sin_addr.s_addr == INADDR_NONE)
                refuse_address(bind_address, "the broadcast address is no interface");
        }
    } else {
        myprintf("INFO: Server configured to bind to all interfaces, port %d\n", port);
        in->sin_addr.s_addr = htonl(INADDR_ANY);
    }

    // A restart may bind at once while connections of the last run linger in TIME_WAIT.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Replies are whole records written at once: each leaves now rather than letting a small
    // ACK wait for the peer's acknowledgement of the one before. Accepted connections inherit
    // the option, which saves a system call per connection.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sa_len) != 0) {
        int saved_errno = errno;
        myprintf("*ERR: Unable to bind to configured interface(s)\n");
        myprintf("*ERR: Unable to bind to %s port %d, %s\n",
                 bind_address != nullptr ? bind_address : "every interface", port,
                 strerror(saved_errno));
        char text[127];
        snprintf(text, sizeof text, "bind() port %d", port);
        errno = saved_errno;
        die(text, 2);
    }
    if (listen(fd, 10) != 0)
        die("listen()", 2);

    struct sockaddr_storage local {};
    socklen_t local_len = sizeof local;
    char where[64];
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &local_len) != 0 ||
        address_text(local, where, sizeof where) == nullptr)
        die("get_sock_addr", 2);
    myprintf("INFO: Server listening on port address '%s'\n", where);
    return fd;
}

// accept() failures that say something about one connection, not about the server.
static bool
accept_error_is_transient(int e)
{
    switch (e) {
    case ECONNABORTED: case EINTR: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
    case ENOBUFS: case ENOMEM:
        return true;
    default:
        return false;
    }
}

// ---- Allowed peers (--allow) ----

// One allowed network: family, address bytes (IPv4 addresses as IPv4-mapped IPv6) and the
// number of leading bits that must match.
struct allowed_net {
    unsigned char addr[16];
    int bits;
};

static allowed_net allowed[MAX_ALLOWED];
static int allowed_count = 0;

static const unsigned char V4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int
allow_add(const char *arg)
{
    if (allowed_count == MAX_ALLOWED)
        return -1;
    char text[INET6_ADDRSTRLEN + 8];
    std::size_t len = strlen(arg);
    if (len == 0 || len >= sizeof text)
        return -1;
    memcpy(text, arg, len + 1);
    int bits = -1;
    if (char *slash = strchr(text, '/')) {
        // Digits only: strtol would also take a sign or leading white space ("/-0", "/ 8").
        *slash = '\0';
        const char *b = slash + 1;
        std::size_t digits = strspn(b, "0123456789");
        if (digits == 0 || digits > 3 || b[digits] != '\0' || atoi(b) > 128)
            return -1;
        bits = atoi(b);
    }
    allowed_net &n = allowed[allowed_count];
    struct in_addr v4;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        if (bits > 32)
            return -1;
        memcpy(n.addr, V4_MAPPED_PREFIX, 12);
        memcpy(n.addr + 12, &v4, 4);
        n.bits = 96 + (bits < 0 ? 32 : bits);
    } else if (inet_pton(AF_INET6, text, n.addr) == 1) {
        n.bits = bits < 0 ? 128 : bits;
    } else {
        return -1;
    }
    allowed_count++;
    return 0;
}

void
allow_reset()
{
    allowed_count = 0;
}

// The peer's address as 16 bytes, IPv4 as IPv4-mapped IPv6; false for other families.
static bool
peer_bytes(const struct sockaddr *sa, unsigned char *out)
{
    if (sa->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(sa);
        memcpy(out, V4_MAPPED_PREFIX, 12);
        memcpy(out + 12, &v4->sin_addr, 4);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
        memcpy(out, &v6->sin6_addr, 16);
        return true;
    }
    return false;
}

bool
allow_peer(const struct sockaddr *sa)
{
    if (allowed_count == 0)
        return true;
    unsigned char peer[16];
    if (!peer_bytes(sa, peer))
        return false;
    for (int i = 0; i < allowed_count; i++) {
        const allowed_net &n = allowed[i];
        int whole = n.bits / 8, rest = n.bits % 8;
        if (memcmp(peer, n.addr, static_cast<std::size_t>(whole)) != 0)
            continue;
        if (rest == 0)
            return true;
        unsigned mask = (0xffu << (8 - rest)) & 0xffu;
        if (((peer[whole] ^ n.addr[whole]) & mask) == 0)
            return true;
    }
    return false;
}

// Logs a refused peer, at most one line a second however many arrive.
static void
log_refused(const struct sockaddr_storage &sa)
{
    static time_t last_line = 0;
    static unsigned long unlogged = 0;
    time_t now = time(nullptr);
    if (now == last_line) {
        unlogged++;
        return;
    }
    char text[64];
    if (address_text(sa, text, sizeof text) == nullptr)
        snprintf(text, sizeof text, "a hidden address");
    if (unlogged > 0)
        myprintf("WARN: Connection from %s refused, not an allowed address (and %lu more since "
                 "the last such line)\n", text, unlogged);
    else
        myprintf("WARN: Connection from %s refused, not an allowed address\n", text);
    last_line = now;
    unlogged = 0;
}

int
net_accept(int listen_fd, char *peer, std::size_t size)
{
    struct sockaddr_storage sa {};
    socklen_t len = sizeof sa;
    int fd = accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&sa), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int saved_errno = errno;
        if (saved_errno == EAGAIN || saved_errno == EWOULDBLOCK)
            return -1;
        if (saved_errno == EMFILE || saved_errno == ENFILE) {
            // The connection stays queued and the next accept would fail the same way: the
            // caller pauses accepting, and the log gets one line a second at most.
            static time_t last_line = 0;
            static unsigned long unlogged = 0;
            time_t now = time(nullptr);
            if (now == last_line) {
                unlogged++;
            } else {
                myprintf("WARN: accept() failed, %s, not accepting for a moment (%lu more "
                         "since the last such line)\n", strerror(saved_errno), unlogged);
                last_line = now;
                unlogged = 0;
            }
            return -2;
        }
        if (accept_error_is_transient(saved_errno)) {
            myprintf("WARN: accept() failed, %s, continuing\n", strerror(saved_errno));
            return -1;
        }
        errno = saved_errno;
        die("accept()", 2);
    }
    if (!allow_peer(reinterpret_cast<const struct sockaddr *>(&sa))) {
        log_refused(sa);
        stats.refused_allow++;
        close(fd);
        return -1;
    }
    if (address_text(sa, peer, size) == nullptr && size > 0)
        peer[0] = '\0';
    return fd;
}

// tarrowd: start-up, the listening socket and the select loop of the alert collection server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/server.h"

static volatile sig_atomic_t stop_signal = 0;
static volatile sig_atomic_t hangup_signal = 0;

static void
on_stop_signal(int sig)
{
    stop_signal = sig;
}

static void
on_hangup_signal(int)
{
    hangup_signal = 1;
}

static void
usage(FILE *f)
{
    fprintf(f, "usage: tarrowd [--foreground] [--keep-table] [--allow address[/bits]]... "
               "[port [address]]\n");
}

// The listening socket's local address as "a.b.c.d:port" in buf, or nullptr.
static char *
get_sock_addr(int fd, char *buf, std::size_t size)
{
    struct sockaddr_in sa {};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0)
        return nullptr;
    snprintf(buf, size, "%s:%u", inet_ntoa(sa.sin_addr), ntohs(sa.sin_port));
    return buf;
}

// accept() failures that say something about one connection, not about the server.
static bool
accept_error_is_transient(int e)
{
    switch (e) {
    case ECONNABORTED: case EINTR: case EAGAIN: case EPROTO: case ENETDOWN:
    case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP:
    case ENETUNREACH: case ENOBUFS: case ENOMEM:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return true;
    default:
        return false;
    }
}

// Logs a refused peer, at most one line a second however many arrive.
static void
refuse_peer(const struct sockaddr *sa)
{
    static time_t last_line = 0;
    static unsigned long unlogged = 0;
    time_t now = time(nullptr);
    if (now == last_line) {
        unlogged++;
        return;
    }
    char text[INET6_ADDRSTRLEN] = "?";
    unsigned port = 0;
    if (sa->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(sa);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        port = ntohs(v4->sin_port);
    } else if (sa->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        port = ntohs(v6->sin6_port);
    }
    if (unlogged > 0)
        myprintf("WARN: Connection from %s:%u refused, not an allowed address (%lu more "
                 "refused since the last line)\n", text, port, unlogged);
    else
        myprintf("WARN: Connection from %s:%u refused, not an allowed address\n", text, port);
    last_line = now;
    unlogged = 0;
}

// Accepts one connection into the client table. Returns false when none was taken.
static bool
accept_client(int listen_fd)
{
    struct sockaddr_storage peer {};
    socklen_t peer_len = sizeof peer;
    int fd = accept(listen_fd, reinterpret_cast<struct sockaddr *>(&peer), &peer_len);
    if (fd < 0) {
        int saved_errno = errno;
        if (accept_error_is_transient(saved_errno)) {
            myprintf("WARN: accept() failed, %s, continuing\n", strerror(saved_errno));
            return false;
        }
        errno = saved_errno;
        die("accept()", 2);
    }
    if (!allow_peer(reinterpret_cast<struct sockaddr *>(&peer))) {
        refuse_peer(reinterpret_cast<struct sockaddr *>(&peer));
        close(fd);
        return false;
    }
    if (fd >= MAX_CLIENTS || fd >= FD_SETSIZE) {
        myprintf("WARN: Client connection refused, server alrady has maximum connections "
                 "allowed !\n");
        close(fd);
        return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    client_open(fd);
    return true;
}

int
main(int argc, char **argv)
{
    bool foreground = false;
    int argi = 1;
    for (; argi < argc; argi++) {
        if (strcmp(argv[argi], "--foreground") == 0) {
            foreground = true;
        } else if (strcmp(argv[argi], "--keep-table") == 0) {
            keep_table = true;
        } else if (strcmp(argv[argi], "--allow") == 0) {
            if (argi + 1 >= argc || allow_add(argv[argi + 1]) != 0) {
                fprintf(stderr, "tarrowd: --allow needs an IPv4 or IPv6 address, optionally "
                                "with /bits, got '%s'\n", argi + 1 < argc ? argv[argi + 1] : "");
                usage(stderr);
                return 2;
            }
            argi++;
        } else if (strcmp(argv[argi], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[argi], "--version") == 0) {
            printf("tarrowd %s\n", application_version);
            return 0;
        } else {
            break;
        }
    }
    int port = argi < argc ? atoi(argv[argi]) : 9003;
    const char *bind_address = argi + 1 < argc ? argv[argi + 1] : nullptr;

    // A reply to a peer that has gone is an ordinary failed write, not the end of the server.
    signal(SIGPIPE, SIG_IGN);
    // Likewise a file size limit: an append past it fails like a full disk, and is handled.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    struct sigaction hup {};
    hup.sa_handler = on_hangup_signal;
    sigemptyset(&hup.sa_mask);
    sigaction(SIGHUP, &hup, nullptr);

    SERVER_roll_log_files();

    int overflow_status = overflow_open();
    if (overflow_status != 0) {
        if (overflow_status == -1)
            myprintf("*ERR: Unable to open alert overflow buffer file %s, aborting!\n",
                     event_logfile_name);
        die("IO error on alert overflow file", 1);
    }

    myprintf("----: tarrow alert collection server\n");
    myprintf("----: Version %s\n", application_version);
    myprintf("----: Built with g++ %s for Linux\n", __VERSION__);
    myprintf("----: Server initialisation beginning\n");

    alert_table_reset();
    client_table_reset();
    if (keep_table)
        table_store_load();

    int listen_fd = socket(AF_INET, SOCK_STREAM, 6);
    if (listen_fd < 0)
        die("socket()", 2);
    int one = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    fcntl(listen_fd, F_SETFD, FD_CLOEXEC);

    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind_address != nullptr) {
        myprintf("INFO: Server configured to bind to interface %s, port %d only\n", bind_address,
                 port);
        addr.sin_addr.s_addr = inet_addr(bind_address);
    } else {
        myprintf("INFO: Server configured to bind to all interfaces, port %d\n", port);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    }
    if (addr.sin_addr.s_addr == INADDR_NONE)
        die("Translating IP address", 2);

    if (bind(listen_fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        int saved_errno = errno;
        myprintf("*ERR: Unable to bind to configured interface(s)\n");
        char text[127];
        snprintf(text, sizeof text, "bind() port %d", port);
        errno = saved_errno;
        die(text, 2);
    }
    if (listen(listen_fd, 10) != 0)
        die("listen()", 2);
    // Non-blocking, so a peer that vanishes between select and accept cannot hold the loop.
    fcntl(listen_fd, F_SETFL, fcntl(listen_fd, F_GETFL) | O_NONBLOCK);

    char where[64];
    if (get_sock_addr(listen_fd, where, sizeof where) == nullptr)
        die("get_sock_addr", 2);
    myprintf("INFO: Server listening on port address '%s'\n", where);

    // Records an earlier run left in the overflow file come back into the table now.
    if (alerts_num_buffered() > 0) {
        alert_retrieve_from_overflow();
        alert_check_overflow_file();
    }

    myprintf("INFO: TCP-IP Services now available\n");
    myprintf("INFO: Server has initialised, going daemon now\n");

    if (!foreground && daemon(1, 1) != 0) {
        perror("Request to run as a daemon");
        myprintf("*ERR: Unable to run as a deamon task, running as a normal task !\n");
    }
    notify_service_manager("READY=1");

    for (;;) {
        if (stop_signal != 0) {
            myprintf("INFO: Shutdown requested by signal %d\n", static_cast<int>(stop_signal));
            shutdown_immed(0);
        }
        if (hangup_signal != 0) {
            hangup_signal = 0;
            msglog_reopen();
            myprintf("INFO: Signal %d (SIGHUP), log file reopened\n", SIGHUP);
        }
        table_store_tick();
        fd_set read_set;
        FD_ZERO(&read_set);
        FD_SET(listen_fd, &read_set);
        int bound = listen_fd + 1;
        bool line_waiting = false;
        for (int fd = 0; fd < MAX_CLIENTS; fd++) {
            if (client[fd].fd != fd)
                continue;
            FD_SET(fd, &read_set);
            if (fd + 1 > bound)
                bound = fd + 1;
            if (client_has_line(fd))
                line_waiting = true;
        }
        // A connection with a line already read in is ready now: do not wait for more.
        struct timeval timeout = {1, 30000};
        long save_due = table_store_due_ms();
        if (save_due >= 0 && save_due < 1030)
            timeout = {save_due / 1000, save_due % 1000 * 1000};
        if (line_waiting)
            timeout = {0, 0};
        int ready = select(bound, &read_set, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            die("select()", 2);
        }
        if (FD_ISSET(listen_fd, &read_set) && !accept_client(listen_fd))
            continue;
        for (int fd = 0; fd < bound && fd < MAX_CLIENTS; fd++) {
            if (fd == listen_fd || client[fd].fd != fd)
                continue;
            if (FD_ISSET(fd, &read_set) || client_has_line(fd))
                process_client(fd);
        }
    }
}

// tarrow_pipeline_probe: feeds log lines at a fixed rate into a pipeline that ends in
// sievel-act, relays sievel-act's connection to a real tarrowd, and times every ACK that comes
// back against the moment its log line was written. A benchmark tool, not a test.
//
// usage: tarrow_pipeline_probe RATE COUNT BOARD_PORT COMMAND
//   COMMAND runs under /bin/sh -c with the log lines on its standard input; @PORT@ in it
//   becomes the port of the relay, which sievel-act is to send to. Every line matches
//   examples/ssh-logins.params, so ACK k answers line k.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static constexpr std::size_t REC = 234;

static double
now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static int
listen_local(int &port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return -1;
    port = ntohs(sa.sin_port);
    return fd;
}

static int
connect_local(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Moves what src holds now to dst; returns the bytes moved, -1 when src ended.
static ssize_t
relay(int src, int dst)
{
    char buf[65536];
    ssize_t n = read(src, buf, sizeof buf);
    if (n <= 0)
        return -1;
    for (ssize_t off = 0; off < n;) {
        ssize_t w = write(dst, buf + off, static_cast<std::size_t>(n - off));
        if (w <= 0)
            return -1;
        off += w;
    }
    return n;
}

int
main(int argc, char **argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: tarrow_pipeline_probe RATE COUNT BOARD_PORT COMMAND\n");
        return 2;
    }
    double rate = atof(argv[1]);
    std::size_t count = static_cast<std::size_t>(atol(argv[2]));
    int board_port = atoi(argv[3]);
    signal(SIGPIPE, SIG_IGN);

    int relay_port = 0;
    int lfd = listen_local(relay_port);
    if (lfd < 0) {
        perror("listen");
        return 1;
    }
    std::string cmd = argv[4];
    for (std::size_t p; (p = cmd.find("@PORT@")) != std::string::npos;)
        cmd.replace(p, 6, std::to_string(relay_port));

    int in[2];
    if (pipe(in) != 0)
        return 1;
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        close(lfd);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    int feed = in[1];

    std::vector<double> written(count, 0), latency;
    latency.reserve(count);
    std::size_t next_line = 0, acks = 0, ack_bytes = 0;
    int down = -1, up = -1;
    const double start = now_s(), give_up = start + 60 + (rate > 0 ? static_cast<double>(count) / rate : 0);
    char line[256];
    while (acks < count && now_s() < give_up) {
        // Lines that are due: each written alone, so that its time is its own.
        double now = now_s();
        while (feed >= 0 && next_line < count &&
               (rate <= 0 || start + static_cast<double>(next_line) / rate <= now)) {
            int len = snprintf(line, sizeof line,
                               "2026-12-07T10:00:01+0000 web%zu sshd[812]: Failed password "
                               "for root from 10.0.%zu.%zu port %zu ssh2\n",
                               next_line % 3, next_line / 256 % 256, next_line % 256,
                               next_line);
            if (write(feed, line, static_cast<std::size_t>(len)) != len) {
                perror("write to the pipeline");
                return 1;
            }
            written[next_line++] = now_s();
            if (rate <= 0 && next_line % 256 == 0)
                break;      // look at the sockets now and then
        }
        if (next_line == count && feed >= 0) {
            close(feed);
            feed = -1;
        }

        struct pollfd p[3];
        nfds_t n = 0;
        p[n++] = {lfd, POLLIN, 0};
        if (down >= 0) {
            p[n++] = {down, POLLIN, 0};
            p[n++] = {up, POLLIN, 0};
        }
        int timeout = 1;
        if (rate <= 0 && next_line < count)
            timeout = 0;
        if (poll(p, n, timeout) <= 0)
            continue;
        if (p[0].revents & POLLIN) {
            int c = accept(lfd, nullptr, nullptr);
            if (c >= 0) {
                if (down >= 0) {
                    close(down);
                    close(up);
                }
                down = c;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                up = connect_local(board_port);
                if (up < 0) {
                    fprintf(stderr, "no board on port %d\n", board_port);
                    return 1;
                }
                ack_bytes = 0;
            }
        }
        if (n == 3 && (p[1].revents & (POLLIN | POLLHUP)) && relay(down, up) < 0) {
            close(down);
            close(up);
            down = up = -1;
            continue;
        }
        if (n == 3 && (p[2].revents & (POLLIN | POLLHUP))) {
            ssize_t m = relay(up, down);
            if (m < 0) {
                close(down);
                close(up);
                down = up = -1;
                continue;
            }
            ack_bytes += static_cast<std::size_t>(m);
            double t = now_s();
            for (; ack_bytes >= REC && acks < count; ack_bytes -= REC)
                latency.push_back(t - written[acks++]);
        }
    }
    double elapsed = now_s() - start;
    if (feed >= 0)
        close(feed);
    if (down >= 0) {
        close(down);
        close(up);
    }
    int status;
    waitpid(child, &status, 0);
    if (acks < count) {
        printf("only %zu of %zu lines ACKed\n", acks, count);
        return 1;
    }
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double q) {
        return 1000 * latency[std::min(latency.size() - 1,
                                       static_cast<std::size_t>(q * static_cast<double>(
                                                                        latency.size())))];
    };
    printf("%zu lines in %.3f s (%.0f lines/s): ACK after its log line p50 %.2f ms, "
           "p99 %.2f ms, max %.2f ms\n",
           count, elapsed, static_cast<double>(count) / elapsed, pct(0.5), pct(0.99),
           1000 * latency.back());
    return 0;
}

// Tests of the sender set-up and connection helpers.
#include "common/sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "common/fields.h"
#include "common/record.h"
#include "tests/records.h"

namespace {

struct child_result {
    int status = -1;
    std::string out;
};

// Runs fn in a child process with its standard output on a pipe; returns the child's exit
// status and what it printed. Children may change process-wide state (host name, limits).
child_result
run_in_child(const std::function<int()> &fn)
{
    child_result r;
    int p[2];
    if (pipe(p) != 0)
        return r;
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        dup2(p[1], 1);
        close(p[1]);
        int st = fn();
        fflush(stdout);
        _exit(st);
    }
    close(p[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0)
        r.out.append(buf, static_cast<std::size_t>(n));
    close(p[0]);
    int st;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// A TCP socket bound to 127.0.0.1 on a free port, listening or not; port set on success.
int
bound_socket(bool do_listen, int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        (do_listen && listen(fd, 4) != 0) ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return -1;
    *port = ntohs(sa.sin_port);
    return fd;
}

} // namespace

TEST(SenderTest, InitAlertRequestBufferWritesEveryByte)
{
    struct {
        const char *productid, *msgtype;
    } cases[] = {{"GENALERT", "AC"}, {"KILLER", "LO"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.productid);
        char rec[ALERT_RECORD_SIZE];
        memset(rec, 0x5a, sizeof rec);    // nothing of this may survive
        std::string before = stamp_now();
        init_alert_request_buffer(rec, c.productid, c.msgtype);
        std::string after = stamp_now();

        std::string stamp(rec + 66, 14);
        EXPECT_TRUE(stamp == before || stamp == after) << stamp;

        std::string want = padded(c.productid, 14) + padded("1.0.2", 10) +
                           padded(host_field_text(), 15) + padded("N/A", 14) + padded("0", 5) +
                           c.msgtype + "N" + stamp + '\0' + std::string(15, '\0') + "Y" +
                           std::string("0000\0", 5) + std::string(131, '\0') + "\n";
        ASSERT_EQ(want.size(), ALERT_RECORD_SIZE);
        EXPECT_EQ(std::string(rec, sizeof rec), want);
    }
}

// The host name field holds the first 15 bytes of the name, padded; run in a private UTS
// namespace so the name can be set.
TEST(SenderTest, HostNameIsCutToFifteen)
{
    struct {
        std::string name, field;
    } cases[] = {
        {"", std::string(15, ' ')},
        {"h", "h" + std::string(14, ' ')},
        {"fourteen-chars", "fourteen-chars "},
        {"fifteen-chars-x", "fifteen-chars-x"},
        {"sixteen-chars-xy", "sixteen-chars-x"},
        {"a-very-long-host-name-of-forty-bytes-xyz", "a-very-long-hos"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        child_result r = run_in_child([&c] {
            if (unshare(CLONE_NEWUTS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWUTS) != 0)
                return 77;
            if (sethostname(c.name.data(), c.name.size()) != 0)
                return 77;
            char rec[ALERT_RECORD_SIZE];
            init_alert_request_buffer(rec, "GENALERT", "AC");
            fwrite(rec + OFF_HOSTNAME, 1, LEN_HOSTNAME + 2, stdout);
            return 0;
        });
        if (r.status == 77)
            GTEST_SKIP() << "cannot set a host name here";
        ASSERT_EQ(r.status, 0);
        // The field, its zero byte at 41, and the key's first byte untouched by the name.
        EXPECT_EQ(r.out, c.field + '\0' + 'N');
    }
}

TEST(SenderTest, UnreadableAddressIsRefusedBeforeAnySocket)
{
    // 255.255.255.255 is never a TCP peer; digits and dots that are not four dotted decimal
    // parts are refused without a name look-up, also the short forms inet_addr would read
    // (a lone number is more often a port given in the wrong place).
    const char *cases[] = {"255.255.255.255", "1.2.3.4.5", "", "300.1.1.1", "1..2",
                           "2130706433", "127.1", "127.0.0", "127.0.0.01"};
    for (const char *addr : cases) {
        SCOPED_TRACE(addr);
        child_result r = run_in_child([addr] {
            int s = -7;
            int fd_before = dup(0);
            int ok = connect_to_server(9003, addr, &s);
            int fd_after = dup(0);
            // 0: refused, untouched, and no descriptor used up in between.
            return ok == 0 && s == -7 && fd_after == fd_before + 1 ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string("Improperly formatted network address, ") + addr + "\n");
    }
}

TEST(SenderTest, PortTextMustBeDigitsFromOneTo65535)
{
    struct {
        const char *text;
        int port;
    } cases[] = {
        {"1", 1}, {"9003", 9003}, {"65535", 65535}, {"00080", 80},
        {"0", 0}, {"65536", 0}, {"99999", 0}, {"123456", 0}, {"", 0}, {"9003x", 0},
        {"x9003", 0}, {" 9003", 0}, {"+9003", 0}, {"-1", 0}, {"127.0.0.1", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sender_port(c.text), c.port) << "'" << c.text << "'";
}

TEST(SenderTest, RefusedConnectionShowsThePortAsGiven)
{
    int port = 0;
    int fd = bound_socket(false, &port);    // bound, not listening: connects are refused
    ASSERT_GE(fd, 0);
    for (int given : {port, port + 65536, port + 3 * 65536}) {
        SCOPED_TRACE(given);
        child_result r = run_in_child([given] {
            int s = -1;
            int ok = connect_to_server(given, "127.0.0.1", &s);
            return ok == 0 && s >= 0 ? 0 : 1;    // the socket was made and stays open
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Connection refused: connect(2), host 127.0.0.1 nothing listening on "
                         "port " + std::to_string(given) + "\n");
    }
    close(fd);
}

TEST(SenderTest, SocketCreationFailureIsReported)
{
    child_result r = run_in_child([] {
        // Descriptors 0 to 2 are open, so no new one fits under a limit of 3.
        struct rlimit lim = {3, 3};
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
            return 2;
        int s = 0;
        int ok = connect_to_server(9003, "127.0.0.1", &s);
        return ok == 0 && s == -1 ? 0 : 1;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(strerror(EMFILE)) + ": Unable to create TCPIP socket\n");
}

TEST(SenderTest, ConnectsToLowSixteenBitsAndDisconnectPrintsOneNewline)
{
    int port = 0;
    int lfd = bound_socket(true, &port);
    ASSERT_GE(lfd, 0);
    for (int given : {port, port + 65536, port + 2 * 65536}) {
        SCOPED_TRACE(given);
        child_result r = run_in_child([given] {
            int s = -1;
            if (connect_to_server(given, "127.0.0.1", &s) != 1 || s < 0)
                return 1;
            disconnect_from_server(s);
            // The descriptor is closed: it can no longer be written.
            return write(s, "x", 1) == -1 && errno == EBADF ? 0 : 1;
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "\n");
        if (r.status != 0)
            continue;    // nothing to accept; do not block on it
        int c = accept(lfd, nullptr, nullptr);    // the connection reached our port
        ASSERT_GE(c, 0);
        char b;
        EXPECT_EQ(read(c, &b, 1), 0);    // closed without a byte sent
        close(c);
    }
    close(lfd);
}

// Black-box tests of tarrowd's process: start-up, failures, the loop and the two exits.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/record.h"
#include "common/text.h"
#include "tests/harness.h"
#include "tests/records.h"

namespace {

// Position of each text in the log, in order; fails when one is missing or out of order.
void
expect_in_order(const std::string &log, const std::vector<std::string> &texts)
{
    std::size_t at = 0;
    for (const auto &t : texts) {
        std::size_t found = log.find(t, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << t << "\n" << log;
        at = found + t.size();
    }
}

TEST(ServerProcess, QuieskStopsItAndTheLogTellsTheWholeLife)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    // Only the whole word stops it: a line that shares its first five letters is junk.
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, "KILLEX\n"));
    EXPECT_TRUE(wait_for_log(d.path, "Ignored data=KILLEX")) << read_log(d.path);
    close(fd);
    run_result q = run_program({quiesk_path(), std::to_string(s.port), "127.0.0.1"});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.out, "\n");
    EXPECT_EQ(wait_exit(s.pid), 0);
    s.pid = -1;
    std::string log = read_log(d.path);
    expect_in_order(log, {
        "----: tarrow alert collection server\n",
        "----: Version 1.0.2\n",
        "----: Built with",
        "----: Server initialisation beginning\n",
        "INFO: Server configured to bind to interface 127.0.0.1, port 0 only\n",
        "INFO: Server listening on port address '127.0.0.1:" + std::to_string(s.port) + "'\n",
        "INFO: TCP-IP Services now available\n",
        "INFO: Server has initialised, going daemon now\n",
        "INFO: Shutdown request recieved !\n",
        "----: Shutdown in progress\n",
        "----: ALL OK, Server shutdown has completed.\n",
    });
    // Every line carries the ctime stamp.
    EXPECT_EQ(log.substr(24, 6), " ----:") << log;
}

TEST(ServerProcess, StartUpFailuresEndWithTheirStatus)
{
    temp_dir busy_dir;
    server_proc busy = start_server(busy_dir.path);
    ASSERT_GT(busy.port, 0);

    struct {
        const char *name;
        std::vector<std::string> args;
        bool overflow_is_dir;
        int status;
        std::vector<std::string> log;
    } cases[] = {
        {"port in use", {std::to_string(busy.port), "127.0.0.1"}, false, 2,
         {"*ERR: Unable to bind to configured interface(s)\n",
          "*ERR: Unable to bind to 127.0.0.1 port " + std::to_string(busy.port) + ", " +
              strerror(EADDRINUSE) + "\n",
          "*ERR: ***FATAL*** A fatal server error has occurred. Cannot continue.\n",
          "*ERR: bind() port " + std::to_string(busy.port) + "\n", "INFO: Server has aborted.\n",
          "----: ALL OK, Server shutdown has completed.\n"}},
        // An address it cannot use is named with the reason, in the log and on stderr.
        {"not an address", {"0", "localhost"}, false, 2,
         {"*ERR: Improperly formatted network address, localhost: an IPv4 address is four "
          "dotted decimal parts", "*ERR: Translating IP address\n"}},
        {"short IPv4 form", {"0", "127.1"}, false, 2,
         {"*ERR: Improperly formatted network address, 127.1: ",
          "*ERR: Translating IP address\n"}},
        {"part too large", {"0", "999.1.1.1"}, false, 2,
         {"*ERR: Improperly formatted network address, 999.1.1.1: "}},
        {"all ones", {"0", "255.255.255.255"}, false, 2,
         {"*ERR: Improperly formatted network address, 255.255.255.255: the broadcast address "
          "is no interface\n", "*ERR: Translating IP address\n"}},
        {"overflow file cannot be opened", {"0", "127.0.0.1"}, true, 1,
         {"*ERR: Unable to open alert overflow buffer file evt_buffer.dat, aborting!\n",
          "*ERR: IO error on alert overflow file\n"}},
    };
    for (const auto &c : cases) {
        temp_dir d;
        if (c.overflow_is_dir) {
            ASSERT_EQ(mkdir((d.path + "/evt_buffer.dat").c_str(), 0755), 0);
        }
        std::vector<std::string> argv = {tarrowd_path(), "--foreground"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, d.path);
        EXPECT_EQ(r.status, c.status) << c.name;
        std::string log = read_log(d.path);
        expect_in_order(log, c.log);
        if (c.overflow_is_dir) {
            EXPECT_EQ(log.find("----: tarrow"), std::string::npos) << "banner came first";
        }
        EXPECT_FALSE(r.err.empty()) << c.name << ": no perror line";
        if (c.log[0].find("Improperly") != std::string::npos) {
            EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find(c.log[0].substr(6)), 0u) << r.err;
        }
    }
    stop_server(busy);
}

TEST(ServerProcess, ArgumentsThatCannotBeRightStartNothing)
{
    temp_dir d;
    struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"65536", "127.0.0.1"}, "Illegal port number: 65536\n"},
        {{"9003x", "127.0.0.1"}, "Illegal port number: 9003x\n"},
        {{"", "127.0.0.1"}, "Illegal port number: \n"},
        {{"-1", "127.0.0.1"}, "Illegal port number: -1\n"},
        {{"--bogus", "19011", "127.0.0.1"}, "tarrowd: unknown option --bogus\n"},
        {{"--log-keep-days", "0", "0", "127.0.0.1"}, "tarrowd: --log-keep-days needs"},
        {{"--log-keep-days", "7d", "0", "127.0.0.1"}, "tarrowd: --log-keep-days needs"},
        {{"--table-size", "0", "0", "127.0.0.1"}, "tarrowd: --table-size needs"},
        {{"--table-size", "100001", "0", "127.0.0.1"}, "tarrowd: --table-size needs"},
        {{"--table-size", "5x", "0", "127.0.0.1"}, "tarrowd: --table-size needs"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {tarrowd_path(), "--foreground"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, d.path);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_NE(r.err.find("usage: tarrowd"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_log(d.path), "");
    EXPECT_EQ(read_file(d.path + "/evt_buffer.dat"), "");

    // The table sizes at the bounds are right: each starts a server of that size.
    for (const char *n : {"1", "100000"}) {
        temp_dir b;
        server_proc s = start_server(b.path, {"--table-size", n});
        server_guard g{s};
        EXPECT_GT(s.port, 0) << n;
        EXPECT_NE(read_log(b.path).find("INFO: The board holds up to " + std::string(n) +
                                        " alerts\n"), std::string::npos) << n;
    }
}

// A second server in the same directory would share its files: it is refused, and the first
// goes on with its board untouched.
TEST(ServerProcess, OneServerPerDirectory)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k", "AC", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE), expected_ack("JOBSCHED"));

    char real[PATH_MAX];
    ASSERT_NE(realpath(d.path.c_str(), real), nullptr);
    const std::string old_log = d.path + "/log_19991231.log";
    ASSERT_EQ(close(open(old_log.c_str(), O_WRONLY | O_CREAT, 0644)), 0);
    for (const std::string &port : {std::string("0"), std::to_string(s.port)}) {
        run_result r = run_program({tarrowd_path(), "--foreground", "--log-keep-days", "1", port,
                                    "127.0.0.1"}, d.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("*ERR: Another tarrowd is running in ") + real + " (pid " +
                             std::to_string(s.pid) + ")\n");
    }
    std::string log = read_log(d.path);
    EXPECT_NE(log.find("*ERR: Another tarrowd is running in "), std::string::npos);
    EXPECT_EQ(log.find("Shutdown in progress"), std::string::npos) << "the second saved nothing";
    EXPECT_EQ(access(old_log.c_str(), F_OK), 0) << "the second removed a log";
    // The first still serves.
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k2", "LO", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE), expected_ack("JOBSCHED"));
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
    // Once it has stopped, the directory is free again; old logs go as the server starts.
    server_proc next = start_server(d.path, {"--log-keep-days", "1", "0", "127.0.0.1"});
    server_guard g2{next};
    EXPECT_GT(next.port, 0);
    EXPECT_NE(access(old_log.c_str(), F_OK), 0);
    EXPECT_NE(read_log(d.path).find("INFO: Removed log file log_19991231.log, older than 1 days\n"),
              std::string::npos);
}

TEST(ServerProcess, WithoutALogFileMessagesGoToStandardOutput)
{
    temp_dir busy_dir;
    server_proc busy = start_server(busy_dir.path);
    ASSERT_GT(busy.port, 0);
    temp_dir d;
    char name[32];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(name, sizeof name, "log_%Y%m%d.log", &tm_now);
    ASSERT_EQ(mkdir((d.path + "/" + name).c_str(), 0755), 0);   // cannot be opened as a file
    run_result r = run_program(
        {tarrowd_path(), "--foreground", std::to_string(busy.port), "127.0.0.1"}, d.path);
    EXPECT_EQ(r.status, 2);
    std::string expect = std::string("*ERR: Unable to open log file ") + name +
                         ", continuing using STDOUT for messages\n"
                         "----: tarrow alert collection server\n";
    EXPECT_EQ(r.out.substr(0, expect.size()), expect);
    expect_in_order(r.out, {"*ERR: Unable to bind to configured interface(s)\n",
                            "INFO: Server has aborted.\n"});
    EXPECT_EQ(r.out.find("----: Shutdown in progress"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ALL OK"), std::string::npos) << r.out;
    stop_server(busy);
}

TEST(ServerProcess, HelpAndVersionStartNothing)
{
    temp_dir d;
    run_result h = run_program({tarrowd_path(), "--help"}, d.path);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.out.substr(0, h.out.find('\n') + 1),
              "usage: tarrowd [--foreground] [--keep-table] [--sync] "
              "[--allow address[/bits]]... "
              "[--log-keep-days days] [--table-size n] [port [address]]\n");
    // Every option is listed, each with its default.
    for (std::string o : {"--foreground ", "--keep-table ", "--sync ", "--allow ", "--log-keep-days ",
                          "--table-size ", "--help, --version", "port ", "address "}) {
        std::size_t at = h.out.find(std::string("\n  ") + o);
        ASSERT_NE(at, std::string::npos) << o << "\n" << h.out;
        std::size_t next = at + 1;     // the next entry: a line not indented further
        do
            next = h.out.find("\n  ", next + 1);
        while (next != std::string::npos && h.out[next + 3] == ' ');
        if (o != "--help, --version") {
            EXPECT_NE(h.out.substr(at, next - at).find("default"), std::string::npos) << o;
        }
    }
    run_result v = run_program({tarrowd_path(), "--version"}, d.path);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "tarrowd 1.0.2\n");
    EXPECT_EQ(read_log(d.path), "");
    EXPECT_EQ(read_file(d.path + "/evt_buffer.dat"), "");
}

TEST(ServerProcess, DetachesWithoutForeground)
{
    temp_dir d;
    // Through a shell that sends its output away: the detached server keeps stdout open.
    run_result r = run_program({"/bin/sh", "-c", std::string("exec '") + tarrowd_path() +
                                                     "' 0 127.0.0.1 >/dev/null 2>&1"},
                               d.path);
    EXPECT_EQ(r.status, 0);     // the starting process ends, the detached one serves
    ASSERT_TRUE(wait_for_log(d.path, "going daemon now"));
    std::string log = read_log(d.path);
    std::size_t at = log.find("'127.0.0.1:");
    ASSERT_NE(at, std::string::npos);
    int port = atoi(log.c_str() + at + 11);
    run_result q = run_program({quiesk_path(), std::to_string(port), "127.0.0.1"});
    EXPECT_EQ(q.status, 0);
    EXPECT_TRUE(wait_for_log(d.path, "----: ALL OK, Server shutdown has completed.\n"));
}

TEST(ServerProcess, SignalsStopInOrderOrAreSurvived)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);

    kill(s.pid, SIGSTOP);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(s.pid, SIGCONT);
    int fd = connect_local(s.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k", "LO", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE), expected_ack("JOBSCHED"));

    // A peer that has gone before its reply: the server goes on.
    int gone = connect_local(s.port);
    ASSERT_TRUE(send_all(gone, make_alert("JOBSCHED", "h", "k", "LO", 'Y')));
    close(gone);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k", "LO", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE).size(), ALERT_RECORD_SIZE);

    EXPECT_EQ(stop_server(s), 0);
    close(fd);
    expect_in_order(read_log(d.path), {"INFO: Shutdown requested by signal 15\n",
                                       "----: Shutdown in progress\n",
                                       "----: ALL OK, Server shutdown has completed.\n"});
}

TEST(ServerLoop, NoClientDelaysAnother)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);

    // Half a record, then silence.
    int slow = connect_local(s.port);
    ASSERT_TRUE(send_all(slow, make_alert("JOBSCHED", "h", "slow", "AC", 'Y').substr(0, 120)));

    // Two records in one write: two ACKs, without closing.
    int fast = connect_local(s.port);
    ASSERT_TRUE(send_all(fast, make_alert("RELOADER", "h", "a", "AC", 'Y') +
                                   make_alert("RELOADER", "h", "b", "AW", 'Y')));
    EXPECT_EQ(read_exact(fast, 2 * ALERT_RECORD_SIZE, 2000),
              expected_ack("RELOADER") + expected_ack("RELOADER"));

    // The slow client's record completes later and is handled then.
    ASSERT_TRUE(send_all(slow, make_alert("JOBSCHED", "h", "slow", "AC", 'Y').substr(120)));
    EXPECT_EQ(read_exact(slow, ALERT_RECORD_SIZE, 2000), expected_ack("JOBSCHED"));

    // Unknown data is logged, and the connection carries on.
    ASSERT_TRUE(send_all(fast, "what is this\n"));
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Unknown app, ignoring data from 127.0.0.1:"));
    EXPECT_TRUE(wait_for_log(d.path, ", datalen=13\n"));
    EXPECT_TRUE(wait_for_log(d.path, "Ignored data=what is this.\n"));
    close(slow);
    close(fast);
    stop_server(s);
}

TEST(ServerLoop, ConnectionsBeyondTheDescriptorLimitAreRefused)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    std::vector<int> fds;
    for (int i = 0; i < 70; i++) {
        int fd = connect_local(s.port);
        if (fd >= 0)
            fds.push_back(fd);
    }
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Client connection refused, server alrady has maximum "
                                     "connections allowed !\n"));
    for (int fd : fds)
        close(fd);
    // Slots come free again, once the server has seen the others close.
    std::string reply;
    for (long end = monotonic_ms() + 10000;
         reply.size() != ALERT_RECORD_SIZE && monotonic_ms() < end;) {
        int fd = connect_local(s.port);
        if (fd >= 0 && send_all(fd, make_alert("JOBSCHED", "h", "k", "LO", 'Y')))
            reply = read_exact(fd, ALERT_RECORD_SIZE, 1000);
        if (fd >= 0)
            close(fd);
        if (reply.size() != ALERT_RECORD_SIZE)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(reply.size(), ALERT_RECORD_SIZE);
    EXPECT_EQ(stop_server(s), 0);
}

// Milliseconds one ACK takes to come back on fd.
long
ack_round_trip_ms(int fd)
{
    auto start = std::chrono::steady_clock::now();
    if (!send_all(fd, make_alert("JOBSCHED", "good", "k", "LO", 'Y')) ||
        read_exact(fd, ALERT_RECORD_SIZE, 5000) != expected_ack("JOBSCHED"))
        return 99999;
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start).count();
}

TEST(ServerLoop, ClientsThatDoNotReadDelayNobodyAndAreClosed)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    // A full table, so that every listing takes two replies.
    int fd = connect_local(s.port);
    std::string burst;
    for (int i = 0; i < 50; i++)
        burst += make_alert("GENALERT", "h", "key" + std::to_string(i), "AC", 'N',
                            std::string(90, 'x'));
    ASSERT_TRUE(send_all(fd, burst));

    // Ten consoles ask for listings as fast as the server takes them and read nothing.
    std::string ask = make_alert("CONSOLE99_127", "flood", "k", "SL", 'Y');
    std::string asks;
    for (int i = 0; i < 64; i++)
        asks += ask;
    std::vector<int> flood;
    for (int i = 0; i < 10; i++) {
        int f = connect_local(s.port);
        ASSERT_GE(f, 0);
        fcntl(f, F_SETFL, O_NONBLOCK);
        flood.push_back(f);
    }
    // Keeps every flooding console's requests coming while the server takes them.
    auto top_up = [&]() {
        for (int f : flood)
            for (int i = 0; i < 20 && send(f, asks.data(), asks.size(), MSG_NOSIGNAL) > 0; i++) {
            }
    };
    // Meanwhile a well-behaved sender's ACKs come back as fast as ever.
    std::vector<long> took;
    for (int i = 0; i < 100; i++) {
        top_up();
        took.push_back(ack_round_trip_ms(fd));
    }
    std::sort(took.begin(), took.end());
    EXPECT_LT(took[50], 20) << "median ACK round trip";
    EXPECT_LT(took.back(), 1000) << "slowest ACK round trip";

    // Their replies are not taken within 2 s: each is closed, its lost replies reported.
    std::string log;
    for (int i = 0; i < 200 && count(log, "a reply could not be written whole") < 10; i++) {
        top_up();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        log = read_log(d.path);
    }
    EXPECT_EQ(count(log, "WARN: Connection from 127.0.0.1:"), 10u);
    EXPECT_EQ(count(log, " closed, a reply could not be written whole\n"), 10u);
    EXPECT_GE(count(log, "*ERR: Unable to write a response to a client console application\n"),
              10u);
    EXPECT_LT(ack_round_trip_ms(fd), 1000) << "the sender is still served";
    for (int f : flood)
        close(f);
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

// A burst of more records than the loop serves between two looks at the sockets (32), all
// read at once, is answered without the loop waiting for a time-out while it holds lines and
// the socket is empty.
TEST(ServerLoop, BurstsLongerThanOneLookAreServedWithoutWaiting)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    const std::size_t n = 35;      // 8190 bytes: one read of the server's 8192-byte buffer
    std::string burst;
    for (std::size_t i = 0; i < n; i++)
        burst += make_alert("JOBSCHED", "h", "b" + std::to_string(i % 7), "LO", 'Y');
    for (int round = 0; round < 3; round++) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(send_all(fd, burst));
        EXPECT_EQ(read_exact(fd, n * ALERT_RECORD_SIZE, 5000).size(), n * ALERT_RECORD_SIZE);
        long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
        EXPECT_LT(ms, 900) << "a wait of a second came between passes";
    }
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

// CPU time the process has used, in milliseconds.
long
cpu_ms(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t at = stat.rfind(')');
    if (at == std::string::npos)
        return -1;
    unsigned long utime = 0, stime = 0;
    // After the name: state and eleven fields, then utime and stime.
    if (sscanf(stat.c_str() + at + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
               &utime, &stime) != 2)
        return -1;
    return static_cast<long>((utime + stime) * 1000 / static_cast<unsigned long>(
                                                          sysconf(_SC_CLK_TCK)));
}

// Out of descriptors, the server stops accepting for a moment instead of spinning on the
// connection that waits, logs that at most once a second, and takes the waiting connections
// once descriptors are free again.
TEST(ServerLoop, RunningOutOfDescriptorsNeitherSpinsNorFloodsTheLog)
{
    temp_dir d;
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = 20;      // inherited by the server; ours is set back at once
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    server_proc s = start_server(d.path);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    server_guard g{s};
    ASSERT_GT(s.port, 0);

    std::vector<int> served, waiting;
    for (int i = 0; i < 18; i++) {
        int fd = connect_local(s.port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k" + std::to_string(i), "LO",
                                            'Y')));
        if (read_exact(fd, ALERT_RECORD_SIZE, served.size() < 8 ? 3000 : 300).size() ==
            ALERT_RECORD_SIZE)
            served.push_back(fd);
        else
            waiting.push_back(fd);
    }
    ASSERT_FALSE(waiting.empty()) << "every connection was taken";
    ASSERT_GE(served.size(), 5u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));     // one log line a second
    std::size_t lines_before = count(read_log(d.path), "WARN: accept() failed, ");
    long cpu_before = cpu_ms(s.pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    long cpu_used = cpu_ms(s.pid) - cpu_before;
    EXPECT_LT(cpu_used, 200) << "ms of CPU in 1.5 s";
    EXPECT_LE(count(read_log(d.path), "WARN: accept() failed, ") - lines_before, 2u);

    for (int fd : served)
        close(fd);
    for (int fd : waiting)
        EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE, 3000), expected_ack("JOBSCHED"));
    for (int fd : waiting)
        close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

TEST(ServerLoop, UnrecognisedLinesEndTheConnectionAfterAHundred)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    struct {
        std::string line;
        std::string logged;     // logged once for each line
    } cases[] = {
        {std::string("\0\n", 2), "0 byte data buffer recieved, ignored\n"},
        {"\n", "Ignored data=.\n"},
    };
    for (const auto &c : cases) {
        std::size_t before = read_log(d.path).size();
        int fd = connect_local(s.port);
        std::string lines;
        for (int i = 0; i < 200; i++)
            lines += c.line;
        ASSERT_TRUE(send_all(fd, lines));
        char b;
        struct timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_LE(read(fd, &b, 1), 0) << "the connection was closed";
        close(fd);
        std::string log;
        for (int i = 0; i < 100 && log.find("closed, too many") == std::string::npos; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            log = read_log(d.path).substr(before);
        }
        EXPECT_NE(log.find(" closed, too many empty or unrecognised lines\n"), std::string::npos);
        EXPECT_EQ(count(log, c.logged), 100u) << log.substr(0, 300);
        EXPECT_EQ(count(log, "WARN: Connection from 127.0.0.1:"), 1u);
    }

    // Peers that reconnect after each hundred: beyond JUNK_LOG_PER_SECOND a second the lines
    // are counted, not logged, and the count is logged with the next one.
    std::size_t before = read_log(d.path).size();
    std::vector<int> fds;
    for (int i = 0; i < 20; i++) {
        fds.push_back(connect_local(s.port));
        ASSERT_TRUE(send_all(fds.back(), std::string(200, '\n')));
    }
    for (int fd : fds) {
        char b;
        struct timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_LE(read(fd, &b, 1), 0) << "the connection was closed";
        close(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, "\n"));
    const std::string summary = " empty or unrecognised lines were not logged, too many in one "
                                "second\n";
    // Lines logged and lines counted: all 2,001 once the last one has been handled.
    std::size_t logged = 0, unlogged = 0;
    for (int i = 0; i < 150 && logged + unlogged != 2001; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::string log = read_log(d.path).substr(before);
        logged = count(log, "Ignored data=.\n");
        unlogged = 0;
        for (std::size_t at = log.find(summary); at != std::string::npos;
             at = log.find(summary, at + 1))
            unlogged += std::stoul(log.substr(log.rfind("WARN: ", at) + 6));
    }
    close(fd);
    EXPECT_EQ(logged + unlogged, 2001u) << logged << " logged";
    EXPECT_GT(unlogged, 0u);
    EXPECT_EQ(stop_server(s), 0);
}

TEST(ServerLoop, LogLinesCarryNoControlBytesAndPrecedeTheReply)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    server_guard g{s};
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, make_alert("GENALERT", "h\x1b", "k\x07", "AC", 'Y',
                                        "red \x1b[31mtext\x7f\t")));
    ASSERT_EQ(read_exact(fd, ALERT_RECORD_SIZE), expected_ack("GENALERT"));
    // Answered: its line is in the file already.
    std::string log = read_log(d.path);
    const std::string host = "h." + std::string(13, ' '), key = "k." + std::string(12, ' ');
    EXPECT_NE(log.find("AINF: " + host + " "), std::string::npos) << log;
    EXPECT_NE(log.find(" AC " + key + " Y red .[31mtext.. \n"), std::string::npos) << log;

    // A console command line too.
    ASSERT_TRUE(send_all(fd, make_alert("CONSOLE", "h\x1b", "k\x07", "AD", 'Y')));
    ASSERT_EQ(read_exact(fd, CONSOLE_REPLY_SIZE).size(), CONSOLE_REPLY_SIZE);
    log = read_log(d.path);
    EXPECT_NE(log.find(" AD " + key + " (CONSOLE COMMAND)\n"), std::string::npos) << log;
    for (char b : log)
        EXPECT_TRUE(b == '\n' || (b >= 0x20 && b != 0x7f)) << static_cast<int>(b);
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

TEST(ServerLoop, AnIPv6LoopbackServerTakesAnAlert)
{
    temp_dir d;
    server_proc s = start_server(d.path, {"0", "::1"});
    if (s.port == 0) {
        stop_server(s);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    server_guard g{s};
    std::string log = read_log(d.path);
    EXPECT_NE(log.find("INFO: Server configured to bind to interface ::1, port 0 only\n"),
              std::string::npos);
    EXPECT_NE(log.find("INFO: Server listening on port address '[::1]:" +
                       std::to_string(s.port) + "'\n"),
              std::string::npos) << log;
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 sa {};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(s.port));
    sa.sin6_addr = in6addr_loopback;
    ASSERT_EQ(connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
    ASSERT_TRUE(send_all(fd, "hello\n" + make_alert("JOBSCHED", "v6host", "k", "AC", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE), expected_ack("JOBSCHED"));
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Unknown app, ignoring data from [::1]:"));
    EXPECT_TRUE(wait_for_log(d.path, "AINF: v6host "));
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

} // namespace

// Black-box tests of tarrowd's process: start-up, failures, the loop and the two exits.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/record.h"
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
    ASSERT_GT(s.port, 0);
    run_result q = run_program({quiesk_path(), std::to_string(s.port), "127.0.0.1"});
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.out, "\n");
    EXPECT_EQ(wait_exit(s.pid), 0);
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
          "*ERR: ***FATAL*** A fatal server error has occurred. Cannot continue.\n",
          "*ERR: bind() port " + std::to_string(busy.port) + "\n", "INFO: Server has aborted.\n",
          "----: ALL OK, Server shutdown has completed.\n"}},
        {"not an address", {"0", "localhost"}, false, 2, {"*ERR: Translating IP address\n"}},
        {"all ones", {"0", "255.255.255.255"}, false, 2, {"*ERR: Translating IP address\n"}},
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
    }
    stop_server(busy);
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
    EXPECT_EQ(h.out, "usage: tarrowd [--foreground] [--keep-table] [--allow address[/bits]]... "
                     "[port [address]]\n");
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
    // Slots come free again.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "k", "LO", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE, 3000).size(), ALERT_RECORD_SIZE);
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

} // namespace

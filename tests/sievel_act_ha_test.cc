// Two boards for safety, end to end on 127.0.0.1: one sievel-act feeds two tarrowd, a
// tarrow-bridge mirrors each into one cluster of two prometheus-alertmanager replicas, whose
// webhook is a listener of the test's own. A board stops: each alert is still notified once,
// and the board catches up when it returns, also when sievel-act was killed meanwhile (its
// spool). A silence made in Alertmanager acknowledges on both boards until it is expired. An
// acknowledgement on the web board of both reaches both boards as one silence, a delete
// through tarrowc takes the alert out of Alertmanager for good, and `tarrowc diff` finds the
// boards in agreement after each step.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "tests/alertmanager.h"
#include "tests/harness.h"
#include "tests/net_helpers.h"

namespace {

using json = nlohmann::json;

void
sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A process of the test's, its output appended to a file; killed when the test ends.
struct child {
    pid_t pid = -1;
    int in = -1;        // its standard input when asked for, else /dev/null

    child(const std::vector<std::string> &argv, const std::string &log, bool with_input = false)
    {
        int p[2] = {-1, -1};
        if (with_input && pipe2(p, O_CLOEXEC) != 0)
            return;
        pid = spawn_logged(argv, log, with_input ? p[0] : -1);
        if (with_input) {
            close(p[0]);
            in = p[1];
        }
    }
    ~child() { stop(); }
    child(const child &) = delete;
    child &operator=(const child &) = delete;

    int stop(int sig = SIGTERM)
    {
        if (in >= 0)
            close(in);
        in = -1;
        if (pid <= 0)
            return -1;
        kill(pid, sig);
        int st = wait_exit(pid, 10000);
        pid = -1;
        return st;
    }
};

// The webhook receiver: answers every request 200 and keeps each request.
struct webhook {
    scripted_http http;
    int port = http.port;

    // Notifications of the group whose alertname is name, by status ("firing", "resolved").
    int count(const std::string &name, const std::string &status)
    {
        int n = 0;
        for (const std::string &request : http.requests()) {
            std::size_t head = request.find("\r\n\r\n");
            if (head == std::string::npos)
                continue;
            json b = json::parse(request.substr(head + 4), nullptr, false);
            if (b.is_object() && b.value("status", "") == status && b.contains("groupLabels") &&
                b["groupLabels"].value("alertname", "") == name)
                ++n;
        }
        return n;
    }
    bool wait_for(const std::string &name, int timeout_ms)
    {
        for (long end = monotonic_ms() + timeout_ms; monotonic_ms() < end; sleep_ms(100))
            if (count(name, "firing") > 0)
                return true;
        return false;
    }
    // True once no notification of these alerts, firing or resolved, has come for quiet_ms
    // (counted from the call), within timeout_ms.
    bool quiet_for(const std::vector<std::string> &names, int quiet_ms, int timeout_ms)
    {
        auto notified = [&] {
            int n = 0;
            for (const std::string &name : names)
                n += count(name, "firing") + count(name, "resolved");
            return n;
        };
        int seen = notified();
        long since = monotonic_ms();
        for (long end = since + timeout_ms; monotonic_ms() < end; sleep_ms(100)) {
            int n = notified();
            if (n != seen) {
                seen = n;
                since = monotonic_ms();
            } else if (monotonic_ms() - since >= quiet_ms) {
                return true;
            }
        }
        return false;
    }
};

// True once the Alertmanager on port lists an alert of every name, within timeout_ms.
bool
holds_alerts(int port, const std::vector<std::string> &names, int timeout_ms)
{
    for (long end = monotonic_ms() + timeout_ms; monotonic_ms() < end; sleep_ms(200)) {
        int fd = connect_local(port);
        if (fd < 0)
            continue;
        send_all(fd, "GET /api/v2/alerts HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        std::string reply = read_exact(fd, 1 << 20, 3000);
        close(fd);
        bool all = true;
        for (const std::string &name : names)
            all = all && reply.find("\"alertname\":\"" + name + "\"") != std::string::npos;
        if (all)
            return true;
    }
    return false;
}

// The status code of a plain HTTP GET to 127.0.0.1:port, 0 when there is no answer.
int
http_status(int port, const std::string &path)
{
    int fd = connect_local(port);
    if (fd < 0)
        return 0;
    send_all(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    std::string reply = read_exact(fd, 12, 2000);
    close(fd);
    return reply.rfind("HTTP/1.", 0) == 0 ? atoi(reply.c_str() + 9) : 0;
}

// Waits until the web server on port answers its readiness check.
bool
wait_ready(int port, int timeout_ms)
{
    for (long end = monotonic_ms() + timeout_ms; monotonic_ms() < end; sleep_ms(200))
        if (http_status(port, "/-/ready") == 200)
            return true;
    return false;
}

TEST(sievel_act_ha, two_boards_one_cluster_each_alert_notified_once)
{
    const std::string am_program = find_program("prometheus-alertmanager");
    const std::string bridge = std::string(BIN_DIR) + "/tarrow-bridge";
    const std::string act = std::string(BIN_DIR) + "/sievel-act";
    if (am_program.empty())
        GTEST_SKIP() << "prometheus-alertmanager is not installed: two boards not tested";
    if (access(bridge.c_str(), X_OK) != 0)
        GTEST_SKIP() << "tarrow-bridge is not built: two boards not tested";

    temp_dir dir;
    webhook hook;
    ASSERT_GT(hook.port, 0);
    // Two replicas of one cluster, each naming the other as its peer.
    const std::string g1 = "127.0.0.1:" + std::to_string(free_port());
    const std::string g2 = "127.0.0.1:" + std::to_string(free_port());
    auto replica = [&](const std::string &name, const std::string &gossip,
                       const std::string &peer) {
        mkdir((dir.path + "/" + name).c_str(), 0755);
        return start_alertmanager(am_program, dir.path + "/" + name, hook.port,
                                  {"--cluster.listen-address=" + gossip,
                                   "--cluster.advertise-address=" + gossip,
                                   "--cluster.peer=" + peer, "--cluster.peer-timeout=4s",
                                   "--cluster.settle-timeout=5s"});
    };
    alertmanager am1 = replica("am1", g1, g2);
    process_guard am1_guard{am1.pid};
    ASSERT_GT(am1.pid, 0) << read_file(dir.path + "/am1/am.log");
    alertmanager am2 = replica("am2", g2, g1);
    process_guard am2_guard{am2.pid};
    ASSERT_GT(am2.pid, 0) << read_file(dir.path + "/am2/am.log");

    // Boards that keep their table across a restart, as the service unit runs them.
    const std::string d1 = dir.path + "/board1", d2 = dir.path + "/board2";
    mkdir(d1.c_str(), 0755);
    mkdir(d2.c_str(), 0755);
    server_proc b1 = start_server(d1, {"--keep-table", "0", "127.0.0.1"});
    server_guard guard1{b1};
    server_proc b2 = start_server(d2, {"--keep-table", "0", "127.0.0.1"});
    server_guard guard2{b2};
    ASSERT_GT(b1.port, 0);
    ASSERT_GT(b2.port, 0);
    const int port1 = b1.port;
    const std::string ams_1 = am1.url, ams_2 = am2.url;
    child bridge1({bridge, "-p", std::to_string(b1.port), "-i", "1", "--alertmanager", ams_1,
                   "--alertmanager", ams_2},
                  dir.path + "/bridge1.log");
    child bridge2({bridge, "-p", std::to_string(b2.port), "-i", "1", "--alertmanager", ams_1,
                   "--alertmanager", ams_2},
                  dir.path + "/bridge2.log");
    const std::vector<std::string> act_args = {
        act, "--spool", dir.path + "/spool", "--board", "127.0.0.1:" + std::to_string(b1.port),
        "--board", "127.0.0.1:" + std::to_string(b2.port)};
    auto feeder = std::make_unique<child>(act_args, dir.path + "/act.log", true);
    ASSERT_GT(feeder->in, 0);

    ASSERT_TRUE(send_all(feeder->in, "RAISE-ALERT SSHFAIL \"web1 sshd[9]: Failed password\" web1\n"
                                     "RAISE-ALERT SSHMAXAUTH \"too many\" web3\n"));
    EXPECT_TRUE(wait_for_log(d1, "SSHFAIL", 5000));
    EXPECT_TRUE(wait_for_log(d2, "SSHFAIL", 5000));
    EXPECT_TRUE(hook.wait_for("SSHFAIL", 20000)) << read_file(dir.path + "/bridge1.log");

    EXPECT_TRUE(wait_for_log(d1, "SSHMAXAUTH", 5000));

    // Board 1 stops; an alert raised meanwhile reaches Alertmanager through board 2, and a
    // clear reaches board 2. sievel-act is killed with both in board 1's spool, and started
    // again on it.
    EXPECT_EQ(stop_server(b1), 0);
    ASSERT_TRUE(send_all(feeder->in,
                         "RAISE-ALERT SSHINVAL \"web2 sshd[7]: Invalid user\" web2\n"
                         "CANCEL-ALERT SSHMAXAUTH \"ok\" web3\n"));
    EXPECT_TRUE(wait_for_log(d2, "SSHINVAL", 5000));
    const std::string spool1 = dir.path + "/spool/127.0.0.1_" + std::to_string(port1) + ".spool";
    for (long end = monotonic_ms() + 5000;
         monotonic_ms() < end && read_file(spool1).find("SSHMAXAUTH") == std::string::npos;)
        sleep_ms(20);
    feeder->stop(SIGKILL);
    feeder = std::make_unique<child>(act_args, dir.path + "/act.log", true);
    EXPECT_TRUE(hook.wait_for("SSHINVAL", 20000)) << read_file(dir.path + "/bridge2.log");
    EXPECT_TRUE(hook.wait_for("TarrowBoardDown", 20000)) << read_file(dir.path + "/bridge1.log");

    // Board 1 returns on its port and gets what it missed from the spool: it ends with what
    // board 2 has.
    b1 = start_server(d1, {"--keep-table", std::to_string(port1), "127.0.0.1"});
    ASSERT_EQ(b1.port, port1);
    EXPECT_TRUE(wait_for_log(d1, "SSHINVAL", 10000)) << read_file(dir.path + "/act.log");
    for (long end = monotonic_ms() + 10000;
         monotonic_ms() < end && board_listing(port1) != board_listing(b2.port);)
        sleep_ms(50);
    EXPECT_EQ(board_listing(port1), board_listing(b2.port));
    EXPECT_EQ(board_listing(port1).size(), 2u);
    // Whether tarrowc diff finds the two boards in agreement (where tarrowc is built).
    const std::string A = "127.0.0.1:" + std::to_string(port1);
    const std::string B = "127.0.0.1:" + std::to_string(b2.port);
    auto boards_agree = [&]() {
        if (*tarrowc_path() == '\0')
            return ::testing::AssertionSuccess() << "no tarrowc";
        run_result r = run_program({tarrowc_path(), "-a", A, "--board", B, "diff"});
        if (r.status == 0 && r.out.rfind("TARROW BOARDS OK - A and B agree", 0) == 0)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "status " << r.status << ": " << r.out << r.err;
    };
    EXPECT_TRUE(boards_agree());

    // Both replicas hold both alerts, and the webhook then stays quiet for longer than the
    // second replica's turn (its peer time-out) and a few syncs of both bridges: still one
    // notification per alert, none of them resolved.
    for (int web : {am1.port, am2.port})
        EXPECT_TRUE(holds_alerts(web, {"SSHFAIL", "SSHINVAL"}, 20000)) << web;
    EXPECT_TRUE(hook.quiet_for({"SSHFAIL", "SSHINVAL"}, 6000, 40000));
    EXPECT_EQ(hook.count("SSHFAIL", "firing"), 1);
    EXPECT_EQ(hook.count("SSHINVAL", "firing"), 1);
    EXPECT_EQ(hook.count("SSHFAIL", "resolved"), 0);
    EXPECT_EQ(hook.count("SSHINVAL", "resolved"), 0);

    // A silence of SSHINVAL made by hand acknowledges it on both boards (each bridge sees it);
    // expired, it un-acknowledges both.
    auto both_show = [&](const std::string &type) {
        const std::string row = "SSHINVAL       " + type;
        for (long end = monotonic_ms() + 15000; monotonic_ms() < end; sleep_ms(100)) {
            std::vector<std::string> l1 = board_listing(port1), l2 = board_listing(b2.port);
            if (std::find(l1.begin(), l1.end(), row) != l1.end() &&
                std::find(l2.begin(), l2.end(), row) != l2.end())
                return true;
        }
        return false;
    };
    auto http = [](int port, const std::string &request) {
        int fd = connect_local(port);
        send_all(fd, request);
        std::string reply;
        for (std::string part; (part = read_exact(fd, 1, 3000)).size() == 1;)
            reply += part;
        close(fd);
        return reply;
    };
    const std::string body = R"({"matchers": [
        {"name": "alertname", "value": "SSHINVAL", "isRegex": false, "isEqual": true},
        {"name": "instance", "value": "web2", "isRegex": false, "isEqual": true}],
        "startsAt": "2000-01-01T00:00:00Z", "endsAt": "2100-01-01T00:00:00Z",
        "createdBy": "carol", "comment": "known scanner"})";
    std::string reply = http(am1.port, "POST /api/v2/silences HTTP/1.0\r\nContent-Type: "
                                   "application/json\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\n\r\n" + body);
    std::size_t at = reply.find("\"silenceID\":\"");
    ASSERT_NE(at, std::string::npos) << reply;
    std::string id = reply.substr(at + 13, reply.find('"', at + 13) - at - 13);
    EXPECT_TRUE(both_show("AK")) << read_file(dir.path + "/bridge2.log");
    reply = http(am2.port, "DELETE /api/v2/silence/" + id + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.substr(9, 3), "200") << reply;
    EXPECT_TRUE(both_show("AC")) << read_file(dir.path + "/bridge1.log");
    EXPECT_TRUE(boards_agree());

    // The web board of both boards acknowledges SSHFAIL on both; the bridges make one
    // silence of it between them (the second sees the first's), and nothing is notified.
    const std::string web_program = std::string(BIN_DIR) + "/tarrow-web";
    if (access(web_program.c_str(), X_OK) != 0 || *tarrowc_path() == '\0')
        GTEST_SKIP() << "tarrow-web or tarrowc is not built: the web board and delete on both "
                        "not tested";
    const int web_port = free_port();
    const std::string origin = "http://127.0.0.1:" + std::to_string(web_port);
    child web({web_program, "-a", A, "-a", B, "-i", "1", "--listen",
               "127.0.0.1:" + std::to_string(web_port), "--auth-header", "X-User",
               "--trusted-proxy", "127.0.0.1"},
              dir.path + "/web.log");
    ASSERT_TRUE(wait_ready(web_port, 10000)) << read_file(dir.path + "/web.log");
    reply = http(web_port, "GET /api/v1/session HTTP/1.0\r\nHost: 127.0.0.1\r\nX-User: dave\r\n\r\n");
    json session = json::parse(reply.substr(std::min(reply.size(), reply.find("\r\n\r\n") + 4)),
                               nullptr, false);
    ASSERT_TRUE(session.is_object() && session["csrf"].is_string()) << reply;
    const std::string ack = R"({"host": "web1", "key": "SSHFAIL", "note": "on it"})";
    reply = http(web_port, "POST /api/v1/ack HTTP/1.0\r\nHost: 127.0.0.1:" +
                               std::to_string(web_port) + "\r\nOrigin: " + origin +
                               "\r\nX-User: dave\r\nX-CSRF-Token: " +
                               session["csrf"].get<std::string>() +
                               "\r\nContent-Type: application/json\r\nContent-Length: " +
                               std::to_string(ack.size()) + "\r\n\r\n" + ack);
    EXPECT_NE(reply.find(R"("done":["A","B"])"), std::string::npos) << reply;
    // Both boards list key as type; with no type, neither lists key at all.
    auto both_have = [&](const std::string &key, const std::string &type) {
        const std::string row = key + std::string(14 - key.size(), ' ') + " " + type;
        auto has = [&](const std::vector<std::string> &l) {
            return std::any_of(l.begin(), l.end(), [&](const std::string &line) {
                return type.empty() ? line.rfind(row, 0) == 0 : line == row;
            });
        };
        for (long end = monotonic_ms() + 15000; monotonic_ms() < end; sleep_ms(100)) {
            std::vector<std::string> l1 = board_listing(port1), l2 = board_listing(b2.port);
            bool read = l1 != std::vector<std::string>{"no connection"} &&
                        l2 != std::vector<std::string>{"no connection"};
            if (read && (type.empty() ? !has(l1) && !has(l2) : has(l1) && has(l2)))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(both_have("SSHFAIL", "AK"));
    // The active silences whose matchers name SSHFAIL, as replica 2 lists them.
    auto silences_of = [&](const std::string &name) {
        std::string r = http(am2.port, "GET /api/v2/silences HTTP/1.0\r\n\r\n");
        json list = json::parse(r.substr(std::min(r.size(), r.find("\r\n\r\n") + 4)), nullptr,
                                false);
        int n = 0;
        for (const json &sil : list.is_array() ? list : json::array())
            if (sil["status"].value("state", "") == "active" &&
                sil.dump().find("\"" + name + "\"") != std::string::npos)
                ++n;
        return n;
    };
    // Both bridges may silence it in the same second; the one whose silence has the greater
    // id then expires its own at its next sync.
    int silences = 0;
    for (long end = monotonic_ms() + 15000; monotonic_ms() < end && silences != 1; sleep_ms(200))
        silences = silences_of("SSHFAIL");
    EXPECT_EQ(silences, 1) << read_file(dir.path + "/bridge1.log")
                           << read_file(dir.path + "/bridge2.log");
    // Over several syncs of both bridges the one silence stays the only one.
    for (long end = monotonic_ms() + 5000; monotonic_ms() < end; sleep_ms(250))
        silences = std::max(silences, silences_of("SSHFAIL"));
    EXPECT_EQ(silences, 1) << read_file(dir.path + "/bridge1.log")
                           << read_file(dir.path + "/bridge2.log");
    EXPECT_EQ(hook.count("SSHFAIL", "firing"), 1);
    EXPECT_EQ(hook.count("SSHFAIL", "resolved"), 0);
    EXPECT_TRUE(boards_agree());

    // Deleted on both through tarrowc: SSHFAIL leaves both boards and Alertmanager, and
    // stays away over several syncs of the bridges.
    run_result del = run_program({tarrowc_path(), "-a", A, "--board", B, "delete", "--by",
                                  "dave", "web1", "SSHFAIL"});
    EXPECT_EQ(del.status, 0) << del.out << del.err;
    EXPECT_TRUE(both_have("SSHFAIL", ""));
    auto in_am = [&](const std::string &name) {
        std::string r = http(am1.port, "GET /api/v2/alerts HTTP/1.0\r\n\r\n");
        return r.find("\"alertname\":\"" + name + "\"") != std::string::npos;
    };
    bool gone = false;
    for (long end = monotonic_ms() + 20000; monotonic_ms() < end && !gone; sleep_ms(200))
        gone = !in_am("SSHFAIL");
    EXPECT_TRUE(gone) << read_file(dir.path + "/bridge1.log");
    bool back = false;
    for (long end = monotonic_ms() + 5000; monotonic_ms() < end && !back; sleep_ms(250))
        back = in_am("SSHFAIL") || !both_have("SSHFAIL", "");
    EXPECT_FALSE(back) << read_file(dir.path + "/bridge2.log");
    EXPECT_TRUE(in_am("SSHINVAL")) << "the other alert stays";
    EXPECT_TRUE(boards_agree());
    web.stop();

    // At the end of its input sievel-act has delivered everything to both boards.
    close(feeder->in);
    feeder->in = -1;
    EXPECT_EQ(wait_exit(feeder->pid, 15000), 0) << read_file(dir.path + "/act.log");
    feeder->pid = -1;
    bridge1.stop();
    bridge2.stop();
    stop_alertmanager(am1);
    stop_alertmanager(am2);
}

} // namespace

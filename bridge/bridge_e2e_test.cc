// tarrow-bridge against real programs on 127.0.0.1: tarrowd, flicket, tarrowc and
// prometheus-alertmanager, whose webhook receiver is a scripted server of the test's own;
// and against a scripted Alertmanager that refuses, floods and plays tricks.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "bridge/am.h"
#include "bridge/mirror.h"
#include "common/text.h"
#include "tests/alertmanager.h"
#include "tests/harness.h"
#include "tests/net_helpers.h"
#include "tests/records.h"

using json = nlohmann::json;

namespace {

void
sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

json
am_get(const std::string &url, const std::string &path)
{
    std::string reply, error;
    if (am_request({}, "GET", url, path, "", reply, error) != 0)
        return nullptr;
    return json::parse(reply, nullptr, false);
}

// Alerts listed by the Alertmanager, by alertname.
std::map<std::string, json>
alerts_by_name(const std::string &url)
{
    std::map<std::string, json> out;
    json list = am_get(url, "/api/v2/alerts");
    if (list.is_array())
        for (const json &a : list)
            out[a["labels"]["alertname"].get<std::string>()] = a;
    return out;
}

// The active silences made by creator.
std::vector<json>
silences_by(const std::string &url, const std::string &creator)
{
    std::vector<json> out;
    json list = am_get(url, "/api/v2/silences");
    if (list.is_array())
        for (const json &s : list)
            if (s["createdBy"] == creator && s["status"]["state"] == "active")
                out.push_back(s);
    return out;
}

class bridge_e2e : public ::testing::Test {
protected:
    std::string am_program = find_program("prometheus-alertmanager");
    temp_dir dir;
    std::string host = host_field_text();

    void SetUp() override
    {
        if (am_program.empty())
            GTEST_SKIP() << "prometheus-alertmanager is not installed: bridge not tested";
        am_init();
    }
    void TearDown() override { am_done(); }

    run_result flicket(int port, const std::string &severity, const std::string &key,
                       const std::string &text)
    {
        return run_program({flicket_path(), std::to_string(port), "127.0.0.1", severity, key,
                            text});
    }
    run_result bridge(int port, const std::vector<std::string> &urls,
                      const std::vector<std::string> &more = {"--once"})
    {
        std::vector<std::string> argv = {TARROW_BRIDGE_PATH, "-p", std::to_string(port),
                                         "--label", "site=e2e"};
        for (const std::string &u : urls) {
            argv.push_back("--alertmanager");
            argv.push_back(u);
        }
        argv.insert(argv.end(), more.begin(), more.end());
        return run_program(argv, dir.path, {}, 30000);
    }
};

} // namespace

TEST_F(bridge_e2e, board_alerts_acks_and_outage_reach_alertmanager)
{
    if (tarrowc_path()[0] == '\0')
        GTEST_SKIP() << "tarrowc is not built";
    scripted_http hook;
    ASSERT_GT(hook.port, 0);
    alertmanager am = start_alertmanager(am_program, dir.path, hook.port);
    process_guard am_guard{am.pid};
    ASSERT_GT(am.pid, 0) << read_file(am.log);
    std::string srv_dir = dir.path + "/board";
    mkdir(srv_dir.c_str(), 0755);
    server_proc srv = start_server(srv_dir);
    server_guard srv_guard{srv};
    ASSERT_GT(srv.port, 0);

    // Three alerts, one with a text longer than a listing line carries.
    const std::string long_text(100, 'x');
    ASSERT_EQ(flicket(srv.port, "critical", "DISK01", "disk full").status, 0);
    ASSERT_EQ(flicket(srv.port, "warning", "LOAD", long_text).status, 0);
    ASSERT_EQ(flicket(srv.port, "info", "NOTE", "fyi").status, 0);
    run_result r = bridge(srv.port, {am.url});
    EXPECT_EQ(r.status, 0) << r.err;
    auto alerts = alerts_by_name(am.url);
    ASSERT_EQ(alerts.size(), 3u) << r.err;
    const struct {
        const char *key, *severity, *text;
    } want[] = {{"DISK01", "critical", "disk full"}, {"LOAD", "warning", long_text.c_str()},
                {"NOTE", "info", "fyi"}};
    for (const auto &w : want) {
        const json &a = alerts[w.key];
        EXPECT_EQ(a["labels"], json({{"alertname", w.key}, {"instance", host},
                                     {"severity", w.severity}, {"site", "e2e"}}));
        EXPECT_EQ(a["annotations"]["summary"], w.text);
        EXPECT_EQ(a["annotations"]["state"], w.severity);
        std::string raised = a["annotations"]["raised"];
        EXPECT_EQ(rfc3339_parse(a["startsAt"]), raised_parse(raised)) << raised;
        EXPECT_GT(rfc3339_parse(a["endsAt"]), time(nullptr) + 30);
    }
    EXPECT_TRUE(hook.wait_for("DISK01", 15000)) << "no notification reached the webhook";

    // Someone else's silence, which the bridge must never touch.
    json theirs = {{"matchers", json::array({{{"name", "alertname"}, {"value", "LOAD"},
                                              {"isRegex", false}, {"isEqual", true}}})},
                   {"startsAt", rfc3339(time(nullptr))},
                   {"endsAt", rfc3339(time(nullptr) + 3600)},
                   {"createdBy", "alice"},
                   {"comment", "maintenance"}};
    std::string reply, error;
    ASSERT_EQ(am_request({}, "POST", am.url, "/api/v2/silences", theirs.dump(), reply, error), 0)
        << error;

    // Acknowledged on the board with a note and an expiry: silenced by a silence that says
    // who, why and until when; severity kept.
    auto tarrowc = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {tarrowc_path(), "-p", std::to_string(srv.port)});
        return run_program(args).status;
    };
    ASSERT_EQ(tarrowc({"ack", "--by", "ops1", "--note", "disk swap at 14:00", "--for", "2h",
                       host, "DISK01"}), 0);
    time_t until = time(nullptr) + 7200;
    r = bridge(srv.port, {am.url});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<json> ours = silences_by(am.url, "ops1");
    ASSERT_EQ(ours.size(), 1u) << r.err;
    EXPECT_EQ(ours[0]["comment"], "disk swap at 14:00 | acknowledged on the tarrow board "
                                  "127.0.0.1:" + std::to_string(srv.port));
    EXPECT_LE(std::abs(rfc3339_parse(ours[0]["endsAt"]) - until), 2);
    json disk = alerts_by_name(am.url)["DISK01"];
    EXPECT_EQ(disk["status"]["state"], "suppressed");
    EXPECT_EQ(disk["status"]["silencedBy"], json::array({ours[0]["id"]}));
    EXPECT_EQ(disk["labels"]["severity"], "critical");
    EXPECT_EQ(disk["annotations"]["state"], "acked");
    EXPECT_EQ(disk["annotations"]["acknowledged"].get<std::string>().substr(0, 36),
              "acknowledged critical by ops1 until ");

    // Cleared on the board: resolved, so no longer listed.
    ASSERT_EQ(flicket(srv.port, "harmless", "NOTE", "").status, 0);
    r = bridge(srv.port, {am.url});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(alerts_by_name(am.url).count("NOTE"), 0u) << r.err;
    EXPECT_NE(r.err.find("resolved " + host + " NOTE (info)"), std::string::npos) << r.err;

    // A restarted bridge finds its silence again: still one. The running bridge is stopped
    // with SIGTERM once its first post is seen.
    for (int restart = 0; restart < 2; restart++) {
        std::string updated = alerts_by_name(am.url)["LOAD"]["updatedAt"];
        pid_t pid = spawn_logged({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "--label",
                           "site=e2e", "--alertmanager", am.url},
                          dir.path + "/bridge.log");
        process_guard bridge_guard{pid};
        for (long end = monotonic_ms() + 10000;
             monotonic_ms() < end && alerts_by_name(am.url)["LOAD"]["updatedAt"] == updated;)
            sleep_ms(50);
        kill(pid, SIGTERM);
        EXPECT_EQ(wait_exit(pid, 10000), 0) << read_file(dir.path + "/bridge.log");
        pid = -1;
    }
    EXPECT_EQ(silences_by(am.url, "ops1").size(), 1u) << read_file(dir.path + "/bridge.log");

    // Someone expires it in Alertmanager: a running bridge says so once and leaves it expired
    // until the board's ack changes; then it silences the new ack.
    ours = silences_by(am.url, "ops1");
    ASSERT_EQ(ours.size(), 1u);
    std::string id = ours[0]["id"];
    ASSERT_EQ(am_request({}, "DELETE", am.url, "/api/v2/silence/" + id, "", reply, error), 0)
        << error;
    {
        std::string log = dir.path + "/bridge-expired.log";
        pid_t pid = spawn_logged({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "-i", "1",
                           "--label", "site=e2e", "--alertmanager", am.url}, log);
        process_guard bridge_guard{pid};
        const std::string said = "was expired in Alertmanager";
        for (long end = monotonic_ms() + 10000;
             monotonic_ms() < end && read_file(log).find(said) == std::string::npos;)
            sleep_ms(50);
        // Two more syncs, each seen as a new post of the alerts.
        for (int sync = 0; sync < 2; sync++) {
            std::string updated = alerts_by_name(am.url)["LOAD"]["updatedAt"];
            for (long end = monotonic_ms() + 10000; monotonic_ms() < end &&
                                                   alerts_by_name(am.url)["LOAD"]["updatedAt"] ==
                                                       updated;)
                sleep_ms(50);
        }
        std::string text = read_file(log);
        std::size_t first = text.find(said);
        EXPECT_NE(first, std::string::npos) << text;
        EXPECT_EQ(text.find(said, first + 1), std::string::npos) << text;
        EXPECT_TRUE(silences_by(am.url, "ops1").empty()) << text;
        ASSERT_EQ(tarrowc({"ack", "--by", "ops2", host, "DISK01"}), 0);
        for (long end = monotonic_ms() + 10000;
             monotonic_ms() < end && silences_by(am.url, "ops2").empty();)
            sleep_ms(50);
        EXPECT_EQ(silences_by(am.url, "ops2").size(), 1u) << read_file(log);
        kill(pid, SIGTERM);
        EXPECT_EQ(wait_exit(pid, 10000), 0) << read_file(log);
        pid = -1;
    }

    // Raised again unacknowledged: the silence is expired; alice's stays.
    ASSERT_EQ(flicket(srv.port, "critical", "DISK01", "disk full again").status, 0);
    r = bridge(srv.port, {am.url});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(silences_by(am.url, "ops2").empty()) << r.err;
    std::vector<json> alices = silences_by(am.url, "alice");
    ASSERT_EQ(alices.size(), 1u);
    EXPECT_EQ(alices[0]["comment"], "maintenance");
    EXPECT_EQ(alerts_by_name(am.url)["DISK01"]["status"]["state"], "active");

    // The board stops: TarrowBoardDown fires, the last known alerts stay.
    EXPECT_EQ(stop_server(srv), 0);
    r = bridge(srv.port, {am.url});
    EXPECT_EQ(r.status, 0) << r.err;
    alerts = alerts_by_name(am.url);
    ASSERT_EQ(alerts.count("TarrowBoardDown"), 1u) << r.err;
    EXPECT_EQ(alerts["TarrowBoardDown"]["labels"]["instance"],
              "127.0.0.1:" + std::to_string(srv.port));
    EXPECT_EQ(alerts["TarrowBoardDown"]["labels"]["severity"], "critical");
    EXPECT_EQ(alerts.count("DISK01"), 1u);
    EXPECT_EQ(alerts.count("LOAD"), 1u);
    stop_alertmanager(am);
}

TEST_F(bridge_e2e, cluster_replicas_each_get_every_post)
{
    scripted_http hook;
    ASSERT_GT(hook.port, 0);
    std::string d1 = dir.path + "/am1", d2 = dir.path + "/am2";
    mkdir(d1.c_str(), 0755);
    mkdir(d2.c_str(), 0755);
    std::string p1 = "127.0.0.1:" + std::to_string(free_port());
    std::string p2 = "127.0.0.1:" + std::to_string(free_port());
    alertmanager am1 = start_alertmanager(am_program, d1, hook.port,
                                {"--cluster.listen-address=" + p1, "--cluster.advertise-address=" + p1,
                                 "--cluster.peer=" + p2});
    process_guard am1_guard{am1.pid};
    ASSERT_GT(am1.pid, 0) << read_file(am1.log);
    alertmanager am2 = start_alertmanager(am_program, d2, hook.port,
                                {"--cluster.listen-address=" + p2, "--cluster.advertise-address=" + p2,
                                 "--cluster.peer=" + p1});
    process_guard am2_guard{am2.pid};
    ASSERT_GT(am2.pid, 0) << read_file(am2.log);
    std::string srv_dir = dir.path + "/board";
    mkdir(srv_dir.c_str(), 0755);
    server_proc srv = start_server(srv_dir);
    server_guard srv_guard{srv};
    ASSERT_GT(srv.port, 0);

    ASSERT_EQ(flicket(srv.port, "critical", "DISK01", "disk full").status, 0);
    ASSERT_EQ(flicket(srv.port, "warning", "LOAD", "busy").status, 0);
    run_result r = bridge(srv.port, {am1.url, am2.url});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(alerts_by_name(am1.url).size(), 2u);

    // One replica stops: the other lists the alerts, and takes the next sync's changes while
    // the post to the stopped one fails (status 1, the failure logged).
    stop_alertmanager(am1);
    EXPECT_EQ(alerts_by_name(am2.url).size(), 2u);
    ASSERT_EQ(flicket(srv.port, "info", "NOTE", "fyi").status, 0);
    r = bridge(srv.port, {am1.url, am2.url});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find(am1.url), std::string::npos) << r.err;
    EXPECT_EQ(alerts_by_name(am2.url).size(), 3u) << r.err;
    EXPECT_EQ(stop_server(srv), 0);
    stop_alertmanager(am2);
}

TEST(bridge_cli, arguments_and_dry_run)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *out;    // start of standard output
        const char *err = "";   // start of standard error
    } cases[] = {
        {{"--help"}, 0, "usage: tarrow-bridge"},
        {{"--version"}, 0, "tarrow-bridge 1.0.2\n"},
        {{}, 2, ""},        // no Alertmanager
        {{"--alertmanager", "ftp://127.0.0.1/"}, 2, ""},
        {{"--dry-run", "-p", "0"}, 2, "", "tarrow-bridge: Illegal port number: 0\n"},
        {{"--dry-run", "-p", "65536"}, 2, "", "tarrow-bridge: Illegal port number: 65536\n"},
        {{"--dry-run", "-p", "+9003"}, 2, "", "tarrow-bridge: Illegal port number: +9003\n"},
        {{"--dry-run", "-p", "127.0.0.1"}, 2, "", "tarrow-bridge: Illegal port number: 127.0.0.1"},
        {{"--dry-run", "-a", "no_such!host"}, 2, "",
         "tarrow-bridge: Improperly formatted network address, no_such!host\n"},
        {{"--dry-run", "-a", "9003"}, 2, "",
         "tarrow-bridge: Improperly formatted network address, 9003\n"},
        {{"--dry-run", "-a", "999.1.1.1"}, 2, "",
         "tarrow-bridge: Improperly formatted network address, 999.1.1.1\n"},
        {{"--dry-run", "-i", "0"}, 2, ""},
        {{"--dry-run", "--label", "severity=high"}, 2, ""},
        {{"--dry-run", "--label", "1x=y"}, 2, ""},
        {{"--dry-run", "--label", "site="}, 2, ""},
        {{"--dry-run", "--label", "a=1", "--label", "a=2"}, 2, ""},
        {{"--dry-run", "--bearer-token-file", "/nonexistent/token"}, 2, ""},
        {{"--dry-run", "--once", "extra"}, 2, ""},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = {TARROW_BRIDGE_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv);
        std::string what = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
        EXPECT_EQ(r.out.substr(0, strlen(c.out)), c.out) << what;
        EXPECT_EQ(r.err.substr(0, strlen(c.err)), c.err) << what;
        if (c.status == 2) {
            EXPECT_NE(r.err.find("usage:"), std::string::npos) << what;
        }
    }

    // --dry-run prints what it would post, one JSON document a line, and needs no Alertmanager.
    temp_dir dir;
    server_proc srv = start_server(dir.path);
    server_guard srv_guard{srv};
    ASSERT_GT(srv.port, 0);
    ASSERT_EQ(run_program({flicket_path(), std::to_string(srv.port), "127.0.0.1", "warning",
                           "LOAD", "busy"}).status, 0);
    run_result r = run_program({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "--dry-run",
                                "--once", "--label", "site=x"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::size_t nl = r.out.find('\n');
    ASSERT_NE(nl, std::string::npos);
    json posted = json::parse(r.out.substr(0, nl), nullptr, false);
    ASSERT_TRUE(posted.is_array()) << r.out;
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0]["labels"]["alertname"], "LOAD");
    EXPECT_EQ(posted[0]["labels"]["site"], "x");
    EXPECT_EQ(r.out.size(), nl + 1) << "no silence without an acknowledgement";
    EXPECT_EQ(stop_server(srv), 0);

    // An Alertmanager that does not answer: logged, and --once says so by its status.
    int dead = free_port();
    r = run_program({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "--once",
                     "--alertmanager", "http://127.0.0.1:" + std::to_string(dead)});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("127.0.0.1:" + std::to_string(dead)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("board 127.0.0.1:" + std::to_string(srv.port) + " lost"),
              std::string::npos) << r.err;

    // Credentials for a proxy in front of Alertmanager travel with every request.
    const struct {
        const char *option, *secret, *header;
    } auths[] = {{"--bearer-token-file", "s3cret\n", "Authorization: Bearer s3cret\r\n"},
                 {"--basic-auth-file", "user:pw\n", "Authorization: Basic dXNlcjpwdw==\r\n"}};
    for (const auto &a : auths) {
        scripted_http proxy;
        ASSERT_GT(proxy.port, 0);
        std::ofstream(dir.path + "/secret") << a.secret;
        r = run_program({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "--once",
                         a.option, dir.path + "/secret", "--alertmanager",
                         "http://127.0.0.1:" + std::to_string(proxy.port) + "/am/"});
        EXPECT_TRUE(proxy.wait_for("POST /am/api/v2/alerts", 1000)) << a.option << r.err;
        std::vector<std::string> requests = proxy.requests();
        EXPECT_FALSE(requests.empty());
        for (const std::string &req : requests)
            EXPECT_NE(req.find(a.header), std::string::npos) << a.option << ": " << req;
    }
}

TEST(bridge_http, a_refusing_flooding_or_tricky_alertmanager)
{
    temp_dir dir;
    server_proc srv = start_server(dir.path);
    server_guard srv_guard{srv};
    ASSERT_GT(srv.port, 0);
    // A key with ESC and a colour, which must reach stderr as stand-ins only.
    ASSERT_EQ(run_program({flicket_path(), std::to_string(srv.port), "127.0.0.1", "critical",
                           "K\x1b[31m", "red"}).status, 0);
    ASSERT_TRUE(wait_for_log(dir.path, " Y red"));
    std::string board = "127.0.0.1:" + std::to_string(srv.port);
    // A silence of this bridge for an alert that is not acknowledged: to be expired, by an id
    // that would change the path if it went into the URL as it is.
    json silence = {{"id", "-/quit"},
                    {"status", {{"state", "active"}}},
                    {"createdBy", "tarrow-bridge"},
                    {"comment", "acknowledged on the tarrow board " + board},
                    {"startsAt", rfc3339(time(nullptr) - 60)},
                    {"endsAt", rfc3339(time(nullptr) + 3600)},
                    {"matchers", json::array({{{"name", "alertname"}, {"value", "GONE"}},
                                              {{"name", "instance"}, {"value", "h"}}})}};
    const std::string sixteen_mib(16u << 20, '['), four_mib(4u << 20, '[');

    const struct {
        const char *name;
        const char *request;        // the request line answered specially
        http_reply reply;           // its answer; every other request gets 200 and "[]"
        int status;                 // of tarrow-bridge --once
        const char *in_err;         // on stderr
    } cases[] = {
        {"listing refused", "GET /api/v2/alerts ", {400, "bad \x1b[2J request\x07\n"}, 1,
         "/api/v2/alerts: HTTP 400: bad ^[[2J request^G"},
        {"post refused", "POST /api/v2/alerts ", {422, "invalid"}, 1, "HTTP 422: invalid"},
        {"silences refused", "GET /api/v2/silences ", {403, ""}, 1,
         "/api/v2/silences: HTTP 403\n"},
        {"16 MiB of [", "GET /api/v2/alerts ", {200, sixteen_mib}, 1,
         "a reply longer than 8388608 bytes"},
        {"4 MiB of [", "GET /api/v2/silences ", {200, four_mib}, 1,
         "/api/v2/silences: JSON nested deeper than 32 levels"},
        {"not JSON", "GET /api/v2/alerts ", {200, "<html>"}, 1, "/api/v2/alerts: not JSON"},
        {"a silence to expire", "GET /api/v2/silences ", {200, json::array({silence}).dump()}, 0,
         "silence expired for h GONE: -/quit\n"},
    };
    for (const auto &c : cases) {
        scripted_http am([&](const std::string &line) {
            return line.rfind(c.request, 0) == 0 ? c.reply : http_reply{200, "[]"};
        });
        ASSERT_GT(am.port, 0);
        run_result r = run_program({TARROW_BRIDGE_PATH, "-p", std::to_string(srv.port), "--once",
                                    "--alertmanager", am.url}, "", {}, 30000);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.in_err), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find("fired " + host_field_text() + " K^[[31m (critical)\n"),
                  std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << c.name << ": " << r.err;
        if (c.status == 0) {
            std::vector<std::string> requests = am.requests();
            bool deleted = false;
            for (const std::string &req : requests)
                deleted |= req.rfind("DELETE /api/v2/silence/-%2Fquit HTTP/1.1\r\n", 0) == 0;
            EXPECT_TRUE(deleted) << "the silence id was not escaped in the path";
        }
    }
    // The floods were refused before they took memory: the largest child stayed small. Under
    // AddressSanitizer every process is many times its size, so only the plain build tells.
#ifndef __SANITIZE_ADDRESS__
    struct rusage ru;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &ru), 0);
    EXPECT_LT(ru.ru_maxrss, 160 * 1024) << "kilobytes";
#endif
}

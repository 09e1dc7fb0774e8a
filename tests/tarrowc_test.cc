// tarrowc end to end: each command against a running tarrowd, alerts raised with flicket.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/record.h"
#include "common/text.h"
#include "tests/harness.h"
#include "tests/net_helpers.h"
#include "tests/records.h"

namespace {

class tarrowc_e2e : public ::testing::Test {
protected:
    temp_dir dir;
    server_proc srv;
    std::string host = host_field_text();

    void SetUp() override
    {
        srv = start_server(dir.path);
        ASSERT_GT(srv.port, 0) << read_log(dir.path);
    }
    void TearDown() override { EXPECT_EQ(stop_server(srv), 0); }

    void raise(const std::string &severity, const std::string &key, const std::string &text)
    {
        run_result r = run_program(
            {flicket_path(), std::to_string(srv.port), "127.0.0.1", severity, key, text});
        ASSERT_EQ(r.status, 0) << r.out;
        // flicket closes at once; wait until the server has logged the alert.
        ASSERT_TRUE(wait_for_log(dir.path, pad(key, 14) + " Y " + text.substr(0, 20)));
    }
    // An alert whose text holds bytes flicket passes as they are; waits until it is stored.
    void raise_raw(const std::string &key, const std::string &text)
    {
        run_result r = run_program(
            {flicket_path(), std::to_string(srv.port), "127.0.0.1", "critical", key, text});
        ASSERT_EQ(r.status, 0) << r.out;
        ASSERT_TRUE(wait_for_log(dir.path, pad(key, 14) + " Y "));
    }
    run_result tarrowc(std::vector<std::string> args)
    {
        args.insert(args.begin(), {tarrowc_path(), "-p", std::to_string(srv.port)});
        return run_program(args);
    }
};

} // namespace

TEST_F(tarrowc_e2e, list_prints_every_alert_whole)
{
    run_result r = tarrowc({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "no alerts at present\n");
    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    raise("critical", "DISK01", "disk full on /var");
    raise("warning", "LOAD", "load high");
    std::string long_text(100, 'L');   // a line longer than the server's 127
    raise("info", "NOTE", long_text);
    r = tarrowc({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < r.out.size();) {
        std::size_t nl = r.out.find('\n', at);
        lines.push_back(r.out.substr(at, nl - at));
        at = nl + 1;
    }
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].substr(14), "  " + pad(host, 15) + " " + pad("DISK01", 14) +
                                       " AC  disk full on /var");
    EXPECT_EQ(lines[1].substr(14), "  " + pad(host, 15) + " " + pad("LOAD", 14) + " AW  load high");
    EXPECT_EQ(lines[2].substr(14), "  " + pad(host, 15) + " " + pad("NOTE", 14) + " IO  " + long_text);

    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0);
    std::size_t tab = r.out.find('\t');
    ASSERT_EQ(tab, 14u);
    EXPECT_EQ(r.out.substr(tab, r.out.find('\n') - tab), "\t" + host + "\tDISK01\tAC\tdisk full on /var");
    EXPECT_NE(r.out.find("\tNOTE\tIO\t" + long_text + "\n"), std::string::npos);

    // --filter keeps the alerts an expression matches; a bad one is refused with its reason.
    r = tarrowc({"list", "--tsv", "--filter", "severity!=info key=~^(disk|load)"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\tDISK01\t"), std::string::npos);
    EXPECT_NE(r.out.find("\tLOAD\t"), std::string::npos);
    EXPECT_EQ(r.out.find("\tNOTE\t"), std::string::npos);
    r = tarrowc({"list", "--filter", "colour=red"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown field 'colour'"), std::string::npos) << r.err;
}

TEST_F(tarrowc_e2e, show_ack_delete_and_missing_alerts)
{
    raise("critical", "K1", "first");
    raise("warning", "K2", "second");
    raise("critical", "K3", "third");
    raise("critical", "K4", "fourth");

    run_result r = tarrowc({"show", host, "K1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 15 + host.size() + 1), pad("Host:", 15) + host + "\n");
    EXPECT_NE(r.out.find("\nKey:           K1\nState:         critical\nRaised:        "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" ago)\nPersistent:    yes\nText:          first\nOptional data: \n"),
              std::string::npos)
        << r.out;

    r = tarrowc({"ack", host, "K1"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string acked = "acknowledged " + host + " K1 by ";
    EXPECT_EQ(r.out.substr(0, acked.size()), acked) << r.out;
    EXPECT_NE(tarrowc({"list", "--tsv"}).out.find("\tK1\tAK\tfirst\n"), std::string::npos);

    r = tarrowc({"delete", host, "K2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted " + host + " K2\n");
    EXPECT_EQ(tarrowc({"list", "--tsv"}).out.find("\tK2\t"), std::string::npos);

    // Through K3: K1 and K3 go, K4 stays.
    r = tarrowc({"delete-through", host, "K3"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string listed = tarrowc({"list", "--tsv"}).out;
    EXPECT_EQ(listed.find("\tK1\t"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("\tK3\t"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\tK4\t"), std::string::npos) << listed;
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: 2 alerts KK deleted, 2 recovered by compress\n"));

    // Every command on a missing alert: "no such alert", status 1, nothing done.
    std::string before = read_log(dir.path);
    for (const char *cmd : {"show", "ack", "delete", "delete-through"}) {
        r = tarrowc({cmd, host, "GONE"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "tarrowc: no such alert: " + host + " GONE\n") << cmd;
        EXPECT_EQ(r.out, "") << cmd;
    }
    EXPECT_EQ(read_log(dir.path).find("CONSOLE COMMAND", before.size()), std::string::npos);
}

// An ack with who, note and expiry: shown by show and list --json, kept across --keep-table
// restarts, expired back to its severity within a second of its time (also when that time
// passed while the server was down), and un-acknowledged with who did it.
TEST_F(tarrowc_e2e, ack_with_note_expiry_restart_and_unack)
{
    ASSERT_EQ(stop_server(srv), 0);
    srv = start_server(dir.path, {"--keep-table"});
    ASSERT_GT(srv.port, 0) << read_log(dir.path);
    raise("critical", "DISKFULL", "disk full");
    raise("warning", "SHORT", "short one");
    raise("info", "DOWN", "expires while down");

    run_result r = tarrowc({"ack", "--by", "ops1", "--note", "disk swap at 14:00", "--for", "2h",
                            host, "DISKFULL"});
    ASSERT_EQ(r.status, 0) << r.err;
    time_t until = time(nullptr) + 7200;
    auto shown = [&] {
        run_result s = tarrowc({"show", host, "DISKFULL"});
        EXPECT_EQ(s.status, 0) << s.err;
        EXPECT_NE(s.out.find("\nState:         acknowledged critical\n"), std::string::npos)
            << s.out;
        EXPECT_NE(s.out.find("\nAcked by:      ops1\n"), std::string::npos) << s.out;
        EXPECT_NE(s.out.find("\nNote:          disk swap at 14:00\n"), std::string::npos) << s.out;
        std::size_t at = s.out.find("\nAcked until:   ");
        ASSERT_NE(at, std::string::npos) << s.out;
        long long shown_until = 0;
        struct tm tm {};
        ASSERT_NE(strptime(s.out.c_str() + at + 16, "%Y-%m-%d %H:%M:%S", &tm), nullptr);
        tm.tm_isdst = -1;
        shown_until = mktime(&tm);
        EXPECT_LE(std::llabs(shown_until - until), 2);
    };
    shown();
    nlohmann::json j = nlohmann::json::parse(tarrowc({"list", "--json"}).out);
    ASSERT_TRUE(j.is_array() && !j.empty());
    EXPECT_EQ(j[0]["state"], "acked");
    EXPECT_EQ(j[0]["severity"], "critical");
    EXPECT_EQ(j[0]["acknowledged"]["by"], "ops1");
    EXPECT_EQ(j[0]["acknowledged"]["note"], "disk swap at 14:00");

    // Two short acks: one expires while the server runs, one while it is stopped.
    ASSERT_EQ(tarrowc({"ack", "--for", "2s", host, "SHORT"}).status, 0);
    ASSERT_EQ(tarrowc({"ack", "--by", "ops2", "--for", "3s", host, "DOWN"}).status, 0);
    const time_t down_ends = time(nullptr) + 3;
    const std::string expired = "AINF: Acknowledgement expired " + pad(host, 15) + " " +
                                pad("SHORT", 14) + " AW by ";
    ASSERT_TRUE(wait_for_log(dir.path, expired, 10000));
    // The line's time stamp ("Mon Dec  7 19:39:39 2026 AINF: ...") is at most a second after
    // the expiry the ack line names ("until 20261207 19:39:39").
    std::string log = read_log(dir.path);
    std::size_t ack_at = log.find("AINF: Acknowledged " + pad(host, 15) + " " + pad("SHORT", 14));
    std::size_t exp_at = log.find(expired);
    ASSERT_NE(ack_at, std::string::npos);
    std::size_t until_at = log.find(" until ", ack_at) + 16;
    std::size_t line_at = log.rfind('\n', exp_at) + 1;
    auto seconds = [&](std::size_t at) {
        return std::stoi(log.substr(at, 2)) * 3600 + std::stoi(log.substr(at + 3, 2)) * 60 +
               std::stoi(log.substr(at + 6, 2));
    };
    int late = (seconds(line_at + 11) - seconds(until_at) + 86400) % 86400;
    EXPECT_LE(late, 1) << log;
    EXPECT_NE(tarrowc({"list", "--tsv"}).out.find("\tSHORT\tAW\t"), std::string::npos);

    ASSERT_EQ(stop_server(srv), 0);
    // The second ack's end passes while the server is stopped.
    for (int i = 0; i < 100 && time(nullptr) <= down_ends; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    srv = start_server(dir.path, {"--keep-table"});
    ASSERT_GT(srv.port, 0) << read_log(dir.path);
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: Acknowledgement expired " + pad(host, 15) + " " +
                                           pad("DOWN", 14) + " IO by ops2\n",
                             5000));
    shown();

    r = tarrowc({"unack", "--by", "ops3", host, "DISKFULL"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: Unacknowledged " + pad(host, 15) + " " +
                                           pad("DISKFULL", 14) + " AC by ops3 (acknowledged by "
                                           "ops1)\n"));
    r = tarrowc({"unack", host, "DISKFULL"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarrowc: server error: *ERR: Alert is not acknowledged\n");
    r = tarrowc({"ack", host, "GONE"});
    EXPECT_EQ(r.err, "tarrowc: no such alert: " + host + " GONE\n");
}

TEST_F(tarrowc_e2e, usage_and_connection_errors)
{
    struct {
        std::vector<std::string> args;
        int status;
        std::string out_prefix, err_prefix;
    } cases[] = {
        {{tarrowc_path(), "--version"}, 0, "tarrowc 1.0.2\n", ""},
        {{tarrowc_path(), "--help"}, 0, "usage: tarrowc", ""},
        {{tarrowc_path(), "frobnicate"}, 2, "", "tarrowc: unknown command 'frobnicate'\ntry 'tarrowc --help'\n"},
        {{tarrowc_path(), "show", "onlyhost"}, 2, "", "tarrowc: wrong number of arguments"},
        {{tarrowc_path(), "-p", "99999", "list"}, 2, "", "tarrowc: Illegal port number: 99999\n"},
        {{tarrowc_path(), "-p", "+80", "list"}, 2, "", "tarrowc: Illegal port number: +80\n"},
        {{tarrowc_path(), "-p", "127.0.0.1", "list"}, 2, "",
         "tarrowc: Illegal port number: 127.0.0.1\n"},
        {{tarrowc_path(), "-p"}, 2, "", "tarrowc: option -p needs a value"},
        {{tarrowc_path(), "-x", "list"}, 2, "", "tarrowc: unknown option -x"},
        {{tarrowc_path(), "-a", "no_such!host", "list"}, 2, "",
         "tarrowc: Improperly formatted network address, no_such!host\n"},
        {{tarrowc_path(), "-a", "::1", "-p", "1", "ping"}, 2, "",
         "tarrowc: ::1 port 1: cannot connect to ::1 port 1: Connection refused\n"},
        {{tarrowc_path(), "-a", "9003", "ping"}, 2, "",
         "tarrowc: Improperly formatted network address, 9003\ntry 'tarrowc --help'\n"},
        {{tarrowc_path(), "-p", "1", "check"}, 3,
         "TARROW UNKNOWN - 127.0.0.1 port 1: cannot connect to 127.0.0.1 port 1: Connection "
         "refused\n", ""},
        {{tarrowc_path(), "-a", "999.1.1.1", "watch"}, 2, "",
         "tarrowc: Improperly formatted network address, 999.1.1.1\n"},
        {{tarrowc_path(), "-p", "1"}, 2, "", "tarrowc: watch needs a terminal"},
        {{tarrowc_path(), "-t", "0", "list"}, 2, "", "tarrowc: invalid time-out '0'"},
        {{tarrowc_path(), "--json", "--tsv", "list"}, 2, "", "tarrowc: --tsv and --json exclude"},
        {{tarrowc_path(), "--json", "show", "h", "k"}, 2, "", "tarrowc: --tsv and --json go with"},
        {{tarrowc_path(), "-p", "1", "ping"}, 2, "",
         "tarrowc: 127.0.0.1 port 1: cannot connect to 127.0.0.1 port 1: Connection refused\n"},
        {{tarrowc_path(), "-a", "127.0.0.1", "-p", "1", "ack", "h", "k"}, 2, "",
         "tarrowc: cannot connect to 127.0.0.1 port 1: Connection refused\n"},
        {{tarrowc_path(), "ack", "--for", "2x", "h", "k"}, 2, "", "tarrowc: invalid --for '2x'"},
        {{tarrowc_path(), "ack", "--for", "1h", "--until", "23:00", "h", "k"}, 2, "",
         "tarrowc: --for and --until exclude each other"},
        {{tarrowc_path(), "ack", "--until", "2026-02-30 10:00", "h", "k"}, 2, "",
         "tarrowc: invalid --until"},
        {{tarrowc_path(), "ack", "--by", "sixteen-letters!", "h", "k"}, 2, "",
         "tarrowc: --by takes a name of 1 to 15"},
        {{tarrowc_path(), "--note", "n", "unack", "h", "k"}, 2, "",
         "tarrowc: --note goes with ack and delete, --for and --until with ack only"},
        {{tarrowc_path(), "delete", "--for", "1h", "h", "k"}, 2, "",
         "tarrowc: --note goes with ack and delete, --for and --until with ack only"},
    };
    for (const auto &c : cases) {
        run_result r = run_program(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << r.err;
        EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix) << c.args.back();
        EXPECT_EQ(r.err.substr(0, c.err_prefix.size()), c.err_prefix) << c.args.back();
    }

    // The check of a live board: OK empty, CRITICAL with an unacknowledged critical.
    run_result r = tarrowc({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "TARROW OK - 0 on board, 0 waiting, 0 critical, 0 warning | board=0 "
                     "waiting=0 critical=0 warning=0 info=0 acked=0\n");
    raise_raw("CHECK", "disk full");
    r = tarrowc({"check"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out.substr(0, 47), "TARROW CRITICAL - 1 on board, 0 waiting, 1 crit") << r.out;
}

TEST_F(tarrowc_e2e, server_texts_reach_the_terminal_as_stand_ins)
{
    // ESC with a colour, an OSC window title ended by BEL, BEL, CR, backspace, the C1 byte
    // CSI, a tab, and a '^' that travels as a line break.
    raise_raw("CTRL", "a\x1b[31mred\x1b]0;owned\x07 bel\x07 cr\rX bs\b csi\x9b" "2J\ttab hat^end");
    const std::string shown = "a^[[31mred^[]0;owned^G bel^G cr^MX bs^H csi\\x9b2J^Itab hat^end";
    auto clean = [](const std::string &out) {
        for (char ch : out)
            if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\n' && ch != '\t') || ch == 0x7f ||
                (static_cast<unsigned char>(ch) >= 0x80 && static_cast<unsigned char>(ch) < 0xa0))
                return false;
        return true;
    };

    run_result r = tarrowc({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" AC  " + shown + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(clean(r.out)) << r.out;

    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\t" + host + "\tCTRL\tAC\t" + shown + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\t'), 4) << "a tab in a text is no column";
    EXPECT_TRUE(clean(r.out)) << r.out;

    r = tarrowc({"show", host, "CTRL"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\nText:          " + shown + "\n"), std::string::npos) << r.out;
    EXPECT_TRUE(clean(r.out)) << r.out;

    raise("warning", "PLAIN", "plain text");
    r = tarrowc({"list", "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(clean(r.out)) << r.out;
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    ASSERT_TRUE(j.is_array());
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["host"], host);
    EXPECT_EQ(j[0]["key"], "CTRL");
    EXPECT_EQ(j[0]["state"], "critical");
    EXPECT_EQ(j[0]["text"], shown);
    EXPECT_EQ(j[0]["persistent"], true);
    std::string dt = j[1]["datetime"];
    EXPECT_EQ(dt.size(), 16u);
    EXPECT_EQ(dt[10], 'T') << dt;
    EXPECT_EQ(j[1]["state"], "warning");
    EXPECT_EQ(j[1]["text"], "plain text");

    r = tarrowc({"ping"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.1 port " + std::to_string(srv.port) + ": tarrowd answers, 2 alerts\n");
}

namespace {

// A console reply buffer of the given type, its data area full of listing lines.
std::string
fake_reply(const char *type)
{
    std::string r(CONSOLE_REPLY_SIZE, '\0');
    memcpy(r.data(), "CONSOLE99_127 ", LEN_PRODUCTID);
    r[OFF_MSGTYPE] = type[0];
    r[OFF_MSGTYPE + 1] = type[1];
    std::string line = "20240102 03:04 h               k              AC t^", data;
    while (data.size() + line.size() <= MAX_DATA_TEXT)
        data += line;
    memcpy(r.data() + OFF_DATA_LENGTH, std::to_string(data.size()).data(), 4);
    memcpy(r.data() + OFF_DATA, data.data(), data.size());
    r[OFF_REPLY_NEWLINE] = '\n';
    return r;
}

// A misbehaving server on 127.0.0.1 for one connection: after the request it sends continuation
// replies without end, one short record, or a "done" reply to a listing, and then nothing.
// Bounded: at most 50000 replies (200 MB) and 8 seconds in all.
enum bad_mode { ENDLESS, SHORT, WRONG_TYPE };

void
misbehave(int fd, bad_mode mode)
{
    read_exact(fd, ALERT_RECORD_SIZE, 3000);
    long end = monotonic_ms() + 8000;
    if (mode == ENDLESS) {
        std::string df = fake_reply("DF");
        for (int i = 0; i < 50000 && monotonic_ms() < end; i++)
            if (!send_all(fd, df))
                break;
    } else {
        send_all(fd, mode == SHORT ? std::string(ALERT_RECORD_SIZE - 1, 'x') + "\n"
                                   : fake_reply("--"));
        struct pollfd q = {fd, POLLIN, 0};
        poll(&q, 1, 8000);   // until the client goes away
    }
}

} // namespace

TEST(tarrowc_bounds, endless_or_short_replies_end_in_an_error)
{
    struct {
        bad_mode mode;
        std::string error;
    } cases[] = {
        {ENDLESS, "tarrowc: the server sent more than 16 replies to one request\n"},
        {SHORT, "tarrowc: the server sent a reply of 234 bytes, not 4184\n"},
        {WRONG_TYPE, "tarrowc: the server answered the listing with a reply of type '--'\n"},
    };
    for (const auto &c : cases) {
        for (const char *cmd : {"list", "ping"}) {
            scripted_server srv([&c](int fd) { misbehave(fd, c.mode); });
            auto start = std::chrono::steady_clock::now();
            run_result r = run_program({tarrowc_path(), "-p", std::to_string(srv.port), "-t", "5", cmd});
            auto took = std::chrono::steady_clock::now() - start;
            EXPECT_EQ(r.status, 2) << cmd << " " << r.err;
            EXPECT_LT(took, std::chrono::seconds(5)) << cmd;
            std::string err = std::string(cmd) == "ping"
                                  ? "tarrowc: 127.0.0.1 port " + std::to_string(srv.port) + ": " +
                                        c.error.substr(9)
                                  : c.error;
            EXPECT_EQ(r.err, err) << cmd;
            EXPECT_EQ(r.out, "") << cmd;
        }
    }
    // The largest child so far stayed small: the replies were not gathered without end. Under
    // AddressSanitizer every process is many times its size (and a child counts the test
    // binary's pages from before its exec), so only the plain build can tell.
#ifndef __SANITIZE_ADDRESS__
    struct rusage ru;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &ru), 0);
    EXPECT_LT(ru.ru_maxrss, 64 * 1024) << "kilobytes";
#endif
}

namespace {

// Raises alerts of host web1 over one connection, each acknowledged before the next.
void
raise_acked(int port, const std::vector<std::pair<std::string, std::string>> &alerts)
{
    int fd = connect_local(port);
    ASSERT_GE(fd, 0);
    for (const auto &[key, type] : alerts) {
        ASSERT_TRUE(send_all(fd, make_alert("GENALERT", "web1", key, type, 'Y', "text of " + key)));
        ASSERT_EQ(read_exact(fd, ALERT_RECORD_SIZE).size(), ALERT_RECORD_SIZE) << key;
    }
    close(fd);
}

} // namespace

// The operator's case: 80 warnings, then a critical DISKFULL, on a board of the default size.
// The critical waits in the overflow file, and every view shows it.
TEST(tarrowc_board, critical_behind_a_full_board_is_seen_everywhere)
{
    temp_dir dir;
    server_proc srv = start_server(dir.path);
    server_guard guard{srv};
    ASSERT_GT(srv.port, 0);
    std::vector<std::pair<std::string, std::string>> load;
    for (int i = 0; i < 80; i++)
        load.emplace_back("W" + std::to_string(i), "AW");
    load.emplace_back("DISKFULL", "AC");
    raise_acked(srv.port, load);
    std::string port = std::to_string(srv.port);

    run_result r = run_program({tarrowc_path(), "-p", port, "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t heading = r.out.find("waiting behind the board:\n");
    ASSERT_NE(heading, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("DISKFULL       AC  text of DISKFULL", heading), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 81 + 1);

    r = run_program({tarrowc_path(), "-a", "localhost", "-p", port, "list", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json list = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(list.is_array()) << r.out;
    ASSERT_EQ(list.size(), 81u);
    EXPECT_EQ(list[49]["place"], "board");
    EXPECT_EQ(list[50]["place"], "waiting");
    EXPECT_EQ(list[50]["key"], "W50");
    EXPECT_EQ(list[80]["key"], "DISKFULL");
    EXPECT_EQ(list[80]["state"], "critical");
    EXPECT_EQ(list[80]["place"], "waiting");

    r = run_program({tarrowc_path(), "-p", port, "stats"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {"\ntable_alerts 50\n", "\nwaiting_records 31\n",
                             "\nwaiting_raise 31\n", "\nreceived_critical 1\n",
                             "\nreceived_warning 80\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    r = run_program({tarrowc_path(), "-p", port, "stats", "--json"});
    nlohmann::json stats = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_EQ(stats["waiting_records"], 31) << r.out;

    // The bridge tells Alertmanager of the critical, marked as waiting.
    const std::string bridge = std::string(BIN_DIR) + "/tarrow-bridge";
    r = run_program({bridge, "-p", port, "--once", "--dry-run"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json posted = nlohmann::json::parse(r.out.substr(0, r.out.find('\n')), nullptr, false);
    ASSERT_TRUE(posted.is_array()) << r.out;
    EXPECT_EQ(posted.size(), 81u);
    bool found = false;
    for (const auto &a : posted)
        if (a["labels"]["alertname"] == "DISKFULL") {
            found = true;
            EXPECT_EQ(a["labels"]["severity"], "critical");
            EXPECT_EQ(a["annotations"]["place"], "waiting");
        }
    EXPECT_TRUE(found) << r.out;

    // Once room is made, DISKFULL moves onto the board: same identity, place board.
    raise_acked(srv.port, {{"W0", "AK"}});
    r = run_program({tarrowc_path(), "-p", port, "list", "--json"});
    list = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(list.is_array()) << r.out;
    EXPECT_EQ(list[49]["key"], "W50");
    EXPECT_EQ(list[49]["place"], "board");
}

// A board of 5000 holds 3000 distinct alerts, and the console lists them all within a second.
TEST(tarrowc_board, large_board_is_listed_whole_and_quickly)
{
    temp_dir dir;
    server_proc srv = start_server(dir.path, {"--table-size", "5000"});
    server_guard guard{srv};
    ASSERT_GT(srv.port, 0);
    int fd = connect_local(srv.port);
    ASSERT_GE(fd, 0);
    std::string batch;
    for (int i = 0; i < 3000; i++)
        batch += make_alert("GENALERT", "h" + std::to_string(i % 40), "k" + std::to_string(i),
                            "AW", i == 2999 ? 'Y' : 'N', "text " + std::to_string(i));
    ASSERT_TRUE(send_all(fd, batch));
    ASSERT_EQ(read_exact(fd, ALERT_RECORD_SIZE, 10000).size(), ALERT_RECORD_SIZE);
    close(fd);

    auto start = std::chrono::steady_clock::now();
    run_result r = run_program({tarrowc_path(), "-p", std::to_string(srv.port), "list", "--json"});
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json list = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 3000u);
    for (int i = 0; i < 3000; i += 499)
        EXPECT_EQ(list[static_cast<std::size_t>(i)]["key"], "k" + std::to_string(i));
    EXPECT_LT(took, std::chrono::seconds(1));
}

// An alert that waits behind a full board can be shown, acknowledged and deleted: the action
// waits behind its raise (listed as pending) and takes effect, with who and note, in order.
TEST_F(tarrowc_e2e, waiting_alerts_are_shown_and_acted_on)
{
    ASSERT_EQ(stop_server(srv), 0);
    srv = start_server(dir.path, {"--table-size", "1"});
    ASSERT_GT(srv.port, 0);
    raise("critical", "ONBOARD", "first");
    raise("critical", "WAITS", "second");

    // The tsv columns: datetime, host, key, type and text, and "waiting" sixth for an alert
    // behind the board.
    run_result r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::size_t nl = r.out.find('\n');
    ASSERT_NE(nl, std::string::npos) << r.out;
    ASSERT_GE(r.out.size(), nl + 15) << r.out;
    EXPECT_EQ(r.out.substr(14, nl + 1 - 14), "\t" + host + "\tONBOARD\tAC\tfirst\n");
    EXPECT_EQ(r.out.substr(nl + 15), "\t" + host + "\tWAITS\tAC\tsecond\twaiting\n");

    r = tarrowc({"show", host, "WAITS"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Text:          second\n"), std::string::npos) << r.out;
    r = tarrowc({"ack", "--by", "alice", "--note", "on it", host, "WAITS"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = tarrowc({"list", "--json"});
    EXPECT_NE(r.out.find("\"place\": \"waiting\",\n    \"pending\": \"ack pending by alice\""),
              std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"first_seen\": "), std::string::npos) << r.out;

    r = tarrowc({"delete", "--by", "bob", "--note", "dup of WAITS", host, "ONBOARD"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: Deleted " + pad(host, 15) + " " +
                                           pad("ONBOARD", 14) + " AC by bob: dup of WAITS\n"));
    r = tarrowc({"list", "--tsv"});
    EXPECT_NE(r.out.find("\tWAITS\tAK\tsecond\n"), std::string::npos) << r.out;
    r = tarrowc({"list", "--json"});
    EXPECT_NE(r.out.find("\"by\": \"alice\",\n      \"note\": \"on it\""), std::string::npos)
        << r.out;
#ifdef TARROW_HISTORY_PATH
    // The history says who deleted it, and why, from the server's own line.
    r = run_program({TARROW_HISTORY_PATH, "-d", dir.path, "--key", "ONBOARD"});
    EXPECT_NE(r.out.find("deleted from a console by bob: dup of WAITS"), std::string::npos)
        << r.out << r.err;
#endif
}

// Two boards through one tarrowc: diff finds what differs, ack and delete reach both, list
// says where each alert is, and a board that stops is named with exit status 1 or 2.
TEST(tarrowc_boards, diff_list_and_actions_over_two_boards)
{
    temp_dir da, db;
    server_proc a = start_server(da.path), b = start_server(db.path);
    server_guard ga{a}, gb{b};
    ASSERT_GT(a.port, 0);
    ASSERT_GT(b.port, 0);
    const std::string A = "127.0.0.1:" + std::to_string(a.port);
    const std::string B = "127.0.0.1:" + std::to_string(b.port);
    auto raise = [](const server_proc &s, const std::string &key) {
        run_result r = run_program({flicket_path(), std::to_string(s.port), "127.0.0.1",
                                    "critical", key, "text of " + key});
        ASSERT_EQ(r.status, 0) << r.out;
        ASSERT_TRUE(wait_for_log(s.dir, pad(key, 14) + " Y "));
    };
    auto tarrowc = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {tarrowc_path(), "-a", A, "--board", B});
        return run_program(args);
    };
    raise(a, "BOTH");
    raise(b, "BOTH");
    raise(a, "ONLYA");

    run_result r = tarrowc({"diff"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "TARROW BOARDS WARNING - 1 of 2 alerts differ between A and B | "
                     "divergent=1 alerts=2 boards=2\n" +
                         console_trim(host_field_text()) + " ONLYA: on A only\n");

    // Acknowledged through both: both boards show it so, and they still differ on ONLYA.
    r = tarrowc({"ack", "--by", "ann", "--note", "swap", host_field_text(), "BOTH"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("A (" + A + "): acknowledged"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("B (" + B + "): acknowledged"), std::string::npos) << r.out;
    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\tBOTH\tAK\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tboth\t\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tONLYA\tAC\ttext of ONLYA\tA\ton A only\n"), std::string::npos)
        << r.out;

    // A delete goes to both: done on A, and B not having it is no failure.
    r = tarrowc({"delete", "--by", "ann", host_field_text(), "ONLYA"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("B (" + B + "): no such alert"), std::string::npos) << r.out;
    r = tarrowc({"diff"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "TARROW BOARDS OK - A and B agree on 1 alert | divergent=0 alerts=1 "
                     "boards=2\n");
    r = tarrowc({"list", "--json"});
    nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_array() && j.size() == 1) << r.out;
    EXPECT_EQ(j[0]["boards"], "both");
    EXPECT_TRUE(j[0]["differs"].is_null());
    EXPECT_EQ(j[0]["acknowledged"]["by"], "ann");

    // Board B stops: diff says it cannot be reached, actions and the listing name it.
    EXPECT_EQ(stop_server(b), 0);
    r = tarrowc({"diff"});
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.out.rfind("TARROW BOARDS CRITICAL - cannot reach B (" + B + ")", 0), 0u) << r.out;
    r = tarrowc({"unack", host_field_text(), "BOTH"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("B (" + B + "): cannot reach the board"), std::string::npos) << r.err;
    r = tarrowc({"list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("B (" + B + ")"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("BOTH"), std::string::npos) << r.out;
    r = run_program({tarrowc_path(), "-a", A, "diff"});
    EXPECT_EQ(r.status, 2) << "diff of one board";
}

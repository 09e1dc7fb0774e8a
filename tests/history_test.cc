// tarrow-history against the log of a scripted day of the real tarrowd: the board it rebuilds
// for a moment must be the board tarrowc listed at that moment.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/harness.h"

namespace {

using nlohmann::json;

struct snapshot {
    std::string at;         // local time, "YYYY-MM-DD HH:MM:SS"
    json listed;            // tarrowc list --json then: the board
    std::vector<std::string> waiting;   // the keys it lists as waiting behind the board
};

class history_e2e : public ::testing::Test {
protected:
    temp_dir dir;
    server_proc srv;
    int fd = -1;

    void SetUp() override
    {
        if (std::string(TARROWC_PATH).empty() || std::string(TARROW_HISTORY_PATH).empty())
            GTEST_SKIP() << "tarrowc or tarrow-history is not built";
        srv = start_server(dir.path);
        ASSERT_GT(srv.port, 0) << read_log(dir.path);
        fd = connect_local(srv.port);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        if (srv.pid > 0) {
            EXPECT_EQ(stop_server(srv), 0);
        }
    }

    // A request of a forwarding application; the server's ACK says it has been handled.
    void send(const std::string &host, const std::string &type, const std::string &key,
              const std::string &text = "")
    {
        ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", host, key, type, 'Y', text)));
        ASSERT_EQ(read_exact(fd, 234).size(), 234u) << host << " " << key << " " << type;
    }
    void tarrowc(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv{TARROWC_PATH, "-p", std::to_string(srv.port)};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run_program(argv);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    // The board as tarrowc lists it now, and the time; returns once the clock has moved on
    // to the next second, so that later steps carry later time stamps in the log.
    snapshot snap()
    {
        snapshot s;
        run_result r = run_program({TARROWC_PATH, "-p", std::to_string(srv.port), "list",
                                    "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        json all = json::parse(r.out, nullptr, false);
        s.listed = json::array();
        for (const json &a : all.is_array() ? all : json::array()) {
            if (a.value("place", "") == "waiting")
                s.waiting.push_back(a.value("key", ""));
            else
                s.listed.push_back(a);
        }
        time_t now = time(nullptr);
        char buf[32];
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", localtime(&now));
        s.at = buf;
        for (int i = 0; i < 150 && time(nullptr) <= now; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return s;
    }
};

run_result
history(const std::string &dir, std::vector<std::string> args)
{
    args.insert(args.begin(), {TARROW_HISTORY_PATH, "-d", dir});
    return run_program(args);
}

// What both programs say of an alert; an acknowledged one is "acked" whatever else it says.
std::vector<std::string>
alerts(const json &list)
{
    std::vector<std::string> v;
    if (!list.is_array())
        return {"not a list: " + list.dump()};
    for (const json &a : list) {
        std::string state = a.value("state", "");
        if (state.rfind("ack", 0) == 0)
            state = "acked";
        v.push_back(a.value("host", "") + "|" + a.value("key", "") + "|" + state + "|" +
                    a.value("datetime", "") + "|" + a.value("text", "") + "|" +
                    a["persistent"].dump());
    }
    return v;
}

// The board tarrow-history rebuilds for a moment, and the keys of the alerts it says wait in
// the overflow file.
json
board_at(const std::string &dir, const std::string &at, std::vector<std::string> *waiting)
{
    run_result r = history(dir, {"--at", at, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    json j = json::parse(r.out, nullptr, false);
    if (waiting != nullptr)
        for (const json &w : j["waiting"])
            waiting->push_back(w.value("key", ""));
    return j["alerts"];
}

} // namespace

TEST_F(history_e2e, board_at_each_moment_of_a_scripted_day)
{
    std::vector<snapshot> moments;

    // 1. Three alerts raised.
    send("web1", "AC", "DISK", "disk full");
    send("web1", "AW", "LOAD", "load high");
    send("db1", "IO", "INFO1", "backup done");
    moments.push_back(snap());

    // 2. One raised again with a new text, one acknowledged from the console; the other
    //    acknowledged with a note and an expiry.
    send("web1", "AC", "DISK", "disk still full");
    tarrowc({"ack", "web1", "LOAD"});
    tarrowc({"ack", "--by", "ops1", "--note", "disk swap at 14:00", "--for", "2s", "web1",
             "DISK"});
    moments.push_back(snap());

    // 2b. LOAD un-acknowledged by another operator; DISK's ack expires.
    tarrowc({"unack", "--by", "ops2", "web1", "LOAD"});
    ASSERT_TRUE(wait_for_log(dir.path, "AINF: Acknowledgement expired web1            DISK"
                                       "           AC by ops1\n", 4000));
    moments.push_back(snap());

    // 3. The table fills: B48 takes the info alert's slot, B49 and B50 go to the overflow
    //    file, and the clear of B50 waits behind them.
    for (int i = 1; i <= 50; i++)
        send("bulk", "AC", "B" + std::to_string(i), "bulk " + std::to_string(i));
    send("bulk", "AK", "B50");
    moments.push_back(snap());

    // 4. Slots free up by a sender's clear, a console delete and a delete-through, and the
    //    file is read back: B49 and B50 come in, and the clear removes B50 again.
    send("web1", "AK", "DISK");
    tarrowc({"delete", "bulk", "B1"});
    tarrowc({"delete-through", "bulk", "B3"});
    moments.push_back(snap());

    // 5. A clear-host empties the bulk host.
    send("web1", "AC", "NEW", "new one");
    send("bulk", "KH", "ANY");
    moments.push_back(snap());

    ASSERT_EQ(moments[3].listed.size(), 50u);
    ASSERT_EQ(moments[4].listed.size(), 46u);
    for (const snapshot &m : moments) {
        SCOPED_TRACE(m.at);
        std::vector<std::string> waiting;
        EXPECT_EQ(alerts(board_at(dir.path, m.at, &waiting)), alerts(m.listed));
        if (&m == &moments[3]) {
            EXPECT_EQ(waiting, (std::vector<std::string>{"B49", "B50"}));
            // tarrowc shows what the records will raise: B50's clear waits behind its raise.
            EXPECT_EQ(m.waiting, (std::vector<std::string>{"B49"}));
        } else {
            EXPECT_TRUE(waiting.empty());
            EXPECT_TRUE(m.waiting.empty());
        }
    }

    // The timeline of B50, which went to the file and came back from it.
    run_result r = history(dir.path, {"--host", "bulk", "--key", "B50", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    json events = json::parse(r.out, nullptr, false);
    std::vector<std::string> seen;
    for (const json &e : events)
        seen.push_back(e.value("event", "") + (e.value("replayed", false) ? " replayed" : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"spilled", "queued", "raised replayed",
                                              "cleared replayed"}));

    // DISK's acknowledgement, who and note included, and its expiry; LOAD's un-acknowledge.
    r = history(dir.path, {"--host", "web1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> acks;
    for (const json &e : json::parse(r.out, nullptr, false)) {
        std::string ev = e.value("event", "");
        if (ev == "acknowledged" && e.contains("acknowledged"))
            acks.push_back(e.value("key", "") + " acknowledged by " +
                           e["acknowledged"].value("by", "") + ": " +
                           e["acknowledged"].value("note", ""));
        else if (ev == "ack-expired" || ev == "unacknowledged")
            acks.push_back(e.value("key", "") + " " + ev + " " + e.dump());
    }
    ASSERT_EQ(acks.size(), 4u) << r.out;
    EXPECT_EQ(acks[0].substr(0, 21), "LOAD acknowledged by ");
    EXPECT_EQ(acks[1], "DISK acknowledged by ops1: disk swap at 14:00");
    EXPECT_EQ(acks[2].find("LOAD unacknowledged"), 0u);
    EXPECT_NE(acks[2].find("\"unacknowledged_by\":\"ops2\""), std::string::npos) << acks[2];
    EXPECT_EQ(acks[3].find("DISK ack-expired"), 0u);
    EXPECT_NE(acks[3].find("\"acknowledged_by\":\"ops1\""), std::string::npos) << acks[3];

    // The same log, its first part gzip-compressed as a log rotation leaves it: the same
    // boards.
    if (access("/bin/gzip", X_OK) != 0 && access("/usr/bin/gzip", X_OK) != 0)
        GTEST_SKIP() << "gzip is not installed";
    temp_dir zipped;
    std::string log = read_log(dir.path);
    std::size_t cut = log.find('\n', log.size() / 2) + 1;
    std::string name = "/log_" + moments[0].at.substr(0, 4) + moments[0].at.substr(5, 2) +
                       moments[0].at.substr(8, 2) + ".log";
    std::ofstream(zipped.path + name, std::ios::binary) << log.substr(0, cut);
    ASSERT_EQ(run_program({"gzip", zipped.path + name}).status, 0);
    std::ofstream(zipped.path + name, std::ios::binary) << log.substr(cut);
    for (const snapshot &m : moments) {
        SCOPED_TRACE(m.at);
        EXPECT_EQ(alerts(board_at(zipped.path, m.at, nullptr)), alerts(m.listed));
    }
}

TEST_F(history_e2e, reads_across_a_rotation_and_says_what_it_cannot_answer)
{
    send("web1", "AC", "DISK", "disk full");
    send("web1", "AW", "LOAD", "load high");
    snapshot before = snap();

    // logrotate without dateext: the day's log becomes .log.1, SIGHUP opens a new one.
    time_t now = time(nullptr);
    char day[16];
    strftime(day, sizeof day, "%Y%m%d", localtime(&now));
    std::string log = dir.path + "/log_" + day + ".log";
    ASSERT_EQ(rename(log.c_str(), (log + ".1").c_str()), 0);
    kill(srv.pid, SIGHUP);
    ASSERT_TRUE(wait_for_log(dir.path, "INFO: Signal 1 (SIGHUP), log file reopened\n"));
    send("db1", "AC", "RAID", "raid degraded");
    send("web1", "AK", "LOAD");
    snapshot after = snap();

    // A log of two days ago: the day between has none.
    time_t two_days = now - 2 * 86400;
    char old_day[16], old_stamp[32], old_iso[16];
    strftime(old_day, sizeof old_day, "%Y%m%d", localtime(&two_days));
    strftime(old_iso, sizeof old_iso, "%Y-%m-%d", localtime(&two_days));
    strftime(old_stamp, sizeof old_stamp, "%a %b %e 12:00:00 %Y", localtime(&two_days));
    std::ofstream(dir.path + "/log_" + old_day + ".log")
        << old_stamp << " ----: Server initialisation beginning\n";

    for (const snapshot *m : {&before, &after}) {
        SCOPED_TRACE(m->at);
        EXPECT_EQ(alerts(board_at(dir.path, m->at, nullptr)), alerts(m->listed));
    }
    // Each file once, oldest first, named with -v.
    run_result r = history(dir.path, {"-v", "--host", "web1", "--key", "LOAD"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string old_log = dir.path + "/log_" + old_day + ".log";
    EXPECT_EQ(r.err.find("tarrow-history: reading " + old_log + "\ntarrow-history: reading " +
                         log + ".1\ntarrow-history: reading " + log + "\n"),
              0u)
        << r.err;
    EXPECT_NE(r.out.find("raised warning: load high"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cleared"), std::string::npos) << r.out;

    // Before the first line: no board, but a reason; a range: a warning, and the day that
    // has no log.
    r = history(dir.path, {"--at", std::string(old_iso) + " 11:59:59"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tarrow-history: no log covers " + std::string(old_iso) +
                         " 11:59:59: history from " + old_iso + " 12:00:00\n");
    r = history(dir.path, {"--since", "-3d", "--host", "db1"});
    EXPECT_EQ(r.status, 0);
    time_t one_day = now - 86400;
    char missing[16];
    strftime(missing, sizeof missing, "%Y-%m-%d", localtime(&one_day));
    EXPECT_EQ(r.err, "tarrow-history: history from " + std::string(old_iso) +
                         " 12:00:00\ntarrow-history: no log for " + missing + "\n");
    EXPECT_NE(r.out.find("raised critical: raid degraded"), std::string::npos) << r.out;
}

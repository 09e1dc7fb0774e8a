// The server's own figures on the wire: a mixed load of known fate, then every counter of the
// summary checked exactly.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <sstream>
#include <string>

#include "common/record.h"
#include "tests/harness.h"

namespace {

// The summary as name and value, asked on a connection of its own.
std::map<std::string, long>
summary(int port)
{
    std::map<std::string, long> out;
    int fd = connect_local(port);
    if (fd < 0)
        return out;
    send_all(fd, make_alert("CONSOLE", "ops", "", "SS", 'Y'));
    std::string reply = read_exact(fd, CONSOLE_REPLY_SIZE);
    close(fd);
    if (reply.size() != CONSOLE_REPLY_SIZE || reply.substr(OFF_MSGTYPE, 2) != "DB")
        return out;
    std::string data = reply.substr(OFF_DATA, reply.find('\0', OFF_DATA) - OFF_DATA);
    std::istringstream in(data);
    std::string line;
    while (std::getline(in, line, '^')) {
        std::size_t sp = line.find(' ');
        if (sp != std::string::npos)
            out[line.substr(0, sp)] = std::stol(line.substr(sp + 1));
    }
    return out;
}

} // namespace

TEST(board, summary_counts_every_fate_of_a_mixed_load)
{
    temp_dir d;
    server_proc s = start_server(d.path, {"--table-size", "3"});
    server_guard g{s};
    ASSERT_NE(s.port, 0);

    int fd = connect_local(s.port);
    ASSERT_GE(fd, 0);
    // Each record asks for an ACK, so each has been handled before the next is sent.
    const struct {
        const char *key, *type;
    } load[] = {
        {"a", "AC"}, {"b", "AW"}, {"c", "IO"},   // stored
        {"b", "AW"},                             // replaced
        {"d", "AW"},                             // the info alert gives way
        {"e", "AC"},                             // the board is full: spilled
        {"e", "AK"},                             // waits behind e's raise: spilled
        {"a", "KA"}, {"x", "LO"}, {"y", "ZZ"},
        {"b", "AK"},                             // cleared: e's raise is replayed, and
                                                 // its clear behind it, needing no slot
    };
    for (const auto &r : load) {
        ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "web1", r.key, r.type, 'Y', "t")));
        ASSERT_EQ(read_exact(fd, ALERT_RECORD_SIZE).size(), ALERT_RECORD_SIZE) << r.key;
    }
    ASSERT_TRUE(send_all(fd, "HELLO from nowhere\n"));     // unknown application
    close(fd);
    int junk = connect_local(s.port);
    ASSERT_GE(junk, 0);
    std::string zero_lines;
    for (int i = 0; i < 100; i++)
        zero_lines += std::string(1, '\0') + "\n";
    ASSERT_TRUE(send_all(junk, zero_lines));
    EXPECT_TRUE(wait_for_log(d.path, "closed, too many empty or unrecognised lines"));
    close(junk);
    ASSERT_TRUE(wait_for_log(d.path, "HELLO from nowhere"));

    std::map<std::string, long> got = summary(s.port);
    std::map<std::string, long> want = {
        {"table_size", 3}, {"table_alerts", 2}, {"table_critical", 0}, {"table_warning", 1},
        {"table_info", 0}, {"table_acknowledged", 1}, {"table_acknowledged_critical", 1},
        {"table_acknowledged_warning", 0}, {"table_acknowledged_info", 0},
        {"waiting_alerts", 0}, {"waiting_critical", 0}, {"waiting_warning", 0},
        {"waiting_info", 0}, {"waiting_acknowledged", 0},
        {"waiting_records", 0}, {"waiting_raise", 0}, {"waiting_clear", 0},
        {"waiting_acknowledge", 0}, {"waiting_clear_host", 0}, {"waiting_console", 0},
        {"waiting_other", 0},
        {"received_critical", 2}, {"received_warning", 3}, {"received_info", 1},
        {"received_clear", 2}, {"received_clear_host", 0}, {"received_acknowledge", 1},
        {"received_log_only", 1}, {"received_unknown_type", 1},
        {"console_requests", 1}, {"shutdown_requests", 0}, {"acks_sent", 11},
        {"stored_new", 5}, {"stored_replaced", 1}, {"info_displaced", 1},
        {"records_spilled", 2}, {"records_replayed", 2},
        {"refused_unknown_data", 1}, {"refused_junk_limit", 1}, {"refused_allow", 0},
        {"refused_no_slot", 0}, {"refused_idle_eviction", 0}, {"log_write_failures", 0},
        {"overflow_append_failures", 0}, {"table_saves", 0}, {"connections_open", 1},
        {"connections_accepted", 3},
    };
    for (const auto &[name, value] : want) {
        ASSERT_TRUE(got.count(name)) << name;
        EXPECT_EQ(got[name], value) << name;
    }
    // The figures that are not counts: present and sane.
    EXPECT_GE(got["waiting_oldest_age_seconds"], 0);
    EXPECT_GT(got["start_time"], 1700000000);
    EXPECT_GE(got["uptime_seconds"], 0);
    EXPECT_EQ(got.size(), want.size() + 3);
}

// The log line parser: every line the board depends on, cut and malformed variants of them.
#include "history/logline.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

const std::string STAMP = "Mon Dec  7 18:52:08 2026 ";

struct parsed {
    line_kind kind;
    log_line line;
};

// Parses a line kept until the next call, as the views of the result point into it.
parsed
parse(const std::string &line)
{
    static stamp_cache cache;
    static std::string text;
    text = line;
    parsed p;
    p.kind = parse_log_line(text.data(), text.size(), cache, p.line);
    return p;
}

std::string
host(const log_line &l)
{
    return std::string(l.host, LEN_HOSTNAME);
}

std::string
key(const log_line &l)
{
    return std::string(l.key, LEN_KEY);
}

std::string
type(const log_line &l)
{
    return std::string(l.msgtype, 2);
}

} // namespace

TEST(history_logline, event_and_console_lines)
{
    struct {
        std::string msg;
        line_kind kind;
        std::string host, key, type, text;
        char persistent;
    } cases[] = {
        // flicket's line: fields filled to width; the last space stands before the empty
        // optional data and is no part of the text.
        {"AINF: vm              20261207 18:52 AC DISKFULL       Y disk is full ",
         line_kind::alert, "vm             ", "DISKFULL      ", "AC", "disk is full", 'Y'},
        {"AINF: vm              20261207 18:52 AW MY KEY         N text  with  spaces  ",
         line_kind::alert, "vm             ", "MY KEY        ", "AW", "text  with  spaces ", 'N'},
        {"AINF: web-server-0001 20261207 18:52 IO KEY-OF-14-CHR Y  ", line_kind::alert,
         "web-server-0001", "KEY-OF-14-CHR ", "IO", "", 'Y'},
        // Cut by the server after 127 characters: all of what is left is text.
        {"AINF: vm              20261207 18:52 AC K              Y " + std::string(68, 'x') +
             "  ",
         line_kind::alert, "vm             ", "K             ", "AC", std::string(68, 'x') + "  ",
         'Y'},
        {"AINF: vm              20261207 18:52 KH K              Y", line_kind::alert,
         "vm             ", "K             ", "KH", "", 'Y'},
        {"AINF: vm              20261207 18:52 AD INFO1          (CONSOLE COMMAND)",
         line_kind::console, "vm             ", "INFO1         ", "AD", "", ' '},
        // A forwarding application that did not fill its fields.
        {"AINF: db1 20261207 18:52 AC LOAD Y load is 12 ", line_kind::alert,
         "db1            ", "LOAD          ", "AC", "load is 12", 'Y'},
        // A console that did not fill its fields names no stored alert.
        {"AINF: db1 20261207 18:52 AC LOAD (CONSOLE COMMAND)", line_kind::other, "", "", "", "",
         ' '},
        // Broken: a field too wide, no persistent flag, a stamp that is no time.
        {"AINF: a-host-name-of-20 20261207 18:52 AC K Y t ", line_kind::unknown, "", "", "", "",
         ' '},
        {"AINF: vm              20261207 18:52 AC DISKFULL       Yes", line_kind::unknown, "", "",
         "", "", ' '},
        {"AINF: vm              2026120x 18:52 AC DISKFULL       Y t ", line_kind::unknown, "",
         "", "", "", ' '},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        parsed p = parse(STAMP + c.msg);
        ASSERT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.line.stamp, 20261207185208LL);
        if (c.host.empty())
            continue;
        EXPECT_EQ(host(p.line), c.host);
        EXPECT_EQ(key(p.line), c.key);
        EXPECT_EQ(type(p.line), c.type);
        EXPECT_EQ(p.line.text, c.text);
        if (c.kind == line_kind::alert) {
            EXPECT_EQ(p.line.persistent, c.persistent);
        }
    }
}

TEST(history_logline, acknowledgement_lines)
{
    parsed p = parse(STAMP + "AINF: Acknowledged web1            DISKFULL       AC by ops1 until "
                             "20261207 20:00:30: disk swap at 14:00");
    ASSERT_EQ(p.kind, line_kind::acknowledged);
    EXPECT_EQ(host(p.line), "web1           ");
    EXPECT_EQ(key(p.line), "DISKFULL      ");
    EXPECT_EQ(type(p.line), "AC");
    EXPECT_EQ(p.line.who, "ops1");
    EXPECT_EQ(p.line.until, 20261207200030LL);
    EXPECT_EQ(p.line.text, "disk swap at 14:00");

    p = parse(STAMP + "AINF: Acknowledged web1            DISKFULL       IO by "
                      "127.0.0.1:4711 until never: ");
    ASSERT_EQ(p.kind, line_kind::acknowledged);
    EXPECT_EQ(p.line.who, "127.0.0.1:4711");
    EXPECT_EQ(p.line.until, 0);
    EXPECT_EQ(p.line.text, "");

    p = parse(STAMP + "AINF: Acknowledgement expired web1            DISKFULL       AW by ops1");
    ASSERT_EQ(p.kind, line_kind::ack_expired);
    EXPECT_EQ(key(p.line), "DISKFULL      ");
    EXPECT_EQ(type(p.line), "AW");
    EXPECT_EQ(p.line.who, "ops1");

    p = parse(STAMP + "AINF: Unacknowledged web1            DISKFULL       AC by ops2 "
                      "(acknowledged by ops1)");
    ASSERT_EQ(p.kind, line_kind::unacknowledged);
    EXPECT_EQ(p.line.who2, "ops2");
    EXPECT_EQ(p.line.who, "ops1");

    // Each broken in one place: a host not filled to width, a severity that is no severity,
    // a time without seconds or no clock shows, no " by ", no colon before the note.
    for (const char *bad : {
             "AINF: Acknowledged web1            DISKFULL       AC by ops1 until 20261207 40:00:30: n",
             "AINF: Acknowledged web1            DISKFULL       AC by ops1 until 20261300 20:00:30: n",
             "AINF: Acknowledged web1 DISKFULL       AC by ops1 until never: n",
             "AINF: Acknowledged web1            DISKFULL       AK by ops1 until never: n",
             "AINF: Acknowledged web1            DISKFULL       AC by ops1 until 20261207 20:00: n",
             "AINF: Acknowledgement expired web1            DISKFULL       AC ops1",
             "AINF: Unacknowledged web1            DISKFULL       AC by ops2",
             "AINF: Acknowledged web1            DISKFULL       AC by ops1 until never",
         }) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(parse(STAMP + bad).kind, line_kind::unknown);
    }
}

TEST(history_logline, server_lines_and_time_stamps)
{
    parsed p = parse(STAMP + "AINF: Manual delete of vm              DISKFULL       (CONSOLE KK)");
    ASSERT_EQ(p.kind, line_kind::kk_delete);
    EXPECT_EQ(key(p.line), "DISKFULL      ");
    p = parse(STAMP + "AINF: 12 alerts KK deleted, 3 recovered by compress");
    ASSERT_EQ(p.kind, line_kind::kk_summary);
    EXPECT_EQ(p.line.count, 12);
    EXPECT_EQ(p.line.count2, 3);
    p = parse(STAMP + "INFO: Restored 17 alerts from alert_table.dat");
    ASSERT_EQ(p.kind, line_kind::table_restored);
    EXPECT_EQ(p.line.count, 17);

    struct {
        std::string msg;
        line_kind kind;
    } cases[] = {
        {"----: Server initialisation beginning", line_kind::server_start},
        {"INFO: TCP-IP Services now available", line_kind::services_up},
        {"WARN: Unable to read records from buffer overflow file, flushing overflow file",
         line_kind::overflow_flushed},
        {"*ERR: To avoid server failure server is flushing memory tables",
         line_kind::table_flushed},
        {"INFO: Shutdown request recieved !", line_kind::other},
        {"WARN: message not found to delete, requested from vm", line_kind::other},
        {"Closing log file, rolling over to a new days log", line_kind::other},
        {"AINF: something new", line_kind::unknown},
        {"hello", line_kind::unknown},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(STAMP + c.msg).kind, c.kind) << c.msg;

    // The failed append has no newline: the next message follows in the same line.
    p = parse(STAMP + "WARN: Unable to store events in buffer file, disk full ?" + STAMP +
              "WARN: Connection from 127.0.0.1:5 closed");
    ASSERT_EQ(p.kind, line_kind::append_failed);
    EXPECT_EQ(std::string(p.line.rest), STAMP + "WARN: Connection from 127.0.0.1:5 closed");

    // Time stamps: day of one and two digits, a new second after a cached one, and broken.
    struct {
        std::string stamp;
        stamp_t want;       // -1: the line is unknown
    } stamps[] = {
        {"Tue Jan  1 00:00:00 2030 ", 20300101000000LL},
        {"Tue Jan  1 00:00:01 2030 ", 20300101000001LL},
        {"Sat Dec 31 23:59:59 2039 ", 20391231235959LL},
        {"Sat Dex 31 23:59:59 2039 ", -1},
        {"Sat Dec 31 24:00:00 2039 ", -1},
        {"Sat Dec 31 23:59:59 2039", -1},
        {"Sat Dec 31 23:59:59 2039:", -1},
    };
    for (const auto &s : stamps) {
        SCOPED_TRACE(s.stamp);
        p = parse(s.stamp + "INFO: x");
        if (s.want < 0) {
            EXPECT_EQ(p.kind, line_kind::unknown);
        } else {
            EXPECT_EQ(p.kind, line_kind::other);
            EXPECT_EQ(p.line.stamp, s.want);
        }
    }
}

TEST(history_logline, user_times)
{
    EXPECT_EQ(parse_user_time("2026-12-07 18:52:08", false, 0), 20261207185208LL);
    EXPECT_EQ(parse_user_time("2026-12-07T18:52:08", false, 0), 20261207185208LL);
    EXPECT_EQ(parse_user_time("2026-12-07 18:52", false, 0), 20261207185200LL);
    EXPECT_EQ(parse_user_time("2026-12-07 18:52", true, 0), 20261207185259LL);
    EXPECT_EQ(parse_user_time("2026-12-07", false, 0), 20261207000000LL);
    EXPECT_EQ(parse_user_time("2026-12-07", true, 0), 20261207235959LL);
    for (const char *bad : {"2026-12-07 18", "2026-13-07 18:52", "2026-12-07X18:52",
                            "2026-12-07 18:60", "2026/12/07", "", "2026-12-07 18:52:08 ",
                            "25:00", "yesterday10:00", "tomorrow", "-2", "-2y", "-h", "10:0",
                            "-100001h", "-99999999999999999999h"})
        EXPECT_EQ(parse_user_time(bad, false, 0), -1) << bad;

    // Times of today, yesterday and before now, from a fixed now in the local zone: the
    // first of March, so that yesterday crosses a month.
    struct tm tm {};
    tm.tm_year = 2027 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 1;
    tm.tm_hour = 9;
    tm.tm_min = 30;
    tm.tm_isdst = -1;
    time_t now = mktime(&tm);
    struct {
        const char *s;
        bool upper;
        stamp_t want;
    } relative[] = {
        {"10:00", false, 20270301100000LL},
        {"10:00", true, 20270301100059LL},
        {"23:59:58", false, 20270301235958LL},
        {"today", false, 20270301000000LL},
        {"yesterday", false, 20270228000000LL},
        {"yesterday", true, 20270228235959LL},
        {"yesterday 22:15", false, 20270228221500LL},
        {"-2h", false, 20270301073000LL},
        {"-45m", false, 20270301084500LL},
        {"-10s", false, 20270301092950LL},
        {"-1d", false, 20270228093000LL},
    };
    for (const auto &r : relative)
        EXPECT_EQ(parse_user_time(r.s, r.upper, now), r.want) << r.s;
}

TEST(history_logline, lines_that_say_where_an_alert_went)
{
    const std::string H = "web1           ", K = "DISKFULL      ";
    struct {
        std::string msg;
        line_kind kind;
        std::string type = {}, who = {}, text = {};
    } cases[] = {
        {"AINF: Spilled " + H + " " + K + " AW to evt_buffer.dat", line_kind::spilled, "AW"},
        {"AINF: Read back " + H + " " + K + " AC from evt_buffer.dat", line_kind::read_back,
         "AC"},
        {"AINF: Displaced " + H + " " + K + " IO for a new alert", line_kind::displaced, "IO"},
        {"AINF: Pending acknowledge " + H + " " + K + " by alice", line_kind::pending, "PA",
         "alice"},
        {"AINF: Pending unacknowledge " + H + " " + K + " by 127.0.0.1:40", line_kind::pending,
         "PU", "127.0.0.1:40"},
        {"AINF: Pending delete " + H + " " + K + " by bob", line_kind::pending, "PD", "bob"},
        {"AINF: Deleted " + H + " " + K + " IO by carol: disk swapped: at 14:00",
         line_kind::deleted, "IO", "carol", "disk swapped: at 14:00"},
        {"AINF: Deleted " + H + " " + K + " AC by carol: ", line_kind::deleted, "AC", "carol"},
        // Broken: a key not filled to width, a severity that is none, a wrong tail.
        {"AINF: Spilled " + H + " DISKFULL AW to evt_buffer.dat", line_kind::unknown},
        {"AINF: Read back " + H + " " + K + " AK from evt_buffer.dat", line_kind::unknown},
        {"AINF: Displaced " + H + " " + K + " IO", line_kind::unknown},
        {"AINF: Pending archive " + H + " " + K + " by bob", line_kind::unknown},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        parsed p = parse(STAMP + c.msg);
        ASSERT_EQ(p.kind, c.kind);
        if (c.kind == line_kind::unknown)
            continue;
        EXPECT_EQ(host(p.line), H);
        EXPECT_EQ(key(p.line), K);
        EXPECT_EQ(type(p.line), c.type);
        EXPECT_EQ(p.line.who, c.who);
        EXPECT_EQ(p.line.text, c.text);
    }

    // The table size, with the facts (a newer server) or only when --table-size was given.
    struct {
        std::string msg;
        line_kind kind;
        int count, facts;
    } sizes[] = {
        {"INFO: The board holds up to 60 alerts", line_kind::board_size, 60, 1},
        {"INFO: The board holds up to 5 alerts (--table-size)", line_kind::board_size, 5, 0},
        {"INFO: The board holds up to 0 alerts", line_kind::other, 0, 0},
        {"INFO: The board holds up to 7 alerts or so", line_kind::other, 7, 0},
    };
    for (const auto &c : sizes) {
        parsed p = parse(STAMP + c.msg);
        ASSERT_EQ(p.kind, c.kind) << c.msg;
        if (c.kind == line_kind::board_size) {
            EXPECT_EQ(p.line.count, c.count);
            EXPECT_EQ(p.line.count2, c.facts);
        }
    }
}

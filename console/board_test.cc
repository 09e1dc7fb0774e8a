// tarrowc's view of the alerts: ages, order, filter, counts, screen widths and JSON.
#include "console/board.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>

#include <nlohmann/json.hpp>

namespace {

console_alert
alert(const std::string &dt, const std::string &host, const std::string &key,
      const std::string &type, const std::string &text, char persistent = '\0')
{
    console_alert a;
    a.datetime = dt;
    a.hostname = host + std::string(15 - host.size(), ' ');
    a.key = key + std::string(14 - key.size(), ' ');
    a.type = type;
    a.text = text;
    a.persistent = persistent;
    return a;
}

time_t
local(int y, int mo, int d, int h, int mi, int s)
{
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

} // namespace

TEST(board, ages_from_the_alerts_local_time)
{
    time_t now = local(2024, 3, 10, 12, 0, 45);
    struct {
        const char *datetime;
        long seconds;
        const char *text;
    } cases[] = {
        {"20240310 12:00", 45, "45s"},
        {"20240310 11:48", 12 * 60 + 45, "12m"},
        {"20240310 09:00", 3 * 3600 + 45, "3h"},
        {"20240308 11:00", 2 * 86400 + 3645, "2d"},
        {"20240310 12:05", 0, "0s"},        // a sender's clock ahead of ours
        {"20240310 24:00", -1, "?"},
        {"2024031012:00 ", -1, "?"},
        {"", -1, "?"},
    };
    for (const auto &c : cases) {
        long s = alert_age_seconds(c.datetime, now);
        EXPECT_EQ(s, c.seconds) << c.datetime;
        EXPECT_EQ(age_text(s), c.text) << c.datetime;
    }
    EXPECT_EQ(iso_datetime("20240310 09:05"), "2024-03-10T09:05");
    EXPECT_EQ(iso_datetime("not a time"), "not a time");
}

TEST(board, ack_durations_and_times)
{
    struct {
        const char *text;
        long long seconds;
    } durations[] = {
        {"90s", 90}, {"45m", 2700}, {"2h", 7200}, {"1d", 86400}, {"1h30m", 5400}, {"120", 120},
        {"", -1}, {"0s", -1}, {"2x", -1}, {"1h30", -1}, {"h", -1}, {"-5m", -1}, {"367d", -1},
    };
    for (const auto &d : durations)
        EXPECT_EQ(parse_duration(d.text), d.seconds) << d.text;

    time_t now = local(2024, 3, 10, 12, 0, 45);
    struct {
        const char *text;
        time_t at;
    } times[] = {
        {"2024-03-11 08:30", local(2024, 3, 11, 8, 30, 0)},
        {"2024-03-11T08:30:15", local(2024, 3, 11, 8, 30, 15)},
        {"14:00", local(2024, 3, 10, 14, 0, 0)},
        {"12:00:30", local(2024, 3, 11, 12, 0, 30)},   // passed today: tomorrow
        {"2024-02-30 10:00", -1}, {"2024-03-11 24:00", -1}, {"14:00 ", -1}, {"14", -1},
        {"2024-03-11 08:30:1x", -1},
    };
    for (const auto &t : times)
        EXPECT_EQ(parse_until(t.text, now), static_cast<long long>(t.at)) << t.text;
}

TEST(board, rows_sort_filter_hide_and_counts)
{
    time_t now = local(2024, 3, 10, 12, 0, 0);
    std::vector<console_alert> alerts = {
        alert("20240310 11:00", "web02", "disk", "AK", "disk full"),
        alert("20240310 11:50", "db1", "load", "AW", "Load high"),
        alert("20240310 11:59", "web01", "oom", "AC", "killed"),
        alert("20240310 11:30", "app", "note", "IO", "deployed"),
        alert("garbage", "web01", "apache", "AC", "no time"),
    };
    struct {
        int order;
        const char *filter;
        bool hide_acked;
        std::vector<int> rows;
    } cases[] = {
        {SORT_TABLE, "", false, {0, 1, 2, 3, 4}},
        {SORT_SEVERITY, "", false, {2, 4, 1, 3, 0}},
        {SORT_AGE, "", false, {2, 1, 3, 0, 4}},   // newest first, no time last
        {SORT_HOST, "", false, {3, 1, 4, 2, 0}},
        {SORT_TABLE, "", true, {1, 2, 3, 4}},
        {SORT_TABLE, "WEB0", false, {0, 2, 4}},   // host, any letter case
        {SORT_TABLE, "load", false, {1}},          // key and text
        {SORT_TABLE, "kill", false, {2}},          // text only
        {SORT_SEVERITY, "web", true, {2, 4}},
        {SORT_TABLE, "nothing like it", false, {}},
        {SORT_TABLE, "state=critical", false, {2, 4}},          // an expression
        {SORT_SEVERITY, "host=~^WEB key!=oom", false, {4, 0}},
        {SORT_TABLE, "critical", false, {2, 4}},                 // a word finds the state
        {SORT_TABLE, "text=\"disk", false, {}},                  // half typed: one word
    };
    for (const auto &c : cases)
        EXPECT_EQ(board_rows(alerts, c.order, c.filter, c.hide_acked, now), c.rows)
            << sort_name(c.order) << " /" << c.filter << "/ " << c.hide_acked;

    console_counts n = console_count_states(alerts);
    EXPECT_EQ(n.total, 5);
    EXPECT_EQ(n.critical, 2);
    EXPECT_EQ(n.warning, 1);
    EXPECT_EQ(n.info, 1);
    EXPECT_EQ(n.acked, 1);

    // Alerts waiting behind the board: after the board's within the order's key (table order:
    // after all of them), counted apart.
    std::vector<console_alert> more = alerts;
    more.push_back(alert("20240310 11:58", "db1", "DISKFULL", "AC", "full"));
    more.push_back(alert("20240310 11:57", "db1", "swap", "AW", "swap"));
    more[5].waiting = more[6].waiting = true;
    EXPECT_EQ(board_rows(more, SORT_TABLE, "", false, now),
              (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(board_rows(more, SORT_SEVERITY, "", false, now),
              (std::vector<int>{2, 4, 5, 1, 6, 3, 0}));
    EXPECT_EQ(board_rows(more, SORT_AGE, "", false, now),
              (std::vector<int>{2, 5, 6, 1, 3, 0, 4}));
    EXPECT_EQ(board_rows(more, SORT_HOST, "", false, now),
              (std::vector<int>{3, 5, 1, 6, 4, 2, 0}));
    EXPECT_EQ(console_count_states(more).total, 5);
    console_counts w = console_count_states(more, true);
    EXPECT_EQ(w.total, 2);
    EXPECT_EQ(w.critical, 1);
    EXPECT_EQ(w.warning, 1);

    // The check a monitoring system runs: the worst unacknowledged severity, waiting or not.
    struct {
        std::vector<console_alert> alerts;
        int status;
        std::string line;
    } checks[] = {
        {more, 2,
         "TARROW CRITICAL - 5 on board, 2 waiting, 3 critical, 2 warning | board=5 waiting=2 "
         "critical=3 warning=2 info=1 acked=1"},
        {{alerts[0], alerts[1], more[6]}, 1,
         "TARROW WARNING - 2 on board, 1 waiting, 0 critical, 2 warning | board=2 waiting=1 "
         "critical=0 warning=2 info=0 acked=1"},
        {{alerts[0], alerts[3]}, 0,
         "TARROW OK - 2 on board, 0 waiting, 0 critical, 0 warning | board=2 waiting=0 "
         "critical=0 warning=0 info=1 acked=1"},
        {{more[5]}, 2,
         "TARROW CRITICAL - 0 on board, 1 waiting, 1 critical, 0 warning | board=0 waiting=1 "
         "critical=1 warning=0 info=0 acked=0"},
    };
    for (const auto &c : checks) {
        check_result r = board_check(c.alerts);
        EXPECT_EQ(r.status, c.status) << c.line;
        EXPECT_EQ(r.line, c.line);
    }
    EXPECT_EQ(board_header(more), "5+2 | crit 2+1 | warn 1+1 | info 1+0 | acked 1");

    // Delete-through counts in table order, whatever the rows show.
    EXPECT_EQ(delete_through_question(alerts, 0, false), "delete web02 disk?");
    EXPECT_EQ(delete_through_question(alerts, 3, false),
              "delete 4 alerts, from web02 disk to app note?");
    EXPECT_EQ(delete_through_question(alerts, 5, false), "");
    EXPECT_EQ(delete_through_question({}, 0, false), "");
}

TEST(board, widths_cut_marks_and_wrapping)
{
    ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    const std::string ellipsis = "\u2026";
    struct {
        std::string text;
        int width;
        bool utf8;
        std::string fitted;
    } cases[] = {
        {"load average high on svc13", 26, true, "load average high on svc13"},
        {"load average high on svc13", 25, true, "load average high on svc" + ellipsis},
        {"load average high on svc13", 25, false, "load average high on svc>"},
        {"caf\xc3\xa9 au lait", 5, true, "caf\xc3\xa9" + ellipsis},
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 4, true, "\xe6\x97\xa5" + ellipsis},   // wide
        {"abc", 0, true, ""},
    };
    for (const auto &c : cases) {
        std::string f = fit_width(c.text, c.width, c.utf8);
        EXPECT_EQ(f, c.fitted) << c.text << " in " << c.width;
        EXPECT_LE(text_width(f, c.utf8), c.width) << c.text;
        EXPECT_EQ(text_width(pad_width(c.text, c.width, c.utf8), c.utf8), c.width) << c.text;
    }

    std::vector<std::string> want = {"disk full on ", "/var/lib/mysql ", "and more"};
    EXPECT_EQ(wrap_text("disk full on /var/lib/mysql and more", 15, true), want);
    want = {"abcdefghij", "klmnopqrst", "uv"};   // no blank to break at
    EXPECT_EQ(wrap_text("abcdefghijklmnopqrstuv", 10, false), want);
    EXPECT_EQ(wrap_text("", 10, false), std::vector<std::string>{""});
    setlocale(LC_CTYPE, "C");
}

TEST(board, json_is_valid_and_safe)
{
    std::vector<console_alert> alerts = {
        alert("20240310 11:00", "web01", "disk", "AC",
              "esc\x1b]0;title\x07 cr\r bs\b csi\x9b" "2J \"quoted\" caf\xc3\xa9", 'Y'),
        alert("20240310 11:01", "db1", "k", "AK", "", 'N'),
        alert("odd time", "h", "k", "IO", "t"),
        alert("20240310 11:02", "db1", "k2", "AK", "full"),
    };
    alerts[3].ack = {true, "ops1", "AW", "swap\x1b", local(2024, 3, 10, 11, 5, 0),
                     local(2024, 3, 10, 13, 5, 0)};
    std::string out = board_json(alerts);
    for (char ch : out)
        EXPECT_TRUE(ch == '\n' || (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f))
            << "a control byte in the output: " << static_cast<int>(ch);
    nlohmann::json j = nlohmann::json::parse(out);
    ASSERT_TRUE(j.is_array());
    ASSERT_EQ(j.size(), 4u);
    EXPECT_EQ(j[0]["host"], "web01");
    EXPECT_EQ(j[0]["key"], "disk");
    EXPECT_EQ(j[0]["state"], "critical");
    EXPECT_EQ(j[0]["datetime"], "2024-03-10T11:00");
    EXPECT_EQ(j[0]["text"], "esc^[]0;title^G cr^M bs^H csi\\x9b2J \"quoted\" caf\xc3\xa9");
    EXPECT_EQ(j[0]["persistent"], true);
    EXPECT_EQ(j[1]["state"], "acked");
    EXPECT_TRUE(j[1]["severity"].is_null()) << "acknowledged before anyone said by whom";
    EXPECT_FALSE(j[1].contains("acknowledged"));
    EXPECT_EQ(j[1]["persistent"], false);
    EXPECT_EQ(j[0]["severity"], "critical");
    EXPECT_EQ(j[3]["state"], "acked");
    EXPECT_EQ(j[3]["severity"], "warning");
    EXPECT_EQ(j[3]["acknowledged"], nlohmann::json({{"by", "ops1"}, {"note", "swap^["},
                                                    {"since", "2024-03-10T11:05:00"},
                                                    {"until", "2024-03-10T13:05:00"}}));
    // The views: who in the row, the kept severity in its state and in the details.
    EXPECT_EQ(row_state(alerts[3]), "ack warn");
    EXPECT_EQ(row_text(alerts[3], false), "[ops1] full");
    EXPECT_EQ(row_state(alerts[1]), "acked");
    console_details d;
    d.type = "AK";
    d.ack = alerts[3].ack;
    auto fields = detail_fields(d, local(2024, 3, 10, 12, 5, 0), false);
    ASSERT_EQ(fields.size(), 11u);
    EXPECT_EQ(fields[2].second, "acknowledged warning");
    EXPECT_EQ(fields[7], std::make_pair(std::string("Acked by"), std::string("ops1")));
    EXPECT_EQ(fields[9].second, "2024-03-10 13:05:00 (in 1h)");
    EXPECT_TRUE(j[2]["persistent"].is_null());
    EXPECT_EQ(j[2]["datetime"], "odd time");
    EXPECT_EQ(board_json({}), "[]\n");
}

// Several boards as one: which alerts differ and how it is said, addresses, the check's line.
#include "console/boards.h"

#include <gtest/gtest.h>

namespace {

// "host/key/TYPE", then "w" for waiting, "=AW" for the severity before an acknowledgement.
console_alert
alert(const std::string &text)
{
    console_alert a;
    std::size_t s1 = text.find('/'), s2 = text.find('/', s1 + 1);
    a.hostname = text.substr(0, s1);
    a.key = text.substr(s1 + 1, s2 - s1 - 1);
    a.type = text.substr(s2 + 1, 2);
    std::string rest = text.substr(s2 + 3);
    a.waiting = rest.find('w') != std::string::npos;
    if (std::size_t eq = rest.find('='); eq != std::string::npos)
        a.ack.severity = rest.substr(eq + 1, 2);
    return a;
}

std::vector<console_alert>
board(const std::vector<std::string> &texts)
{
    std::vector<console_alert> out;
    for (const std::string &s : texts)
        out.push_back(alert(s));
    return out;
}

TEST(boards, merge_marks_what_differs)
{
    struct row {
        std::vector<std::vector<std::string>> boards;
        // "host key place|difference" per merged row, in order.
        std::vector<std::string> want;
    } rows[] = {
        {{{"h/K/AC"}, {"h/K/AC"}}, {"h K both|"}},
        {{{"h/K/AC", "h/L/AW"}, {"h/K/AC"}}, {"h K both|", "h L A|on A only"}},
        // The second board's extras come after the first board's rows, in its order.
        {{{"h/K/AC"}, {"h/M/IO", "h/K/AC"}}, {"h K both|", "h M B|on B only"}},
        {{{"h/K/AK=AC"}, {"h/K/AC"}}, {"h K both|acknowledged on A only"}},
        {{{"h/K/AC"}, {"h/K/AW"}}, {"h K both|critical on A, warning on B"}},
        {{{"h/K/AK=AC"}, {"h/K/AK=AW"}},
         {"h K both|acknowledged critical on A, acknowledged warning on B"}},
        // Acknowledged on both, one board not saying what it was: they agree.
        {{{"h/K/AK=AC"}, {"h/K/AK"}}, {"h K both|"}},
        {{{"h/K/ACw"}, {"h/K/AC"}}, {"h K both|waiting on A only"}},
        {{{"h/K/ACw"}, {"h/K/ACw"}}, {"h K both|"}},
        // Host and key both count: the same key on two hosts is two alerts.
        {{{"h/K/AC"}, {"g/K/AC"}}, {"h K A|on A only", "g K B|on B only"}},
        {{{"h/K/AC"}, {"h/K/AC"}, {"h/K/AC"}}, {"h K all|"}},
        {{{"h/K/AC"}, {}, {"h/K/AC"}}, {"h K A and C|missing on B"}},
        {{{"h/K/AC"}, {"h/K/AK"}, {"h/K/AK"}}, {"h K all|acknowledged on B and C only"}},
        {{{}, {}}, {}},
    };
    for (const row &r : rows) {
        std::vector<std::vector<console_alert>> boards;
        std::vector<std::string> labels;
        for (const auto &b : r.boards) {
            labels.push_back(board_label(boards.size()));
            boards.push_back(board(b));
        }
        std::vector<merged_alert> merged = merge_boards(boards, labels);
        std::vector<std::string> got;
        int divergent = 0;
        for (const merged_alert &m : merged) {
            got.push_back(m.alert.hostname + " " + m.alert.key + " " + m.place + "|" +
                          m.difference);
            divergent += m.difference.empty() ? 0 : 1;
            for (std::size_t b = 0; b < boards.size(); b++) {
                if (m.where[b] >= 0) {
                    EXPECT_EQ(boards[b][static_cast<std::size_t>(m.where[b])].key, m.alert.key);
                }
            }
        }
        EXPECT_EQ(got, r.want) << "first row " << (r.want.empty() ? "" : r.want[0]);
        EXPECT_EQ(count_divergent(merged), divergent);
    }
}

TEST(boards, parse_board_reads_names_ipv4_and_bracketed_ipv6)
{
    struct row {
        const char *arg;
        bool ok;
        const char *address;
        int port;
    } rows[] = {
        {"127.0.0.1:9004", true, "127.0.0.1", 9004},
        {"127.0.0.1", true, "127.0.0.1", 9003},
        {"localhost:9010", true, "localhost", 9010},
        {"[::1]:9005", true, "::1", 9005},
        {"::1", true, "::1", 9003},
        {"[::1]", true, "::1", 9003},
        {"999.1.1.1:9004", false, "", 0},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:70000", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"", false, "", 0},
    };
    for (const row &r : rows) {
        board_place p;
        std::string error;
        EXPECT_EQ(parse_board(r.arg, 9003, p, error), r.ok) << r.arg;
        if (r.ok) {
            EXPECT_EQ(p.address, r.address) << r.arg;
            EXPECT_EQ(p.port, r.port) << r.arg;
        } else {
            EXPECT_FALSE(error.empty()) << r.arg;
        }
    }
    EXPECT_EQ(board_name({"::1", 9005, "A"}), "[::1]:9005");
    EXPECT_EQ(board_name({"127.0.0.1", 9004, "B"}), "127.0.0.1:9004");
}

TEST(boards, diff_status_summary_and_lines)
{
    std::vector<board_place> places = {{"127.0.0.1", 9003, "A"}, {"127.0.0.1", 9004, "B"}};
    console_board a, b;
    a.alerts = board({"web1/SSHFAIL/AC", "web2/DISK/AW"});
    b.alerts = board({"web1/SSHFAIL/AC", "web2/DISK/AW"});
    diff_report r = diff_boards(places, {a, b});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.summary, "TARROW BOARDS OK - A and B agree on 2 alerts | divergent=0 alerts=2 "
                         "boards=2");
    EXPECT_TRUE(r.lines.empty());

    b.alerts[1].type = "AK";
    b.alerts.push_back(alert("web3  /LOAD  /IO"));
    r = diff_boards(places, {a, b});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.summary, "TARROW BOARDS WARNING - 2 of 3 alerts differ between A and B | "
                         "divergent=2 alerts=3 boards=2");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"web2 DISK: acknowledged on B only",
                                                  "web3 LOAD: on B only"}));

    // A board that cannot be reached outweighs any difference.
    b.status = CONSOLE_NO_CONNECT;
    b.error = "connection refused";
    r = diff_boards(places, {a, b});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.summary, "TARROW BOARDS CRITICAL - cannot reach B (127.0.0.1:9004) | boards=2");
    EXPECT_EQ(r.lines, (std::vector<std::string>{"B (127.0.0.1:9004): connection refused"}));
}

} // namespace

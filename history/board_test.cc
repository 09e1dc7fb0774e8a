// The rebuilt board: the full table, the overflow file, restarts and acknowledgements, fed
// with log lines as tarrowd writes them; and the timeline printed from its changes.
#include "history/board.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "history/report.h"

namespace {

// Feeds log lines to a board, one second apart, and keeps every change.
struct feeder {
    board b;
    stamp_cache cache;
    int second = 0;
    std::vector<change> changes;

    explicit feeder(bool record = true) { b.record_changes = record; }

    void line(const std::string &msg)
    {
        char stamp[32];
        snprintf(stamp, sizeof stamp, "Mon Dec  7 10:%02d:%02d 2026 ", second / 60 % 60,
                 second % 60);
        second++;
        std::string text = stamp + msg;
        log_line l;
        parse_log_line(text.data(), text.size(), cache, l);
        ASSERT_EQ(board_apply(b, l), 1) << msg;
        changes.insert(changes.end(), b.changes.begin(), b.changes.end());
    }
    // A request of a sender: AC AW IO AK KA KH LO.
    void request(const std::string &host, const std::string &type, const std::string &key,
                 const std::string &text = "t")
    {
        char msg[200];
        snprintf(msg, sizeof msg, "AINF: %-15s 20261207 10:00 %s %-14s Y %s ", host.c_str(),
                 type.c_str(), key.c_str(), text.c_str());
        line(msg);
    }
    void console(const std::string &type, const std::string &host, const std::string &key)
    {
        char msg[200];
        snprintf(msg, sizeof msg, "AINF: %-15s 20261207 10:00 %s %-14s (CONSOLE COMMAND)",
                 host.c_str(), type.c_str(), key.c_str());
        line(msg);
    }
};

std::string
name(const board_alert &a)
{
    return trimmed(a.host, LEN_HOSTNAME) + "/" + trimmed(a.key, LEN_KEY);
}

// The table in slot order, each as host/key.
std::vector<std::string>
table(const board &b)
{
    std::vector<std::string> v;
    for (const auto &a : b.table)
        v.push_back(name(*a));
    return v;
}

// The unread records of the overflow file, each as TYPE host/key.
std::vector<std::string>
waiting(const board &b)
{
    std::vector<std::string> v;
    waiting_each(b.file, [&](const board_alert &a) {
        v.push_back(std::string(a.request, 2) + " " + name(a));
    });
    return v;
}

std::vector<std::string>
names(const char *prefix, int from, int to)
{
    std::vector<std::string> v;
    for (int i = from; i <= to; i++)
        v.push_back(prefix + std::to_string(i));
    return v;
}

std::vector<std::string>
operator+(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST(history_board, full_table_spills_and_refills_in_order)
{
    feeder f;
    // Slot 0: an acknowledged info alert, which keeps its slot; slot 2: an info alert.
    f.request("h", "IO", "ACKED");
    f.console("AC", "h", "ACKED");
    f.request("h", "AC", "C1");
    f.request("h", "IO", "INFO");
    for (int i = 2; i <= 48; i++)
        f.request("h", "AC", "C" + std::to_string(i));
    ASSERT_EQ(f.b.table.size(), 50u);

    f.request("h", "AW", "NEW");          // takes the info alert's slot
    f.request("h", "AC", "S1");           // no info alert left: to the file
    f.request("h", "AC", "S2");
    f.request("h", "AC", "C5", "again");  // a replacement never spills
    f.request("h", "AK", "S1");           // may be in the file: waits behind it
    f.request("h", "KA", "S2");
    f.console("AD", "h", "S2");           // a console's delete does not wait
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"h/ACKED", "h/C1"} + names("h/C", 2, 48) +
                           std::vector<std::string>{"h/NEW"}));
    EXPECT_EQ(waiting(f.b), (std::vector<std::string>{"AC h/S1", "AC h/S2", "AK h/S1",
                                                       "KA h/S2"}));
    EXPECT_EQ(f.b.table[5]->text, "again");

    // One slot free: S1 comes back and fills it; the rest waits.
    f.request("h", "AK", "C1");
    EXPECT_EQ(f.b.table.back()->text, "t");
    EXPECT_EQ(name(*f.b.table.back()), "h/S1");
    EXPECT_EQ(waiting(f.b), (std::vector<std::string>{"AC h/S2", "AK h/S1", "KA h/S2"}));

    // Another: S2 comes back, the table is full again, the clear of S1 still waits.
    f.request("h", "AK", "C2");
    EXPECT_EQ(waiting(f.b), (std::vector<std::string>{"AK h/S1", "KA h/S2"}));

    // Delete-through frees three slots: the clear of S1 removes it, frees a fourth, and the
    // running refill goes on to acknowledge S2. The file is then read to its end and made
    // anew.
    f.line("AINF: Manual delete of h               ACKED          (CONSOLE KK)");
    f.line("AINF: Manual delete of h               C3             (CONSOLE KK)");
    f.line("AINF: Manual delete of h               C4             (CONSOLE KK)");
    f.line("AINF: 3 alerts KK deleted, 3 recovered by compress");
    EXPECT_TRUE(waiting(f.b).empty());
    EXPECT_EQ(f.b.file.count, 0u);
    EXPECT_EQ(table(f.b), (names("h/C", 5, 48) + std::vector<std::string>{"h/NEW", "h/S2"}));
    EXPECT_TRUE(f.b.table.back()->acked);

    // What the timeline tells of S1 and of the info alert.
    std::vector<std::string> s1, info;
    for (const change &c : f.changes) {
        std::string what = std::to_string(static_cast<int>(c.kind)) + (c.replayed ? "r" : "");
        if (name(c.alert) == "h/S1")
            s1.push_back(what);
        if (name(c.alert) == "h/INFO")
            info.push_back(what);
    }
    auto k = [](change_kind kind, bool replayed = false) {
        return std::to_string(static_cast<int>(kind)) + (replayed ? "r" : "");
    };
    EXPECT_EQ(s1, (std::vector<std::string>{k(change_kind::spilled), k(change_kind::queued),
                                            k(change_kind::raised, true),
                                            k(change_kind::cleared, true)}));
    EXPECT_EQ(info, (std::vector<std::string>{k(change_kind::raised),
                                              k(change_kind::displaced)}));
}

TEST(history_board, clear_host_and_failed_appends)
{
    feeder f;
    f.request("a", "AC", "A1");
    f.request("b", "AC", "B1");
    f.request("a", "AW", "A2");
    f.request("a", "KH", "ANY");
    EXPECT_EQ(table(f.b), std::vector<std::string>{"b/B1"});
    for (int i = 2; i <= 50; i++)
        f.request("b", "AC", "B" + std::to_string(i));
    f.request("a", "AC", "A3");           // spills
    f.request("a", "AC", "A4");
    f.line("WARN: Unable to store events in buffer file, disk full ?");
    EXPECT_EQ(waiting(f.b), std::vector<std::string>{"AC a/A3"});
    // A clear-host while records wait: carried out now and once more when read back, so
    // that A3, which comes back before it, goes then.
    f.request("a", "KH", "ANY");
    f.request("b", "AK", "B1");
    EXPECT_EQ(table(f.b), (names("b/B", 2, 50) + std::vector<std::string>{"a/A3"}));
    EXPECT_EQ(waiting(f.b), std::vector<std::string>{"KH a/ANY"});
    f.request("b", "AK", "B2");
    EXPECT_EQ(table(f.b), names("b/B", 3, 50));
    EXPECT_EQ(f.b.file.count, 0u);
}

TEST(history_board, restarts_keep_only_what_the_server_kept)
{
    feeder f;
    for (int i = 1; i <= 50; i++)
        f.request("h", "AC", "K" + std::to_string(i));
    f.request("h", "AC", "W1");           // waits in the file
    f.request("h", "AC", "W2");
    f.request("h", "AK", "K1");           // W1 read back; the file keeps both records

    // A restart with the saved table: the table as it was, the file read on from there.
    f.line("----: Server initialisation beginning");
    f.line("INFO: Restored 50 alerts from alert_table.dat");
    f.line("INFO: TCP-IP Services now available");
    EXPECT_EQ(table(f.b), names("h/K", 2, 50) + std::vector<std::string>{"h/W1"});
    EXPECT_EQ(waiting(f.b), std::vector<std::string>{"AC h/W2"});

    // Without it: the table starts empty and the whole file is replayed from its start, the
    // record read back before included.
    f.changes.clear();
    f.line("----: Server initialisation beginning");
    f.line("INFO: TCP-IP Services now available");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"h/W1", "h/W2"}));
    EXPECT_EQ(f.changes.front().kind, change_kind::restart_dropped);
    EXPECT_EQ(f.changes.size(), 50u + 2u);
}

TEST(history_board, acknowledgements_keep_the_severity)
{
    feeder f;
    f.request("web1", "AW", "DISK");
    f.line("AINF: Acknowledged web1            DISK           AW by ops1 until 20261207 "
           "12:00:00: swap at 11");
    ASSERT_EQ(f.b.table.size(), 1u);
    const board_alert &a = *f.b.table[0];
    EXPECT_TRUE(a.acked);
    EXPECT_EQ(a.who, "ops1");
    EXPECT_EQ(a.note, "swap at 11");
    EXPECT_EQ(a.until, 20261207120000LL);
    EXPECT_EQ(board_alert_state(a), alert_state::acked);

    f.line("AINF: Acknowledgement expired web1            DISK           AW by ops1");
    EXPECT_FALSE(a.acked);
    EXPECT_EQ(board_alert_state(a), alert_state::warning);
    EXPECT_EQ(f.changes.back().alert.who, "ops1");

    f.console("AC", "web1", "DISK");
    f.line("AINF: Unacknowledged web1            DISK           AW by ops2 (acknowledged by "
           "127.0.0.1:4711)");
    EXPECT_FALSE(a.acked);
    EXPECT_EQ(f.changes.back().who2, "ops2");

    // A raise of the open alert ends its acknowledgement.
    f.line("AINF: Acknowledged web1            DISK           AW by ops1 until never: n");
    f.request("web1", "AC", "DISK", "worse");
    EXPECT_FALSE(a.acked);
    EXPECT_EQ(board_alert_state(a), alert_state::critical);
    EXPECT_TRUE(a.who.empty());
}

TEST(history_board, timeline_prints_an_acknowledgement_once_with_its_names)
{
    feeder f;
    f.b.want_host = "web1           ";
    f.request("web1", "AC", "DISK");
    f.request("db1", "AC", "DISK");       // another host: not recorded
    f.console("AC", "web1", "DISK");
    f.second--;                           // the details in the same second
    f.line("AINF: Acknowledged web1            DISK           AC by ops1 until never: swap");
    f.request("web1", "AC", "LOAD");
    f.console("AC", "web1", "LOAD");      // a plain acknowledgement, and nothing follows

    char *buf = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    timeline t;
    t.out = out;
    for (const change &c : f.changes)
        timeline_add(t, c);
    timeline_finish(t);
    fclose(out);
    std::string text(buf, len);
    free(buf);
    EXPECT_EQ(text,
              "2026-12-07 10:00:00 web1            DISK           raised critical: t\n"
              "2026-12-07 10:00:02 web1            DISK           acknowledged critical by "
              "ops1: swap\n"
              "2026-12-07 10:00:03 web1            LOAD           raised critical: t\n"
              "2026-12-07 10:00:04 web1            LOAD           acknowledged critical\n");

    // The same changes as JSON, and only those that left an alert acknowledged.
    out = open_memstream(&buf, &len);
    timeline j;
    j.out = out;
    j.json = true;
    j.states = parse_states("acknowledged");
    for (const change &c : f.changes)
        timeline_add(j, c);
    timeline_finish(j);
    fclose(out);
    text.assign(buf, len);
    free(buf);
    EXPECT_EQ(text.find("\"event\":\"raised\""), std::string::npos);
    EXPECT_NE(text.find("\"acknowledged\":{\"by\":\"ops1\",\"note\":\"swap\",\"until\":null}"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.front(), '[');
}

TEST(history_board, facts_of_a_newer_server_decide_where_alerts_are)
{
    feeder f;
    auto fact = [&](const std::string &what, const std::string &key, const std::string &tail) {
        char msg[200];
        snprintf(msg, sizeof msg, "AINF: %s %-15s %-14s %s", what.c_str(), "a", key.c_str(),
                 tail.c_str());
        f.line(msg);
    };
    f.line("----: Server initialisation beginning");
    f.line("INFO: The board holds up to 3 alerts");
    f.line("INFO: TCP-IP Services now available");
    f.request("a", "AC", "A1");
    f.request("a", "AW", "A2");
    f.request("a", "IO", "A3");
    f.request("a", "AC", "A4");
    fact("Displaced", "A3", "IO for a new alert");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"a/A1", "a/A2", "a/A4"}));
    EXPECT_EQ(f.changes.back().kind, change_kind::raised);
    EXPECT_EQ(f.changes[f.changes.size() - 2].kind, change_kind::displaced);

    // Two raises of A5 wait, a clear of it goes behind them, a console's delete too.
    f.request("a", "AC", "A5", "first");
    fact("Spilled", "A5", "AC to evt_buffer.dat");
    f.request("a", "AW", "A5", "second");
    fact("Spilled", "A5", "AW to evt_buffer.dat");
    f.request("a", "AK", "A5");
    fact("Pending delete", "A5", "by bob");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"a/A1", "a/A2", "a/A4"}));
    EXPECT_EQ(waiting(f.b), (std::vector<std::string>{"AC a/A5", "AW a/A5", "AK a/A5",
                                                      "PD a/A5"}));
    // A clear of an alert on the board takes effect at once, whatever waits.
    f.request("a", "AK", "A1");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"a/A2", "a/A4"}));

    // Read back one raise at a time; the clear behind the second goes with it.
    fact("Read back", "A5", "AC from evt_buffer.dat");
    ASSERT_EQ(table(f.b), (std::vector<std::string>{"a/A2", "a/A4", "a/A5"}));
    EXPECT_EQ(f.b.table.back()->text, "first");
    EXPECT_TRUE(f.changes.back().replayed);
    fact("Read back", "A5", "AW from evt_buffer.dat");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"a/A2", "a/A4"}));
    EXPECT_EQ(f.b.file.count, 0u);

    // A console's delete names who and why; the old line beside it changes nothing more.
    f.console("AD", "a", "A2");
    fact("Deleted", "A2", "AW by carol: disk swapped");
    EXPECT_EQ(table(f.b), std::vector<std::string>{"a/A4"});
    EXPECT_EQ(change_text(f.changes.back()),
              "2026-12-07 10:00:18 a               A2             deleted from a console by "
              "carol: disk swapped");

    // An older server with --table-size 2 logs no facts: its rules are replayed with 2 slots.
    f.line("----: Server initialisation beginning");
    f.line("INFO: The board holds up to 2 alerts (--table-size)");
    f.line("INFO: TCP-IP Services now available");
    f.request("b", "AC", "B1");
    f.request("b", "AC", "B2");
    f.request("b", "AC", "B3");
    EXPECT_EQ(table(f.b), (std::vector<std::string>{"b/B1", "b/B2"}));
    EXPECT_EQ(waiting(f.b), std::vector<std::string>{"AC b/B3"});
}

TEST(history_board, waiting_file_beyond_memory)
{
    // More records than memory holds: pushed, taken back, read in order, read again from the
    // start as after a restart.
    waiting_file w;
    board_alert a{};
    memcpy(a.host, "h              ", LEN_HOSTNAME);
    memcpy(a.request, "AC", 2);
    const std::size_t n = WAITING_IN_MEMORY + 3000;
    for (std::size_t i = 0; i < n + 1; i++) {
        snprintf(a.key, LEN_KEY, "%013zu", i);
        a.text = std::string(i % 300, 'x');
        a.since = static_cast<stamp_t>(i);
        ASSERT_EQ(waiting_push(w, a), 0);
    }
    board_alert last;
    ASSERT_TRUE(waiting_pop_back(w, last));
    EXPECT_EQ(last.since, static_cast<stamp_t>(n));
    EXPECT_FALSE(waiting_pop_back(w, last));       // no longer known
    ASSERT_EQ(waiting_unread(w), n);
    for (int pass = 0; pass < 2; pass++) {
        std::size_t i = 0;
        bool in_order = true;
        while (const board_alert *f = waiting_front(w)) {
            in_order = in_order && f->since == static_cast<stamp_t>(i) &&
                       f->text.size() == i % 300 && std::string(f->key, 13) ==
                       std::to_string(i).insert(0, 13 - std::to_string(i).size(), '0');
            waiting_pop_front(w);
            i++;
        }
        EXPECT_TRUE(in_order) << "pass " << pass << " at " << i;
        EXPECT_EQ(i, n);
        waiting_rewind(w, WAITING_IN_MEMORY + 10);
        EXPECT_EQ(waiting_front(w)->since, static_cast<stamp_t>(WAITING_IN_MEMORY + 10));
        std::size_t seen = 0;
        waiting_each(w, [&](const board_alert &) { seen++; });
        EXPECT_EQ(seen, n - WAITING_IN_MEMORY - 10);
        waiting_rewind(w, 0);
    }
    waiting_clear(w);
    EXPECT_EQ(waiting_front(w), nullptr);
}

TEST(history_report, control_bytes_print_as_stand_ins)
{
    struct {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},
        {"bell\a tab\t esc\x1b[2J del\x7f", "bell? tab? esc?[2J del?"},
        {"c1 raw \x9b""31m and \x85", "c1 raw ?31m and ?"},
        {"c1 as utf-8 \xc2\x9b""31m", "c1 as utf-8 ?31m"},
        {"na\xc3\xafve \xc4\x85 \xe2\x82\xac \xf0\x9f\x94\xa5", "na\xc3\xafve \xc4\x85 \xe2\x82\xac \xf0\x9f\x94\xa5"},
        {"latin-1 \xe9t\xe9 \xc2", "latin-1 \xe9t\xe9 \xc2"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(visible(c.in), c.out) << c.in;
}

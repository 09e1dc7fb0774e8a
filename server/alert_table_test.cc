// Tests of the alert table and the overflow file together: targeted cases, then a seeded
// random run compared after every request with a small model of the two.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/fields.h"
#include "server/ack.h"
#include "server/test_util.h"
#include "tests/records.h"

namespace {

std::string
host_of(int slot)
{
    return std::string(memory_table[slot].data() + OFF_HOSTNAME, LEN_HOSTNAME);
}

std::string
key_of(int slot)
{
    return std::string(memory_table[slot].data() + OFF_KEY, LEN_KEY);
}

std::string
type_of(int slot)
{
    return std::string(memory_table[slot].data() + OFF_MSGTYPE, 2);
}

void
send(const std::string &host, const std::string &key, const std::string &type,
     const std::string &text = "")
{
    line_buf l = make_record("JOBSCHED", host, key, type, 'N', text);
    process_alert_message(l.data(), 0);
}

using TableTest = server_fixture;

TEST_F(TableTest, FullTableGivesUpLowestInfoAlertThenSpills)
{
    for (int i = 0; i < MAX_ALERTS; i++)
        send("h", "k" + std::to_string(i), i == 7 || i == 20 ? "IO" : "AC");
    ASSERT_EQ(last_table_entry, 50);

    send("h", "new1", "AW");        // displaces the info alert in slot 7
    EXPECT_EQ(last_table_entry, 50);
    EXPECT_EQ(key_of(7), pad("k8", LEN_KEY));
    EXPECT_EQ(key_of(49), pad("new1", LEN_KEY));
    EXPECT_EQ(type_of(19), "IO");   // k20, now one slot lower, keeps its type
    EXPECT_EQ(alerts_num_buffered(), 0);

    send("h", "new2", "AC");        // displaces k20
    send("h", "new3", "AC");        // no info alert left: goes to the file
    EXPECT_EQ(alerts_num_buffered(), 1);
    std::string file = overflow_bytes();
    ASSERT_EQ(file.size(), ALERT_RECORD_SIZE);
    EXPECT_EQ(file[OFF_REPLY_WANTED], 'N');
    EXPECT_EQ(file.substr(OFF_KEY, LEN_KEY), pad("new3", LEN_KEY));

    send("h", "k0", "AW", "raised again");      // replacing never spills
    EXPECT_EQ(type_of(0), "AW");
    EXPECT_EQ(alerts_num_buffered(), 1);
    EXPECT_EQ(log().find("WARN"), std::string::npos) << log();
}

TEST_F(TableTest, DeleteShiftsAcknowledgeKeepsSlotIdentityIsExact)
{
    for (int i = 0; i < 10; i++)
        send("host", "key" + std::to_string(i), "AC", "text" + std::to_string(i));
    send("host", "KEY1", "AC");                 // case counts: a new alert
    EXPECT_EQ(last_table_entry, 11);

    line_buf del = make_record("JOBSCHED", "host", "key3", "AK");
    process_alert_message(del.data(), 0);
    EXPECT_EQ(last_table_entry, 10);
    for (int i = 3; i < 9; i++)
        EXPECT_EQ(key_of(i), pad("key" + std::to_string(i + 1), LEN_KEY));

    // A short host name and the same name padded with blanks are one host.
    line_buf ack = make_record("JOBSCHED", "host           ", "key5", "KA");
    process_alert_message(ack.data(), 0);
    process_alert_message(ack.data(), 0);
    EXPECT_EQ(type_of(4), "AK");
    EXPECT_EQ(memory_table[4][OFF_REPLY_WANTED], '\0');
    EXPECT_STREQ(memory_table[4].data() + OFF_MSGTEXT, "text5");
    send("host", "key5", "AC");                 // raised again: critical once more
    EXPECT_EQ(type_of(4), "AC");

    send("other", "x", "AK");
    EXPECT_NE(log().find("WARN: message not found to delete, requested from other          \n"),
              std::string::npos) << log();
    send("other", "x", "KA");
    EXPECT_NE(log().find("WARN: message not found to acknowledge, requested from "
                         "'other          ', key 'x             '\n"),
              std::string::npos) << log();
}

// An alert's identity is its host and key, each compared over its whole width: names that
// differ only in their first or last byte are different alerts, for every request.
// Every change of state goes through the table, so its counts follow an acknowledge and an
// un-acknowledge, and a full table still gives up its info alert afterwards.
TEST_F(TableTest, CountsFollowAcknowledgementsAndAnInfoAlertStillGivesWay)
{
    ASSERT_EQ(alert_table_init(2), 0);
    send("h1", "K1", "IO");
    send("h1", "K2", "AC");
    send("h1", "K1", "KA");
    EXPECT_EQ(alert_counts.info, 0);
    EXPECT_EQ(alert_counts.acknowledged, 1);
    EXPECT_EQ(alert_counts.acked_info, 1);
    line_buf ua = make_record("CONSOLE", "h1", "K1", "UA", 'N');
    process_console_request(-1, ua.data());
    EXPECT_EQ(type_of(0), "IO");
    EXPECT_EQ(alert_counts.info, 1);
    EXPECT_EQ(alert_counts.acknowledged, 0);
    EXPECT_EQ(alert_counts.acked_info, 0);
    send("h1", "K3", "AC");                     // the info alert gives way, nothing spills
    EXPECT_EQ(stats.info_displaced, 1u);
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(key_of(1), pad("K3", LEN_KEY));
    EXPECT_EQ(alert_counts.critical, 2);
    EXPECT_EQ(alert_counts.info, 0);
}

TEST_F(TableTest, IdentityIsHostAndKeyOverTheirWholeWidths)
{
    const std::string host(LEN_HOSTNAME, 'h'), key(LEN_KEY, 'k');
    auto last_changed = [](std::string s) { s.back() = 'z'; return s; };
    auto first_changed = [](std::string s) { s.front() = 'z'; return s; };
    struct {
        std::string host, key;
    } others[] = {
        {last_changed(host), key}, {first_changed(host), key},
        {host, last_changed(key)}, {host, first_changed(key)},
        {host.substr(0, LEN_HOSTNAME - 1), key}, {host, key.substr(0, LEN_KEY - 1)},
    };
    for (const auto &o : others) {
        SCOPED_TRACE(o.host + " " + o.key);
        alert_table_reset();
        send(host, key, "AC");
        send(o.host, o.key, "AW");
        ASSERT_EQ(last_table_entry, 2);     // a second alert, not a replacement
        line_buf probe = make_record("JOBSCHED", o.host, o.key, "AC");
        space_fill_string(probe.data() + OFF_HOSTNAME, LEN_HOSTNAME);
        space_fill_string(probe.data() + OFF_KEY, LEN_KEY);
        EXPECT_EQ(alert_lookup(probe.data()), 1);
        send(o.host, o.key, "KA");
        EXPECT_EQ(type_of(0), "AC");
        EXPECT_EQ(type_of(1), "AK");
        send(o.host, o.key, "AK");
        ASSERT_EQ(last_table_entry, 1);
        EXPECT_EQ(host_of(0), host);
        EXPECT_EQ(key_of(0), key);
    }
}

TEST_F(TableTest, ClearAllForHost)
{
    send("a", "1", "AC");
    send("b", "2", "AC");
    send("a", "3", "IO");
    send("c", "4", "AW");
    send("a", "", "KH");
    ASSERT_EQ(last_table_entry, 2);
    EXPECT_EQ(host_of(0), pad("b", LEN_HOSTNAME));
    EXPECT_EQ(host_of(1), pad("c", LEN_HOSTNAME));
    send("nobody", "", "KH");
    EXPECT_EQ(last_table_entry, 2);
    EXPECT_EQ(log().find("WARN"), std::string::npos);
}

TEST_F(TableTest, EmptyTableClearAllIsNotBufferedEvenWithUnreadRecords)
{
    for (int i = 0; i < 51; i++)
        send("h", "k" + std::to_string(i), "AC");
    ASSERT_EQ(alerts_num_buffered(), 1);
    // Empties the table and waits behind the raise of k50, which the refill then lets in
    // and the clear-all, replayed after it, removes: nothing is left waiting.
    send("h", "", "KH");
    EXPECT_EQ(last_table_entry, 0);
    EXPECT_EQ(alerts_num_buffered(), 0);
    send("x", "", "KH");                        // empty table: nothing at all
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(alert_lookup(make_record("JOBSCHED", "h", "k1", "AC").data()), -1);
    EXPECT_EQ(alerts_compress(), 0);
}

TEST_F(TableTest, ClearOfBufferedAlertIsDeferredAndReplayedInOrder)
{
    for (int i = 0; i < 52; i++)
        send("h", "k" + std::to_string(i), "AC");   // k50, k51 buffered
    send("h", "k51", "AK");                         // not in the table: deferred
    send("h", "k50", "KA");                         // deferred too
    EXPECT_EQ(alerts_num_buffered(), 4);
    EXPECT_EQ(log().find("WARN"), std::string::npos);

    send("h", "k0", "AK");          // frees a slot: k50 comes back, then the refill stops
    EXPECT_EQ(last_table_entry, 50);
    EXPECT_EQ(key_of(49), pad("k50", LEN_KEY));
    EXPECT_EQ(alerts_num_buffered(), 3);
    // k51 back, filling the table; the refill goes on past what needs no slot: the
    // replayed AK removes k51 again and the KA acknowledges k50.
    send("h", "k1", "AK");
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(last_table_entry, 49);
    EXPECT_EQ(type_of(48), "AK");
    EXPECT_EQ(key_of(48), pad("k50", LEN_KEY));
    EXPECT_EQ(overflow_bytes().size(), 0u);         // read back, so recreated empty
    EXPECT_EQ(next_evt_record_to_read, 0);
    EXPECT_EQ(log().find("WARN"), std::string::npos) << log();
}

// While a request for an alert waits in the overflow file, later requests for it wait behind
// it: a clear does not act on the table ahead of a raise that is still waiting, and a raise
// does not act ahead of a clear that is still waiting.
TEST_F(TableTest, RequestsForOneAlertKeepTheirOrderBehindTheFile)
{
    for (int sequence = 0; sequence < 2; sequence++) {
        SCOPED_TRACE("sequence " + std::to_string(sequence));
        TearDown();
        SetUp();
        for (int i = 0; i < MAX_ALERTS; i++)
            send("h", "k" + std::to_string(i), "AC");
        if (sequence == 0) {
            send("h", "x", "AC", "first");      // waits
            send("h", "x", "AW", "second");     // waits
            send("h", "k0", "AK");              // room: the first raise comes back
            send("h", "x", "AK");               // must not overtake the second raise
        } else {
            send("h", "x", "AC", "first");      // waits
            send("h", "x", "AK");               // waits behind it
            send("h", "k0", "AK");              // the raise comes back, the clear waits
            send("h", "x", "AW", "again");      // must not overtake the clear
        }
        // Room for everything: the file is read to its end.
        for (int i = 1; i < 5; i++)
            send("h", "k" + std::to_string(i), "AK");
        EXPECT_EQ(alerts_num_buffered(), 0);
        int x = alert_lookup(make_record("JOBSCHED", "h", "x", "AC").data());
        if (sequence == 0) {
            EXPECT_EQ(x, -1) << "the last request for x was a clear";
        } else {
            ASSERT_GE(x, 0) << "the last request for x was a raise";
            EXPECT_EQ(type_of(x), "AW");
            EXPECT_STREQ(memory_table[x].data() + OFF_MSGTEXT, "again");
        }
    }
}

// Random raises, clears and acknowledges (and a few clear-alls) against a table kept full, with
// room made now and then: once the file is read back, every alert is in the state its last
// request asked for.
TEST_F(TableTest, SoakAgainstAFullTableEndsInTheLastRequestedStates)
{
    struct state {
        bool present = false;
        std::string type, text;
    };
    for (unsigned seed : {7u, 8u, 9u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        TearDown();
        SetUp();
        std::mt19937 rng(seed);
        std::map<std::string, state> want;     // "host key" of the 30 alerts under test
        int fillers = 0;
        for (; fillers < MAX_ALERTS; fillers++)
            send("fill", "f" + std::to_string(fillers), "AC");
        int first_filler = 0;
        int max_unread = 0;
        for (int step = 0; step < 4000; step++) {
            int what = static_cast<int>(rng() % 100);
            if (what < 4) {
                // Room for a moment: the oldest filler cleared, a new one raised.
                send("fill", "f" + std::to_string(first_filler++), "AK");
                send("fill", "f" + std::to_string(fillers++), "AC");
                continue;
            }
            std::string host = "h" + std::to_string(rng() % 3);
            std::string key = "k" + std::to_string(rng() % 10);
            if (what < 6) {
                send(host, "", "KH");
                for (auto &[id, st] : want)
                    if (id.rfind(host + " ", 0) == 0)
                        st.present = false;
                continue;
            }
            const char *types[] = {"AC", "AW", "AK", "KA"};
            std::string type = types[rng() % 4];
            std::string text = "s" + std::to_string(step);
            send(host, key, type, text);
            state &st = want[host + " " + key];
            if (type == "AC" || type == "AW")
                st = {true, type, text};
            else if (type == "AK")
                st.present = false;
            else if (st.present)
                st.type = "AK";
            max_unread = std::max(max_unread, alerts_num_buffered());
        }
        for (int i = first_filler; i < fillers; i++)
            send("fill", "f" + std::to_string(i), "AK");
        ASSERT_EQ(alerts_num_buffered(), 0);
        EXPECT_GT(max_unread, 100);
        int present = 0;
        for (const auto &[id, st] : want) {
            std::size_t sp = id.find(' ');
            line_buf l = make_record("JOBSCHED", id.substr(0, sp), id.substr(sp + 1), "AC");
            int slot = alert_lookup(l.data());
            ASSERT_EQ(slot >= 0, st.present) << id;
            if (slot < 0)
                continue;
            present++;
            EXPECT_EQ(type_of(slot), st.type) << id;
            EXPECT_STREQ(memory_table[slot].data() + OFF_MSGTEXT, st.text.c_str()) << id;
        }
        EXPECT_EQ(last_table_entry, present);
    }
}

// ---- Model of the table and the unread part of the overflow file. ----
//
// Requests of senders (raise, clear, acknowledge, clear-all, log only) and of consoles
// (delete "AD", acknowledge with note and expiry "AN", un-acknowledge "UA"), a clock the test
// moves, and a table of any size. After every request: the table in order with states and
// counts, the unread records of the file, and the refill rule (a free slot never leaves a
// raise waiting).

struct model_rec {
    std::string host, key, type, text;
    std::string sev;            // an acknowledged alert's severity before the ack
    time_t until = 0;           // "AN": expiry; in the table: the ack's
    bool console = false;
    bool applied = false;       // a console action that took effect ahead of the refill
};

time_t model_now = 1800000000;
time_t
model_clock()
{
    return model_now;
}

struct model {
    std::size_t size = 50;
    int early = 0;              // console actions that took effect ahead of the refill
    std::vector<model_rec> table;
    std::deque<model_rec> unread;

    int find(const model_rec &r) const
    {
        for (std::size_t i = 0; i < table.size(); i++)
            if (table[i].host == r.host && table[i].key == r.key)
                return static_cast<int>(i);
        return -1;
    }

    // Replays while the table has room, and past records that need no slot.
    void refill()
    {
        while (!unread.empty()) {
            model_rec r = unread.front();
            bool raise = !r.console && (r.type == "AC" || r.type == "AW" || r.type == "IO");
            if (table.size() >= size && raise && find(r) < 0)
                break;
            if (r.applied) {
                unread.pop_front();
                continue;
            }
            unread.pop_front();
            process(r, true);
        }
    }

    // True while an earlier request for r's alert (or a clear-all of its host) waits.
    bool waits(const model_rec &r) const
    {
        for (const model_rec &u : unread)
            if (u.host == r.host && (u.key == r.key || (u.type == "KH" && !u.console)))
                return true;
        return false;
    }

    bool host_waits(const std::string &host) const
    {
        for (const model_rec &u : unread)
            if (u.host == host)
                return true;
        return false;
    }

    // Console actions of alerts for which no other request (nor a clear of the host) waits
    // take effect at once, ahead of the refill. True when one did.
    bool apply_ready()
    {
        bool any = false;
        std::set<std::string> busy;             // "host/key" and "host/" of a clear-all
        for (const model_rec &o : unread)
            if (!o.console)
                busy.insert(o.host + "/" + (o.type == "KH" ? "" : o.key));
        for (std::size_t i = 0; i < unread.size(); i++) {
            model_rec &u = unread[i];
            if (!u.console || u.applied || busy.count(u.host + "/" + u.key) ||
                busy.count(u.host + "/"))
                continue;
            u.applied = true;
            early++;
            model_rec copy = u;
            console(copy, true);
            any = true;
        }
        return any;
    }

    void console(const model_rec &r, bool replaying)
    {
        if (!replaying && waits(r)) {
            unread.push_back(r);
            return;
        }
        int at = find(r);
        if (at < 0)
            return;
        model_rec &t = table[at];
        if (r.type == "AD") {
            table.erase(table.begin() + at);
            refill();
        } else if (r.type == "AN" && (r.until == 0 || r.until > model_now)) {
            if (t.type != "AK")
                t.sev = t.type;
            t.type = "AK";
            t.until = r.until;
        } else if (r.type == "UA" && t.type == "AK") {
            t.type = t.sev;
        }
    }

    // replaying: the record came from the file; while it is replayed the file counts as
    // holding an unread record, so requests for missing alerts are dropped silently. A
    // request that is not replayed waits behind every earlier one for its alert.
    void process(const model_rec &r, bool replaying)
    {
        if (r.console) {
            console(r, replaying);
        } else {
            alert(r, replaying);
        }
        for (int round = 0; !replaying && round < 8; round++) {
            refill();
            if (!apply_ready())
                break;
        }
    }

    void alert(const model_rec &r, bool replaying)
    {
        bool pending = replaying || !unread.empty();
        if (!replaying && r.type != "KH" && r.type != "LO" && waits(r)) {
            unread.push_back(r);
            return;
        }
        if (!replaying && r.type == "KH" && host_waits(r.host)) {
            std::erase_if(table, [&](const model_rec &t) {
                return t.host == r.host && !waits(t);
            });
            unread.push_back(r);
            return;
        }
        int at = find(r);
        if (r.type == "AC" || r.type == "AW" || r.type == "IO") {
            if (at >= 0) {
                table[at] = r;
            } else if (table.size() < size) {
                table.push_back(r);
            } else {
                int io = -1;
                for (std::size_t i = 0; i < table.size() && io < 0; i++)
                    if (table[i].type == "IO")
                        io = static_cast<int>(i);
                if (io < 0) {
                    unread.push_back(r);
                } else {
                    table.erase(table.begin() + io);
                    table.push_back(r);
                }
            }
        } else if (r.type == "AK") {
            if (at >= 0) {
                table.erase(table.begin() + at);
                refill();
            } else if (pending && !replaying) {
                unread.push_back(r);
            }
        } else if (r.type == "KA") {
            if (at >= 0 && table[at].type != "AK") {
                table[at].sev = table[at].type;
                table[at].type = "AK";
                table[at].until = 0;
            } else if (at < 0 && pending && !replaying) {
                unread.push_back(r);
            }
        } else if (r.type == "KH") {
            if (table.empty())
                return;
            if (pending && !replaying)
                unread.push_back(r);
            std::erase_if(table, [&](const model_rec &t) { return t.host == r.host; });
        }
    }

    // The alerts the unread records will raise, by state: a raise replaced by a later one,
    // cancelled by its clear or its host's clear-all, marked by an acknowledge; none for an
    // alert on the board.
    table_counts waiting() const
    {
        struct w {
            std::string type;
            bool acked = false, live = true;
        };
        std::map<std::string, w> ids;
        for (const model_rec &u : unread) {
            std::string id = u.host + "/" + u.key;
            if (u.console)
                continue;
            if (u.type == "AC" || u.type == "AW" || u.type == "IO")
                ids[id] = w{u.type};
            else if (u.type == "AK" && ids.count(id))
                ids[id].live = false;
            else if (u.type == "KA" && ids.count(id))
                ids[id].acked = true;
            else if (u.type == "KH")
                for (auto &[k, v] : ids)
                    if (k.substr(0, u.host.size()) == u.host)
                        v.live = false;
        }
        table_counts c{};
        for (const auto &[k, v] : ids) {
            model_rec r;
            r.host = k.substr(0, LEN_HOSTNAME);
            r.key = k.substr(LEN_HOSTNAME + 1);
            if (!v.live || find(r) >= 0)
                continue;
            c.acknowledged += v.acked;
            long *n = v.type == "AC" ? (v.acked ? &c.acked_critical : &c.critical)
                      : v.type == "AW" ? (v.acked ? &c.acked_warning : &c.warning)
                                       : (v.acked ? &c.acked_info : &c.info);
            (*n)++;
        }
        return c;
    }

    void expire()
    {
        for (model_rec &t : table)
            if (t.type == "AK" && t.until != 0 && t.until <= model_now)
                t.type = t.sev;
    }
};

// The same request as the server gets it.
line_buf
request_of(const model_rec &r, const char *product)
{
    if (!r.console)
        return make_record(product, r.host, r.key, r.type, 'N', r.text);
    line_buf l = make_record("CONSOLE", r.host, r.key, r.type, 'N', r.text);
    char until[LEN_ACK_UNTIL + 1];
    snprintf(until, sizeof until, "%-10lld", static_cast<long long>(r.until));
    memcpy(l.data() + OFF_ACK_UNTIL, until, LEN_ACK_UNTIL);
    memcpy(l.data() + OFF_ACK_WHO, "ops", 3);
    return l;
}

TEST_F(TableTest, RandomRequestsMatchModel)
{
    const char *types[] = {"AC", "AC", "AC", "AC", "AW", "AW", "IO", "AK", "AK", "AK", "KA",
                           "LO", "KH", "AD", "AN", "AN", "UA"};
    const char *products[] = {"JOBSCHED", "GENALERT", "RELOADER"};
    time_t (*clock_backup)() = ack_clock;
    ack_clock = model_clock;
    sock_pair sp;
    ASSERT_EQ(client_open(sp.server_fd, "127.0.0.1:40002"), 0);
    int acked = 0, early = 0;
    for (int size : {1, 2, 4, 5, 8, 50}) {
        for (unsigned seed : {1u, 20261207u}) {
            SCOPED_TRACE("size " + std::to_string(size) + " seed " + std::to_string(seed));
            TearDown();
            SetUp();
            ASSERT_EQ(alert_table_init(size), 0);
            ASSERT_EQ(client_open(sp.server_fd, "127.0.0.1:40002"), 0);
            std::mt19937 rng(seed);
            model m;
            m.size = static_cast<std::size_t>(size);
            int max_unread = 0, max_table = 0;
            int keys = size < 5 ? 4 : 40;
            for (int step = 0; step < 1000; step++) {
                model_now += rng() % 3;
                ack_tick();
                m.expire();
                model_rec r;
                r.host = pad("host" + std::to_string(rng() % 3), LEN_HOSTNAME);
                r.key = pad("key" + std::to_string(rng() % keys), LEN_KEY);
                r.type = types[rng() % (sizeof types / sizeof *types)];
                if (r.type == "KH" && rng() % 4 != 0)
                    r.type = "AC";      // keep clear-all rare, or the table never fills
                r.console = r.type == "AD" || r.type == "AN" || r.type == "UA";
                if (r.type == "AN" && rng() % 2 == 0)
                    r.until = model_now + 1 + rng() % 8;
                r.text = r.type == "AN" ? "note " + std::to_string(step)
                                        : "t" + std::to_string(step);
                line_buf l = request_of(r, products[rng() % 3]);
                if (r.console)
                    process_console_request(sp.server_fd, l.data());
                else
                    process_alert_message(l.data(), 0);
                m.process(r, false);

                std::string at = "step " + std::to_string(step);
                ASSERT_EQ(last_table_entry, static_cast<int>(m.table.size())) << at;
                table_counts want{};
                // The table is read every third step only: reading positions closes the gaps
                // removals leave, which build up in between.
                const bool look = step % 3 == 2;
                for (int i = 0; i < last_table_entry; i++) {
                    const model_rec &t = m.table[i];
                    if (look) {
                        ASSERT_EQ(host_of(i), t.host) << at << " slot " << i;
                        ASSERT_EQ(key_of(i), t.key) << at << " slot " << i;
                        ASSERT_EQ(type_of(i), t.type) << at << " slot " << i;
                        ASSERT_STREQ(memory_table[i].data() + OFF_MSGTEXT, t.text.c_str()) << at;
                    }
                    std::string state = t.type == "AK" ? t.sev : t.type;
                    long *c = state == "AC" ? &want.critical
                              : state == "AW" ? &want.warning : &want.info;
                    if (t.type == "AK") {
                        want.acknowledged++;
                        acked++;
                        c = state == "AC" ? &want.acked_critical
                            : state == "AW" ? &want.acked_warning : &want.acked_info;
                        const alert_ack *ack =
                            look ? alert_ack_of(memory_table[i].data()) : nullptr;
                        ASSERT_TRUE(!look || std::string(ack->severity, 2) == t.sev) << at;
                    }
                    (*c)++;
                }
                ASSERT_EQ(alert_counts.critical, want.critical) << at;
                ASSERT_EQ(alert_counts.warning, want.warning) << at;
                ASSERT_EQ(alert_counts.info, want.info) << at;
                ASSERT_EQ(alert_counts.acknowledged, want.acknowledged) << at;
                ASSERT_EQ(alert_counts.acked_critical, want.acked_critical) << at;
                ASSERT_EQ(alert_counts.acked_warning, want.acked_warning) << at;
                ASSERT_EQ(alert_counts.acked_info, want.acked_info) << at;
                ASSERT_EQ(alerts_num_buffered(), static_cast<int>(m.unread.size())) << at;
                // The summary's count walks every waiting entry: checked every 8th step.
                table_counts got_w{}, want_w{};
                if (step % 8 == 0) {
                    want_w = m.waiting();
                    overflow_waiting_alerts(got_w);
                }
                ASSERT_EQ(got_w.critical, want_w.critical) << at;
                ASSERT_EQ(got_w.warning, want_w.warning) << at;
                ASSERT_EQ(got_w.info, want_w.info) << at;
                ASSERT_EQ(got_w.acknowledged, want_w.acknowledged) << at;
                ASSERT_EQ(got_w.acked_critical, want_w.acked_critical) << at;
                // The refill rule: room on the table means no raise waits.
                if (last_table_entry < size) {
                    ASSERT_EQ(alerts_num_buffered(), 0) << at;
                }
                std::string file = overflow_bytes();
                ASSERT_EQ(file.size() % ALERT_RECORD_SIZE, 0u);
                for (std::size_t u = 0; u < m.unread.size(); u++) {
                    std::size_t off = (next_evt_record_to_read + u) * ALERT_RECORD_SIZE;
                    ASSERT_LE(off + ALERT_RECORD_SIZE, file.size());
                    ASSERT_EQ(file.substr(off + OFF_KEY, LEN_KEY), m.unread[u].key) << at;
                    ASSERT_EQ(file.substr(off + OFF_MSGTYPE, 2), m.unread[u].type) << at;
                    ASSERT_EQ(file[off + OFF_REPLY_WANTED], 'N');
                }
                max_unread = std::max(max_unread, static_cast<int>(m.unread.size()));
                max_table = std::max(max_table, last_table_entry);
            }
            early += m.early;
            // The mix must really have filled the table and used the file.
            EXPECT_EQ(max_table, size);
            EXPECT_GT(max_unread, 3);
        }
    }
    EXPECT_GT(acked, 100);
    EXPECT_GT(early, 0);
    ack_clock = clock_backup;
}

} // namespace

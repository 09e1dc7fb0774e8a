// Console requests: productid geometry, listing replies, details, deletes and the error paths.
#include "server/console.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "common/fields.h"
#include "server/server.h"
#include "server/test_util.h"
#include "tests/records.h"

namespace {

struct reply {
    std::string bytes;      // the whole 4184-byte record
    std::string type() const { return bytes.substr(OFF_MSGTYPE, 2); }
    std::string data_length() const { return bytes.substr(OFF_DATA_LENGTH, LEN_DATA_LENGTH); }
    std::string data() const
    {
        return std::string(bytes.c_str() + OFF_DATA, strnlen(bytes.c_str() + OFF_DATA, LEN_DATA));
    }
};

// Splits what the server wrote into whole replies; a torn tail fails the test.
std::vector<reply>
split_replies(const std::string &wire)
{
    std::vector<reply> out;
    EXPECT_EQ(wire.size() % CONSOLE_REPLY_SIZE, 0u) << "torn reply stream";
    for (std::size_t at = 0; at + CONSOLE_REPLY_SIZE <= wire.size(); at += CONSOLE_REPLY_SIZE)
        out.push_back({wire.substr(at, CONSOLE_REPLY_SIZE)});
    return out;
}

// Stores an alert as the alert path would: fields space-filled, then added to the table.
void
store(const std::string &host, const std::string &key, const std::string &type,
      const std::string &text)
{
    line_buf l = make_record("GENALERT", host, key, type, 'N', text);
    alert_add(l.data());
}

time_t
fixed_clock()
{
    return 1800000000;
}

class console : public server_fixture {
protected:
    sock_pair sp;
    time_t (*clock_backup)() = ack_clock;
    // How long a request waits for more replies once the server's pass has written its own.
    int reply_wait_ms = 50;

    void SetUp() override
    {
        server_fixture::SetUp();
        ack_clock = fixed_clock;
        ASSERT_EQ(client_open(sp.server_fd, "127.0.0.1:40003"), 0);
    }
    void TearDown() override
    {
        ack_clock = clock_backup;
        server_fixture::TearDown();
    }

    // An "AN" request by who with the note, or another console command with who and note.
    std::vector<reply> act(const std::string &cmd, const std::string &host,
                           const std::string &key, const std::string &who,
                           const std::string &note = "")
    {
        line_buf req = make_record("CONSOLE", pad(host, LEN_HOSTNAME), pad(key, LEN_KEY), cmd,
                                   'Y', note);
        memset(req.data() + OFF_ACK_UNTIL, ' ', LEN_ACK_UNTIL);
        memcpy(req.data() + OFF_ACK_WHO, who.data(), who.size());
        process_console_request(sp.server_fd, req.data());
        return split_replies(read_available(sp.peer_fd, reply_wait_ms));
    }

    // Sends one console request and returns the replies written for it.
    std::vector<reply> ask(const std::string &productid, const std::string &host,
                           const std::string &key, const std::string &cmd, char want = 'Y')
    {
        line_buf req = make_record(productid, host, key, cmd, want);
        process_console_request(sp.server_fd, req.data());
        return split_replies(read_available(sp.peer_fd, reply_wait_ms));
    }
};

} // namespace

TEST_F(console, productid_gives_line_count_and_length)
{
    const char *LINES_WARN = "WARN: Illegal # console lines in productid from hostA";
    const char *LEN_WARN = "WARN: Illegal # console linelen in productid from hostA          , "
                           "defaulting to 127 lines\n";
    struct {
        const char *productid;
        int lines;
        int length;   // -1: left as the caller set it
        bool lines_warning, length_warning;
    } cases[] = {
        {"CONSOLE       ", 23, -1, false, false},
        {"CONSOLE24", 23, -1, false, false},
        {"CONSOLE3", 2, -1, false, false},
        {"CONSOLE2", 2, -1, false, false},
        {"CONSOLE1", 1, -1, false, false},
        {"CONSOLE0", 23, -1, true, false},
        {"CONSOLEXY", 23, -1, true, false},
        {"CONSOLE24_80", 23, 80, false, false},
        {"CONSOLE24_1", 23, 1, false, false},
        {"CONSOLE24_127", 23, 127, false, false},
        {"CONSOLE5_80", 4, -1, false, false},
        {"CONSOLE100_80", 99, -1, false, false},
        {"CONSOLE24_0", 23, 127, false, true},
        {"CONSOLE24_500", 23, 127, false, true},
        {"CONSOLE24_", 23, 127, false, true},
        {"CONSOLE24_-5", 23, 127, false, true},
        {"CONSOLE-3", -3, -1, false, false},
        {"CONSOLE00_0", 23, 127, true, true},
        {"console24", 0, -1, false, false},
        {"CONSOL", 0, -1, false, false},
        {"GENALERT", 0, -1, false, false},
    };
    for (const auto &c : cases) {
        line_buf rec = make_record(c.productid, "hostA", "k", "SL", 'Y');
        std::string before = log();
        int length = -1;
        EXPECT_EQ(message_from_console_application(rec.data(), &length), c.lines) << c.productid;
        EXPECT_EQ(length, c.length) << c.productid;
        std::string added = log().substr(before.size());
        EXPECT_EQ(count(added, LINES_WARN), c.lines_warning ? 1u : 0u) << c.productid << added;
        EXPECT_EQ(count(added, LEN_WARN), c.length_warning ? 1u : 0u) << c.productid << added;
        if (c.lines_warning) {
            EXPECT_NE(added.find(", defaulting to 24 lines\n"), std::string::npos);
        }
    }

    // A line count of digits that fill the productid and run on: read within the record,
    // never overflowing.
    line_buf big = make_record("CONSOLE9999999", "h", "k", "SL");
    memset(big.data() + OFF_PRODUCTID + 7, '9', ALERT_RECORD_SIZE - 8);
    int length = -1;
    EXPECT_GT(message_from_console_application(big.data(), &length), 0);
}

TEST_F(console, listing_lines_replies_and_cuts)
{
    // Empty table: one "DB" with the no-alerts line, its newline sent as '^'.
    auto r = ask("CONSOLE24_80", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DB");
    EXPECT_EQ(r[0].data_length(), "0070");
    std::string d = r[0].data();
    ASSERT_EQ(d.size(), 70u);
    EXPECT_EQ(d.substr(14), " --------------- -------------- IO NO ALERTS AT PRESENT^");
    EXPECT_EQ(d[8], ' ');
    EXPECT_EQ(d[11], ':');

    // Listing line: 49 characters before the text, then the text and a newline; a line of
    // exactly the line length arrives whole, one longer is cut to length - 1 and a newline.
    store("hostA", "k80", "AC", std::string(80 - 50, 'a'));   // 80 with its newline
    store("hostA", "k81", "AW", std::string(81 - 50, 'b'));   // 81
    store("hostA", "k10", "IO", "short");
    r = ask("CONSOLE24_80", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    std::string when(memory_table[0].data() + OFF_DATETIME, LEN_DATETIME);
    std::string expect = when + " hostA           k80            AC " + std::string(30, 'a') + "^" +
                         std::string(memory_table[1].data() + OFF_DATETIME, LEN_DATETIME) +
                         " hostA           k81            AW " + std::string(30, 'b') + "^" +
                         std::string(memory_table[2].data() + OFF_DATETIME, LEN_DATETIME) +
                         " hostA           k10            IO short^";
    EXPECT_EQ(r[0].data(), expect);
    EXPECT_EQ(r[0].data_length(), "0" + std::to_string(expect.size()));

    // Line length 1: every line is a lone newline.  CONSOLE03: two lines only.
    r = ask("CONSOLE24_1", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data(), "^^^");
    r = ask("CONSOLE03", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(count(r[0].data(), "^"), 2u);

    // Without reply_wanted 'Y' a listing writes and logs nothing.
    std::string before = log();
    r = ask("CONSOLE0", "h", "k", "SL", 'N');
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(log(), before);
}

TEST_F(console, listing_follows_every_kind_of_table_change)
{
    // The listing as it is now, and once more under another line length: short lines are
    // the same under both, but the second cannot come from what the first left behind.
    auto listing = [this](const char *productid) {
        std::string all;
        for (const auto &r : ask(productid, "ops", "k", "SL"))
            all += r.type() + r.data();
        return all;
    };
    auto fresh = [&]() { return listing("CONSOLE99_126"); };
    auto cached = [&]() { return listing("CONSOLE99_127"); };
    struct {
        const char *change;
        std::function<void()> apply;
    } steps[] = {
        {"add", [] { store("web", "disk", "AC", "full"); }},
        {"add another", [] { store("web", "cpu", "AW", "busy"); }},
        {"replace", [] { store("web", "disk", "AW", "nearly full"); }},
        {"acknowledge",
         [] {
             line_buf l = make_record("GENALERT", "web", "cpu", "KA");
             alert_acknowledge(l.data(), 0);
         }},
        {"unacknowledge", [this] { act("UA", "web", "cpu", "ops"); }},
        {"delete",
         [] {
             line_buf l = make_record("GENALERT", "web", "disk", "AK");
             alert_delete(l.data(), 0);
         }},
        {"fill with an info alert first",
         [] {
             store("db", "info", "IO", "note");
             for (int i = 0; last_table_entry < MAX_ALERTS; i++)
                 store("db", "k" + std::to_string(i), "AC", "x");
         }},
        {"displace the info alert", [] { store("db", "new", "AC", "y"); }},
        {"delete through", [this] { ask("CONSOLE", "db", "k3", "KK"); }},
        {"clear a host",
         [] {
             line_buf l = make_record("GENALERT", "db", "", "KH");
             alert_delete_all_for_host(l.data(), 0);
         }},
        {"add after", [] { store("web", "mem", "AC", "low"); }},
        {"reset", [] { alert_table_reset(); }},
    };
    std::string before = cached();
    for (const auto &step : steps) {
        cached();   // now the cache holds it
        step.apply();
        std::string after = cached();
        EXPECT_NE(after, before) << step.change;
        EXPECT_EQ(after, fresh()) << step.change;
        before = after;
    }
}

TEST_F(console, full_table_listing_splits_at_4095)
{
    for (int i = 0; i < MAX_ALERTS; i++)
        store("host" + std::to_string(i), "key" + std::to_string(i), "AC", std::string(100, 'x'));
    auto r = ask("CONSOLE99", "h", "k", "SL");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type(), "DF");
    EXPECT_EQ(r[0].data_length(), "4064");
    EXPECT_EQ(count(r[0].data(), "^"), 32u);
    EXPECT_EQ(r[1].type(), "DB");
    EXPECT_EQ(r[1].data_length(), std::to_string(18 * 127));
    EXPECT_EQ(r[1].data().substr(15, 6), "host32");
    // CONSOLE10: 9 lines only, in table order.
    r = ask("CONSOLE10", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(count(r[0].data(), "^"), 9u);
    EXPECT_EQ(r[0].data().substr(15, 6), "host0 ");

    // Lines that end exactly at 4095 characters fill the first reply: 31 lines cut at 127
    // and two of 79 (49 characters before the text, 29 of text, the newline).
    alert_table_reset();
    for (int i = 0; i < 34; i++)
        store("host" + std::to_string(i), "key" + std::to_string(i), "AC",
              std::string(i < 31 ? 100 : 29, 'x'));
    r = ask("CONSOLE99", "h", "k", "SL");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].data_length(), "4095");
    EXPECT_EQ(r[1].data().substr(15, 6), "host33");
}

TEST_F(console, reply_header_bytes)
{
    line_buf req = make_record("CONSOLE24_80", "hostA", "keyA", "SD", 'Y');
    memcpy(req.data() + OFF_DATETIME, "19990101 00:00", LEN_DATETIME);
    memset(req.data() + OFF_VERSION, 0, LEN_VERSION + 1);   // a version field not space-filled
    req.data()[OFF_VERSION] = 'v';
    process_console_request(sp.server_fd, req.data());
    auto r = split_replies(read_available(sp.peer_fd, 50));
    ASSERT_EQ(r.size(), 1u);
    const std::string &b = r[0].bytes;
    EXPECT_EQ(b.substr(0, 63), std::string("CONSOLE24_80  \0" "v         \0" "hostA          \0"
                                           "keyA          \0" "0    \0", 63));
    EXPECT_EQ(b.substr(63, 3), "DEN");
    char now[LEN_DATETIME + 1];
    set_datestamp(now);
    EXPECT_EQ(b.substr(OFF_DATETIME, LEN_DATETIME + 1).substr(0, 8), std::string(now, 8));
    EXPECT_EQ(b[OFF_DATETIME + LEN_DATETIME], '\0');
    EXPECT_NE(b.substr(OFF_DATETIME, 4), "1999");
    EXPECT_EQ(b.substr(OFF_DATA_LENGTH, 5), std::string("0029\0", 5));
    EXPECT_EQ(r[0].data(), "*ERR: Alert no longer exists^");
    EXPECT_EQ(b.find_first_not_of('\0', OFF_DATA + 29), OFF_REPLY_NEWLINE);
    EXPECT_EQ(b.back(), '\n');
    EXPECT_EQ(count(b, "\n"), 1u);
    // The request itself is not the reply: its own reply_wanted is untouched.
    EXPECT_EQ(req.data()[OFF_REPLY_WANTED], 'Y');
}

TEST_F(console, details_and_crafted_records)
{
    store("hostA", "keyA", "AW", "disk full");
    auto r = ask("CONSOLE", "hostA          ", "keyA          ", "SD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DS");
    std::string when(memory_table[0].data() + OFF_DATETIME, LEN_DATETIME);
    EXPECT_EQ(r[0].data(), "HOST: hostA             DATETIME: " + when +
                               "^KEY: keyA          ^MSGTYPE AW     PERSISTENT Y^"
                               "MSGTEXT: disk full^OPTIONAL DATA: ^");
    // A short record leaves its persistent flag a zero byte: the details keep their whole
    // text, the flag a blank, and the reply its one newline at its end.
    table_bytes(0)[OFF_PERSISTENT] = '\0';
    r = ask("CONSOLE", "hostA          ", "keyA          ", "SD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].data().find("PERSISTENT  ^MSGTEXT: disk full^OPTIONAL DATA: ^"),
              std::string::npos) << r[0].data();
    EXPECT_EQ(count(r[0].bytes, "\n"), 1u);

    // Not space-filled as stored: no such alert.  Nothing is logged for "SD".
    std::string before = log();
    line_buf req = make_record("CONSOLE", "hostA", "keyA", "SD", 'Y');
    req.data()[OFF_HOSTNAME + 5] = '\0';
    process_console_request(sp.server_fd, req.data());
    r = split_replies(read_available(sp.peer_fd, 50));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DE");
    EXPECT_EQ(log(), before);

    // The details are those of the named slot, not the first.
    store("hostB", "keyB", "AC", "x");
    auto b = ask("CONSOLE", "hostB          ", "keyB          ", "SD");
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].data().substr(0, 11), "HOST: hostB");

    // A stored record without any terminator from msgtext on: its texts end at the record's
    // end and never show the neighbouring slot.
    char *rec = table_bytes(0);
    memset(rec + OFF_MSGTEXT, 'm', ALERT_RECORD_SIZE - OFF_MSGTEXT);
    rec[OFF_ALERT_NEWLINE] = '\n';
    memset(table_bytes(1), '#', ALERT_RECORD_SIZE);   // a neighbour of all '#'
    r = ask("CONSOLE", "hostA          ", "keyA          ", "SD");
    ASSERT_EQ(r.size(), 1u);
    std::string d = r[0].data();
    EXPECT_EQ(d.find('#'), std::string::npos) << d;
    EXPECT_NE(d.find("MSGTEXT: " + std::string(ALERT_RECORD_SIZE - 1 - OFF_MSGTEXT, 'm') + "^"),
              std::string::npos);
    r = ask("CONSOLE", "h", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    d = r[0].data();
    std::size_t first_end = d.find('^');
    ASSERT_NE(first_end, std::string::npos);
    EXPECT_EQ(first_end, 126u);   // cut at 127 with its newline, nothing of slot 1
    EXPECT_EQ(d.substr(0, first_end).find_first_not_of("m", 49), std::string::npos);
}

TEST_F(console, acknowledge_delete_and_delete_through)
{
    for (int i = 0; i < 5; i++)
        store("host", "key" + std::to_string(i), "AC", "t");

    // "AC": the command log line, the stored alert becomes "AK" in its slot, "--" back.
    line_buf req = make_record("CONSOLE", "host", "key1", "AC", 'Y');
    memcpy(req.data() + OFF_DATETIME, "20240102 03:04", LEN_DATETIME);
    process_console_request(sp.server_fd, req.data());
    auto r = split_replies(read_available(sp.peer_fd, 50));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_EQ(r[0].data_length(), "0000");
    EXPECT_NE(log().find("AINF: " + pad("host", 15) + " 20240102 03:04 AC " + pad("key1", 14) +
                         " (CONSOLE COMMAND)\n"),
              std::string::npos);
    EXPECT_TRUE(msgtype_is(memory_table[1].data(), "AK"));

    // "AD" without 'Y': logged and carried out, nothing written back.
    r = ask("CONSOLE", "host", "key4", "AD", 'N');
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(last_table_entry, 4);
    EXPECT_NE(log().find(" AD " + pad("key4", 14) + " (CONSOLE COMMAND)\n"), std::string::npos);

    // "AC" of a missing alert: not-found warning, nothing changed, still "--".
    r = ask("CONSOLE", "host", "gone", "AC");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_NE(log().find("WARN: message not found to acknowledge, requested from 'host"),
              std::string::npos);
    EXPECT_EQ(last_table_entry, 4);

    // "AD" of a missing alert: not-found warning, still "--".
    r = ask("CONSOLE", "host", "gone", "AD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_NE(log().find("WARN: message not found to delete, requested from host"),
              std::string::npos);

    // "KK" through slot 2 of 4: three delete lines in order, the summary, slot 3 moves up.
    std::string before = log();
    r = ask("CONSOLE", "host", "key2", "KK");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    std::string added = log().substr(before.size());
    auto manual = [](const char *key) {
        return "AINF: Manual delete of " + pad("host", 15) + " " + pad(key, 14) + " (CONSOLE KK)\n";
    };
    std::size_t a = added.find(manual("key0"));
    std::size_t b = added.find(manual("key1"));
    std::size_t c = added.find(manual("key2"));
    std::size_t s = added.find("AINF: 3 alerts KK deleted, 3 recovered by compress\n");
    ASSERT_NE(a, std::string::npos);
    EXPECT_TRUE(a < b && b < c && c < s && s != std::string::npos) << added;
    ASSERT_EQ(last_table_entry, 1);
    EXPECT_EQ(std::string(memory_table[0].data() + OFF_KEY, 4), "key3");

    // "KK" naming no stored alert: nothing logged, nothing changed, still "--".
    before = log();
    r = ask("CONSOLE", "host", "nope", "KK");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_EQ(log(), before);
    EXPECT_EQ(last_table_entry, 1);
}

TEST_F(console, command_log_line_stays_within_127)
{
    line_buf req = make_record("CONSOLE", "h", "k", "AC", 'N');
    memset(req.data() + OFF_HOSTNAME, 'H', ALERT_RECORD_SIZE - OFF_HOSTNAME);
    req.data()[OFF_MSGTYPE] = 'A';
    req.data()[OFF_MSGTYPE + 1] = 'C';
    process_console_request(sp.server_fd, req.data());
    std::string l = log();
    std::size_t at = l.find("AINF: HHH");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(l.find('\n', at) - at, 127u);
}

TEST_F(console, unknown_and_unimplemented_commands)
{
    struct {
        const char *cmd;
        char want;
        const char *reply_text;   // nullptr: nothing written
        bool logged;
    } cases[] = {
        {"RC", 'Y', "Server does not have that command implemented yet !^", false},
        {"RC", 'N', nullptr, false},
        {"ZZ", 'Y', "Server does not recognise command, ignored !^", true},
        {"ZZ", 'N', nullptr, true},
        {"sl", 'Y', "Server does not recognise command, ignored !^", true},
        {"SD", 'N', nullptr, false},
    };
    for (const auto &c : cases) {
        std::string before = log();
        auto r = ask("CONSOLE", "hostZ", "k", c.cmd, c.want);
        std::string added = log().substr(before.size());
        if (c.reply_text) {
            ASSERT_EQ(r.size(), 1u) << c.cmd;
            EXPECT_EQ(r[0].type(), "DE");
            EXPECT_EQ(r[0].data(), c.reply_text);
        } else {
            EXPECT_TRUE(r.empty()) << c.cmd;
        }
        std::string line = std::string("*ERR: Unknown command '") + c.cmd +
                           "' recieved from console at hostZ          , ignored\n";
        EXPECT_EQ(added.find(line) != std::string::npos, c.logged) << c.cmd << added;
        if (!c.logged) {
            EXPECT_EQ(added, "") << c.cmd;
        }
    }
}

TEST_F(console, out_of_memory_and_failed_write)
{
    store("host", "key", "AC", "t");
    // No reply buffer: logged, no command carried out, the request answers "DE" itself.
    console_fail_next_alloc = true;
    line_buf req = make_record("CONSOLE", "host", "key", "AD", 'Y');
    process_console_request(sp.server_fd, req.data());
    auto r = split_replies(read_available(sp.peer_fd, 50));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DE");
    EXPECT_EQ(r[0].data(), "*ERR: Insufficent server memory for request^");
    EXPECT_EQ(r[0].bytes.substr(OFF_HOSTNAME, 16), std::string("host           \0", 16));
    EXPECT_EQ(r[0].bytes[OFF_REPLY_WANTED], 'N');
    EXPECT_EQ(last_table_entry, 1);
    EXPECT_NE(log().find("*ERR: Insufficent server memory for console request\n"),
              std::string::npos);
    EXPECT_EQ(log().find("CONSOLE COMMAND"), std::string::npos);

    console_fail_next_alloc = true;
    r = ask("CONSOLE", "host", "key", "SL", 'N');
    EXPECT_TRUE(r.empty());
    EXPECT_EQ(count(log(), "*ERR: Insufficent server memory for console request\n"), 2u);

    // A console that has gone: the write fails, is logged, and the request still completes.
    signal(SIGPIPE, SIG_IGN);
    close(sp.peer_fd);
    sp.peer_fd = -1;
    line_buf ack = make_record("CONSOLE", "host", "key", "AC", 'Y');
    process_console_request(sp.server_fd, ack.data());
    EXPECT_NE(log().find("*ERR: Unable to write a response to a client console application\n"),
              std::string::npos);
    EXPECT_TRUE(msgtype_is(memory_table[0].data(), "AK"));
}

// The whole listing: a header line, then one row per alert whose fields are tab-separated and
// escaped, so that '^', tab, '%' and control bytes in a text cannot forge a row. Checked byte
// for byte, then paged over a board that takes several answers.
TEST_F(console, whole_listing_rows_are_escaped_and_paged)
{
    EXPECT_TRUE(ask("CONSOLE24_80", "c", "", "SA", 'N').empty());
    std::vector<reply> r = ask("CONSOLE24_80", "c", "", "SA");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DB");
    EXPECT_EQ(r[0].data(), "BOARD\t0\t0^");

    store("hostA", "k1", "AC", "disk ^0\tAC\tforged % 100\x01\xe9");
    store("hostB", "k2", "AW", "");
    // Acknowledged with a note and a name that hold '^', '%' and a tab: escaped as well.
    ASSERT_EQ(act("AN", "hostB", "k2", "al^%ce", "n^1\t%")[0].type(), "--");
    std::string when(memory_table[0].data() + OFF_DATETIME, LEN_DATETIME);
    r = ask("CONSOLE24_80", "c", "", "SA");
    ASSERT_EQ(r.size(), 1u);
    // After the record's fields: first stored, last changed, who, severity before, since,
    // until, note and the pending action.
    std::string expected = "BOARD\t2\t0^"
                           "0\t" + when + "\thostA          \tk1            \tAC\tY\t"
                           "disk %5E0%09AC%09forged %25 100%01%E9\t"
                           "\t1800000000\t1800000000\t\t\t0\t0\t\t^"
                           "1\t" + when + "\thostB          \tk2            \tAK\tY\t\t"
                           "\t1800000000\t1800000000\tal%5E%25ce\tAW\t1800000000\t0\t"
                           "n%5E1 %25\t^";
    EXPECT_EQ(r[0].data(), expected);
    EXPECT_EQ(r[0].data_length(), "0" + std::to_string(expected.size()));
    // The details escape the same fields, so no text forges an ack line.
    r = ask("CONSOLE", "hostB          ", "k2            ", "SX");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(r[0].data().find("^ACK BY: al%5E%25ce^"), std::string::npos) << r[0].data();
    EXPECT_NE(r[0].data().find("^ACK NOTE: n%5E1 %25^"), std::string::npos) << r[0].data();
    r = ask("CONSOLE", "hostA          ", "k1            ", "SD");
    EXPECT_NE(r[0].data().find("^MSGTEXT: disk %5E0%09AC%09forged %25 100%01%E9^"),
              std::string::npos) << r[0].data();
    // A start past the first alert, and one past the end.
    r = ask("CONSOLE24_80", "c", "1", "SA");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data(), "BOARD\t2\t1^" + expected.substr(expected.find("^1\t") + 1));
    r = ask("CONSOLE24_80", "c", "  9", "SA");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data(), "BOARD\t2\t2^");

    // 600 alerts of long texts: each answer is at most four replies, its rows follow on from
    // the asked start, and paging on from the last row sees every alert once, in order.
    ASSERT_EQ(alert_table_init(600), 0);
    for (int i = 0; i < 600; i++)
        store("h" + std::to_string(i % 7), "k" + std::to_string(i), "AW", std::string(90, 'x'));
    int next = 0, answers = 0;
    while (next < 600 && answers < 100) {
        r = ask("CONSOLE24_80", "c", std::to_string(next), "SA");
        answers++;
        ASSERT_GE(r.size(), 1u);
        ASSERT_LE(r.size(), 4u);
        std::string text;
        for (std::size_t i = 0; i < r.size(); i++) {
            EXPECT_EQ(r[i].type(), i + 1 < r.size() ? "DF" : "DB");
            EXPECT_EQ(r[i].data().back(), '^');
            text += r[i].data();
        }
        std::string header = "BOARD\t600\t" + std::to_string(next) + "^";
        ASSERT_EQ(text.compare(0, header.size(), header), 0) << text.substr(0, 40);
        std::size_t at = header.size();
        int rows = 0;
        while (at < text.size()) {
            std::size_t end = text.find('^', at);
            std::string row = text.substr(at, end - at);
            EXPECT_EQ(row.substr(0, row.find('\t')), std::to_string(next + rows));
            EXPECT_NE(row.find("\tk" + std::to_string(next + rows) + " "), std::string::npos);
            rows++;
            at = end + 1;
        }
        ASSERT_GT(rows, 0);
        next += rows;
    }
    EXPECT_EQ(next, 600);
    EXPECT_GT(answers, 1);
}

// Every byte value in every field: the board rows ("SA", "SQ") and the details ("SD", "SX")
// carry only printable characters, the rest as %XX; the listing ("SL") carries the bytes as
// stored, a newline as '^', as consoles have always read it.
TEST_F(console, every_byte_in_every_field_of_every_listing)
{
    auto esc = [](const std::string &s) {
        std::string out;
        for (unsigned char c : s) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += c < 0x20 || c >= 0x7f || c == '%' || c == '^' ? std::string(hex)
                                                                  : std::string(1, char(c));
        }
        return out;
    };
    // Printable, tabs between the fields of a row apart.
    auto printable = [](const std::string &d) {
        return std::find_if(d.begin(), d.end(), [](char c) {
                   return c != '\t' && (static_cast<unsigned char>(c) < 0x20 ||
                                        static_cast<unsigned char>(c) >= 0x7f);
               }) == d.end();
    };
    auto field = [](const std::string &row, int n) {
        std::size_t at = 0;
        for (int i = 0; i < n; i++)
            at = row.find('\t', at) + 1;
        return row.substr(at, row.find_first_of("\t^", at) - at);
    };
    reply_wait_ms = 0;     // each reply is written whole in the pass that handles its request
    for (int v = 0; v < 256; v++) {
        SCOPED_TRACE("byte " + std::to_string(v));
        const std::string b(1, static_cast<char>(v));
        // A zero byte ends a text field where it stands, a newline a name as well.
        auto upto = [](const std::string &s) { return s.substr(0, s.find('\0')); };
        auto name = [](const std::string &s) { return s.substr(0, s.find_first_of('\n')); };
        const std::string host = pad(name(upto("h" + b)), LEN_HOSTNAME);
        const std::string key = pad(name(upto("k" + b)), LEN_KEY);
        const std::string text = upto("t" + b + "t"), opt = upto("o" + b + "o");
        alert_table_reset();
        store("h" + b, "k" + b, "AC", "t" + b + "t");
        memcpy(table_bytes(0) + OFF_OPTIONAL_DATA, opt.data(), opt.size());

        std::vector<reply> r = ask("CONSOLE24_127", "c", "", "SA");
        ASSERT_EQ(r.size(), 1u);
        std::string row = r[0].data().substr(r[0].data().find('^') + 1);
        EXPECT_TRUE(printable(row)) << row;
        EXPECT_EQ(field(row, 2), esc(host));
        EXPECT_EQ(field(row, 3), esc(key));
        EXPECT_EQ(field(row, 6), esc(text));
        EXPECT_EQ(field(row, 7), esc(opt));

        r = ask("CONSOLE", host, key, "SD");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_TRUE(printable(r[0].data())) << r[0].data();
        EXPECT_NE(r[0].data().find("MSGTEXT: " + esc(text) + "^OPTIONAL DATA: " + esc(opt) +
                                   "^"), std::string::npos) << r[0].data();
        if (v != '\n') {    // a newline ends the listing's line
            r = ask("CONSOLE24_127", "c", "", "SL");
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].data().substr(LEN_DATETIME + 1),
                      host + " " + key + " AC " + text + "^");
        }
        std::vector<reply> acked =
            act("AN", upto("h" + b), upto("k" + b), "w" + upto(b), "n" + b + "n");
        ASSERT_EQ(acked.size(), 1u);
        ASSERT_EQ(acked[0].type(), "--");
        r = ask("CONSOLE", host, key, "SX");
        ASSERT_EQ(r.size(), 1u);
        EXPECT_TRUE(printable(r[0].data())) << r[0].data();
        EXPECT_NE(r[0].data().find("^ACK NOTE: "), std::string::npos) << r[0].data();
    }
    // Texts a sender left unterminated up to the record's end, each byte one escaped as three:
    // the message text runs on into the optional data, in the rows and details alike.
    alert_table_reset();
    store("h", "k", "AC", "");
    memset(table_bytes(0) + OFF_MSGTEXT, 0xff, OFF_ALERT_NEWLINE - OFF_MSGTEXT);
    const std::string run_on = esc(std::string(OFF_ALERT_NEWLINE - OFF_MSGTEXT, '\xff'));
    std::vector<reply> got = ask("CONSOLE24_127", "c", "", "SA");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(field(got[0].data().substr(got[0].data().find('^') + 1), 6), run_on);
    got = ask("CONSOLE", pad("h", LEN_HOSTNAME), pad("k", LEN_KEY), "SD");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].data().find("MSGTEXT: " + run_on + "^"), std::string::npos) << got[0].data();

    // The waiting records, one for each byte value, behind a full board of one.
    ASSERT_EQ(alert_table_init(1), 0);
    store("full", "k", "AC", "x");
    for (int v = 0; v < 256; v++)
        store("q", "k" + std::to_string(v), "AC", "t" + std::string(1, char(v)) + "t");
    for (int v = 0; v < 256; v++) {
        SCOPED_TRACE("waiting byte " + std::to_string(v));
        std::vector<reply> r = ask("CONSOLE", "c", std::to_string(v), "SQ");
        ASSERT_GE(r.size(), 1u);
        std::string data = r[0].data();
        std::string row = data.substr(data.find('^') + 1);
        row = row.substr(0, row.find('^') + 1);
        EXPECT_TRUE(printable(row)) << row;
        EXPECT_EQ(field(row, 0), std::to_string(v));
        std::string t = "t" + std::string(1, char(v)) + "t";
        EXPECT_EQ(field(row, 6), esc(t.substr(0, t.find('\0'))));
    }
}

// The waiting listing: the overflow file's unread records in file order with their record
// numbers, from the first unread one or a later asked record, the read part excluded.
TEST_F(console, waiting_listing_shows_unread_records_in_file_order)
{
    ASSERT_EQ(alert_table_init(2), 0);
    auto send = [](const std::string &key, const std::string &type) {
        line_buf l = make_record("GENALERT", "h", key, type, 'N', "t " + key);
        process_alert_message(l.data(), 0);
    };
    send("a", "AC");
    send("b", "AC");
    send("c", "AW");     // waits: the board is full
    send("d", "AC");
    send("c", "AK");     // waits behind its raise
    std::string when(memory_table[0].data() + OFF_DATETIME, LEN_DATETIME);
    auto row = [&when](int n, const std::string &key, const std::string &type) {
        return std::to_string(n) + "\t" + when + "\th              \t" + key +
               "             \t" + type + "\tY\tt " + key + "\t\t0\t0\t\t\t0\t0\t\t^";
    };
    std::vector<reply> r = ask("CONSOLE", "c", "", "SQ");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DB");
    EXPECT_EQ(r[0].data(), "WAITING\t3\t0^" + row(0, "c", "AW") + row(1, "d", "AC") +
                               row(2, "c", "AK"));
    r = ask("CONSOLE", "c", "2", "SQ");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data(), "WAITING\t3\t0^" + row(2, "c", "AK"));

    // A clear on the board replays record 0, which fills it again: an asked start before the
    // first unread record lists from there.
    send("a", "AK");
    r = ask("CONSOLE", "c", "0", "SQ");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data(), "WAITING\t2\t1^" + row(1, "d", "AC") + row(2, "c", "AK"));
}

// The summary: "name value" lines. The figures of the table and of the waiting records by
// kind are checked here; the counts of what arrived are checked on the wire.
TEST_F(console, summary_reports_table_and_waiting_figures)
{
    ASSERT_EQ(alert_table_init(3), 0);
    store("h", "a", "AC", "");
    store("h", "b", "AW", "");
    store("h", "c", "IO", "");
    line_buf l = make_record("GENALERT", "h", "b", "KA", 'N');
    process_alert_message(l.data(), 0);
    for (const char *key : {"d", "e"}) {
        line_buf w = make_record("GENALERT", "h", key, "AW", 'N');
        process_alert_message(w.data(), 0);      // d displaces the info alert, e waits
    }
    line_buf k = make_record("GENALERT", "h", "e", "AK", 'N');
    process_alert_message(k.data(), 0);          // waits behind e's raise
    std::vector<reply> r = ask("CONSOLE", "c", "", "SS");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DB");
    std::string d = r[0].data();
    for (const char *line : {"^table_size 3^", "^table_alerts 3^", "^table_critical 1^",
                             "^table_warning 1^", "^table_info 0^", "^table_acknowledged 1^",
                             "^waiting_records 2^", "^waiting_raise 1^", "^waiting_clear 1^",
                             "^waiting_acknowledge 0^", "^info_displaced 1^",
                             "^records_spilled 2^", "^stored_new 4^"})
        EXPECT_NE(("^" + d).find(line), std::string::npos) << line << "\n" << d;
    EXPECT_EQ(d.compare(0, 13, "table_size 3^"), 0);
}

// Console actions on an alert whose raise still waits in the overflow file go behind it and
// take effect in order, keeping who, note and expiry; the details come from the waiting
// record; deletes say who.
TEST_F(console, actions_on_waiting_alerts_take_effect_in_order)
{
    ASSERT_EQ(alert_table_init(1), 0);
    auto raise = [](const std::string &key) {
        line_buf l = make_record("GENALERT", "h", key, "AC", 'N', "text " + key);
        process_alert_message(l.data(), 0);
    };
    raise("a");
    raise("w");                                     // waits: the board is full
    auto r = ask("CONSOLE", pad("h", LEN_HOSTNAME), pad("w", LEN_KEY), "SX");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DS");
    EXPECT_NE(r[0].data().find("MSGTEXT: text w^"), std::string::npos) << r[0].data();

    // An expiry that is no time is refused at once, not answered and dropped later.
    line_buf bad = make_record("CONSOLE", pad("h", LEN_HOSTNAME), pad("w", LEN_KEY), "AN", 'Y');
    memcpy(bad.data() + OFF_ACK_UNTIL, "soon      ", LEN_ACK_UNTIL);
    process_console_request(sp.server_fd, bad.data());
    EXPECT_EQ(split_replies(read_available(sp.peer_fd, 50))[0].type(), "DE");
    ASSERT_EQ(act("AN", "h", "w", "alice", "on it")[0].type(), "--");
    EXPECT_NE(log().find("AINF: Pending acknowledge h               w              by alice\n"),
              std::string::npos) << log();
    r = ask("CONSOLE", "c", "", "SQ");
    EXPECT_NE(r[0].data().find("\tAN\tY\ton it\t\t0\t0\talice\t\t0\t0\ton it\t^"),
              std::string::npos) << r[0].data();

    // The delete of the board's alert acts at once (nothing waits for it) and says who; the
    // refill then brings w in and its acknowledgement after it.
    ASSERT_EQ(act("AD", "h", "a", "bob", "done")[0].type(), "--");
    EXPECT_NE(log().find("AINF: Deleted h               a              AC by bob: done\n"),
              std::string::npos) << log();
    ASSERT_EQ(last_table_entry, 1) << log();
    EXPECT_EQ(std::string(memory_table[0].data() + OFF_KEY, 1), "w") << log();
    EXPECT_TRUE(msgtype_is(memory_table[0].data(), "AK"));
    EXPECT_STREQ(alert_ack_of(memory_table[0].data())->who, "alice");
    EXPECT_STREQ(alert_ack_of(memory_table[0].data())->note, "on it");

    // A plain delete of a waiting alert: behind its raise, by the peer address; the raise
    // never shows once its delete is replayed.
    raise("x");
    r = ask("CONSOLE", pad("h", LEN_HOSTNAME), pad("x", LEN_KEY), "AD");
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_NE(log().find("AINF: Pending delete h               x              by 127.0.0.1\n"),
              std::string::npos) << log();
    EXPECT_EQ(alerts_num_buffered(), 2);
    ASSERT_EQ(act("AD", "h", "w", "carol")[0].type(), "--");
    EXPECT_EQ(last_table_entry, 0);
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_NE(log().find("AINF: Deleted h               x              AC by 127.0.0.1: \n"),
              std::string::npos) << log();

    // Neither on the board nor waiting: the written answers.
    EXPECT_EQ(act("AN", "h", "none", "dave")[0].type(), "DE");
    r = ask("CONSOLE", pad("h", LEN_HOSTNAME), pad("none", LEN_KEY), "SD");
    EXPECT_EQ(r[0].data(), "*ERR: Alert no longer exists^");
}

// Console client: request bytes, reply gathering against a scripted server, connection errors.
#include "common/console_client.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/net_helpers.h"

namespace {

// A console reply buffer as the server writes it.
std::string
reply_bytes(const std::string &type, const std::string &data)
{
    std::string r(CONSOLE_REPLY_SIZE, '\0');
    memcpy(r.data(), "CONSOLE99_127 ", LEN_PRODUCTID);
    r[OFF_MSGTYPE] = type[0];
    r[OFF_MSGTYPE + 1] = type[1];
    r[OFF_REPLY_WANTED] = 'N';
    std::string len = std::to_string(data.size());
    memcpy(r.data() + OFF_DATA_LENGTH, (std::string(4 - len.size(), '0') + len).data(), 4);
    memcpy(r.data() + OFF_DATA, data.data(), data.size());
    r[OFF_REPLY_NEWLINE] = '\n';
    return r;
}

// n replies of the type, each with the data "x".
std::string
many(const std::string &type, int n)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += reply_bytes(type, "x");
    return s;
}

// A one-connection server on 127.0.0.1 that reads one request, writes the scripted bytes,
// then waits `linger_ms` before closing.
struct scripted_reply {
    std::string request;
    scripted_server srv;
    int port;

    scripted_reply(std::string script, int linger_ms)
        : srv([this, script, linger_ms](int fd) {
              char buf[ALERT_RECORD_SIZE];
              std::size_t got = 0;
              while (got < sizeof buf) {
                  ssize_t n = read(fd, buf + got, sizeof buf - got);
                  if (n <= 0)
                      break;
                  got += static_cast<std::size_t>(n);
              }
              request.assign(buf, got);
              if (!script.empty() && send(fd, script.data(), script.size(), MSG_NOSIGNAL) < 0)
                  request += "<write failed>";
              std::this_thread::sleep_for(std::chrono::milliseconds(linger_ms));
          }),
          port(srv.port)
    {
    }
};

} // namespace

TEST(console_client, request_bytes)
{
    struct {
        std::string host, key;
        std::string want_host, want_key;   // the 15 and 14 bytes sent, then a zero byte
    } cases[] = {
        {"web01", "disk", "web01          ", "disk          "},
        {"a-very-long-hostname", "a-very-long-key-name", "a-very-long-hos", "a-very-long-ke"},
        {"exactly15chars_", "exactly14chars", "exactly15chars_", "exactly14chars"},
        {"", "two\nlines", "               ", "two lines     "},
    };
    for (const auto &c : cases) {
        alert_record r = console_build_request("CONSOLE24_80", c.host, c.key, "SD");
        std::string b(r.data(), r.size());
        EXPECT_EQ(b.substr(OFF_PRODUCTID, 15), std::string("CONSOLE24_80  \0", 15));
        EXPECT_EQ(b.substr(OFF_VERSION, 11), std::string("1.0.2     \0", 11));
        EXPECT_EQ(b.substr(OFF_HOSTNAME, 16), c.want_host + std::string(1, '\0')) << c.host;
        EXPECT_EQ(b.substr(OFF_KEY, 15), c.want_key + std::string(1, '\0')) << c.key;
        EXPECT_EQ(b.substr(OFF_MSGTYPE, 3), "SDY");
        EXPECT_EQ(b[OFF_DATETIME + 8], ' ');
        EXPECT_EQ(b[OFF_DATETIME + 11], ':');
        EXPECT_EQ(b[HEADER_SIZE - 1], '\0');
        EXPECT_EQ(b.find('\n'), OFF_ALERT_NEWLINE) << "one newline, the last byte";
    }
    alert_record n = console_build_request("CONSOLE", "h", "k", "AD", 'N');
    EXPECT_EQ(n[OFF_REPLY_WANTED], 'N');
}

TEST(console_client, gathers_replies_until_the_final_one)
{
    struct {
        const char *name;
        std::string script;
        int status;
        std::string final_type, text;
        int replies;
    } cases[] = {
        {"list in two parts", reply_bytes("DF", "a^b^") + reply_bytes("DB", "c^"), CONSOLE_OK,
         "DB", "a\nb\nc\n", 2},
        {"details", reply_bytes("DS", "HOST: h^"), CONSOLE_OK, "DS", "HOST: h\n", 1},
        {"done", reply_bytes("--", ""), CONSOLE_OK, "--", "", 1},
        {"error", reply_bytes("DE", "*ERR: Alert no longer exists^"), CONSOLE_OK, "DE",
         "*ERR: Alert no longer exists\n", 1},
        {"closed before a reply", "", CONSOLE_LOST, "", "", 0},
        {"torn reply", reply_bytes("DB", "x").substr(0, 1000), CONSOLE_LOST, "", "", 0},
        {"closed after DF", reply_bytes("DF", "x"), CONSOLE_LOST, "", "", 0},
        {"unknown type", reply_bytes("XX", ""), CONSOLE_BAD_REPLY, "", "", 0},
        {"no final newline", reply_bytes("DB", "").substr(0, CONSOLE_REPLY_SIZE - 1) + "x",
         CONSOLE_BAD_REPLY, "", "", 0},
        {"sixteen replies", many("DF", 15) + reply_bytes("DB", "z^"), CONSOLE_OK, "DB",
         std::string(15, 'x') + "z\n", 16},
        {"a seventeenth", many("DF", 16) + reply_bytes("DB", ""), CONSOLE_BAD_REPLY, "", "", 0},
        {"length field off", reply_bytes("DB", "abc").replace(OFF_DATA_LENGTH, 4, "0002"),
         CONSOLE_BAD_REPLY, "", "", 0},
    };
    for (const auto &c : cases) {
        scripted_reply srv(c.script, 0);
        console_result r = console_call("127.0.0.1", srv.port,
                                        console_build_request("CONSOLE99_127", "", "", "SL"), 3000);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.error;
        if (c.status == CONSOLE_OK) {
            EXPECT_EQ(r.final_type, c.final_type) << c.name;
            EXPECT_EQ(r.text, c.text) << c.name;
            EXPECT_EQ(r.replies, c.replies) << c.name;
        } else {
            EXPECT_FALSE(r.error.empty()) << c.name;
        }
    }

    // A reply of another length is reported at once, not after the time allowed.
    scripted_reply short_reply(std::string(ALERT_RECORD_SIZE - 1, 'a') + "\n", 1500);
    console_result r = console_call("127.0.0.1", short_reply.port,
                                    console_build_request("CONSOLE", "", "", "SL"), 1000);
    EXPECT_EQ(r.status, CONSOLE_BAD_REPLY) << r.error;
    EXPECT_EQ(r.error, "the server sent a reply of 234 bytes, not 4184");

    // A server that answers nothing: a time-out, not a hang.
    scripted_reply quiet("", 1500);
    r = console_call("127.0.0.1", quiet.port,
                                    console_build_request("CONSOLE", "", "", "SL"), 200);
    EXPECT_EQ(r.status, CONSOLE_TIMEOUT) << r.error;

    // Without reply_wanted 'Y' nothing is read.
    scripted_reply none("", 0);
    r = console_call("127.0.0.1", none.port, console_build_request("CONSOLE", "h", "k", "AD", 'N'),
                     3000);
    EXPECT_EQ(r.status, CONSOLE_OK);
    EXPECT_EQ(r.replies, 0);
}

TEST(console_client, board_fetch_edge_replies)
{
    const std::string head = "20240102 03:04 h               k              AC ";
    const std::string cut_line = head + std::string(126 - head.size(), 'c') + "^";
    const std::string full = std::string(126 - head.size(), 'c') + " and the rest";
    const std::string details = "HOST: h" + std::string(14, ' ') +
                                "   DATETIME: 20240102 03:04^KEY: k" + std::string(13, ' ') +
                                "^MSGTYPE AC     PERSISTENT Y^MSGTEXT: " +
                                full + "^OPTIONAL DATA: ^";
    const struct {
        const char *name;
        std::string script;     // every reply, the details' after the listing's
        int status;
        std::string error;      // the start of it
        std::string text;       // of the one alert, when the status is CONSOLE_OK
        bool cut;
    } cases[] = {
        {"empty table", reply_bytes("DB", "20240102 03:04 --------------- -------------- IO NO "
                                          "ALERTS AT PRESENT^"),
         CONSOLE_OK, "", "", false},
        {"listing refused", reply_bytes("DE", "*ERR: no\x1b[2J^more^"), CONSOLE_REFUSED,
         "the server refused the listing: *ERR: no^[[2J", "", false},
        {"details for a listing", reply_bytes("DS", details), CONSOLE_BAD_REPLY,
         "the server answered the listing with a reply of type 'DS'", "", false},
        {"cut, then whole", reply_bytes("DB", cut_line) + reply_bytes("DS", details), CONSOLE_OK,
         "", full, false},
        {"cut, then deleted", reply_bytes("DB", cut_line) + reply_bytes("DE", "*ERR: gone^"),
         CONSOLE_OK, "", cut_line.substr(head.size(), 126 - head.size()), true},
        {"cut, then garbage", reply_bytes("DB", cut_line) + reply_bytes("DS", "HOST: h^"),
         CONSOLE_BAD_REPLY, "the server answered a look-up with something that is not", "",
         false},
        {"cut, then done", reply_bytes("DB", cut_line) + reply_bytes("--", ""), CONSOLE_BAD_REPLY,
         "the server answered a look-up", "", false},
        // An acknowledged alert's details come with "SX"; a server without it gets "SD".
        {"acked, server without SX",
         reply_bytes("DB", "20240102 03:04 h               k              AK short^") +
             reply_bytes("DE", "Server does not recognise command, ignored !^") +
             reply_bytes("DS", details),
         CONSOLE_OK, "", full, false},
    };
    // A server without the board requests refuses the first, and is then asked with "SL".
    const std::string old_server = reply_bytes("DE", "Server does not recognise command, "
                                                     "ignored !^");
    for (const auto &c : cases) {
        scripted_reply srv(old_server + c.script, 300);
        console_board b = console_fetch_board("127.0.0.1", srv.port, 3000, false);
        EXPECT_EQ(b.status, c.status) << c.name << ": " << b.error;
        EXPECT_EQ(b.error.substr(0, c.error.size()), c.error) << c.name;
        if (c.status != CONSOLE_OK) {
            EXPECT_TRUE(b.alerts.empty()) << c.name << ": no half a board";
        } else if (c.text.empty()) {
            EXPECT_TRUE(b.alerts.empty()) << c.name;
        } else {
            ASSERT_EQ(b.alerts.size(), 1u) << c.name;
            EXPECT_EQ(b.alerts[0].text, c.text) << c.name;
            EXPECT_EQ(b.alerts[0].cut, c.cut) << c.name;
        }
    }

    // The server goes away between the listing and the details: an error, no alerts.
    scripted_reply gone(old_server + reply_bytes("DB", cut_line), 0);
    console_board b = console_fetch_board("127.0.0.1", gone.port, 3000, false);
    EXPECT_NE(b.status, CONSOLE_OK);
    EXPECT_FALSE(b.error.empty());
    EXPECT_TRUE(b.alerts.empty());
}

TEST(console_client, connection_errors_are_clear)
{
    int closed_port = free_port();
    ASSERT_GT(closed_port, 0);

    struct {
        std::string address;
        int port;
        int status;
        std::string in_message;
    } cases[] = {
        {"no_such!host", 9003, CONSOLE_BAD_ADDRESS, "a host name, a dotted IPv4"},
        {"9003", 9003, CONSOLE_BAD_ADDRESS, "invalid address '9003'"},
        {"999.1.1.1", 9003, CONSOLE_BAD_ADDRESS, "invalid address '999.1.1.1'"},
        {"::1", closed_port, CONSOLE_NO_CONNECT,
         "cannot connect to ::1 port " + std::to_string(closed_port)},
        {"127.0.0", 9003, CONSOLE_BAD_ADDRESS, "invalid address '127.0.0'"},
        {"127.0.0.1", 0, CONSOLE_BAD_ADDRESS, "invalid port 0"},
        {"127.0.0.1", 70000, CONSOLE_BAD_ADDRESS, "invalid port 70000"},
        {"127.0.0.1", closed_port, CONSOLE_NO_CONNECT,
         "cannot connect to 127.0.0.1 port " + std::to_string(closed_port) +
             ": Connection refused"},
    };
    for (const auto &c : cases) {
        console_conn conn;
        std::string error;
        EXPECT_EQ(console_connect(conn, c.address, c.port, 1000, error), c.status) << c.address;
        EXPECT_NE(error.find(c.in_message), std::string::npos) << error;
        EXPECT_EQ(conn.fd, -1);
    }
    console_conn none;
    EXPECT_EQ(console_exchange(none, console_build_request("CONSOLE", "", "", "SL"), 100).status,
              CONSOLE_NO_CONNECT);
}

// "AN": who in the reserved bytes, the expiry in the version field, the note over msgtext
// and optional_data; the details with ack lines come back apart.
TEST(console_client, ack_request_bytes_and_ack_lines)
{
    std::string note = std::string(LEN_MSGTEXT, 'n') + "tail\nof it";
    alert_record r = console_build_ack_request("web1", "DISK", "AN", "ops one", note, 1800000000);
    std::string b(r.data(), r.size());
    EXPECT_EQ(b.substr(OFF_ACK_UNTIL, LEN_ACK_UNTIL + 1), std::string("1800000000\0", 11));
    EXPECT_EQ(b.substr(OFF_ACK_WHO, LEN_ACK_WHO), std::string("ops one\0\0\0\0\0\0\0\0", 15));
    EXPECT_EQ(b.substr(OFF_MSGTEXT_LENGTH, 5), std::string("0100\0", 5));
    EXPECT_EQ(b.substr(OFF_MSGTEXT, LEN_MSGTEXT + 1), std::string(LEN_MSGTEXT, 'n') + '\0');
    EXPECT_EQ(b.substr(OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA),
              std::string("tail of it") + std::string(LEN_OPTIONAL_DATA - 10, '\0'));
    EXPECT_EQ(b.substr(OFF_MSGTYPE, 3), "ANY");
    EXPECT_EQ(b.find('\n'), OFF_ALERT_NEWLINE);
    alert_record u = console_build_ack_request("web1", "DISK", "UA", "ops2", "", 0);
    EXPECT_EQ(std::string(u.data() + OFF_ACK_UNTIL, LEN_ACK_UNTIL), std::string(10, ' '));
    EXPECT_EQ(u[OFF_MSGTEXT], '\0');

    const std::string head = "HOST: web01             DATETIME: 20240102 03:04\n"
                             "KEY: disk          \nMSGTYPE AK     PERSISTENT Y\n"
                             "MSGTEXT: full\nOPTIONAL DATA: \n";
    console_details d;
    ASSERT_TRUE(console_parse_details(head + "ACK BY: ops1\nACK AT: 20240102 03:05:00 (1704164700)"
                                      "\nACK SEVERITY: AW\nACK UNTIL: 20240102 05:05:00 "
                                      "(1704171900)\nACK NOTE: swap\nnow\n", d));
    EXPECT_EQ(d.optional_data, "");
    EXPECT_TRUE(d.ack.present);
    EXPECT_EQ(d.ack.by, "ops1");
    EXPECT_EQ(d.ack.severity, "AW");
    EXPECT_EQ(d.ack.since, 1704164700);
    EXPECT_EQ(d.ack.until, 1704171900);
    EXPECT_EQ(d.ack.note, "swap^now");
    ASSERT_TRUE(console_parse_details(head + "ACK BY: a\nACK AT: x (5)\nACK SEVERITY: AC\n"
                                      "ACK UNTIL: never\nACK NOTE: \n", d));
    EXPECT_EQ(d.ack.until, 0);
    EXPECT_EQ(d.ack.note, "");
    ASSERT_TRUE(console_parse_details(head, d));
    EXPECT_FALSE(d.ack.present);
    EXPECT_FALSE(console_parse_details(head + "ACK BY: a\nACK NOTE: n\n", d));
}

TEST(console_client, parses_listing_and_details)
{
    // A '^' in a text arrives as a line break: the piece without the columns of a listing
    // line goes back onto the text before it.
    std::string text = "20240102 03:04 web01           disk           AC disk full\n"
                       "20240102 03:05 db1             k2             AK \n"
                       "a^b piece\n"
                       "20240102 03:07 h               k              IO " +
                       std::string(127 - 50, 'x') + "\n" +
                       "20240102 03:08 h               k2             AW " +
                       std::string(127 - 52, 'y') + "\n" + "yy\n";
    auto a = console_parse_listing(text, 127);
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(a[0].datetime, "20240102 03:04");
    EXPECT_EQ(a[0].hostname, "web01          ");
    EXPECT_EQ(a[0].key, "disk          ");
    EXPECT_EQ(a[0].type, "AC");
    EXPECT_EQ(a[0].text, "disk full");
    EXPECT_FALSE(a[0].cut);
    EXPECT_EQ(a[1].type, "AK");
    EXPECT_EQ(a[1].text, "^a^b piece");
    EXPECT_TRUE(a[2].cut);
    EXPECT_EQ(a[3].text, std::string(127 - 52, 'y') + "^yy");
    EXPECT_TRUE(a[3].cut) << "the line as sent reached the line length";
    EXPECT_EQ(console_trim(a[0].hostname), "web01");

    const std::string none = "20240102 03:04 --------------- -------------- IO NO ALERTS AT PRESENT\n";
    EXPECT_TRUE(console_parse_listing(none, 127).empty());
    EXPECT_EQ(console_parse_listing(none + none, 127).size(), 2u) << "only a lone line is empty";

    console_details d;
    ASSERT_TRUE(console_parse_details("HOST: web01             DATETIME: 20240102 03:04\n"
                                      "KEY: disk          \nMSGTYPE AW     PERSISTENT Y\n"
                                      "MSGTEXT: full\ntext\nOPTIONAL DATA: opt\n",
                                      d));
    EXPECT_EQ(d.hostname, "web01          ");
    EXPECT_EQ(d.datetime, "20240102 03:04");
    EXPECT_EQ(d.key, "disk          ");
    EXPECT_EQ(d.type, "AW");
    EXPECT_EQ(d.persistent, 'Y');
    EXPECT_EQ(d.text, "full^text");
    EXPECT_EQ(d.optional_data, "opt");
    // Escaped fields, as a newer server sends them: a host of 15 bytes takes 17 characters,
    // and no '^' in a text or a note can start an ack line of its own.
    ASSERT_TRUE(console_parse_details("HOST: we%25b01            DATETIME: 20240102 03:04\n"
                                      "KEY: disk          \nMSGTYPE AK     PERSISTENT Y\n"
                                      "MSGTEXT: a%5EACK BY: x\nOPTIONAL DATA: \n"
                                      "ACK BY: al%5Ece\nACK AT: 20240102 03:04:05 (1704164645)\n"
                                      "ACK SEVERITY: AW\nACK UNTIL: never\nACK NOTE: n%5E\n",
                                      d));
    EXPECT_EQ(d.hostname, "we%b01         ");
    EXPECT_EQ(d.text, "a^ACK BY: x");
    EXPECT_EQ(d.ack.by, "al^ce");
    EXPECT_EQ(d.ack.note, "n^");
    for (const char *bad : {"nothing", "HOST: web01             DATETIME: 20240102 03:04\nKEY: d",
                            "*ERR: Alert no longer exists\n"})
        EXPECT_FALSE(console_parse_details(bad, d)) << bad;
}

// Board pages: the header and the rows with their escapes undone, with the times, ack and
// pending action of a newer server; a row that cannot be read is left out and the rest kept,
// a page that is not one is refused whole. The waiting records fold into what they will
// raise.
TEST(console_client, board_pages_and_waiting_alerts)
{
    console_page p;
    ASSERT_TRUE(console_parse_page("BOARD\t2\t0\n"
                                   "0\t20240102 03:04\th1\tk1\tAC\tY\ta%5Eb%09c%25\t\n"
                                   "1\t20240102 03:05\th2\tk2\tAW\t%00\t\topt\n",
                                   "BOARD", p));
    EXPECT_EQ(p.total, 2);
    ASSERT_EQ(p.alerts.size(), 2u);
    EXPECT_EQ(p.positions[1], 1);
    EXPECT_EQ(p.alerts[0].text, "a^b\tc%");
    EXPECT_EQ(p.alerts[0].persistent, 'Y');
    EXPECT_EQ(p.alerts[1].persistent, '\0');
    EXPECT_EQ(p.alerts[1].optional_data, "opt");
    ASSERT_TRUE(console_parse_page("BOARD\t3\t0\n"
                                   "0\th\tk\n"
                                   "1\t20240102 03:04\th1\tk1\tAK\tY\tt\t\t17\t18\tal%5Ece\tAW\t19\t0"
                                   "\tn%09o\tdelete bob\n"
                                   "2\t20240102 03:04\th2\tk2\tAC\tY\tt\t\tx\t18\t\t\t0\t0\t\t\n",
                                   "BOARD", p));
    EXPECT_EQ(p.skipped, 2);
    EXPECT_EQ(p.last_position, 2);
    ASSERT_EQ(p.alerts.size(), 1u);
    const console_alert &acked = p.alerts[0];
    EXPECT_EQ(acked.first_seen, 17);
    EXPECT_EQ(acked.last_change, 18);
    EXPECT_TRUE(acked.ack.present);
    EXPECT_EQ(acked.ack.by, "al^ce");
    EXPECT_EQ(acked.ack.severity, "AW");
    EXPECT_EQ(acked.ack.note, "n\to");
    EXPECT_EQ(acked.pending, "delete pending by bob");
    for (const char *bad : {"BOARD\t2\n", "WAITING\t0\t0\n",
                            "BOARD\t1\t0\nx\t1\t2\t3\t4\t5\t6\t7\n",
                            "BOARD\t1\t0\n0\t1\t2\t3\t4\t5\t6\t7"})
        EXPECT_FALSE(console_parse_page(bad, "BOARD", p)) << bad;

    // Two board pages, then the waiting records: c raised then cleared, d raised and
    // acknowledged, e raised twice, a (on the board) raised again, host x cleared.
    auto row = [](int n, const std::string &host, const std::string &key,
                  const std::string &type) {
        return std::to_string(n) + "\t20240102 03:04\t" + host + "\t" + key + "\t" + type +
               "\tN\ttext " + key + std::to_string(n) + "\t^";
    };
    std::string script = reply_bytes("DB", "BOARD\t2\t0^" + row(0, "h", "a", "AC")) +
                         reply_bytes("DB", "BOARD\t2\t1^" + row(1, "h", "b", "AW")) +
                         reply_bytes("DB", "WAITING\t8\t4^" + row(4, "h", "c", "AC") +
                                               row(5, "h", "d", "AW") + row(6, "h", "c", "AK") +
                                               row(7, "h", "e", "IO") + row(8, "h", "d", "KA")) +
                         reply_bytes("DB", "WAITING\t9\t4^" + row(9, "h", "e", "AC") +
                                               row(10, "h", "a", "AW") + row(11, "x", "f", "AC")) +
                         reply_bytes("DB", "WAITING\t9\t4^" + row(12, "x", "f", "KH"));
    scripted_reply srv(script, 300);
    console_board b = console_fetch_board("127.0.0.1", srv.port, 3000, false);
    ASSERT_EQ(b.status, CONSOLE_OK) << b.error;
    std::vector<std::string> got;
    for (const auto &a : b.alerts)
        got.push_back(a.key + " " + a.type + " " + a.text + (a.waiting ? " waiting" : ""));
    EXPECT_EQ(got, (std::vector<std::string>{"a AC text a0", "b AW text b1",
                                             "d AK text d5 waiting", "e AC text e9 waiting"}));
    EXPECT_EQ(b.waiting_records, 9);
}

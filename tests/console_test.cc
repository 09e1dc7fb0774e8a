// Console requests end to end against a running tarrowd: geometry, listings, details,
// acknowledge and delete commands on the wire. The bytes of each reply are pinned by the
// server's unit tests.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "common/fields.h"
#include "common/record.h"
#include "tests/harness.h"
#include "tests/records.h"

namespace {

struct wire_reply {
    std::string bytes;
    std::string type() const { return bytes.substr(OFF_MSGTYPE, 2); }
    std::string data_length() const { return bytes.substr(OFF_DATA_LENGTH, LEN_DATA_LENGTH); }
    std::string data() const
    {
        return std::string(bytes.c_str() + OFF_DATA, strnlen(bytes.c_str() + OFF_DATA, LEN_DATA));
    }
    std::vector<std::string> lines() const
    {
        std::vector<std::string> out;
        std::string d = data();
        for (std::size_t at = 0; at < d.size();) {
            std::size_t hat = d.find('^', at);
            if (hat == std::string::npos)
                hat = d.size() - 1;
            out.push_back(d.substr(at, hat + 1 - at));
            at = hat + 1;
        }
        return out;
    }
};

class console_e2e : public ::testing::Test {
protected:
    temp_dir dir;
    server_proc srv;
    int fd = -1;

    void SetUp() override
    {
        srv = start_server(dir.path);
        ASSERT_GT(srv.port, 0) << read_log(dir.path);
        fd = connect_local(srv.port);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(stop_server(srv), 0);
    }

    void raise(const std::string &host, const std::string &key, const std::string &type,
               const std::string &text)
    {
        ASSERT_TRUE(send_all(fd, make_alert("GENALERT", host, key, type, 'N', text)));
    }

    // Sends a request and reads replies until a final one (or nothing more comes).
    std::vector<wire_reply> send_and_read(const std::string &request)
    {
        EXPECT_TRUE(send_all(fd, request));
        std::vector<wire_reply> out;
        for (;;) {
            std::string b = read_exact(fd, CONSOLE_REPLY_SIZE);
            if (b.size() != CONSOLE_REPLY_SIZE) {
                ADD_FAILURE() << "short reply of " << b.size() << " bytes";
                return out;
            }
            out.push_back({b});
            if (out.back().type() != "DF")
                return out;
        }
    }
    std::vector<wire_reply> ask(const std::string &productid, const std::string &host,
                                const std::string &key, const std::string &cmd)
    {
        return send_and_read(make_alert(productid, host, key, cmd, 'Y'));
    }
    std::string log() { return read_log(dir.path); }
};

} // namespace

TEST_F(console_e2e, geometry_from_the_productid)
{
    for (int i = 0; i < 30; i++)
        raise("host", "key" + std::to_string(i), "AC", std::string(60, 'x'));   // 110 a line
    const std::string lines_warn = "WARN: Illegal # console lines in productid from " +
                                   pad("ops", 15) + ", defaulting to 24 lines\n";
    struct {
        const char *productid;
        std::size_t lines, line_length;
        std::size_t warnings;
    } cases[] = {
        {"CONSOLE24_80", 23, 80, 0},
        {"CONSOLE5_80", 4, 110, 0},    // no underscore two after CONSOLE: 127, lines whole
        {"CONSOLE0", 23, 110, 2},      // the listing parses the productid a second time
        {"CONSOLEXY", 23, 110, 2},
        {"CONSOLE       ", 23, 110, 0},
    };
    for (const auto &c : cases) {
        std::size_t before = count(log(), lines_warn);
        auto r = ask(c.productid, "ops", "k", "SL");
        ASSERT_EQ(r.size(), 1u) << c.productid;
        EXPECT_EQ(r[0].type(), "DB");
        auto l = r[0].lines();
        EXPECT_EQ(l.size(), c.lines) << c.productid;
        for (const auto &line : l)
            EXPECT_EQ(line.size(), c.line_length) << c.productid << ": " << line;
        EXPECT_EQ(count(log(), lines_warn) - before, c.warnings) << c.productid;
    }

    // A negative count is no console: logged as an unknown application, nothing written.
    ASSERT_TRUE(send_all(fd, make_alert("CONSOLE-3", "ops", "k", "SL", 'Y')));
    EXPECT_TRUE(nothing_arrives(fd, 300));
    EXPECT_TRUE(wait_for_log(dir.path, "Ignored data=CONSOLE-3     \n"));
}

TEST_F(console_e2e, listing_splits_cuts_and_the_empty_table)
{
    // Empty table: one "DB" with the no-alerts line, 70 characters.
    auto r = ask("CONSOLE24_80", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DB");
    EXPECT_EQ(r[0].data_length(), "0070");
    EXPECT_EQ(r[0].data().substr(14), " --------------- -------------- IO NO ALERTS AT PRESENT^");

    // Exactly the line length arrives whole; one character more is cut to 79 and a newline.
    raise("host", "k80", "AC", std::string(30, 'a'));
    raise("host", "k81", "AW", std::string(31, 'b'));
    r = ask("CONSOLE24_80", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    auto l = r[0].lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(14), " " + pad("host", 15) + " " + pad("k80", 14) + " AC " +
                                   std::string(30, 'a') + "^");
    EXPECT_EQ(l[1].substr(14), " " + pad("host", 15) + " " + pad("k81", 14) + " AW " +
                                   std::string(30, 'b') + "^");

    // A full table of long lines: 32 lines in a "DF", the other 18 in the "DB".
    for (int i = 2; i < 50; i++)
        raise("host", "key" + std::to_string(i), "AC", std::string(100, 'z'));
    raise("host", "k80", "AC", std::string(100, 'a'));
    raise("host", "k81", "AC", std::string(100, 'b'));
    r = ask("CONSOLE99", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type(), "DF");
    EXPECT_EQ(r[0].data_length(), "4064");
    EXPECT_EQ(r[0].lines().size(), 32u);
    EXPECT_EQ(r[1].type(), "DB");
    EXPECT_EQ(r[1].data_length(), "2286");
    EXPECT_EQ(r[1].lines().size(), 18u);
    EXPECT_EQ(r[1].lines().back().substr(15, 21), pad("host", 15) + " key49");
}

TEST_F(console_e2e, details_acknowledge_delete_and_refill)
{
    // "SD" found, and not found when the key is not space-filled as stored.
    raise("web01", "disk", "AW", "disk full");
    auto r = ask("CONSOLE", "web01", "disk", "SD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DS");
    std::string d = r[0].data();
    EXPECT_EQ(d.substr(0, 34), "HOST: " + pad("web01", 15) + "   DATETIME: ");
    EXPECT_EQ(d.substr(48), "^KEY: " + pad("disk", 14) +
                                "^MSGTYPE AW     PERSISTENT Y^MSGTEXT: disk full^OPTIONAL DATA: ^");
    std::string raw = make_alert("CONSOLE", "web01", "disk", "SD", 'Y');
    raw[OFF_KEY + 4] = '\0';
    r = send_and_read(raw);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DE");
    EXPECT_EQ(r[0].data(), "*ERR: Alert no longer exists^");

    // "AC": the command log line, "--" with data_length 0000, the listing shows "AK".
    r = ask("CONSOLE", "web01", "disk", "AC");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_EQ(r[0].data_length(), "0000");
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: " + pad("web01", 15) + " "));
    EXPECT_NE(log().find(" AC " + pad("disk", 14) + " (CONSOLE COMMAND)\n"), std::string::npos);
    r = ask("CONSOLE", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data().substr(46, 2), "AK");

    // Fill the table with 50 critical alerts; the 51st waits in the overflow file.  "AD"
    // frees a slot and the refill brings it back, at the end of the table.
    for (int i = 1; i < 50; i++)
        raise("host", "key" + std::to_string(i), "AC", "t");
    raise("host", "late", "AC", "came back");
    r = ask("CONSOLE99", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].lines().size(), 50u);
    EXPECT_EQ(r[0].data().find("late"), std::string::npos);
    r = ask("CONSOLE", "web01", "disk", "AD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_NE(log().find(" AD " + pad("disk", 14) + " (CONSOLE COMMAND)\n"), std::string::npos);
    r = ask("CONSOLE99", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    auto l = r[0].lines();
    ASSERT_EQ(l.size(), 50u);
    EXPECT_EQ(l.back().substr(31), pad("late", 14) + " AC came back^");

    // "AD" of an alert that is gone: the table's warning, and still "--".
    r = ask("CONSOLE", "web01", "disk", "AD");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_TRUE(wait_for_log(dir.path, "WARN: message not found to delete, requested from web01"));
}

TEST_F(console_e2e, delete_through_logs_each_alert)
{
    for (int i = 0; i < 5; i++)
        raise("host", "key" + std::to_string(i), "IO", "t");
    auto r = ask("CONSOLE", "host", "key2", "KK");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    ASSERT_TRUE(wait_for_log(dir.path, "AINF: 3 alerts KK deleted, 3 recovered by compress\n"));
    std::string lg = log();
    std::size_t prev = 0;
    for (int i = 0; i < 3; i++) {
        std::size_t at = lg.find("AINF: Manual delete of " + pad("host", 15) + " " +
                                 pad("key" + std::to_string(i), 14) + " (CONSOLE KK)\n");
        ASSERT_NE(at, std::string::npos) << i;
        EXPECT_GT(at, prev);
        prev = at;
    }
    EXPECT_GT(lg.find("3 alerts KK deleted"), prev);
    r = ask("CONSOLE", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    auto l = r[0].lines();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].substr(31, 4), "key3");
    EXPECT_EQ(l[1].substr(31, 4), "key4");

    // Naming no stored alert: nothing logged, nothing changed.
    std::string before = log();
    r = ask("CONSOLE", "host", "nope", "KK");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "--");
    EXPECT_EQ(log(), before);
}

TEST_F(console_e2e, other_commands_and_silence_without_reply_wanted)
{
    auto r = ask("CONSOLE", "ops", "k", "RC");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DE");
    EXPECT_EQ(r[0].data(), "Server does not have that command implemented yet !^");
    r = ask("CONSOLE", "ops", "k", "ZZ");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), "DE");
    EXPECT_EQ(r[0].data(), "Server does not recognise command, ignored !^");
    EXPECT_TRUE(wait_for_log(dir.path, "*ERR: Unknown command 'ZZ' recieved from console at " +
                                           pad("ops", 15) + ", ignored\n"));

    // Without 'Y' not a byte comes back, whatever the command; the unknown one is logged.
    raise("host", "a", "AC", "t");
    raise("host", "b", "AC", "t");
    for (const char *cmd : {"SL", "SD", "AC", "AD", "KK", "RC", "QQ"}) {
        ASSERT_TRUE(send_all(fd, make_alert("CONSOLE24_80", "host", "a", cmd, 'N')));
        EXPECT_TRUE(nothing_arrives(fd, 200)) << cmd;
    }
    EXPECT_TRUE(wait_for_log(dir.path, "*ERR: Unknown command 'QQ' recieved from console"));
    r = ask("CONSOLE", "ops", "k", "SL");
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].lines().size(), 1u);   // AD removed a, KK found nothing more to remove
    EXPECT_EQ(r[0].data().substr(31, 1), "b");
}

// Acknowledgements with who, note and expiry: the request and reply bytes, the log lines,
// the end of an ack by re-raise, expiry and un-acknowledge, and the saved table.
#include "server/ack.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/fields.h"
#include "server/server.h"
#include "server/test_util.h"
#include "tests/records.h"

namespace {

time_t fake_now = 1800000000;   // 2027-01-15 08:00:00 UTC

time_t
fake_clock()
{
    return fake_now;
}

std::string
local_time(time_t t)
{
    char buf[32];
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(buf, sizeof buf, "%Y%m%d %H:%M:%S", &tm);
    return buf;
}

std::string
file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class AckTest : public server_fixture {
protected:
    sock_pair sp;

    void SetUp() override
    {
        server_fixture::SetUp();
        ack_clock = fake_clock;
        fake_now = 1800000000;
        ASSERT_EQ(client_open(sp.server_fd, "127.0.0.1:40001"), 0);
    }
    void TearDown() override
    {
        ack_clock = time_clock_backup;
        keep_table = false;
        table_store_close();
        server_fixture::TearDown();
    }

    // Raises host/key with the given severity, as a sender's alert.
    void raise(const std::string &key, const std::string &type)
    {
        line_buf l = make_record("GENALERT", "web1", key, type, 'N', "disk full");
        process_alert_message(l.data(), 0);
    }
    // Sends a console request, laid out by hand, and returns the last reply.
    std::string ask(const std::string &cmd, const std::string &key, const std::string &who = "",
                    const std::string &note = "", const std::string &until = "")
    {
        line_buf l = make_record("CONSOLE", "web1", key, cmd, 'Y');
        char *r = l.data();
        memset(r + OFF_VERSION, ' ', LEN_VERSION);
        memcpy(r + OFF_ACK_UNTIL, until.data(), until.size());
        memcpy(r + OFF_ACK_WHO, who.data(), who.size());
        std::string head = note.substr(0, LEN_MSGTEXT);
        memcpy(r + OFF_MSGTEXT, head.data(), head.size());
        if (note.size() > LEN_MSGTEXT)
            memcpy(r + OFF_OPTIONAL_DATA, note.data() + LEN_MSGTEXT, note.size() - LEN_MSGTEXT);
        process_console_request(sp.server_fd, r);
        std::string wire = read_available(sp.peer_fd, 50);
        EXPECT_GE(wire.size(), CONSOLE_REPLY_SIZE);
        return wire.size() >= CONSOLE_REPLY_SIZE ? wire.substr(wire.size() - CONSOLE_REPLY_SIZE)
                                                 : std::string();
    }
    static std::string type(const std::string &reply) { return reply.substr(OFF_MSGTYPE, 2); }
    static std::string data(const std::string &reply)
    {
        std::string d(reply.c_str() + OFF_DATA, strnlen(reply.c_str() + OFF_DATA, LEN_DATA));
        for (char &c : d)
            if (c == '^')
                c = '\n';
        return d;
    }
    std::string stored_type(const std::string &key)
    {
        line_buf l = make_record("GENALERT", "web1", key, "AC");
        int slot = alert_lookup(l.data());
        return slot < 0 ? "--" : std::string(memory_table[slot].data() + OFF_MSGTYPE, 2);
    }
    static time_t (*const time_clock_backup)();
};

time_t (*const AckTest::time_clock_backup)() = ack_clock;

const std::string HOST = "web1           ";
const std::string KEY = "DISKFULL      ";

} // namespace

// "AN" with who, a 120-character note split over msgtext and optional_data, and an expiry:
// the "--" reply, the log line, and the ack lines of "SX"; "SD" keeps its bytes. Errors come
// back as "DE" and change nothing.
TEST_F(AckTest, AcknowledgeWithNoteRepliesLogsAndShows)
{
    raise("DISKFULL", "AW");
    std::string note = "disk swap at 14:00 " + std::string(80, 'x') + "tail of the note y";
    note.resize(LEN_ACK_NOTE, 'z');
    time_t until = fake_now + 7200;
    std::string r = ask("AN", "DISKFULL", "ops one", note, std::to_string(until));
    EXPECT_EQ(type(r), "--");
    EXPECT_EQ(r.substr(OFF_DATA_LENGTH, LEN_DATA_LENGTH), "0000");
    EXPECT_EQ(stored_type("DISKFULL"), "AK");
    EXPECT_NE(log().find("AINF: Acknowledged " + HOST + " " + KEY + " AW by ops_one until " +
                         local_time(until) + ": " + note + "\n"),
              std::string::npos) << log();

    std::string details = data(ask("SX", "DISKFULL"));
    EXPECT_NE(details.find("MSGTYPE AK"), std::string::npos) << details;
    EXPECT_NE(details.find("\nACK BY: ops_one\nACK AT: " + local_time(fake_now) + " (" +
                           std::to_string(fake_now) + ")\nACK SEVERITY: AW\nACK UNTIL: " +
                           local_time(until) + " (" + std::to_string(until) + ")\nACK NOTE: " +
                           note + "\n"),
              std::string::npos) << details;
    EXPECT_EQ(data(ask("SD", "DISKFULL")).find("ACK"), std::string::npos);

    // A second ack replaces who and note and keeps the severity from before the first.
    r = ask("AN", "DISKFULL", "ops2", "", "");
    EXPECT_EQ(type(r), "--");
    EXPECT_NE(log().find("AINF: Acknowledged " + HOST + " " + KEY + " AW by ops2 until never: \n"),
              std::string::npos) << log();

    struct {
        const char *key, *until, *error;
    } bad[] = {
        {"NOSUCH", "", "*ERR: Alert no longer exists\n"},
        {"DISKFULL", "12ab", "*ERR: Acknowledgement expiry is not a time\n"},
        {"DISKFULL", "1799999999", "*ERR: Acknowledgement expiry has passed\n"},
        {"DISKFULL", "1800000000", "*ERR: Acknowledgement expiry has passed\n"},   // now
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.until);
        r = ask("AN", b.key, "ops3", "n", b.until);
        EXPECT_EQ(type(r), "DE");
        EXPECT_EQ(data(r), b.error);
    }
    EXPECT_EQ(log().find("by ops3"), std::string::npos);
    EXPECT_EQ(data(ask("UA", "NOSUCH")), "*ERR: Alert no longer exists\n");
}

// A plain "AC" and a "KA" name the peer's address and keep the severity; a repeated plain
// ack changes nothing; a re-raise ends the ack; "UA" returns the severity and says who.
TEST_F(AckTest, PlainAcksReRaiseAndUnacknowledge)
{
    raise("DISKFULL", "IO");
    EXPECT_EQ(type(ask("AC", "DISKFULL")), "--");
    EXPECT_NE(log().find("AINF: Acknowledged " + HOST + " " + KEY +
                         " IO by 127.0.0.1 until never: \n"), std::string::npos) << log();
    std::string before = log();
    ask("AC", "DISKFULL");
    EXPECT_EQ(log().substr(before.size()).find("Acknowledged"), std::string::npos);

    // Re-raised: no ack any more, so "UA" refuses and "SX" shows none.
    raise("DISKFULL", "AC");
    EXPECT_EQ(data(ask("SX", "DISKFULL")).find("ACK BY"), std::string::npos);
    std::string r = ask("UA", "DISKFULL", "ops2");
    EXPECT_EQ(type(r), "DE");
    EXPECT_EQ(data(r), "*ERR: Alert is not acknowledged\n");

    line_buf ka = make_record("RELOADER", "web1", "DISKFULL", "KA", 'N');
    process_alert_request(sp.server_fd, ka.data());
    EXPECT_NE(log().find(" AC by 127.0.0.1 until never: \n"), std::string::npos) << log();
    EXPECT_EQ(type(ask("UA", "DISKFULL", "ops2")), "--");
    EXPECT_EQ(stored_type("DISKFULL"), "AC");
    EXPECT_NE(log().find("AINF: Unacknowledged " + HOST + " " + KEY +
                         " AC by ops2 (acknowledged by 127.0.0.1)\n"), std::string::npos) << log();
}

// The expiry returns the alert to its severity at the second it names, once, and an ack
// that was ended by a removal and a re-raise before it does not expire the new alert.
TEST_F(AckTest, ExpiryReturnsTheSeverity)
{
    raise("DISKFULL", "AW");
    raise("OTHER", "AC");
    ask("AN", "DISKFULL", "ops1", "n", std::to_string(fake_now + 5));
    ask("AN", "OTHER", "ops1", "n", std::to_string(fake_now + 3));
    EXPECT_GT(ack_due_ms(), 1000);
    EXPECT_LE(ack_due_ms(), 3000);
    // OTHER is cleared and raised again, unacknowledged: its old expiry must not touch it.
    raise("OTHER", "AK");
    raise("OTHER", "AC");
    fake_now += 4;
    ack_tick();
    EXPECT_EQ(stored_type("OTHER"), "AC");
    EXPECT_EQ(stored_type("DISKFULL"), "AK");
    EXPECT_EQ(log().find("expired"), std::string::npos) << log();
    fake_now += 1;
    EXPECT_EQ(ack_due_ms(), 0);
    ack_tick();
    EXPECT_EQ(stored_type("DISKFULL"), "AW");
    EXPECT_NE(log().find("AINF: Acknowledgement expired " + HOST + " " + KEY + " AW by ops1\n"),
              std::string::npos) << log();
    EXPECT_EQ(ack_due_ms(), -1);
}

// The acks are saved with the table and come back with it, expiry included; a file of the
// version before (no ack records, no count in its state) loads with no ack data.
TEST_F(AckTest, SavedTableKeepsTheAcks)
{
    keep_table = true;
    ASSERT_EQ(table_store_load(), 0);
    raise("DISKFULL", "AC");
    raise("PLAIN", "AW");
    raise("OPEN", "IO");
    ask("AN", "DISKFULL", "ops1", "swap", std::to_string(fake_now + 60));
    ask("AC", "PLAIN");
    ASSERT_EQ(table_store_save(), 0);
    std::string saved = file_bytes(table_file_name);
    ASSERT_EQ(saved.size(), 6 * ALERT_RECORD_SIZE);
    EXPECT_EQ(saved.substr(3 * ALERT_RECORD_SIZE, 12), std::string("TARROWD-ACK\0", 12));
    EXPECT_NE(saved.find(" acks=2"), std::string::npos);

    auto restart = [] {
        table_store_close();
        overflow_close();
        alert_table_reset();
        EXPECT_EQ(overflow_open(), 0);
        return table_store_load();
    };
    EXPECT_EQ(restart(), 3);
    std::string details = data(ask("SX", "DISKFULL"));
    EXPECT_NE(details.find("ACK BY: ops1\n"), std::string::npos) << details;
    EXPECT_NE(details.find("ACK SEVERITY: AC\n"), std::string::npos) << details;
    EXPECT_NE(details.find("ACK NOTE: swap\n"), std::string::npos) << details;
    EXPECT_NE(data(ask("SX", "PLAIN")).find("ACK SEVERITY: AW\n"), std::string::npos);
    fake_now += 60;
    ack_tick();
    EXPECT_EQ(stored_type("DISKFULL"), "AC");

    // An ack record altered on disk breaks the board's checksum: set aside, not misread.
    std::string altered = saved;
    altered[3 * ALERT_RECORD_SIZE + 50] ^= 1;
    std::ofstream(table_file_name, std::ios::binary | std::ios::trunc) << altered;
    testing::internal::CaptureStderr();
    restart();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("is damaged"), std::string::npos);

    // The records, then a state record with the text (up to " acks=" when acks is empty) and
    // a checksum over them, as a save would write it.
    auto with_state = [&](const std::string &records, const std::string &acks) {
        std::string state = saved.substr(5 * ALERT_RECORD_SIZE);
        std::string text(state.c_str() + OFF_MSGTEXT);
        text = text.substr(0, text.find(" acks=")) + acks;
        state.replace(OFF_MSGTEXT, LEN_MSGTEXT, std::string(LEN_MSGTEXT, '\0'));
        state.replace(OFF_MSGTEXT, text.size(), text);
        std::uint32_t h = 2166136261u;
        for (char c : records)
            h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
        char board[LEN_OPTIONAL_DATA] = {};
        snprintf(board, sizeof board, "board=3 sum=%08x", h);
        state.replace(OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA, std::string(board, sizeof board));
        std::ofstream(table_file_name, std::ios::binary | std::ios::trunc) << records + state;
        // The journal's entries follow the real saves, not this hand-made one.
        std::ofstream(table_journal_name, std::ios::binary | std::ios::trunc);
    };
    // An ack of an alert that is not acknowledged, checksum and all: damaged, not misread.
    std::string raised = saved.substr(0, 5 * ALERT_RECORD_SIZE);
    raised.replace(ALERT_RECORD_SIZE + OFF_MSGTYPE, 2, "AW");
    with_state(raised, " acks=2");
    testing::internal::CaptureStderr();
    restart();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("is damaged"), std::string::npos);

    // The version before: the alerts, then a state record without "acks=" whose checksum
    // covers the alerts alone.
    with_state(saved.substr(0, 3 * ALERT_RECORD_SIZE), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(restart(), 3);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(stored_type("PLAIN"), "AK");
    EXPECT_EQ(data(ask("SX", "PLAIN")).find("ACK BY"), std::string::npos);
    // Its severity was never known: un-acknowledged, it comes back as critical.
    EXPECT_EQ(type(ask("UA", "PLAIN", "ops2")), "--");
    EXPECT_EQ(stored_type("PLAIN"), "AC");
    EXPECT_GE(table_store_due_ms(), 0) << "the un-acknowledgement waits to be saved";
}

// Tests of the saved table: round trip, the proof of the overflow file, damaged files, state
// files that are not regular files, a failing save, and the --sync journal.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "server/test_util.h"
#include "tests/records.h"

namespace {

std::string
file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The journal's entries: the file up to the zero-filled room that --sync keeps after them,
// which holds nothing else.
std::string
journal_entries()
{
    std::string j = file_bytes(table_journal_name);
    const std::string zeros(ALERT_RECORD_SIZE, '\0');
    std::size_t n = 0;
    while (n + ALERT_RECORD_SIZE <= j.size() && j.compare(n, ALERT_RECORD_SIZE, zeros) != 0)
        n += ALERT_RECORD_SIZE;
    EXPECT_EQ(j.find_first_not_of('\0', n), std::string::npos);
    return j.substr(0, n);
}

void
put_file(const std::string &path, const std::string &bytes)
{
    unlink(path.c_str());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

void
send(const std::string &key, const std::string &type, const std::string &host = "h")
{
    line_buf l = make_record("JOBSCHED", host, key, type, 'N', "text of " + key);
    process_alert_message(l.data(), 0);
}

std::string
key_at(int slot)
{
    return std::string(memory_table[slot].data() + OFF_KEY, LEN_KEY);
}

class StoreTest : public server_fixture {
protected:
    void SetUp() override
    {
        server_fixture::SetUp();
        keep_table = true;
        sync_to_disk = false;
    }
    void TearDown() override
    {
        table_store_close();
        keep_table = false;
        sync_to_disk = false;
        server_fixture::TearDown();
    }
    // Loads as a restart does: the overflow file opened again, then the saved table.
    int restart()
    {
        table_store_close();
        overflow_close();
        alert_table_reset();
        EXPECT_EQ(overflow_open(), 0);
        return table_store_load();
    }
};

// 52 alerts (two wait in the file), one cleared (the first comes back: read index 1).
void
fill_and_spill()
{
    for (int i = 0; i < 52; i++)
        send("k" + std::to_string(i), "AC");
    send("k0", "AK");
}

TEST_F(StoreTest, RoundTripKeepsBoardAndPosition)
{
    ASSERT_EQ(table_store_load(), 0);
    fill_and_spill();
    ASSERT_EQ(next_evt_record_to_read, 1);
    ASSERT_EQ(table_store_save(), 0);
    std::string saved = file_bytes(table_file_name);
    EXPECT_EQ(saved.size(), 51 * ALERT_RECORD_SIZE);

    EXPECT_EQ(restart(), 50);
    EXPECT_EQ(key_at(0), pad("k1", LEN_KEY));
    EXPECT_EQ(key_at(49), pad("k50", LEN_KEY));
    EXPECT_EQ(next_evt_record_to_read, 1);
    EXPECT_NE(log().find("INFO: Restored 50 alerts from alert_table.dat, 1 waiting in "
                         "evt_buffer.dat from record 1\n"), std::string::npos) << log();
    EXPECT_EQ(log().find("WARN"), std::string::npos) << log();
    // The waiting alert still comes back, once.
    send("k1", "AK");
    EXPECT_EQ(key_at(49), pad("k51", LEN_KEY));
    EXPECT_EQ(alerts_num_buffered(), 0);
}

// The saved position holds only for the overflow file it was saved with: one removed and
// made again, emptied in place, shortened, or another file of as many records is read from
// its start, with a warning that names both counts.
TEST_F(StoreTest, PositionIsTrustedOnlyForTheSameOverflowFile)
{
    ASSERT_EQ(table_store_load(), 0);
    fill_and_spill();
    ASSERT_EQ(table_store_save(), 0);
    std::string table = file_bytes(table_file_name);
    std::string two = overflow_bytes();
    ASSERT_EQ(two.size(), 2 * ALERT_RECORD_SIZE);
    line_buf other = make_record("JOBSCHED", "h", "other", "AC");
    std::string foreign = two.substr(0, ALERT_RECORD_SIZE) +
                          std::string(other.data(), ALERT_RECORD_SIZE);
    struct {
        const char *what;
        std::string overflow;
        int position;
        const char *warning;
    } cases[] = {
        {"unchanged", two, 1, nullptr},
        {"longer", two + foreign, 1, nullptr},
        {"emptied", "", 0, "holds 0 records, the saved table expected at least 2,"},
        {"shortened", two.substr(0, ALERT_RECORD_SIZE), 0,
         "holds 1 records, the saved table expected at least 2,"},
        {"foreign", foreign, 0, "holds 2 records, the saved table expected the same first 2,"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        put_file(table_file_name, table);
        put_file(event_logfile_name, c.overflow);
        testing::internal::CaptureStderr();
        EXPECT_EQ(restart(), 50);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(next_evt_record_to_read, c.position);
        if (c.warning == nullptr) {
            EXPECT_EQ(err, "");
        } else {
            std::string line = std::string("WARN: Overflow buffer file evt_buffer.dat ") +
                               c.warning + " reading it from the start\n";
            EXPECT_NE(log().find(line), std::string::npos) << log();
            EXPECT_EQ(err, line);
        }
    }

    // Every record read when the table was saved: the last record proves the file, and the
    // restart reads on from its end, replaying nothing.
    put_file(table_file_name, table);
    put_file(event_logfile_name, two);
    restart();
    send("k1", "AK");
    ASSERT_EQ(next_evt_record_to_read, 2);
    ASSERT_EQ(table_store_save(), 0);
    testing::internal::CaptureStderr();
    restart();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(next_evt_record_to_read, 2);

    // The file removed while the server was down: an alert that spills after the restart is
    // read back when room is made, not skipped as if it had been read already.
    put_file(table_file_name, table);
    unlink(event_logfile_name);
    restart();
    send("late", "AC");
    EXPECT_EQ(alerts_num_buffered(), 1);
    send("k1", "AK");
    EXPECT_EQ(key_at(49), pad("late", LEN_KEY));
    EXPECT_EQ(alerts_num_buffered(), 0);
}

// A damaged saved table keeps its whole alerts before the damage, is moved aside whole, and
// says on the log and on standard error how many records were kept and how many not.
TEST_F(StoreTest, DamagedTableKeepsTheWholeAlertsBeforeTheDamage)
{
    ASSERT_EQ(table_store_load(), 0);
    for (int i = 0; i < 6; i++)
        send("k" + std::to_string(i), "AC");
    ASSERT_EQ(table_store_save(), 0);
    const std::string good = file_bytes(table_file_name);
    const std::size_t R = ALERT_RECORD_SIZE;
    std::string bad_type = good;
    bad_type.replace(3 * R + OFF_MSGTYPE, 2, "ZZ");
    std::string twice = good;
    twice.replace(4 * R, R, good.substr(1 * R, R));
    std::string bad_state = good;
    bad_state[6 * R + OFF_MSGTEXT] = 'X';
    struct {
        const char *what;
        std::string bytes;
        int kept, not_kept;
        const char *why;
    } cases[] = {
        {"one byte short", good.substr(0, good.size() - 1), 6, 1,
         "its size is not a whole number of records"},
        {"bad type", bad_type, 3, 3, "a record is not a stored alert"},
        {"stored twice", twice, 4, 2, "an alert is stored twice"},
        {"bad state", bad_state, 6, 0, "its last record is not the table's state"},
        {"not a table", "not a table", 0, 1, "its size is not a whole number of records"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        put_file(table_file_name, c.bytes);
        unlink("alert_table.dat.bad");
        testing::internal::CaptureStderr();
        EXPECT_EQ(restart(), c.kept);
        std::string err = testing::internal::GetCapturedStderr();
        std::string line = std::string("WARN: Saved alert table alert_table.dat is damaged (") +
                           c.why + "), moved aside to alert_table.dat.bad, " +
                           std::to_string(c.kept) + " alerts kept, " +
                           std::to_string(c.not_kept) + " records not\n";
        EXPECT_NE(log().find(line), std::string::npos) << log();
        EXPECT_NE(err.find(line), std::string::npos) << err;
        EXPECT_EQ(file_bytes("alert_table.dat.bad"), c.bytes);
        for (int i = 0; i < c.kept; i++)
            EXPECT_EQ(memcmp(memory_table[i].data(), c.bytes.data() + i * R, R), 0) << i;
        // What was kept is saved at once, so the next start finds a whole table.
        EXPECT_EQ(table_store_due_ms(), 0);
    }
}

// State files are opened without following links or waiting on FIFOs: a FIFO or a link at
// alert_table.dat is moved aside, and a link at the temporary name is never written through.
TEST_F(StoreTest, OnlyRegularFilesAreReadOrWritten)
{
    ASSERT_EQ(mkfifo(table_file_name, 0600), 0);
    EXPECT_EQ(table_store_load(), 0);       // does not hang
    struct stat st;
    ASSERT_EQ(lstat("alert_table.dat.bad", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_NE(log().find("WARN: Saved alert table alert_table.dat cannot be read (it is not a "
                         "regular file), moved aside to alert_table.dat.bad\n"),
              std::string::npos) << log();

    put_file("victim", "precious");
    unlink("alert_table.dat.bad");
    ASSERT_EQ(symlink("victim", table_file_name), 0);
    EXPECT_EQ(restart(), 0);
    ASSERT_EQ(lstat("alert_table.dat.bad", &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    ASSERT_EQ(symlink("victim", "alert_table.dat.tmp"), 0);
    send("k", "AC");
    EXPECT_EQ(table_store_save(), 0);
    EXPECT_EQ(file_bytes("victim"), "precious");
    ASSERT_EQ(lstat(table_file_name, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// A save that fails (a file size limit) leaves the old saved table whole and no temporary file.
TEST_F(StoreTest, FailedSaveLeavesTheOldFileWhole)
{
    ASSERT_EQ(table_store_load(), 0);
    for (int i = 0; i < 3; i++)
        send("k" + std::to_string(i), "AC");
    ASSERT_EQ(table_store_save(), 0);
    std::string old = file_bytes(table_file_name);
    for (int i = 3; i < 10; i++)
        send("k" + std::to_string(i), "AC");
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 5 * ALERT_RECORD_SIZE;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    int status = table_store_save();
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(file_bytes(table_file_name), old);
    EXPECT_NE(access("alert_table.dat.tmp", F_OK), 0);
    EXPECT_NE(log().find("WARN: Unable to save the alert table to alert_table.dat, "),
              std::string::npos);
    EXPECT_EQ(restart(), 3);
}

// --sync: every change is in the journal once synced; a torn last image falls back to the one
// before it; the newer of the journal and the saved table wins; a save empties the journal.
TEST_F(StoreTest, JournalHoldsEverySyncedBoard)
{
    sync_to_disk = true;
    ASSERT_EQ(table_store_load(), 0);
    send("a", "AC");
    ASSERT_EQ(table_store_save(), 0);
    EXPECT_EQ(file_bytes(table_journal_name), "");
    // Each entry holds what changed: the new alert, then the entry's state record.
    send("b", "AW");
    ASSERT_EQ(table_store_sync(), 0);
    std::string one = journal_entries();
    EXPECT_EQ(one.size(), 2 * ALERT_RECORD_SIZE);
    EXPECT_GT(file_bytes(table_journal_name).size(), one.size());     // room kept ahead
    EXPECT_EQ(one.substr(OFF_KEY, LEN_KEY), pad("b", LEN_KEY));
    ASSERT_EQ(table_store_sync(), 0);           // nothing new: nothing written
    EXPECT_EQ(journal_entries(), one);
    send("a", "AK");                            // a removal record and the state record
    ASSERT_EQ(table_store_sync(), 0);
    std::string two = journal_entries();
    ASSERT_EQ(two.size(), 4 * ALERT_RECORD_SIZE);

    EXPECT_EQ(restart(), 1);                    // "a" cleared: only "b" is left
    EXPECT_EQ(key_at(0), pad("b", LEN_KEY));
    EXPECT_NE(log().find("INFO: Restored 1 alerts from alert_table.jnl"), std::string::npos);
    // Entries after a restart follow the last one, in the room kept, and are read back.
    send("d", "AC");
    ASSERT_EQ(table_store_sync(), 0);
    EXPECT_EQ(journal_entries().size(), 6 * ALERT_RECORD_SIZE);
    EXPECT_EQ(restart(), 2);
    EXPECT_EQ(key_at(1), pad("d", LEN_KEY));

    // The second entry torn: reported, and the first one holds.
    put_file(table_journal_name, two.substr(0, two.size() - 10));
    testing::internal::CaptureStderr();
    EXPECT_EQ(restart(), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "WARN: Journal alert_table.jnl ends in a damaged entry (2 records)"),
              std::string::npos);
    // A journal older than the saved table loses to it.
    ASSERT_EQ(table_store_save(), 0);
    EXPECT_EQ(file_bytes(table_journal_name), "");
    send("c", "AC");
    ASSERT_EQ(table_store_save(), 0);
    put_file(table_journal_name, one);
    EXPECT_EQ(restart(), 3);
}

// --sync: an ACK or a console reply reaches its peer only after the change it answers is in
// the journal; when the journal cannot be written, no answer leaves and the peer is closed.
TEST_F(StoreTest, WithSyncNoAnswerLeavesBeforeItsChangeIsSynced)
{
    sync_to_disk = true;
    ASSERT_EQ(table_store_load(), 0);
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    auto put_line = [&](line_buf l) {
        ASSERT_EQ(write(p.peer_fd, l.data(), ALERT_RECORD_SIZE),
                  static_cast<ssize_t>(ALERT_RECORD_SIZE));
        EXPECT_EQ(process_client(p.server_fd), 0);
    };
    put_line(make_record("JOBSCHED", "h", "k", "AC", 'Y'));
    EXPECT_EQ(read_available(p.peer_fd).size(), ALERT_RECORD_SIZE);
    std::string journal = journal_entries();
    ASSERT_EQ(journal.size(), 2 * ALERT_RECORD_SIZE);
    EXPECT_EQ(journal.substr(OFF_KEY, LEN_KEY), pad("k", LEN_KEY));

    put_line(make_record("CONSOLE24_80", "h", "k", "AD", 'Y'));
    EXPECT_EQ(read_available(p.peer_fd).size(), CONSOLE_REPLY_SIZE);
    EXPECT_EQ(journal_entries().size(), 4 * ALERT_RECORD_SIZE);   // its removal

    table_store_close();        // the journal can no longer be written
    put_line(make_record("JOBSCHED", "h", "k2", "AC", 'Y'));
    std::string reply = read_available(p.peer_fd);
    EXPECT_EQ(reply, "");
    EXPECT_NE(log().find("*ERR: Unable to write the journal alert_table.jnl, "),
              std::string::npos) << log();
    EXPECT_NE(log().find("*ERR: Unable to ACK message from host h"), std::string::npos);
    EXPECT_EQ(journal_entries().size(), 4 * ALERT_RECORD_SIZE);
}

} // namespace

// A saved board is restored whatever the table's size; one larger than the table fills it in
// table order and the rest waits in the overflow file, in the same order, nothing dropped:
// an acknowledged alert waits as the raise it was with its acknowledgement behind it, and a
// larger table later takes everything back as it was.
TEST_F(StoreTest, LargerSavedBoardSpillsWhatDoesNotFit)
{
    ASSERT_EQ(alert_table_init(8), 0);
    EXPECT_EQ(restart(), 0);
    for (int i = 0; i < 8; i++)
        send("k" + std::to_string(i), "AW");
    send("k2", "KA");
    line_buf an = make_record("CONSOLE", "h", "k6", "AN", 'N', "disk swap");
    memcpy(an.data() + OFF_ACK_WHO, "alice", 5);
    memcpy(an.data() + OFF_ACK_UNTIL, "4102444800", 10);     // 2100-01-01
    process_console_request(-1, an.data());
    ASSERT_TRUE(msgtype_is(memory_table[6].data(), "AK"));
    ASSERT_EQ(table_store_save(), 0);
    EXPECT_EQ(restart(), 8);
    EXPECT_EQ(key_at(7), "k7            ");

    ASSERT_EQ(alert_table_init(5), 0);
    EXPECT_EQ(restart(), 5);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(key_at(i), "k" + std::to_string(i) + "            ");
    EXPECT_NE(log().find("WARN: Saved alert table holds 8 alerts, more than the 5 of the table: "
                         "3 wait in evt_buffer.dat\n"), std::string::npos) << log();
    std::string waiting = overflow_bytes();
    ASSERT_EQ(waiting.size(), 4 * ALERT_RECORD_SIZE);
    const char *want[][2] = {{"k5", "AW"}, {"k6", "AW"}, {"k6", "AN"}, {"k7", "AW"}};
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(waiting.substr(i * ALERT_RECORD_SIZE + OFF_KEY, 2), want[i][0]);
        EXPECT_EQ(waiting.substr(i * ALERT_RECORD_SIZE + OFF_MSGTYPE, 2), want[i][1]);
    }
    // A clear makes room: the first of them moves onto the board behind the others.
    send("k0", "AK");
    EXPECT_EQ(key_at(4), "k5            ");
    EXPECT_EQ(alerts_num_buffered(), 3);
    ASSERT_EQ(table_store_save(), 0);

    // Back to a table of 8: everything is on the board again, the acks as they were.
    ASSERT_EQ(alert_table_init(8), 0);
    EXPECT_EQ(restart(), 5);
    overflow_refill_if_room();
    ASSERT_EQ(last_table_entry, 7);
    EXPECT_EQ(key_at(5), "k6            ");
    const alert_ack *m = alert_ack_of(memory_table[5].data());
    EXPECT_TRUE(msgtype_is(memory_table[5].data(), "AK"));
    EXPECT_STREQ(m->who, "alice");
    EXPECT_STREQ(m->note, "disk swap");
    EXPECT_EQ(m->until, 4102444800);
    EXPECT_EQ(std::string(m->severity, 2), "AW");
    EXPECT_TRUE(msgtype_is(memory_table[1].data(), "AK"));      // k2, plainly acknowledged
    EXPECT_EQ(std::string(alert_ack_of(memory_table[1].data())->severity, 2), "AW");
}

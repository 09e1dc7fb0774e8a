// Tests of the overflow file: counting, torn tails, failed appends, refill bounds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "server/test_util.h"

namespace {

using OverflowTest = server_fixture;

void
write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string
records(int n, const std::string &type = "AC", int first = 0)
{
    std::string all;
    for (int i = 0; i < n; i++) {
        line_buf l = make_record("JOBSCHED", "buffered", "k" + std::to_string(first + i), type);
        all.append(l.data(), ALERT_RECORD_SIZE);
    }
    return all;
}

// The read index each time the table took the time, that is while a record took effect.
std::vector<int> read_index_seen;

time_t
clock_noting_read_index()
{
    read_index_seen.push_back(next_evt_record_to_read);
    return 1800000000;
}

// Reopens the overflow file after the test wrote it by hand.
void
reopen()
{
    overflow_close();
    ASSERT_EQ(overflow_open(), 0);
}

TEST_F(OverflowTest, CountsWholeRecordsFromTheReadIndex)
{
    write_file(event_logfile_name, records(3));
    reopen();
    EXPECT_EQ(alerts_num_buffered(), 3);
    next_evt_record_to_read = 1;
    EXPECT_EQ(alerts_num_buffered(), 2);
    // An index past the end (a file shortened from outside) is not clamped in silence.
    next_evt_record_to_read = 7;
    EXPECT_EQ(alerts_num_buffered(), 3);
    EXPECT_EQ(next_evt_record_to_read, 0);
    EXPECT_NE(log().find("WARN: Overflow buffer file evt_buffer.dat holds 3 records, fewer than "
                         "the 7 already read, reading it from the start\n"), std::string::npos);

    // At open every unread record counts as waiting for its alert, also past the first few
    // read at once; a read position set later counts only those from it on.
    write_file(event_logfile_name, records(150));
    reopen();
    line_buf first = make_record("JOBSCHED", "buffered", "k0", "AC");
    line_buf last = make_record("JOBSCHED", "buffered", "k149", "AC");
    line_buf none = make_record("JOBSCHED", "buffered", "k150", "AC");
    EXPECT_EQ(overflow_waiting(first.data()), 1);
    EXPECT_EQ(overflow_waiting(last.data()), 1);
    EXPECT_EQ(overflow_waiting(none.data()), 0);
    EXPECT_EQ(overflow_waiting_host(none.data()), 150);
    overflow_set_read_position(100);
    EXPECT_EQ(overflow_waiting(first.data()), 0);
    EXPECT_EQ(overflow_waiting(last.data()), 1);
    EXPECT_EQ(overflow_waiting_host(none.data()), 50);
}

TEST_F(OverflowTest, TornTailIsCutBackAtOpenForEveryLength)
{
    std::string whole = records(3);
    for (std::size_t extra = 1; extra < ALERT_RECORD_SIZE; extra++) {
        write_file(event_logfile_name, whole + records(1).substr(0, extra));
        reopen();
        EXPECT_EQ(overflow_bytes(), whole) << extra;
        EXPECT_NE(log().find("WARN: Overflow buffer file evt_buffer.dat had a partial record of " +
                             std::to_string(extra) + " bytes at its end, removed\n"),
                  std::string::npos) << extra;
        EXPECT_EQ(alerts_num_buffered(), 3);
    }
    // A record appended afterwards lands on a record boundary.
    line_buf l = make_record("JOBSCHED", "h", "after", "AC", 'Y');
    alert_write_to_bufferfile(l.data());
    std::string file = overflow_bytes();
    ASSERT_EQ(file.size(), 4 * ALERT_RECORD_SIZE);
    EXPECT_EQ(file.substr(3 * ALERT_RECORD_SIZE + OFF_KEY, 5), "after");
    EXPECT_EQ(file[3 * ALERT_RECORD_SIZE + OFF_REPLY_WANTED], 'N');
    EXPECT_EQ(l.b[OFF_REPLY_WANTED], 'N');
}

// A torn tail that cannot be cut: the file is not used at start-up, and at run time no record
// is appended behind it (each such append fails and is counted, so nobody is told it is kept).
TEST_F(OverflowTest, TornTailThatCannotBeCutIsNeverAppendedTo)
{
    auto fail = [](int, off_t) { errno = EPERM; return -1; };
    write_file(event_logfile_name, records(2) + "partial");
    overflow_close();
    overflow_ftruncate = fail;
    EXPECT_EQ(overflow_open(), -2);
    overflow_ftruncate = ftruncate;
    EXPECT_NE(log().find("*ERR: Unable to cut the partial record at the end of overflow buffer "
                         "file evt_buffer.dat, " + std::string(strerror(EPERM)) + "\n"),
              std::string::npos) << log();

    write_file(event_logfile_name, records(2));
    ASSERT_EQ(overflow_open(), 0);
    // A short append (file size limit) whose cut-back fails leaves a torn tail behind.
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 2 * ALERT_RECORD_SIZE + 100;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    overflow_ftruncate = fail;
    line_buf l = make_record("JOBSCHED", "h", "k", "AC");
    unsigned long failed = overflow_failed_appends;
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), -1);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), -1);
    EXPECT_EQ(overflow_failed_appends, failed + 2);
    EXPECT_EQ(overflow_bytes().size(), 2 * ALERT_RECORD_SIZE + 100);
    // Once the cut works again, the next append lands on a boundary.
    overflow_ftruncate = ftruncate;
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), 0);
    EXPECT_EQ(overflow_bytes().size(), 3 * ALERT_RECORD_SIZE);
}

// An overflow file deleted from outside is recreated at the next drain, one that cannot be
// deleted is emptied: the server goes on either way.
TEST_F(OverflowTest, FileDeletedFromOutsideOrUndeletableIsRecreated)
{
    line_buf l = make_record("JOBSCHED", "h", "k", "AC");
    ASSERT_EQ(alert_write_to_bufferfile(l.data()), 0);
    ASSERT_EQ(unlink(event_logfile_name), 0);
    next_evt_record_to_read = 1;
    alert_check_overflow_file();
    EXPECT_EQ(log().find("*ERR"), std::string::npos) << log();
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), 0);
    EXPECT_EQ(overflow_bytes().size(), ALERT_RECORD_SIZE);
    EXPECT_EQ(alerts_num_buffered(), 1);

    // One that cannot be deleted is emptied in place instead, with a warning.
    overflow_unlink = [](const char *) { errno = EBUSY; return -1; };
    next_evt_record_to_read = 1;
    alert_check_overflow_file();
    overflow_unlink = unlink;
    EXPECT_NE(log().find("WARN: Unable to delete overflow file evt_buffer.dat, " +
                         std::string(strerror(EBUSY)) + ", emptied it instead\n"),
              std::string::npos) << log();
    EXPECT_EQ(log().find("*ERR"), std::string::npos) << log();
    EXPECT_EQ(overflow_bytes().size(), 0u);
    EXPECT_EQ(next_evt_record_to_read, 0);
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), 0);
    EXPECT_EQ(alerts_num_buffered(), 1);
}

// Only a regular file is used: a link there is not followed, a FIFO does not block the start.
// An append the system refuses (here a file size limit of 0) is warned about and counted.
TEST_F(OverflowTest, FailedAppendWarnsAndLeavesNothingBehind)
{
    overflow_close();
    unlink(event_logfile_name);
    ASSERT_EQ(symlink("/dev/full", event_logfile_name), 0);
    EXPECT_EQ(overflow_open(), -1);
    unlink(event_logfile_name);
    ASSERT_EQ(mkfifo(event_logfile_name, 0600), 0);
    EXPECT_EQ(overflow_open(), -1);
    unlink(event_logfile_name);
    ASSERT_EQ(overflow_open(), 0);

    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 0;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    line_buf l = make_record("JOBSCHED", "h", "k", "AC");
    unsigned long failed = overflow_failed_appends;
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), -1);
    EXPECT_EQ(alert_write_to_bufferfile(l.data()), -1);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(overflow_failed_appends, failed + 2);
    EXPECT_NE(log().find("WARN: Unable to store events in buffer file, disk full ?"),
              std::string::npos) << log();
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(overflow_waiting(l.data()), 0);     // nothing stored, nothing to wait behind
    EXPECT_EQ(unlink_permitted, 1);
}

TEST_F(OverflowTest, ShortAppendIsCutBackToTheLastWholeRecord)
{
    for (int i = 0; i < 3; i++) {
        line_buf l = make_record("JOBSCHED", "h", "k" + std::to_string(i), "AC");
        alert_write_to_bufferfile(l.data());
    }
    // A file size limit in the middle of the fourth record: its write falls short.
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = 3 * ALERT_RECORD_SIZE + 100;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    line_buf l = make_record("JOBSCHED", "h", "torn", "AC");
    alert_write_to_bufferfile(l.data());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);

    EXPECT_NE(log().find("WARN: Unable to store events in buffer file, disk full ?"),
              std::string::npos) << log();
    EXPECT_EQ(overflow_bytes().size(), 3 * ALERT_RECORD_SIZE);
    // The next append lands on a record boundary again.
    alert_write_to_bufferfile(l.data());
    std::string file = overflow_bytes();
    ASSERT_EQ(file.size(), 4 * ALERT_RECORD_SIZE);
    EXPECT_EQ(file.substr(3 * ALERT_RECORD_SIZE + OFF_KEY, 4), "torn");
}

TEST_F(OverflowTest, RefillStopsWhenTableIsFullAndKeepsTheRest)
{
    for (int i = 0; i < 47; i++) {
        line_buf l = make_record("JOBSCHED", "live", "k" + std::to_string(i), "AC");
        process_alert_message(l.data(), 0);
    }
    write_file(event_logfile_name, records(5));
    reopen();
    unlink_permitted = 1;
    // While a record is replayed the read index still points at it, so that an exit in the
    // middle (which saves the table) finds it unread and replays it again.
    struct clock_guard {
        time_t (*saved)() = ack_clock;
        ~clock_guard() { ack_clock = saved; }
    } restore;
    read_index_seen.clear();
    ack_clock = clock_noting_read_index;
    alert_retrieve_from_overflow();
    ack_clock = restore.saved;
    ASSERT_FALSE(read_index_seen.empty());
    EXPECT_EQ(read_index_seen.front(), 0);
    EXPECT_EQ(read_index_seen.back(), 2);
    alert_check_overflow_file();
    EXPECT_EQ(last_table_entry, 50);
    EXPECT_EQ(next_evt_record_to_read, 3);
    EXPECT_EQ(alerts_num_buffered(), 2);
    EXPECT_EQ(overflow_bytes().size(), 5 * ALERT_RECORD_SIZE);
    // Replays get no event line, only the fact of each raise read back.
    EXPECT_EQ(log().find("AINF: buffered"), std::string::npos) << log();
    EXPECT_NE(log().find("AINF: Read back "), std::string::npos) << log();
}

TEST_F(OverflowTest, RecreateOnlyAfterThisRunAppended)
{
    write_file(event_logfile_name, records(2));
    reopen();
    alert_retrieve_from_overflow();
    alert_check_overflow_file();
    // Not appended to by this run: the records stay, the read index too.
    EXPECT_EQ(last_table_entry, 2);
    EXPECT_EQ(overflow_bytes().size(), 2 * ALERT_RECORD_SIZE);
    EXPECT_EQ(next_evt_record_to_read, 2);
    alerts_recreate_overflow_file();
    EXPECT_EQ(overflow_bytes().size(), 2 * ALERT_RECORD_SIZE);

    line_buf l = make_record("JOBSCHED", "h", "k", "AC");
    alert_write_to_bufferfile(l.data());
    EXPECT_EQ(alerts_num_buffered(), 1);
    alert_retrieve_from_overflow();
    alert_check_overflow_file();
    EXPECT_EQ(last_table_entry, 3);
    EXPECT_EQ(overflow_bytes().size(), 0u);
    EXPECT_EQ(next_evt_record_to_read, 0);
    EXPECT_EQ(unlink_permitted, 0);
}

TEST_F(OverflowTest, NestedRefillReplaysEachRecordOnceInOrder)
{
    // Table full of 50 alerts; the file holds: AC b0, AK live0 (frees a slot while being
    // replayed, starting a nested refill), AC b1, AC b2.
    for (int i = 0; i < 49; i++) {
        line_buf l = make_record("JOBSCHED", "live", "k" + std::to_string(i), "AC");
        process_alert_message(l.data(), 0);
    }
    std::string file = records(1, "AC", 0);
    line_buf clear = make_record("JOBSCHED", "live", "k0", "AK");
    file.append(clear.data(), ALERT_RECORD_SIZE);
    file += records(2, "AC", 1);
    write_file(event_logfile_name, file);
    reopen();
    unlink_permitted = 1;

    // Room for one: b0 fills the table, the clear behind it needs no slot and frees one
    // for b1; b2 would meet a full table and waits.
    alert_retrieve_from_overflow();
    alert_check_overflow_file();
    EXPECT_EQ(next_evt_record_to_read, 3);
    line_buf free_one = make_record("JOBSCHED", "live", "k1", "AK");
    process_alert_message(free_one.data(), 0);  // refill: AK k0 frees, nested takes b1, b2
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(overflow_bytes().size(), 0u);
    ASSERT_EQ(last_table_entry, 50);
    EXPECT_EQ(alert_lookup(make_record("JOBSCHED", "live", "k0", "AC").data()), -1);
    std::string tail;
    for (int i = 47; i < 50; i++)
        tail += std::string(memory_table[i].data() + OFF_KEY, 2) + ",";
    EXPECT_EQ(tail, "k0,k1,k2,");  // b0, b1, b2 (their keys), once each, in file order
    EXPECT_EQ(log().find("WARN"), std::string::npos) << log();
}

// A file of 25,000 raise/clear pairs behind a nearly full table: each replayed clear frees a
// slot and asks for a refill again. The refill must not nest: every record is replayed once,
// in order, without the stack growing with the file.
TEST_F(OverflowTest, DeepFileOfRaiseClearPairsReplaysWithoutNesting)
{
    for (int i = 0; i < 49; i++) {
        line_buf l = make_record("JOBSCHED", "live", "k" + std::to_string(i), "AC");
        process_alert_message(l.data(), 0);
    }
    constexpr int PAIRS = 25000;
    std::string file;
    file.reserve(2 * PAIRS * ALERT_RECORD_SIZE);
    for (int i = 0; i < PAIRS; i++) {
        for (const char *type : {"AC", "AK"}) {
            line_buf l = make_record("JOBSCHED", "flap", "f" + std::to_string(i), type);
            l.b[OFF_REPLY_WANTED] = 'N';
            file.append(l.data(), ALERT_RECORD_SIZE);
        }
    }
    line_buf last = make_record("JOBSCHED", "flap", "stays", "AW");
    file.append(last.data(), ALERT_RECORD_SIZE);
    write_file(event_logfile_name, file);
    reopen();
    unlink_permitted = 1;

    // Room for one: f0 fills the table, its clear frees it again, and so on to the end.
    alert_retrieve_from_overflow();
    alert_check_overflow_file();
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(last_table_entry, 50);
    line_buf free_one = make_record("JOBSCHED", "live", "k0", "AK");
    process_alert_message(free_one.data(), 0);
    EXPECT_EQ(alerts_num_buffered(), 0);
    EXPECT_EQ(overflow_bytes().size(), 0u);     // all read back: recreated
    ASSERT_EQ(last_table_entry, 49);
    EXPECT_EQ(std::string(memory_table[48].data() + OFF_KEY, 5), "stays");
    EXPECT_EQ(alert_lookup(make_record("JOBSCHED", "flap", "f0", "AC").data()), -1);
    EXPECT_EQ(log().find("WARN"), std::string::npos) << log();
}

} // namespace

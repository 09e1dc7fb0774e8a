// Black-box tests of alerts end to end: flicket, the table, the overflow file, restarts.
#include <gtest/gtest.h>

#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/record.h"
#include "common/text.h"
#include "tests/harness.h"

namespace {

// The alert table as a console sees it: "key type" for every listing line, in table order.
std::vector<std::string>
listing(int port)
{
    return board_listing(port);
}

std::string
key_entry(const std::string &key, const std::string &type)
{
    std::string k = key;
    k.resize(LEN_KEY, ' ');
    return k + " " + type;
}

int
flicket(int port, const std::string &severity, const std::string &key, const std::string &text,
        const std::string &address = "127.0.0.1")
{
    return run_program({flicket_path(), std::to_string(port), address, severity, key, text})
        .status;
}

// Waits until the listing has n entries (the server handles each flicket after it closes).
bool
wait_listing_size(int port, std::size_t n)
{
    for (int i = 0; i < 300; i++) {
        if (listing(port).size() == n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// n alerts of one host and type with keys PREFIX0 to PREFIXn-1, as one burst of records.
std::string
burst_of(int n, const std::string &host, const std::string &type = "AC", char reply_wanted = 'Y',
         const std::string &prefix = "K")
{
    std::string all;
    for (int i = 0; i < n; i++)
        all += make_alert("JOBSCHED", host, prefix + std::to_string(i), type, reply_wanted);
    return all;
}

// Sends records that all ask for an ACK and waits for every ACK.
bool
send_awaiting_acks(int fd, const std::string &records)
{
    std::size_t n = records.size() / ALERT_RECORD_SIZE;
    return send_all(fd, records) &&
           read_exact(fd, n * ALERT_RECORD_SIZE, 5000).size() == n * ALERT_RECORD_SIZE;
}

TEST(Alerts, EachFlicketSeverityActsOnTheTable)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    ASSERT_EQ(flicket(s.port, "critical", "CRIT", "disk full"), 0);
    ASSERT_EQ(flicket(s.port, "warnings", "WARN", "disk filling"), 0);
    ASSERT_EQ(flicket(s.port, "information", "INFO", "fyi"), 0);
    ASSERT_EQ(flicket(s.port, "logonly", "LOG", "just a note"), 0);
    ASSERT_TRUE(wait_for_log(d.path, " LO LOG            Y just a note \n"));
    ASSERT_TRUE(wait_listing_size(s.port, 3));
    EXPECT_EQ(listing(s.port), (std::vector<std::string>{
                                   key_entry("CRIT", "AC"), key_entry("WARN", "AW"),
                                   key_entry("INFO", "IO")}));
    ASSERT_EQ(flicket(s.port, "harmless", "WARN", ""), 0);
    ASSERT_TRUE(wait_listing_size(s.port, 2));
    ASSERT_EQ(flicket(s.port, "clearall", "", ""), 0);
    ASSERT_TRUE(wait_listing_size(s.port, 0));
    std::string log = read_log(d.path);
    EXPECT_NE(log.find(" AC CRIT           Y disk full \n"), std::string::npos) << log;
    EXPECT_EQ(log.find("WARN:"), std::string::npos) << log;
    stop_server(s);
}

TEST(Alerts, FullTableSpillsToTheFileAndComesBackAcrossRestarts)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    // 52 critical alerts on one connection, as a forwarding application sends them.
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(52, "node1")));
    // Each ACK left only once its alert was stored, in the table or the file: the table is
    // full and the last two wait in the file.
    EXPECT_EQ(listing(s.port).size(), 50u);

    std::string file = read_file(d.path + "/evt_buffer.dat");
    ASSERT_EQ(file.size(), 2 * ALERT_RECORD_SIZE);
    EXPECT_EQ(file[OFF_REPLY_WANTED], 'N');
    EXPECT_EQ(file.substr(OFF_KEY, 4), "K50 ");

    // Clearing one brings the first buffered alert back at the end of the table.
    ASSERT_TRUE(send_awaiting_acks(fd, make_alert("JOBSCHED", "node1", "K3", "AK", 'Y')));
    std::vector<std::string> l = listing(s.port);
    ASSERT_EQ(l.size(), 50u);
    EXPECT_EQ(l.back(), key_entry("K50", "AC"));
    close(fd);
    EXPECT_EQ(stop_server(s), 0);

    // The file still holds both records (K51 unread); a restart replays it from the start.
    ASSERT_EQ(read_file(d.path + "/evt_buffer.dat").size(), 2 * ALERT_RECORD_SIZE);
    s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(listing(s.port), (std::vector<std::string>{key_entry("K50", "AC"),
                                                         key_entry("K51", "AC")}));
    stop_server(s);
}

// A clear-all that frees slots lets the waiting alert in: the board never stalls with room
// on it and an alert on disk.
TEST(Alerts, ClearAllForHostRefills)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(5, "gone") + burst_of(45, "stays") +
                                           make_alert("JOBSCHED", "later", "L", "AC", 'Y') +
                                           make_alert("JOBSCHED", "gone", "", "KH", 'Y')));
    std::vector<std::string> l = listing(s.port);
    ASSERT_EQ(l.size(), 46u);
    EXPECT_EQ(l.back(), key_entry("L", "AC"));
    // Both the buffered alert and the clear-all behind it were read back.
    EXPECT_EQ(read_file(d.path + "/evt_buffer.dat").size(), 0u);
    close(fd);
    stop_server(s);
}

TEST(Alerts, OverflowFileOnAFullDiskWarnsAndTheServerGoesOn)
{
    temp_dir d;
    // Only a regular file is used: a link at the overflow file's name ends the start.
    ASSERT_EQ(symlink("/dev/full", (d.path + "/evt_buffer.dat").c_str()), 0);
    server_proc s = start_server(d.path);
    EXPECT_EQ(s.port, 0);
    if (s.pid > 0) {
        EXPECT_EQ(wait_exit(s.pid), 1);
    }
    EXPECT_NE(read_log(d.path).find("*ERR: Unable to open alert overflow buffer file "
                                    "evt_buffer.dat, aborting!"), std::string::npos);
    ASSERT_EQ(unlink((d.path + "/evt_buffer.dat").c_str()), 0);

    // A full board and 200 alerts waiting, then a restart whose file size limit leaves the
    // overflow file no room for one more record (and the log and the saved table room).
    const std::vector<std::string> args = {"--keep-table", "0", "127.0.0.1"};
    s = start_server(d.path, args);
    ASSERT_GT(s.port, 0);
    // No saved table yet: nothing restored, and no line that says otherwise.
    EXPECT_EQ(read_log(d.path).find("INFO: Restored "), std::string::npos);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(250, "h")));
    close(fd);
    ASSERT_EQ(stop_server(s), 0);
    s = start_server(d.path, args, {}, 200 * ALERT_RECORD_SIZE + 100);
    ASSERT_GT(s.port, 0);
    EXPECT_NE(read_log(d.path).find("INFO: Restored 50 alerts from "), std::string::npos);
    fd = connect_local(s.port);
    // The 51st cannot be stored: no ACK, and its connection is closed.
    ASSERT_TRUE(send_all(fd, make_alert("JOBSCHED", "h", "LOST", "AC", 'Y')));
    EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE), "");
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Unable to store events in buffer file, disk full ?"));
    EXPECT_EQ(listing(s.port).size(), 50u);
    close(fd);
    EXPECT_EQ(stop_server(s), 0);
}

TEST(Alerts, KilledDuringAppendsLeavesWholeRecordsThatReplay)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_all(fd, burst_of(50, "h", "AC", 'N')));
    std::string more = burst_of(400, "over", "AW", 'N', "O");
    std::thread writer([&] { send_all(fd, more); });
    // Kill it once some of the burst has reached the file.
    for (int i = 0; i < 500 && read_file(d.path + "/evt_buffer.dat").size() < 20 * 234; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    kill(s.pid, SIGKILL);
    wait_exit(s.pid);
    writer.join();
    close(fd);
    // The kill may have cut an append anywhere; cut the last whole record in half by hand as
    // well, so start-up always has a partial record of a known length to remove.
    std::string path = d.path + "/evt_buffer.dat";
    std::size_t whole = read_file(path).size() / ALERT_RECORD_SIZE;
    ASSERT_GE(whole, 20u);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(whole * ALERT_RECORD_SIZE - 100)), 0);

    s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Overflow buffer file evt_buffer.dat had a partial "
                                     "record of 134 bytes at its end, removed\n"));
    std::vector<std::string> l = listing(s.port);
    ASSERT_EQ(l.size(), std::min<std::size_t>(whole - 1, 50));
    EXPECT_EQ(l.front(), key_entry("O0", "AW"));
    stop_server(s);
}

// The keys of the whole records in the overflow file, in file order.
std::vector<std::string>
file_keys(const std::string &path)
{
    std::string file = read_file(path);
    std::vector<std::string> keys;
    for (std::size_t at = 0; at + ALERT_RECORD_SIZE <= file.size(); at += ALERT_RECORD_SIZE)
        keys.push_back(file.substr(at + OFF_KEY, file.find(' ', at + OFF_KEY) - at - OFF_KEY));
    return keys;
}

// The listing a fresh server shows after replaying n records keyed O0, O1, ... of type AW.
std::vector<std::string>
replayed(std::size_t n)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < std::min<std::size_t>(n, 50); i++)
        out.push_back(key_entry("O" + std::to_string(i), "AW"));
    return out;
}

// A kill -9 at a random moment of a burst that spills to the overflow file: every alert whose
// ACK arrived is in the file, whole, and the file replays at the next start.
TEST(Alerts, AcknowledgedAlertsSurviveAKillAtAnyMoment)
{
    srand(static_cast<unsigned>(getpid()));
    for (int trial = 0; trial < 30; trial++) {
        temp_dir d;
        server_proc s = start_server(d.path);
        ASSERT_GT(s.port, 0);
        int fd = connect_local(s.port);
        ASSERT_TRUE(send_awaiting_acks(fd, burst_of(50, "full")));
        std::string more = burst_of(300, "over", "AW", 'Y', "O");
        std::thread writer([&] { send_all(fd, more); });
        std::this_thread::sleep_for(std::chrono::microseconds(rand() % 20000));
        kill(s.pid, SIGKILL);
        wait_exit(s.pid);
        std::size_t acked = read_exact(fd, more.size(), 2000).size() / ALERT_RECORD_SIZE;
        writer.join();
        close(fd);

        std::vector<std::string> keys = file_keys(d.path + "/evt_buffer.dat");
        ASSERT_GE(keys.size(), acked) << "trial " << trial;
        for (std::size_t i = 0; i < acked; i++)
            ASSERT_EQ(keys[i], "O" + std::to_string(i)) << "trial " << trial;
        s = start_server(d.path);
        ASSERT_GT(s.port, 0) << "trial " << trial;
        ASSERT_EQ(listing(s.port), replayed(keys.size())) << "trial " << trial;
        EXPECT_EQ(read_file(d.path + "/evt_buffer.dat").size() % ALERT_RECORD_SIZE, 0u)
            << "trial " << trial;
        EXPECT_EQ(stop_server(s), 0);
    }
}

// An overflow file of 25,000 raise/clear pairs replays at start-up without growing the stack.
TEST(Alerts, DeepOverflowFileReplaysAtStart)
{
    temp_dir d;
    std::string file;
    for (int i = 0; i < 25000; i++)
        file += make_alert("JOBSCHED", "flap", "F" + std::to_string(i), "AC", 'N') +
                make_alert("JOBSCHED", "flap", "F" + std::to_string(i), "AK", 'N');
    file += make_alert("JOBSCHED", "flap", "LAST", "AW", 'N');
    FILE *f = fopen((d.path + "/evt_buffer.dat").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fwrite(file.data(), 1, file.size(), f);
    fclose(f);
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(listing(s.port), std::vector<std::string>{key_entry("LAST", "AW")});
    EXPECT_EQ(stop_server(s), 0);
}

// Under a file size limit (on every file the server writes) the overflow file or the message
// log fills up first. When the overflow file is full, the alert that cannot be stored gets no
// ACK and its connection is closed at once; a full log loses log lines only. Either way the
// server stays up, every acknowledged alert is in the file, whole, and replays at a restart.
TEST(Alerts, FileSizeLimitLosesNoAcknowledgedAlert)
{
    struct {
        const char *full;       // which file fills first
        long limit;
        std::size_t text;       // message text length: long texts make long log lines
    } cases[] = {{"overflow file", 40000, 0}, {"log file", 14000, 100}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.full);
        temp_dir d;
        server_proc s = start_server(d.path, {}, {}, c.limit);
        ASSERT_GT(s.port, 0);
        int fd = connect_local(s.port);
        std::string text(c.text, 'x');
        std::string first;
        for (int i = 0; i < 50; i++)
            first += make_alert("JOBSCHED", "full", "K" + std::to_string(i), "AC", 'Y', text);
        ASSERT_TRUE(send_awaiting_acks(fd, first));
        const int offered = c.text > 0 ? 40 : 400;
        int acked = 0;
        for (; acked < offered; acked++)
            if (!send_awaiting_acks(fd, make_alert("JOBSCHED", "over", "O" + std::to_string(acked),
                                                   "AW", 'Y', text)))
                break;
        close(fd);
        ASSERT_GT(acked, 0);
        std::vector<std::string> keys = file_keys(d.path + "/evt_buffer.dat");
        EXPECT_EQ(keys.size(), static_cast<std::size_t>(acked));
        EXPECT_EQ(read_file(d.path + "/evt_buffer.dat").size() % ALERT_RECORD_SIZE, 0u);
        std::string log = read_log(d.path);
        if (c.text == 0) {
            ASSERT_LT(acked, offered);
            std::size_t full = log.find("WARN: Unable to store events in buffer file, disk full ?");
            ASSERT_NE(full, std::string::npos) << log;
            EXPECT_NE(log.find("closed, an alert could not be stored\n", full), std::string::npos)
                << log;
        } else {
            EXPECT_EQ(acked, offered);
            // The limit did cut the log: the first alerts past the table have their event
            // line, the last ones none.
            EXPECT_NE(log.find(" O0 "), std::string::npos);
            EXPECT_EQ(log.find(" O" + std::to_string(offered - 1) + " "), std::string::npos);
        }
        EXPECT_EQ(listing(s.port).size(), 50u);
        EXPECT_EQ(stop_server(s), 0);

        s = start_server(d.path);
        ASSERT_GT(s.port, 0);
        EXPECT_EQ(listing(s.port), replayed(keys.size()));
        EXPECT_EQ(stop_server(s), 0);
    }
}

// Restarts on the same port straight after a stop, while a console was connected (its
// connection is left in TIME_WAIT by the server's close); SIGHUP reopens the log.
TEST(Alerts, RestartsAtOnceAndReopensItsLogOnHangup)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    const int port = s.port;
    for (int round = 0; round < 3; round++) {
        int console = connect_local(port);
        ASSERT_GE(console, 0);
        ASSERT_TRUE(send_all(console, make_alert("CONSOLE99_127", "", "", "SL", 'Y')));
        ASSERT_EQ(read_exact(console, CONSOLE_REPLY_SIZE).size(), CONSOLE_REPLY_SIZE);
        ASSERT_EQ(run_program({quiesk_path(), std::to_string(port), "127.0.0.1"}).status, 0);
        ASSERT_EQ(wait_exit(s.pid), 0);
        s = start_server(d.path, {std::to_string(port), "127.0.0.1"});
        ASSERT_EQ(s.port, port) << "round " << round << "\n" << read_log(d.path);
        close(console);
    }

    // A rotation tool moves the log aside, then asks for a new one.
    std::string move = "cd '" + d.path + "' && for f in log_*.log; do mv \"$f\" \"$f.1\"; done";
    ASSERT_EQ(system(move.c_str()), 0);
    ASSERT_EQ(read_log(d.path), "");
    kill(s.pid, SIGHUP);
    EXPECT_TRUE(wait_for_log(d.path, "INFO: Signal 1 (SIGHUP), log file reopened\n"));
    EXPECT_EQ(flicket(port, "critical", "AFTER", "hangup"), 0);
    EXPECT_TRUE(wait_for_log(d.path, " AC AFTER          Y hangup \n"));
    EXPECT_EQ(stop_server(s), 0);
}

// --keep-table: the board, its states and order, and the overflow read position come back
// after an orderly stop and after a kill; a damaged saved table is moved aside.
TEST(Alerts, KeptTableSurvivesRestarts)
{
    temp_dir d;
    const std::vector<std::string> args = {"--keep-table", "0", "127.0.0.1"};
    server_proc s = start_server(d.path, args);
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(52, "b") +
                                           make_alert("JOBSCHED", "b", "K5", "KA", 'Y') +
                                           make_alert("JOBSCHED", "b", "K7", "AK", 'Y')));
    close(fd);
    std::vector<std::string> before = listing(s.port);
    ASSERT_EQ(before.size(), 50u);
    EXPECT_EQ(before[5], key_entry("K5", "AK"));
    EXPECT_EQ(before.back(), key_entry("K50", "AC"));
    ASSERT_EQ(run_program({quiesk_path(), std::to_string(s.port), "127.0.0.1"}).status, 0);
    ASSERT_EQ(wait_exit(s.pid), 0);

    s = start_server(d.path, args);
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(listing(s.port), before);
    // K51 still waits in the file: clearing one alert brings it (and only it) in.
    fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, make_alert("JOBSCHED", "b", "K0", "AK", 'Y')));
    std::vector<std::string> after = listing(s.port);
    ASSERT_EQ(after.size(), 50u);
    EXPECT_EQ(after.back(), key_entry("K51", "AC"));
    // A change is saved within a second, so a kill loses nothing older.
    ASSERT_TRUE(send_awaiting_acks(fd, make_alert("JOBSCHED", "b", "K1", "AK", 'Y')));
    close(fd);
    after = listing(s.port);
    // The kill comes once the saved table holds K1 as the board has it (or not at all).
    std::string want_k1;
    for (const std::string &e : after)
        if (e.rfind(key_entry("K1", ""), 0) == 0)
            want_k1 = e;
    auto saved_k1 = [&] {
        std::string f = read_file(d.path + "/alert_table.dat"), got;
        for (std::size_t at = 0; at + ALERT_RECORD_SIZE <= f.size(); at += ALERT_RECORD_SIZE) {
            std::string key = f.substr(at + OFF_KEY, LEN_KEY);
            key.erase(key.find_last_not_of(std::string(" \0", 2)) + 1);
            if (key == "K1")
                got = key_entry(key, f.substr(at + OFF_MSGTYPE, LEN_MSGTYPE));
        }
        return got;
    };
    for (long end = monotonic_ms() + 5000; saved_k1() != want_k1 && monotonic_ms() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(saved_k1(), want_k1) << "the change was not saved within 5 s";
    kill(s.pid, SIGKILL);
    wait_exit(s.pid);
    s = start_server(d.path, args);
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(listing(s.port), after);
    EXPECT_EQ(stop_server(s), 0);

    // A short file, one of foreign records, and a saved table with one record that is no alert.
    std::string foreign = read_file(d.path + "/alert_table.dat");
    ASSERT_GT(foreign.size(), 2 * ALERT_RECORD_SIZE);
    foreign.replace(ALERT_RECORD_SIZE + OFF_MSGTYPE, 2, "ZZ");
    for (const std::string &damage : {std::string("not a table"),
                                      std::string(3 * ALERT_RECORD_SIZE, 'x'), foreign}) {
        FILE *f = fopen((d.path + "/alert_table.dat").c_str(), "w");
        ASSERT_NE(f, nullptr);
        fwrite(damage.data(), 1, damage.size(), f);
        fclose(f);
        unlink((d.path + "/evt_buffer.dat").c_str());
        s = start_server(d.path, args);
        ASSERT_GT(s.port, 0);
        EXPECT_TRUE(wait_for_log(d.path, "WARN: Saved alert table alert_table.dat is damaged"));
        EXPECT_EQ(read_file(d.path + "/alert_table.dat.bad"), damage);
        // The whole alerts before the damage are kept: the foreign file's first one.
        EXPECT_EQ(listing(s.port).size(), damage == foreign ? 1u : 0u);
        EXPECT_EQ(stop_server(s), 0);
    }
}

// A saved table that is no regular file (here a FIFO, which must not hang the start) is set
// aside; when it cannot be, the start ends rather than an empty board replacing it later.
TEST(Alerts, UnusableSavedTableIsSetAsideOrEndsTheStart)
{
    temp_dir d;
    const std::vector<std::string> args = {"--keep-table", "0", "127.0.0.1"};
    const std::string table = d.path + "/alert_table.dat", bad = table + ".bad";
    ASSERT_EQ(mkfifo(table.c_str(), 0600), 0);
    server_proc s = start_server(d.path, args);
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(stop_server(s), 0);
    struct stat st;
    ASSERT_EQ(lstat(bad.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A FIFO again, and a directory with something in it where it would be set aside.
    ASSERT_EQ(unlink(bad.c_str()), 0);
    unlink(table.c_str());      // the empty board saved in its place
    ASSERT_EQ(mkfifo(table.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(bad.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((bad + "/x").c_str(), 0700), 0);
    s = start_server(d.path, args);
    EXPECT_EQ(s.port, 0);
    if (s.pid > 0) {
        EXPECT_EQ(wait_exit(s.pid), 1);
    }
    EXPECT_NE(read_log(d.path).find("*ERR: Saved alert table alert_table.dat cannot be used "
                                    "(it is not a regular file) nor moved aside"),
              std::string::npos) << read_log(d.path);
    ASSERT_EQ(lstat(table.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    rmdir((bad + "/x").c_str());
}

// --allow: a peer outside the allowed networks is closed at once, with one WARN line.
TEST(Alerts, OnlyAllowedPeersMayConnect)
{
    temp_dir d;
    server_proc s = start_server(d.path, {"--allow", "127.0.0.2", "--allow", "::1/128", "0",
                                          "127.0.0.1"});
    ASSERT_GT(s.port, 0);
    for (int i = 0; i < 5; i++) {
        int fd = connect_local(s.port);
        ASSERT_GE(fd, 0);
        send_all(fd, make_alert("JOBSCHED", "h", "REFUSED", "AC", 'Y'));
        EXPECT_EQ(read_exact(fd, ALERT_RECORD_SIZE, 2000), "");
        close(fd);
    }
    std::string log = read_log(d.path);
    std::size_t first = log.find("WARN: Connection from 127.0.0.1:");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("refused, not an allowed address", first), std::string::npos);
    EXPECT_EQ(log.find("REFUSED"), std::string::npos);
    EXPECT_EQ(stop_server(s), 0);

    s = start_server(d.path, {"--allow", "127.0.0.0/8", "0", "127.0.0.1"});
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(flicket(s.port, "critical", "LET_IN", "allowed"), 0);
    EXPECT_TRUE(wait_for_log(d.path, " AC LET_IN         Y allowed \n"));
    EXPECT_EQ(stop_server(s), 0);
    EXPECT_NE(run_program({tarrowd_path(), "--allow", "nonsense", "0"}).status, 0);

    // IPv6 peers: ::1 is let in by ::1/128 and refused by a list of IPv4 networks only.
    for (const char *allowed : {"::1/128", "127.0.0.0/8"}) {
        temp_dir d6;
        s = start_server(d6.path, {"--allow", allowed, "0", "::1"});
        if (s.port == 0) {
            stop_server(s);
            GTEST_SKIP() << "no IPv6 loopback here";
        }
        bool let_in = std::string(allowed) == "::1/128";
        flicket(s.port, "critical", "V6", "over ipv6", "::1");
        EXPECT_TRUE(wait_for_log(d6.path, let_in ? " AC V6             Y over ipv6 \n"
                                                 : "WARN: Connection from [::1]:"))
            << read_log(d6.path);
        EXPECT_EQ(read_log(d6.path).find("over ipv6") != std::string::npos, let_in) << allowed;
        EXPECT_EQ(stop_server(s), 0);
    }
}

// With NOTIFY_SOCKET set, the server says READY=1 once it serves and STOPPING=1 at its end.
TEST(Alerts, ServiceManagerIsToldReadyAndStopping)
{
    temp_dir d;
    std::string path = d.path + "/notify";
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, path.c_str(), path.size());
    ASSERT_EQ(bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
    auto next_datagram = [sock] {
        struct pollfd p = {sock, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return std::string("(nothing)");
        char buf[256];
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    };
    server_proc s = start_server(d.path, {}, {"NOTIFY_SOCKET=" + path});
    ASSERT_GT(s.port, 0);
    EXPECT_EQ(next_datagram(), "READY=1");
    EXPECT_EQ(stop_server(s), 0);
    EXPECT_EQ(next_datagram(), "STOPPING=1");
    close(sock);
}

} // namespace

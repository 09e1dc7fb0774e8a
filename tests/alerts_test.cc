// Black-box tests of alerts end to end: flicket, the table, the overflow file, restarts.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/record.h"
#include "tests/harness.h"

namespace {

// The alert table as a console sees it: "key type" for every listing line, in table order.
std::vector<std::string>
listing(int port)
{
    std::vector<std::string> out;
    int fd = connect_local(port);
    if (fd < 0)
        return {"no connection"};
    send_all(fd, make_alert("CONSOLE99_127", "", "", "SL", 'Y'));
    for (int n = 0; n < 10; n++) {
        std::string reply = read_exact(fd, CONSOLE_REPLY_SIZE);
        if (reply.size() != CONSOLE_REPLY_SIZE)
            break;
        std::string data = reply.substr(OFF_DATA, reply.find('\0', OFF_DATA) - OFF_DATA);
        std::size_t at = 0;
        while (at < data.size()) {
            std::size_t end = data.find('^', at);
            std::string line = data.substr(at, end - at);
            if (line.find("NO ALERTS AT PRESENT") == std::string::npos && line.size() >= 48)
                out.push_back(line.substr(31, 14) + " " + line.substr(46, 2));
            at = end == std::string::npos ? data.size() : end + 1;
        }
        if (reply.substr(OFF_MSGTYPE, 2) != "DF")
            break;
    }
    close(fd);
    return out;
}

std::string
key_entry(const std::string &key, const std::string &type)
{
    std::string k = key;
    k.resize(LEN_KEY, ' ');
    return k + " " + type;
}

int
flicket(int port, const std::string &severity, const std::string &key, const std::string &text)
{
    return run_program({flicket_path(), std::to_string(port), "127.0.0.1", severity, key, text})
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
    // An ACK goes out before its alert is stored; the listing is answered after it is.
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

TEST(Alerts, ClearAllForHostDoesNotRefill)
{
    temp_dir d;
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(5, "gone") + burst_of(45, "stays") +
                                           make_alert("JOBSCHED", "later", "L", "AC", 'Y') +
                                           make_alert("JOBSCHED", "gone", "", "KH", 'Y')));
    EXPECT_EQ(listing(s.port).size(), 45u);
    // Both the buffered alert and the buffered clear-all are still waiting.
    EXPECT_EQ(read_file(d.path + "/evt_buffer.dat").size(), 2 * ALERT_RECORD_SIZE);
    close(fd);
    stop_server(s);
}

TEST(Alerts, OverflowFileOnAFullDiskWarnsAndTheServerGoesOn)
{
    temp_dir d;
    ASSERT_EQ(symlink("/dev/full", (d.path + "/evt_buffer.dat").c_str()), 0);
    server_proc s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    int fd = connect_local(s.port);
    ASSERT_TRUE(send_awaiting_acks(fd, burst_of(51, "h")));
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
    // Cut a record in half by hand as well, as a crash inside a write would.
    std::string path = d.path + "/evt_buffer.dat";
    std::string file = read_file(path);
    ASSERT_GE(file.size(), 20u * ALERT_RECORD_SIZE);
    EXPECT_EQ(file.size() % ALERT_RECORD_SIZE, 0u);
    std::size_t whole = file.size() / ALERT_RECORD_SIZE;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(file.size() - 100)), 0);

    s = start_server(d.path);
    ASSERT_GT(s.port, 0);
    EXPECT_TRUE(wait_for_log(d.path, "WARN: Overflow buffer file evt_buffer.dat had a partial "
                                     "record of 134 bytes at its end, removed\n"));
    std::vector<std::string> l = listing(s.port);
    ASSERT_EQ(l.size(), std::min<std::size_t>(whole - 1, 50));
    EXPECT_EQ(l.front(), key_entry("O0", "AW"));
    stop_server(s);
}

} // namespace

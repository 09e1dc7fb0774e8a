// Tests of client input dispatch: line reading without blocking, classification, closing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "server/test_util.h"
#include "tests/records.h"

namespace {

using DispatchTest = server_fixture;

std::string
record_bytes(const line_buf &l)
{
    return std::string(l.b, ALERT_RECORD_SIZE);
}

void
put(int fd, const std::string &bytes)
{
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

TEST_F(DispatchTest, RecordsArrivingTogetherAreHandledOneLinePerCall)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    std::string two = record_bytes(make_record("JOBSCHED", "h", "a", "AC", 'Y')) +
                      record_bytes(make_record("JOBSCHED", "h", "b", "AC", 'Y'));
    put(p.peer_fd, two);
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_EQ(last_table_entry, 1);
    EXPECT_TRUE(client_has_line(p.server_fd));  // the second is ready without more input
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_EQ(last_table_entry, 2);
    EXPECT_FALSE(client_has_line(p.server_fd));
    EXPECT_EQ(read_available(p.peer_fd).size(), 2 * ALERT_RECORD_SIZE);

    // More than a buffer at once: records cross the buffer's end and stay whole and in order.
    std::string many;
    for (int i = 0; i < 45; i++)
        many += record_bytes(make_record("JOBSCHED", "h", "k" + std::to_string(i), "AC", 'Y'));
    put(p.peer_fd, many);
    for (int i = 0; i < 200 && last_table_entry < 47; i++)
        ASSERT_EQ(process_client(p.server_fd), 0);
    ASSERT_EQ(last_table_entry, 47);
    for (int i = 0; i < 45; i++)
        EXPECT_EQ(std::string(memory_table[i + 2].data() + OFF_KEY),
                  ("k" + std::to_string(i) + "             ").substr(0, LEN_KEY)) << i;
    EXPECT_EQ(read_available(p.peer_fd), [] {
        std::string acks;
        for (int i = 0; i < 45; i++)
            acks += expected_ack("JOBSCHED");
        return acks;
    }());
}

TEST_F(DispatchTest, HalfRecordWaitsAndShortLastLineIsZeroFilled)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    std::string rec = record_bytes(make_record("JOBSCHED", "h", "key", "AC"));
    put(p.peer_fd, rec.substr(0, 100));
    EXPECT_EQ(process_client(p.server_fd), 0);     // returns at once, nothing handled
    EXPECT_EQ(last_table_entry, 0);
    put(p.peer_fd, rec.substr(100));
    EXPECT_EQ(process_client(p.server_fd), 0);
    ASSERT_EQ(last_table_entry, 1);

    // A short line after long ones: what it lacks reads as zero bytes, not stale data.
    put(p.peer_fd, std::string(500, 'q') + "\n");
    EXPECT_EQ(process_client(p.server_fd), 0);
    std::string shortrec = record_bytes(make_record("JOBSCHED", "h", "k2", "AC", 'N', "xyz"));
    shortrec.resize(OFF_MSGTEXT + 1);
    put(p.peer_fd, shortrec);
    shutdown(p.peer_fd, SHUT_WR);
    int closed = 0;
    for (int i = 0; i < 3 && closed == 0; i++)
        closed = process_client(p.server_fd);
    EXPECT_EQ(closed, -1);
    ASSERT_EQ(last_table_entry, 2);
    EXPECT_STREQ(memory_table[1].data() + OFF_MSGTEXT, "x");
    EXPECT_EQ(memory_table[1][OFF_ALERT_NEWLINE], '\0');
}

TEST_F(DispatchTest, UnknownDataIsLoggedWithDotsAndLongLinesComeInPieces)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    put(p.peer_fd, std::string("HELLO\tw\x7f\xc3\xa9rld\n", 14));
    EXPECT_EQ(process_client(p.server_fd), 0);
    std::string lg = log();
    EXPECT_NE(lg.find("WARN: Unknown app, ignoring data from Hidden\n, datalen=14\n"),
              std::string::npos) << lg;
    EXPECT_NE(lg.find("Ignored data=HELLO.w...rld.\n"), std::string::npos) << lg;

    // A record of an unknown product shows only its productid field.
    put(p.peer_fd, record_bytes(make_record("SOMEAPP", "h", "k", "AC")));
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_NE(log().find("datalen=14\n"), std::string::npos);
    EXPECT_NE(log().find("Ignored data=SOMEAPP       \n"), std::string::npos);

    // 8192 bytes without a newline are handled as one piece: too long to log.
    std::string big(LINE_MAX_BYTES + 10, 'q');
    big += "\n";
    put(p.peer_fd, big);
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_NE(log().find("datalen=8192\n"), std::string::npos);
    EXPECT_NE(log().find("*ERR: Message of > 512 bytes passed, discarded\n"), std::string::npos);
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_NE(log().find("datalen=11\n"), std::string::npos);
}

TEST_F(DispatchTest, ZeroByteLineKeepsConnectionForOneMoreCall)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    put(p.peer_fd, std::string("\0abc\n", 5));
    shutdown(p.peer_fd, SHUT_WR);
    EXPECT_EQ(process_client(p.server_fd), 0);
    EXPECT_NE(log().find("0 byte data buffer recieved, ignored\n"), std::string::npos);
    EXPECT_EQ(client[p.server_fd].fd, p.server_fd);
    EXPECT_EQ(process_client(p.server_fd), -1);
    EXPECT_EQ(client[p.server_fd].fd, -1);
}

TEST_F(DispatchTest, PeerThatDoesNotReadIsClosedAfterTheDeadline)
{
    sock_pair p;
    int size = 4096;
    setsockopt(p.server_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(p.peer_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ASSERT_EQ(client_open(p.server_fd), 0);
    std::string ask = record_bytes(make_record("JOBSCHED", "h", "k", "LO", 'Y'));
    // Asks for ACKs without reading them until so many wait that the connection is paused.
    int asked = 0;
    for (; asked < 2000 && !client_paused(p.server_fd); asked++) {
        put(p.peer_fd, ask);
        ASSERT_EQ(process_client(p.server_fd), 0);
        test_end_pass();
    }
    ASSERT_TRUE(client_paused(p.server_fd));
    EXPECT_EQ(log().find("WARN"), std::string::npos);
    // Until the oldest reply has waited its deadline (2 s, shortened here) the connection
    // stays; then it is closed, each lost reply reported. The wait in between is short
    // against the deadline, so a busy machine's late wake-up cannot pass it.
    client_reply_deadline_ms = 1500;
    EXPECT_EQ(client[p.server_fd].fd, p.server_fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    long left = client_send_queued(true);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, client_reply_deadline_ms - 100);
    EXPECT_EQ(client[p.server_fd].fd, p.server_fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(left + 20));
    std::string lg = log();
    EXPECT_EQ(client[p.server_fd].fd, -1);
    std::size_t lost = count(lg, "*ERR: Unable to ACK message from host h              \n");
    EXPECT_GT(lost * ALERT_RECORD_SIZE, OUT_PAUSE_BYTES);
    EXPECT_LT(lost, static_cast<std::size_t>(asked));
    EXPECT_NE(lg.find("WARN: Connection from Hidden\n closed, a reply could not be written whole"),
              std::string::npos) << lg;
    // What the peer got are whole ACKs, and none of those reported lost.
    std::string got = read_available(p.peer_fd, 50);
    EXPECT_EQ(got.size() % ALERT_RECORD_SIZE, 0u);
    EXPECT_EQ(got.size() / ALERT_RECORD_SIZE + lost, static_cast<std::size_t>(asked));
}

// True when the connection ends within 200 ms, with no byte before its end.
bool
peer_sees_end(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    char b;
    return poll(&p, 1, 200) == 1 && read(fd, &b, 1) == 0;
}

// Moves the server side of the pair to a descriptor beyond the slot table, as accept returns
// it when every slot is taken, and returns that descriptor.
int
beyond_table(sock_pair &p)
{
    int fd = fcntl(p.server_fd, F_DUPFD_CLOEXEC, MAX_CLIENTS);
    close(p.server_fd);
    p.server_fd = -1;
    return fd;
}

// When every slot is taken, the connection that has sent no whole line for longest gives way
// once that is longer than the idle limit: a trickle of bytes without a newline keeps no slot.
TEST_F(DispatchTest, WhenFullTheConnectionLongestWithoutAWholeLineGivesWay)
{
    client_idle_limit_ms = 400;
    sock_pair trickler, talker;
    ASSERT_EQ(client_open(trickler.server_fd, "192.0.2.1:1"), 0);
    ASSERT_EQ(client_open(talker.server_fd, "192.0.2.2:2"), 0);
    std::string rec = record_bytes(make_record("JOBSCHED", "h", "k", "LO"));
    // One byte every 60 ms; the talker sends a whole line half-way.
    for (int i = 0; i < 8; i++) {
        put(trickler.peer_fd, rec.substr(static_cast<std::size_t>(i), 1));
        ASSERT_EQ(process_client(trickler.server_fd), 0);
        if (i == 6) {
            put(talker.peer_fd, rec);
            ASSERT_EQ(process_client(talker.server_fd), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    ASSERT_EQ(client[trickler.server_fd].in_len, 8u);

    sock_pair first;
    int fd = beyond_table(first);
    ASSERT_GE(fd, MAX_CLIENTS);
    EXPECT_EQ(client_accept(fd, "192.0.2.3:3"), 0);
    std::string lg = log();
    EXPECT_NE(lg.find("WARN: Connection from 192.0.2.1:1 closed, idle while the server is full\n"),
              std::string::npos) << lg;
    // The newcomer took the freed descriptor, and so the slot; the trickler's peer sees the end.
    EXPECT_STREQ(client[trickler.server_fd].peer_address, "192.0.2.3:3");
    EXPECT_TRUE(peer_sees_end(trickler.peer_fd));

    // The talker's line is recent and the newcomer has just come: the next one is refused.
    sock_pair second;
    fd = beyond_table(second);
    EXPECT_EQ(client_accept(fd, "192.0.2.4:4"), -1);
    EXPECT_NE(log().find("WARN: Client connection refused, server alrady has maximum "
                         "connections allowed !\n"), std::string::npos);
    EXPECT_EQ(client[talker.server_fd].fd, talker.server_fd);
    EXPECT_TRUE(peer_sees_end(second.peer_fd));
}

// Pieces of records that carry no message type count against the junk limit like any other
// unrecognised line; a short record with a message type is still handled.
TEST_F(DispatchTest, ShortRecordsWithoutAMessageTypeAreJunk)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd, "192.0.2.9:9"), 0);
    std::string rec = record_bytes(make_record("GENALERT", "h", "k", "LO"));
    put(p.peer_fd, rec.substr(0, OFF_MSGTYPE + LEN_MSGTYPE) + "\n");
    ASSERT_EQ(process_client(p.server_fd), 0);
    EXPECT_NE(log().find(" LO k "), std::string::npos) << log();

    int closed = 0;
    for (int i = 0; i < JUNK_LINE_LIMIT + 5 && closed == 0; i++) {
        put(p.peer_fd, i % 2 == 0 ? "GENALERT\n" : rec.substr(0, OFF_MSGTYPE + 1) + "\n");
        closed = process_client(p.server_fd);
    }
    EXPECT_EQ(closed, -1);
    p.server_fd = -1;   // closed by the server
    std::string lg = log();
    EXPECT_EQ(count(lg, "WARN: Short record without a message type from 192.0.2.9:9, "),
              static_cast<std::size_t>(JUNK_LINE_LIMIT));
    EXPECT_NE(lg.find("datalen=9, ignored\n"), std::string::npos);
    EXPECT_NE(lg.find("WARN: Connection from 192.0.2.9:9 closed, too many empty or "
                      "unrecognised lines\n"), std::string::npos);
    EXPECT_EQ(last_table_entry, 0);
}

// Beyond the lines logged a second in all, the rest are counted; the count is logged once
// that second is over, without waiting for another such line.
TEST_F(DispatchTest, UnloggedJunkIsCountedAndTheCountLoggedWithinASecond)
{
    // Start at the beginning of a second, so that the whole flood falls into it.
    time_t start = time(nullptr);
    while (time(nullptr) == start)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    int sent = 0;
    for (int c = 0; c < JUNK_LOG_PER_SECOND / JUNK_LINE_LIMIT + 2; c++) {
        sock_pair p;
        ASSERT_EQ(client_open(p.server_fd, "192.0.2.5:5"), 0);
        std::string lines;
        for (int i = 0; i < JUNK_LINE_LIMIT; i++)
            lines += "x\n";
        put(p.peer_fd, lines);
        for (int i = 0; i < JUNK_LINE_LIMIT && process_client(p.server_fd) == 0; i++)
            sent++;
        sent++;
        p.server_fd = -1;   // closed by the server after its hundredth line
    }
    int unlogged = sent - JUNK_LOG_PER_SECOND;
    ASSERT_GT(unlogged, 0);
    long due = client_serve_pass();
    EXPECT_GE(due, 0);
    EXPECT_LE(due, 1000);
    EXPECT_EQ(log().find("were not logged"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(due + 10));
    client_serve_pass();
    std::string lg = log();
    EXPECT_EQ(count(lg, "Ignored data=x.\n"), static_cast<std::size_t>(JUNK_LOG_PER_SECOND));
    EXPECT_NE(lg.find("WARN: " + std::to_string(unlogged) + " empty or unrecognised lines were "
                      "not logged, too many in one second\n"), std::string::npos) << unlogged;
    EXPECT_EQ(client_serve_pass(), -1);
}

TEST_F(DispatchTest, RejectedConnectionIsClosedWithItsPeerNamed)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd, "192.0.2.7:4000"), 0);
    ASSERT_EQ(client_reply(p.server_fd, "x", 1), 0);
    client_reject(p.server_fd, "no room for its alert");
    EXPECT_EQ(client[p.server_fd].fd, -1);
    EXPECT_EQ(client_reply(p.server_fd, "y", 1), -1);
    EXPECT_NE(log().find("WARN: Connection from 192.0.2.7:4000 closed, no room for its alert\n"),
              std::string::npos) << log();
    p.server_fd = -1;   // closed by the server
    // What was queued before the rejection still went out; then the connection ended.
    EXPECT_EQ(read_available(p.peer_fd, 50), "x");
}

} // namespace

// Tests of client input dispatch: line reading without blocking, classification, closing.
#include <gtest/gtest.h>

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

std::size_t
count(const std::string &s, const std::string &text)
{
    std::size_t n = 0;
    for (std::size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1))
        n++;
    return n;
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
    // The oldest reply waits 2 s: then the connection is closed, each lost reply reported.
    std::this_thread::sleep_for(std::chrono::milliseconds(REPLY_DEADLINE_MS + 50));
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

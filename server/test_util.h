// Shared set-up for the server's unit tests: a fresh working directory with an open log and
// overflow file, empty tables, and records built field by field.
#ifndef SERVER_TEST_UTIL_H
#define SERVER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <string>

#include "server/server.h"

class server_fixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Everything logged so far (the day's log file), after the end of the pass.
    std::string log() const;
    // Contents of the overflow file.
    std::string overflow_bytes() const;
    std::string dir;

private:
    std::string old_cwd;
};

// A line buffer as dispatch hands it to the handlers: zero-filled, LINE_BUFFER_SIZE bytes.
struct line_buf {
    char b[LINE_BUFFER_SIZE] = {};
    char *data() { return b; }
};

// A record as a sender builds it: fields copied, header space-filled, newline at the end.
line_buf make_record(const std::string &productid, const std::string &hostname,
                     const std::string &key, const std::string &msgtype, char reply_wanted = 'N',
                     const std::string &msgtext = "");

// A connected pair of stream sockets: the server side writes, the test reads the peer side.
struct sock_pair {
    int server_fd = -1;
    int peer_fd = -1;
    sock_pair();
    ~sock_pair();
};

// The bytes of the record at table position i, writable: tests craft stored records that
// no request could make.
inline char *
table_bytes(int i)
{
    return const_cast<char *>(memory_table[i].data());
}

// Ends the pass (log and queued replies written), then reads what arrives on fd within
// timeout_ms (until quiet for that long).
std::string read_available(int fd, int timeout_ms = 100);

#endif // SERVER_TEST_UTIL_H

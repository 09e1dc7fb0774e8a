// tarrow_load: drives a running tarrowd with alert records and reports the rates it reaches.
//
//   tarrow_load PORT [CONNECTIONS [RECORDS_PER_CONNECTION]]
//
// Each connection pipelines its records (reply_wanted 'Y', so every one is answered with an
// ACK) in windows of 32 and reads the ACKs back; keys cycle over 40 per connection so the
// table stays within its 50 slots and nothing spills. Then it times console listings.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/records.h"

static int
connect_local(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        perror("connect");
        exit(2);
    }
    return fd;
}

static bool
write_all(int fd, const std::string &s)
{
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

static bool
read_n(int fd, std::size_t n)
{
    char buf[65536];
    while (n > 0) {
        ssize_t got = read(fd, buf, std::min(n, sizeof buf));
        if (got <= 0)
            return false;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

int
main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: tarrow_load port [connections [records]]\n");
        return 2;
    }
    int port = atoi(argv[1]);
    int conns = argc > 2 ? atoi(argv[2]) : 8;
    int per_conn = argc > 3 ? atoi(argv[3]) : 20000;
    const int window = 32;

    std::vector<int> fds;
    std::vector<std::string> batches;
    for (int c = 0; c < conns; c++) {
        fds.push_back(connect_local(port));
        std::string batch;
        for (int i = 0; i < window; i++)
            batch += sender_record("JOBSCHED", "loadhost" + std::to_string(c),
                                   "K" + std::to_string(i % 40 / (50 / std::max(conns, 1) + 1)),
                                   i % 3 == 0 ? "AW" : "AC", 'Y', "load test record");
        batches.push_back(batch);
    }

    auto start = std::chrono::steady_clock::now();
    long sent = 0;
    for (int round = 0; round < per_conn / window; round++) {
        for (int c = 0; c < conns; c++)
            if (!write_all(fds[c], batches[c]))
                return 1;
        for (int c = 0; c < conns; c++)
            if (!read_n(fds[c], window * ALERT_RECORD_SIZE))
                return 1;
        sent += static_cast<long>(window) * conns;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("alerts: %ld records with ACKs over %d connections in %.2f s: %.0f records/s\n", sent,
           conns, secs, static_cast<double>(sent) / secs);
    for (int fd : fds)
        close(fd);

    // Console listings of the table as it now stands.
    int fd = connect_local(port);
    std::string ask = sender_record("CONSOLE99_127", "", "", "SL", 'Y');
    const int lists = 2000;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < lists; i++) {
        if (!write_all(fd, ask))
            return 1;
        char reply[CONSOLE_REPLY_SIZE];
        for (;;) {   // DF replies until the final DB
            std::size_t got = 0;
            while (got < CONSOLE_REPLY_SIZE) {
                ssize_t n = read(fd, reply + got, CONSOLE_REPLY_SIZE - got);
                if (n <= 0)
                    return 1;
                got += static_cast<std::size_t>(n);
            }
            if (reply[OFF_MSGTYPE] != 'D' || reply[OFF_MSGTYPE + 1] != 'F')
                break;
        }
    }
    secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("console: %d full listings in %.2f s: %.0f listings/s (%.1f us each)\n", lists, secs,
           lists / secs, 1e6 * secs / lists);
    close(fd);
    return 0;
}

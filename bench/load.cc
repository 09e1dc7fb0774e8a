// tarrow_load: drives a server on 127.0.0.1 with one kind of load and prints its rate.
//
//   tarrow_load PORT stream|pipelined|single|connect|listing [COUNT]
//
//   stream     4 connections write COUNT records in all, no replies asked; each ends with one
//              record that asks for an ACK, which arrives once all before it were handled
//   pipelined  4 connections, 32 records in flight on each, every one answered by an ACK
//   single     1 connection, one record in flight
//   connect    a connection per record, 8 in flight
//   listing    full console listings of a table of 50 alerts, one in flight
//   flight N   N records in flight in all, over min(N, 32) connections, each ACKed; prints
//              "records/s R p50_us P p99_us Q" (the time from a record's write to its ACK)
//
// Prints "records/s N" (listing: "us/listing N"). Keys cycle over a few per connection so the
// table keeps within its 50 slots and nothing goes to the overflow file.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/records.h"

static int port;

static int
connect_local()
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
    // Records leave as written, as a sender that waits for each ACK would have them.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

static void
write_all(int fd, const char *p, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0) {
            perror("write");
            exit(2);
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
}

static void
read_n(int fd, char *buf, std::size_t n)
{
    while (n > 0) {
        ssize_t got = read(fd, buf, n);
        if (got <= 0) {
            fprintf(stderr, "read: connection ended early\n");
            exit(2);
        }
        buf += got;
        n -= static_cast<std::size_t>(got);
    }
}

// Records of connection c, cycling over 8 keys.
static std::string
records(int c, int count, char reply_wanted)
{
    std::string out;
    for (int i = 0; i < count; i++)
        out += sender_record("JOBSCHED", "loadhost" + std::to_string(c), "K" + std::to_string(i % 8),
                             i % 3 == 0 ? "AW" : "AC", reply_wanted, "load test record");
    return out;
}

static double
seconds_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

static double
stream(int count)
{
    const int conns = 4;
    int per = count / conns;
    std::vector<int> fds;
    std::vector<std::string> data;
    for (int c = 0; c < conns; c++) {
        fds.push_back(connect_local());
        data.push_back(records(c, per, 'N') + records(c, 1, 'Y'));
    }
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (int c = 0; c < conns; c++)
        writers.emplace_back([&, c] { write_all(fds[c], data[c].data(), data[c].size()); });
    char ack[ALERT_RECORD_SIZE];
    for (int c = 0; c < conns; c++)
        read_n(fds[c], ack, sizeof ack);
    double secs = seconds_since(start);
    for (auto &t : writers)
        t.join();
    for (int fd : fds)
        close(fd);
    return conns * (per + 1) / secs;
}

static double
pipelined(int count)
{
    const int conns = 4, window = 32;
    int per = count / conns;
    std::vector<int> fds;
    std::string batch[conns];
    for (int c = 0; c < conns; c++) {
        fds.push_back(connect_local());
        batch[c] = records(c, window, 'Y');
    }
    std::vector<int> sent(conns, 0), acked(conns, 0);
    std::vector<std::size_t> partial(conns, 0);
    auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < conns; c++) {
        write_all(fds[c], batch[c].data(), batch[c].size());
        sent[c] = window;
    }
    int done = 0;
    static char buf[65536];
    while (done < conns) {
        struct pollfd p[conns];
        for (int c = 0; c < conns; c++)
            p[c] = {acked[c] < per ? fds[c] : -1, POLLIN, 0};
        poll(p, conns, 5000);
        for (int c = 0; c < conns; c++) {
            if (!(p[c].revents & POLLIN))
                continue;
            ssize_t n = read(fds[c], buf, sizeof buf);
            if (n <= 0) {
                fprintf(stderr, "read: connection ended early\n");
                exit(2);
            }
            partial[c] += static_cast<std::size_t>(n);
            int got = static_cast<int>(partial[c] / ALERT_RECORD_SIZE);
            partial[c] %= ALERT_RECORD_SIZE;
            acked[c] += got;
            // As many new records as ACKs came back, keeping the window full.
            int more = std::min(got, per - sent[c]);
            if (more > 0) {
                write_all(fds[c], batch[c].data(), static_cast<std::size_t>(more) * ALERT_RECORD_SIZE);
                sent[c] += more;
            }
            if (acked[c] >= per)
                done++;
        }
    }
    double secs = seconds_since(start);
    for (int fd : fds)
        close(fd);
    return conns * per / secs;
}

static double
single(int count)
{
    int fd = connect_local();
    std::string rec = records(0, 8, 'Y');
    char ack[ALERT_RECORD_SIZE];
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; i++) {
        write_all(fd, rec.data() + (i % 8) * ALERT_RECORD_SIZE, ALERT_RECORD_SIZE);
        read_n(fd, ack, sizeof ack);
    }
    double secs = seconds_since(start);
    close(fd);
    return count / secs;
}

static double
connect_each(int count)
{
    const int in_flight = 8;
    std::atomic<int> next{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int w = 0; w < in_flight; w++)
        workers.emplace_back([&, w] {
            std::string rec = records(w % 4, 8, 'Y');   // 32 alerts in all
            char ack[ALERT_RECORD_SIZE];
            for (int i = next++; i < count; i = next++) {
                int fd = connect_local();
                write_all(fd, rec.data() + (i % 8) * ALERT_RECORD_SIZE, ALERT_RECORD_SIZE);
                read_n(fd, ack, sizeof ack);
                // Closed with a reset: thousands of runs leave no ports in TIME_WAIT.
                struct linger l = {1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
            }
        });
    for (auto &t : workers)
        t.join();
    return count / seconds_since(start);
}

// N records in flight over min(N, 32) connections, one thread each; count in all. Prints the
// rate and the ACK latency's median and 99th percentile.
static void
flight(int n, int count)
{
    int conns = n < 32 ? n : 32;
    int window = n / conns;
    int per = count / conns;
    std::vector<std::vector<double>> lat(static_cast<std::size_t>(conns));
    // Connected one after the other before any record is sent: a burst of connects could
    // overrun the listening socket's backlog while the server waits for its disk.
    std::vector<int> fds;
    for (int c = 0; c < conns; c++)
        fds.push_back(connect_local());
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (int c = 0; c < conns; c++)
        workers.emplace_back([&, c] {
            int fd = fds[static_cast<std::size_t>(c)];
            std::string recs = records(c % 4, 8, 'Y');
            std::vector<std::chrono::steady_clock::time_point> sent_at;
            auto &mine = lat[static_cast<std::size_t>(c)];
            char ack[ALERT_RECORD_SIZE];
            int sent = 0;
            for (int done = 0; done < per; done++) {
                while (sent < per && sent - done < window) {
                    write_all(fd, recs.data() + (sent % 8) * ALERT_RECORD_SIZE,
                              ALERT_RECORD_SIZE);
                    sent_at.push_back(std::chrono::steady_clock::now());
                    sent++;
                }
                read_n(fd, ack, sizeof ack);
                mine.push_back(1e6 * seconds_since(sent_at[static_cast<std::size_t>(done)]));
            }
            close(fd);
        });
    for (auto &t : workers)
        t.join();
    double secs = seconds_since(start);
    std::vector<double> all;
    for (auto &l : lat)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    auto pct = [&](double q) {
        return all.empty() ? 0.0
                           : all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1))];
    };
    printf("records/s %.0f p50_us %.0f p99_us %.0f\n", conns * per / secs, pct(0.5), pct(0.99));
}

// Microseconds per full listing.
static double
listing(int count)
{
    int fd = connect_local();
    std::string fill;
    for (int i = 0; i < 50; i++)
        fill += sender_record("GENALERT", "host" + std::to_string(i % 7), "KEY" + std::to_string(i),
                              i % 2 ? "AC" : "AW", 'N',
                              "a listing line of a realistic length for the board");
    fill += sender_record("GENALERT", "h", "k", "LO", 'Y');
    write_all(fd, fill.data(), fill.size());
    char reply[CONSOLE_REPLY_SIZE];
    read_n(fd, reply, ALERT_RECORD_SIZE);
    std::string ask = sender_record("CONSOLE99_127", "ops", "", "SL", 'Y');
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; i++) {
        write_all(fd, ask.data(), ask.size());
        do
            read_n(fd, reply, CONSOLE_REPLY_SIZE);
        while (msgtype_is(reply, REPLY_LIST_MORE));
    }
    double secs = seconds_since(start);
    close(fd);
    return 1e6 * secs / count;
}

int
main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: tarrow_load port stream|pipelined|single|connect|listing "
                        "[count]\n");
        return 2;
    }
    port = atoi(argv[1]);
    std::string mode = argv[2];
    int count = argc > 3 ? atoi(argv[3]) : 20000;
    if (mode == "stream")
        printf("records/s %.0f\n", stream(count));
    else if (mode == "pipelined")
        printf("records/s %.0f\n", pipelined(count));
    else if (mode == "single")
        printf("records/s %.0f\n", single(count));
    else if (mode == "connect")
        printf("records/s %.0f\n", connect_each(count));
    else if (mode == "listing")
        printf("us/listing %.1f\n", listing(count));
    else if (mode == "flight" && argc > 4)
        flight(atoi(argv[3]), atoi(argv[4]));
    else
        return 2;
    return 0;
}

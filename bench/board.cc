// Load for bench/board.sh: fills a board, churns it with pipelined clears and raises of random
// identities, and pages through whole listings and summaries. A benchmark, not a test.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/fields.h"
#include "common/record.h"

namespace {

int
connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        perror("connect");
        exit(1);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::string
record(const char *productid, const std::string &key, const char *type, char want)
{
    alert_record rec{};
    char *r = rec.data();
    memcpy(r + OFF_PRODUCTID, productid, strlen(productid));
    memcpy(r + OFF_VERSION, "1.0.2", 5);
    memcpy(r + OFF_HOSTNAME, "benchhost", 9);
    memcpy(r + OFF_KEY, key.data(), std::min(key.size(), LEN_KEY));
    r[OFF_MSGTYPE] = type[0];
    r[OFF_MSGTYPE + 1] = type[1];
    r[OFF_REPLY_WANTED] = want;
    set_datestamp(r + OFF_DATETIME);
    r[OFF_PERSISTENT] = 'N';
    memcpy(r + OFF_MSGTEXT, "bench alert text", 16);
    pad_header_fields(r);
    r[OFF_ALERT_NEWLINE] = '\n';
    return std::string(r, ALERT_RECORD_SIZE);
}

void
write_all(int fd, const std::string &s)
{
    std::size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0) {
            perror("write");
            exit(1);
        }
        done += static_cast<std::size_t>(n);
    }
}

void
read_n(int fd, std::size_t n)
{
    static char buf[65536];
    while (n > 0) {
        ssize_t r = read(fd, buf, std::min(n, sizeof buf));
        if (r <= 0) {
            fprintf(stderr, "read: connection lost\n");
            exit(1);
        }
        n -= static_cast<std::size_t>(r);
    }
}

// Reads one console reply; returns it whole.
std::string
read_reply(int fd)
{
    std::string r(CONSOLE_REPLY_SIZE, '\0');
    std::size_t got = 0;
    while (got < r.size()) {
        ssize_t n = read(fd, r.data() + got, r.size() - got);
        if (n <= 0) {
            fprintf(stderr, "read: connection lost\n");
            exit(1);
        }
        got += static_cast<std::size_t>(n);
    }
    return r;
}

// Sends the records with at most window awaiting their ACK.
void
pipelined(int fd, const std::vector<std::string> &records, std::size_t window)
{
    std::size_t sent = 0, acked = 0;
    while (acked < records.size()) {
        std::string batch;
        while (sent < records.size() && sent - acked < window)
            batch += records[sent++];
        if (!batch.empty())
            write_all(fd, batch);
        read_n(fd, ALERT_RECORD_SIZE);
        acked++;
    }
}

std::string
key_of(long i)
{
    return "f" + std::to_string(i);
}

// Pages through the whole board once; returns the rows seen.
long
whole_listing(int fd)
{
    long start = 0, rows = 0;
    for (;;) {
        write_all(fd, record("CONSOLE99_127", std::to_string(start), "SA", 'Y'));
        std::string text;
        for (;;) {
            std::string r = read_reply(fd);
            text.append(r.c_str() + OFF_DATA);
            if (r.compare(OFF_MSGTYPE, 2, "DB") == 0)
                break;
        }
        long total = atol(text.c_str() + 6);
        long n = 0;
        for (char c : text)
            n += c == '^';
        n -= 1;                         // the header
        rows += n;
        start += n;
        if (n == 0 || start >= total)
            return rows;
    }
}

} // namespace

int
main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr,
                "usage: tarrow_board_bench fill|churn|ack|list|summary port count [seconds]\n");
        return 2;
    }
    std::string mode = argv[1];
    int port = atoi(argv[2]);
    long count = atol(argv[3]);
    int fd = connect_to(port);
    if (mode == "fill") {
        std::vector<std::string> recs;
        for (long i = 0; i < count; i++)
            recs.push_back(record("GENALERT", key_of(i), "AW", 'Y'));
        pipelined(fd, recs, 64);
    } else if (mode == "churn") {
        // count alerts f0.. are on the board: each step clears a random one and raises a new
        // random identity in its place, both acknowledged, 32 records in flight.
        double seconds = argc > 4 ? atof(argv[4]) : 2.0;
        std::mt19937_64 rng(12345);
        std::vector<long> open(static_cast<std::size_t>(count));
        for (long i = 0; i < count; i++)
            open[static_cast<std::size_t>(i)] = i;
        long next = count, records = 0;
        auto start = std::chrono::steady_clock::now();
        double took = 0;
        while (took < seconds) {
            std::vector<std::string> recs;
            for (int i = 0; i < 500; i++) {
                std::size_t at = rng() % open.size();
                recs.push_back(record("GENALERT", key_of(open[at]), "AK", 'Y'));
                open[at] = next++;
                recs.push_back(record("GENALERT", key_of(open[at]), "AW", 'Y'));
            }
            pipelined(fd, recs, 32);
            records += static_cast<long>(recs.size());
            took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        printf("rate %.0f\n", static_cast<double>(records) / took);
    } else if (mode == "ack") {
        // Acknowledges alerts f0 to f(count-1), each ACKed, 32 in flight.
        std::vector<std::string> recs;
        for (long i = 0; i < count; i++)
            recs.push_back(record("GENALERT", key_of(i), "KA", 'Y'));
        pipelined(fd, recs, 32);
    } else if (mode == "list") {
        long rows = 0;
        for (long i = 0; i < count; i++)
            rows = whole_listing(fd);
        printf("rows %ld\n", rows);
    } else if (mode == "summary") {
        for (long i = 0; i < count; i++) {
            write_all(fd, record("CONSOLE", "", "SS", 'Y'));
            read_reply(fd);
        }
    }
    close(fd);
    return 0;
}

// tarrowd's input: bytes from three connections (socket pairs taken into client slots), fed
// through the connection handling in-process with the main loop's passes in between.
//
// Input: one byte, the number of alerts already in the table (0 to 50), then chunks. A chunk
// is a control byte (bits 0-1: the connection, mod 3; bit 2: the sender closes its side after
// it; bits 3-7: passes run after it, plus one), two length bytes (little-endian) and the bytes
// sent. So the fuzzer chooses where the stream is cut into reads.
//
// After every pass: at most 50 alerts, no identity twice, no slot left marked for removal, the
// overflow file whole records; every reply a connection receives is 234 bytes (an ACK) or 4184
// (a console reply), ending with its only newline.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "fuzz/server_checks.h"
#include "server/server.h"

static constexpr int CONNS = 3;

struct peer {
    int server_fd = -1;         // the server's end, in a client slot
    int fd = -1;                // the sender's end
    std::string replies;        // received, not yet checked as whole replies
    char tail[5] = {};          // the last bytes sent, to keep "KILLER" out of the stream
};
static peer peers[CONNS];

// One pass of the server's loop, then what each sender received is read and checked.
static void
server_pass()
{
    fuzz_server_pass();
    for (peer &p : peers)
        fuzz_collect_replies(p.fd, p.replies);
    fuzz_check_server_state();
}

// Sends bytes as the sender would, with any "KILLER" (which would stop the server) turned
// into "KILLEX". What the socket does not take now is dropped.
static void
send_bytes(peer &p, const std::uint8_t *data, std::size_t len)
{
    std::string out(reinterpret_cast<const char *>(data), len);
    for (char &ch : out) {
        if (ch == 'R' && memcmp(p.tail, "KILLE", 5) == 0)
            ch = 'X';
        memmove(p.tail, p.tail + 1, 4);
        p.tail[4] = ch;
    }
    send(p.fd, out.data(), out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

static void
prefill(int count)
{
    static const std::string_view types[] = {MSG_CRITICAL, MSG_WARNING, MSG_INFO};
    for (int i = 0; i < count; i++) {
        char rec[ALERT_RECORD_SIZE] = {};
        memcpy(rec + OFF_PRODUCTID, "GENALERT", 8);
        snprintf(rec + OFF_HOSTNAME, LEN_HOSTNAME + 1, "host%d", i % 7);
        snprintf(rec + OFF_KEY, LEN_KEY + 1, "PRE%d", i);
        set_msgtype(rec, types[i % 3]);
        rec[OFF_REPLY_WANTED] = 'N';
        memcpy(rec + OFF_MSGTEXT, "prefilled", 9);
        rec[OFF_ALERT_NEWLINE] = '\n';
        process_alert_message(rec, 0);
    }
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    client_close_all();
    client_table_reset();
    alert_table_reset();
    overflow_close();
    unlink(event_logfile_name);
    FUZZ_CHECK(overflow_open() == 0);
    prefill(data[0] % (MAX_ALERTS + 1));
    for (int i = 0; i < CONNS; i++) {
        peer &p = peers[i];
        p = peer{};
        int sv[2];
        // Non-blocking, as the server's accepted connections are.
        FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) == 0);
        p.server_fd = sv[0];
        p.fd = sv[1];
        char name[32];
        snprintf(name, sizeof name, "fuzz-peer-%d", i);
        FUZZ_CHECK(client_open(p.server_fd, name) == 0);
    }

    std::size_t at = 1;
    while (at + 3 <= size) {
        unsigned control = data[at];
        std::size_t len = data[at + 1] | static_cast<std::size_t>(data[at + 2]) << 8;
        at += 3;
        if (len > size - at)
            len = size - at;
        peer &p = peers[(control & 3) % CONNS];
        send_bytes(p, data + at, len);
        at += len;
        if (control & 4)
            shutdown(p.fd, SHUT_WR);
        for (unsigned k = 0; k <= control >> 3; k++)
            server_pass();
    }
    // Every sender stops; the server handles what is left and closes the connections. Each
    // pass takes a line from each connection, and a line is at least one byte.
    for (peer &p : peers)
        shutdown(p.fd, SHUT_WR);
    for (std::size_t k = 0; k < size + 10 && client_open_count > 0; k++)
        server_pass();
    FUZZ_CHECK(client_open_count == 0);
    for (peer &p : peers) {
        fuzz_collect_replies(p.fd, p.replies);
        FUZZ_CHECK(p.replies.empty());
        close(p.fd);
    }
    return 0;
}

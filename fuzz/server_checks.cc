#include "fuzz/server_checks.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "server/server.h"

void
fuzz_check_server_state()
{
    FUZZ_CHECK(last_table_entry >= 0 && last_table_entry <= MAX_ALERTS);
    for (int i = 0; i < last_table_entry; i++) {
        const char *a = memory_table[i].data();
        FUZZ_CHECK(!msgtype_is(a, MSG_REMOVING));
        FUZZ_CHECK(msgtype_is(a, MSG_CRITICAL) || msgtype_is(a, MSG_WARNING) ||
                   msgtype_is(a, MSG_INFO) || msgtype_is(a, MSG_CLEAR));
        for (int j = 0; j < i; j++) {
            const char *b = memory_table[j].data();
            FUZZ_CHECK(memcmp(a + OFF_HOSTNAME, b + OFF_HOSTNAME, LEN_HOSTNAME) != 0 ||
                       memcmp(a + OFF_KEY, b + OFF_KEY, LEN_KEY) != 0);
        }
    }
    long size = fuzz_file_size(event_logfile_name);
    FUZZ_CHECK(size < 0 || size % static_cast<long>(ALERT_RECORD_SIZE) == 0);
}

void
fuzz_server_pass()
{
    msglog_flush();
    struct pollfd set[MAX_CLIENTS];
    int n = 0;
    for (int i = 0; i < client_open_count; i++) {
        int fd = client_open_fds[i];
        if (!client[fd].eof && !client_paused(fd))
            set[n++] = {fd, POLLIN, 0};
    }
    if (n > 0 && poll(set, static_cast<nfds_t>(n), 0) > 0)
        for (int i = 0; i < n; i++)
            if (set[i].revents & (POLLIN | POLLHUP | POLLERR))
                client[set[i].fd].readable = true;
    client_serve_pass();
    msglog_flush();
}

void
fuzz_collect_replies(int fd, std::string &pending)
{
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
    }
    std::size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::size_t len = nl + 1;
        if (len != ALERT_RECORD_SIZE && len != CONSOLE_REPLY_SIZE) {
            fprintf(stderr, "a reply of %zu bytes:", len);
            for (std::size_t i = 0; i < len; i++)
                fprintf(stderr, pending[i] >= 0x20 && pending[i] < 0x7f ? "%c" : "\\x%02x",
                        static_cast<unsigned char>(pending[i]));
            fprintf(stderr, "\n");
        }
        FUZZ_CHECK(len == ALERT_RECORD_SIZE || len == CONSOLE_REPLY_SIZE);
        const char *r = pending.data();
        if (len == ALERT_RECORD_SIZE)
            FUZZ_CHECK(msgtype_is(r, MSG_REPLY_DONE));
        else
            FUZZ_CHECK(msgtype_is(r, REPLY_LIST_LAST) || msgtype_is(r, REPLY_LIST_MORE) ||
                       msgtype_is(r, REPLY_DETAILS) || msgtype_is(r, REPLY_ERROR) ||
                       msgtype_is(r, MSG_REPLY_DONE));
        pending.erase(0, len);
    }
}

// A console request for the alert of table slot `slot` (-1: none), as tarrowc sends it.
static std::string
console_request(std::string_view cmd, int slot)
{
    char rec[ALERT_RECORD_SIZE] = {};
    memcpy(rec + OFF_PRODUCTID, "CONSOLE99_127", 13);
    if (slot >= 0) {
        memcpy(rec + OFF_HOSTNAME, memory_table[slot].data() + OFF_HOSTNAME, LEN_HOSTNAME);
        memcpy(rec + OFF_KEY, memory_table[slot].data() + OFF_KEY, LEN_KEY);
    }
    // As tarrowc does, a newline in them goes as a space: the request stays one line (and
    // its bytes never start another, such as a shutdown request).
    for (std::size_t i = 0; i < OFF_ALERT_NEWLINE; i++)
        if (rec[i] == '\n')
            rec[i] = ' ';
    set_msgtype(rec, cmd);
    rec[OFF_REPLY_WANTED] = 'Y';
    rec[OFF_ALERT_NEWLINE] = '\n';
    return std::string(rec, sizeof rec);
}

void
fuzz_serve_console()
{
    int sv[2];
    // Non-blocking, as the server's accepted connections are.
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) == 0);
    client_table_reset();
    FUZZ_CHECK(client_open(sv[0], "fuzz-console") == 0);
    std::string requests = console_request(CMD_LIST, -1);
    for (int i = 0; i < last_table_entry; i++) {
        requests += console_request(CMD_DETAILS, i);
        requests += console_request(CMD_DETAILS_ACK, i);
    }
    if (last_table_entry > 0) {
        requests += console_request(CMD_UNACK, 0);
        requests += console_request(CMD_ACKNOWLEDGE, 0);
        requests += console_request(CMD_DELETE, last_table_entry - 1);
        requests += console_request(CMD_LIST, -1);
    }
    FUZZ_CHECK(send(sv[1], requests.data(), requests.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(requests.size()));
    shutdown(sv[1], SHUT_WR);
    std::string replies;
    for (int k = 0; k < 2 * MAX_ALERTS + 20 && client_open_count > 0; k++) {
        fuzz_server_pass();
        fuzz_collect_replies(sv[1], replies);
        fuzz_check_server_state();
    }
    FUZZ_CHECK(client_open_count == 0);
    fuzz_collect_replies(sv[1], replies);
    FUZZ_CHECK(replies.empty());
    close(sv[1]);
}

void
fuzz_saved_table_setup()
{
    fuzz_enter_private_dir();
    signal(SIGPIPE, SIG_IGN);
    keep_table = true;
}

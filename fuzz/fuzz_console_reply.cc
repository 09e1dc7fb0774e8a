// tarrowc's side of the console: any bytes as the server's replies. The first input byte
// chooses the call (one listing exchange, or the whole board with or without every alert's
// details) and the line length; the rest is what the "server" sends before it stops talking.
// Whatever arrives, a call ends with a status, and everything it hands on has the shape the
// console relies on: columns of their widths, known reply types, texts safe for a terminal.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "common/console_client.h"
#include "fuzz/fuzz_util.h"

// True when s is valid UTF-8 with no control character (C0, DEL or C1) in it.
static bool
terminal_safe(const std::string &s, bool ascii_only)
{
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7f)
            return false;
        if (b < 0x80) {
            i++;
            continue;
        }
        if (ascii_only)
            return false;
        std::size_t n = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc2 ? 2 : 0;
        if (n == 0 || b > 0xf4 || i + n > s.size())
            return false;
        std::uint32_t cp = b & (0xff >> (n + 1));
        for (std::size_t k = 1; k < n; k++) {
            auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xc0) != 0x80)
                return false;
            cp = cp << 6 | (c & 0x3f);
        }
        static const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff) ||
            (cp >= 0x80 && cp <= 0x9f))
            return false;
        i += n;
    }
    return true;
}

static void
check_visible(const std::string &s)
{
    FUZZ_CHECK(terminal_safe(console_visible(s, true), false));
    FUZZ_CHECK(terminal_safe(console_visible(s, false), true));
}

static void
check_alert(const console_alert &a)
{
    FUZZ_CHECK(a.datetime.size() == LEN_DATETIME);
    FUZZ_CHECK(a.hostname.size() == LEN_HOSTNAME);
    FUZZ_CHECK(a.key.size() == LEN_KEY);
    FUZZ_CHECK(a.type == MSG_CRITICAL || a.type == MSG_WARNING || a.type == MSG_INFO ||
               a.type == MSG_CLEAR);
    check_visible(a.text);
    check_visible(a.hostname);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    const unsigned mode = data[0];
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    // The server's bytes wait in the socket; then it says no more. What did not fit is cut.
    std::size_t sent = 0;
    while (sent < size - 1) {
        ssize_t n = send(sv[1], data + 1 + sent, size - 1 - sent, MSG_DONTWAIT);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);

    console_conn c;
    c.fd = sv[0];
    if (mode & 1) {
        console_board b = console_fetch_board(c, 2000, (mode & 2) != 0);
        if (b.status != CONSOLE_OK) {
            FUZZ_CHECK(!b.error.empty());
            FUZZ_CHECK(b.alerts.empty());
        }
        check_visible(b.error);
        for (const console_alert &a : b.alerts)
            check_alert(a);
    } else {
        console_result r =
            console_exchange(c, console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST), 2000);
        if (r.status == CONSOLE_OK) {
            FUZZ_CHECK(r.final_type == REPLY_LIST_LAST || r.final_type == REPLY_DETAILS ||
                       r.final_type == REPLY_ERROR || r.final_type == MSG_REPLY_DONE);
            FUZZ_CHECK(r.replies >= 1 && r.replies <= CONSOLE_MAX_REPLIES);
            FUZZ_CHECK(r.text.size() <= static_cast<std::size_t>(r.replies) * MAX_DATA_TEXT);
            FUZZ_CHECK(r.text.find('^') == std::string::npos);
            FUZZ_CHECK(r.text.find('\0') == std::string::npos);
        } else {
            FUZZ_CHECK(!r.error.empty());
        }
        check_visible(r.error);
        int line_length = static_cast<int>(mode >> 2) + 40;
        for (const console_alert &a : console_parse_listing(r.text, line_length))
            check_alert(a);
        console_details d;
        if (console_parse_details(r.text, d)) {
            FUZZ_CHECK(d.hostname.size() == LEN_HOSTNAME);
            FUZZ_CHECK(d.key.size() == LEN_KEY);
            FUZZ_CHECK(d.type.size() == LEN_MSGTYPE);
            FUZZ_CHECK(d.datetime.size() <= LEN_DATETIME);
        }
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}

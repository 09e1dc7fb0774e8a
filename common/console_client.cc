// Console client: builds console requests, talks to tarrowd and gathers its replies.
#include "common/console_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/fields.h"

static long
now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Copies at most len bytes of s into the field, a newline becoming a space, then makes it a
// space-filled text field of width len.
static void
put_field(char *rec, std::size_t off, std::size_t len, std::string_view s)
{
    std::size_t n = std::min(len, s.size());
    for (std::size_t i = 0; i < n; i++)
        rec[off + i] = s[i] == '\n' ? ' ' : s[i];
    space_fill_string(rec + off, static_cast<int>(len));
}

alert_record
console_build_request(std::string_view productid, std::string_view hostname,
                      std::string_view key, std::string_view msgtype, char reply_wanted)
{
    alert_record rec{};
    char *r = rec.data();
    put_field(r, OFF_PRODUCTID, LEN_PRODUCTID, productid);
    put_field(r, OFF_VERSION, LEN_VERSION, application_version);
    put_field(r, OFF_HOSTNAME, LEN_HOSTNAME, hostname);
    put_field(r, OFF_KEY, LEN_KEY, key);
    put_field(r, OFF_AUX_NUMBER, LEN_AUX_NUMBER, "0");
    r[OFF_MSGTYPE] = msgtype.size() > 0 ? msgtype[0] : ' ';
    r[OFF_MSGTYPE + 1] = msgtype.size() > 1 ? msgtype[1] : ' ';
    r[OFF_REPLY_WANTED] = reply_wanted;
    set_datestamp(r + OFF_DATETIME);
    r[OFF_PERSISTENT] = 'N';
    number_to_string_with_null(r + OFF_MSGTEXT_LENGTH, 0, LEN_MSGTEXT_LENGTH + 1);
    r[OFF_ALERT_NEWLINE] = '\n';
    return rec;
}

int
console_connect(console_conn &c, const std::string &address, int port, int timeout_ms,
                std::string &error)
{
    console_close(c);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        error = "invalid address '" + address + "': expected a dotted IPv4 address";
        return CONSOLE_BAD_ADDRESS;
    }
    if (port < 1 || port > 65535) {
        error = "invalid port " + std::to_string(port) + ": expected 1 to 65535";
        return CONSOLE_BAD_ADDRESS;
    }
    sa.sin_port = htons(static_cast<uint16_t>(port));
    std::string where = address + " port " + std::to_string(port);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create a socket: ") + strerror(errno);
        return CONSOLE_NO_CONNECT;
    }
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int saved_errno = errno;
        if (saved_errno != EINPROGRESS) {
            close(fd);
            error = "cannot connect to " + where + ": " + strerror(saved_errno);
            return CONSOLE_NO_CONNECT;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        int r;
        do
            r = poll(&p, 1, timeout_ms);
        while (r < 0 && errno == EINTR);
        if (r <= 0) {
            close(fd);
            error = "cannot connect to " + where + ": timed out";
            return CONSOLE_NO_CONNECT;
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) {
            close(fd);
            error = "cannot connect to " + where + ": " + strerror(so_error ? so_error : errno);
            return CONSOLE_NO_CONNECT;
        }
    }
    c.fd = fd;
    return CONSOLE_OK;
}

void
console_close(console_conn &c)
{
    if (c.fd >= 0)
        close(c.fd);
    c.fd = -1;
}

// Waits for the descriptor until the deadline. Returns 1 ready, 0 timed out, -1 error.
static int
wait_for(int fd, short events, long deadline)
{
    for (;;) {
        long left = deadline - now_ms();
        if (left <= 0)
            return 0;
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0)
            return 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

static console_result
fail(int status, std::string error)
{
    console_result r;
    r.status = status;
    r.error = std::move(error);
    return r;
}

// Writes the whole buffer before the deadline. Returns CONSOLE_OK or an error status.
static int
send_whole(int fd, const char *buf, std::size_t len, long deadline, std::string &error)
{
    std::size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, buf + done, len - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd, POLLOUT, deadline) == 1)
                continue;
            error = "cannot send the request: timed out";
            return CONSOLE_SEND_FAILED;
        }
        error = std::string("cannot send the request: ") + strerror(errno);
        return CONSOLE_SEND_FAILED;
    }
    return CONSOLE_OK;
}

// Reads exactly len bytes before the deadline. Returns CONSOLE_OK or an error status.
static int
read_whole(int fd, char *buf, std::size_t len, long deadline, std::string &error)
{
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            error = got == 0 ? "the server closed the connection"
                             : "the server closed the connection in the middle of a reply";
            return CONSOLE_LOST;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = wait_for(fd, POLLIN, deadline);
            if (w == 1)
                continue;
            if (w == 0) {
                error = "no reply from the server in time";
                return CONSOLE_TIMEOUT;
            }
        }
        error = std::string("cannot read the reply: ") + strerror(errno);
        return CONSOLE_LOST;
    }
    return CONSOLE_OK;
}

console_result
console_exchange(console_conn &c, const alert_record &request, int timeout_ms)
{
    if (c.fd < 0)
        return fail(CONSOLE_NO_CONNECT, "not connected");
    std::string error;
    long deadline = now_ms() + timeout_ms;
    int st = send_whole(c.fd, request.data(), request.size(), deadline, error);
    if (st != CONSOLE_OK)
        return fail(st, error);

    console_result res;
    if (request[OFF_REPLY_WANTED] != 'Y')
        return res;
    console_reply buf;
    for (;;) {
        st = read_whole(c.fd, buf.data(), buf.size(), now_ms() + timeout_ms, error);
        if (st != CONSOLE_OK)
            return fail(st, error);
        if (buf[OFF_REPLY_NEWLINE] != '\n')
            return fail(CONSOLE_BAD_REPLY, "the server sent a reply that is not a console reply");
        res.replies++;
        std::string text(buf.data() + OFF_DATA, strnlen(buf.data() + OFF_DATA, MAX_DATA_TEXT));
        translate_hat_to_nl(text.data(), static_cast<int>(text.size()));
        res.text += text;
        std::string type(buf.data() + OFF_MSGTYPE, LEN_MSGTYPE);
        if (type == REPLY_LIST_MORE)
            continue;
        if (type == REPLY_LIST_LAST || type == REPLY_DETAILS || type == REPLY_ERROR ||
            type == MSG_REPLY_DONE) {
            res.final_type = type;
            return res;
        }
        return fail(CONSOLE_BAD_REPLY, "the server sent an unknown reply type '" + type + "'");
    }
}

console_result
console_call(const std::string &address, int port, const alert_record &request, int timeout_ms)
{
    console_conn c;
    std::string error;
    int st = console_connect(c, address, port, timeout_ms, error);
    if (st != CONSOLE_OK)
        return fail(st, error);
    console_result r = console_exchange(c, request, timeout_ms);
    console_close(c);
    return r;
}

// Columns of a listing line: datetime, hostname, key, msgtype and text, one blank apart.
inline constexpr std::size_t COL_HOST = LEN_DATETIME + 1;
inline constexpr std::size_t COL_KEY = COL_HOST + LEN_HOSTNAME + 1;
inline constexpr std::size_t COL_TYPE = COL_KEY + LEN_KEY + 1;
inline constexpr std::size_t COL_TEXT = COL_TYPE + LEN_MSGTYPE + 1;

std::vector<console_alert>
console_parse_listing(const std::string &text, int line_length)
{
    std::vector<console_alert> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(at, end - at);
        std::size_t whole = end - at + (nl == std::string::npos ? 0 : 1);
        at = end + 1;
        if (line.size() < COL_TYPE)
            continue;   // too short to name an alert (a very narrow console)
        console_alert a;
        a.datetime = line.substr(0, LEN_DATETIME);
        a.hostname = line.substr(COL_HOST, LEN_HOSTNAME);
        a.key = line.substr(COL_KEY, LEN_KEY);
        a.type = line.substr(COL_TYPE, std::min<std::size_t>(LEN_MSGTYPE, line.size() - COL_TYPE));
        a.text = line.size() > COL_TEXT ? line.substr(COL_TEXT) : "";
        a.cut = static_cast<int>(whole) >= line_length;
        if (a.hostname == std::string(LEN_HOSTNAME, '-') && a.key == std::string(LEN_KEY, '-') &&
            a.text == "NO ALERTS AT PRESENT")
            continue;
        out.push_back(a);
    }
    return out;
}

std::string
console_details_msgtext(const std::string &details)
{
    const std::string start = "\nMSGTEXT: ", stop = "\nOPTIONAL DATA: ";
    std::size_t a = details.find(start);
    if (a == std::string::npos)
        return "";
    a += start.size();
    std::size_t b = details.rfind(stop);
    if (b == std::string::npos || b < a)
        b = details.find('\n', a);
    return details.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

std::string
console_trim(std::string_view s)
{
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ')
        n--;
    return std::string(s.substr(0, n));
}

// Console client, the wire: request records, connecting, sending a request and reading its
// replies within one deadline.
#include "common/console_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/console_internal.h"
#include "common/fields.h"

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

static int connect_one(console_conn &c, const struct addrinfo *ai, int timeout_ms,
                       const std::string &where, std::string &error);

alert_record
console_build_ack_request(std::string_view hostname, std::string_view key,
                          std::string_view msgtype, std::string_view who, std::string_view note,
                          long long until)
{
    alert_record rec = console_build_request(CONSOLE_LIST_ALL, hostname, key, msgtype);
    char *r = rec.data();
    std::string digits = until > 0 ? std::to_string(until) : "";
    memset(r + OFF_ACK_UNTIL, ' ', LEN_ACK_UNTIL);
    memcpy(r + OFF_ACK_UNTIL, digits.data(), std::min(digits.size(), LEN_ACK_UNTIL));
    auto copy = [](char *to, std::string_view s, std::size_t max) {
        std::size_t n = std::min(max, s.size());
        for (std::size_t i = 0; i < n; i++)
            to[i] = s[i] == '\n' || s[i] == '\0' ? ' ' : s[i];
        return n;
    };
    copy(r + OFF_ACK_WHO, who, LEN_ACK_WHO);
    std::size_t head = copy(r + OFF_MSGTEXT, note, LEN_MSGTEXT);
    number_to_string_with_null(r + OFF_MSGTEXT_LENGTH, static_cast<int>(head),
                               LEN_MSGTEXT_LENGTH + 1);
    if (note.size() > LEN_MSGTEXT)
        copy(r + OFF_OPTIONAL_DATA, note.substr(LEN_MSGTEXT), LEN_ACK_NOTE_TAIL);
    return rec;
}

int
console_connect(console_conn &c, const std::string &address, int port, int timeout_ms,
                std::string &error)
{
    console_close(c);
    if (!text_address(address)) {
        error = "invalid address '" + address + "': expected a host name, a dotted IPv4 or "
                "an IPv6 address";
        return CONSOLE_BAD_ADDRESS;
    }
    if (port < 1 || port > 65535) {
        error = "invalid port " + std::to_string(port) + ": expected 1 to 65535";
        return CONSOLE_BAD_ADDRESS;
    }
    std::string where = address + " port " + std::to_string(port);
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *list = nullptr;
    std::string service = std::to_string(port);
    int gai = getaddrinfo(address.c_str(), service.c_str(), &hints, &list);
    if (gai != 0 || list == nullptr) {
        error = "cannot find " + address + ": " + gai_strerror(gai);
        return CONSOLE_NO_CONNECT;
    }
    long deadline = monotonic_ms() + timeout_ms;
    int st = CONSOLE_NO_CONNECT;
    for (struct addrinfo *ai = list; ai != nullptr && st != CONSOLE_OK; ai = ai->ai_next) {
        long left = deadline - monotonic_ms();
        st = connect_one(c, ai, static_cast<int>(left > 0 ? left : 0), where, error);
    }
    freeaddrinfo(list);
    return st;
}

// Connects to one address of a name within timeout_ms.
static int
connect_one(console_conn &c, const struct addrinfo *ai, int timeout_ms, const std::string &where,
            std::string &error)
{
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("cannot create a socket: ") + strerror(errno);
        return CONSOLE_NO_CONNECT;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
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
    c.plain_details = false;
}

// Waits for the descriptor until the deadline. Returns 1 ready, 0 timed out, -1 error.
static int
wait_for(int fd, short events, long deadline)
{
    for (;;) {
        long left = deadline - monotonic_ms();
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

// Reads one reply of len bytes before the deadline. A newline before the last byte means
// the peer sent a record of another length: that is reported at once, without waiting for
// bytes that may never come. Returns CONSOLE_OK or an error status.
static int
read_reply(int fd, char *buf, std::size_t len, long deadline, std::string &error)
{
    std::size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, buf + got, len - got);
        if (n > 0) {
            const void *nl = memchr(buf + got, '\n', static_cast<std::size_t>(n));
            got += static_cast<std::size_t>(n);
            if (nl != nullptr && static_cast<const char *>(nl) != buf + len - 1) {
                std::size_t size = static_cast<std::size_t>(static_cast<const char *>(nl) - buf) + 1;
                error = "the server sent a reply of " + std::to_string(size) + " bytes, not " +
                        std::to_string(len);
                return CONSOLE_BAD_REPLY;
            }
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

// True when data_length holds four digits that count the text in the data area.
static bool
data_length_matches(const console_reply &buf, std::size_t text_len)
{
    std::size_t v = 0;
    for (std::size_t i = 0; i < LEN_DATA_LENGTH; i++) {
        char ch = buf[OFF_DATA_LENGTH + i];
        if (ch < '0' || ch > '9')
            return false;
        v = v * 10 + static_cast<std::size_t>(ch - '0');
    }
    return v == text_len;
}

console_result
console_exchange_until(console_conn &c, const alert_record &request, long deadline)
{
    if (c.fd < 0)
        return fail(CONSOLE_NO_CONNECT, "not connected");
    std::string error;
    int st = send_whole(c.fd, request.data(), request.size(), deadline, error);
    if (st != CONSOLE_OK)
        return fail(st, error);

    console_result res;
    if (request[OFF_REPLY_WANTED] != 'Y')
        return res;
    console_reply buf;
    for (;;) {
        st = read_reply(c.fd, buf.data(), buf.size(), deadline, error);
        if (st != CONSOLE_OK)
            return fail(st, error);
        if (buf[OFF_REPLY_NEWLINE] != '\n')
            return fail(CONSOLE_BAD_REPLY, "the server sent a reply that is not a console reply");
        res.replies++;
        std::size_t len = strnlen(buf.data() + OFF_DATA, MAX_DATA_TEXT);
        if (!data_length_matches(buf, len))
            return fail(CONSOLE_BAD_REPLY, "the server sent a reply whose length field does "
                                           "not match its data");
        std::string text(buf.data() + OFF_DATA, len);
        translate_hat_to_nl(text.data(), static_cast<int>(text.size()));
        res.text += text;
        std::string type(buf.data() + OFF_MSGTYPE, LEN_MSGTYPE);
        if (type == REPLY_LIST_MORE) {
            if (res.replies >= CONSOLE_MAX_REPLIES)
                return fail(CONSOLE_BAD_REPLY, "the server sent more than " +
                                                   std::to_string(CONSOLE_MAX_REPLIES) +
                                                   " replies to one request");
            continue;
        }
        if (type == REPLY_LIST_LAST || type == REPLY_DETAILS || type == REPLY_ERROR ||
            type == MSG_REPLY_DONE) {
            res.final_type = type;
            return res;
        }
        return fail(CONSOLE_BAD_REPLY,
                    "the server sent an unknown reply type '" + console_visible(type, false) + "'");
    }
}

console_result
console_exchange(console_conn &c, const alert_record &request, int timeout_ms)
{
    return console_exchange_until(c, request, monotonic_ms() + timeout_ms);
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

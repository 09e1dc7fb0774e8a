// Console client: builds console requests, talks to tarrowd and gathers its replies.
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
#include <map>
#include <set>

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

std::string
console_ack_state(const console_ack &ack)
{
    const char *word = ack.severity == MSG_CLEAR ? nullptr : alert_state_word(ack.severity);
    return word != nullptr ? std::string("acknowledged ") + word : "acknowledged";
}

std::string
console_local_time(long long t, char sep)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[32];
    if (localtime_r(&tt, &tm) == nullptr)
        return "?";
    char fmt[] = "%Y-%m-%d %H:%M:%S";
    fmt[8] = sep;
    strftime(buf, sizeof buf, fmt, &tm);
    return buf;
}

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

// console_exchange with an absolute deadline for the request and all its replies.
static console_result
exchange_until(console_conn &c, const alert_record &request, long deadline)
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
    return exchange_until(c, request, monotonic_ms() + timeout_ms);
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

// True when the line has the columns of a listing line: blanks between the columns and a
// state code that the table holds.
static bool
listing_shape(const std::string &line)
{
    if (line.size() < COL_TYPE + LEN_MSGTYPE)
        return false;
    if (line[COL_HOST - 1] != ' ' || line[COL_KEY - 1] != ' ' || line[COL_TYPE - 1] != ' ')
        return false;
    std::string_view type(line.data() + COL_TYPE, LEN_MSGTYPE);
    if (type != MSG_CRITICAL && type != MSG_WARNING && type != MSG_INFO && type != MSG_CLEAR)
        return false;
    return line.size() == COL_TYPE + LEN_MSGTYPE || line[COL_TEXT - 1] == ' ';
}

std::vector<console_alert>
console_parse_listing(const std::string &text, int line_length)
{
    std::vector<console_alert> out;
    std::size_t whole = 0;   // length of the last alert's line as sent, '^'s and newline in
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        std::size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(at, end - at);
        std::size_t sent = end - at + (nl == std::string::npos ? 0 : 1);
        at = end + 1;
        if (!listing_shape(line)) {
            if (out.empty())
                continue;   // nothing to continue: not part of an alert
            console_alert &prev = out.back();
            prev.text += '^';
            prev.text += line;
            whole += sent;
            prev.cut = static_cast<int>(whole) >= line_length;
            continue;
        }
        console_alert a;
        a.datetime = line.substr(0, LEN_DATETIME);
        a.hostname = line.substr(COL_HOST, LEN_HOSTNAME);
        a.key = line.substr(COL_KEY, LEN_KEY);
        a.type = line.substr(COL_TYPE, LEN_MSGTYPE);
        a.text = line.size() > COL_TEXT ? line.substr(COL_TEXT) : "";
        whole = sent;
        a.cut = static_cast<int>(whole) >= line_length;
        out.push_back(a);
    }
    // The server sends this line only for an empty table, so only as the listing's one line.
    if (out.size() == 1 && out[0].hostname == std::string(LEN_HOSTNAME, '-') &&
        out[0].key == std::string(LEN_KEY, '-') && out[0].text == "NO ALERTS AT PRESENT")
        out.clear();
    return out;
}

static std::string unescape(std::string_view s);
static int hex_value(char c);

// The text with each newline back to the '^' it was sent as (a server that does not escape
// its details), then its %XX escapes turned back into bytes.
static std::string
field_back(std::string s)
{
    for (char &ch : s)
        if (ch == '\n')
            ch = '^';
    return unescape(s);
}

// The number in "... (N)" at the end of a line, or -1.
static long long
stamp_seconds(const std::string &line)
{
    std::size_t open = line.rfind(" (");
    if (open == std::string::npos || line.back() != ')')
        return -1;
    std::string n = line.substr(open + 2, line.size() - open - 3);
    if (n.empty() || n.size() > 18 || n.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(n);
}

// The ack lines after the details: "ACK BY: ", "ACK AT: ", "ACK SEVERITY: ", "ACK UNTIL: "
// and "ACK NOTE: ", the note last and running to the end. False when they are not such.
static bool
parse_ack_lines(const std::string &s, console_ack &ack)
{
    static const char *const LABELS[] = {"ACK BY: ", "ACK AT: ", "ACK SEVERITY: ",
                                         "ACK UNTIL: ", "ACK NOTE: "};
    std::string value[5];
    std::size_t p = 0;
    for (int i = 0; i < 5; i++) {
        std::size_t len = strlen(LABELS[i]);
        if (s.compare(p, len, LABELS[i]) != 0)
            return false;
        p += len;
        std::size_t nl = i < 4 ? s.find('\n', p) : s.size() - 1;
        if (nl == std::string::npos || nl < p || s.back() != '\n')
            return false;
        value[i] = s.substr(p, nl - p);
        p = nl + 1;
    }
    ack.by = field_back(value[0]);
    ack.since = stamp_seconds(value[1]);
    ack.severity = field_back(value[2]);
    ack.until = value[3] == "never" ? 0 : stamp_seconds(value[3]);
    ack.note = field_back(value[4]);
    ack.present = ack.since >= 0 && ack.until >= 0;
    return ack.present;
}

bool
console_parse_details(const std::string &text, console_details &out)
{
    // The ack lines, when there are any, follow the optional data.
    static const std::string ACK = "\nACK BY: ";
    std::size_t ack_at = text.find(ACK, text.find("\nOPTIONAL DATA: "));
    console_ack ack;
    if (ack_at != std::string::npos && !parse_ack_lines(text.substr(ack_at + 1), ack))
        return false;
    const std::string details = ack_at == std::string::npos ? text : text.substr(0, ack_at + 1);
    // "HOST: " host "   DATETIME: " datetime "\nKEY: " key "\nMSGTYPE " type
    // "     PERSISTENT " flag "\nMSGTEXT: " text "\nOPTIONAL DATA: " data "\n"
    static const std::string HOST = "HOST: ", DATE = "   DATETIME: ", KEY = "\nKEY: ",
                             TYPE = "\nMSGTYPE ", PERS = "     PERSISTENT ",
                             TEXT = "\nMSGTEXT: ", OPT = "\nOPTIONAL DATA: ";
    std::size_t p = 0;
    auto expect = [&](const std::string &word) {
        if (details.compare(p, word.size(), word) != 0)
            return false;
        p += word.size();
        return true;
    };
    // A field of a known width: as many characters as make n bytes once each %XX is one.
    auto take = [&](std::size_t n, std::string &field) {
        field.clear();
        while (field.size() < n && p < details.size()) {
            int hi = 0, lo = 0;
            if (details[p] == '%' && p + 2 < details.size() &&
                (hi = hex_value(details[p + 1])) >= 0 && (lo = hex_value(details[p + 2])) >= 0) {
                field += static_cast<char>(hi * 16 + lo);
                p += 3;
            } else {
                field += details[p] == '\n' ? '^' : details[p];
                p++;
            }
        }
        return field.size() == n;
    };
    console_details d;
    if (!expect(HOST) || !take(LEN_HOSTNAME, d.hostname) || !expect(DATE))
        return false;
    std::size_t key_at = details.find(KEY, p);
    if (key_at == std::string::npos || key_at - p > 3 * LEN_DATETIME)
        return false;
    d.datetime = field_back(details.substr(p, key_at - p));
    p = key_at;
    std::string flag;
    if (!expect(KEY) || !take(LEN_KEY, d.key) || !expect(TYPE) || !take(LEN_MSGTYPE, d.type) ||
        !expect(PERS) || !take(1, flag) || !expect(TEXT))
        return false;
    d.persistent = flag[0];
    std::size_t opt_at = details.rfind(OPT);
    if (opt_at == std::string::npos || opt_at < p || details.back() != '\n')
        return false;
    d.text = field_back(details.substr(p, opt_at - p));
    p = opt_at + OPT.size();
    d.optional_data = field_back(details.substr(p, details.size() - 1 - p));
    d.ack = ack;
    out = d;
    return true;
}

int
console_fetch_details(console_conn &c, std::string_view host, std::string_view key,
                      int timeout_ms, console_details &out, std::string &error)
{
    long deadline = monotonic_ms() + timeout_ms;
    std::string_view command = c.plain_details ? CMD_DETAILS : CMD_DETAILS_ACK;
    console_result r =
        console_exchange(c, console_build_request(CONSOLE_LIST_ALL, host, key, command),
                         timeout_ms);
    // A server that knows no ack data: the plain details, on this connection from now on.
    if (r.status == CONSOLE_OK && r.final_type == REPLY_ERROR && !c.plain_details &&
        r.text.rfind("Server does not recognise command", 0) == 0) {
        c.plain_details = true;
        r = console_exchange(c, console_build_request(CONSOLE_LIST_ALL, host, key, CMD_DETAILS),
                             static_cast<int>(std::max(deadline - monotonic_ms(), 1L)));
    }
    if (r.status != CONSOLE_OK) {
        error = r.error;
        return r.status;
    }
    if (r.final_type == REPLY_ERROR) {
        error = "no such alert";
        return CONSOLE_REFUSED;
    }
    if (r.final_type != REPLY_DETAILS || !console_parse_details(r.text, out)) {
        error = "the server answered a look-up with something that is not an alert's details";
        return CONSOLE_BAD_REPLY;
    }
    return CONSOLE_OK;
}

// The board from a server without the board requests: "SL", then details where needed.
static console_board
fetch_listing(console_conn &c, long deadline, bool all_details)
{
    console_board b;
    console_result r =
        exchange_until(c, console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST), deadline);
    if (r.status != CONSOLE_OK) {
        b.status = r.status;
        b.error = r.error;
        return b;
    }
    if (r.final_type == REPLY_ERROR) {
        b.status = CONSOLE_REFUSED;
        // The first line of the error text, within reason.
        std::string why = r.text.substr(0, std::min(r.text.find('\n'), std::size_t{200}));
        b.error = "the server refused the listing: " + console_visible(why, false);
        return b;
    }
    if (r.final_type != REPLY_LIST_LAST) {
        b.status = CONSOLE_BAD_REPLY;
        b.error = "the server answered the listing with a reply of type '" + r.final_type + "'";
        return b;
    }
    b.alerts = console_parse_listing(r.text, 127);
    for (auto &a : b.alerts) {
        if (!a.cut && !all_details && a.type != MSG_CLEAR)
            continue;
        long left = deadline - monotonic_ms();
        console_details d;
        std::string error;
        int st = left <= 0 ? static_cast<int>(CONSOLE_TIMEOUT)
                           : console_fetch_details(c, a.hostname, a.key, static_cast<int>(left),
                                                   d, error);
        if (st == CONSOLE_REFUSED)
            continue;   // deleted since the listing: keep what it showed
        if (st != CONSOLE_OK) {
            b.status = st;
            b.error = left <= 0 ? "no reply from the server in time" : error;
            b.alerts.clear();
            return b;
        }
        a.text = d.text;
        a.cut = false;
        a.persistent = d.persistent;
        a.optional_data = d.optional_data;
        a.ack = d.ack;
    }
    return b;
}

static int
hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A field of a board row with its %XX escapes turned back into bytes.
static std::string
unescape(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); i++) {
        int hi = 0, lo = 0;
        if (s[i] == '%' && i + 2 < s.size() && (hi = hex_value(s[i + 1])) >= 0 &&
            (lo = hex_value(s[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Reads a whole decimal number; false for anything else.
static bool
read_long(std::string_view s, long &out)
{
    if (s.empty() || s.size() > 12 || s.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    out = std::stol(std::string(s));
    return true;
}

static std::vector<std::string_view>
split_tabs(std::string_view line)
{
    std::vector<std::string_view> f;
    std::size_t at = 0;
    for (;;) {
        std::size_t tab = line.find('\t', at);
        f.push_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos
                                                                   : tab - at));
        if (tab == std::string_view::npos)
            return f;
        at = tab + 1;
    }
}

// People's words for a pending action as the server names it ("acknowledge alice").
static std::string
pending_text(std::string_view action, std::string_view who)
{
    std::string verb = action == "acknowledge" ? "ack" : action == "unacknowledge" ? "unack"
                                                                                 : "delete";
    return who.empty() ? verb + " pending" : verb + " pending by " + std::string(who);
}

// The fields after the eighth: first seen, last change, who acknowledged, the severity
// before, since, until, the note, the pending action. False when they are not such.
static bool
parse_row_extra(const std::vector<std::string_view> &f, console_alert &a)
{
    long first = 0, last = 0, since = 0, until = 0;
    if (!read_long(f[8], first) || !read_long(f[9], last) || !read_long(f[12], since) ||
        !read_long(f[13], until))
        return false;
    a.first_seen = first;
    a.last_change = last;
    a.ack.by = unescape(f[10]);
    a.ack.severity = unescape(f[11]);
    a.ack.since = since;
    a.ack.until = until;
    a.ack.note = unescape(f[14]);
    a.ack.present = a.type == MSG_CLEAR && !a.ack.by.empty();
    std::string pending = unescape(f[15]);
    if (!pending.empty()) {
        std::size_t sp = pending.find(' ');
        a.pending = pending_text(pending.substr(0, sp),
                                 sp == std::string::npos ? "" : pending.substr(sp + 1));
    }
    return true;
}

bool
console_parse_page(const std::string &text, std::string_view label, console_page &out)
{
    out = console_page{};
    std::string_view t(text);
    std::size_t nl = t.find('\n');
    if (nl == std::string_view::npos)
        return false;
    std::vector<std::string_view> h = split_tabs(t.substr(0, nl));
    if (h.size() != 3 || h[0] != label || !read_long(h[1], out.total) ||
        !read_long(h[2], out.first))
        return false;
    for (std::size_t at = nl + 1; at < t.size();) {
        std::size_t end = t.find('\n', at);
        if (end == std::string_view::npos)
            return false;      // every row ends with its line end
        std::vector<std::string_view> f = split_tabs(t.substr(at, end - at));
        long pos = 0;
        if (!read_long(f[0], pos))
            return false;
        at = end + 1;
        // Eight fields from a server before times and acks were listed, sixteen since. A row
        // of another shape is left out, and the rest of the board kept.
        console_alert a;
        if (f.size() != 8 && f.size() != 16) {
            out.skipped++;
            out.last_position = pos;
            continue;
        }
        a.datetime = unescape(f[1]);
        a.hostname = unescape(f[2]);
        a.key = unescape(f[3]);
        a.type = unescape(f[4]);
        std::string persistent = unescape(f[5]);
        a.persistent = persistent.size() == 1 ? persistent[0] : '\0';
        a.text = unescape(f[6]);
        a.optional_data = unescape(f[7]);
        if (f.size() == 16 && !parse_row_extra(f, a)) {
            out.skipped++;
            out.last_position = pos;
            continue;
        }
        out.extended = f.size() == 16;
        out.positions.push_back(pos);
        out.last_position = pos;
        out.alerts.push_back(std::move(a));
    }
    return true;
}

// Pages through "SA" or "SQ" from position 0 on, into rows. Returns CONSOLE_OK, or a
// console_status with error set; CONSOLE_REFUSED when the server does not know the request.
static int
fetch_pages(console_conn &c, std::string_view cmd, std::string_view label, long deadline,
            std::vector<console_alert> &rows, long &total, std::string &error,
            bool *extended = nullptr, int *skipped_rows = nullptr)
{
    long start = 0;
    int skipped = 0;
    // Each answer carries one row at least while rows remain; the bound only guards against
    // a server that keeps answering without progress.
    for (int pages = 0; pages < 100000; pages++) {
        console_result r = exchange_until(
            c, console_build_request(CONSOLE_LIST_ALL, "", std::to_string(start), cmd), deadline);
        if (r.status != CONSOLE_OK) {
            error = r.error;
            return r.status;
        }
        if (r.final_type == REPLY_ERROR) {
            error = "the server does not know the request";
            return CONSOLE_REFUSED;
        }
        if (r.final_type != REPLY_LIST_LAST) {
            error = "the server answered the listing with a reply of type '" +
                    console_visible(r.final_type, false) + "'";
            return CONSOLE_BAD_REPLY;
        }
        console_page p;
        if (!console_parse_page(r.text, label, p)) {
            error = "the server answered the listing with a reply that is not one";
            return CONSOLE_BAD_REPLY;
        }
        total = p.total;
        if (extended != nullptr && !p.alerts.empty())
            *extended = p.extended;
        for (auto &a : p.alerts)
            rows.push_back(std::move(a));
        skipped += p.skipped;
        if (skipped_rows != nullptr)
            *skipped_rows = skipped;
        if (p.last_position < 0)
            return CONSOLE_OK;
        // Board rows are numbered from 0; waiting records by their place in the file, the
        // first unread one in the header.
        start = p.last_position + 1;
        if (start >= (label == BOARD_HEADER ? p.total : p.first + p.total))
            return CONSOLE_OK;
    }
    error = "the server's listing does not end";
    return CONSOLE_BAD_REPLY;
}

static std::string
identity(const console_alert &a)
{
    return a.hostname + '\0' + a.key;
}

// The alerts that the waiting records will raise, in file order: a raise is replaced by a
// later raise of the same alert and cancelled by its clear or its host's clear-all, and an
// acknowledge marks it acknowledged. Alerts already on the board are left out.
static std::vector<console_alert>
waiting_alerts(const std::vector<console_alert> &records, const std::vector<console_alert> &board)
{
    std::map<std::string, std::size_t> at;     // identity: index in out
    std::vector<console_alert> out;
    std::vector<bool> gone;
    for (const console_alert &r : records) {
        std::string id = identity(r);
        auto it = at.find(id);
        bool live = it != at.end() && !gone[it->second];
        if (r.type == MSG_CRITICAL || r.type == MSG_WARNING || r.type == MSG_INFO) {
            if (live) {
                out[it->second] = r;
            } else {
                at[id] = out.size();
                out.push_back(r);
                gone.push_back(false);
            }
        } else if (r.type == MSG_CLEAR && live) {
            gone[it->second] = true;
        } else if (r.type == MSG_ACKNOWLEDGE && live) {
            if (out[it->second].type != MSG_CLEAR)
                out[it->second].ack.severity = out[it->second].type;
            out[it->second].type = std::string(MSG_CLEAR);
        } else if ((r.type == CMD_ACK_NOTE || r.type == CMD_UNACK || r.type == CMD_DELETE) &&
                   live) {
            // A console action that waits behind the raise: who is in the ack column.
            std::string action = r.type == CMD_ACK_NOTE ? "acknowledge"
                                 : r.type == CMD_UNACK  ? "unacknowledge" : "delete";
            out[it->second].pending = pending_text(action, r.ack.by);
        } else if (r.type == MSG_CLEAR_HOST) {
            for (std::size_t i = 0; i < out.size(); i++)
                if (out[i].hostname == r.hostname)
                    gone[i] = true;
        }
    }
    std::set<std::string> on_board;
    for (const console_alert &a : board)
        on_board.insert(identity(a));
    std::vector<console_alert> shown;
    for (std::size_t i = 0; i < out.size(); i++)
        if (!gone[i] && on_board.count(identity(out[i])) == 0) {
            out[i].waiting = true;
            shown.push_back(std::move(out[i]));
        }
    return shown;
}

console_board
console_fetch_board(console_conn &c, int timeout_ms, bool all_details)
{
    long deadline = monotonic_ms() + timeout_ms;
    console_board b;
    long total = 0;
    bool extended = false;
    int st = fetch_pages(c, CMD_LIST_ALL, BOARD_HEADER, deadline, b.alerts, total, b.error,
                         &extended, &b.skipped_rows);
    if (st == CONSOLE_REFUSED) {
        b.alerts.clear();
        b.error.clear();
        return fetch_listing(c, deadline, all_details);
    }
    // Who acknowledged, why and until when: in the rows, or from a server that lists no
    // acks, the details of each acknowledged alert.
    for (auto &a : b.alerts) {
        if (st != CONSOLE_OK || a.type != MSG_CLEAR || extended)
            continue;
        long left = deadline - monotonic_ms();
        console_details d;
        st = left <= 0 ? static_cast<int>(CONSOLE_TIMEOUT)
                       : console_fetch_details(c, a.hostname, a.key, static_cast<int>(left), d,
                                               b.error);
        if (st == CONSOLE_REFUSED) {
            st = CONSOLE_OK;    // deleted since the listing: shown without its ack
            b.error.clear();
            continue;
        }
        if (left <= 0)
            b.error = "no reply from the server in time";
        a.ack = d.ack;
    }
    std::vector<console_alert> records;
    if (st == CONSOLE_OK)
        st = fetch_pages(c, CMD_LIST_WAITING, WAITING_HEADER, deadline, records,
                         b.waiting_records, b.error);
    if (st != CONSOLE_OK) {
        b.status = st;
        b.alerts.clear();
        return b;
    }
    for (console_alert &a : waiting_alerts(records, b.alerts))
        b.alerts.push_back(std::move(a));
    return b;
}

long
console_summary::get(std::string_view name, long fallback) const
{
    for (const auto &[n, v] : figures)
        if (n == name)
            return v;
    return fallback;
}

console_summary
console_fetch_summary(const std::string &address, int port, int timeout_ms)
{
    console_summary s;
    console_result r = console_call(address, port,
                                    console_build_request(CONSOLE_LIST_ALL, "", "", CMD_SUMMARY),
                                    timeout_ms);
    if (r.status != CONSOLE_OK) {
        s.status = r.status;
        s.error = r.error;
        return s;
    }
    if (r.final_type != REPLY_LIST_LAST) {
        s.status = r.final_type == REPLY_ERROR ? CONSOLE_REFUSED : CONSOLE_BAD_REPLY;
        s.error = "the server has no summary";
        return s;
    }
    std::size_t at = 0;
    while (at < r.text.size()) {
        std::size_t end = r.text.find('\n', at);
        if (end == std::string::npos)
            end = r.text.size();
        std::string line = r.text.substr(at, end - at);
        std::size_t sp = line.find(' ');
        long v = 0;
        bool negative = sp != std::string::npos && sp + 1 < line.size() && line[sp + 1] == '-';
        if (sp != std::string::npos &&
            read_long(std::string_view(line).substr(sp + 1 + (negative ? 1 : 0)), v))
            s.figures.emplace_back(line.substr(0, sp), negative ? -v : v);
        at = end + 1;
    }
    return s;
}

console_board
console_fetch_board(const std::string &address, int port, int timeout_ms, bool all_details)
{
    console_board b;
    console_conn c;
    long deadline = monotonic_ms() + timeout_ms;
    b.status = console_connect(c, address, port, timeout_ms, b.error);
    if (b.status != CONSOLE_OK)
        return b;
    long left = deadline - monotonic_ms();
    b = console_fetch_board(c, static_cast<int>(std::max(left, 1L)), all_details);
    console_close(c);
    return b;
}

console_counts
console_count_states(const std::vector<console_alert> &alerts, bool waiting)
{
    console_counts c;
    for (const auto &a : alerts) {
        if (a.waiting != waiting)
            continue;
        c.total++;
        if (a.type == MSG_CRITICAL)
            c.critical++;
        else if (a.type == MSG_WARNING)
            c.warning++;
        else if (a.type == MSG_INFO)
            c.info++;
        else if (a.type == MSG_CLEAR)
            c.acked++;
    }
    return c;
}

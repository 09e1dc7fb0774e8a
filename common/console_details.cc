// Console client, details: one alert's details ("SD", "SX") and its acknowledgement, read
// back from their text, and the %XX escapes the server puts in details and board rows.
#include "common/console_client.h"

#include <algorithm>
#include <cstring>

#include "common/console_internal.h"

std::string
console_ack_state(const console_ack &ack)
{
    const char *word = ack.severity == MSG_CLEAR ? nullptr : alert_state_word(ack.severity);
    return word != nullptr ? std::string("acknowledged ") + word : "acknowledged";
}

std::string
console_local_time(long long t, char sep)
{
    // A board's times repeat (many alerts stored or acknowledged in one second): the last
    // one asked in each thread is kept.
    thread_local long long last_t = -1;
    thread_local char last_sep = 0;
    thread_local std::string last_text;
    if (t == last_t && sep == last_sep)
        return last_text;
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[32];
    if (localtime_r(&tt, &tm) == nullptr)
        return "?";
    char fmt[] = "%Y-%m-%d %H:%M:%S";
    fmt[8] = sep;
    strftime(buf, sizeof buf, fmt, &tm);
    last_t = t;
    last_sep = sep;
    last_text = buf;
    return last_text;
}

int
console_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string
console_unescape(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); i++) {
        int hi = 0, lo = 0;
        if (s[i] == '%' && i + 2 < s.size() && (hi = console_hex_value(s[i + 1])) >= 0 &&
            (lo = console_hex_value(s[i + 2])) >= 0) {
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The text with each newline back to the '^' it was sent as (a server that does not escape
// its details), then its %XX escapes turned back into bytes.
static std::string
field_back(std::string s)
{
    for (char &ch : s)
        if (ch == '\n')
            ch = '^';
    return console_unescape(s);
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
                (hi = console_hex_value(details[p + 1])) >= 0 &&
                (lo = console_hex_value(details[p + 2])) >= 0) {
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

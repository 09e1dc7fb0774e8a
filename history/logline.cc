// Parsing tarrowd's log lines: the ctime stamp, then the message at fixed columns.
#include "history/logline.h"

#include <cstring>

static constexpr std::size_t STAMP_LEN = 24;           // "Mon Dec  7 18:52:08 2026"
static constexpr std::size_t MSG = STAMP_LEN + 1;      // the message after one space

static bool
is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The value of n digits at p, or -1 when one is not a digit.
static long long
digits(const char *p, std::size_t n)
{
    long long v = 0;
    for (std::size_t i = 0; i < n; i++) {
        if (!is_digit(p[i]))
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

static bool
starts_with(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

// The ctime text of a line as a stamp, or -1.
static stamp_t
parse_ctime(const char *p)
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    int month = 0;
    for (int m = 0; m < 12; m++)
        if (memcmp(p + 4, months + 3 * m, 3) == 0)
            month = m + 1;
    if (month == 0 || p[3] != ' ' || p[7] != ' ' || p[10] != ' ' || p[13] != ':' ||
        p[16] != ':' || p[19] != ' ')
        return -1;
    long long day = p[8] == ' ' ? digits(p + 9, 1) : digits(p + 8, 2);
    long long h = digits(p + 11, 2), mi = digits(p + 14, 2), s = digits(p + 17, 2);
    long long y = digits(p + 20, 4);
    if (day < 1 || day > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 60 || y < 0)
        return -1;
    return ((((y * 100 + month) * 100 + day) * 100 + h) * 100 + mi) * 100 + s;
}

// "YYYYMMDD HH:MM" as the sender stamps its records.
static bool
is_record_datetime(const char *p)
{
    return digits(p, 8) >= 0 && p[8] == ' ' && digits(p + 9, 2) >= 0 && p[11] == ':' &&
           digits(p + 12, 2) >= 0;
}

// Copies a text of at most width bytes into a field and fills the rest with spaces.
static bool
fill(char *field, std::size_t width, std::string_view s)
{
    if (s.size() > width)
        return false;
    memcpy(field, s.data(), s.size());
    memset(field + s.size(), ' ', width - s.size());
    return true;
}

// The server cuts an event line after 127 characters; one it did not cut ends with a space
// and the optional data, which no sender of this system fills.
static constexpr std::size_t EVENT_LINE_MAX = 127 - 6;

// The alert text: the rest of the event line without the space before the optional data.
static std::string_view
event_text(std::string_view rest, std::size_t line_size)
{
    if (line_size < EVENT_LINE_MAX && !rest.empty() && rest.back() == ' ')
        rest.remove_suffix(1);
    return rest;
}

// The alert event line "HOST DATETIME MT KEY P TEXT OPTIONAL" of a sender whose header
// fields were space-filled (flicket's always are): every field at its column. m starts
// after "AINF: ".
static bool
parse_fixed_event(std::string_view m, log_line &out)
{
    constexpr std::size_t DT = LEN_HOSTNAME + 1, MT = DT + LEN_DATETIME + 1, KEY = MT + 3;
    constexpr std::size_t END = KEY + LEN_KEY;         // the space after the key
    if (m.size() < END + 1 || m[DT - 1] != ' ' || !is_record_datetime(m.data() + DT) ||
        m[MT - 1] != ' ' || m[KEY - 1] != ' ' || m[END] != ' ')
        return false;
    memcpy(out.host, m.data(), LEN_HOSTNAME);
    memcpy(out.datetime, m.data() + DT, LEN_DATETIME);
    memcpy(out.msgtype, m.data() + MT, 2);
    memcpy(out.key, m.data() + KEY, LEN_KEY);
    std::string_view tail = m.substr(END + 1);
    if (tail == "(CONSOLE COMMAND)") {
        out.kind = line_kind::console;
        return true;
    }
    // The persistent flag and a space, or the end where the line was cut.
    if (tail.empty() || (tail.size() > 1 && tail[1] != ' '))
        return false;
    out.kind = line_kind::alert;
    out.persistent = tail[0];
    out.text = event_text(tail.size() > 2 ? tail.substr(2) : std::string_view(), m.size());
    return true;
}

// The same line from a sender that did not fill its fields: words separated by one space.
static bool
parse_loose_event(std::string_view m, log_line &out)
{
    std::size_t size = m.size();
    std::size_t sp = m.find(' ');
    if (sp == 0 || sp == std::string_view::npos || !fill(out.host, LEN_HOSTNAME, m.substr(0, sp)))
        return false;
    m.remove_prefix(sp + 1);
    if (m.size() < LEN_DATETIME + 4 || !is_record_datetime(m.data()) || m[LEN_DATETIME] != ' ' ||
        m[LEN_DATETIME + 3] != ' ')
        return false;
    memcpy(out.datetime, m.data(), LEN_DATETIME);
    memcpy(out.msgtype, m.data() + LEN_DATETIME + 1, 2);
    m.remove_prefix(LEN_DATETIME + 4);
    sp = m.find(' ');
    if (sp == 0 || !fill(out.key, LEN_KEY, m.substr(0, sp)))
        return false;
    if (sp == std::string_view::npos || m.size() < sp + 2 ||
        (m.size() > sp + 2 && m[sp + 2] != ' '))
        return false;
    out.kind = line_kind::alert;
    out.persistent = m[sp + 1];
    out.text = event_text(m.size() > sp + 3 ? m.substr(sp + 3) : std::string_view(), size);
    return true;
}

// "HOST15 KEY14 SEV by " at the start of m, as the acknowledgement lines have it; moves m
// past it.
static bool
parse_ack_identity(std::string_view &m, log_line &out)
{
    constexpr std::size_t KEY = LEN_HOSTNAME + 1, SEV = KEY + LEN_KEY + 1, BY = SEV + 2;
    if (m.size() < BY + 4 || m[KEY - 1] != ' ' || m[SEV - 1] != ' ' ||
        m.substr(BY, 4) != " by ")
        return false;
    std::string_view sev = m.substr(SEV, 2);
    if (sev != MSG_CRITICAL && sev != MSG_WARNING && sev != MSG_INFO)
        return false;
    memcpy(out.host, m.data(), LEN_HOSTNAME);
    memcpy(out.key, m.data() + KEY, LEN_KEY);
    memcpy(out.msgtype, sev.data(), 2);
    m.remove_prefix(BY + 4);
    return true;
}

// "WHO until YYYYMMDD HH:MM:SS: NOTE" or "WHO until never: NOTE".
static bool
parse_acknowledged(std::string_view m, log_line &out)
{
    std::size_t sp = m.find(" until ");
    if (sp == 0 || sp == std::string_view::npos)
        return false;
    out.who = m.substr(0, sp);
    m.remove_prefix(sp + 7);
    if (starts_with(m, "never")) {
        out.until = 0;
        m.remove_prefix(5);
    } else {
        if (m.size() < 17 || !is_record_datetime(m.data()) || m[14] != ':' ||
            digits(m.data() + 15, 2) < 0)
            return false;
        out.until = digits(m.data(), 8) * 1000000 + digits(m.data() + 9, 2) * 10000 +
                    digits(m.data() + 12, 2) * 100 + digits(m.data() + 15, 2);
        m.remove_prefix(17);
    }
    if (m.empty() || m[0] != ':')
        return false;
    out.text = m.size() > 2 ? m.substr(2) : std::string_view();
    out.kind = line_kind::acknowledged;
    return true;
}

// "WHO2 (acknowledged by WHO)".
static bool
parse_unacknowledged(std::string_view m, log_line &out)
{
    std::size_t sp = m.find(" (acknowledged by ");
    if (sp == 0 || sp == std::string_view::npos || m.back() != ')')
        return false;
    out.who2 = m.substr(0, sp);
    out.who = m.substr(sp + 18, m.size() - sp - 19);
    out.kind = line_kind::unacknowledged;
    return true;
}

// A decimal number at the start of m, moving m past it; -1 when there is none.
static int
take_number(std::string_view &m)
{
    std::size_t i = 0;
    long v = 0;
    while (i < m.size() && i < 9 && is_digit(m[i]))
        v = v * 10 + (m[i++] - '0');
    if (i == 0)
        return -1;
    m.remove_prefix(i);
    return static_cast<int>(v);
}

static line_kind
parse_ainf(std::string_view m, log_line &out)
{
    if (parse_fixed_event(m, out))
        return out.kind;
    if (starts_with(m, "Acknowledged ")) {
        std::string_view r = m.substr(13);
        if (parse_ack_identity(r, out) && parse_acknowledged(r, out))
            return out.kind;
    }
    if (starts_with(m, "Acknowledgement expired ")) {
        std::string_view r = m.substr(24);
        if (parse_ack_identity(r, out) && !r.empty()) {
            out.who = r;
            return out.kind = line_kind::ack_expired;
        }
    }
    if (starts_with(m, "Unacknowledged ")) {
        std::string_view r = m.substr(15);
        if (parse_ack_identity(r, out) && parse_unacknowledged(r, out))
            return out.kind;
    }
    if (starts_with(m, "Manual delete of ")) {
        std::string_view r = m.substr(17);
        if (r.size() == LEN_HOSTNAME + LEN_KEY + 14 && r[LEN_HOSTNAME] == ' ' &&
            r.substr(LEN_HOSTNAME + 1 + LEN_KEY) == " (CONSOLE KK)") {
            memcpy(out.host, r.data(), LEN_HOSTNAME);
            memcpy(out.key, r.data() + LEN_HOSTNAME + 1, LEN_KEY);
            return out.kind = line_kind::kk_delete;
        }
    }
    {
        std::string_view r = m;
        out.count = take_number(r);
        if (out.count >= 0 && starts_with(r, " alerts KK deleted, ")) {
            r.remove_prefix(20);
            out.count2 = take_number(r);
            if (out.count2 >= 0 && r == " recovered by compress")
                return out.kind = line_kind::kk_summary;
        }
    }
    // A console command whose host or key was not filled to width names no stored alert.
    if (m.size() > 18 && m.substr(m.size() - 18) == " (CONSOLE COMMAND)")
        return out.kind = line_kind::other;
    if (parse_loose_event(m, out))
        return out.kind;
    return out.kind = line_kind::unknown;
}

line_kind
parse_log_line(const char *p, std::size_t n, stamp_cache &cache, log_line &out)
{
    out.kind = line_kind::unknown;
    out.text = out.who = out.who2 = out.rest = {};
    if (n < MSG || p[STAMP_LEN] != ' ')
        return out.kind;
    if (memcmp(p, cache.text, STAMP_LEN) != 0 || cache.stamp < 0) {
        stamp_t s = parse_ctime(p);
        if (s < 0)
            return out.kind;
        memcpy(cache.text, p, STAMP_LEN);
        cache.stamp = s;
    }
    out.stamp = cache.stamp;
    std::string_view m(p + MSG, n - MSG);

    if (starts_with(m, "AINF: "))
        return parse_ainf(m.substr(6), out);
    if (starts_with(m, "WARN: Unable to store events in buffer file, disk full ?")) {
        // This message has no newline: the next one goes on in the same line.
        out.rest = m.substr(56);
        return out.kind = line_kind::append_failed;
    }
    struct fixed {
        std::string_view text;
        line_kind kind;
    };
    static const fixed exact[] = {
        {"----: Server initialisation beginning", line_kind::server_start},
        {"INFO: TCP-IP Services now available", line_kind::services_up},
        {"WARN: Unable to read records from buffer overflow file, flushing overflow file",
         line_kind::overflow_flushed},
        {"*ERR: To avoid server failure server is flushing memory tables",
         line_kind::table_flushed},
    };
    for (const fixed &f : exact)
        if (m == f.text)
            return out.kind = f.kind;
    if (starts_with(m, "INFO: Restored ")) {
        std::string_view r = m.substr(15);
        out.count = take_number(r);
        if (out.count >= 0 && starts_with(r, " alerts from "))
            return out.kind = line_kind::table_restored;
    }
    // Every other message of the server says nothing about the alerts on the board.
    static const std::string_view others[] = {
        "INFO: ", "WARN: ", "*ERR: ", "----: ", "Closing log file, rolling over",
        "0 byte data buffer recieved", "Ignored data=",
    };
    for (std::string_view o : others)
        if (starts_with(m, o))
            return out.kind = line_kind::other;
    return out.kind;
}

stamp_t
parse_user_time(std::string_view s, bool upper)
{
    // YYYY-MM-DD, then optionally ' ' or 'T' and HH:MM, then optionally :SS.
    if (s.size() != 10 && s.size() != 16 && s.size() != 19)
        return -1;
    const char *p = s.data();
    long long y = digits(p, 4), mo = digits(p + 5, 2), d = digits(p + 8, 2);
    if (y < 0 || p[4] != '-' || mo < 1 || mo > 12 || p[7] != '-' || d < 1 || d > 31)
        return -1;
    long long h = upper ? 23 : 0, mi = upper ? 59 : 0, sec = upper ? 59 : 0;
    if (s.size() >= 16) {
        if (p[10] != ' ' && p[10] != 'T')
            return -1;
        h = digits(p + 11, 2);
        mi = digits(p + 14, 2);
        if (p[13] != ':' || h < 0 || h > 23 || mi < 0 || mi > 59)
            return -1;
    }
    if (s.size() == 19) {
        sec = digits(p + 17, 2);
        if (p[16] != ':' || sec < 0 || sec > 60)
            return -1;
    }
    return ((((y * 100 + mo) * 100 + d) * 100 + h) * 100 + mi) * 100 + sec;
}

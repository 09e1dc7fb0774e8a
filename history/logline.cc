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

// "HOST15 KEY14" at the start of m, then " SEV" when sev is set; moves m past it.
static bool
parse_identity(std::string_view &m, log_line &out, bool sev)
{
    constexpr std::size_t KEY = LEN_HOSTNAME + 1, END = KEY + LEN_KEY;
    if (m.size() < END + (sev ? 3 : 0) || m[KEY - 1] != ' ')
        return false;
    memcpy(out.host, m.data(), LEN_HOSTNAME);
    memcpy(out.key, m.data() + KEY, LEN_KEY);
    m.remove_prefix(END);
    if (!sev)
        return true;
    std::string_view t = m.substr(1, 2);
    if (m[0] != ' ' || (t != MSG_CRITICAL && t != MSG_WARNING && t != MSG_INFO))
        return false;
    memcpy(out.msgtype, t.data(), 2);
    m.remove_prefix(3);
    return true;
}

// The lines that say where an alert went: the file, the table, out of it, or a console's
// action that waits, or a console's delete with who made it.
static bool
parse_fact(std::string_view m, log_line &out)
{
    struct fact {
        std::string_view head, tail;
        line_kind kind;
        bool sev;
    };
    static const fact facts[] = {
        {"Spilled ", " to evt_buffer.dat", line_kind::spilled, true},
        {"Read back ", " from evt_buffer.dat", line_kind::read_back, true},
        {"Displaced ", " IO for a new alert", line_kind::displaced, false},
    };
    for (const fact &f : facts) {
        std::string_view r = m;
        if (starts_with(r, f.head)) {
            r.remove_prefix(f.head.size());
            if (!parse_identity(r, out, f.sev) || r != f.tail)
                return false;
            if (!f.sev)
                memcpy(out.msgtype, MSG_INFO.data(), 2);
            out.kind = f.kind;
            return true;
        }
    }
    if (starts_with(m, "Pending ")) {
        static const struct {
            std::string_view action, type;
        } actions[] = {{"acknowledge ", PENDING_ACK}, {"unacknowledge ", PENDING_UNACK},
                       {"delete ", PENDING_DELETE}};
        std::string_view r = m.substr(8);
        for (const auto &a : actions) {
            if (!starts_with(r, a.action))
                continue;
            r.remove_prefix(a.action.size());
            if (!parse_identity(r, out, false) || !starts_with(r, " by "))
                return false;
            memcpy(out.msgtype, a.type.data(), 2);
            out.who = r.substr(4);
            out.kind = line_kind::pending;
            return true;
        }
        return false;
    }
    if (starts_with(m, "Deleted ")) {
        std::string_view r = m.substr(8);
        if (!parse_identity(r, out, true) || !starts_with(r, " by "))
            return false;
        r.remove_prefix(4);
        std::size_t colon = r.find(": ");
        out.who = r.substr(0, colon);
        if (colon != std::string_view::npos)
            out.text = r.substr(colon + 2);
        else if (!out.who.empty() && out.who.back() == ':')
            out.who.remove_suffix(1);
        out.kind = line_kind::deleted;
        return true;
    }
    return false;
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
        long long date = digits(m.data(), 8), h = digits(m.data() + 9, 2),
                  mi = digits(m.data() + 12, 2), s = digits(m.data() + 15, 2);
        long long mo = date / 100 % 100, d = date % 100;
        // A time no clock shows is no expiry the server wrote.
        if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
            return false;
        out.until = date * 1000000 + h * 10000 + mi * 100 + s;
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
    if (parse_fact(m, out))
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
    if (starts_with(m, "INFO: The board holds up to ")) {
        std::string_view r = m.substr(28);
        out.count = take_number(r);
        out.count2 = r == " alerts" ? 1 : 0;
        if (out.count > 0 && (out.count2 == 1 || r == " alerts (--table-size)"))
            return out.kind = line_kind::board_size;
    }
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
local_stamp(time_t t)
{
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr)
        return -1;
    return ((((tm.tm_year + 1900LL) * 100 + tm.tm_mon + 1) * 100 + tm.tm_mday) * 100 +
            tm.tm_hour) * 10000 + tm.tm_min * 100 + tm.tm_sec;
}

// "HH:MM[:SS]" as seconds into the day, with upper filling missing seconds; -1 when invalid.
static long long
day_time(std::string_view s, bool upper)
{
    if (s.size() != 5 && s.size() != 8)
        return -1;
    long long h = digits(s.data(), 2), mi = digits(s.data() + 3, 2);
    long long sec = upper ? 59 : 0;
    if (s[2] != ':' || h < 0 || h > 23 || mi < 0 || mi > 59)
        return -1;
    if (s.size() == 8) {
        sec = digits(s.data() + 6, 2);
        if (s[5] != ':' || sec < 0 || sec > 60)
            return -1;
    }
    return (h * 100 + mi) * 100 + sec;
}

// The day days_back before now's, as YYYYMMDD000000.
static stamp_t
local_day(time_t now, int days_back)
{
    struct tm tm;
    if (localtime_r(&now, &tm) == nullptr)
        return -1;
    tm.tm_mday -= days_back;
    tm.tm_hour = 12;        // mktime normalises the day; noon is safe from a DST change
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    stamp_t s = local_stamp(t);
    return s < 0 ? -1 : s / 1000000 * 1000000;
}

stamp_t
parse_user_time(std::string_view s, bool upper, time_t now)
{
    // -N followed by a unit: a time before now. At most 7 digits, read only then: more
    // would overflow the number.
    if (s.size() >= 3 && s[0] == '-') {
        long long n = s.size() <= 9 ? digits(s.data() + 1, s.size() - 2) : -1;
        static const struct {
            char unit;
            long long seconds;
        } units[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
        for (const auto &u : units)
            if (s.back() == u.unit && n >= 0 && n <= 100000 && s.size() <= 9)
                return local_stamp(now - static_cast<time_t>(n * u.seconds));
        return -1;
    }
    // today or yesterday, alone or followed by a time.
    for (int back = 0; back < 2; back++) {
        std::string_view word = back == 0 ? "today" : "yesterday";
        if (!starts_with(s, word))
            continue;
        std::string_view rest = s.substr(word.size());
        stamp_t day = local_day(now, back);
        if (day < 0)
            return -1;
        if (rest.empty())
            return day + (upper ? 235959 : 0);
        long long t = rest[0] == ' ' ? day_time(rest.substr(1), upper) : -1;
        return t < 0 ? -1 : day + t;
    }
    if (s.size() == 5 || s.size() == 8) {
        long long t = day_time(s, upper);
        stamp_t day = local_day(now, 0);
        return t < 0 || day < 0 ? -1 : day + t;
    }
    // YYYY-MM-DD, then optionally ' ' or 'T' and HH:MM, then optionally :SS.
    if (s.size() != 10 && s.size() != 16 && s.size() != 19)
        return -1;
    const char *p = s.data();
    long long y = digits(p, 4), mo = digits(p + 5, 2), d = digits(p + 8, 2);
    if (y < 0 || p[4] != '-' || mo < 1 || mo > 12 || p[7] != '-' || d < 1 || d > 31)
        return -1;
    stamp_t day = ((y * 100 + mo) * 100 + d) * 1000000;
    if (s.size() == 10)
        return day + (upper ? 235959 : 0);
    long long t = p[10] == ' ' || p[10] == 'T' ? day_time(s.substr(11), upper) : -1;
    return t < 0 ? -1 : day + t;
}

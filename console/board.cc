// tarrowc: what the views make of the alerts: state words, ages, order, filter, screen widths
// and the JSON listing.
#include "console/board.h"

#include <wchar.h>

#include <algorithm>
#include <cctype>
#include <climits>

#include <nlohmann/json.hpp>

#include "common/filter_expr.h"
#include "common/record.h"

std::string
state_word(std::string_view type)
{
    const char *word = alert_state_word(type);
    return word ? word : std::string(type);
}

// Severity first: critical, warning, info, acknowledged, anything else.
static int
state_rank(std::string_view type)
{
    if (type == MSG_CRITICAL)
        return 0;
    if (type == MSG_WARNING)
        return 1;
    if (type == MSG_INFO)
        return 2;
    if (type == MSG_CLEAR)
        return 3;
    return 4;
}

long
alert_age_seconds(std::string_view datetime, time_t now)
{
    struct tm tm;
    if (!console_split_datetime(datetime, tm))
        return -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1))
        return -1;
    return now > t ? static_cast<long>(now - t) : 0;
}

long
alert_age_seconds(const console_alert &a, time_t now)
{
    if (a.first_seen > 0)
        return now > a.first_seen ? static_cast<long>(now - a.first_seen) : 0;
    return alert_age_seconds(a.datetime, now);
}

std::string
age_text(long s)
{
    if (s < 0)
        return "?";
    if (s < 60)
        return std::to_string(s) + "s";
    if (s < 3600)
        return std::to_string(s / 60) + "m";
    if (s < 86400)
        return std::to_string(s / 3600) + "h";
    return std::to_string(s / 86400) + "d";
}

std::string
iso_datetime(std::string_view dt)
{
    struct tm tm;
    if (!console_split_datetime(dt, tm))
        return std::string(dt);
    std::string s(dt);
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(9, 5);
}

std::string
row_state(const console_alert &a)
{
    if (a.waiting)
        return "waiting";
    if (a.type != MSG_CLEAR || !a.ack.present)
        return state_word(a.type);
    const char *word = a.ack.severity == MSG_CLEAR ? nullptr : alert_state_word(a.ack.severity);
    return word != nullptr ? "ack " + std::string(word).substr(0, 4) : state_word(a.type);
}

std::string
row_text(const console_alert &a, bool utf8)
{
    std::string text = a.text;
    if (a.type == MSG_CLEAR && a.ack.present)
        text = "[" + a.ack.by + "] " + text;
    if (!a.pending.empty())
        text = "(" + a.pending + ") " + text;
    return console_visible(text, utf8);
}

long long
parse_duration(const std::string &text)
{
    long long total = 0;
    std::size_t i = 0;
    if (text.empty())
        return -1;
    while (i < text.size()) {
        long long n = 0;
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 9)
            n = n * 10 + (text[i++] - '0');
        if (i == start)
            return -1;
        long long unit = 1;
        if (i < text.size()) {
            switch (text[i++]) {
            case 's': unit = 1; break;
            case 'm': unit = 60; break;
            case 'h': unit = 3600; break;
            case 'd': unit = 86400; break;
            default: return -1;
            }
        } else if (start != 0) {
            return -1;      // "1h30" : a unit is missing
        }
        total += n * unit;
        if (total > 366LL * 86400)
            return -1;
    }
    return total > 0 ? total : -1;
}

long long
parse_until(const std::string &text, time_t now)
{
    struct tm tm {};
    int year = 0, mon = 0, day = 0, h = 0, m = 0, s = 0, end = 0;
    char sep = 0;
    bool dated = sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &year, &mon, &day, &sep, &h, &m,
                        &end) == 6 && (sep == ' ' || sep == 'T');
    if (!dated) {
        end = 0;
        if (sscanf(text.c_str(), "%2d:%2d%n", &h, &m, &end) != 2)
            return -1;
    }
    if (text[static_cast<std::size_t>(end)] == ':') {
        int more = 0;
        if (sscanf(text.c_str() + end, ":%2d%n", &s, &more) != 1)
            return -1;
        end += more;
    }
    if (static_cast<std::size_t>(end) != text.size() || h > 23 || m > 59 || s > 59 ||
        h < 0 || m < 0 || s < 0)
        return -1;
    if (dated) {
        if (mon < 1 || mon > 12 || day < 1 || day > 31)
            return -1;
        tm.tm_year = year - 1900;
        tm.tm_mon = mon - 1;
        tm.tm_mday = day;
    } else {
        localtime_r(&now, &tm);
    }
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    if (t == static_cast<time_t>(-1) || (dated && tm.tm_mday != day))
        return -1;
    if (!dated && t <= now) {
        tm.tm_mday++;       // the next such time: tomorrow
        tm.tm_isdst = -1;
        t = mktime(&tm);
    }
    return static_cast<long long>(t);
}

const char *
sort_name(int order)
{
    static const char *const NAMES[SORT_ORDERS] = {"table", "severity", "age", "host"};
    return order >= 0 && order < SORT_ORDERS ? NAMES[order] : "table";
}

static bool
contains_nocase(std::string_view hay, std::string_view needle)
{
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char x, char y) {
        return tolower(static_cast<unsigned char>(x)) == tolower(static_cast<unsigned char>(y));
    });
    return it != hay.end();
}

bool
alert_matches(const console_alert &a, std::string_view needle)
{
    return needle.empty() || contains_nocase(a.hostname, needle) ||
           contains_nocase(a.key, needle) || contains_nocase(a.text, needle);
}

std::vector<int>
board_rows(const std::vector<console_alert> &alerts, int order, std::string_view filter,
           bool hide_acked, time_t now)
{
    std::vector<int> rows;
    std::vector<long> age(alerts.size());
    // A filter expression; while it is not one (half typed), the text as one word.
    filter_expr expr;
    std::string error;
    bool is_expr = filter_parse(filter, expr, error);
    for (std::size_t i = 0; i < alerts.size(); i++) {
        const console_alert &a = alerts[i];
        if ((hide_acked && a.type == MSG_CLEAR) ||
            !(is_expr ? filter_match(expr, filter_fields_of(a)) : alert_matches(a, filter)))
            continue;
        rows.push_back(static_cast<int>(i));
        age[i] = alert_age_seconds(a, now);
        if (age[i] < 0)
            age[i] = LONG_MAX;   // no time: after every dated alert
    }
    auto less = [&](int x, int y) {
        const console_alert &a = alerts[static_cast<std::size_t>(x)];
        const console_alert &b = alerts[static_cast<std::size_t>(y)];
        // The order's own key first, so that a waiting critical is not hidden below every
        // board row; within one key the board's alert before the waiting one.
        long ka = 0, kb = 0;
        switch (order) {
        case SORT_SEVERITY:
            ka = state_rank(a.type);
            kb = state_rank(b.type);
            break;
        case SORT_AGE:
            ka = age[static_cast<std::size_t>(x)];
            kb = age[static_cast<std::size_t>(y)];
            break;
        case SORT_HOST:
            if (a.hostname != b.hostname || a.key != b.key)
                return a.hostname != b.hostname ? a.hostname < b.hostname : a.key < b.key;
            break;
        default:
            break;
        }
        if (ka != kb)
            return ka < kb;
        return !a.waiting && b.waiting;
    };
    std::stable_sort(rows.begin(), rows.end(), less);
    return rows;
}

std::string
board_header(const std::vector<console_alert> &alerts)
{
    console_counts c = console_count_states(alerts), w = console_count_states(alerts, true);
    char buf[200];
    snprintf(buf, sizeof buf, "%d+%d | crit %d+%d | warn %d+%d | info %d+%d | acked %d", c.total,
             w.total, c.critical, w.critical, c.warning, w.warning, c.info, w.info,
             c.acked + w.acked);
    return buf;
}

check_result
board_check(const std::vector<console_alert> &alerts)
{
    console_counts on = console_count_states(alerts), off = console_count_states(alerts, true);
    int critical = on.critical + off.critical, warning = on.warning + off.warning;
    check_result r;
    r.status = critical > 0 ? 2 : warning > 0 ? 1 : 0;
    static const char *const words[] = {"OK", "WARNING", "CRITICAL"};
    char buf[320];
    snprintf(buf, sizeof buf,
             "TARROW %s - %d on board, %d waiting, %d critical, %d warning | board=%d "
             "waiting=%d critical=%d warning=%d info=%d acked=%d",
             words[r.status], on.total, off.total, critical, warning, on.total, off.total,
             critical, warning, on.info + off.info, on.acked + off.acked);
    r.line = buf;
    return r;
}

// Length in bytes and width in columns of the character at s[i]. Texts from console_visible
// hold printable ASCII and, with utf8, whole sequences of printable characters only.
static std::size_t
next_char(std::string_view s, std::size_t i, bool utf8, int &width)
{
    unsigned char b = static_cast<unsigned char>(s[i]);
    width = 1;
    if (!utf8 || b < 0x80)
        return 1;
    std::size_t n = b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
    n = std::min(n, s.size() - i);
    mbstate_t st{};
    wchar_t wc;
    std::size_t r = mbrtowc(&wc, s.data() + i, n, &st);
    if (r == static_cast<std::size_t>(-1) || r == static_cast<std::size_t>(-2) || r == 0)
        return 1;
    int w = wcwidth(wc);
    width = w < 0 ? 1 : w;
    return r;
}

int
text_width(std::string_view s, bool utf8)
{
    int total = 0, w;
    for (std::size_t i = 0; i < s.size(); i += next_char(s, i, utf8, w), total += w) {
    }
    return total;
}

std::string
fit_width(std::string_view s, int width, bool utf8)
{
    if (text_width(s, utf8) <= width)
        return std::string(s);
    if (width <= 0)
        return "";
    std::string out;
    int used = 0, w;
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = next_char(s, i, utf8, w);
        if (used + w > width - 1)
            break;
        out.append(s.substr(i, n));
        used += w;
        i += n;
    }
    out += utf8 ? "\u2026" : ">";
    return out;
}

std::string
pad_width(std::string_view s, int width, bool utf8)
{
    std::string out = fit_width(s, width, utf8);
    int w = text_width(out, utf8);
    if (w < width)
        out.append(static_cast<std::size_t>(width - w), ' ');
    return out;
}

std::vector<std::string>
wrap_text(std::string_view s, int width, bool utf8)
{
    std::vector<std::string> lines;
    width = std::max(width, 1);
    std::string line;
    int used = 0, w;
    std::size_t blank = std::string::npos;   // where line may be broken: after its last blank
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = next_char(s, i, utf8, w);
        if (used + w > width && !line.empty()) {
            std::string rest;
            if (blank != std::string::npos && blank * 3 >= line.size()) {
                rest = line.substr(blank);
                line.resize(blank);
            }
            lines.push_back(line);
            line = rest;
            used = text_width(line, utf8);
            blank = std::string::npos;
        }
        line.append(s.substr(i, n));
        used += w;
        if (s[i] == ' ')
            blank = line.size();
        i += n;
    }
    lines.push_back(line);
    return lines;
}

// "host key" of an alert, made safe to show.
static std::string
who(const console_alert &a, bool utf8)
{
    return console_visible(console_trim(a.hostname) + " " + console_trim(a.key), utf8);
}

std::string
delete_through_question(const std::vector<console_alert> &alerts, int index, bool utf8)
{
    if (index < 0 || static_cast<std::size_t>(index) >= alerts.size())
        return "";
    const console_alert &last = alerts[static_cast<std::size_t>(index)];
    if (index == 0)
        return "delete " + who(last, utf8) + "?";
    return "delete " + std::to_string(index + 1) + " alerts, from " + who(alerts[0], utf8) +
           " to " + who(last, utf8) + "?";
}

std::vector<std::pair<std::string, std::string>>
detail_fields(const console_details &d, time_t now, bool utf8, const std::string &was)
{
    std::string state = state_word(d.type);
    if (d.type == MSG_CLEAR && d.ack.present)
        state = console_ack_state(d.ack);
    else if (d.type == MSG_CLEAR && !was.empty())
        state += " (was " + was + ")";
    std::string raised = iso_datetime(d.datetime);
    if (long age = alert_age_seconds(d.datetime, now); age >= 0) {
        raised[10] = ' ';
        raised += " (" + age_text(age) + " ago)";
    }
    const char *persistent = d.persistent == 'Y' ? "yes" : d.persistent == 'N' ? "no" : "";
    std::vector<std::pair<std::string, std::string>> fields = {
        {"Host", console_visible(console_trim(d.hostname), utf8)},
        {"Key", console_visible(console_trim(d.key), utf8)},
        {"State", console_visible(state, utf8)},
        {"Raised", console_visible(raised, utf8)},
        {"Persistent", persistent[0] ? persistent : console_visible(std::string(1, d.persistent), utf8)},
        {"Text", console_visible(d.text, utf8)},
        {"Optional data", console_visible(console_trim(d.optional_data), utf8)},
    };
    if (d.type == MSG_CLEAR && d.ack.present) {
        std::string until = "never";
        if (d.ack.until != 0) {
            until = console_local_time(d.ack.until);
            if (d.ack.until > now)
                until += " (in " + age_text(static_cast<long>(d.ack.until - now)) + ")";
        }
        fields.push_back({"Acked by", console_visible(d.ack.by, utf8)});
        fields.push_back({"Acked at", console_local_time(d.ack.since)});
        fields.push_back({"Acked until", until});
        fields.push_back({"Note", console_visible(d.ack.note, utf8)});
    }
    return fields;
}

std::string
board_json(const std::vector<console_alert> &alerts)
{
    // Each alert is dumped as it is made, into the array's text as a whole dump would lay it
    // out: a large board never holds all its JSON objects at once.
    if (alerts.empty())
        return "[]\n";
    std::string out = "[\n";
    out.reserve(alerts.size() * 512);
    for (const auto &a : alerts) {
        nlohmann::ordered_json persistent = nullptr;
        if (a.persistent == 'Y' || a.persistent == 'N')
            persistent = a.persistent == 'Y';
        // The severity an acknowledged alert keeps, null when the server did not say.
        std::string_view severity = a.type == MSG_CLEAR ? std::string_view(a.ack.severity)
                                                        : std::string_view(a.type);
        const char *word = severity == MSG_CLEAR ? nullptr : alert_state_word(severity);
        nlohmann::ordered_json item = {
            {"host", console_visible(console_trim(a.hostname), true)},
            {"key", console_visible(console_trim(a.key), true)},
            {"state", console_visible(state_word(a.type), true)},
            {"severity", word != nullptr ? nlohmann::ordered_json(word) : nullptr},
            {"datetime", console_visible(iso_datetime(a.datetime), true)},
            {"text", console_visible(a.text, true)},
            {"persistent", persistent},
            {"place", a.waiting ? "waiting" : "board"},
        };
        // Server times and a pending action, from a server that lists them.
        if (a.first_seen != 0) {
            item["first_seen"] = console_local_time(a.first_seen, 'T');
            item["last_change"] = console_local_time(a.last_change, 'T');
        }
        if (!a.pending.empty())
            item["pending"] = console_visible(a.pending, true);
        if (a.type == MSG_CLEAR && a.ack.present) {
            // Filled in place: an initializer list would copy every value once more.
            nlohmann::ordered_json &ack = item["acknowledged"];
            ack["by"] = console_visible(a.ack.by, true);
            ack["note"] = console_visible(a.ack.note, true);
            ack["since"] = console_local_time(a.ack.since, 'T');
            ack["until"] = a.ack.until != 0
                               ? nlohmann::ordered_json(console_local_time(a.ack.until, 'T'))
                               : nlohmann::ordered_json(nullptr);
        }
        std::string text = item.dump(2);
        if (out.size() > 2)
            out += ",\n";
        // Each line of the object two more spaces in.
        for (std::size_t at = 0; at < text.size();) {
            std::size_t nl = text.find('\n', at);
            std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
            out += "  ";
            out.append(text, at, end - at);
            at = end;
        }
    }
    return out + "\n]\n";
}

std::string
summary_json(const console_summary &s)
{
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    for (const auto &[name, value] : s.figures)
        o[console_visible(name, true)] = value;
    return o.dump(2) + "\n";
}

// Console client, the board: the paged listings of the board and of what waits behind it
// ("SA", "SQ"), the listing ("SL") and details for a server without them, the waiting
// records folded into the alerts they will raise, and the summary ("SS").
#include "common/console_client.h"

#include <algorithm>
#include <map>
#include <set>

#include "common/console_internal.h"

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

// The board from a server without the board requests: "SL", then details where needed.
static console_board
fetch_listing(console_conn &c, long deadline, bool all_details)
{
    console_board b;
    console_result r = console_exchange_until(
        c, console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST), deadline);
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
    a.ack.by = console_unescape(f[10]);
    a.ack.severity = console_unescape(f[11]);
    a.ack.since = since;
    a.ack.until = until;
    a.ack.note = console_unescape(f[14]);
    a.ack.present = a.type == MSG_CLEAR && !a.ack.by.empty();
    std::string pending = console_unescape(f[15]);
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
        a.datetime = console_unescape(f[1]);
        a.hostname = console_unescape(f[2]);
        a.key = console_unescape(f[3]);
        a.type = console_unescape(f[4]);
        std::string persistent = console_unescape(f[5]);
        a.persistent = persistent.size() == 1 ? persistent[0] : '\0';
        a.text = console_unescape(f[6]);
        a.optional_data = console_unescape(f[7]);
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
        console_result r = console_exchange_until(
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

// tarrow-web: alerts and stats as JSON, the metrics text and entity tags, from a snapshot.
#include "web/view.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "common/record.h"
#include "common/text.h"

using ojson = nlohmann::ordered_json;

// JSON text that never throws: bytes that are not UTF-8 become U+FFFD.
static std::string
dump(const ojson &j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void
snapshot_count_poll(web_snapshot &s, double seconds, bool ok)
{
    s.polls++;
    if (!ok)
        s.poll_errors++;
    std::size_t i = 0;
    while (i < POLL_BUCKETS.size() && seconds > POLL_BUCKETS[i])
        i++;
    s.poll_buckets[i]++;
    s.poll_seconds_sum += seconds;
    s.last_poll_seconds = seconds;
}

void
snapshot_merge_boards(web_snapshot &s)
{
    std::vector<std::vector<console_alert>> alerts;
    std::vector<std::string> labels;
    s.up = false;
    for (const web_board &b : s.boards) {
        alerts.push_back(b.alerts);
        labels.push_back(b.place.label);
        s.up = s.up || b.up;
    }
    s.alerts.clear();
    s.where.clear();
    for (merged_alert &r : merge_boards(alerts, labels)) {
        s.where[r.alert.hostname + '\0' + r.alert.key] = {r.place, r.difference};
        s.alerts.push_back(std::move(r.alert));
    }
}

int
snapshot_divergent(const web_snapshot &s)
{
    int n = 0;
    for (const auto &[id, w] : s.where)
        n += w.second.empty() ? 0 : 1;
    return n;
}

std::string
web_state(std::string_view type)
{
    const char *word = alert_state_word(type);
    return word != nullptr ? word : std::string(type);
}

long long
web_raised(std::string_view datetime)
{
    struct tm tm;
    if (!console_split_datetime(datetime, tm))
        return -1;
    time_t t = mktime(&tm);
    return t == static_cast<time_t>(-1) ? -1 : static_cast<long long>(t);
}

static std::string
seen_id(const console_alert &a)
{
    return a.hostname + '\0' + a.key + '\0' + a.datetime;
}

void
snapshot_note_seen(web_snapshot &s, long long now)
{
    std::map<std::string, long long> seen;
    for (const auto &a : s.alerts) {
        std::string id = seen_id(a);
        auto it = s.seen.find(id);
        long long listed = web_raised(a.datetime);
        // At the first poll only the minute of the listing is known.
        seen[id] = it != s.seen.end() ? it->second
                   : s.seen_polls == 0 || listed < 0 ? listed
                                                     : std::max(listed, now);
    }
    s.seen = std::move(seen);
    s.seen_polls++;
}

long long
web_first_seen(const web_snapshot &s, const console_alert &a)
{
    // The server's own time when its rows carry it; from an older server, the listing's
    // minute stamp, made finer by when this program first saw the alert.
    if (a.first_seen > 0)
        return a.first_seen;
    auto it = s.seen.find(seen_id(a));
    return it != s.seen.end() ? it->second : web_raised(a.datetime);
}

// "YYYY-MM-DDTHH:MM" for "YYYYMMDD HH:MM"; any other text as it is.
static std::string
iso_datetime(std::string_view dt)
{
    struct tm tm;
    if (!console_split_datetime(dt, tm))
        return std::string(dt);
    std::string s(dt);
    return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(9);
}

static std::string
shown(std::string_view s)
{
    return console_visible(s, true);
}

static ojson
alert_object(const console_alert &a, bool full, long long raised)
{
    ojson persistent = nullptr;
    if (a.persistent == 'Y' || a.persistent == 'N')
        persistent = a.persistent == 'Y';
    // The severity an acknowledged alert keeps, null when the board did not say.
    std::string_view severity = a.type == MSG_CLEAR ? std::string_view(a.ack.severity)
                                                    : std::string_view(a.type);
    const char *word = severity == MSG_CLEAR ? nullptr : alert_state_word(severity);
    ojson o = {
        {"host", shown(console_trim(a.hostname))},
        {"key", shown(console_trim(a.key))},
        {"state", shown(web_state(a.type))},
        {"severity", word != nullptr ? ojson(word) : ojson(nullptr)},
        {"datetime", shown(iso_datetime(a.datetime))},
        {"text", shown(a.text)},
        {"persistent", persistent},
        {"place", a.waiting ? "waiting" : "board"},
    };
    if (!a.pending.empty())
        o["pending"] = shown(a.pending);
    if (a.type == MSG_CLEAR && a.ack.present)
        o["acknowledged"] = {
            {"by", shown(a.ack.by)},
            {"note", shown(a.ack.note)},
            {"since", console_local_time(a.ack.since, 'T')},
            {"until", a.ack.until != 0 ? ojson(console_local_time(a.ack.until, 'T'))
                                       : ojson(nullptr)},
        };
    if (full) {
        o["optional_data"] = shown(console_trim(a.optional_data));
        o["raised"] = raised < 0 ? ojson(nullptr) : ojson(raised);
    }
    return o;
}

static bool
kept(const filter_expr *f, const console_alert &a)
{
    return f == nullptr || f->terms.empty() || filter_match(*f, filter_fields_of(a));
}

std::string
alerts_json(const std::vector<console_alert> &alerts, bool full, const filter_expr *filter)
{
    ojson list = ojson::array();
    for (const auto &a : alerts)
        if (kept(filter, a))
            list.push_back(alert_object(a, full, web_raised(a.datetime)));
    return dump(list);
}

bool
parse_link(std::string_view arg, web_link &out)
{
    std::size_t eq = arg.find('=');
    if (eq == 0 || eq == arg.npos)
        return false;
    out.name = std::string(arg.substr(0, eq));
    out.url_template = std::string(arg.substr(eq + 1));
    const std::string &t = out.url_template;
    return (t.rfind("http://", 0) == 0 && t.size() > 7) || (t.rfind("https://", 0) == 0 && t.size() > 8);
}

static std::string
url_encode(std::string_view s)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += ch;
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

std::string
expand_link(const std::string &url_template, std::string_view host, std::string_view key)
{
    std::string out;
    for (std::size_t i = 0; i < url_template.size();) {
        if (url_template.compare(i, 6, "{host}") == 0) {
            out += url_encode(host);
            i += 6;
        } else if (url_template.compare(i, 5, "{key}") == 0) {
            out += url_encode(key);
            i += 5;
        } else {
            out += url_template[i++];
        }
    }
    return out;
}

static ojson
counts_object(const console_counts &c)
{
    return {{"total", c.total}, {"critical", c.critical}, {"warning", c.warning},
            {"info", c.info}, {"acked", c.acked}};
}

std::string
board_json(const web_snapshot &s, const web_view_options &opt, const filter_expr *filter,
           const std::string &filter_error)
{
    std::vector<console_alert> alerts;
    for (const auto &a : s.alerts)
        if (kept(filter, a))
            alerts.push_back(a);
    ojson b = {
        {"up", s.up},
        {"error", shown(s.error)},
        {"interval", opt.interval},
        {"acting", opt.acting},
        // When the alerts shown were fetched, while they are not current. While the board
        // is up the time stays out, or every poll would change the tag and send every
        // browser the whole board again.
        {"fetched", s.up || s.fetched == 0 ? ojson(nullptr)
                                           : ojson(static_cast<long long>(s.fetched))},
        {"counts", counts_object(console_count_states(alerts))},
        // The alerts waiting in the server's overflow file, by state.
        {"waiting", counts_object(console_count_states(alerts, true))},
    };
    if (!filter_error.empty())
        b["filter_error"] = shown(filter_error);
    if (!s.boards.empty()) {
        // Each board with its state, and the actions that wait for one.
        ojson boards = ojson::array();
        for (const web_board &wb : s.boards)
            boards.push_back({{"label", wb.place.label}, {"address", shown(board_name(wb.place))},
                              {"up", wb.up}, {"error", shown(wb.error)}});
        b["boards"] = std::move(boards);
        ojson pending = ojson::array();
        for (const web_pending &p : s.pending)
            pending.push_back({{"board", p.board < s.boards.size() ? s.boards[p.board].place.label
                                                                   : "?"},
                               {"action", p.command == CMD_UNACK   ? "unack"
                                          : p.command == CMD_DELETE ? "delete"
                                                                    : "ack"},
                               {"host", shown(console_trim(p.host))},
                               {"key", shown(console_trim(p.key))},
                               {"by", shown(p.who)},
                               {"since", console_local_time(p.since, 'T')}});
        b["pending"] = std::move(pending);
        b["divergent"] = snapshot_divergent(s);
    }
    ojson list = ojson::array();
    for (const auto &a : alerts) {
        ojson o = alert_object(a, true, web_first_seen(s, a));
        if (auto w = s.where.find(a.hostname + '\0' + a.key); w != s.where.end()) {
            o["boards"] = w->second.first;
            o["differs"] = w->second.second.empty() ? ojson(nullptr) : ojson(shown(w->second.second));
        }
        if (!opt.links.empty()) {
            ojson links = ojson::array();
            for (const auto &l : opt.links)
                links.push_back({{"name", shown(l.name)},
                                 {"url", expand_link(l.url_template, o["host"].get<std::string>(),
                                                     o["key"].get<std::string>())}});
            o["links"] = std::move(links);
        }
        list.push_back(std::move(o));
    }
    b["alerts"] = std::move(list);
    return dump(b);
}

std::string
board_with_stale(const std::string &board, bool stale)
{
    std::string out = stale ? "{\"stale\":true" : "{\"stale\":false";
    if (board.size() > 2)
        out += ',';
    out.append(board, 1);
    return out;
}

// Seconds since the oldest alert of the place was raised; 0 when there is none or no time
// is known.
static long long
oldest_age(const web_snapshot &s, time_t now, bool waiting = false)
{
    long long oldest = -1;
    for (const auto &a : s.alerts) {
        if (a.waiting != waiting)
            continue;
        long long t = web_first_seen(s, a);
        if (t >= 0 && (oldest < 0 || t < oldest))
            oldest = t;
    }
    return oldest < 0 ? 0 : std::max(0LL, static_cast<long long>(now) - oldest);
}

// The server's figures by name; null when the server sent none.
static ojson
server_object(const web_snapshot &s)
{
    if (s.figures.empty())
        return nullptr;
    ojson o = ojson::object();
    for (const auto &[name, value] : s.figures)
        o[shown(name)] = value;
    return o;
}

// True for the figures that count events since the server started.
static bool
is_counter(const std::string &name)
{
    for (const char *prefix : {"received_", "refused_", "stored_"})
        if (name.rfind(prefix, 0) == 0)
            return true;
    for (const char *n : {"console_requests", "shutdown_requests", "acks_sent", "info_displaced",
                          "records_spilled", "records_replayed", "log_write_failures",
                          "overflow_append_failures", "table_saves", "connections_accepted"})
        if (name == n)
            return true;
    return false;
}

// A figure's name as a metric name: letters, digits and '_' only.
static bool
metric_name_ok(const std::string &name)
{
    if (name.empty())
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

std::string
stats_json(const web_snapshot &s, time_t now)
{
    ojson st = {
        {"up", s.up},
        {"error", shown(s.error)},
        {"fetched", s.fetched == 0 ? ojson(nullptr) : ojson(static_cast<long long>(s.fetched))},
        {"table", counts_object(console_count_states(s.alerts))},
        {"waiting", counts_object(console_count_states(s.alerts, true))},
        {"oldest_alert_age_seconds", oldest_age(s, now)},
        {"server", server_object(s)},
        {"polls", s.polls},
        {"poll_errors", s.poll_errors},
        {"last_poll_seconds", s.last_poll_seconds},
    };
    return dump(st);
}

// A sample value as Prometheus reads it.
static std::string
num(double v)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

static void
family(std::string &out, const char *name, const char *type, const char *help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

std::string
metrics_text(const web_snapshot &s, time_t now)
{
    std::string out;
    family(out, "tarrow_up", "gauge", "1 when the last poll of the board succeeded, else 0.");
    if (s.boards.empty())
        out += "tarrow_up " + std::string(s.up ? "1" : "0") + "\n";
    for (const web_board &b : s.boards)
        out += "tarrow_up{board=\"" + board_name(b.place) + "\"} " + (b.up ? "1" : "0") + "\n";
    if (!s.boards.empty()) {
        family(out, "tarrow_boards_divergent_alerts", "gauge",
               "Alerts not the same on every board: missing on one, acknowledged on one only, "
               "or of another state.");
        out += "tarrow_boards_divergent_alerts " + std::to_string(snapshot_divergent(s)) + "\n";
        family(out, "tarrow_boards_pending_actions", "gauge",
               "Operators' actions waiting for a board that could not be reached.");
        out += "tarrow_boards_pending_actions " + std::to_string(s.pending.size()) + "\n";
    }
    // Counts of a board that cannot be reached would pass for current ones: left out.
    if (s.up) {
        console_counts c = console_count_states(s.alerts);
        family(out, "tarrow_alerts", "gauge", "Alerts on the board by place and state.");
        const std::pair<const char *, int> states[] = {
            {"critical", c.critical}, {"warning", c.warning}, {"info", c.info},
            {"acked", c.acked}};
        for (const auto &[state, n] : states)
            out += "tarrow_alerts{place=\"table\",state=\"" + std::string(state) + "\"} " +
                   std::to_string(n) + "\n";
        console_counts w = console_count_states(s.alerts, true);
        const std::pair<const char *, int> waiting[] = {
            {"critical", w.critical}, {"warning", w.warning}, {"info", w.info},
            {"acked", w.acked}};
        for (const auto &[state, n] : waiting)
            out += "tarrow_alerts{place=\"waiting\",state=\"" + std::string(state) + "\"} " +
                   std::to_string(n) + "\n";
        family(out, "tarrow_oldest_alert_age_seconds", "gauge",
               "Age of the oldest alert by place, 0 when there is none.");
        out += "tarrow_oldest_alert_age_seconds{place=\"table\"} " +
               std::to_string(oldest_age(s, now)) + "\n";
        out += "tarrow_oldest_alert_age_seconds{place=\"waiting\"} " +
               std::to_string(oldest_age(s, now, true)) + "\n";
        // The server's own counts since its start, and the age of its oldest waiting record.
        for (const auto &[name, value] : s.figures) {
            if (!metric_name_ok(name))
                continue;
            if (is_counter(name)) {
                std::string metric = "tarrow_server_" + name + "_total";
                family(out, metric.c_str(), "counter", "Counted by tarrowd since its start.");
                out += metric + " " + std::to_string(value) + "\n";
            } else if (name == "waiting_oldest_age_seconds") {
                family(out, "tarrow_server_waiting_oldest_age_seconds", "gauge",
                       "Age of the oldest record waiting in the overflow file, 0 when none.");
                out += "tarrow_server_waiting_oldest_age_seconds " + std::to_string(value) +
                       "\n";
            }
        }
    }
    family(out, "tarrow_web_poll_duration_seconds", "histogram",
           "Time a poll of the board took, failed ones included.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < s.poll_buckets.size(); i++) {
        cumulative += s.poll_buckets[i];
        std::string le = i < POLL_BUCKETS.size() ? num(POLL_BUCKETS[i]) : "+Inf";
        out += "tarrow_web_poll_duration_seconds_bucket{le=\"" + le + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    out += "tarrow_web_poll_duration_seconds_sum " + num(s.poll_seconds_sum) + "\n";
    out += "tarrow_web_poll_duration_seconds_count " + std::to_string(s.polls) + "\n";
    family(out, "tarrow_web_poll_errors_total", "counter", "Polls of the board that failed.");
    out += "tarrow_web_poll_errors_total " + std::to_string(s.poll_errors) + "\n";
    family(out, "tarrow_web_last_success_timestamp_seconds", "gauge",
           "When the board was last fetched, in seconds since the epoch; 0 never.");
    out += "tarrow_web_last_success_timestamp_seconds " +
           std::to_string(static_cast<long long>(s.fetched)) + "\n";
    return out;
}

std::string
entity_tag(std::string_view body)
{
    // FNV-1a, 64 bits: a change of any byte changes the tag.
    std::uint64_t h = 14695981039346656037ULL;
    for (char ch : body) {
        h ^= static_cast<unsigned char>(ch);
        h *= 1099511628211ULL;
    }
    char buf[24];
    snprintf(buf, sizeof buf, "\"%016llx\"", static_cast<unsigned long long>(h));
    return buf;
}

bool
etag_matches(std::string_view header, std::string_view tag)
{
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t comma = header.find(',', at);
        std::string_view t = header.substr(at, comma == std::string_view::npos ? header.npos
                                                                             : comma - at);
        while (!t.empty() && t.front() == ' ')
            t.remove_prefix(1);
        while (!t.empty() && t.back() == ' ')
            t.remove_suffix(1);
        if (t.substr(0, 2) == "W/")
            t.remove_prefix(2);
        if (t == "*" || t == tag)
            return true;
        if (comma == std::string_view::npos)
            break;
        at = comma + 1;
    }
    return false;
}

const console_alert *
find_alert(const std::vector<console_alert> &alerts, std::string_view host, std::string_view key)
{
    for (const auto &a : alerts)
        if (shown(console_trim(a.hostname)) == host && shown(console_trim(a.key)) == key)
            return &a;
    return nullptr;
}

// Printing the timeline and the board, as aligned text lines or as JSON.
#include "history/report.h"

#include <cstring>

#include <nlohmann/json.hpp>

using json = nlohmann::ordered_json;

struct state_name {
    std::string_view name;
    alert_state state;
};
constexpr state_name STATE_NAMES[] = {
    {"critical", alert_state::critical}, {"warning", alert_state::warning},
    {"info", alert_state::info},         {"acked", alert_state::acked},
    {"acknowledged", alert_state::acked}, {"waiting", alert_state::waiting},
    {"closed", alert_state::closed},
};

static const char *
severity_word(const char *t)
{
    if (t[0] == 'A' && t[1] == 'C')
        return "critical";
    if (t[0] == 'A' && t[1] == 'W')
        return "warning";
    if (t[0] == 'I' && t[1] == 'O')
        return "info";
    return nullptr;
}

// The request a queued record or a stray clear stands for.
static const char *
request_word(const char *t)
{
    if (t[0] == 'A' && t[1] == 'K')
        return "clear";
    if (t[0] == 'K' && t[1] == 'A')
        return "acknowledgement";
    if (t[0] == 'K' && t[1] == 'H')
        return "clear-host";
    if (t[0] == 'A' && t[1] == 'D')
        return "delete";
    if (t[0] == 'A' && t[1] == 'C')
        return "acknowledgement";
    if (t[0] == 'L' && t[1] == 'O')
        return "logonly";
    if (t[0] == 'P' && t[1] == 'A')
        return "acknowledge";
    if (t[0] == 'P' && t[1] == 'U')
        return "unacknowledge";
    if (t[0] == 'P' && t[1] == 'D')
        return "delete";
    return "request";
}

static const char *
event_name(change_kind k)
{
    switch (k) {
    case change_kind::raised: return "raised";
    case change_kind::replaced: return "replaced";
    case change_kind::spilled: return "spilled";
    case change_kind::spill_failed: return "spill-failed";
    case change_kind::displaced: return "displaced";
    case change_kind::acknowledged: return "acknowledged";
    case change_kind::ack_expired: return "ack-expired";
    case change_kind::unacknowledged: return "unacknowledged";
    case change_kind::cleared: return "cleared";
    case change_kind::deleted: return "deleted";
    case change_kind::kk_deleted: return "delete-through";
    case change_kind::host_cleared: return "host-cleared";
    case change_kind::flushed: return "flushed";
    case change_kind::restart_dropped: return "restart-dropped";
    case change_kind::queued: return "queued";
    case change_kind::pending: return "pending";
    case change_kind::not_open: return "not-open";
    case change_kind::log_only: return "log-only";
    }
    return "";
}

static const char *
state_word(alert_state s)
{
    switch (s) {
    case alert_state::critical: return "critical";
    case alert_state::warning: return "warning";
    case alert_state::info: return "info";
    case alert_state::acked: return "acked";
    case alert_state::waiting: return "waiting";
    case alert_state::closed: return "closed";
    case alert_state::unchanged: return nullptr;
    }
    return nullptr;
}

// The length of the UTF-8 sequence at p (at most n bytes), or 0 when it is not one.
static std::size_t
utf8_length(const unsigned char *p, std::size_t n)
{
    std::size_t len = p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 ? 2 : 0;
    if (len == 0 || len > n)
        return 0;
    for (std::size_t i = 1; i < len; i++)
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    return len;
}

std::string
visible(std::string_view s)
{
    // A terminal acts on control bytes: C0, DEL and C1, raw or UTF-8 encoded, become '?'.
    std::string v;
    v.reserve(s.size());
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = p[i];
        std::size_t len = c >= 0x80 ? utf8_length(p + i, s.size() - i) : 1;
        if (c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f) ||
            (len == 2 && c == 0xc2 && p[i + 1] <= 0x9f)) {
            v += '?';
            i += len == 2 ? 2 : 1;
        } else {
            v.append(s.data() + i, len == 0 ? 1 : len);
            i += len == 0 ? 1 : len;
        }
    }
    return v;
}

// " by WHO until TIME: NOTE", as far as the log named them.
static std::string
ack_details(const board_alert &a)
{
    std::string s;
    if (!a.who.empty())
        s += " by " + visible(a.who);
    if (a.until != 0)
        s += " until " + stamp_text(a.until, false);
    if (!a.note.empty())
        s += ": " + visible(a.note);
    return s;
}

// "SEVERITY", or "acknowledged SEVERITY".
static std::string
standing(const board_alert &a)
{
    const char *sev = severity_word(a.request);
    std::string s = sev != nullptr ? sev : "?";
    return a.acked ? "acknowledged " + s : s;
}

// "2026-12-07T18:52" from the record's "20261207 18:52".
static std::string
record_datetime(const char *d)
{
    std::string s(d, LEN_DATETIME);
    if (s.size() == 14 && s[8] == ' ')
        return s.substr(0, 4) + "-" + s.substr(4, 2) + "-" + s.substr(6, 2) + "T" + s.substr(9);
    return trimmed(d, LEN_DATETIME);
}

static json
alert_json(const board_alert &a)
{
    const char *sev = severity_word(a.request);
    json j = {
        {"host", trimmed(a.host, LEN_HOSTNAME)},
        {"key", trimmed(a.key, LEN_KEY)},
    };
    if (sev != nullptr) {
        j["state"] = a.acked ? "acked" : sev;
        j["severity"] = sev;
        j["datetime"] = record_datetime(a.datetime);
        j["text"] = a.text;
        j["persistent"] = a.persistent == 'Y'   ? json(true)
                          : a.persistent == 'N' ? json(false)
                                                : json(nullptr);
    } else {
        j["request"] = request_word(a.request);
        if (!a.text.empty())
            j["text"] = a.text;
    }
    if (a.acked) {
        j["acknowledged"] = {
            {"by", a.who.empty() ? json(nullptr) : json(a.who)},
            {"note", a.note},
            {"until", a.until != 0 ? json(stamp_text(a.until, true)) : json(nullptr)},
        };
    }
    return j;
}

static std::string
dump(const json &j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

static std::string
column(const char *p, std::size_t n)
{
    return visible(std::string_view(p, n));
}

static void
print_change(timeline &t, const change &c)
{
    if (t.json)
        fprintf(t.out, "%s%s", t.printed == 0 ? "[\n" : ",\n", change_json(c).c_str());
    else
        fprintf(t.out, "%s\n", change_text(c).c_str());
    t.printed++;
}

static bool
in_range(const timeline &t, const change &c)
{
    if ((t.since != 0 && c.stamp < t.since) || (t.until != 0 && c.stamp > t.until))
        return false;
    if (t.states == ALL_STATES)
        return true;
    return c.state != alert_state::unchanged && (t.states & state_bit(c.state)) != 0;
}

static bool
same_alert(const change &a, const change &b)
{
    return memcmp(a.alert.host, b.alert.host, LEN_HOSTNAME) == 0 &&
           memcmp(a.alert.key, b.alert.key, LEN_KEY) == 0;
}

std::string
stamp_text(stamp_t s, bool iso)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld%c%02lld:%02lld:%02lld", s / 10000000000LL,
             s / 100000000 % 100, s / 1000000 % 100, iso ? 'T' : ' ', s / 10000 % 100,
             s / 100 % 100, s % 100);
    return buf;
}

unsigned
parse_states(std::string_view list)
{
    unsigned mask = 0;
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        unsigned bit = 0;
        for (const state_name &s : STATE_NAMES)
            if (s.name == name)
                bit = state_bit(s.state);
        if (bit == 0)
            return 0;
        mask |= bit;
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return mask;
}

std::string
change_text(const change &c)
{
    const board_alert &a = c.alert;
    std::string what;
    const char *sev = severity_word(a.request);
    std::string severity = sev != nullptr ? sev : "?";
    switch (c.kind) {
    case change_kind::raised:
        what = "raised " + severity + ": " + visible(a.text);
        break;
    case change_kind::replaced:
        what = "replaced, now " + severity + ": " + visible(a.text);
        break;
    case change_kind::spilled:
        what = "raised " + severity + " into a full table, waiting in the overflow file: " +
               visible(a.text);
        break;
    case change_kind::spill_failed:
        what = "lost: the overflow file could not store it";
        break;
    case change_kind::displaced:
        what = "displaced from the full table by a new alert";
        break;
    case change_kind::acknowledged:
        what = standing(a) + ack_details(a);
        break;
    case change_kind::ack_expired:
        what = "acknowledgement" + (a.who.empty() ? "" : " by " + visible(a.who)) +
               " expired, " + severity + " again";
        break;
    case change_kind::unacknowledged:
        what = "unacknowledged by " + visible(c.who2) + " (acknowledged by " + visible(a.who) +
               "), " + severity + " again";
        break;
    case change_kind::cleared:
        what = "cleared";
        break;
    case change_kind::deleted:
        what = "deleted from a console";
        if (!c.who2.empty())
            what += " by " + visible(c.who2);
        if (!c.note.empty())
            what += ": " + visible(c.note);
        break;
    case change_kind::kk_deleted:
        what = "deleted from a console with every alert listed before it";
        break;
    case change_kind::host_cleared:
        what = "cleared with every alert of its host";
        break;
    case change_kind::flushed:
        what = "dropped with the whole table (the server emptied it)";
        break;
    case change_kind::restart_dropped:
        what = "dropped: the server restarted without its saved table";
        break;
    case change_kind::queued:
        what = std::string(request_word(a.request)) + " waiting in the overflow file";
        break;
    case change_kind::pending:
        what = std::string(request_word(a.request)) + " pending by " + visible(c.who2) +
               ", behind the alert's raise in the overflow file";
        break;
    case change_kind::not_open:
        what = std::string(request_word(a.request)) + " of an alert that is not open";
        break;
    case change_kind::log_only:
        what = "logged: " + visible(a.text);
        break;
    }
    if (c.replayed)
        what += " (read back from the overflow file)";
    return stamp_text(c.stamp, false) + " " + column(a.host, LEN_HOSTNAME) + " " +
           column(a.key, LEN_KEY) + " " + what;
}

std::string
change_json(const change &c)
{
    json j = {{"time", stamp_text(c.stamp, true)}, {"event", event_name(c.kind)}};
    const char *state = state_word(c.state);
    json a = alert_json(c.alert);
    for (auto &item : a.items())
        if (item.key() != "state")
            j[item.key()] = item.value();
    j["state"] = state != nullptr ? json(state) : json(nullptr);
    if (c.kind == change_kind::ack_expired || c.kind == change_kind::unacknowledged)
        j["acknowledged_by"] = c.alert.who;
    if (c.kind == change_kind::unacknowledged)
        j["unacknowledged_by"] = c.who2;
    if (c.kind == change_kind::deleted && !c.who2.empty()) {
        j["deleted_by"] = c.who2;
        j["note"] = c.note;
    }
    if (c.kind == change_kind::pending)
        j["by"] = c.who2;
    if (c.replayed)
        j["replayed"] = true;
    return dump(j);
}

void
timeline_add(timeline &t, const change &c)
{
    if (!in_range(t, c))
        return;
    if (t.holding) {
        bool details = c.kind == change_kind::acknowledged && c.stamp == t.held.stamp &&
                       same_alert(c, t.held);
        t.holding = false;
        if (!details)
            print_change(t, t.held);
    }
    if (c.kind == change_kind::acknowledged && c.alert.who.empty()) {
        t.held = c;
        t.holding = true;
        return;
    }
    print_change(t, c);
}

void
timeline_finish(timeline &t)
{
    if (t.holding)
        print_change(t, t.held);
    t.holding = false;
    if (t.json)
        fprintf(t.out, "%s]\n", t.printed == 0 ? "[" : "\n");
}

void
print_board(FILE *out, const board &b, stamp_t at, bool json_out, unsigned states,
            const std::string &want_host, const std::string &want_key)
{
    auto wanted = [&](const board_alert &a, alert_state s) {
        return (want_host.empty() || memcmp(want_host.data(), a.host, LEN_HOSTNAME) == 0) &&
               (want_key.empty() || memcmp(want_key.data(), a.key, LEN_KEY) == 0) &&
               (states & state_bit(s)) != 0;
    };
    // A console action pending behind a waiting alert ("acknowledge pending by alice").
    auto pending = [](const board_alert &a) { return a.request[0] == 'P' && !a.who.empty(); };
    auto listed = [&](const board_alert &a) {
        return (severity_word(a.request) != nullptr || pending(a)) &&
               wanted(a, alert_state::waiting);
    };
    // Printed as it is found, as the file may hold millions: the counts come first.
    int shown = 0, queued = 0, lines = 0;
    for (const auto &slot : b.table)
        shown += wanted(*slot, board_alert_state(*slot)) ? 1 : 0;
    waiting_each(b.file, [&](const board_alert &a) {
        if (listed(a)) {
            lines++;
            queued += pending(a) ? 0 : 1;
        }
    });
    // An alert as a member of a list two levels in.
    auto dumped = [](const json &j) {
        std::string s = j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        for (std::size_t i = s.find('\n'); i != std::string::npos; i = s.find('\n', i + 1))
            s.insert(i + 1, "    ");
        return s;
    };
    if (json_out)
        fprintf(out, "{\n  \"at\": \"%s\",\n  \"alerts\": [", stamp_text(at, true).c_str());
    else
        fprintf(out, "board at %s: %d alert%s\n", stamp_text(at, false).c_str(), shown,
                shown == 1 ? "" : "s");
    int n = 0;
    for (const auto &slot : b.table) {
        const board_alert &a = *slot;
        if (!wanted(a, board_alert_state(a)))
            continue;
        if (json_out) {
            json j = alert_json(a);
            j["since"] = stamp_text(a.since, true);
            fprintf(out, "%s\n    %s", n++ == 0 ? "" : ",", dumped(j).c_str());
            continue;
        }
        std::string details = ack_details(a);
        fprintf(out, "%s %s %s since %s: %s\n%s%s%s", column(a.host, LEN_HOSTNAME).c_str(),
                column(a.key, LEN_KEY).c_str(), standing(a).c_str(),
                stamp_text(a.since, false).c_str(), visible(a.text).c_str(),
                details.empty() ? "" : "    acknowledged", details.c_str(),
                details.empty() ? "" : "\n");
    }
    if (json_out)
        fprintf(out, "%s],\n  \"waiting\": [", n == 0 ? "" : "\n  ");
    else if (lines > 0)
        fprintf(out, "waiting in the overflow file: %d\n", queued);
    n = 0;
    waiting_each(b.file, [&](const board_alert &a) {
        if (!listed(a))
            return;
        if (json_out) {
            json j = alert_json(a);
            if (pending(a))
                j["by"] = a.who;
            fprintf(out, "%s\n    %s", n++ == 0 ? "" : ",", dumped(j).c_str());
        } else if (pending(a)) {
            fprintf(out, "%s %s %s pending by %s\n", column(a.host, LEN_HOSTNAME).c_str(),
                    column(a.key, LEN_KEY).c_str(), request_word(a.request),
                    visible(a.who).c_str());
        } else {
            fprintf(out, "%s %s %s: %s\n", column(a.host, LEN_HOSTNAME).c_str(),
                    column(a.key, LEN_KEY).c_str(), severity_word(a.request),
                    visible(a.text).c_str());
        }
    });
    if (json_out)
        fprintf(out, "%s]\n}\n", n == 0 ? "" : "\n  ");
}

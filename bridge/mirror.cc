// The mirror: the board's alerts turned into Alertmanager alerts and silences, with what the
// bridge posted before, so that changes end old alerts and acknowledgements become silences.
#include "bridge/mirror.h"

#include <cstdio>
#include <cstring>
#include <set>

#include "common/text.h"

using json = nlohmann::json;

std::string
json_text(const json &j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json
json_read(const std::string &text, std::string &error)
{
    if (text.size() > JSON_MAX_BYTES) {
        error = "a reply of " + std::to_string(text.size()) + " bytes, more than " +
                std::to_string(JSON_MAX_BYTES) + " allowed";
        return json(json::value_t::discarded);
    }
    // The nesting outside strings, counted before the parser sees any of it.
    int depth = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > JSON_MAX_DEPTH) {
                error = "JSON nested deeper than " + std::to_string(JSON_MAX_DEPTH) + " levels";
                return json(json::value_t::discarded);
            }
        } else if (c == ']' || c == '}') {
            depth--;
        }
    }
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded())
        error = "not JSON";
    return j;
}

// The text as valid UTF-8: board fields may hold any byte, Alertmanager takes UTF-8 only.
// Cleaning it once keeps labels equal to the matchers read back from Alertmanager.
static std::string
utf8_clean(const std::string &s)
{
    json back = json::parse(json_text(json(s)), nullptr, false);
    return back.is_string() ? back.get<std::string>() : std::string();
}

std::string
rfc3339(time_t t)
{
    struct tm tm {};
    localtime_r(&t, &tm);
    char buf[64];
    std::size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    long off = tm.tm_gmtoff;
    char sign = off < 0 ? '-' : '+';
    off = off < 0 ? -off : off;
    snprintf(buf + n, sizeof buf - n, "%c%02ld:%02ld", sign, off / 3600, off / 60 % 60);
    return buf;
}

// Reads exactly n digits at s; -1 when they are not all digits.
static int
digits(const char *s, int n)
{
    int v = 0;
    for (int i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

time_t
rfc3339_parse(const std::string &s)
{
    // 2024-03-01T14:05:00[.fraction](Z|+hh:mm|-hh:mm)
    if (s.size() < 20 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != 't') ||
        s[13] != ':' || s[16] != ':')
        return -1;
    const char *p = s.c_str();
    struct tm tm {};
    int f[6] = {digits(p, 4), digits(p + 5, 2), digits(p + 8, 2), digits(p + 11, 2),
                digits(p + 14, 2), digits(p + 17, 2)};
    for (int v : f)
        if (v < 0)
            return -1;
    tm.tm_year = f[0] - 1900;
    tm.tm_mon = f[1] - 1;
    tm.tm_mday = f[2];
    tm.tm_hour = f[3];
    tm.tm_min = f[4];
    tm.tm_sec = f[5];
    std::size_t i = 19;
    if (i < s.size() && s[i] == '.')
        for (i++; i < s.size() && s[i] >= '0' && s[i] <= '9'; i++)
            ;
    long off = 0;
    if (i + 1 == s.size() && (s[i] == 'Z' || s[i] == 'z')) {
        off = 0;
    } else if (i + 6 == s.size() && (s[i] == '+' || s[i] == '-') && s[i + 3] == ':') {
        int h = digits(p + i + 1, 2), m = digits(p + i + 4, 2);
        if (h < 0 || m < 0)
            return -1;
        off = (h * 3600L + m * 60L) * (s[i] == '-' ? -1 : 1);
    } else {
        return -1;
    }
    time_t t = timegm(&tm);
    return t == -1 ? -1 : t - off;
}

time_t
raised_parse(const std::string &s)
{
    struct tm tm;
    if (!console_split_datetime(s, tm) || tm.tm_year < 70)
        return -1;
    return mktime(&tm);
}

static std::string
describe(const mirrored_alert &a)
{
    return a.host + " " + a.key + " (" + a.severity + ")";
}

static void
resolve(mirror_state &st, mirrored_alert a, time_t now, std::vector<std::string> &log)
{
    log.push_back("resolved " + describe(a));
    a.ends = now;
    st.resolved.push_back(std::move(a));
}

std::vector<std::string>
mirror_update(mirror_state &st, const mirror_config &cfg, const std::vector<board_alert> *board,
              const std::string &error, time_t now)
{
    std::vector<std::string> log;
    if (board == nullptr) {
        if (!st.board_down) {
            st.board_down = true;
            st.down_since = now;
            log.push_back("board " + cfg.board + " lost: " + error);
        }
        st.down_error = error;
        return log;
    }
    if (st.board_down) {
        mirrored_alert down;
        down.host = cfg.board;
        down.key = BOARD_DOWN_NAME;
        down.severity = "critical";
        down.state = "critical";
        down.starts = st.down_since;
        down.ends = now;
        st.resolved.push_back(down);
        st.board_down = false;
        st.down_error.clear();
        log.push_back("board " + cfg.board + " regained");
    }

    std::set<std::pair<std::string, std::string>> seen;
    for (const board_alert &b : *board) {
        const char *state = alert_state_word(b.type);   // nullptr: a type not mirrored
        if (state == nullptr)
            continue;
        mirrored_alert a;
        a.host = utf8_clean(b.host);
        a.key = utf8_clean(b.key);
        std::pair<std::string, std::string> id{a.host, a.key};
        if (!seen.insert(id).second)
            continue;
        a.state = state;
        a.text = utf8_clean(b.text);
        a.raised = utf8_clean(b.datetime);
        a.place = b.place.empty() ? "board" : b.place;
        auto old = st.alerts.find(id);
        bool acked = a.state == "acked";
        const char *kept = b.ack && b.ack_severity != "AK" ? alert_state_word(b.ack_severity)
                                                            : nullptr;
        if (!acked)
            a.severity = a.state;
        else if (kept != nullptr)
            a.severity = kept;      // what the board kept from before the ack
        else
            a.severity = old != st.alerts.end() ? old->second.severity : "unknown";
        if (acked && b.ack) {
            a.ack = true;
            a.ack_by = utf8_clean(b.ack_by);
            a.ack_note = utf8_clean(b.ack_note);
            a.ack_since = static_cast<time_t>(b.ack_since);
            a.ack_until = static_cast<time_t>(b.ack_until);
        }
        time_t t = raised_parse(b.datetime);
        if (t == -1)
            t = old != st.alerts.end() ? old->second.starts : now;
        // Alertmanager refuses an alert that starts after it ends: a sender's clock ahead.
        a.starts = t > now ? now : t;
        if (old == st.alerts.end()) {
            log.push_back("fired " + describe(a));
            st.alerts.emplace(id, a);
            continue;
        }
        if (old->second.severity != a.severity) {
            resolve(st, old->second, now, log);
            log.push_back("fired " + describe(a));
        }
        old->second = a;
    }
    for (auto it = st.alerts.begin(); it != st.alerts.end();) {
        if (seen.count(it->first) != 0) {
            ++it;
            continue;
        }
        resolve(st, it->second, now, log);
        it = st.alerts.erase(it);
    }
    return log;
}

// Reads a string member; "" when it is missing or not a string.
static std::string
str(const json &j, const char *name)
{
    if (!j.is_object())
        return "";
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// True when the labels object holds every --label with its value.
static bool
has_labels(const json &labels, const mirror_config &cfg)
{
    for (const auto &[name, value] : cfg.labels)
        if (str(labels, name.c_str()) != value)
            return false;
    return true;
}

int
mirror_recover(mirror_state &st, const mirror_config &cfg, const json &list)
{
    if (!list.is_array())
        return 0;
    int taken = 0;
    for (const json &a : list) {
        if (!a.is_object() || !a.contains("labels") || !a.contains("annotations"))
            continue;
        const json &labels = a["labels"];
        const json &notes = a["annotations"];
        if (str(notes, "board") != cfg.board || !has_labels(labels, cfg))
            continue;
        mirrored_alert m;
        m.host = str(labels, "instance");
        m.key = str(labels, "alertname");
        m.severity = str(labels, "severity");
        m.starts = rfc3339_parse(str(a, "startsAt"));
        if (m.key.empty() || m.severity.empty() || m.starts == -1)
            continue;
        if (m.key == BOARD_DOWN_NAME && m.host == cfg.board) {
            if (!st.board_down) {
                st.board_down = true;
                st.down_since = m.starts;
                taken++;
            }
            continue;
        }
        std::pair<std::string, std::string> id{m.host, m.key};
        if (st.alerts.count(id) != 0)
            continue;
        m.state = str(notes, "state");
        m.text = str(notes, "summary");
        m.raised = str(notes, "raised");
        m.place = str(notes, "place");
        st.alerts.emplace(id, m);
        taken++;
    }
    return taken;
}

static json
alert_json(const mirrored_alert &a, const mirror_config &cfg, time_t ends)
{
    json labels = json::object();
    labels["alertname"] = a.key;
    labels["instance"] = a.host;
    labels["severity"] = a.severity;
    for (const auto &[name, value] : cfg.labels)
        labels[name] = value;
    json notes = json::object();
    notes["summary"] = a.text;
    notes["state"] = a.state;
    notes["raised"] = a.raised;
    notes["board"] = cfg.board;
    // An annotation, not a label: an alert keeps its identity when it moves onto the board.
    if (!a.place.empty())
        notes["place"] = a.place;
    if (a.state == "acked" && a.ack)
        notes["acknowledged"] = "acknowledged " + a.severity + " by " + a.ack_by +
                                (a.ack_until != 0 ? " until " + rfc3339(a.ack_until) : "") +
                                (a.ack_note.empty() ? "" : ": " + a.ack_note);
    return json{{"labels", labels},
                {"annotations", notes},
                {"startsAt", rfc3339(a.starts)},
                {"endsAt", rfc3339(ends)}};
}

json
mirror_alerts(const mirror_state &st, const mirror_config &cfg, time_t now)
{
    json out = json::array();
    time_t ends = now + 4L * cfg.interval;
    for (const auto &[id, a] : st.alerts)
        out.push_back(alert_json(a, cfg, ends));
    if (st.board_down) {
        mirrored_alert down;
        down.host = cfg.board;
        down.key = BOARD_DOWN_NAME;
        down.severity = "critical";
        down.state = "critical";
        down.text = "the tarrow board at " + cfg.board + " cannot be reached: " +
                    utf8_clean(st.down_error);
        down.starts = st.down_since;
        char raised[32];
        struct tm tm {};
        localtime_r(&st.down_since, &tm);
        strftime(raised, sizeof raised, "%Y%m%d %H:%M", &tm);
        down.raised = raised;
        out.push_back(alert_json(down, cfg, ends));
    }
    for (const mirrored_alert &a : st.resolved)
        out.push_back(alert_json(a, cfg, a.ends));
    return out;
}

void
mirror_posted(mirror_state &st, const mirror_config &cfg, bool all_ok, time_t now)
{
    // An alert posted before it left the board ends four intervals after that post at most.
    std::erase_if(st.resolved, [&](const mirrored_alert &a) {
        return all_ok || now >= a.ends + 4L * cfg.interval;
    });
}

// The matchers of this alert's silence: alertname, instance, then every --label.
static json
matchers(const mirror_config &cfg, const std::string &host, const std::string &key)
{
    auto one = [](const std::string &name, const std::string &value) {
        return json{{"name", name}, {"value", value}, {"isRegex", false}, {"isEqual", true}};
    };
    json m = json::array({one("alertname", key), one("instance", host)});
    for (const auto &[name, value] : cfg.labels)
        m.push_back(one(name, value));
    return m;
}

// The end of every comment of this bridge's silences for this board: what tells them apart
// from the silences people make, whoever the silence says created it.
static std::string
silence_comment(const mirror_config &cfg)
{
    return "acknowledged on the tarrow board " + cfg.board;
}

// The comment of an alert's silence: its ack's note first, when it has one.
static std::string
silence_comment(const mirror_config &cfg, const mirrored_alert &a)
{
    return a.ack_note.empty() ? silence_comment(cfg) : a.ack_note + " | " + silence_comment(cfg);
}

static std::string
silence_creator(const mirrored_alert &a)
{
    return a.ack && !a.ack_by.empty() ? a.ack_by : SILENCE_CREATOR;
}

static bool
is_own_comment(const std::string &comment, const mirror_config &cfg)
{
    std::string tail = " | " + silence_comment(cfg);
    return comment == silence_comment(cfg) ||
           (comment.size() > tail.size() &&
            comment.compare(comment.size() - tail.size(), tail.size(), tail) == 0);
}

json
mirror_silence(const mirror_config &cfg, const mirrored_alert &a, time_t now)
{
    time_t ends = a.ack_until > now ? a.ack_until : now + SILENCE_SECONDS;
    return json{{"matchers", matchers(cfg, a.host, a.key)},
                {"startsAt", rfc3339(now)},
                {"endsAt", rfc3339(ends)},
                {"createdBy", silence_creator(a)},
                {"comment", silence_comment(cfg, a)}};
}

std::vector<own_silence>
mirror_own_silences(const json &list, const mirror_config &cfg, bool expired)
{
    std::vector<own_silence> out;
    if (!list.is_array())
        return out;
    for (const json &s : list) {
        if (!is_own_comment(str(s, "comment"), cfg))
            continue;
        if (!s.contains("status") || !s.contains("matchers") || !s["matchers"].is_array())
            continue;
        std::string state = str(s["status"], "state");
        bool active = state == "active" || state == "pending";
        if (expired ? state != "expired" : !active)
            continue;
        // Exactly the matchers the bridge makes: each one an equality, no other names.
        json labels = json::object();
        bool plain = true;
        for (const json &m : s["matchers"]) {
            std::string name = str(m, "name");
            bool regex = m.is_object() && m.contains("isRegex") && m["isRegex"] == true;
            bool equal = !m.is_object() || !m.contains("isEqual") || m["isEqual"] == true;
            if (name.empty() || regex || !equal || labels.contains(name))
                plain = false;
            else
                labels[name] = str(m, "value");
        }
        if (!plain || labels.size() != cfg.labels.size() + 2 || !has_labels(labels, cfg) ||
            !labels.contains("alertname") || !labels.contains("instance"))
            continue;
        own_silence o;
        o.id = str(s, "id");
        o.host = labels["instance"].get<std::string>();
        o.key = labels["alertname"].get<std::string>();
        o.starts = str(s, "startsAt");
        o.starts_at = rfc3339_parse(o.starts);
        o.ends = rfc3339_parse(str(s, "endsAt"));
        o.created_by = str(s, "createdBy");
        o.comment = str(s, "comment");
        o.expired = expired;
        if (!o.id.empty())
            out.push_back(o);
    }
    return out;
}

// Seconds by which times read back from Alertmanager may differ from the ones sent.
static constexpr time_t SLACK = 2;

// True when the silence was made by this bridge for this very ack: by its operator, with
// its note, after it was made, and ending at its expiry.
static bool
silence_of_ack(const mirror_config &cfg, const own_silence &s, const mirrored_alert &a)
{
    if (s.created_by != silence_creator(a) || s.comment != silence_comment(cfg, a))
        return false;
    if (a.ack && s.starts_at != -1 && s.starts_at < a.ack_since - SLACK)
        return false;       // made for an earlier ack
    if (s.expired || a.ack_until == 0)
        return true;
    return s.ends >= a.ack_until - SLACK && s.ends <= a.ack_until + SLACK;
}

// What tells one ack from the next: a new ack, another operator, note or expiry.
static std::string
ack_signature(const mirrored_alert &a)
{
    return a.host + '\0' + a.key + '\0' + std::to_string(a.ack_since) + '\0' + a.ack_by +
           '\0' + a.ack_note + '\0' + std::to_string(a.ack_until);
}

silence_plan
mirror_silences(mirror_state &st, const mirror_config &cfg,
                const std::vector<own_silence> &silences, const std::vector<own_silence> &ended,
                time_t now)
{
    silence_plan plan;
    std::set<std::pair<std::string, std::string>> kept;
    for (const own_silence &s : silences) {
        std::pair<std::string, std::string> id{s.host, s.key};
        auto a = st.alerts.find(id);
        bool wanted = a != st.alerts.end() && a->second.state == "acked" &&
                      a->second.ack_note.rfind(SILENCE_ACK_PREFIX, 0) != 0;
        if (st.board_down && !wanted)
            continue;
        // A silence of another ack (or none) goes; a new one is made for the ack of now. So
        // does one that another bridge's silence of less id already covers.
        auto other = st.silenced_elsewhere.find(id);
        if (!wanted || !silence_of_ack(cfg, s, a->second) ||
            (other != st.silenced_elsewhere.end() && other->second < s.id) ||
            !kept.insert(id).second) {
            plan.expire.push_back(s);
            continue;
        }
        if (a->second.ack_until == 0 && s.ends - now < SILENCE_SECONDS / 2)
            plan.renew.push_back(s);
    }
    std::set<std::string> refused;
    for (const auto &[id, a] : st.alerts) {
        if (a.state != "acked" || kept.count(id) != 0)
            continue;
        if (a.ack_note.rfind(SILENCE_ACK_PREFIX, 0) == 0 || st.silenced_elsewhere.count(id) != 0)
            continue;       // silenced already, by the silence the ack came from or another
        if (a.ack_until != 0 && a.ack_until <= now + SLACK)
            continue;       // the board ends this ack in a moment
        if (!a.ack) {
            plan.create.push_back(a);   // a board that does not say who acknowledged
            continue;
        }
        std::string sig = ack_signature(a);
        bool by_hand = st.silence_refused.count(sig) != 0;
        // A silence of this ack that ended before its time was expired by someone.
        for (const own_silence &s : ended) {
            if (by_hand || s.host != a.host || s.key != a.key || !silence_of_ack(cfg, s, a))
                continue;
            time_t planned = a.ack_until != 0 ? a.ack_until : s.starts_at + SILENCE_SECONDS;
            if (s.ends < planned - SLACK) {
                by_hand = true;
                if (st.silence_refused.count(sig) == 0)
                    plan.log.push_back("silence " + s.id + " of " + a.host + " " + a.key +
                                       " was expired in Alertmanager: not made again until "
                                       "the board's acknowledgement changes");
            }
        }
        if (by_hand) {
            refused.insert(sig);
            continue;
        }
        plan.create.push_back(a);
    }
    if (!st.board_down)
        st.silence_refused = std::move(refused);    // acks that changed or ended are forgotten
    return plan;
}

// The alert a silence selects and nothing else of the board: its matchers are equalities,
// each met by one of the alert's labels, alertname and instance among them. nullptr when the
// silence is broader, uses a regular expression or a negation, or names no alert we post.
static const mirrored_alert *
selected_alert(const mirror_state &st, const mirror_config &cfg, const json &silence)
{
    if (!silence.contains("matchers") || !silence["matchers"].is_array())
        return nullptr;
    std::map<std::string, std::string> labels;
    for (const json &m : silence["matchers"]) {
        std::string name = str(m, "name");
        bool regex = m.is_object() && m.contains("isRegex") && m["isRegex"] == true;
        bool equal = !m.is_object() || !m.contains("isEqual") || m["isEqual"] == true;
        if (name.empty() || regex || !equal || !labels.emplace(name, str(m, "value")).second)
            return nullptr;
    }
    auto name = labels.find("alertname"), host = labels.find("instance");
    if (name == labels.end() || host == labels.end())
        return nullptr;
    auto a = st.alerts.find({host->second, name->second});
    if (a == st.alerts.end())
        return nullptr;
    for (const auto &[n, v] : labels) {
        bool met = n == "alertname" || n == "instance" || (n == "severity" && v == a->second.severity);
        for (const auto &[cn, cv] : cfg.labels)
            met = met || (n == cn && v == cv);
        if (!met)
            return nullptr;
    }
    return &a->second;
}

std::vector<board_ack_change>
mirror_silence_acks(mirror_state &st, const mirror_config &cfg, const json &list, time_t now)
{
    std::vector<board_ack_change> out;
    if (st.board_down || !list.is_array())
        return out;
    std::set<std::string> live;                    // ids of silences active or pending
    std::set<std::pair<std::string, std::string>> acked;
    std::map<std::pair<std::string, std::string>, std::string> elsewhere;
    for (const json &s : list) {
        std::string id = str(s, "id");
        std::string state = s.contains("status") ? str(s["status"], "state") : "";
        if (state == "active" || state == "pending")
            live.insert(id);
        if (state != "active" || id.empty() || is_own_comment(str(s, "comment"), cfg))
            continue;
        const mirrored_alert *a = selected_alert(st, cfg, s);
        if (a == nullptr)
            continue;
        auto [other, fresh] = elsewhere.try_emplace({a->host, a->key}, id);
        if (!fresh && id < other->second)
            other->second = id;
        time_t ends = rfc3339_parse(str(s, "endsAt"));
        if (a->state == "acked" || ends <= now || !acked.insert({a->host, a->key}).second)
            continue;
        board_ack_change c;
        c.host = a->host;
        c.key = a->key;
        c.who = str(s, "createdBy").empty() ? "alertmanager" : str(s, "createdBy");
        c.note = SILENCE_ACK_PREFIX + id + "] " + str(s, "comment");
        c.until = ends;
        c.silence_id = id;
        out.push_back(std::move(c));
    }
    // Acknowledgements made for a silence that is gone go with it.
    const std::size_t prefix = strlen(SILENCE_ACK_PREFIX);
    for (const auto &[key, a] : st.alerts) {
        if (a.state != "acked" || a.ack_note.rfind(SILENCE_ACK_PREFIX, 0) != 0)
            continue;
        std::size_t close = a.ack_note.find(']', prefix);
        std::string id = a.ack_note.substr(prefix, close == std::string::npos ? std::string::npos
                                                                              : close - prefix);
        if (live.count(id) != 0)
            continue;
        board_ack_change c;
        c.ack = false;
        c.host = a.host;
        c.key = a.key;
        c.who = SILENCE_CREATOR;
        c.silence_id = id;
        out.push_back(std::move(c));
    }
    st.silenced_elsewhere = std::move(elsewhere);
    return out;
}

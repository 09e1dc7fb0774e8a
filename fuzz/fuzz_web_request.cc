// tarrow-web's reading of a request: the query string (as the HTTP server splits it), a JSON
// body of an action or a sign-in, the Cookie, Host, Origin and If-None-Match headers and the
// peer's address, separated by zero bytes in the input. Each goes through the functions the
// server calls, against a small board, and what they answer must hold together: a filtered
// listing is JSON naming alerts of the board, an action names the alert whose JSON shows the
// host and key it gave, only the right token signs in, a cookie's session is the one named,
// a range holds its own address.
#include <arpa/inet.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "fuzz/fuzz_util.h"
#include "web/auth.h"
#include "web/request.h"
#include "web/view.h"
#ifdef FUZZ_WEB_HISTORY
#include "history/events.h"
#endif

static const char SESSION_ID[] = "5e55104d";

static std::vector<console_alert>
board()
{
    std::vector<console_alert> alerts(4);
    const char *rows[][5] = {{"20261207185200", "web1           ", "DISK01        ", "AC", "disk full"},
                             {"20261207185300", "db2            ", "LOAD          ", "AW", "load\x01high"},
                             {"20261207185400", "m\xc3\xa4il          ", "Q\xff           ", "AK", "queue"},
                             {"20261207185500", "web1           ", "SSH           ", "IO", "a \"b\" \\c"}};
    for (std::size_t i = 0; i < alerts.size(); i++) {
        alerts[i].datetime = rows[i][0];
        alerts[i].hostname = rows[i][1];
        alerts[i].key = rows[i][2];
        alerts[i].type = rows[i][3];
        alerts[i].text = rows[i][4];
        alerts[i].persistent = 'N';
    }
    alerts[2].ack = {true, "al", "AC", "looking", 1796670000, 0};
    alerts[3].waiting = true;
    return alerts;
}

#ifdef FUZZ_WEB_HISTORY
// A day's log of the board's alerts, in the private directory.
static const char LOG[] =
    "Mon Dec  7 18:52:08 2026 ----: Server initialisation beginning\n"
    "Mon Dec  7 18:52:09 2026 AINF: web1            20261207 18:52 AC DISK01         Y disk full \n"
    "Mon Dec  7 18:53:00 2026 AINF: db2             20261207 18:53 AW LOAD           N load high \n"
    "Mon Dec  7 18:54:00 2026 AINF: Acknowledged web1            DISK01         AC by al until "
    "never: on it\n"
    "Mon Dec  7 18:55:00 2026 AINF: Deleted db2             LOAD           AW by bo: gone\n";

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    FUZZ_CHECK(fuzz_write_file("log_20261207.log", LOG, sizeof LOG - 1));
    // The log is read: the raise and the ack of web1 DISK01 are its history.
    std::string json, error;
    FUZZ_CHECK(alert_events_json(".", "web1", "DISK01", 7, 20, json, error) == 0);
    FUZZ_CHECK(nlohmann::json::parse(json, nullptr, false).size() == 2);
    return 0;
}
#endif

static nlohmann::json
parsed(const std::string &text)
{
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!j.is_discarded());
    return j;
}

// The listing and the board page with the request's filter.
static void
check_query(const std::string &query, const web_snapshot &snap)
{
    httplib::Params params;
    httplib::detail::parse_query_text(query, params);
    auto it = params.find("filter");
    std::string text = it == params.end() ? "" : it->second;
    filter_expr f;
    std::string error;
    web_view_options o;
    if (!filter_parse(text, f, error)) {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(parsed(board_json(snap, o, nullptr, error)).is_object());
        return;
    }
    nlohmann::json list = parsed(alerts_json(snap.alerts, false, &f));
    FUZZ_CHECK(list.is_array() && list.size() <= snap.alerts.size());
    for (const auto &a : list) {
        FUZZ_CHECK(a.is_object() && a["host"].is_string() && a["key"].is_string());
        FUZZ_CHECK(find_alert(snap.alerts, a["host"].get<std::string>(),
                              a["key"].get<std::string>()) != nullptr);
    }
    if (f.terms.empty())
        FUZZ_CHECK(list.size() == snap.alerts.size());
    std::string page = board_with_stale(board_json(snap, o, &f), true);
    nlohmann::json j = parsed(page);
    FUZZ_CHECK(j.is_object() && j["stale"] == true);
#ifdef FUZZ_WEB_HISTORY
    auto host = params.find("host"), key = params.find("key");
    std::string json;
    if (host != params.end() && key != params.end() &&
        alert_events_json(".", host->second, key->second, 7, 20, json, error) == 0) {
        nlohmann::json events = parsed(json);
        FUZZ_CHECK(events.is_array() && events.size() <= 20);
    }
#endif
}

// An action's body names the alert whose JSON shows its host and key; a sign-in passes with
// the one right name and token only.
static void
check_body(const std::string &body, const std::vector<console_alert> &alerts,
           const std::vector<web_user> &users)
{
    act_request r;
    std::string error;
    if (act_request_parse(body, r, error)) {
        FUZZ_CHECK(r.note.size() <= LEN_ACK_NOTE);
        if (const console_alert *a = find_alert(alerts, r.host, r.key)) {
            nlohmann::json shown = parsed(alerts_json({*a}, false));
            FUZZ_CHECK(shown.size() == 1 && shown[0]["host"] == r.host && shown[0]["key"] == r.key);
        }
    } else {
        FUZZ_CHECK(!error.empty());
    }
    std::string name, token;
    if (login_request_parse(body, name, token)) {
        bool right = name == "al" && token == "s3cret-token";
        FUZZ_CHECK((users_check(users, name, token) != nullptr) == right);
    }
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // query, body, Cookie, Host, Origin, If-None-Match, peer address
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::string part[7];
    for (std::string &p : part) {
        std::size_t z = in.find('\0');
        p = std::string(in.substr(0, z));
        in = z == std::string_view::npos ? std::string_view{} : in.substr(z + 1);
    }
    const std::string &query = part[0], &body = part[1], &cookie = part[2], &host = part[3],
                      &origin = part[4], &if_none_match = part[5], &peer = part[6];

    static const web_snapshot snap = [] {
        web_snapshot s;
        s.up = true;
        s.alerts = board();
        s.polls = 1;
        s.fetched = 1796670000;
        return s;
    }();
    static const std::vector<web_user> users = [] {
        std::vector<web_user> u(2);
        u[0].name = "al";
        u[0].digest = sha256("s3cret-token");
        u[1].name = "bo";
        u[1].digest = sha256("other-token");
        return u;
    }();
    check_query(query, snap);
    check_body(body, snap.alerts, users);

    // The session cookie: its value as it stands in the header, and the one session it names.
    std::string id = cookie_value(cookie, "tarrow_session");
    if (!id.empty()) {
        FUZZ_CHECK(id.find(';') == std::string::npos);
        FUZZ_CHECK(cookie.find("tarrow_session=" + id) != std::string::npos);
    }
    session_table sessions;
    sessions.by_id[SESSION_ID] = web_session{"al", "c5rf", 1796670000 + 60, {}};
    const web_session *s = session_find(sessions, id, 1796670000);
    FUZZ_CHECK((s != nullptr) == (id == SESSION_ID));

    // Host and Origin.
    static const std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
    if (host_allowed(host, names)) {
        std::string lower = host;
        for (char &c : lower)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        FUZZ_CHECK(lower.rfind("localhost", 0) == 0 || lower.rfind("127.0.0.1", 0) == 0 ||
                   lower.rfind("[::1]", 0) == 0 || lower.rfind("::1", 0) == 0);
    }
    for (bool tls : {false, true})
        if (same_origin(origin, host, tls))
            FUZZ_CHECK(origin == (tls ? "https://" : "http://") + host);

    // Entity tags: the tag of a body always matches itself.
    std::string tag = entity_tag(body);
    FUZZ_CHECK(etag_matches(tag, tag) && etag_matches("W/" + tag, tag));
    if (etag_matches(if_none_match, tag))
        FUZZ_CHECK(if_none_match.find(tag) != std::string::npos ||
                   if_none_match.find('*') != std::string::npos);

    // The peer address against the trusted ranges, and a range against its own address.
    static const std::vector<net_range> trusted = [] {
        std::vector<net_range> r(2);
        FUZZ_CHECK(parse_range("127.0.0.0/8", r[0]) && parse_range("::1", r[1]));
        return r;
    }();
    if (range_contains(trusted, peer)) {
        unsigned char buf[16];
        std::string a = peer.rfind("::ffff:", 0) == 0 ? peer.substr(7) : peer;
        FUZZ_CHECK(inet_pton(AF_INET, a.c_str(), buf) == 1 ||
                   inet_pton(AF_INET6, peer.c_str(), buf) == 1);
    }
    net_range own;
    if (parse_range(peer, own))
        FUZZ_CHECK(range_contains({own}, peer.substr(0, peer.find('/'))));
    return 0;
}

// tarrow-web: the tarrow board in a browser, with Prometheus metrics and health checks. One
// thread polls the board through the console client every interval; the HTTP threads serve
// what that poll left, so any number of browsers cost the board one poll an interval.
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "common/console_client.h"
#include "common/record.h"
#include "common/signals.h"
#include "web/auth.h"
#include "web/board.h"
#include "web/guard.h"
#include "web/options.h"
#include "web/request.h"
#include "web/view.h"
#ifdef TARROW_WEB_HISTORY
#include "history/events.h"
#endif

static constexpr int EXIT_USAGE = 2;
static constexpr int BOARD_TIMEOUT_MS = 5000;
static constexpr std::size_t BODY_MAX = 16 * 1024;
// An alert's history: its newest events from the newest daily logs.
static constexpr std::size_t HISTORY_FILES = 7, HISTORY_EVENTS = 20;
// The board's mark: a bell on a red square.
static const char FAVICON_SVG[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\">"
    "<rect width=\"16\" height=\"16\" rx=\"3\" fill=\"#c62828\"/>"
    "<path d=\"M8 3a3 3 0 0 0-3 3v3l-1 2h8l-1-2V6a3 3 0 0 0-3-3zm-1 9h2a1 1 0 0 1-2 0z\" "
    "fill=\"#fff\"/></svg>";

// What the poller shares with the HTTP threads, under mu.
struct web_shared {
    std::mutex mu;
    std::condition_variable cv;
    bool wake = false;                      // poll now: an operator changed the board
    web_snapshot snap;
    long long last_success_ms = -1;         // steady clock; -1 never
    std::string alerts_body, alerts_tag;    // /api/v1/alerts, made once a poll
    std::string board_body;                 // /api/v1/board without "stale"
    std::map<std::string, std::string> filtered;    // the same by filter, for this poll
    std::size_t filtered_bytes = 0;
    session_table sessions;
    signin_throttle throttle;
};

static web_options opt;
static std::vector<web_user> users;
static web_shared shared;
static guard_shared guard;
static web_view_options view_opt;
// Filtered boards kept for a poll: past this many, or this many bytes, they are made again.
static constexpr std::size_t FILTERED_MAX = 32, FILTERED_BYTES_MAX = 8 << 20;

static void __attribute__((format(printf, 1, 2)))
say(const char *fmt, ...)
{
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", localtime_r(&now, &tm));
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "%s tarrow-web: ", stamp);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// True when the board was fetched within three intervals. Called with shared.mu held.
static bool
fresh(long long now_ms)
{
    return shared.last_success_ms >= 0 &&
           now_ms - shared.last_success_ms <= 3LL * opt.interval * 1000;
}

static void publish();

// A poll that reached the board (or some of the boards): its summary and the time are kept.
// Called with shared.mu held.
static void
note_success(web_snapshot &s, std::vector<std::pair<std::string, long>> &&figures)
{
    s.figures = std::move(figures);
    s.fetched = time(nullptr);
    snapshot_note_seen(s, s.fetched);
    shared.last_success_ms = monotonic_ms();
}

// One poll: fetch the board and leave what every request needs.
static void
poll_once()
{
    std::vector<console_alert> alerts;
    std::vector<std::pair<std::string, long>> figures;
    std::string error;
    auto t0 = std::chrono::steady_clock::now();
    bool ok = web_fetch_board(opt.address, opt.port, BOARD_TIMEOUT_MS, alerts, figures, error) == 0;
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;

    std::lock_guard<std::mutex> lock(shared.mu);
    web_snapshot &s = shared.snap;
    snapshot_count_poll(s, took.count(), ok);
    if (ok && !s.up && s.polls > 1)
        say("the board at %s port %d answers again", opt.address.c_str(), opt.port);
    if (!ok && s.error != error)
        say("cannot fetch the board: %s", error.c_str());
    s.up = ok;
    s.error = ok ? "" : error;
    if (ok) {
        s.alerts = std::move(alerts);
        note_success(s, std::move(figures));
    }
    publish();
}

// One poll of several boards: each gets the actions that wait for it, then is fetched; the
// boards are merged into one row per alert, a board that does not answer kept as last seen.
static void
poll_boards()
{
    std::vector<std::vector<web_pending>> pending(opt.boards.size());
    {
        std::lock_guard<std::mutex> lock(shared.mu);
        for (const web_pending &p : shared.snap.pending)
            pending[p.board].push_back(p);
    }
    auto t0 = std::chrono::steady_clock::now();
    std::vector<web_board_poll> polls;
    for (std::size_t i = 0; i < opt.boards.size(); i++)
        polls.push_back(web_poll_board(opt.boards[i], pending[i], BOARD_TIMEOUT_MS));
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;

    std::lock_guard<std::mutex> lock(shared.mu);
    web_snapshot &s = shared.snap;
    std::vector<std::string> said;
    std::vector<std::pair<std::string, long>> figures;
    bool all_ok = snapshot_take_polls(s, opt.boards, polls, figures, said);
    for (const std::string &line : said)
        say("%s", line.c_str());
    snapshot_count_poll(s, took.count(), all_ok);
    snapshot_merge_boards(s);
    if (s.up)
        note_success(s, std::move(figures));
    publish();
}

// Makes what every request needs from the snapshot. Called with shared.mu held.
static void
publish()
{
    web_snapshot &s = shared.snap;
    shared.alerts_body = alerts_json(s.alerts, false);
    shared.alerts_tag = entity_tag(shared.alerts_body);
    shared.board_body = board_json(s, view_opt);
    shared.filtered.clear();
    shared.filtered_bytes = 0;
}

// The board for a filter, made once a poll. Called with shared.mu held.
static const std::string &
board_for(const std::string &filter)
{
    static const std::string none = "{}";
    if (shared.snap.polls == 0)
        return none;
    if (filter.empty())
        return shared.board_body;
    auto it = shared.filtered.find(filter);
    if (it != shared.filtered.end())
        return it->second;
    if (shared.filtered.size() >= FILTERED_MAX || shared.filtered_bytes >= FILTERED_BYTES_MAX) {
        shared.filtered.clear();
        shared.filtered_bytes = 0;
    }
    filter_expr f;
    std::string error;
    bool ok = filter_parse(filter, f, error);
    std::string &body = shared.filtered[filter];
    body = board_json(shared.snap, view_opt, ok ? &f : nullptr, error);
    shared.filtered_bytes += body.size() + filter.size();
    return body;
}

// Reads the users file again; a file that cannot be read leaves the users as they were.
static void
reload_users()
{
    if (opt.users_file.empty())
        return;
    std::vector<web_user> fresh_users;
    std::string error;
    if (users_load(opt.users_file, fresh_users, error) != 0) {
        say("users file not reloaded: %s", error.c_str());
        return;
    }
    std::lock_guard<std::mutex> lock(shared.mu);
    users = std::move(fresh_users);
    std::size_t ended = sessions_prune(shared.sessions, users);
    say("users file %s reloaded: %zu users, %zu sessions ended", opt.users_file.c_str(),
        users.size(), ended);
}

static std::atomic<bool> poller_done{false};

static void
poll_loop()
{
    while (!stop_requested) {
        long long next = monotonic_ms() + opt.interval * 1000LL;
        if (reload_requested) {
            reload_requested = 0;
            reload_users();
        }
        if (opt.boards.empty())
            poll_once();
        else
            poll_boards();
        std::unique_lock<std::mutex> lock(shared.mu);
        // Wake at the next interval, when an operator acted, or to notice a stop or reload.
        while (!stop_requested && !reload_requested && !shared.wake && monotonic_ms() < next)
            shared.cv.wait_for(lock, std::chrono::milliseconds(
                                         std::min(200LL, std::max(1LL, next - monotonic_ms()))));
        shared.wake = false;
    }
    poller_done = true;
}

// Shuts down the connections past their deadline and, once a signal asks it, every
// connection and the server: a stop takes well under a second whatever the peers do or the
// poll of the board waits for.
static void
guard_loop(httplib::Server *server)
{
    while (!stop_requested) {
        guard.conns.sweep(monotonic_ms());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    guard.conns.stop_all();
    shared.cv.notify_all();
    // A signal during start-up may come before the server runs; stop() would then be lost.
    for (int i = 0; i < 100 && !server->is_running(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server->stop();
}

static void
send_json(httplib::Response &res, int status, const std::string &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-cache");
    res.set_content(body, "application/json");
}

static void
send_error(httplib::Response &res, int status, const std::string &why)
{
    nlohmann::json j = {{"error", why}};
    send_json(res, status, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// Serves body with its entity tag, or 304 when the browser holds it already.
static void
send_tagged(const httplib::Request &req, httplib::Response &res, const std::string &body,
            const std::string &tag)
{
    res.set_header("ETag", tag);
    res.set_header("Cache-Control", "no-cache");
    if (etag_matches(req.get_header_value("If-None-Match"), tag)) {
        res.status = 304;
        return;
    }
    res.set_content(body, "application/json");
}

static bool tls_on = false;
static std::string proxy_key;   // makes the CSRF tokens of operators named by the proxy

static bool
acting_on()
{
    return !users.empty() || !opt.auth_header.empty();
}

// The operator a trusted proxy names in its header; empty when the peer is not one of the
// trusted proxies, the header is absent, or the name is not in the users file when there is
// one. Called with shared.mu held.
static std::string
proxy_user(const httplib::Request &req)
{
    if (opt.auth_header.empty() || !range_contains(opt.trusted, req.remote_addr) ||
        !req.has_header(opt.auth_header.c_str()))
        return "";
    std::string name = req.get_header_value(opt.auth_header.c_str());
    if (!user_name_ok(name))
        return "";
    if (!users.empty() &&
        std::none_of(users.begin(), users.end(), [&](const web_user &u) { return u.name == name; }))
        return "";
    return name;
}

// The CSRF token of an operator named by the proxy: the same for every request of theirs.
static std::string
proxy_csrf(const std::string &name)
{
    std::array<unsigned char, 32> d = sha256(proxy_key + '\0' + name);
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : d) {
        out += HEX[c >> 4];
        out += HEX[c & 15];
    }
    return out;
}

// The session of the request when it may change the board: acting is on, the request comes
// from this origin and, with need_session, names its operator through a trusted proxy or
// carries a live session cookie, and with either that session's CSRF token. Otherwise the
// 403 is sent and nullptr returned. Called with shared.mu held.
static const web_session *
mutation_allowed(const httplib::Request &req, httplib::Response &res, bool need_session)
{
    if (!acting_on()) {
        send_error(res, 403, "this board is read-only");
        return nullptr;
    }
    if (!same_origin(req.get_header_value("Origin"), req.get_header_value("Host"), tls_on)) {
        send_error(res, 403, "cross-origin request refused");
        return nullptr;
    }
    static const web_session no_session;
    if (!need_session)
        return &no_session;
    static thread_local web_session by_proxy;
    const web_session *s = nullptr;
    if (std::string name = proxy_user(req); !name.empty()) {
        by_proxy.name = name;
        by_proxy.csrf = proxy_csrf(name);
        s = &by_proxy;
    } else {
        std::string id = cookie_value(req.get_header_value("Cookie"), "tarrow_session");
        s = session_find(shared.sessions, id, time(nullptr));
    }
    if (s == nullptr) {
        send_error(res, 403, "not signed in");
        return nullptr;
    }
    if (!equal_secret(req.get_header_value("X-CSRF-Token"), s->csrf)) {
        send_error(res, 403, "missing or wrong CSRF token");
        return nullptr;
    }
    return s;
}

// Polls the board at once: an operator changed it.
static void
wake_poller()
{
    std::lock_guard<std::mutex> lock(shared.mu);
    shared.wake = true;
    shared.cv.notify_all();
}

// What an operator asked to be done to one alert.
struct web_action {
    std::string host, key, who, note;
    long long until;
    std::string shown;      // host and key for the log
};

// With several boards: the action goes to each board. A board that cannot be reached, or
// still has actions waiting, gets it as a pending action, sent when it answers again.
static void
act_on_boards(const httplib::Request &req, httplib::Response &res, std::string_view command,
              const char *done, const web_action &a)
{
    nlohmann::json out = {{"ok", true}, {"done", nlohmann::json::array()},
                          {"pending", nlohmann::json::array()},
                          {"refused", nlohmann::json::array()}};
    for (std::size_t i = 0; i < opt.boards.size(); i++) {
        const board_place &b = opt.boards[i];
        std::unique_lock<std::mutex> lock(shared.mu);
        bool behind = std::any_of(shared.snap.pending.begin(), shared.snap.pending.end(),
                                  [i](const web_pending &p) { return p.board == i; });
        lock.unlock();
        std::string error = "earlier actions wait for it";
        int st = behind ? -2 : web_act(b.address, b.port, command, a.host, a.key, a.who, a.note,
                                       a.until, BOARD_TIMEOUT_MS, error);
        if (st == -2) {
            lock.lock();
            web_snapshot &s = shared.snap;
            s.pending.push_back({s.next_pending++, i, std::string(command), a.host, a.key, a.who,
                                 a.note, a.until, time(nullptr)});
            lock.unlock();
            out["pending"].push_back(b.label);
            say("%s %s %s on %s later: %s", a.who.c_str(), done, a.shown.c_str(),
                b.label.c_str(), error.c_str());
        } else if (st != 0) {
            out["refused"].push_back(b.label + ": " + error);
            say("%s could not have %s %s on %s: %s", a.who.c_str(), done, a.shown.c_str(),
                b.label.c_str(), error.c_str());
        } else {
            out["done"].push_back(b.label);
            say("%s %s %s on %s (from %s)", a.who.c_str(), done, a.shown.c_str(),
                b.label.c_str(), req.remote_addr.c_str());
        }
    }
    wake_poller();
    if (out["done"].empty() && out["pending"].empty())
        send_error(res, 502, out["refused"].dump());
    else
        send_json(res, 200, out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// Acknowledges or deletes the alert that the request's JSON body names.
static void
act(const httplib::Request &req, httplib::Response &res, std::string_view command,
    const char *done)
{
    std::string operator_name, host, key, note;
    long long until = 0;
    {
        std::lock_guard<std::mutex> lock(shared.mu);
        const web_session *s = mutation_allowed(req, res, true);
        if (s == nullptr) {
            say("refused %s %s from %s: %s", req.method.c_str(), req.path.c_str(),
                req.remote_addr.c_str(), res.body.c_str());
            return;
        }
        operator_name = s->name;
        act_request r;
        std::string why;
        if (!act_request_parse(req.body, r, why)) {
            send_error(res, 400, why);
            return;
        }
        const console_alert *a = find_alert(shared.snap.alerts, r.host, r.key);
        if (a == nullptr) {
            send_error(res, 404, "no such alert on the board");
            return;
        }
        host = a->hostname;
        key = a->key;
        note = r.note;
        until = r.until;
        if (command == CMD_ACKNOWLEDGE && until != 0 && until <= time(nullptr)) {
            send_error(res, 400, "the acknowledgement would end in the past");
            return;
        }
        if (command == CMD_ACKNOWLEDGE && opt.require_note &&
            note.find_first_not_of(" \t\r\n") == std::string::npos) {
            send_error(res, 400, "an acknowledgement needs a note");
            return;
        }
    }
    std::string error;
    std::string who = console_visible(console_trim(host) + " " + console_trim(key), true);
    if (!opt.boards.empty()) {
        act_on_boards(req, res, command, done, {host, key, operator_name, note, until, who});
        return;
    }
    if (web_act(opt.address, opt.port, command, host, key, operator_name, note, until,
                BOARD_TIMEOUT_MS, error) != 0) {
        say("%s could not have %s %s: %s", operator_name.c_str(), who.c_str(), done,
            error.c_str());
        send_error(res, 502, error);
        return;
    }
    say("%s %s %s (from %s)", operator_name.c_str(), done, who.c_str(), req.remote_addr.c_str());
    wake_poller();
    send_json(res, 200, "{\"ok\":true}");
}

static void
routes(httplib::Server &svr, const std::string &csp)
{
    svr.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                             {"X-Frame-Options", "DENY"},
                             {"Referrer-Policy", "same-origin"}});
    // Every request: it has arrived whole, and it must name this server in its Host, or a
    // page of another site could read the board through a name of its own (DNS rebinding).
    svr.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
        guard.conns.request_read(guard_current_fd());
        if (!req.has_header("Host")) {
            send_error(res, 400, "no Host header");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!host_allowed(req.get_header_value("Host"), opt.host_names)) {
            send_error(res, 421, "this server does not serve that host name");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    svr.Get("/", [csp](const httplib::Request &, httplib::Response &res) {
        res.set_header("Content-Security-Policy", csp);
        res.set_header("Cache-Control", "no-cache");
        res.set_content(WEB_PAGE, "text/html; charset=utf-8");
    });
    svr.Get("/api/v1/alerts", [](const httplib::Request &req, httplib::Response &res) {
        std::string body, tag;
        filter_expr f;
        std::string error;
        if (!filter_parse(req.get_param_value("filter"), f, error)) {
            send_error(res, 400, "filter: " + error);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            if (shared.snap.polls == 0 || !shared.snap.up) {
                send_error(res, 503, shared.snap.polls == 0 ? "no poll of the board yet"
                                                            : shared.snap.error);
                return;
            }
            if (f.terms.empty()) {
                body = shared.alerts_body;
                tag = shared.alerts_tag;
            } else {
                body = alerts_json(shared.snap.alerts, false, &f);
            }
        }
        send_tagged(req, res, body, tag.empty() ? entity_tag(body) : tag);
    });
    svr.Get("/api/v1/board", [](const httplib::Request &req, httplib::Response &res) {
        std::string body;
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            body = board_with_stale(board_for(req.get_param_value("filter")),
                                    !fresh(monotonic_ms()));
        }
        send_tagged(req, res, body, entity_tag(body));
    });
    // The last events of one alert from the daily logs: read at each request, outside the lock.
    svr.Get("/api/v1/history", [](const httplib::Request &req, httplib::Response &res) {
#ifdef TARROW_WEB_HISTORY
        if (opt.log_dir.empty()) {
            send_error(res, 404, "no history: tarrow-web runs without --log-dir");
            return;
        }
        std::string json, error;
        if (alert_events_json(opt.log_dir, req.get_param_value("host"),
                              req.get_param_value("key"), HISTORY_FILES, HISTORY_EVENTS, json,
                              error) != 0) {
            send_error(res, 500, error);
            return;
        }
        send_json(res, 200, json);
#else
        (void)req;
        send_error(res, 404, "no history: built without tarrow-history");
#endif
    });
    for (const char *path : {"/favicon.ico", "/favicon.svg"})
        svr.Get(path, [](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "max-age=86400");
            res.set_content(FAVICON_SVG, "image/svg+xml");
        });
    svr.Get("/api/v1/stats", [](const httplib::Request &, httplib::Response &res) {
        std::lock_guard<std::mutex> lock(shared.mu);
        send_json(res, 200, stats_json(shared.snap, time(nullptr)));
    });
    svr.Get("/api/v1/session", [](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard<std::mutex> lock(shared.mu);
        nlohmann::json j = {{"acting", acting_on()}, {"user", nullptr}, {"csrf", nullptr},
                            {"require_note", opt.require_note}, {"proxy", false},
                            {"history", !opt.log_dir.empty()}};
        std::string id = cookie_value(req.get_header_value("Cookie"), "tarrow_session");
        if (std::string name = proxy_user(req); !name.empty()) {
            j["user"] = name;
            j["csrf"] = proxy_csrf(name);
            j["proxy"] = true;
        } else if (const web_session *s = session_find(shared.sessions, id, time(nullptr))) {
            j["user"] = s->name;
            j["csrf"] = s->csrf;
        }
        send_json(res, 200, j.dump());
    });
    svr.Post("/api/v1/login", [](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard<std::mutex> lock(shared.mu);
        if (mutation_allowed(req, res, false) == nullptr)
            return;
        long long now_ms = monotonic_ms();
        if (!throttle_allows(shared.throttle, req.remote_addr, now_ms)) {
            res.set_header("Retry-After", "1");
            send_error(res, 429, "too many failed sign-ins from this address: try again later");
            return;
        }
        const web_user *u = nullptr;
        std::string name, token;
        if (login_request_parse(req.body, name, token))
            u = users_check(users, name, token);
        if (u == nullptr) {
            throttle_failed(shared.throttle, req.remote_addr, now_ms);
            say("sign-in refused for '%s' from %s", console_visible(name, true).c_str(),
                req.remote_addr.c_str());
            send_error(res, 403, "unknown user or wrong token");
            return;
        }
        std::string id = session_create(shared.sessions, *u, time(nullptr));
        if (id.empty()) {
            send_error(res, 500, "no randomness for a session");
            return;
        }
        say("%s signed in from %s", u->name.c_str(), req.remote_addr.c_str());
        res.set_header("Set-Cookie", "tarrow_session=" + id + "; Path=/; HttpOnly; "
                                     "SameSite=Strict; Max-Age=" +
                                     std::to_string(SESSION_SECONDS) + (tls_on ? "; Secure" : ""));
        nlohmann::json out = {{"user", u->name}, {"csrf", shared.sessions.by_id[id].csrf}};
        send_json(res, 200, out.dump());
    });
    svr.Post("/api/v1/logout", [](const httplib::Request &req, httplib::Response &res) {
        std::lock_guard<std::mutex> lock(shared.mu);
        const web_session *s = mutation_allowed(req, res, true);
        if (s == nullptr)
            return;
        say("%s signed out", s->name.c_str());
        session_drop(shared.sessions,
                     cookie_value(req.get_header_value("Cookie"), "tarrow_session"));
        res.set_header("Set-Cookie", "tarrow_session=; Path=/; HttpOnly; SameSite=Strict; "
                                     "Max-Age=0");
        send_json(res, 200, "{\"ok\":true}");
    });
    svr.Post("/api/v1/ack", [](const httplib::Request &req, httplib::Response &res) {
        act(req, res, CMD_ACKNOWLEDGE, "acknowledged");
    });
    svr.Post("/api/v1/unack", [](const httplib::Request &req, httplib::Response &res) {
        act(req, res, CMD_UNACK, "un-acknowledged");
    });
    svr.Post("/api/v1/delete", [](const httplib::Request &req, httplib::Response &res) {
        act(req, res, CMD_DELETE, "deleted");
    });
    svr.Get("/metrics", [](const httplib::Request &, httplib::Response &res) {
        std::string body;
        {
            std::lock_guard<std::mutex> lock(shared.mu);
            body = metrics_text(shared.snap, time(nullptr));
        }
        res.set_content(body, "text/plain; version=0.0.4; charset=utf-8");
    });
    svr.Get("/-/healthy", [](const httplib::Request &, httplib::Response &res) {
        res.set_content("OK\n", "text/plain");
    });
    svr.Get("/-/ready", [](const httplib::Request &, httplib::Response &res) {
        std::lock_guard<std::mutex> lock(shared.mu);
        bool ready = shared.snap.up && fresh(monotonic_ms());
        res.status = ready ? 200 : 503;
        res.set_content(ready ? "OK\n" : "the board has not been fetched within three intervals\n",
                        "text/plain");
    });
    // Every other POST, PUT or DELETE is refused alike, so no method slips past the checks.
    auto refuse = [](const httplib::Request &, httplib::Response &res) {
        send_error(res, 403, "refused");
    };
    svr.Post(R"(/.*)", refuse);
    svr.Put(R"(/.*)", refuse);
    svr.Delete(R"(/.*)", refuse);
    svr.Patch(R"(/.*)", refuse);
}

int
main(int argc, char **argv)
{
    // One malloc arena for all threads: an arena per HTTP thread would double the memory
    // for no gain at this load.
    mallopt(M_ARENA_MAX, 1);
    int status = web_parse_options(argc, argv, opt);
    if (status >= 0)
        return status;
    view_opt.links = opt.links;
    std::string error;
    if (!opt.users_file.empty() && users_load(opt.users_file, users, error) != 0) {
        fprintf(stderr, "tarrow-web: %s\n", error.c_str());
        return EXIT_USAGE;
    }

    // The listen address itself is always served (an address cannot be rebound to another
    // server); names only when given, or "localhost" on the loopback.
    bool wildcard = opt.listen_host == "0.0.0.0" || opt.listen_host == "::";
    bool loopback = opt.listen_host.rfind("127.", 0) == 0 || opt.listen_host == "::1";
    if (opt.host_names.empty() && loopback)
        opt.host_names.push_back("localhost");
    if (!wildcard)
        opt.host_names.push_back(opt.listen_host);
    else if (opt.host_names.empty())
        fprintf(stderr, "tarrow-web: listening on every address without --host-name: every "
                        "request will be refused\n");

    view_opt.interval = opt.interval;
    view_opt.acting = acting_on();
    proxy_key = random_token();

    tls_on = !opt.tls_cert.empty();
    std::unique_ptr<httplib::Server> svr;
    if (tls_on) {
        auto s = std::make_unique<guarded_server<httplib::SSLServer>>(opt.tls_cert.c_str(),
                                                                      opt.tls_key.c_str());
        guard.tls = s->ssl_context();
        s->guard = &guard;
        svr = std::move(s);
    } else {
        auto s = std::make_unique<guarded_server<httplib::Server>>();
        s->guard = &guard;
        svr = std::move(s);
    }
    if (!svr->is_valid()) {
        fprintf(stderr, "tarrow-web: cannot use the certificate %s and key %s\n",
                opt.tls_cert.c_str(), opt.tls_key.c_str());
        return EXIT_USAGE;
    }
    // Each connection on a worker of its own while there are idle ones or fewer than the
    // most; the guard ends the slow ones.
    svr->new_task_queue = [] { return new growing_pool(); };
    svr->set_payload_max_length(BODY_MAX);
    // The guard serves one request a connection: polls a second apart gain little from
    // keeping it. Each read of a socket wakes at least every 5 s to see its deadline.
    svr->set_keep_alive_max_count(1);
    svr->set_read_timeout(5);
    std::string csp = "default-src 'none'; connect-src 'self'; img-src 'self' data:; "
                      "script-src" + inline_hashes(WEB_PAGE, "script") +
                      "; style-src" + inline_hashes(WEB_PAGE, "style") +
                      "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    routes(*svr, csp);

    // SIGHUP (systemctl reload): the users file is read again and the board polled at once.
    signals_install();

    int port = opt.listen_port;
    bool bound = port == 0 ? (port = svr->bind_to_any_port(opt.listen_host)) > 0
                           : svr->bind_to_port(opt.listen_host, port);
    if (!bound) {
        int saved_errno = errno;
        fprintf(stderr, "tarrow-web: cannot listen on %s port %d: %s\n", opt.listen_host.c_str(),
                opt.listen_port, strerror(saved_errno));
        return 1;
    }
    std::string shown_host = opt.listen_v6 ? "[" + opt.listen_host + "]" : opt.listen_host;
    fprintf(stderr, "listening on %s://%s:%d/\n", tls_on ? "https" : "http", shown_host.c_str(),
            port);
    fflush(stderr);

    std::thread poller(poll_loop);
    std::thread guarder(guard_loop, svr.get());
    svr->listen_after_bind();
    // listen_after_bind returns on stop(), which only the guard calls once a signal came.
    stop_requested = 1;
    shared.cv.notify_all();
    guarder.join();
    // A poll waiting on a board that does not answer is not waited for.
    for (int i = 0; i < 100 && !poller_done; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!poller_done) {
        fflush(stderr);
        _exit(0);
    }
    poller.join();
    return 0;
}

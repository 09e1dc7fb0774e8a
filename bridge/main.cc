// tarrow-bridge: mirrors a tarrow board into Prometheus Alertmanager. Every interval it fetches
// the board as a console does and posts its alerts to every Alertmanager given; acknowledged
// alerts become silences, and a board that cannot be reached becomes an alert of its own.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/am.h"
#include "bridge/board.h"
#include "bridge/mirror.h"
#include "common/console_client.h"
#include "common/record.h"
#include "common/signals.h"

static const char USAGE[] =
    "usage: tarrow-bridge [-a address] [-p port] [-i seconds] --alertmanager url\n"
    "                     [--alertmanager url]... [--label name=value]... [--once] [--dry-run]\n"
    "                     [--ca-file file] [--bearer-token-file file | --basic-auth-file file]\n"
    "       tarrow-bridge --help | --version\n";

static constexpr int EXIT_FAILED = 1;       // --once: a request to Alertmanager failed
static constexpr int EXIT_USAGE = 2;        // bad arguments, or a file that cannot be read
static constexpr int BOARD_TIMEOUT_MS = 5000;

struct bridge_run {
    std::string address = "127.0.0.1";
    int port = 9003;
    std::vector<std::string> urls;
    am_access access;
    mirror_config cfg;
    mirror_state st;
    bool once = false;
    bool dry_run = false;
    bool recovered = false;                 // the alerts of an earlier run were taken up
    std::vector<std::string> url_error;     // last failure logged per URL, "" when it answers
};

// Logs one line on stderr. Hosts, keys and texts come from the board and errors from
// Alertmanager: their control bytes show as stand-ins, so that a line stays one line and
// nothing reaches a terminal raw.
static void __attribute__((format(printf, 1, 2)))
say(const char *fmt, ...)
{
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    fprintf(stderr, "%s\n", console_visible(line, true).c_str());
}

static int
usage_error(const std::string &what)
{
    fprintf(stderr, "tarrow-bridge: %s\n%s", console_visible(what, true).c_str(), USAGE);
    return EXIT_USAGE;
}

// The first line of a secret file, without its line end; false when it cannot be read or
// is empty.
static bool
read_secret(const char *path, std::string &out, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = std::string("cannot read ") + path + ": " + strerror(errno);
        return false;
    }
    std::getline(in, out);
    while (!out.empty() && (out.back() == '\r' || out.back() == ' ' || out.back() == '\t'))
        out.pop_back();
    if (out.empty()) {
        error = std::string(path) + " is empty";
        return false;
    }
    return true;
}

// A label name as Prometheus allows it, not one the bridge sets itself.
static bool
label_name_ok(const std::string &name)
{
    if (name.empty() || name == "alertname" || name == "instance" || name == "severity")
        return false;
    for (std::size_t i = 0; i < name.size(); i++) {
        char c = name[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        if (!letter && !(i > 0 && c >= '0' && c <= '9'))
            return false;
    }
    return true;
}

// Logs a failed request once per URL and kind of failure, not at every interval.
static void
url_failed(bridge_run &run, std::size_t i, const std::string &error)
{
    if (run.url_error[i] != error)
        say("%s", error.c_str());
    run.url_error[i] = error;
}

static void
url_answered(bridge_run &run, std::size_t i)
{
    if (!run.url_error[i].empty())
        say("Alertmanager %s answers again", run.urls[i].c_str());
    run.url_error[i].clear();
}

// Takes up the alerts an earlier run posted, from the first Alertmanager that lists them.
// Returns false when none could.
static bool
recover(bridge_run &run)
{
    for (std::size_t i = 0; i < run.urls.size(); i++) {
        std::string reply, error;
        if (am_request(run.access, "GET", run.urls[i], "/api/v2/alerts", "", reply, error) != 0) {
            url_failed(run, i, error);
            continue;
        }
        nlohmann::json list = json_read(reply, error);
        if (!list.is_array()) {
            url_failed(run, i, "GET " + run.urls[i] + "/api/v2/alerts: " +
                                   (list.is_discarded() ? error : "not a JSON array"));
            continue;
        }
        mirror_recover(run.st, run.cfg, list);
        return true;
    }
    return false;
}

// Acknowledges on the board what a silence made in Alertmanager selects, and removes such an
// acknowledgement once its silence has ended. Returns false when the board refused one.
static bool
apply_silence_acks(bridge_run &run, const std::vector<board_ack_change> &changes)
{
    bool ok = true;
    for (const board_ack_change &c : changes) {
        alert_record req = console_build_ack_request(
            c.host, c.key, c.ack ? CMD_ACK_NOTE : CMD_UNACK, c.who, c.ack ? c.note : "",
            c.ack ? static_cast<long long>(c.until) : 0);
        console_result r = console_call(run.address, run.port, req, BOARD_TIMEOUT_MS);
        if (r.status != CONSOLE_OK || r.final_type != MSG_REPLY_DONE) {
            std::string why = r.status != CONSOLE_OK ? r.error : console_trim(r.text);
            say("%s of %s %s for silence %s refused by the board: %s",
                c.ack ? "acknowledgement" : "removal of the acknowledgement", c.host.c_str(),
                c.key.c_str(), c.silence_id.c_str(), why.c_str());
            ok = false;
        } else if (c.ack) {
            say("acknowledged %s %s on the board for silence %s by %s", c.host.c_str(),
                c.key.c_str(), c.silence_id.c_str(), c.who.c_str());
        } else {
            say("acknowledgement of %s %s removed: silence %s ended", c.host.c_str(),
                c.key.c_str(), c.silence_id.c_str());
        }
    }
    return ok;
}

// Creates, renews and expires the bridge's silences through the first Alertmanager that lists
// them; the replicas of a cluster share silences among themselves. Silences made there by
// people acknowledge on the board first. Returns false when a request failed.
static bool
sync_silences(bridge_run &run, time_t now)
{
    for (std::size_t i = 0; i < run.urls.size(); i++) {
        const std::string &url = run.urls[i];
        std::string reply, error;
        if (am_request(run.access, "GET", url, "/api/v2/silences", "", reply, error) != 0) {
            url_failed(run, i, error);
            continue;
        }
        nlohmann::json list = json_read(reply, error);
        if (!list.is_array()) {
            url_failed(run, i, "GET " + url + "/api/v2/silences: " +
                                   (list.is_discarded() ? error : "not a JSON array"));
            continue;
        }
        bool ok = apply_silence_acks(run, mirror_silence_acks(run.st, run.cfg, list, now));
        silence_plan plan = mirror_silences(run.st, run.cfg, mirror_own_silences(list, run.cfg),
                                            mirror_own_silences(list, run.cfg, true), now);
        for (const std::string &line : plan.log)
            say("%s", line.c_str());
        for (const mirrored_alert &a : plan.create) {
            std::string body = json_text(mirror_silence(run.cfg, a, now));
            if (am_request(run.access, "POST", url, "/api/v2/silences", body, reply, error)) {
                say("%s", error.c_str());
                ok = false;
                continue;
            }
            nlohmann::json r = json_read(reply, error);
            std::string id = r.is_object() && r.contains("silenceID") && r["silenceID"].is_string()
                                 ? r["silenceID"].get<std::string>()
                                 : "?";
            say("silence created for %s %s: %s", a.host.c_str(), a.key.c_str(), id.c_str());
        }
        for (const own_silence &s : plan.renew) {
            auto a = run.st.alerts.find({s.host, s.key});
            if (a == run.st.alerts.end())
                continue;
            nlohmann::json body = mirror_silence(run.cfg, a->second, now);
            body["id"] = s.id;
            body["startsAt"] = s.starts;
            if (am_request(run.access, "POST", url, "/api/v2/silences", json_text(body), reply,
                           error)) {
                say("%s", error.c_str());
                ok = false;
            }
        }
        for (const own_silence &s : plan.expire) {
            // The id as Alertmanager gave it, escaped: it must not change the path.
            if (am_request(run.access, "DELETE", url, "/api/v2/silence/" + am_escape(s.id), "",
                           reply, error)) {
                say("%s", error.c_str());
                ok = false;
                continue;
            }
            say("silence expired for %s %s: %s", s.host.c_str(), s.key.c_str(), s.id.c_str());
        }
        return ok;
    }
    return false;
}

// One sync: fetch the board, post the alerts to every Alertmanager, then mind the silences.
// Returns true when every request succeeded.
static bool
sync_board(bridge_run &run)
{
    time_t now = time(nullptr);
    std::vector<board_alert> board;
    std::string error;
    bool up = board_fetch(run.address, run.port, BOARD_TIMEOUT_MS, board, error) == 0;
    // Until the alerts of an earlier run are taken up, every sync is a failed one: an
    // Alertmanager that refuses the listing must not pass for one that answers.
    bool recovered = run.dry_run || run.recovered || recover(run);
    run.recovered = recovered && !run.dry_run;
    for (const std::string &line :
         mirror_update(run.st, run.cfg, up ? &board : nullptr, error, now))
        say("%s", line.c_str());
    std::string body = json_text(mirror_alerts(run.st, run.cfg, now));

    if (run.dry_run) {
        printf("%s\n", body.c_str());
        for (const auto &[id, a] : run.st.alerts)
            if (a.state == "acked")
                printf("%s\n", json_text(mirror_silence(run.cfg, a, now)).c_str());
        fflush(stdout);
        mirror_posted(run.st, run.cfg, true, now);
        return true;
    }

    bool ok = recovered;
    for (std::size_t i = 0; i < run.urls.size(); i++) {
        std::string reply;
        if (am_request(run.access, "POST", run.urls[i], "/api/v2/alerts", body, reply, error)) {
            url_failed(run, i, error);
            ok = false;
        } else {
            url_answered(run, i);
        }
    }
    mirror_posted(run.st, run.cfg, ok, now);
    return sync_silences(run, now) && ok;
}

// Sleeps until the deadline, a stop signal or a SIGHUP.
static void
sleep_until(time_t deadline)
{
    while (!stop_requested && !reload_requested) {
        time_t left = deadline - time(nullptr);
        if (left <= 0)
            return;
        struct timespec ts = {left, 0};
        nanosleep(&ts, nullptr);
    }
}

int
main(int argc, char **argv)
{
    bridge_run run;
    enum { OPT_AM = 256, OPT_LABEL, OPT_ONCE, OPT_DRY, OPT_CA, OPT_BEARER, OPT_BASIC, OPT_HELP,
           OPT_VERSION };
    static const struct option longopts[] = {
        {"alertmanager", required_argument, nullptr, OPT_AM},
        {"label", required_argument, nullptr, OPT_LABEL},
        {"once", no_argument, nullptr, OPT_ONCE},
        {"dry-run", no_argument, nullptr, OPT_DRY},
        {"ca-file", required_argument, nullptr, OPT_CA},
        {"bearer-token-file", required_argument, nullptr, OPT_BEARER},
        {"basic-auth-file", required_argument, nullptr, OPT_BASIC},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    std::string error;
    while ((c = getopt_long(argc, argv, ":a:p:i:", longopts, nullptr)) != -1) {
        switch (c) {
        case 'a':
            if (!text_address(optarg))
                return usage_error(std::string("Improperly formatted network address, ") +
                                   optarg);
            run.address = optarg;
            break;
        case 'p':
            if (!text_port(optarg, run.port))
                return usage_error(std::string("Illegal port number: ") + optarg);
            break;
        case 'i':
            if (!console_parse_int(optarg, 1, 86400, run.cfg.interval))
                return usage_error(std::string("invalid interval '") + optarg + "'");
            break;
        case OPT_AM: {
            std::string url = optarg;
            if (url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0)
                return usage_error("invalid Alertmanager URL '" + url + "'");
            run.urls.push_back(url);
            break;
        }
        case OPT_LABEL: {
            std::string arg = optarg;
            std::size_t eq = arg.find('=');
            std::string name = arg.substr(0, eq);
            if (eq == std::string::npos || eq + 1 == arg.size() || !label_name_ok(name))
                return usage_error("invalid label '" + arg + "': expected name=value");
            for (const auto &[n, v] : run.cfg.labels)
                if (n == name)
                    return usage_error("label '" + name + "' given twice");
            run.cfg.labels.emplace_back(name, arg.substr(eq + 1));
            break;
        }
        case OPT_ONCE:
            run.once = true;
            break;
        case OPT_DRY:
            run.dry_run = true;
            break;
        case OPT_CA:
            run.access.ca_file = optarg;
            break;
        case OPT_BEARER:
            if (!read_secret(optarg, run.access.bearer_token, error))
                return usage_error(error);
            break;
        case OPT_BASIC:
            if (!read_secret(optarg, run.access.basic_auth, error))
                return usage_error(error);
            if (run.access.basic_auth.find(':') == std::string::npos)
                return usage_error(std::string(optarg) + ": expected user:password");
            break;
        case OPT_HELP:
            fputs(USAGE, stdout);
            return 0;
        case OPT_VERSION:
            printf("tarrow-bridge %s\n", application_version);
            return 0;
        case ':':
            return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    if (run.urls.empty() && !run.dry_run)
        return usage_error("no --alertmanager given");
    if (!run.access.bearer_token.empty() && !run.access.basic_auth.empty())
        return usage_error("--bearer-token-file and --basic-auth-file exclude each other");
    run.cfg.board = run.address + ":" + std::to_string(run.port);
    run.url_error.assign(run.urls.size(), "");

    // SIGHUP (systemctl reload) ends the wait: the next sync starts at once.
    signals_install();
    if (!am_init()) {
        fprintf(stderr, "tarrow-bridge: cannot set up libcurl\n");
        return EXIT_FAILED;
    }

    bool ok = true;
    while (!stop_requested) {
        time_t next = time(nullptr) + run.cfg.interval;
        reload_requested = 0;
        ok = sync_board(run);
        if (run.once)
            break;
        sleep_until(next);
    }
    am_done();
    // A failed request is already logged; only a single sync reports it by its status.
    return run.once && !ok ? EXIT_FAILED : 0;
}

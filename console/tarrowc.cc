// tarrowc: the operator's console for tarrowd. Lists, shows, acknowledges and deletes alerts
// from the command line, or watches the table full-screen.
#include "console/tarrowc.h"

#include <langinfo.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/record.h"
#include "common/filter_expr.h"
#include "console/board.h"

static const char USAGE[] =
    "usage: tarrowc [-a address[:port]]... [-p port] [-i seconds] [-t seconds] [command]\n"
    "commands:\n"
    "  watch                      full-screen view of the alert table (the default)\n"
    "  list [--tsv | --json] [--filter EXPR]\n"
    "                             print every alert, one a line, or as JSON; the alerts\n"
    "                             waiting behind a full board come after the board's;\n"
    "                             EXPR: words and field=value, field!=value, field=~regex,\n"
    "                             field!~regex over host, key, severity, state, place,\n"
    "                             acked, by, text\n"
    "  stats [--json]             print the server's figures\n"
    "  show host key              print the details of one alert\n"
    "  ack [--by NAME] [--note TEXT] [--for DURATION | --until TIME] host key\n"
    "                             acknowledge an alert, by NAME (the login name), with a\n"
    "                             note, until DURATION (90s, 45m, 2h, 1d) has passed or\n"
    "                             until TIME (YYYY-MM-DD HH:MM[:SS], or HH:MM next)\n"
    "  unack [--by NAME] host key return an acknowledged alert to its severity\n"
    "                             (watch takes --by too, for its a and u keys)\n"
    "  delete [--by NAME] [--note TEXT] host key\n"
    "                             delete an alert (on the board, or waiting: then it goes\n"
    "                             when its raise comes in), saying who and why\n"
    "  delete-through [--by NAME] [--note TEXT] host key\n"
    "                             delete an alert and every board alert listed before it\n"
    "  ping                       exit 0 when the server answers a listing in time\n"
    "  check                      the board as a Nagios plugin reports it: exit 0 OK,\n"
    "                             1 WARNING, 2 CRITICAL (unacknowledged, on the board or\n"
    "                             waiting), 3 UNKNOWN (no answer)\n"
    "  diff                       compare two or more boards: a summary line, then each\n"
    "                             alert that is not the same on every board; exit 0 when\n"
    "                             they agree, 1 when they differ, 2 when one cannot be\n"
    "                             reached\n"
    "With several boards (-a or --board given more than once), list and watch show one row\n"
    "per host and key with where it is (A, B, both) and ! where the boards differ, and ack,\n"
    "unack and delete go to every board.\n"
    "options:\n"
    "  -a address[:port], --board address[:port]\n"
    "                server: host name, dotted IPv4 or IPv6 ([::1]:9004 with a port); may\n"
    "                be repeated (default 127.0.0.1)\n"
    "  -p port       server port where -a gives none (default 9003)\n"
    "  -i seconds    refresh interval of watch (default 2)\n"
    "  -t seconds    time a request may take, replies included (default 10)\n"
    "  --help, --version\n";

static int
usage_error(const std::string &what)
{
    fprintf(stderr, "tarrowc: %s\ntry 'tarrowc --help'\n", what.c_str());
    return EXIT_USAGE;
}

static int
connect_or_say(console_conn &c, const tarrowc_options &opt)
{
    std::string error;
    if (console_connect(c, opt.address, opt.port, opt.timeout_ms, error) != CONSOLE_OK) {
        fprintf(stderr, "tarrowc: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    return 0;
}

act_outcome
act_on_alert(console_conn &c, const char *command, const std::string &host,
             const std::string &key, const std::string &by, const std::string &note,
             int timeout_ms, std::string &message)
{
    std::string who = console_visible(console_trim(host) + " " + console_trim(key), false);
    console_details d;
    int st = console_fetch_details(c, host, key, timeout_ms, d, message);
    if (st == CONSOLE_REFUSED) {
        message = "no such alert: " + who;
        return ACT_NO_SUCH_ALERT;
    }
    if (st != CONSOLE_OK)
        return ACT_CONNECTION_ERROR;
    // A delete says who and why, where an acknowledge does (an older server ignores them).
    alert_record request = command == CMD_ACKNOWLEDGE
                               ? console_build_request(CONSOLE_LIST_ALL, host, key, command)
                               : console_build_ack_request(host, key, command, by, note, 0);
    console_result r = console_exchange(c, request, timeout_ms);
    if (r.status != CONSOLE_OK) {
        message = r.error;
        return ACT_CONNECTION_ERROR;
    }
    if (r.final_type != MSG_REPLY_DONE) {
        message = "server error: " + console_visible(console_trim(r.text), false);
        return ACT_SERVER_ERROR;
    }
    if (command == CMD_ACKNOWLEDGE)
        message = "acknowledged " + who;
    else if (command == CMD_DELETE)
        message = "deleted " + who;
    else
        message = "deleted " + who + " and every alert listed before it";
    return ACT_DONE;
}

std::string
login_name()
{
    if (const char *name = getlogin(); name != nullptr && name[0] != '\0')
        return name;
    if (const struct passwd *pw = getpwuid(geteuid()); pw != nullptr && pw->pw_name[0] != '\0')
        return pw->pw_name;
    return "unknown";
}

act_outcome
ack_with_note(console_conn &c, const char *command, const std::string &host,
              const std::string &key, const std::string &who, const std::string &note,
              long long until, int timeout_ms, std::string &message)
{
    std::string target = console_visible(console_trim(host) + " " + console_trim(key), false);
    console_result r = console_exchange(
        c, console_build_ack_request(host, key, command, who, note, until), timeout_ms);
    if (r.status != CONSOLE_OK) {
        message = r.error;
        return ACT_CONNECTION_ERROR;
    }
    std::string text = r.text;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::string why = console_visible(console_trim(text), false);
    if (r.final_type == REPLY_ERROR && why == "*ERR: Alert no longer exists") {
        message = "no such alert: " + target;
        return ACT_NO_SUCH_ALERT;
    }
    if (r.final_type != MSG_REPLY_DONE) {
        message = "server error: " + why;
        return ACT_SERVER_ERROR;
    }
    if (command == CMD_UNACK) {
        message = "unacknowledged " + target;
    } else {
        message = "acknowledged " + target + " by " + who;
        if (until != 0)
            message += " until " + console_local_time(until);
    }
    return ACT_DONE;
}

int
act_on_boards(const tarrowc_options &opt, const char *command, const std::string &host,
              const std::string &key, const std::string &who, const std::string &note,
              long long until, std::vector<std::string> &lines)
{
    bool unreached = false, done = false;
    for (const board_place &b : opt.boards) {
        std::string message;
        act_outcome out = ACT_CONNECTION_ERROR;
        console_conn c;
        if (console_connect(c, b.address, b.port, opt.timeout_ms, message) == CONSOLE_OK)
            out = command == CMD_DELETE
                      ? act_on_alert(c, command, host, key, who, note, opt.timeout_ms, message)
                      : ack_with_note(c, command, host, key, who, note, until, opt.timeout_ms,
                                      message);
        console_close(c);
        std::string label = b.label + " (" + board_name(b) + ")";
        if (out == ACT_CONNECTION_ERROR)
            message = "cannot reach the board: " + message;
        lines.push_back(label + ": " + message);
        unreached = unreached || (out != ACT_DONE && out != ACT_NO_SUCH_ALERT);
        done = done || out == ACT_DONE;
    }
    return done && !unreached ? 0 : EXIT_SERVER_ERROR;
}

// Fetches every board of opt.boards in turn; a board that cannot be read has its status.
static std::vector<console_board>
fetch_boards(const tarrowc_options &opt, bool all_details)
{
    std::vector<console_board> out;
    for (const board_place &b : opt.boards)
        out.push_back(console_fetch_board(b.address, b.port, opt.timeout_ms, all_details));
    return out;
}

// "list" over several boards: one row per host and key with where it is and a mark where the
// boards differ. A board that cannot be read is reported; its rows are left out and no
// difference is marked, as none can be known.
static int
cmd_list_boards(const tarrowc_options &opt)
{
    std::vector<console_board> fetched = fetch_boards(opt, opt.json);
    std::vector<std::vector<console_alert>> alerts;
    std::vector<std::string> labels;
    bool unreached = false;
    for (std::size_t i = 0; i < fetched.size(); i++) {
        const board_place &b = opt.boards[i];
        if (fetched[i].status != CONSOLE_OK) {
            fprintf(stderr, "tarrowc: %s (%s): %s\n", b.label.c_str(), board_name(b).c_str(),
                    fetched[i].error.c_str());
            unreached = true;
        }
        alerts.push_back(std::move(fetched[i].alerts));
        labels.push_back(b.label);
    }
    std::vector<merged_alert> rows = merge_boards(alerts, labels);
    filter_expr f;
    std::string error;
    filter_parse(opt.filter, f, error);
    std::erase_if(rows, [&](const merged_alert &r) {
        return !filter_match(f, filter_fields_of(r.alert));
    });
    for (merged_alert &r : rows)
        if (unreached)
            r.difference.clear();
    if (opt.json) {
        std::vector<console_alert> shown;
        for (const merged_alert &r : rows)
            shown.push_back(r.alert);
        nlohmann::json j = nlohmann::json::parse(board_json(shown), nullptr, false);
        for (std::size_t i = 0; i < rows.size() && i < j.size(); i++) {
            j[i]["boards"] = rows[i].place;
            j[i]["differs"] = rows[i].difference.empty() ? nlohmann::json(nullptr)
                                                         : nlohmann::json(rows[i].difference);
        }
        printf("%s\n", j.dump(2).c_str());
        return unreached ? EXIT_SERVER_ERROR : 0;
    }
    if (rows.empty() && !opt.tsv)
        printf("no alerts at present\n");
    for (const merged_alert &r : rows) {
        const console_alert &a = r.alert;
        std::string dt = console_visible(a.datetime, opt.utf8);
        std::string text = console_visible(a.text, opt.utf8);
        if (opt.tsv)
            printf("%s\t%s\t%s\t%s\t%s\t%s\t%s\n", dt.c_str(),
                   console_visible(console_trim(a.hostname), opt.utf8).c_str(),
                   console_visible(console_trim(a.key), opt.utf8).c_str(),
                   console_visible(a.type, opt.utf8).c_str(), text.c_str(), r.place.c_str(),
                   r.difference.c_str());
        else
            printf("%s  %s %s %s  %-4s %c %s%s\n", dt.c_str(),
                   console_visible(a.hostname, opt.utf8).c_str(),
                   console_visible(a.key, opt.utf8).c_str(), a.type.c_str(), r.place.c_str(),
                   r.difference.empty() ? ' ' : '!',
                   r.difference.empty() ? "" : ("[" + r.difference + "] ").c_str(), text.c_str());
    }
    return unreached ? EXIT_SERVER_ERROR : 0;
}

// "diff": what differs between the boards, as a monitoring plugin reports it.
static int
cmd_diff(const tarrowc_options &opt)
{
    diff_report r = diff_boards(opt.boards, fetch_boards(opt, false));
    printf("%s\n", r.summary.c_str());
    for (const std::string &line : r.lines)
        printf("%s\n", line.c_str());
    return r.status;
}

// "ack", "unack" and "delete" on every board: each board's outcome on its own line.
static int
cmd_act_boards(const tarrowc_options &opt, const char *command, const std::string &host,
               const std::string &key)
{
    std::vector<std::string> lines;
    std::string who = opt.by.empty() ? login_name() : opt.by;
    int st = act_on_boards(opt, command, host, key, who, opt.note, opt.until, lines);
    for (const std::string &line : lines)
        fprintf(st == 0 ? stdout : stderr, "%s\n", line.c_str());
    return st;
}

// Exit status and message for a board or request that failed.
static int
report_failure(int status, const std::string &error)
{
    fprintf(stderr, "tarrowc: %s\n", error.c_str());
    return status == CONSOLE_REFUSED ? EXIT_SERVER_ERROR : EXIT_USAGE;
}

// "list": the whole table, one alert a line, every text whole and made safe to print.
static int
cmd_list(const tarrowc_options &opt)
{
    console_board b = console_fetch_board(opt.address, opt.port, opt.timeout_ms, opt.json);
    if (b.skipped_rows > 0)
        fprintf(stderr, "tarrowc: %d rows of the board could not be read and are left out\n",
                b.skipped_rows);
    if (b.status != CONSOLE_OK)
        return report_failure(b.status, b.error);
    filter_expr f;
    std::string error;
    filter_parse(opt.filter, f, error);   // read once before: it is an expression
    std::erase_if(b.alerts, [&](const console_alert &a) {
        return !filter_match(f, filter_fields_of(a));
    });
    if (opt.json) {
        fputs(board_json(b.alerts).c_str(), stdout);
        return 0;
    }
    if (b.alerts.empty() && !opt.tsv)
        printf("no alerts at present\n");
    bool first_waiting = true;
    for (const auto &a : b.alerts) {
        std::string dt = console_visible(a.datetime, opt.utf8);
        std::string text = console_visible(a.text, opt.utf8);
        std::string pending =
            a.pending.empty() ? "" : " (" + console_visible(a.pending, opt.utf8) + ")";
        // The waiting alerts follow the board's: under a heading, or with a sixth column.
        if (a.waiting && first_waiting && !opt.tsv)
            printf("waiting behind the board:\n");
        first_waiting = first_waiting && !a.waiting;
        if (opt.tsv)
            printf("%s\t%s\t%s\t%s\t%s%s\n", dt.c_str(),
                   console_visible(console_trim(a.hostname), opt.utf8).c_str(),
                   console_visible(console_trim(a.key), opt.utf8).c_str(),
                   console_visible(a.type, opt.utf8).c_str(), text.c_str(),
                   a.waiting ? "\twaiting" : "");
        else
            printf("%s  %s %s %s  %s%s\n", dt.c_str(),
                   console_visible(a.hostname, opt.utf8).c_str(),
                   console_visible(a.key, opt.utf8).c_str(), a.type.c_str(), text.c_str(),
                   pending.c_str());
    }
    return 0;
}

// "stats": the server's figures, "name value" lines or one JSON object.
static int
cmd_stats(const tarrowc_options &opt)
{
    console_summary s = console_fetch_summary(opt.address, opt.port, opt.timeout_ms);
    if (s.status != CONSOLE_OK)
        return report_failure(s.status, s.error);
    if (opt.json) {
        fputs(summary_json(s).c_str(), stdout);
        return 0;
    }
    for (const auto &[name, value] : s.figures)
        printf("%s %ld\n", console_visible(name, opt.utf8).c_str(), value);
    return 0;
}

// "show": the details of one alert as labelled fields.
static int
cmd_show(const tarrowc_options &opt, const std::string &host, const std::string &key)
{
    console_conn c;
    if (int st = connect_or_say(c, opt))
        return st;
    console_details d;
    std::string error;
    int st = console_fetch_details(c, host, key, opt.timeout_ms, d, error);
    console_close(c);
    if (st == CONSOLE_REFUSED) {
        fprintf(stderr, "tarrowc: no such alert: %s\n",
                console_visible(host + " " + key, opt.utf8).c_str());
        return EXIT_SERVER_ERROR;
    }
    if (st != CONSOLE_OK)
        return report_failure(st, error);
    for (const auto &[label, value] : detail_fields(d, time(nullptr), opt.utf8))
        printf("%-15s%s\n", (label + ":").c_str(), value.c_str());
    return 0;
}

// "ack", "delete" and "delete-through".
static int
cmd_act(const tarrowc_options &opt, const char *command, const std::string &host,
        const std::string &key)
{
    console_conn c;
    if (int st = connect_or_say(c, opt))
        return st;
    std::string message;
    std::string by = opt.by.empty() ? login_name() : opt.by;
    act_outcome out = act_on_alert(c, command, host, key, by, opt.note, opt.timeout_ms, message);
    console_close(c);
    switch (out) {
    case ACT_DONE:
        printf("%s\n", message.c_str());
        return 0;
    case ACT_CONNECTION_ERROR:
        fprintf(stderr, "tarrowc: %s\n", message.c_str());
        return EXIT_USAGE;
    default:
        fprintf(stderr, "tarrowc: %s\n", message.c_str());
        return EXIT_SERVER_ERROR;
    }
}

// "ack" (with who, note and expiry) and "unack".
static int
cmd_ack(const tarrowc_options &opt, const char *command, const std::string &host,
        const std::string &key)
{
    console_conn c;
    if (int st = connect_or_say(c, opt))
        return st;
    std::string message;
    std::string who = opt.by.empty() ? login_name() : opt.by;
    act_outcome out = ack_with_note(c, command, host, key, who, opt.note, opt.until,
                                    opt.timeout_ms, message);
    console_close(c);
    if (out == ACT_DONE) {
        printf("%s\n", message.c_str());
        return 0;
    }
    fprintf(stderr, "tarrowc: %s\n", message.c_str());
    return out == ACT_CONNECTION_ERROR ? EXIT_USAGE : EXIT_SERVER_ERROR;
}

// "ping": a listing request answered in time, for health checks.
static int
cmd_ping(const tarrowc_options &opt)
{
    console_result r = console_call(opt.address, opt.port,
                                    console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST),
                                    opt.timeout_ms);
    if (r.status == CONSOLE_OK && r.final_type != REPLY_LIST_LAST) {
        r.status = CONSOLE_BAD_REPLY;
        r.error = "the server answered the listing with a reply of type '" + r.final_type + "'";
    }
    if (r.status != CONSOLE_OK) {
        fprintf(stderr, "tarrowc: %s port %d: %s\n", opt.address.c_str(), opt.port,
                r.error.c_str());
        return EXIT_USAGE;
    }
    std::size_t n = console_parse_listing(r.text, 127).size();
    printf("%s port %d: tarrowd answers, %zu alert%s\n", opt.address.c_str(), opt.port, n,
           n == 1 ? "" : "s");
    return 0;
}

// "check": the board's worst unacknowledged severity as a monitoring plugin's status.
static int
cmd_check(const tarrowc_options &opt)
{
    console_board b = console_fetch_board(opt.address, opt.port, opt.timeout_ms, false);
    if (b.status != CONSOLE_OK) {
        printf("TARROW UNKNOWN - %s port %d: %s\n", opt.address.c_str(), opt.port,
               console_visible(b.error, false).c_str());
        return 3;
    }
    check_result r = board_check(b.alerts);
    printf("%s\n", r.line.c_str());
    return r.status;
}

int
main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    setlocale(LC_ALL, "");
    tarrowc_options opt;
    opt.utf8 = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    std::vector<std::string> args;
    bool options_done = false;
    bool expiry_given = false, ack_options = false, by_given = false;
    std::vector<std::string> board_args;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_done || a.empty() || a[0] != '-' || a == "-") {
            args.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
        } else if (a == "--help" || a == "-h") {
            fputs(USAGE, stdout);
            return 0;
        } else if (a == "--version") {
            printf("tarrowc %s\n", application_version);
            return 0;
        } else if (a == "--tsv") {
            opt.tsv = true;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--filter") {
            if (i + 1 >= argc)
                return usage_error("option --filter needs a value");
            opt.filter = argv[++i];
            filter_expr f;
            std::string error;
            if (!filter_parse(opt.filter, f, error))
                return usage_error("invalid --filter: " + console_visible(error, opt.utf8));
        } else if (a == "--by" || a == "--note" || a == "--for" || a == "--until") {
            if (i + 1 >= argc)
                return usage_error("option " + a + " needs a value");
            std::string v = argv[++i];
            if (a == "--by") {
                if (v.empty() || v.size() > LEN_ACK_WHO)
                    return usage_error("--by takes a name of 1 to 15 characters");
                opt.by = v;
            } else if (a == "--note") {
                if (v.size() > LEN_ACK_NOTE)
                    return usage_error("--note takes at most 120 characters");
                opt.note = v;
            } else {
                if (expiry_given)
                    return usage_error("--for and --until exclude each other");
                expiry_given = true;
                long long t = a == "--for" ? parse_duration(v) : parse_until(v, time(nullptr));
                if (t < 0)
                    return usage_error("invalid " + a + " '" + console_visible(v, opt.utf8) + "'");
                opt.until = a == "--for" ? static_cast<long long>(time(nullptr)) + t : t;
                if (opt.until <= time(nullptr))
                    return usage_error("--until lies in the past");
            }
            ack_options = a == "--by" ? ack_options : true;
            by_given = by_given || a == "--by";
        } else if (a == "-a" || a == "--board" || a == "-p" || a == "-i" || a == "-t") {
            if (i + 1 >= argc)
                return usage_error("option " + a + " needs a value");
            const char *v = argv[++i];
            int seconds = 0;
            if (a == "-a" || a == "--board") {
                board_args.push_back(v);
            } else if (a == "-p") {
                if (!text_port(v, opt.port))
                    return usage_error("Illegal port number: " + console_visible(v, opt.utf8));
            } else if (a == "-i") {
                if (!console_parse_int(v, 1, 3600, opt.interval))
                    return usage_error("invalid interval '" + std::string(v) + "'");
            } else if (!console_parse_int(v, 1, 3600, seconds)) {
                return usage_error("invalid time-out '" + std::string(v) + "'");
            } else {
                opt.timeout_ms = seconds * 1000;
            }
        } else {
            return usage_error("unknown option " + a);
        }
    }

    // The boards, once -p has given the port of those without one.
    const int default_port = opt.port;
    for (std::size_t i = 0; i < board_args.size(); i++) {
        board_place b;
        std::string error;
        if (!parse_board(board_args[i], default_port, b, error))
            return usage_error(error);
        b.label = board_label(i);
        if (i == 0) {       // one board, or the one watch shows the details of
            opt.address = b.address;
            opt.port = b.port;
        }
        if (board_args.size() > 1)
            opt.boards.push_back(b);
    }
    std::string cmd = args.empty() ? "watch" : args[0];
    std::size_t operands = args.empty() ? 0 : args.size() - 1;
    bool several = !opt.boards.empty();
    if (cmd == "diff" && !several)
        return usage_error("diff compares two or more boards: give -a or --board for each");
    if (several && cmd != "list" && cmd != "watch" && cmd != "diff" && cmd != "ack" &&
        cmd != "unack" && cmd != "delete")
        return usage_error(cmd + " takes one board; with several: list, watch, diff, ack, "
                                 "unack and delete");
    if (opt.tsv && opt.json)
        return usage_error("--tsv and --json exclude each other");
    if ((opt.tsv && cmd != "list") || (opt.json && cmd != "list" && cmd != "stats"))
        return usage_error("--tsv and --json go with list only, --json with stats too");
    if (!opt.filter.empty() && cmd != "list")
        return usage_error("--filter goes with list only");
    bool deletes = cmd == "delete" || cmd == "delete-through";
    if (ack_options && cmd != "ack" && !(deletes && opt.until == 0))
        return usage_error("--note goes with ack and delete, --for and --until with ack only");
    if (by_given && cmd != "ack" && cmd != "unack" && cmd != "watch" && !deletes)
        return usage_error("--by goes with ack, unack, delete and watch only");
    auto want = [&](std::size_t n) { return operands == n; };
    if (cmd == "diff" && want(0))
        return cmd_diff(opt);
    if (several && cmd == "list" && want(0))
        return cmd_list_boards(opt);
    if (several && want(2) && (cmd == "ack" || cmd == "unack" || cmd == "delete"))
        return cmd_act_boards(opt, cmd == "ack"     ? CMD_ACK_NOTE.data()
                                   : cmd == "unack" ? CMD_UNACK.data()
                                                    : CMD_DELETE.data(),
                              args[1], args[2]);
    if (cmd == "list" && want(0))
        return cmd_list(opt);
    if (cmd == "watch" && want(0))
        return run_watch(opt);
    if (cmd == "stats" && want(0))
        return cmd_stats(opt);
    if (cmd == "ping" && want(0))
        return cmd_ping(opt);
    if (cmd == "check" && want(0))
        return cmd_check(opt);
    if (cmd == "show" && want(2))
        return cmd_show(opt, args[1], args[2]);
    if (cmd == "ack" && want(2))
        return cmd_ack(opt, CMD_ACK_NOTE.data(), args[1], args[2]);
    if (cmd == "unack" && want(2))
        return cmd_ack(opt, CMD_UNACK.data(), args[1], args[2]);
    if (cmd == "delete" && want(2))
        return cmd_act(opt, CMD_DELETE.data(), args[1], args[2]);
    if (cmd == "delete-through" && want(2))
        return cmd_act(opt, CMD_DELETE_THROUGH.data(), args[1], args[2]);
    if (cmd == "list" || cmd == "watch" || cmd == "show" || cmd == "ack" || cmd == "unack" ||
        cmd == "delete" || cmd == "delete-through" || cmd == "ping" || cmd == "stats" ||
        cmd == "check" || cmd == "diff")
        return usage_error("wrong number of arguments for " + cmd);
    return usage_error("unknown command '" + console_visible(cmd, opt.utf8) + "'");
}

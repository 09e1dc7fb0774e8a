// tarrowc: the operator's console for tarrowd. Lists, shows, acknowledges and deletes alerts
// from the command line, or watches the table full-screen.
#include "console/tarrowc.h"

#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/record.h"

static const char USAGE[] =
    "usage: tarrowc [-a address] [-p port] [-i seconds] [command]\n"
    "commands:\n"
    "  watch                      full-screen view of the alert table (the default)\n"
    "  list [--tsv]               print every alert, one a line\n"
    "  show host key              print the details of one alert\n"
    "  ack host key               acknowledge an alert\n"
    "  delete host key            delete an alert\n"
    "  delete-through host key    delete an alert and every alert listed before it\n"
    "options:\n"
    "  -a address    server address, dotted IPv4 (default 127.0.0.1)\n"
    "  -p port       server port (default 9003)\n"
    "  -i seconds    refresh interval of watch (default 2)\n"
    "  --help, --version\n";

static int
usage_error(const char *what)
{
    fprintf(stderr, "tarrowc: %s\n%s", what, USAGE);
    return EXIT_USAGE;
}

// Reads a whole decimal number in [lo, hi]; false when text is anything else.
static bool
parse_int(const char *text, int lo, int hi, int &out)
{
    if (*text == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

static int
connect_or_say(console_conn &c, const tarrowc_options &opt)
{
    std::string error;
    if (console_connect(c, opt.address, opt.port, REQUEST_TIMEOUT_MS, error) != CONSOLE_OK) {
        fprintf(stderr, "tarrowc: %s\n", error.c_str());
        return EXIT_USAGE;
    }
    return 0;
}

act_outcome
act_on_alert(console_conn &c, const char *command, const std::string &host,
             const std::string &key, std::string &message)
{
    std::string who = console_trim(host) + " " + console_trim(key);
    console_result r = console_exchange(
        c, console_build_request(CONSOLE_LIST_ALL, host, key, CMD_DETAILS), REQUEST_TIMEOUT_MS);
    if (r.status != CONSOLE_OK) {
        message = r.error;
        return ACT_CONNECTION_ERROR;
    }
    if (r.final_type == REPLY_ERROR) {
        message = "no such alert: " + who;
        return ACT_NO_SUCH_ALERT;
    }
    if (r.final_type != REPLY_DETAILS) {
        message = "unexpected answer to a look-up: " + r.final_type;
        return ACT_SERVER_ERROR;
    }
    r = console_exchange(c, console_build_request(CONSOLE_LIST_ALL, host, key, command),
                         REQUEST_TIMEOUT_MS);
    if (r.status != CONSOLE_OK) {
        message = r.error;
        return ACT_CONNECTION_ERROR;
    }
    if (r.final_type != MSG_REPLY_DONE) {
        message = "server error: " + console_trim(r.text);
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
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

// "list": the whole table, one alert a line; a text the listing cut is fetched in full.
static int
cmd_list(const tarrowc_options &opt)
{
    console_conn c;
    if (int st = connect_or_say(c, opt))
        return st;
    console_result r = console_exchange(
        c, console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST), REQUEST_TIMEOUT_MS);
    if (r.status != CONSOLE_OK) {
        fprintf(stderr, "tarrowc: %s\n", r.error.c_str());
        console_close(c);
        return EXIT_USAGE;
    }
    if (r.final_type != REPLY_LIST_LAST) {
        fprintf(stderr, "tarrowc: server error: %s", r.text.c_str());
        console_close(c);
        return EXIT_SERVER_ERROR;
    }
    std::vector<console_alert> alerts = console_parse_listing(r.text, 127);
    for (auto &a : alerts) {
        if (!a.cut)
            continue;
        console_result d = console_exchange(
            c, console_build_request(CONSOLE_LIST_ALL, a.hostname, a.key, CMD_DETAILS),
            REQUEST_TIMEOUT_MS);
        if (d.status == CONSOLE_OK && d.final_type == REPLY_DETAILS)
            a.text = console_details_msgtext(d.text);
    }
    console_close(c);

    if (alerts.empty() && !opt.tsv)
        printf("no alerts at present\n");
    for (const auto &a : alerts) {
        if (opt.tsv)
            printf("%s\t%s\t%s\t%s\t%s\n", a.datetime.c_str(), console_trim(a.hostname).c_str(),
                   console_trim(a.key).c_str(), a.type.c_str(), a.text.c_str());
        else
            printf("%s  %s %s %s  %s\n", a.datetime.c_str(), a.hostname.c_str(), a.key.c_str(),
                   a.type.c_str(), a.text.c_str());
    }
    return 0;
}

// "show": the details of one alert.
static int
cmd_show(const tarrowc_options &opt, const std::string &host, const std::string &key)
{
    console_conn c;
    if (int st = connect_or_say(c, opt))
        return st;
    console_result r = console_exchange(
        c, console_build_request(CONSOLE_LIST_ALL, host, key, CMD_DETAILS), REQUEST_TIMEOUT_MS);
    console_close(c);
    if (r.status != CONSOLE_OK) {
        fprintf(stderr, "tarrowc: %s\n", r.error.c_str());
        return EXIT_USAGE;
    }
    if (r.final_type != REPLY_DETAILS) {
        fprintf(stderr, "tarrowc: no such alert: %s %s\n", host.c_str(), key.c_str());
        return EXIT_SERVER_ERROR;
    }
    fputs(r.text.c_str(), stdout);
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
    act_outcome out = act_on_alert(c, command, host, key, message);
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

int
main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    tarrowc_options opt;
    std::vector<std::string> args;
    bool options_done = false;
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
        } else if (a == "-a" || a == "-p" || a == "-i") {
            if (i + 1 >= argc)
                return usage_error(("option " + a + " needs a value").c_str());
            const char *v = argv[++i];
            if (a == "-a") {
                opt.address = v;
            } else if (a == "-p") {
                if (!parse_int(v, 1, 65535, opt.port))
                    return usage_error(("invalid port '" + std::string(v) + "'").c_str());
            } else if (!parse_int(v, 1, 3600, opt.interval)) {
                return usage_error(("invalid interval '" + std::string(v) + "'").c_str());
            }
        } else {
            return usage_error(("unknown option " + a).c_str());
        }
    }

    std::string cmd = args.empty() ? "watch" : args[0];
    std::size_t operands = args.empty() ? 0 : args.size() - 1;
    auto want = [&](std::size_t n) { return operands == n; };
    if (cmd == "list" && want(0))
        return cmd_list(opt);
    if (cmd == "watch" && want(0))
        return run_watch(opt);
    if (cmd == "show" && want(2))
        return cmd_show(opt, args[1], args[2]);
    if (cmd == "ack" && want(2))
        return cmd_act(opt, CMD_ACKNOWLEDGE.data(), args[1], args[2]);
    if (cmd == "delete" && want(2))
        return cmd_act(opt, CMD_DELETE.data(), args[1], args[2]);
    if (cmd == "delete-through" && want(2))
        return cmd_act(opt, CMD_DELETE_THROUGH.data(), args[1], args[2]);
    if (cmd == "list" || cmd == "watch" || cmd == "show" || cmd == "ack" || cmd == "delete" ||
        cmd == "delete-through")
        return usage_error(("wrong number of arguments for " + cmd).c_str());
    return usage_error(("unknown command '" + cmd + "'").c_str());
}

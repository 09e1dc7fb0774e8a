// tarrow-history: the board's history from tarrowd's daily logs, as a timeline of what
// happened to the alerts, or as the board stood at one moment.
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "history/board.h"
#include "history/events.h"
#include "history/logfiles.h"
#include "history/logline.h"
#include "history/report.h"

static const char USAGE[] =
    "usage: tarrow-history [-v] [-d dir] [--host host] [--key key] [--state states]\n"
    "                      [--since time] [--until time] [--json]\n"
    "       tarrow-history [-v] [-d dir] --at time [--host host] [--key key]\n"
    "                      [--state states] [--json]\n"
    "time, local: YYYY-MM-DD [HH:MM[:SS]] (or with a T), HH:MM[:SS] (today),\n"
    "today or yesterday [HH:MM[:SS]], -N followed by s, m, h or d (before now);\n"
    "states: critical, warning, info, acked, waiting, closed, separated by commas\n";

static int
usage_error(const char *what)
{
    fprintf(stderr, "tarrow-history: %s\ntry 'tarrow-history --help'\n", what);
    return 1;
}

// The day after YYYYMMDD.
static long
next_day(long day)
{
    struct tm tm {};
    tm.tm_year = static_cast<int>(day / 10000 - 1900);
    tm.tm_mon = static_cast<int>(day / 100 % 100 - 1);
    tm.tm_mday = static_cast<int>(day % 100 + 1);
    tm.tm_hour = 12;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    return t == -1 ? day + 1 : static_cast<long>(local_stamp(t) / 1000000);
}

// Warns of every day from first to last (YYYYMMDD) that has no log file; at most a few
// lines, then a count.
static void
warn_missing_days(const std::vector<log_file> &files, long first, long last)
{
    int missing = 0;
    for (long day = first, n = 0; day <= last && n < 4000; day = next_day(day), n++) {
        bool found = false;
        for (const log_file &f : files)
            found = found || f.date == day;
        if (found)
            continue;
        if (missing++ < 5)
            fprintf(stderr, "tarrow-history: no log for %04ld-%02ld-%02ld\n", day / 10000,
                    day / 100 % 100, day % 100);
    }
    if (missing > 5)
        fprintf(stderr, "tarrow-history: %d more days without a log\n", missing - 5);
}

// The argument cut and space-filled to the width the server compares over.
static std::string
padded(const char *arg, std::size_t width)
{
    std::string s(arg, strnlen(arg, width));
    s.resize(width, ' ');
    return s;
}

// Lines not understood: how many, and where the first was.
struct not_understood {
    long count = 0;
    std::string first_file;
    long first_line = 0;
};

// Reads the files in order, applies each line to the board and adds its changes to the
// timeline, up to the first line after end (0: to the end). Returns 0, or 1 when a file
// could not be read.
static int
scan(const std::vector<log_file> &files, stamp_t end, board &b, timeline &t,
     not_understood &odd, bool verbose, stamp_t &first_stamp)
{
    int status = 0;
    stamp_cache cache;
    log_line line;
    line_reader reader;
    bool done = false;
    for (const log_file &f : files) {
        if (done || (end != 0 && f.date > end / 1000000))
            break;
        if (reader_open(reader, f) != 0) {
            int saved_errno = errno;
            fprintf(stderr, "tarrow-history: %s: %s\n", f.path.c_str(), strerror(saved_errno));
            status = 1;
            continue;
        }
        if (verbose)
            fprintf(stderr, "tarrow-history: reading %s\n", f.path.c_str());
        long line_number = 0;
        const char *p;
        std::size_t n;
        int got;
        while (!done && (got = reader_next(reader, p, n)) != 0) {
            line_number++;
            int applied = got == 1
                              ? history_apply_line(p, n, cache, line, b, t, end, first_stamp)
                              : 0;
            done = applied < 0;
            if (applied == 0 && odd.count++ == 0) {
                odd.first_file = f.path;
                odd.first_line = line_number;
            }
        }
        if (reader.error) {
            fprintf(stderr, "tarrow-history: %s: unreadable after line %ld\n", f.path.c_str(),
                    line_number);
            status = 1;
        }
        reader_close(reader);
    }
    return status;
}

int
main(int argc, char **argv)
{
    std::string dir = ".", host, key;
    bool json = false, verbose = false;
    time_t now = time(nullptr);
    stamp_t since = 0, until = 0, at = 0;
    unsigned states = ALL_STATES;

    enum { OPT_HOST = 256, OPT_KEY, OPT_STATE, OPT_SINCE, OPT_UNTIL, OPT_AT, OPT_JSON,
           OPT_HELP, OPT_VERSION };
    static const option options[] = {
        {"host", required_argument, nullptr, OPT_HOST},
        {"key", required_argument, nullptr, OPT_KEY},
        {"state", required_argument, nullptr, OPT_STATE},
        {"since", required_argument, nullptr, OPT_SINCE},
        {"until", required_argument, nullptr, OPT_UNTIL},
        {"at", required_argument, nullptr, OPT_AT},
        {"json", no_argument, nullptr, OPT_JSON},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "d:v", options, nullptr)) != -1) {
        switch (c) {
        case 'd':
            dir = optarg;
            break;
        case 'v':
            verbose = true;
            break;
        case OPT_HOST:
            host = padded(optarg, LEN_HOSTNAME);
            break;
        case OPT_KEY:
            key = padded(optarg, LEN_KEY);
            break;
        case OPT_STATE:
            states = parse_states(optarg);
            if (states == 0)
                return usage_error("unknown state in --state");
            break;
        case OPT_SINCE:
        case OPT_UNTIL:
        case OPT_AT: {
            stamp_t t = parse_user_time(optarg, c == OPT_UNTIL, now);
            if (t < 0) {
                std::string what = std::string("not a time: '") + optarg +
                                   "' (YYYY-MM-DD HH:MM[:SS], HH:MM, yesterday HH:MM, -2h)";
                return usage_error(what.c_str());
            }
            (c == OPT_SINCE ? since : c == OPT_UNTIL ? until : at) = t;
            break;
        }
        case OPT_JSON:
            json = true;
            break;
        case OPT_HELP:
            fputs(USAGE, stdout);
            return 0;
        case OPT_VERSION:
            printf("tarrow-history %s\n", application_version);
            return 0;
        default: {
            std::string what = optopt != 0 && optopt < 256
                                   ? std::string("unknown option -") + static_cast<char>(optopt)
                                   : std::string("unknown option ") + argv[optind - 1];
            if (optopt == 'd' || (optopt >= OPT_HOST && optopt <= OPT_AT))
                what = std::string("option ") + argv[optind - 1] + " needs a value";
            return usage_error(what.c_str());
        }
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument");
    if (at != 0 && (since != 0 || until != 0))
        return usage_error("--at goes with neither --since nor --until");

    std::vector<log_file> files, copies;
    if (list_log_files(dir, files, &copies) != 0) {
        int saved_errno = errno;
        fprintf(stderr, "tarrow-history: %s: %s\n", dir.c_str(), strerror(saved_errno));
        return 1;
    }
    if (files.empty()) {
        fprintf(stderr, "tarrow-history: no log files log_YYYYMMDD.log in %s\n", dir.c_str());
        return 1;
    }
    if (verbose)
        for (const log_file &f : copies)
            fprintf(stderr, "tarrow-history: not reading %s, a copy of another file\n",
                    f.path.c_str());

    board b;
    b.record_changes = at == 0;
    b.want_host = host;
    b.want_key = key;
    timeline t;
    t.json = json;
    t.since = since;
    t.until = until;
    t.states = states;

    // Lines come in time order, so reading stops at the first line after the end.
    not_understood odd;
    stamp_t first = 0;
    int status = scan(files, at != 0 ? at : until, b, t, odd, verbose, first);
    board_finish(b);

    // Say where the logs cannot answer: before the first line, and days without a log.
    stamp_t start = at != 0 ? at : since;
    if (at != 0 && (first == 0 || at < first)) {
        fprintf(stderr, "tarrow-history: no log covers %s: history from %s\n",
                stamp_text(at, false).c_str(),
                first != 0 ? stamp_text(first, false).c_str() : "nowhere (no log lines)");
        return 1;
    }
    if (start != 0 && first != 0 && start < first)
        fprintf(stderr, "tarrow-history: history from %s\n", stamp_text(first, false).c_str());
    if (first != 0) {
        long today = static_cast<long>(local_stamp(now) / 1000000);
        long from = static_cast<long>(std::max(start, first) / 1000000);
        long to = at != 0      ? static_cast<long>(at / 1000000)
                  : until != 0 ? static_cast<long>(until / 1000000)
                               : files.back().date;
        warn_missing_days(files, from, std::min(to, today));
    }
    if (at != 0) {
        print_board(stdout, b, at, json, states, host, key);
    } else {
        for (const change &ch : b.changes)
            timeline_add(t, ch);
        timeline_finish(t);
    }
    if (odd.count > 0)
        fprintf(stderr, "tarrow-history: %ld log line%s not understood, the first in %s line %ld\n",
                odd.count, odd.count == 1 ? "" : "s", odd.first_file.c_str(), odd.first_line);
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "tarrow-history: cannot write the output\n");
        return 1;
    }
    return status;
}

// tarrow-history: the board's history from tarrowd's daily logs, as a timeline of what
// happened to the alerts, or as the board stood at one moment.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "history/board.h"
#include "history/logfiles.h"
#include "history/logline.h"
#include "history/report.h"

static const char USAGE[] =
    "usage: tarrow-history [-d dir] [--host host] [--key key] [--state states]\n"
    "                      [--since time] [--until time] [--json]\n"
    "       tarrow-history [-d dir] --at time [--host host] [--key key] [--state states]\n"
    "                      [--json]\n"
    "time: YYYY-MM-DD HH:MM[:SS] (or with a T), local time; states: critical, warning,\n"
    "info, acked, waiting, closed, separated by commas\n";

static int
usage_error(const char *what)
{
    fprintf(stderr, "tarrow-history: %s\n%s", what, USAGE);
    return 1;
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
     not_understood &odd)
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
        long line_number = 0;
        const char *p;
        std::size_t n;
        int got;
        while (!done && (got = reader_next(reader, p, n)) != 0) {
            line_number++;
            bool understood = got == 1;
            // A message without a newline is followed by the next one in the same line.
            while (understood && n > 0) {
                parse_log_line(p, n, cache, line);
                if (line.kind != line_kind::unknown && end != 0 && line.stamp > end) {
                    done = true;
                    break;
                }
                if (board_apply(b, line) == 0)
                    understood = false;
                for (const change &ch : b.changes)
                    timeline_add(t, ch);
                p = line.rest.data();
                n = line.rest.size();
            }
            if (!understood && !done && odd.count++ == 0) {
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
    bool json = false;
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
    while ((c = getopt_long(argc, argv, "d:", options, nullptr)) != -1) {
        switch (c) {
        case 'd':
            dir = optarg;
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
            stamp_t t = parse_user_time(optarg, c == OPT_UNTIL);
            if (t < 0)
                return usage_error("a time is YYYY-MM-DD HH:MM[:SS]");
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
        default:
            return usage_error("unknown option");
        }
    }
    if (optind < argc)
        return usage_error("unexpected argument");
    if (at != 0 && (since != 0 || until != 0))
        return usage_error("--at goes with neither --since nor --until");

    std::vector<log_file> files;
    if (list_log_files(dir, files) != 0) {
        int saved_errno = errno;
        fprintf(stderr, "tarrow-history: %s: %s\n", dir.c_str(), strerror(saved_errno));
        return 1;
    }
    if (files.empty()) {
        fprintf(stderr, "tarrow-history: no log files log_YYYYMMDD.log in %s\n", dir.c_str());
        return 1;
    }

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
    int status = scan(files, at != 0 ? at : until, b, t, odd);
    board_finish(b);
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

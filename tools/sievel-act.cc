// sievel-act: turns sievel's action lines into alerts on one or more boards, over one
// persistent connection per board, and runs the user functions the lines ask for. This file
// reads the options and the action lines and runs the loop; act_queue.cc keeps each board's
// queue (and spool), act_link.cc its connection, act_userfunc.cc the user functions.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/fields.h"
#include "common/record.h"
#include "common/sender.h"
#include "common/text.h"
#include "tools/act.h"

static const char synopsis[] =
    "usage: sievel-act [-a address] [-p port] [-s severity] [-u userfunc-dir] [-f flicket]\n"
    "                  [--board address:port]... [--queue records] [--drain seconds]\n"
    "                  [--jobs n] [--userfunc-timeout seconds] [--ack-timeout seconds]\n"
    "                  [--spool dir] [--spool-max records]\n";

// ---- Command line ----

act_options opt;

struct severity_word {
    const char *word;
    std::string_view msgtype;
};
// flicket's severity words, chosen the same way: the argument begins with the whole word.
static const severity_word severities[] = {
    {"critical", MSG_CRITICAL}, {"warning", MSG_WARNING},   {"harmless", MSG_CLEAR},
    {"info", MSG_INFO},         {"logonly", MSG_LOG_ONLY}, {"clearall", MSG_CLEAR_HOST},
};

// The severity a parameter file's KEY line gives an entry's raises: the whole word, one of
// the three a raise may have. nullptr for anything else.
static const severity_word *
find_rule_severity(std::string_view word)
{
    for (const severity_word &s : severities)
        if (word == s.word && (s.msgtype == MSG_CRITICAL || s.msgtype == MSG_WARNING ||
                               s.msgtype == MSG_INFO))
            return &s;
    return nullptr;
}

// A number from start-up options, within [lo, hi]; false when text is no such number.
static bool
parse_number(const char *text, double lo, double hi, double &value)
{
    char *end;
    errno = 0;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(v >= lo && v <= hi))
        return false;
    value = v;
    return true;
}

// ---- Action lines ----

static unsigned long lineno = 0;
static int status = 0;
static alert_record template_rec;       // what every record of ours carries
static time_t stamp_second = 0;

// One line on stderr about the input line being handled.
__attribute__((format(printf, 1, 2))) static void
complain(const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sievel-act: line %lu: %s\n", lineno, msg);
}

static int
ilen(std::string_view s)
{
    return static_cast<int>(s.size());
}

// Copies at most width bytes of text into dest; returns the number copied.
static std::size_t
copy_text(char *dest, std::string_view text, std::size_t width)
{
    std::size_t n = text.size() < width ? text.size() : width;
    memcpy(dest, text.data(), n);
    return n;
}

// Builds the record of a raise or a clear, reply wanted, and queues it for every board.
static void
send_alert(std::string_view msgtype, std::string_view key, std::string_view text,
           std::string_view host)
{
    time_t now = time(nullptr);
    if (now != stamp_second) {
        set_datestamp(template_rec.data() + OFF_DATETIME);
        stamp_second = now;
    }
    alert_record rec = template_rec;
    char *r = rec.data();
    set_msgtype(r, msgtype);
    r[OFF_REPLY_WANTED] = 'Y';
    if (!host.empty()) {
        memset(r + OFF_HOSTNAME, ' ', LEN_HOSTNAME);
        copy_text(r + OFF_HOSTNAME, host, LEN_HOSTNAME);
    }
    zero_data_field(r + OFF_KEY, LEN_KEY + 1);
    copy_text(r + OFF_KEY, key, LEN_KEY);
    space_fill_string(r + OFF_KEY, LEN_KEY);
    zero_data_field(r + OFF_MSGTEXT, LEN_MSGTEXT);
    std::size_t len = record_text(r + OFF_MSGTEXT, text, host);
    number_to_string_with_null(r + OFF_MSGTEXT_LENGTH, static_cast<int>(len),
                               LEN_MSGTEXT_LENGTH + 1);
    for (board &b : boards)
        board_queue(b, r);
}

static void
queue_userfunc(std::string_view action, std::string_view key, std::string_view text,
               std::string_view host)
{
    if (opt.userdir.empty()) {
        complain("no -u directory given, %.*s for key %.*s skipped", ilen(action), action.data(),
                 ilen(key), key.data());
        return;
    }
    std::string path = opt.userdir + "/userfunc-" + action.back();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
        complain("no executable %s, %.*s for key %.*s skipped", path.c_str(), ilen(action),
                 action.data(), ilen(key), key.data());
        return;
    }
    // Arguments end at a zero byte, as any program's do.
    userfunc_queue(path, std::string(key.substr(0, strnlen(key.data(), key.size()))),
                   std::string(text.substr(0, strnlen(text.data(), text.size()))),
                   std::string(host.substr(0, strnlen(host.data(), host.size()))), lineno);
}

// Handles one input line, its newline removed. A severity after the host is the entry's
// own; without one, -s holds.
static void
act(std::string_view line)
{
    action_line a;
    action_parse parsed = action_line_parse(line, a);
    if (parsed == action_parse::foreign) {
        // Not ours at all (sievel prints its errors on stdout): shown as it is.
        fwrite(line.data(), 1, line.size(), stderr);
        fputc('\n', stderr);
        status = 1;
        return;
    }
    if (parsed == action_parse::malformed) {
        complain("malformed action line, skipped: %.*s", ilen(line), line.data());
        return;
    }
    std::string_view raise_msgtype = opt.raise_msgtype;
    if (!a.severity.empty()) {
        const severity_word *w = find_rule_severity(a.severity);
        if (w == nullptr) {
            complain("unknown severity %.*s, the -s one used", ilen(a.severity),
                     a.severity.data());
        } else {
            raise_msgtype = w->msgtype;
        }
    }
    if (a.action == "RAISE-ALERT")
        send_alert(raise_msgtype, a.key, a.text, a.host);
    else if (a.action == "CANCEL-ALERT")
        send_alert(MSG_CLEAR, a.key, a.text, a.host);
    else
        queue_userfunc(a.action, a.key, a.text, a.host);
}

// ---- Input ----

struct line_reader {
    bool eof = false;
    bool skipping = false;          // inside a line too long to keep: drop up to its newline
    std::size_t off = 0, len = 0;
    char buf[1 << 16];
};
static line_reader input;

// Reads what standard input holds now and handles each whole line; at the end of input the
// last line counts even without its newline.
static void
read_input()
{
    line_reader &r = input;
    if (r.off > 0) {
        memmove(r.buf, r.buf + r.off, r.len - r.off);
        r.len -= r.off;
        r.off = 0;
    }
    ssize_t n = read(STDIN_FILENO, r.buf + r.len, sizeof r.buf - r.len);
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
        int saved_errno = errno;
        fprintf(stderr, "sievel-act: reading the action lines: %s\n", strerror(saved_errno));
        r.eof = true;
    } else if (n == 0) {
        r.eof = true;
    } else if (n > 0) {
        r.len += static_cast<std::size_t>(n);
    }
    for (;;) {
        char *start = r.buf + r.off;
        char *nl = static_cast<char *>(memchr(start, '\n', r.len - r.off));
        if (nl == nullptr)
            break;
        std::size_t len = static_cast<std::size_t>(nl - start);
        r.off += len + 1;
        if (r.skipping) {
            r.skipping = false;
            continue;
        }
        ++lineno;
        act({start, len});
    }
    if (r.off == 0 && r.len == sizeof r.buf) {
        ++lineno;
        complain("longer than %zu bytes, skipped", sizeof r.buf);
        r.skipping = true;
        r.len = 0;
    }
    if (r.eof && r.off < r.len) {
        if (!r.skipping) {
            ++lineno;
            act({r.buf + r.off, r.len - r.off});
        }
        r.off = r.len = 0;
    }
}

// ---- Main loop ----

// Set by SIGTERM or SIGINT: take what the pipe holds now, then drain as at end of input.
static volatile sig_atomic_t stop_requested = 0;

static void
on_stop(int)
{
    stop_requested = 1;
}

// Reads what standard input holds without waiting for more, then ends the input: a stopped
// pipeline delivers every line its log reader has already passed on (journalctl's cursor
// file is past them), and loses none.
static void
read_rest_of_input()
{
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    for (int i = 0; i < 100000 && !input.eof; ++i) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            break;
        read_input();
    }
    if (!input.eof) {
        input.eof = true;
        if (input.off < input.len && !input.skipping) {
            ++lineno;
            act({input.buf + input.off, input.len - input.off});
        }
    }
}

// How often the spools are synced while records come in.
static constexpr long SPOOL_SYNC_MS = 100;

// True once nothing is left to do for the boards.
static bool
boards_empty()
{
    for (const board &b : boards)
        if (b.count > 0)
            return false;
    return true;
}

// The closing lines: what each board did not get. 0 when every record was delivered.
static int
final_report()
{
    report_losses();
    int rc = 0;
    for (const board &b : boards) {
        if (b.count + b.lost_total == 0)
            continue;
        fprintf(stderr,
                "sievel-act: board %s: %lu records not delivered (%zu still queued, %lu "
                "dropped when the queue was full)\n",
                b.name.c_str(), b.count + b.lost_total, b.count, b.lost_total);
        if (b.count > 0 && b.spool.fd >= 0)
            fprintf(stderr, "sievel-act: board %s: %zu records kept in %s for the next start\n",
                    b.name.c_str(), b.count, b.spool.path.c_str());
        rc = 1;
    }
    if (userfunc_dropped() > 0)
        fprintf(stderr, "sievel-act: %lu user function calls dropped, too many waiting\n",
                userfunc_dropped());
    return rc;
}

static void
run()
{
    long drain_deadline = 0;
    long next_report = monotonic_ms() + 1000;
    long next_sync = 0;
    std::vector<struct pollfd> fds;
    for (;;) {
        if (stop_requested && !input.eof) {
            // A second signal ends us at once.
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            read_rest_of_input();
        }
        long now = monotonic_ms();
        if (input.eof && drain_deadline == 0)
            drain_deadline = now + static_cast<long>(opt.drain * 1000);
        bool boards_done = boards_empty() || (input.eof && now >= drain_deadline);
        if (input.eof && boards_done && userfunc_idle())
            return;

        for (board &b : boards)
            if (b.state == link_state::waiting && now >= b.retry_at)
                link_start(b);

        // The wait: input, every connection, and the next time something is due.
        long wake = next_report;
        fds.clear();
        if (!input.eof)
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        for (board &b : boards) {
            if (b.state == link_state::waiting) {
                if (b.retry_at < wake)
                    wake = b.retry_at;
                continue;
            }
            short events = POLLIN;
            if (b.state == link_state::connecting || b.inflight < b.count)
                events |= POLLOUT;
            fds.push_back({b.fd, events, 0});
            if (b.state == link_state::connecting && b.connect_deadline < wake)
                wake = b.connect_deadline;
            if (b.state == link_state::up && (b.inflight > 0 || b.out_off > 0) &&
                b.ack_deadline < wake)
                wake = b.ack_deadline;
        }
        if (input.eof && drain_deadline < wake)
            wake = drain_deadline;
        if (!userfunc_idle() && now + 20 < wake)
            wake = now + 20;    // reap and time them without a signal handler
        long timeout = wake > now ? wake - now : 0;
        int n = poll(fds.data(), fds.size(), static_cast<int>(timeout));
        if (n < 0 && errno != EINTR) {
            int saved_errno = errno;
            fprintf(stderr, "sievel-act: poll: %s\n", strerror(saved_errno));
            exit(2);
        }

        std::size_t k = 0;
        if (!input.eof && fds[k++].revents != 0)
            read_input();
        now = monotonic_ms();
        // What was queued goes into the spools before it may leave; syncs come in batches.
        bool sync = now >= next_sync;
        if (sync)
            next_sync = now + SPOOL_SYNC_MS;
        for (board &b : boards)
            spool_flush(b, sync);
        for (board &b : boards) {
            if (b.state == link_state::waiting)
                continue;
            short rev = fds[k++].revents;
            if (b.state == link_state::connecting) {
                if (rev != 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    getsockopt(b.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0)
                        link_down(b, strerror(err));
                    else
                        link_connected(b);
                } else if (now >= b.connect_deadline) {
                    link_down(b, "no answer to connect");
                }
            } else if (rev & (POLLIN | POLLERR | POLLHUP)) {
                link_read(b);
            }
            link_check_ack(b, now);
            // New lines leave in this pass, not after the next wait.
            if (b.state == link_state::up)
                link_write(b);
        }
        userfunc_tend();
        if (now >= next_report) {
            report_losses();
            next_report = now + 1000;
        }
    }
}

int
main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(synopsis, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("sievel-act %s\n", application_version);
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);

    enum {
        OPT_BOARD = 256, OPT_QUEUE, OPT_DRAIN, OPT_JOBS, OPT_TIMEOUT, OPT_ACK_TIMEOUT, OPT_SPOOL,
        OPT_SPOOL_MAX
    };
    static const struct option longopts[] = {
        {"board", required_argument, nullptr, OPT_BOARD},
        {"queue", required_argument, nullptr, OPT_QUEUE},
        {"drain", required_argument, nullptr, OPT_DRAIN},
        {"jobs", required_argument, nullptr, OPT_JOBS},
        {"userfunc-timeout", required_argument, nullptr, OPT_TIMEOUT},
        {"ack-timeout", required_argument, nullptr, OPT_ACK_TIMEOUT},
        {"spool", required_argument, nullptr, OPT_SPOOL},
        {"spool-max", required_argument, nullptr, OPT_SPOOL_MAX},
        {nullptr, 0, nullptr, 0},
    };
    const char *address = nullptr, *port = nullptr, *sev = "critical";
    std::vector<const char *> board_options;
    std::size_t spool_max = 0;
    int c;
    double v;
    while ((c = getopt_long(argc, argv, "+a:p:s:u:f:", longopts, nullptr)) != -1) {
        switch (c) {
        case 'a': address = optarg; break;
        case 'p': port = optarg; break;
        case 's': sev = optarg; break;
        case 'u': opt.userdir = optarg; break;
        case 'f': break;    // flicket is no longer run: kept so that old command lines work
        case OPT_BOARD: board_options.push_back(optarg); break;
        case OPT_QUEUE:
            if (!parse_number(optarg, 1, 10000000, v)) {
                fprintf(stderr, "sievel-act: --queue takes 1 to 10000000 records, not %s\n",
                        optarg);
                return 1;
            }
            opt.queue = static_cast<std::size_t>(v);
            break;
        case OPT_SPOOL_MAX:
            if (!parse_number(optarg, 1, 10000000, v)) {
                fprintf(stderr, "sievel-act: --spool-max takes 1 to 10000000 records, not %s\n",
                        optarg);
                return 1;
            }
            spool_max = static_cast<std::size_t>(v);
            break;
        case OPT_SPOOL: opt.spool_dir = optarg; break;
        case OPT_ACK_TIMEOUT:
            if (!parse_number(optarg, 0.001, 86400, opt.ack_timeout)) {
                fprintf(stderr, "sievel-act: --ack-timeout takes seconds up to 86400, not %s\n",
                        optarg);
                return 1;
            }
            break;
        case OPT_DRAIN:
            if (!parse_number(optarg, 0, 86400, opt.drain)) {
                fprintf(stderr, "sievel-act: --drain takes 0 to 86400 seconds, not %s\n", optarg);
                return 1;
            }
            break;
        case OPT_JOBS:
            if (!parse_number(optarg, 1, 64, v)) {
                fprintf(stderr, "sievel-act: --jobs takes 1 to 64, not %s\n", optarg);
                return 1;
            }
            opt.jobs = static_cast<int>(v);
            break;
        case OPT_TIMEOUT:
            if (!parse_number(optarg, 0.001, 86400, opt.userfunc_timeout)) {
                fprintf(stderr, "sievel-act: --userfunc-timeout takes seconds up to 86400, "
                                "not %s\n", optarg);
                return 1;
            }
            break;
        default:
            fputs(synopsis, stderr);
            return 1;
        }
    }
    if (optind < argc) {
        fputs(synopsis, stderr);
        return 1;
    }

    // Everything is checked before the first line is read.
    const severity_word *found = nullptr;
    for (const severity_word &s : severities)
        if (strncmp(sev, s.word, strlen(s.word)) == 0) {
            found = &s;
            break;
        }
    if (found == nullptr) {
        fprintf(stderr, "sievel-act: unknown severity %s (critical, warning, harmless, info, "
                        "logonly or clearall)\n", sev);
        return 1;
    }
    opt.raise_msgtype = found->msgtype;
    if (!opt.userdir.empty()) {
        struct stat st;
        int err = 0;
        if (stat(opt.userdir.c_str(), &st) != 0)
            err = errno;
        else if (!S_ISDIR(st.st_mode))
            err = ENOTDIR;
        else if (access(opt.userdir.c_str(), X_OK) != 0)
            err = errno;
        if (err != 0) {
            fprintf(stderr, "sievel-act: user function directory %s: %s\n",
                    opt.userdir.c_str(), strerror(err));
            return 1;
        }
    }
    // -a and -p name one board, as they always did; so do their defaults when no --board
    // is given.
    if (address != nullptr || port != nullptr || board_options.empty())
        if (!add_board(address != nullptr ? address : "127.0.0.1",
                       port != nullptr ? port : "9003"))
            return 1;
    for (const char *text : board_options)
        if (!add_board_option(text))
            return 1;
    // With a spool, --spool-max bounds each board's queue (--queue when it is not given),
    // and the queue starts with what the spool holds from the last run.
    if (spool_max > 0 && opt.spool_dir.empty()) {
        fprintf(stderr, "sievel-act: --spool-max needs --spool\n");
        return 1;
    }
    if (!opt.spool_dir.empty()) {
        if (spool_max > 0)
            opt.queue = spool_max;
        if (mkdir(opt.spool_dir.c_str(), 0700) != 0 && errno != EEXIST) {
            int saved_errno = errno;
            fprintf(stderr, "sievel-act: spool directory %s: %s\n", opt.spool_dir.c_str(),
                    strerror(saved_errno));
            return 1;
        }
        for (board &b : boards)
            if (spool_open(b) != 0)
                return 1;
    }

    init_alert_request_buffer(template_rec.data(), PRODUCT_GENALERT.data(),
                              MSG_CRITICAL.data());
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    run();
    for (board &b : boards)
        spool_flush(b, true, true);
    int rc = final_report();
    return status != 0 ? status : rc;
}

// sievel: reads log lines on stdin and writes an action line for each that matches an entry.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "common/version.h"
#include "filter/match.h"
#include "filter/params.h"

static const char application_version[] = TARROW_VERSION;

static void
usage()
{
    printf("usage: sievel paramfile [logdataoffset]\n"
           "       sievel --check paramfile [logfile]\n"
           "       sievel --help | --version\n");
}

// What --check shows of each entry: the first lines it catches, each with the host and the
// text its action line carries, so that a wrong field number or offset shows at once.
inline constexpr int CHECK_SAMPLES = 3;
struct check_sample {
    unsigned long line_number;
    char line[LINE_PIECE_MAX + 1];
    char action[ACTION_LINE_MAX];   // the action line, newline removed
};
static check_sample samples[MAX_ENTRIES][CHECK_SAMPLES];

// Prints a sample as the action line carries it: text between the first double quote and
// the last '" ', host after it up to a blank, and the severity after that.
static void
print_sample(const check_sample &s)
{
    std::string_view a = s.action;
    std::size_t open = a.find('"');
    std::size_t close = a.rfind("\" ");
    std::string_view text = a.substr(open + 1, close - open - 1);
    std::string_view host = a.substr(close + 2);
    std::string_view severity;
    if (std::size_t blank = host.find(' '); blank != std::string_view::npos) {
        severity = host.substr(blank + 1);
        host = host.substr(0, blank);
    }
    printf("    line %lu: host \"%.*s\" text \"%.*s\"", s.line_number,
           static_cast<int>(host.size()), host.data(), static_cast<int>(text.size()),
           text.data());
    if (!severity.empty())
        printf(" %.*s", static_cast<int>(severity.size()), severity.data());
    printf("\n");
}

// Runs every line of logname through the matcher and prints what each entry caught.
static int
check_log(const char *logname)
{
    int fd = open(logname, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int saved_errno = errno;
        snprintf(line_buffer, LINE_PIECE_MAX + 1, "Error: Unable to open file %s\n", logname);
        errno = saved_errno;
        perror(line_buffer);
        return 1;
    }
    static piece_reader in;
    in.fd = fd;
    unsigned long caught[MAX_ENTRIES] = {};
    unsigned long lines = 0, unmatched = 0;
    std::string_view piece;
    int rc;
    while ((rc = read_piece(in, piece)) > 0) {
        ++lines;
        int i = find_first_entry(piece);
        if (i < 0) {
            ++unmatched;
            continue;
        }
        // Every catch is formatted, as a run would: the host of a line without one is the
        // previous line's.
        char action[ACTION_LINE_MAX];
        std::size_t n = format_action_line(piece, i, action);
        if (caught[i] < CHECK_SAMPLES) {
            check_sample &s = samples[i][caught[i]];
            s.line_number = lines;
            memcpy(s.line, piece.data(), piece.size());
            s.line[piece.size()] = '\0';
            memcpy(s.action, action, n - 1);
            s.action[n - 1] = '\0';
        }
        ++caught[i];
    }
    if (rc < 0) {
        int saved_errno = errno;
        close(fd);
        snprintf(line_buffer, LINE_PIECE_MAX + 1, "Error: Unable to read file %s\n", logname);
        errno = saved_errno;
        perror(line_buffer);
        return 1;
    }
    close(fd);
    for (int i = 0; i < message_table.entry_count; ++i) {
        const parameter_entry &e = message_table.entry[i];
        printf("%2d %c %-14s %8lu lines", i + 1, e.action_code, e.alert_key, caught[i]);
        if (caught[i] > 0)
            printf(", first at line %lu: %s", samples[i][0].line_number, samples[i][0].line);
        printf("\n");
        for (unsigned long k = 0; k < caught[i] && k < CHECK_SAMPLES; ++k)
            print_sample(samples[i][k]);
    }
    printf("%lu of %lu lines matched nothing\n", unmatched, lines);
    return 0;
}

// sievel --check paramfile [logfile]: loads the file as a run would and reports what it holds,
// and with a log file what each entry would catch there, instead of writing action lines.
static int
check_main(int argc, char **argv)
{
    if (argc < 3) {
        printf("Error: missing parameters !\n");
        printf("Syntax: sievel --check <config-file-name> [<log-file>]\n");
        return 1;
    }
    if (load_parameter_file(argv[2]) != 0)
        return 1;
    matcher_build();
    printf("%s: %d entries, USEHOSTNAME ", argv[2], message_table.entry_count);
    if (usehostname_fieldnumber == 0)
        printf("not set\n");
    else if (usehostname_fieldnumber < 0)
        printf("%d (no host extraction)\n", usehostname_fieldnumber);
    else
        printf("%d\n", usehostname_fieldnumber);
    if (crlf_line_count > 0)
        printf("%d lines ended with a carriage return (CRLF line ends); it was removed\n",
               crlf_line_count);
    for (int k = 0; k < key_rules.count; ++k)
        printf("KEY %s: severity %s, text of the %s line\n", key_rules.rule[k].alert_key,
               key_rules.rule[k].severity != nullptr ? key_rules.rule[k].severity
                                                     : "from sievel-act -s",
               key_rules.rule[k].text_first ? "first" : "last");
    if (argc < 4)
        return 0;
    return check_log(argv[3]);
}

int
main(int argc, char **argv)
{
    params_reset();
    if (argc < 2) {
        printf("Error: missing parameters !\n");
        printf("Syntax: tail -f <log-to-parse> | sievel <config-file-name> [<logdataoffset>] "
               "| processing script\n");
        return 1;
    }
    if (strcmp(argv[1], "--help") == 0) {
        usage();
        return 0;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("sievel %s\n", application_version);
        return 0;
    }
    if (strcmp(argv[1], "--check") == 0)
        return check_main(argc, argv);

    // Any argument after the parameter file (the old logdataoffset) is accepted and unused:
    // each entry carries its own data start offset.
    if (load_parameter_file(argv[1]) != 0)
        return 1;
    matcher_build();

    // Action lines gather in a large buffer and leave before each read of input: one read's
    // lines leave together, and none waits while we wait for the log to grow.
    static char out_buf[1 << 16];
    setvbuf(stdout, out_buf, _IOFBF, sizeof out_buf);
    static piece_reader in;
    in.fd = STDIN_FILENO;
    in.flush_before_read = stdout;
    std::string_view piece;
    while (read_piece(in, piece) > 0)
        line_function_request(piece);
    return 0;
}

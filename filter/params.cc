// Loads sievel's parameter file into message_table and checks every line of it.
#include "filter/params.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

parameter_table message_table;
key_rule_table key_rules;
std::int32_t usehostname_fieldnumber;
char reportinghost[LEN_REPORTINGHOST + 1];
char line_buffer[LINE_BUFFER_SIZE];
int crlf_line_count;

void
params_reset()
{
    message_table.entry_count = 0;
    memset(message_table.entry, 0, sizeof message_table.entry);
    key_rules.count = 0;
    memset(key_rules.rule, 0, sizeof key_rules.rule);
    usehostname_fieldnumber = 0;
    reportinghost[0] = '\0';
}

// The end of a parameter line is its zero byte or a newline.
static bool
at_line_end(const char *p)
{
    return *p == '\0' || *p == '\n';
}

// A blank is the space character only; a tab is an ordinary character.
static const char *
skip_blanks(const char *p)
{
    while (*p == ' ')
        ++p;
    return p;
}

static const char *
skip_word(const char *p)
{
    while (!at_line_end(p) && *p != ' ')
        ++p;
    return p;
}

// The number the C library's atoi would read: leading white space, a sign, digits up to the
// first non-digit, 0 when there are none. Saturates instead of overflowing.
static std::int32_t
read_number(const char *p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX)
            v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<std::int32_t>(-v);
    return static_cast<std::int32_t>(v > INT_MAX ? INT_MAX : v);
}

const key_rule *
entry_rule(int i)
{
    const char *key = message_table.entry[i].alert_key;
    for (int k = 0; k < key_rules.count; ++k)
        if (strcmp(key_rules.rule[k].alert_key, key) == 0)
            return &key_rules.rule[k];
    return nullptr;
}

// Copies the alert key at p into key (LEN_ALERT_KEY + 1 bytes), cut to LEN_ALERT_KEY and
// terminated; returns the end of its word.
static const char *
copy_key(const char *p, char *key)
{
    const char *key_end = skip_word(p);
    std::size_t n = static_cast<std::size_t>(key_end - p);
    if (n > LEN_ALERT_KEY)
        n = LEN_ALERT_KEY;
    memcpy(key, p, n);
    key[n] = '\0';
    return key_end;
}

// True when the word at p (up to a blank or the line's end) is text.
static bool
word_is(const char *p, const char *end, const char *text)
{
    return static_cast<std::size_t>(end - p) == strlen(text) && memcmp(p, text, end - p) == 0;
}

// "KEY name setting...", p at the blank after KEY: the settings of the alerts of one key.
// 1 stored; 0 after the reason on stdout.
static int
store_key_rule(const char *p)
{
    p = skip_blanks(p);
    if (at_line_end(p)) {
        printf("Error: KEY line without a key\n");
        return 0;
    }
    char key[LEN_ALERT_KEY + 1] = {};
    const char *key_end = copy_key(p, key);
    for (int k = 0; k < key_rules.count; ++k)
        if (strcmp(key_rules.rule[k].alert_key, key) == 0) {
            printf("Error: a second KEY line for %s\n", key);
            return 0;
        }
    if (key_rules.count == MAX_KEY_RULES) {
        printf("Error: Over %d KEY lines in the parameter file\n", MAX_KEY_RULES);
        return 0;
    }
    key_rule r{};
    memcpy(r.alert_key, key, sizeof key);
    static const char *const severities[] = {"critical", "warning", "info"};
    for (p = skip_blanks(key_end); !at_line_end(p); p = skip_blanks(p)) {
        const char *end = skip_word(p);
        const char *eq = static_cast<const char *>(memchr(p, '=', static_cast<std::size_t>(end - p)));
        bool known = false;
        if (eq != nullptr && word_is(p, eq, "severity")) {
            for (const char *sev : severities)
                if (word_is(eq + 1, end, sev)) {
                    r.severity = sev;
                    known = true;
                }
        } else if (eq != nullptr && word_is(p, eq, "text")) {
            known = word_is(eq + 1, end, "first") || word_is(eq + 1, end, "last");
            r.text_first = word_is(eq + 1, end, "first");
        }
        if (!known) {
            printf("Error: KEY setting %.*s unknown; severity=critical, warning or info, "
                   "text=first or last\n", static_cast<int>(end - p), p);
            return 0;
        }
        p = end;
    }
    key_rules.rule[key_rules.count++] = r;
    return 1;
}

int
store_line(const char *line)
{
    if (message_table.entry_count == MAX_ENTRIES) {
        printf("Error: Over %d entries in the parameter table, review table\n", MAX_ENTRIES);
        return 0;
    }
    const char *p = skip_blanks(line);
    if (at_line_end(p)) {
        printf("Error: Empty line in parameter file\n");
        return 0;
    }
    if (*p == '#')
        return 1;
    if (strncmp(p, "USEHOSTNAME=", 12) == 0) {
        usehostname_fieldnumber = read_number(p + 12);
        if (usehostname_fieldnumber == 0 || usehostname_fieldnumber > USEHOSTNAME_MAX) {
            printf("Error: non-numeric or invalid value in USEHOSTNAME line\n");
            return 0;
        }
        return 1;      // a negative value is kept: it turns host extraction off
    }
    if (strncmp(p, "KEY ", 4) == 0)
        return store_key_rule(p + 3);

    char c = *p;
    if (c != 'A' && c != 'X' && !(c >= '1' && c <= '5')) {
        printf("Error: Invalid action code, must be A or X. Code in file was %c\n", c);
        return 0;
    }
    parameter_entry &e = message_table.entry[message_table.entry_count];
    e.action_code = c;
    p = skip_word(p);
    if (at_line_end(p) || at_line_end(p = skip_blanks(p))) {
        printf("Error: Incomplete line in parameter file, no alert key found\n");
        return 0;
    }

    p = skip_blanks(copy_key(p, e.alert_key));
    if (at_line_end(p)) {
        printf("Error: Incomplete line in parameter file, no data start offset found\n");
        return 0;
    }

    if (*p < '0' || *p > '9') {
        printf("Error: Non numeric data start offset, ptr at %s\n", p);
        return 0;
    }
    e.data_start_offset = read_number(p);
    p = skip_blanks(skip_word(p));
    if (at_line_end(p)) {
        printf("Error: Incomplete line in parameter file, no message text\n");
        return 0;
    }

    // The match text runs to the end of the line, inner and trailing blanks included.
    std::size_t n = 0;
    while (n < LEN_MATCH_TEXT && !at_line_end(p + n))
        ++n;
    memcpy(e.match_text, p, n);
    e.match_text[n] = '\0';
    e.match_length = static_cast<std::int32_t>(n);
    ++message_table.entry_count;
    return 1;
}

int
read_piece(piece_reader &r, std::string_view &piece)
{
    for (;;) {
        std::size_t avail = r.len - r.pos;
        std::size_t look = avail < LINE_PIECE_MAX ? avail : LINE_PIECE_MAX;
        const char *start = r.buf + r.pos;
        const char *nl = static_cast<const char *>(memchr(start, '\n', look));
        std::size_t n;
        r.crlf = false;
        if (nl != nullptr) {
            n = static_cast<std::size_t>(nl - start);
            r.pos += n + 1;
            r.crlf = n > 0 && start[n - 1] == '\r';
        } else if (avail >= LINE_PIECE_MAX || (r.at_end && avail > 0)) {
            n = look;
            r.pos += n;
        } else if (r.at_end) {
            return 0;
        } else {
            // Too little for a whole piece: move the rest down and read more.
            memmove(r.buf, start, avail);
            r.pos = 0;
            r.len = avail;
            if (r.flush_before_read != nullptr)
                fflush(r.flush_before_read);
            ssize_t got;
            do
                got = read(r.fd, r.buf + r.len, sizeof r.buf - r.len);
            while (got < 0 && errno == EINTR);
            if (got < 0)
                return -1;
            if (got == 0)
                r.at_end = true;
            r.len += static_cast<std::size_t>(got);
            continue;
        }
        // A zero byte ends the line as it ends a C string.
        const char *zero = static_cast<const char *>(memchr(start, '\0', n));
        if (zero != nullptr)
            n = static_cast<std::size_t>(zero - start);
        piece = std::string_view(start, n);
        return 1;
    }
}

// Reports name in the manner of perror: the formatted text (at most 255 characters), then
// ": " and the system's error text, on stderr.
static void
report_file_error(const char *format, const char *name, int saved_errno)
{
    snprintf(line_buffer, LINE_PIECE_MAX + 1, format, name);
    errno = saved_errno;
    perror(line_buffer);
}

int
load_parameter_file(const char *name)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        report_file_error("Error: Unable to open file %s\n", name, errno);
        return 1;
    }
    static piece_reader in;
    in.fd = fd;
    in.at_end = false;
    in.pos = in.len = 0;
    message_table.entry_count = 0;
    crlf_line_count = 0;

    int line_number = 1;
    std::string_view piece;
    for (;;) {
        int rc = read_piece(in, piece);
        if (rc < 0) {
            int saved_errno = errno;
            close(fd);
            report_file_error("Error: Unable to read file %s\n", name, saved_errno);
            return 1;
        }
        if (rc == 0)
            break;
        if (in.crlf && !piece.empty() && piece.back() == '\r') {
            piece.remove_suffix(1);
            ++crlf_line_count;
        }
        memcpy(line_buffer, piece.data(), piece.size());
        line_buffer[piece.size()] = '\0';
        if (!store_line(line_buffer)) {
            close(fd);
            printf("Error: config file syntax error (line %d) : %s\n", line_number, line_buffer);
            return 1;
        }
        ++line_number;
    }
    close(fd);
    return 0;
}

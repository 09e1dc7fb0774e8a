// Sender side of the record protocol: record set-up, connecting to the server, closing.
#include "common/sender.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fields.h"
#include "common/record.h"
#include "common/text.h"

// Copies at most width bytes of text into the field; the record is zero-filled, so a
// shorter text leaves zeros behind it for pad_header_fields to turn into spaces.
static void
copy_field(char *record, std::size_t off, std::size_t width, const char *text)
{
    memcpy(record + off, text, strnlen(text, width));
}

void
init_alert_request_buffer(char *record, const char *productid, const char *msgtype)
{
    memset(record, 0, ALERT_RECORD_SIZE);
    copy_field(record, OFF_PRODUCTID, LEN_PRODUCTID, productid);
    copy_field(record, OFF_VERSION, LEN_VERSION, application_version);

    // Read the name into a buffer of our own and take its first 15 bytes, so that a long
    // name is cut the same way whatever the C library does with a short buffer. A failed
    // call leaves the field zero, which pad_header_fields turns into spaces.
    char name[256] = {};
    (void)gethostname(name, sizeof name - 1);
    copy_field(record, OFF_HOSTNAME, LEN_HOSTNAME, name);

    copy_field(record, OFF_KEY, LEN_KEY, "N/A");
    copy_field(record, OFF_AUX_NUMBER, LEN_AUX_NUMBER, "0");
    record[OFF_MSGTYPE] = msgtype[0];
    record[OFF_MSGTYPE + 1] = msgtype[1];
    record[OFF_REPLY_WANTED] = 'N';
    set_datestamp(record + OFF_DATETIME);
    record[OFF_PERSISTENT] = 'Y';
    zero_data_field(record + OFF_MSGTEXT, LEN_MSGTEXT);
    zero_data_field(record + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA);
    number_to_string_with_null(record + OFF_MSGTEXT_LENGTH, 0, LEN_MSGTEXT_LENGTH + 1);
    pad_header_fields(record);
    record[OFF_ALERT_NEWLINE] = '\n';
}

int
sender_port(const char *text)
{
    int port = 0;
    return text_port(text, port) ? port : 0;
}

// Text made of digits and dots only is meant as a dotted IPv4 address: when that fails to
// read, no name look-up is tried for it.
static bool
looks_numeric(const char *address)
{
    return address[strspn(address, "0123456789.")] == '\0';
}

// True for four dotted decimal parts of 0 to 255 other than the limited broadcast address,
// which is never a TCP peer. "9003" or "127.1", which inet_addr would read, are refused: such
// a text is far more often a port or an address given in the wrong place.
static bool
dotted_ipv4(const char *address)
{
    struct in_addr a;
    return inet_pton(AF_INET, address, &a) == 1 && a.s_addr != INADDR_NONE;
}

// Connects fd (non-blocking) to ai before deadline_ms. 0 connected; otherwise an errno value,
// ETIMEDOUT when the deadline passed first.
static int
connect_before(int fd, const struct addrinfo *ai, long deadline_ms)
{
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    for (;;) {
        long left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return ETIMEDOUT;
        struct pollfd p = {fd, POLLOUT, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR)
            return errno;
        if (n > 0)
            break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

int
connect_to_server(int port, const char *address, int *socket, int timeout_seconds)
{
    // The port is the low 16 bits of what was given; the address a host name, a dotted IPv4
    // address or an IPv6 address.
    char service[8];
    snprintf(service, sizeof service, "%d", port & 0xffff);
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    if (looks_numeric(address))
        hints.ai_flags |= AI_NUMERICHOST;
    struct addrinfo *list = nullptr;
    if (address[0] == '\0' || (looks_numeric(address) && !dotted_ipv4(address)) ||
        getaddrinfo(address, service, &hints, &list) != 0) {
        printf("Improperly formatted network address, %s\n", address);
        return 0;
    }

    // Try each address in turn until one connects, all within one time-out.
    const long deadline = monotonic_ms() + 1000L * timeout_seconds;
    int err = 0;
    *socket = -1;
    for (const struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (monotonic_ms() >= deadline) {
            err = ETIMEDOUT;
            *socket = -1;
            break;
        }
        int fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
        *socket = fd;
        if (fd < 0) {
            int saved_errno = errno;
            if (ai->ai_next != nullptr)
                continue;
            freeaddrinfo(list);
            printf("%s: %s\n", strerror(saved_errno), "Unable to create TCPIP socket");
            return 0;
        }
        err = connect_before(fd, ai, deadline);
        if (err == 0) {
            // Writes from here on wait as they always did.
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            freeaddrinfo(list);
            return 1;
        }
        // The last socket stays open, as a failed connect always left it.
        if (ai->ai_next != nullptr)
            close(fd);
    }
    freeaddrinfo(list);

    // The message shows the port as the caller gave it, not the 16 bits used.
    char msg[4096];
    snprintf(msg, sizeof msg, "connect(2), host %s nothing listening on port %d", address, port);
    printf("%s: %s\n", strerror(err), msg);
    return 0;
}

void
disconnect_from_server(int socket)
{
    close(socket);
    printf("\n");
}

const char *
sender_split_board(const char *arg, std::string &address, std::string &port)
{
    std::string_view text = arg;
    if (text_split_host_port(text, address, port))
        return nullptr;
    if (text.find(':') == std::string_view::npos || text.back() == ']')
        return "the port is missing (ADDRESS:PORT)";
    if (text[0] != '[')
        return "an IPv6 address goes in brackets ([ADDRESS]:PORT)";
    return "no ] before the :PORT ([ADDRESS]:PORT)";
}

int
sender_command_line(int argc, char **argv, const char *name, const char *usage_text, int nargs,
                    const char *need, const char *optstring, sender_options &opts)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", name, application_version);
        return 0;
    }
    // '+': the options end at the first positional argument, whatever follows it; ':' lets
    // us tell a missing value from an unknown letter, and every message goes to stdout.
    char letters[16];
    snprintf(letters, sizeof letters, "+:%s", optstring);
    opterr = 0;
    optind = 1;
    enum { OPT_BOARD = 256 };
    const struct option board_option[] = {
        {"board", required_argument, nullptr, OPT_BOARD},
        {nullptr, 0, nullptr, 0},
    };
    const struct option *longopts = opts.takes_boards ? board_option : board_option + 1;
    int c;
    while ((c = getopt_long(argc, argv, letters, longopts, nullptr)) != -1) {
        if (c == OPT_BOARD) {
            opts.boards.push_back(optarg);
        } else if (c == 'H') {
            opts.host = optarg;
        } else if (c == 't') {
            char *end;
            long v = strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || v < 1 || v > 3600) {
                printf("%s: -t takes a number of seconds from 1 to 3600, not %s\n", name,
                       optarg);
                return 1;
            }
            opts.timeout_seconds = static_cast<int>(v);
        } else {
            if (c == ':' && optopt == OPT_BOARD)
                printf("%s: option --board needs a value\n", name);
            else if (c == ':')
                printf("%s: option -%c needs a value\n", name, optopt);
            else if (optopt == 0)
                printf("%s: unknown option %s\n", name, argv[optind - 1]);
            else
                printf("%s: unknown option -%c\n", name, optopt);
            fputs(usage_text, stdout);
            return 1;
        }
    }
    opts.first_arg = optind;
    if (!opts.boards.empty()) {
        // The boards stand for the port and the address.
        nargs -= 2;
        for (int words = 0; words < 2 && strchr(need, ' ') != nullptr; ++words)
            need = strchr(need, ' ') + 1;
    }
    if (argc - optind < nargs) {
        printf("Required arguments are missing !\n");
        printf("Need %s\n", need);
        printf("Please read the manual !\n");
        return 1;
    }
    return -1;
}

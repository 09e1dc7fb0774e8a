// flicket: sends one alert (a severity, a key and a message text) to tarrowd, or to each of
// several boards, and ends.
#include <signal.h>
#include <unistd.h>

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

// Severity words in the order they are tried; an argument selects a word when it begins
// with the whole word, so "warnings" is a warning and "warn" is nothing.
struct severity {
    const char *word;
    std::string_view msgtype;
};
static const severity severities[] = {
    {"critical", MSG_CRITICAL}, {"warning", MSG_WARNING},   {"harmless", MSG_CLEAR},
    {"info", MSG_INFO},         {"logonly", MSG_LOG_ONLY}, {"clearall", MSG_CLEAR_HOST},
};

static const char usage_text[] =
    "usage: flicket [-H host] [-t seconds] port-num ip-address severity key message-text\n"
    "       flicket [-H host] [-t seconds] --board address:port... severity key message-text\n"
    "       flicket --help | --version\n"
    "severity: critical, warning, harmless, info, logonly or clearall\n"
    "ip-address: a host name, an IPv4 or an IPv6 address\n"
    "--board: a board to send to, as host:port, 1.2.3.4:port or [ipv6]:port; repeatable\n"
    "-H: send as this host (default: this host's name); -t: connect time-out (default 5)\n";

// The first severity word that arg begins with, or nullptr.
static const severity *
find_severity(const char *arg)
{
    for (const severity &s : severities)
        if (strncmp(arg, s.word, strlen(s.word)) == 0)
            return &s;
    return nullptr;
}

// Copies at most width bytes of text to dest, newlines sent as spaces: a newline inside a
// record would end it early at the server. Returns the number of bytes copied.
static int
copy_text(char *dest, const char *text, std::size_t width)
{
    std::size_t n = strnlen(text, width);
    for (std::size_t i = 0; i < n; i++)
        dest[i] = text[i] == '\n' ? ' ' : text[i];
    return static_cast<int>(n);
}

// Sends the record to one board. 0 when the whole record was written; after the messages, 1
// when no connection was made and 2 when the write fell short.
static int
send_record(const char *record, int port, const char *address, int timeout_seconds,
            const char *board)
{
    int sock;
    if (!connect_to_server(port, address, &sock, timeout_seconds)) {
        if (board == nullptr)
            printf("Unable to connect to server.\n");
        else
            printf("Unable to connect to board %s.\n", board);
        return 1;
    }
    bool whole =
        write(sock, record, ALERT_RECORD_SIZE) == static_cast<ssize_t>(ALERT_RECORD_SIZE);
    if (!whole)
        printf("Unable to write alert buffer to %s\n", board != nullptr ? board : address);
    disconnect_from_server(sock);
    return whole ? 0 : 2;
}

// The boards of --board, checked before anything is sent. false after a message naming the
// argument that is wrong.
struct board_target {
    const char *arg;
    std::string address;
    int port;
};
static bool
read_boards(const std::vector<const char *> &args, std::vector<board_target> &out)
{
    for (const char *arg : args) {
        board_target t{arg, {}, 0};
        std::string port;
        if (const char *why = sender_split_board(arg, t.address, port)) {
            printf("flicket: --board %s: %s\n", arg, why);
            return false;
        }
        t.port = sender_port(port.c_str());
        if (t.port == 0) {
            printf("Illegal port number: %s\n", port.c_str());
            return false;
        }
        if (!text_address(t.address)) {
            printf("Improperly formatted network address, %s\n", t.address.c_str());
            return false;
        }
        out.push_back(std::move(t));
    }
    return true;
}

int
main(int argc, char **argv)
{
    sender_options opts;
    opts.takes_boards = true;
    int status = sender_command_line(argc, argv, "flicket", usage_text, 5,
                                     "port-num ip-address severity key message-text", "H:t:",
                                     opts);
    if (status >= 0)
        return status;
    // args[1] is the port and args[3] the severity, as without options; with --board the
    // severity is the first positional argument.
    char **args = argv + opts.first_arg - 1 - (opts.boards.empty() ? 0 : 2);
    // A server that closes before our write must not kill us: the write then just fails.
    signal(SIGPIPE, SIG_IGN);

    // The record is built first, so its time stamp is the time the tool started.
    char record[ALERT_RECORD_SIZE];
    init_alert_request_buffer(record, PRODUCT_GENALERT.data(), MSG_CRITICAL.data());
    if (opts.host != nullptr) {
        // Another host's alert (a log line's, say): its name cut to the field, like the key.
        memset(record + OFF_HOSTNAME, ' ', LEN_HOSTNAME);
        copy_text(record + OFF_HOSTNAME, opts.host, LEN_HOSTNAME);
    }

    std::vector<board_target> boards;
    if (opts.boards.empty()) {
        int port = sender_port(args[1]);
        if (port == 0) {
            printf("Illegal port number: %s\n", args[1]);
            return 1;
        }
        boards.push_back({nullptr, args[2], port});
    } else if (!read_boards(opts.boards, boards)) {
        return 1;
    }

    const severity *sev = find_severity(args[3]);
    if (sev == nullptr) {
        printf("Invalid severity agrument !\n");
        printf("Please read the manual !\n");
        return 1;
    }
    set_msgtype(record, sev->msgtype);

    // The key: at most 14 bytes, zeros after it, then space-filled to its width below.
    zero_data_field(record + OFF_KEY, LEN_KEY + 1);
    copy_text(record + OFF_KEY, args[4], LEN_KEY);

    // The message text: at most 100 bytes, zero bytes after it and a zero byte at 202.
    zero_data_field(record + OFF_MSGTEXT, LEN_MSGTEXT + 1);
    int len = copy_text(record + OFF_MSGTEXT, args[5], LEN_MSGTEXT);
    number_to_string_with_null(record + OFF_MSGTEXT_LENGTH, len, LEN_MSGTEXT_LENGTH + 1);

    space_fill_string(record + OFF_KEY, LEN_KEY);

    if (opts.boards.empty()) {
        // The one server of the positional form: a short write is reported and still exits
        // 0, as it always did.
        return send_record(record, boards[0].port, args[2], opts.timeout_seconds, nullptr) == 1
                   ? 1
                   : 0;
    }
    // Every board is tried, one after the other, whatever happened at the one before.
    int failed = 0;
    for (const board_target &t : boards)
        if (send_record(record, t.port, t.address.c_str(), opts.timeout_seconds, t.arg) != 0)
            ++failed;
    return failed == 0 ? 0 : 1;
}

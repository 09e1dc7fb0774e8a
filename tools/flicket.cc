// flicket: sends one alert (a severity, a key and a message text) to tarrowd and ends.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fields.h"
#include "common/record.h"
#include "common/sender.h"

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
    "       flicket --help | --version\n"
    "severity: critical, warning, harmless, info, logonly or clearall\n"
    "ip-address: a host name, an IPv4 or an IPv6 address\n"
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

int
main(int argc, char **argv)
{
    sender_options opts;
    int status = sender_command_line(argc, argv, "flicket", usage_text, 5,
                                     "port-num ip-address severity key message-text", "H:t:",
                                     opts);
    if (status >= 0)
        return status;
    char **args = argv + opts.first_arg - 1;    // args[1] is the port, as without options
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

    int port = sender_port(args[1]);
    if (port == 0) {
        printf("Illegal port number: %s\n", args[1]);
        return 1;
    }
    const char *address = args[2];

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

    int sock;
    if (!connect_to_server(port, address, &sock, opts.timeout_seconds)) {
        printf("Unable to connect to server.\n");
        return 1;
    }
    if (write(sock, record, ALERT_RECORD_SIZE) != static_cast<ssize_t>(ALERT_RECORD_SIZE))
        printf("Unable to write alert buffer to %s\n", address);
    disconnect_from_server(sock);
    return 0;
}

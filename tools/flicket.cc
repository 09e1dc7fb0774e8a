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
    "usage: flicket port-num ip-address severity key message-text\n"
    "       flicket --help | --version\n"
    "severity: critical, warning, harmless, info, logonly or clearall\n";

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
    int status = sender_command_line(argc, argv, "flicket", usage_text, 5,
                                     "port-num ip-address severity key message-text");
    if (status >= 0)
        return status;
    // A server that closes before our write must not kill us: the write then just fails.
    signal(SIGPIPE, SIG_IGN);

    // The record is built first, so its time stamp is the time the tool started.
    char record[ALERT_RECORD_SIZE];
    init_alert_request_buffer(record, PRODUCT_GENALERT.data(), MSG_CRITICAL.data());

    int port = atoi(argv[1]);
    if (port == 0) {
        printf("Illegal port number: %s\n", argv[1]);
        return 1;
    }
    const char *address = argv[2];

    const severity *sev = find_severity(argv[3]);
    if (sev == nullptr) {
        printf("Invalid severity agrument !\n");
        printf("Please read the manual !\n");
        return 1;
    }
    set_msgtype(record, sev->msgtype);

    // The key: at most 14 bytes, zeros after it, then space-filled to its width below.
    zero_data_field(record + OFF_KEY, LEN_KEY + 1);
    copy_text(record + OFF_KEY, argv[4], LEN_KEY);

    // The message text: at most 100 bytes, zero bytes after it and a zero byte at 202.
    zero_data_field(record + OFF_MSGTEXT, LEN_MSGTEXT + 1);
    int len = copy_text(record + OFF_MSGTEXT, argv[5], LEN_MSGTEXT);
    number_to_string_with_null(record + OFF_MSGTEXT_LENGTH, len, LEN_MSGTEXT_LENGTH + 1);

    space_fill_string(record + OFF_KEY, LEN_KEY);

    int sock;
    if (!connect_to_server(port, address, &sock)) {
        printf("Unable to connect to server.\n");
        return 1;
    }
    if (write(sock, record, ALERT_RECORD_SIZE) != static_cast<ssize_t>(ALERT_RECORD_SIZE))
        printf("Unable to write alert buffer to %s\n", address);
    disconnect_from_server(sock);
    return 0;
}

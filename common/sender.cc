// Sender side of the record protocol: record set-up, connecting to the server, closing.
#include "common/sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/fields.h"
#include "common/record.h"

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
connect_to_server(int port, const char *address, int *socket)
{
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port & 0xffff));

    // inet_addr takes dotted text only; its error value is also 255.255.255.255, which is
    // therefore refused like any text it cannot read.
    in_addr_t addr = inet_addr(address);
    if (addr == INADDR_NONE) {
        printf("Improperly formatted network address, %s\n", address);
        return 0;
    }
    sa.sin_addr.s_addr = addr;

    *socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (*socket < 0) {
        int saved_errno = errno;
        printf("%s: %s\n", strerror(saved_errno), "Unable to create TCPIP socket");
        return 0;
    }

    if (connect(*socket, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int saved_errno = errno;
        // The message shows the port as the caller gave it, not the 16 bits used.
        char msg[4096];
        snprintf(msg, sizeof msg, "connect(2), host %s nothing listening on port %d", address,
                 port);
        printf("%s: %s\n", strerror(saved_errno), msg);
        return 0;
    }
    return 1;
}

void
disconnect_from_server(int socket)
{
    close(socket);
    printf("\n");
}

int
sender_command_line(int argc, char **argv, const char *name, const char *usage_text, int nargs,
                    const char *need)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", name, application_version);
        return 0;
    }
    if (argc < nargs + 1) {
        printf("Required arguments are missing !\n");
        printf("Need %s\n", need);
        printf("Please read the manual !\n");
        return 1;
    }
    return -1;
}

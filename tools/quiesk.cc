// quiesk: tells a running tarrowd to shut down.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/record.h"
#include "common/sender.h"

static const char usage_text[] =
    "usage: quiesk port-num ip-address\n"
    "       quiesk --help | --version\n";

int
main(int argc, char **argv)
{
    int status = sender_command_line(argc, argv, "quiesk", usage_text, 2, "port-num ip-address");
    if (status >= 0)
        return status;
    // A server that closes before our write must not kill us: the write then just fails.
    signal(SIGPIPE, SIG_IGN);

    int port = atoi(argv[1]);
    if (port == 0) {
        printf("Illegal port number: %s\n", argv[1]);
        return 1;
    }
    int sock;
    if (!connect_to_server(port, argv[2], &sock)) {
        printf("Unable to connect to server.\n");
        return 1;
    }

    // Built only once connected: its time stamp is the moment of the request.
    char record[ALERT_RECORD_SIZE];
    init_alert_request_buffer(record, PRODUCT_KILLER.data(), MSG_LOG_ONLY.data());
    if (write(sock, record, ALERT_RECORD_SIZE) != static_cast<ssize_t>(ALERT_RECORD_SIZE))
        printf("Unable to write alert buffer to %s\n", argv[2]);
    disconnect_from_server(sock);
    return 0;
}

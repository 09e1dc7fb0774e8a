// quiesk: tells a running tarrowd to shut down.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/record.h"
#include "common/sender.h"

static const char usage_text[] =
    "usage: quiesk [-t seconds] port-num ip-address\n"
    "       quiesk --help | --version\n"
    "ip-address: a host name, an IPv4 or an IPv6 address\n"
    "-t: connect time-out (default 5)\n";

int
main(int argc, char **argv)
{
    sender_options opts;
    int status = sender_command_line(argc, argv, "quiesk", usage_text, 2, "port-num ip-address",
                                     "t:", opts);
    if (status >= 0)
        return status;
    char **args = argv + opts.first_arg - 1;    // args[1] is the port, as without options
    // A server that closes before our write must not kill us: the write then just fails.
    signal(SIGPIPE, SIG_IGN);

    int port = sender_port(args[1]);
    if (port == 0) {
        printf("Illegal port number: %s\n", args[1]);
        return 1;
    }
    int sock;
    if (!connect_to_server(port, args[2], &sock, opts.timeout_seconds)) {
        printf("Unable to connect to server.\n");
        return 1;
    }

    // Built only once connected: its time stamp is the moment of the request.
    char record[ALERT_RECORD_SIZE];
    init_alert_request_buffer(record, PRODUCT_KILLER.data(), MSG_LOG_ONLY.data());
    if (write(sock, record, ALERT_RECORD_SIZE) != static_cast<ssize_t>(ALERT_RECORD_SIZE))
        printf("Unable to write alert buffer to %s\n", args[2]);
    disconnect_from_server(sock);
    return 0;
}

// Set-up and connection shared by the sender tools flicket and quiesk.
#ifndef COMMON_SENDER_H
#define COMMON_SENDER_H

#include <string>
#include <vector>

// Fills the 234-byte record with what every record of a tool carries: productid and msgtype
// as given, the version, this host's name (first 15 bytes), key "N/A", aux_number "0",
// reply_wanted 'N', the time stamp of this call, persistent 'Y', an empty message text, the
// header space-filled and the final newline. Prints nothing.
void init_alert_request_buffer(char *record, const char *productid, const char *msgtype);

inline constexpr int CONNECT_TIMEOUT_SECONDS = 5;

// The port of a command line: all digits, from 1 to 65535. Returns it, or 0 when the text is
// no such port (the caller prints "Illegal port number: TEXT").
int sender_port(const char *text);

// Connects a TCP socket to the low 16 bits of port at address (a host name, an IPv4 address
// of four dotted decimal parts or an IPv6 address; the first of its addresses that connects),
// storing the descriptor through socket.
// Gives up after timeout_seconds in all. 1 connected; 0 not, after a message on standard
// output.
int connect_to_server(int port, const char *address, int *socket,
                      int timeout_seconds = CONNECT_TIMEOUT_SECONDS);

// Closes the socket and prints one newline on standard output.
void disconnect_from_server(int socket);

// Splits a board argument, "host:port", "1.2.3.4:port" or "[ipv6]:port", into its address
// and port, both unchecked. Returns nullptr, or the reason the text is no such argument
// ("the port is missing", ...), for a message that names the argument.
const char *sender_split_board(const char *arg, std::string &address, std::string &port);

// What a tool's options set; the positional arguments start at argv[first_arg].
struct sender_options {
    const char *host = nullptr;                 // -H: the host name to send as
    int timeout_seconds = CONNECT_TIMEOUT_SECONDS;  // -t: how long connecting may take
    int first_arg = 1;
    bool takes_boards = false;                  // set by a tool that reads --board
    std::vector<const char *> boards;           // --board: ADDRESS:PORT, in the order given
};

// The start every tool's command line shares. When the first argument is --help or
// --version, prints the usage text or "NAME 1.0.2" and returns 0, the exit status. Then reads
// the options of optstring (getopt letters; -H and -t are known), and --board when
// opts.takes_boards, which come before the positional arguments; a wrong one is reported with
// the usage text and gives 1. With --board the port and address are no positional arguments:
// nargs and need lose their first two. When fewer than nargs positional arguments follow,
// prints the three missing-argument lines (need names them) and returns 1. Otherwise returns
// -1: go on.
int sender_command_line(int argc, char **argv, const char *name, const char *usage_text,
                        int nargs, const char *need, const char *optstring,
                        sender_options &opts);

#endif // COMMON_SENDER_H

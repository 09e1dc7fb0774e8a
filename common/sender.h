// Set-up and connection shared by the sender tools flicket and quiesk.
#ifndef COMMON_SENDER_H
#define COMMON_SENDER_H

// Fills the 234-byte record with what every record of a tool carries: productid and msgtype
// as given, the version, this host's name (first 15 bytes), key "N/A", aux_number "0",
// reply_wanted 'N', the time stamp of this call, persistent 'Y', an empty message text, the
// header space-filled and the final newline. Prints nothing.
void init_alert_request_buffer(char *record, const char *productid, const char *msgtype);

// Connects a TCP socket to the dotted IPv4 address and the low 16 bits of port, storing the
// descriptor through socket. 1 connected; 0 not, after a message on standard output.
int connect_to_server(int port, const char *address, int *socket);

// Closes the socket and prints one newline on standard output.
void disconnect_from_server(int socket);

// The start every tool's command line shares. When the first argument is --help or
// --version, prints the usage text or "NAME 1.0.2" and returns 0, the exit status. When fewer
// than nargs arguments follow the program name, prints the three missing-argument lines
// (need names them) and returns 1. Otherwise returns -1: go on.
int sender_command_line(int argc, char **argv, const char *name, const char *usage_text,
                        int nargs, const char *need);

#endif // COMMON_SENDER_H

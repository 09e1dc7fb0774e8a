// tarrowc: what the command-line commands and the full-screen view share.
#ifndef CONSOLE_TARROWC_H
#define CONSOLE_TARROWC_H

#include <ctime>
#include <string>
#include <vector>

#include "common/console_client.h"
#include "console/boards.h"

inline constexpr int EXIT_SERVER_ERROR = 1;   // the server said no, or the alert is missing
inline constexpr int EXIT_USAGE = 2;          // bad arguments, no connection, or a bad reply

struct tarrowc_options {
    std::string address = "127.0.0.1";
    int port = 9003;
    // Two or more boards seen as one (-a ADDRESS[:PORT] or --board, repeated); empty for one
    // board, which address and port name.
    std::vector<board_place> boards;
    int interval = 2;                       // seconds between refreshes of the view
    int timeout_ms = CONSOLE_TIMEOUT_MS;    // for one request and all its replies
    bool tsv = false;
    bool json = false;
    bool utf8 = false;                      // the locale's character set is UTF-8
    std::string filter;                     // list: the alerts it matches only
    // ack and unack:
    std::string by;                         // the operator; the login name when empty
    std::string note;
    long long until = 0;                    // expiry, seconds since the epoch; 0 for none
};

// Outcome of acting on one named alert.
enum act_outcome { ACT_DONE, ACT_NO_SUCH_ALERT, ACT_SERVER_ERROR, ACT_CONNECTION_ERROR };

// Looks the alert up (on the board or waiting) on the connection and, when it is there,
// sends the command ("AC", "AD" or "KK"; a delete by who, with the note). message says what
// happened, for people.
act_outcome act_on_alert(console_conn &c, const char *command, const std::string &host,
                         const std::string &key, const std::string &by,
                         const std::string &note, int timeout_ms, std::string &message);

// The operator's login name ("unknown" when it cannot be had).
std::string login_name();
// Acknowledges with who, note and expiry ("AN"), or un-acknowledges ("UA", who only).
act_outcome ack_with_note(console_conn &c, const char *command, const std::string &host,
                          const std::string &key, const std::string &who,
                          const std::string &note, long long until, int timeout_ms,
                          std::string &message);

// Acknowledges (CMD_ACK_NOTE, with who, note and until), un-acknowledges (CMD_UNACK) or
// deletes (CMD_DELETE, by who with the note) the alert on every board of opt.boards. Each
// board's outcome goes into lines, for people ("B: acknowledged web1 SSHFAIL by ann"). 0 when
// every board answered and at least one did it (the others had no such alert), else 1.
int act_on_boards(const tarrowc_options &opt, const char *command, const std::string &host,
                  const std::string &key, const std::string &who, const std::string &note,
                  long long until, std::vector<std::string> &lines);

// The full-screen view; returns the exit status.
int run_watch(const tarrowc_options &opt);

#endif // CONSOLE_TARROWC_H

// The board as the bridge sees it: every alert of one tarrowd, fetched as a console does.
#ifndef BRIDGE_BOARD_H
#define BRIDGE_BOARD_H

#include <string>
#include <vector>

// One alert of the board.
struct board_alert {
    std::string host;       // hostname, trailing spaces removed
    std::string key;        // key, trailing spaces removed
    std::string type;       // "AC", "AW", "IO", or "AK" once acknowledged
    std::string datetime;   // "YYYYMMDD HH:MM" as the sender stamped it
    std::string text;       // the whole message text
    std::string place;      // "board", or "waiting" behind a full board
    // The acknowledgement of an "AK" alert, when the board says who made it:
    bool ack = false;
    std::string ack_by, ack_note;
    std::string ack_severity;   // "AC", "AW" or "IO" before the ack
    long long ack_since = 0;
    long long ack_until = 0;    // 0: no expiry
};

// Fetches every alert of the board at address:port (a host name, IPv4 or IPv6 address) over
// one console connection, those that wait behind a full board included, with who
// acknowledged each acknowledged one (its note and expiry), all within
// timeout_ms. Returns 0 and fills alerts, or -1 with the reason in error.
int board_fetch(const std::string &address, int port, int timeout_ms,
                std::vector<board_alert> &alerts, std::string &error);

#endif // BRIDGE_BOARD_H

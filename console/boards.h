// Several boards seen as one: their addresses, one row per host and key with where it is,
// and what differs between them. Shared by tarrowc (list, watch, diff) and tarrow-web.
#ifndef CONSOLE_BOARDS_H
#define CONSOLE_BOARDS_H

#include <string>
#include <vector>

#include "common/console_client.h"

// One board of several: where it is and the letter it goes by.
struct board_place {
    std::string address;
    int port = 0;
    std::string label;      // "A", "B", ... in the order the boards were given
};

// Reads ADDRESS[:PORT]: a host name, a dotted IPv4 or an IPv6 address (in brackets when a
// port follows: "[::1]:9004"), with default_port when none is given. label is left alone.
// False, with error saying why, when the text is none of these.
bool parse_board(const std::string &arg, int default_port, board_place &out, std::string &error);
// "address:port", an IPv6 address in brackets.
std::string board_name(const board_place &b);
// "A", "B", ..., "Z", then "27" and so on: the label of the board at index i.
std::string board_label(std::size_t i);

// One alert across the boards.
struct merged_alert {
    console_alert alert;        // as the first board that has it shows it
    std::vector<int> where;     // per board: the index into that board's alerts, -1 absent
    std::string place;          // "both" (two boards) or "all", else the labels it is on: "A"
    std::string difference;     // empty when the boards agree; else what differs, for people:
                                // "on A only", "acknowledged on B only", "critical on A,
                                // warning on B", "waiting on A only"
};

// One row per host and key: the first board's alerts in its order, then the alerts of each
// next board that no board before it has, in that board's order. labels name the boards.
// The boards agree on an alert when it is on every board, waiting on all or on none, and
// acknowledged on all or on none with the same severity (before the acknowledgement, where
// each board says); who acknowledged, the note, expiry, text and times are not compared.
std::vector<merged_alert> merge_boards(const std::vector<std::vector<console_alert>> &boards,
                                       const std::vector<std::string> &labels);
// The rows whose boards do not agree.
int count_divergent(const std::vector<merged_alert> &rows);

// What `tarrowc diff` reports: status 0 when the boards agree, 1 when they differ, 2 when one
// cannot be reached; summary is one line as a monitoring plugin gives it ("TARROW BOARDS OK -
// ... | divergent=0 alerts=12 boards=2"); lines name each board that cannot be reached, or
// each alert that differs ("web1 SSHFAIL: acknowledged on A only").
struct diff_report {
    int status = 0;
    std::string summary;
    std::vector<std::string> lines;
};
// The report for the boards as fetched (each board's status says whether it answered).
diff_report diff_boards(const std::vector<board_place> &places,
                        const std::vector<console_board> &fetched);

#endif // CONSOLE_BOARDS_H

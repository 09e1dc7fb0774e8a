// tarrow-web: the board as the web program sees it. Every call into the console client lives
// in board.cc, so that a request which fetches the whole board at once can replace the
// listing here alone.
#ifndef WEB_BOARD_H
#define WEB_BOARD_H

#include <string>
#include <string_view>
#include <vector>

#include "common/console_client.h"
#include "web/view.h"

// Fetches every alert of the table with its details (persistent, optional data, whole text),
// then those waiting behind it (waiting set), and the server's figures into figures (left
// empty by a server that has none). 0 with alerts filled, -1 with error saying why.
int web_fetch_board(const std::string &address, int port, int timeout_ms,
                    std::vector<console_alert> &alerts,
                    std::vector<std::pair<std::string, long>> &figures, std::string &error);

// Sends an acknowledge (CMD_ACKNOWLEDGE: by who, with the note, until that time or 0 for no
// end), an un-acknowledge (CMD_UNACK, by who) or a delete (CMD_DELETE, by who with the note;
// a server that does not read who deletes all the same) for the alert host and key, as
// stored (space-filled or not). 0 done, -1 refused by the server, -2 the server could not be
// reached or did not answer; error says why.
int web_act(const std::string &address, int port, std::string_view command,
            const std::string &host, const std::string &key, const std::string &who,
            const std::string &note, long long until, int timeout_ms, std::string &error);

// One poll of one of several boards: first the actions that wait for it, in order, then its
// alerts and figures. answered holds the ids of the pending actions the board answered (done,
// or refused with a line in said); a board that cannot be reached ends the poll there.
struct web_board_poll {
    int status = 0;             // 0 fetched, -1 not
    std::string error;
    std::vector<console_alert> alerts;
    std::vector<std::pair<std::string, long>> figures;
    std::vector<std::uint64_t> answered;
    std::vector<std::string> said;
};
web_board_poll web_poll_board(const board_place &b, const std::vector<web_pending> &pending,
                              int timeout_ms);
// Takes one poll of each board into the snapshot: each board's state and alerts (kept while
// it does not answer), the pending actions its board answered removed, error naming the
// boards that did not answer; figures from the first board that did. said gets a line for
// people on each change. True when every board answered.
bool snapshot_take_polls(web_snapshot &s, const std::vector<board_place> &places,
                         std::vector<web_board_poll> &polls,
                         std::vector<std::pair<std::string, long>> &figures,
                         std::vector<std::string> &said);

#endif // WEB_BOARD_H

// tarrow-web: the board as the web program sees it. Every call into the console client lives
// in board.cc, so that a request which fetches the whole board at once can replace the
// listing here alone.
#ifndef WEB_BOARD_H
#define WEB_BOARD_H

#include <string>
#include <string_view>
#include <vector>

#include "common/console_client.h"

// Fetches every alert of the table with its details (persistent, optional data, whole text),
// then those waiting behind it (waiting set), and the server's figures into figures (left
// empty by a server that has none). 0 with alerts filled, -1 with error saying why.
int web_fetch_board(const std::string &address, int port, int timeout_ms,
                    std::vector<console_alert> &alerts,
                    std::vector<std::pair<std::string, long>> &figures, std::string &error);

// Sends an acknowledge (CMD_ACKNOWLEDGE: by who, with the note, until that time or 0 for no
// end), an un-acknowledge (CMD_UNACK, by who) or a delete (CMD_DELETE, by who with the note;
// a server that does not read who deletes all the same) for the alert host and key, as
// stored (space-filled or not). 0 done, -1 with error saying why.
int web_act(const std::string &address, int port, std::string_view command,
            const std::string &host, const std::string &key, const std::string &who,
            const std::string &note, long long until, int timeout_ms, std::string &error);

#endif // WEB_BOARD_H

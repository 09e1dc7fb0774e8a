// The board as the bridge sees it: the console client's whole table, hosts and keys trimmed.
#include "bridge/board.h"

#include "common/console_client.h"

int
board_fetch(const std::string &address, int port, int timeout_ms,
            std::vector<board_alert> &alerts, std::string &error)
{
    alerts.clear();
    console_board b = console_fetch_board(address, port, timeout_ms, false);
    if (b.status != CONSOLE_OK) {
        error = b.error;
        return -1;
    }
    for (const console_alert &a : b.alerts) {
        board_alert out;
        out.host = console_trim(a.hostname);
        out.key = console_trim(a.key);
        out.type = a.type;
        out.datetime = a.datetime;
        out.text = a.text;
        out.place = a.waiting ? "waiting" : "board";
        out.ack = a.ack.present;
        out.ack_by = a.ack.by;
        out.ack_note = a.ack.note;
        out.ack_severity = a.ack.severity;
        out.ack_since = a.ack.since;
        out.ack_until = a.ack.until;
        alerts.push_back(std::move(out));
    }
    return 0;
}

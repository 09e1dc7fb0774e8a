// The board rebuilt from the log: tarrowd's table and its overflow file, from the lines that
// say where each alert went, or for older logs driven the way the server drove them.
#ifndef HISTORY_BOARD_H
#define HISTORY_BOARD_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "history/logline.h"
#include "history/waiting.h"

// The table size of a server that does not say it.
inline constexpr std::size_t BOARD_SLOTS = 50;

// What happened to an alert, as the timeline shows it.
enum class change_kind {
    raised,             // entered the table
    replaced,           // raised again while open: text and severity replaced, ack ended
    spilled,            // raised while the table was full of non-info alerts: to the file
    spill_failed,       // the append to the overflow file failed: the alert is lost
    displaced,          // an info alert that gave its slot to a new alert
    acknowledged,
    ack_expired,
    unacknowledged,
    cleared,            // cleared by its sender ("harmless")
    deleted,            // deleted from a console
    kk_deleted,         // deleted from a console with every alert listed before it
    host_cleared,       // cleared with every alert of its host ("clearall")
    flushed,            // emptied with the whole table (a failed compress)
    restart_dropped,    // open when the server restarted without its saved table
    queued,             // a clear, ack or clear-host waiting in the file behind spilled alerts
    pending,            // a console's action waiting in the file behind the alert's raise
    not_open,           // a clear or ack of an alert that is not open
    log_only,           // a "logonly" line of its sender
};

// The state an alert is in after a change; also what --state selects.
enum class alert_state { critical, warning, info, acked, waiting, closed, unchanged };

struct change {
    stamp_t stamp = 0;
    change_kind kind = change_kind::raised;
    bool replayed = false;          // happened as the overflow file was read back
    alert_state state = alert_state::closed;
    board_alert alert;              // the alert after the change (before it, when it left)
    std::string who2;               // who took an acknowledgement back, or deleted it
    std::string note;               // the note of a delete
};

struct board {
    // How many alerts the table holds, and whether the server logs where each alert goes
    // (to the file, back, displaced): then those lines are followed, and the server's rules
    // are replayed here only for logs without them.
    std::size_t slots = BOARD_SLOTS;
    bool facts = false;

    // Slot order. Pointers, so that a removal shifts 8 bytes an alert.
    std::vector<std::unique_ptr<board_alert>> table;
    waiting_file file;                      // the overflow file's unread records
    bool unlink_permitted = false;
    bool refilling = false;
    // Raises waiting in the file, by host and key, where the server logs its facts.
    std::unordered_map<std::string, int> waiting_raises;

    // A raise of a server that logs facts, held until the next line says whether it went
    // to the file.
    bool holding = false;
    board_alert held;

    // Start-up: the table before it, until the log says whether it was restored.
    bool starting = false;
    bool restored = false;
    std::vector<std::unique_ptr<board_alert>> before_start;
    std::size_t read_before_start = 0;

    // Changes are recorded only when record_changes is set, and only for alerts whose host
    // and key (space-filled; empty for any) match.
    bool record_changes = false;
    std::string want_host, want_key;
    std::vector<change> changes;            // of the last line applied
    board_alert request;                    // the request of the line, reused line by line
};

// Applies one parsed line; the changes it made are in b.changes (cleared first). Returns 1
// when the line changed the board or was understood as changing nothing, 0 when the line
// is of a kind the board does not know (unknown, or a console command it cannot replay).
int board_apply(board &b, const log_line &line);

// Ends a start-up the log left unfinished (the last line of the log was in the middle of it).
void board_finish(board &b);

// The state an alert of the board is in.
alert_state board_alert_state(const board_alert &a);

// The text with trailing spaces removed, as host and key print.
std::string trimmed(const char *p, std::size_t n);

#endif // HISTORY_BOARD_H

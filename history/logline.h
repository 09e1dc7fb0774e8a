// One line of tarrowd's message log, taken apart: its time and what it says about the board.
#ifndef HISTORY_LOGLINE_H
#define HISTORY_LOGLINE_H

#include <cstddef>
#include <ctime>
#include <string_view>

#include "common/record.h"

// A local time as the number YYYYMMDDHHMMSS: ordered like the times it stands for.
using stamp_t = long long;

enum class line_kind {
    unknown,            // not understood
    other,              // understood, and changes nothing on the board
    alert,              // an alert event line: a request a sender sent (any msgtype)
    console,            // a console command line ("AD", "AC", ...)
    kk_delete,          // "Manual delete of HOST KEY (CONSOLE KK)"
    kk_summary,         // "N alerts KK deleted, R recovered by compress"
    acknowledged,       // "Acknowledged HOST KEY SEV by WHO until ...: NOTE"
    ack_expired,        // "Acknowledgement expired HOST KEY SEV by WHO"
    unacknowledged,     // "Unacknowledged HOST KEY SEV by WHO2 (acknowledged by WHO)"
    server_start,       // "Server initialisation beginning": the table starts empty
    table_restored,     // "Restored N alerts from ...": the saved table came back
    services_up,        // "TCP-IP Services now available": the start-up refill is done
    append_failed,      // an overflow append that did not reach the file
    overflow_flushed,   // a refill read failed and the overflow file was recreated
    table_flushed,      // the table was emptied to survive a failed compress
    board_size,         // "The board holds up to N alerts": count N; count2 1 when the
                        // server logs where each alert goes (the lines below), 0 when not
    spilled,            // "Spilled HOST KEY SEV to evt_buffer.dat": a raise waits in the file
    read_back,          // "Read back HOST KEY SEV from evt_buffer.dat": into the table
    displaced,          // "Displaced HOST KEY IO for a new alert"
    pending,            // "Pending ACTION HOST KEY by WHO": msgtype PA, PU or PD
    deleted,            // "Deleted HOST KEY SEV by WHO: NOTE" from a console
};

// The msgtype of a pending console action: acknowledge, unacknowledge, delete.
inline constexpr std::string_view PENDING_ACK = "PA", PENDING_UNACK = "PU",
                                  PENDING_DELETE = "PD";

// What a line says. The views point into the line that was parsed and live as long as it.
struct log_line {
    line_kind kind = line_kind::unknown;
    stamp_t stamp = 0;
    char host[LEN_HOSTNAME];        // space-filled, as the server compares them
    char key[LEN_KEY];
    char msgtype[2];                // request or command code; severity for the ack lines
    char datetime[LEN_DATETIME];    // the sender's time stamp, "YYYYMMDD HH:MM"
    char persistent = ' ';
    std::string_view text;          // the alert text, or the ack's note
    std::string_view who;           // who acknowledged
    std::string_view who2;          // who took an acknowledgement back
    stamp_t until = 0;              // the ack's expiry; 0 is never
    int count = 0;                  // KK deletes; alerts restored
    int count2 = 0;                 // KK: records the compress removed
    std::string_view rest;          // a message that went on in the same line (append_failed)
};

// The time stamps of the last line, so that lines of one second are parsed once.
struct stamp_cache {
    char text[24] = {};
    stamp_t stamp = -1;
};

// Parses a log line without its newline. Returns the kind also stored in out.kind; a line
// without a valid time stamp is unknown.
line_kind parse_log_line(const char *p, std::size_t n, stamp_cache &cache, log_line &out);

// Parses a local time as a user gives it: "YYYY-MM-DD HH:MM[:SS]" (or with a 'T'), a date
// "YYYY-MM-DD" alone, "HH:MM[:SS]" of today, "today" or "yesterday" with or without a time,
// or a time before now: "-2h", "-30m", "-45s", "-1d". Missing parts are 0, or their highest
// value when upper is set. Returns -1 when invalid.
stamp_t parse_user_time(std::string_view s, bool upper, time_t now);

// A time_t as a local stamp.
stamp_t local_stamp(time_t t);

#endif // HISTORY_LOGLINE_H

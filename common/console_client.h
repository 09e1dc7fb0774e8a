// Console client: builds console requests, talks to tarrowd and gathers its replies.
#ifndef COMMON_CONSOLE_CLIENT_H
#define COMMON_CONSOLE_CLIENT_H

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/record.h"
#include "common/text.h"

// Result codes of the client calls.
enum console_status {
    CONSOLE_OK = 0,
    CONSOLE_BAD_ADDRESS,    // an address that is no host name, IPv4 or IPv6 address, or a
                            // port outside 1..65535
    CONSOLE_NO_CONNECT,     // connect failed or timed out
    CONSOLE_SEND_FAILED,    // the request could not be written
    CONSOLE_LOST,           // the server closed the connection or a read failed
    CONSOLE_TIMEOUT,        // no whole reply within the time allowed
    CONSOLE_BAD_REPLY,      // a reply that is not a console reply buffer, or too many
    CONSOLE_REFUSED,        // the server answered with an error ("DE"); its text in error
};

// At most this many reply buffers are read for one request: a whole table of 50 listing
// lines takes two. A server that sends more is not trusted.
inline constexpr int CONSOLE_MAX_REPLIES = 16;
// The time a request may take, all its replies included, unless the caller says otherwise.
inline constexpr int CONSOLE_TIMEOUT_MS = 10000;

// The productid that lists the whole table with the longest lines the server sends.
inline constexpr const char *CONSOLE_LIST_ALL = "CONSOLE99_127";

// What one request brought back.
struct console_result {
    int status = CONSOLE_OK;    // a console_status
    std::string error;          // what went wrong, for people; empty on success
    std::string final_type;     // msgtype of the last reply: "DB", "DS", "DE" or "--"
    int replies = 0;            // replies read, "DF" ones included
    std::string text;           // the data texts of every reply, '^' back to newlines
};

// One connection to the server.
struct console_conn {
    int fd = -1;
    bool plain_details = false;     // the server knows no "SX": details are asked with "SD"
};

// A console request record: productid, hostname and key cut to their widths and space-filled
// as the server stores them (a newline in them is sent as a space), msgtype, reply_wanted,
// datetime now, newline last.
alert_record console_build_request(std::string_view productid, std::string_view hostname,
                                   std::string_view key, std::string_view msgtype,
                                   char reply_wanted = 'Y');

// Connects to address (a host name, a dotted IPv4 or an IPv6 address; the first of its
// addresses that connects) and port within timeout_ms. Returns CONSOLE_OK, or a
// console_status with the reason in error.
int console_connect(console_conn &c, const std::string &address, int port, int timeout_ms,
                    std::string &error);
// Closes the connection if open.
void console_close(console_conn &c);
// Sends the request and, when it asks for a reply, reads 4184-byte replies until the final
// one, all within timeout_ms. More than CONSOLE_MAX_REPLIES replies, a reply of the wrong
// length or of an unknown type is CONSOLE_BAD_REPLY. On a failure the connection should be
// closed.
console_result console_exchange(console_conn &c, const alert_record &request, int timeout_ms);
// Connects, exchanges one request and closes.
console_result console_call(const std::string &address, int port, const alert_record &request,
                            int timeout_ms);

// An acknowledgement as the details with ack data ("SX") show it.
struct console_ack {
    bool present = false;
    std::string by;             // the operator, or the address of a plain acknowledgement
    std::string severity;       // "AC", "AW" or "IO": the state before the acknowledgement
    std::string note;
    long long since = 0;        // seconds since the epoch
    long long until = 0;        // when it expires; 0 for never
};

// "acknowledged critical" (warning, info): what an acknowledged alert was; "acknowledged"
// when that is not known.
std::string console_ack_state(const console_ack &ack);
// Seconds since the epoch as local "YYYY-MM-DD HH:MM:SS", with a 'T' for sep 'T'.
std::string console_local_time(long long t, char sep = ' ');

// One line of a listing, split into its columns (spaces kept as sent).
struct console_alert {
    std::string datetime;   // 14 characters
    std::string hostname;   // 15, space-filled as stored
    std::string key;        // 14, space-filled as stored
    std::string type;       // "AC", "AW", "IO" or "AK"
    std::string text;       // the message text as far as the line carries it
    bool cut = false;       // the line reached the line length: the text may be cut
    char persistent = '\0'; // 'Y' or 'N' once the details were fetched, else a zero byte
    std::string optional_data;  // from the details, when fetched
    bool waiting = false;   // not on the board: waits in the server's overflow file
    console_ack ack;            // fetched for every acknowledged alert
    // When the alert was first stored and last changed on the board (the server's clock,
    // seconds since the epoch); 0 from a server that does not send them.
    long long first_seen = 0, last_change = 0;
    // A console action that waits for the alert behind earlier requests, as people read it:
    // "ack pending by alice", "unack pending by bob", "delete pending by carol"; or empty.
    std::string pending;
};

// The alerts of a listing text; the no-alerts line gives none. line_length is the length the
// listing was asked with, to tell lines that may have been cut. A '^' in a text arrives as a
// line break: a line that does not have the columns of a listing line continues the text of
// the alert before it, with its '^' put back.
std::vector<console_alert> console_parse_listing(const std::string &text, int line_length);

// One alert's details ("DS" reply), split into its fields; host and key space-filled.
struct console_details {
    std::string hostname, datetime, key, type;
    char persistent = '\0';
    std::string text, optional_data;
    console_ack ack;
};
// Splits a details text, with the ack lines that may follow it; false when the text is not
// one. A '^' that arrived as a line break inside a field is put back.
bool console_parse_details(const std::string &details, console_details &out);
// An "AN" (acknowledge with who, note and expiry) or "UA" (un-acknowledge, who only)
// request: who in the reserved bytes, the expiry (seconds since the epoch, 0 for none) in the
// version field, the note's first 100 characters in msgtext and the next 20 in optional_data.
alert_record console_build_ack_request(std::string_view hostname, std::string_view key,
                                       std::string_view msgtype, std::string_view who,
                                       std::string_view note, long long until);
// Asks for the details of the alert named by host and key (space-filled as by
// console_build_request), with its ack data ("SX"; "SD" to a server without it). CONSOLE_OK
// with out filled, CONSOLE_REFUSED when the server has no such alert, or another
// console_status; error says why.
int console_fetch_details(console_conn &c, std::string_view host, std::string_view key,
                          int timeout_ms, console_details &out, std::string &error);

// The whole table, each text whole.
struct console_board {
    int status = CONSOLE_OK;    // a console_status
    std::string error;          // what went wrong, for people; empty on success
    // The board in table order, then the alerts that wait in the overflow file (waiting set)
    // in file order: a waiting raise that a later waiting clear cancels is left out, and so
    // is one for an alert already on the board.
    std::vector<console_alert> alerts;
    long waiting_records = 0;   // unread records in the overflow file, of every kind
    int skipped_rows = 0;       // board rows that could not be read, left out of alerts
};
// Alerts by state.
struct console_counts {
    int total = 0, critical = 0, warning = 0, info = 0, acked = 0;
};
// The alerts by state: those on the board, or with waiting those that wait behind it.
console_counts console_count_states(const std::vector<console_alert> &alerts,
                                    bool waiting = false);

// Fetches the whole table and what waits behind it, page by page ("SA", then "SQ"). From a
// server without those requests: the listing with the longest lines the server sends, then
// the details of every alert whose listed text was cut, or of every alert when all_details
// (for persistent and optional data); an alert deleted in between keeps its listed text. All
// of it takes at most timeout_ms.
console_board console_fetch_board(console_conn &c, int timeout_ms, bool all_details);
// The same on a connection of its own to address and port.
console_board console_fetch_board(const std::string &address, int port, int timeout_ms,
                                  bool all_details);

// The rows of one answer to "SA" or "SQ": the header's total and position (the asked start
// of "SA", the first unread record of "SQ"), and each row's position and alert, its fields
// unescaped. False when the text is not such an answer.
struct console_page {
    long total = 0, first = 0;
    bool extended = false;      // the rows carry times, acknowledgements and pending actions
    std::vector<long> positions;
    long last_position = -1;    // of the last row, whole or not; -1 when there is none
    int skipped = 0;            // rows that could not be read, left out
    std::vector<console_alert> alerts;
};
bool console_parse_page(const std::string &text, std::string_view label, console_page &out);

// The server's summary ("SS") as name and value, in the server's order.
struct console_summary {
    int status = CONSOLE_OK;
    std::string error;
    std::vector<std::pair<std::string, long>> figures;
    // The value of name, or fallback when the server did not send it.
    long get(std::string_view name, long fallback = 0) const;
};
console_summary console_fetch_summary(const std::string &address, int port, int timeout_ms);

#endif // COMMON_CONSOLE_CLIENT_H

// What the files of sievel-act share: its options, the boards with their queues, spools and
// connections, and the user functions.
#ifndef TOOLS_ACT_H
#define TOOLS_ACT_H

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/record.h"

inline constexpr std::size_t REC = ALERT_RECORD_SIZE;
inline constexpr long BACKOFF_FIRST_MS = 200, BACKOFF_MAX_MS = 5000;

struct act_options {
    std::size_t queue = 100000;         // records a board's queue holds at most
    double drain = 10;
    int jobs = 4;
    double userfunc_timeout = 30;
    double ack_timeout = 10;            // seconds a board may keep records unanswered
    std::string userdir;                // empty: no user functions
    std::string spool_dir;              // empty: the queues are in memory only
    std::string_view raise_msgtype = MSG_CRITICAL;
};
extern act_options opt;

enum class link_state { waiting, connecting, up };

// A board's queue on disk: a header with the number of records ACKed, then the records in
// the order they were queued (see act_queue.cc).
struct spool_file {
    int fd = -1;
    std::string path;
    std::size_t records = 0;        // whole records in the file
    std::size_t acked = 0;          // of them, the first this many were ACKed
    std::size_t acked_written = 0;  // what the header says now
    std::size_t unwritten = 0;      // the last this many queued records are not in the file yet
    bool rewrite = false;           // records were dropped: the file holds more than the queue
    bool unsynced = false;
    long rewritten_at = 0;
};

// One board: its connection and the queue of records not yet ACKed, oldest first. The first
// `inflight` records have been written whole; out_off bytes of the next one are written too.
struct board {
    std::string name;               // address:port as given, for messages
    std::string host, port;
    link_state state = link_state::waiting;
    int fd = -1;
    long retry_at = 0;              // when waiting: next connect attempt
    long connect_deadline = 0;
    long ack_deadline = 0;          // when up with records in flight: the next ACK is due
    long backoff = BACKOFF_FIRST_MS;
    unsigned attempt = 0;           // picks among the addresses of a name, in turn
    bool down_reported = false;

    // The addresses of the name, looked up before the first line is read and again only
    // when every one has failed and the last look-up is a minute old: a slow resolver
    // holds up the reading of the log at most that often.
    std::vector<struct sockaddr_storage> addrs;
    std::vector<socklen_t> addr_lens;
    long resolved_at = 0;
    std::size_t failed_in_row = 0;

    std::unique_ptr<char[]> ring;
    std::size_t ring_cap = 0;       // records the ring holds now (grows up to opt.queue)
    std::size_t head = 0, count = 0, inflight = 0, out_off = 0;
    spool_file spool;

    char in[REC * 32];              // ACK bytes read, not yet handled
    std::size_t in_len = 0;

    unsigned long delivered = 0;
    unsigned long lost_superseded = 0, lost_oldest = 0;    // since the last report
    unsigned long lost_total = 0;
};
extern std::vector<board> boards;

// ---- act_queue.cc: each board's queue, in memory and in its spool ----

// The i-th queued record, 0 the oldest.
char *ring_rec(board &b, std::size_t i);
// Queues one record for the board, making room by the drop rules when the queue is full.
void board_queue(board &b, const char *rec);
// Removes the oldest record, which the board has ACKed.
void board_acked(board &b);
// Records queued and in the spool file: what the board may be sent.
std::size_t board_sendable(const board &b);
// Once a second: what each board lost to a full queue since the last report.
void report_losses();
// Opens (creating it) the board's spool in opt.spool_dir, cuts a torn tail with a warning
// and queues what it holds that the board has not ACKed. 0 ok; -1 after a message.
int spool_open(board &b);
// Brings the spool in step with the queue: new records appended, the ACK count written, the
// file rewritten after drops (at most once a second, unless last) or when most of it is
// ACKed. Syncs when sync is set. 0 ok; -1 after a message (the spool is then given up and the
// queue goes on in memory).
int spool_flush(board &b, bool sync, bool last = false);

// ---- act_link.cc: the connection to each board ----

// Adds the board at address and port once both are checked; false after a message on stderr.
bool add_board(const std::string &address, const std::string &port);
// Adds the board of a --board argument; false after a message on stderr.
bool add_board_option(const char *arg);
// Starts a non-blocking connect to the board's next address.
void link_start(board &b);
// The connect finished: records start to leave.
void link_connected(board &b);
// Closes the connection and schedules the next attempt; records in flight are sent again.
void link_down(board &b, const char *why);
// Writes what the socket takes now of the records not yet written.
void link_write(board &b);
// Reads ACKs: each one delivers the oldest record in flight.
void link_read(board &b);
// Gives up a connection whose board has let an ACK wait past --ack-timeout.
void link_check_ack(board &b, long now);

// ---- act_userfunc.cc: user functions ----

// Queues a call of the user function at path; the oldest waiting call goes when too many wait.
void userfunc_queue(std::string path, std::string key, std::string text, std::string host,
                    unsigned long lineno);
// Reaps the user functions that ended, ends those past their time and starts waiting ones.
void userfunc_tend();
// True when no user function runs or waits.
bool userfunc_idle();
// Calls dropped because too many waited.
unsigned long userfunc_dropped();

// ---- act_line.cc: the action lines ----

// An action line taken apart: RAISE-ALERT KEY "TEXT" HOST [SEVERITY], CANCEL-ALERT ...,
// USERFUNC-n .... The views point into the line.
struct action_line {
    std::string_view action, key, text, host;
    std::string_view severity;      // the entry's own; empty when the line names none
};
enum class action_parse { ok, foreign, malformed };
// Reads one line without its newline: ok, foreign when it is no action line at all (sievel
// prints its errors on stdout), malformed when an action lacks its key, text or host.
action_parse action_line_parse(std::string_view line, action_line &out);
// The text as it goes into a record: without the host when it begins with it (a journal
// line's text starts at its host, which the record carries already), and at most the field's
// width, a longer text cut after its last whole word within the width, less room for "...".
// Returns the length written to dest, at most LEN_MSGTEXT.
std::size_t record_text(char *dest, std::string_view text, std::string_view host);

#endif // TOOLS_ACT_H

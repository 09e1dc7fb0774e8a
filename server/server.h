// What the server's files share: the client slot table, the message log, the alert table,
// the overflow file and the handlers that dispatch calls.
//
// Who owns what, in the order a request travels:
//   main.cc          options, start-up, the loop (waits, ticks of expiry and saving)
//   net.cc           the listening socket, accepting, peer addresses, --allow
//   dispatch.cc      connections: reading lines, classifying them, queued replies
//   alert.cc         alert records: the event line, the ACK, the action by msgtype
//   console.cc       console records: listing, details, deletes, deferral of actions behind
//                    waiting requests; console.h and board_requests.cc the board requests
//   ack.cc           making and ending acknowledgements (through the table), their lines
//   alert_table.cc   the table: records, their times and acks, counts, indexes; the one
//                    door through which every change of a stored alert goes
//   overflow.cc      evt_buffer.dat: appends, waiting counts per alert, refills
//   table_store.cc   alert_table.dat and its journal (--keep-table, --sync)
//   msglog.cc, exit.cc, stats.cc, notify.cc   the log, the two exits, figures, systemd
// The table, the overflow file and the processing of alert and console records call one
// another (a refill replays waiting records through that processing); apart from that cycle,
// no file is called back by one it calls.
#ifndef SERVER_SERVER_H
#define SERVER_SERVER_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <ctime>

#include "common/record.h"

// A bounded text's length as the precision of "%.*s", the one way a field is printed:
// myprintf("%.*s", print_len(host), host.data()), host from alert_field_text.
inline int
print_len(std::string_view text)
{
    return static_cast<int>(text.size());
}

// ---- Client connections (dispatch.cc) ----

inline constexpr int MAX_CLIENTS = 65;                 // slots for descriptors 0 to 64
inline constexpr std::size_t LINE_MAX_BYTES = 8192;    // longest line handled as one piece
inline constexpr std::size_t LINE_BUFFER_SIZE = LINE_MAX_BYTES + 1;
static_assert(LINE_BUFFER_SIZE > CONSOLE_REPLY_SIZE);  // a request buffer can carry a reply
inline constexpr int REPLY_DEADLINE_MS = 2000;         // queued replies not written by then: closed
inline constexpr std::size_t OUT_PAUSE_BYTES = 64 * 1024;   // more queued: read nothing more
inline constexpr int IDLE_EVICT_MS = 30000;            // idle this long: may give up its slot
inline constexpr int JUNK_LINE_LIMIT = 100;            // unrecognised lines before closing
inline constexpr int JUNK_LOG_PER_SECOND = 500;        // such lines logged a second, in all

struct client_queue;            // replies not yet written (dispatch.cc)

struct client_slot {            // plain data, indexed by descriptor
    int fd = -1;                // -1 while the slot is free
    bool eof = false;           // end of input (or a read error) seen
    bool readable = false;      // the last wait found input (or its end) to read
    bool closing = false;       // rejected: close after the current line
    std::size_t in_off = 0;     // unhandled input: in_len bytes from in_off of its buffer
    std::size_t in_len = 0;
    int junk_lines = 0;         // empty or unrecognised lines so far
    long last_line_ms = 0;      // when it connected or last sent a whole line: a peer that
                                // trickles bytes of a record that never ends is idle too
    char peer_address[50] = "SPARE";
    client_queue *out = nullptr;   // allocated with the first reply
    long sync_round = -2;       // with --sync, the flush its last request went into (a count)
};

extern client_slot client[MAX_CLIENTS];
// Descriptors of the open connections, in ascending order.
extern int client_open_fds[MAX_CLIENTS];
extern int client_open_count;

// Empties every slot ("SPARE", no connection).
void client_table_reset();
// Takes a descriptor into its slot, non-blocking. peer is the peer's address text, or
// nullptr to ask the socket. Returns 0, or -1 when the descriptor is beyond the table (the
// caller closes it).
int client_open(int fd, const char *peer = nullptr);
// Takes a freshly accepted connection; when every slot is taken, the longest idle one gives
// its slot up if idle long enough. Returns 0 when taken, -1 when refused and closed.
int client_accept(int fd, const char *peer);
// True when the connection holds a line (or a piece, or its end) that can be handled now.
bool client_has_line(int fd);
// True while so many replies wait that nothing more is read from the connection.
bool client_paused(int fd);
// Reads when no whole line is held, then handles at most one line. Returns 0 when the
// connection stays open, -1 when it has been closed and its slot freed. Does not return
// after "KILLER".
int process_client(int fd);
// One pass of the loop: at most one line from each connection that has one (or has input
// to read), in ascending descriptor order, then the replies that can leave. Returns the
// milliseconds until something is due (a reply's deadline, the count of junk lines that
// were not logged), or -1 when nothing is.
long client_serve_pass();
// Queues a reply; it leaves as the socket accepts it, after the log lines written before
// it. Returns 0, or -1 when it cannot be queued (the connection is then closed).
int client_reply(int fd, const char *buf, std::size_t len);
// Logs "WARN: Connection from <peer> closed, <why>" and closes the connection after the line
// being handled. Replies queued before are handed to the socket as far as it takes them at
// once; none queued after are sent.
void client_reject(int fd, const char *why);
// True when the connection has replies waiting that the socket did not take.
bool client_output_blocked(int fd);
// Writes queued replies as far as the sockets take them (after the message log): every
// connection when all is set, else those that hold no further whole line. Closes connections
// whose oldest reply is older than REPLY_DEADLINE_MS (client_reply_deadline_ms). Returns the milliseconds until the next
// such deadline, or -1 when none is pending.
long client_send_queued(bool all);
// Milliseconds and microseconds of a monotonic clock.
long monotonic_ms();
long monotonic_us();
// 1 when the record's productid begins with "JOBSCHED", "GENALERT" or "RELOADER".
int message_from_forwarding_application(const char *record);
// True when the record's productid begins with "CONSOLE": in the overflow file, a console
// action that waits behind earlier requests for its alert.
inline bool
record_is_console(const char *record)
{
    return memcmp(record, PRODUCT_CONSOLE.data(), PRODUCT_CONSOLE.size()) == 0;
}
// Closes every open connection, after trying once to write what is queued (shutdown).
void client_close_all();

// Test hooks: the idle time after which a connection may give its slot up (IDLE_EVICT_MS),
// the time a reply may wait for its socket (REPLY_DEADLINE_MS), and the end of a pass (the
// log written, then every queued reply), which unit tests call before they read the log or a
// peer socket.
extern int client_idle_limit_ms;
extern int client_reply_deadline_ms;
void test_end_pass();

// ---- Network addresses (net.cc) ----

// Opens the listening socket (IPv4 dotted address or IPv6 literal; every IPv4 interface
// when bind_address is nullptr), logging as start-up does; dies when it cannot.
int net_listen(int port, const char *bind_address);
// Accepts one connection, non-blocking and without delay on small writes, its peer's address
// text in peer ("" when hidden). Returns the descriptor, -1 when none was taken, or -2 when
// the process or the system is out of descriptors (logged at most once a second): accepting
// should then pause, since the waiting connection stays queued.
int net_accept(int listen_fd, char *peer, std::size_t size);
// The peer address of a connected socket as text ("a.b.c.d:port", "[addr]:port"), or nullptr.
char *net_peer_text(int fd, char *buf, std::size_t size);

inline constexpr int MAX_ALLOWED = 64;

// Adds "ADDRESS[/BITS]" (IPv4 or IPv6) to the allowed peers. Returns 0, or -1 when the text is
// not such an address or the list is full.
int allow_add(const char *arg);
// Forgets every allowed peer: everyone may connect again.
void allow_reset();
// True when the peer may connect: no --allow given, or its address is in an allowed network.
bool allow_peer(const struct sockaddr *sa);

// ---- Message log (msglog.cc) ----

void myprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Opens the day's log file (closing the last one), then removes the logs older than
// msglog_keep_days days.
void SERVER_roll_log_files();
// Days of daily logs kept besides today's (--log-keep-days); 0 keeps every log.
extern int msglog_keep_days;
// Writes the collected log lines with one write. Called before every reply and every wait.
void msglog_flush();
// Logs a message that is already built (len bytes, newline included), like myprintf.
void msglog_write(const char *text, std::size_t len);
// Closes and opens the day's log file again, so that a log moved aside by a rotation tool
// is let go and a new file of the same name takes the messages (SIGHUP).
void msglog_reopen();
// Closes the message log (tests use it to start a fresh day's file).
void msglog_close();
// True while messages go to the day's log file (not to standard output).
bool msglog_file_open();
// Makes the log believe its open file belongs to the date yyyymmdd, so that tests can see
// the change of date without waiting for midnight.
void msglog_set_file_date(int yyyymmdd);

// ---- The two exits (exit.cc) ----

// Logs the fatal error (and the system's error text on standard error), then shuts down.
[[noreturn]] void die(const char *text, int status);
// Saves the table when kept, closes every connection and file, and exits with status.
[[noreturn]] void shutdown_immed(int status);

// ---- Alert memory table (alert_table.cc) ----
//
// The table owns every stored record and what the server knows of it besides the record: when
// it was first stored and last changed, and its acknowledgement. Look-ups hand out read-only
// records; a state change from any file goes through alert_set_state, which keeps the counts,
// the generation (listings, the saved table and the journal follow it) and the expiry index.

inline constexpr int MAX_ALERTS = 50;          // the table's default size
inline constexpr int MAX_TABLE_SIZE = 100000;   // the largest --table-size
// Slots of the table (--table-size), fixed at start-up.
extern int alert_table_size;

// The records in table order: memory_table[i] is the record at position i (0 to
// last_table_entry - 1). The records stay where they were stored; only their order moves.
struct alert_order {
    const alert_record &operator[](std::ptrdiff_t i) const;
};
extern const alert_order memory_table;
extern int last_table_entry;
// Changes with every change to memory_table or last_table_entry (listings are cached on it).
extern unsigned alert_table_generation;

// An acknowledgement: what the alert was before it, who made it, why, when and until when.
struct alert_ack {
    char severity[LEN_MSGTYPE];     // "AC", "AW" or "IO"
    char who[LEN_ACK_WHO + 1];      // no blanks; terminated
    char note[LEN_ACK_NOTE + 1];    // printable; terminated
    time_t since;
    time_t until;                   // 0: never expires
};
// When the table first stored a record's alert and when it last changed.
struct alert_meta {
    time_t first_seen;              // stored as a new identity (server clock, seconds)
    time_t last_change;             // last stored, replaced or changed in state
};

// Alerts on the table by the state a listing shows, and the acknowledged ones by the
// severity they had before (critical + warning + info of acked = acknowledged).
struct table_counts {
    long critical, warning, info, acknowledged;
    long acked_critical, acked_warning, acked_info;
};
extern table_counts alert_counts;

// The server's clock in seconds since the epoch; a test seam, time() otherwise.
extern time_t (*ack_clock)();

// Allocates a table of size slots (1 to MAX_TABLE_SIZE), once, before anything is stored;
// the table starts empty. Returns 0, or -1 when the size is out of range or memory fails.
int alert_table_init(int size);
// Appends a record behind the last without looking for its identity (a saved table that is
// being loaded). Returns 0, or -1 when the table is full.
int alert_table_append(const char *record);
// Empties the table.
void alert_table_reset();
// Position of the record's identity (hostname and key over their full widths) in table
// order, or -1. It walks the order: callers that need only the record use alert_find.
int alert_lookup(const char *record);
// The stored record of the record's identity, found through the index; nullptr when absent.
const char *alert_find(const char *record);
// What the table keeps beside a stored record (one alert_find gave): its times, and its
// acknowledgement, which counts while the record's msgtype is "AK". The acknowledgements are
// kept apart from the times so that their memory is touched only by acknowledged slots.
const alert_meta *alert_meta_of(const char *stored);
const alert_ack *alert_ack_of(const char *stored);
// The one way a stored record changes state: msgtype becomes code; for "AK" the record
// takes ack (its reply_wanted byte becomes a zero byte, as an acknowledgement always did),
// for another code the ack is dropped. Keeps counts, generation and expiry index.
void alert_set_state(const char *stored, std::string_view code, const alert_ack *ack);
// The acknowledged record that expires first and its expiry, or nullptr when none expires.
const char *alert_next_expiry(time_t *until);
// Stores or replaces the alert; a new one meeting a full table displaces the lowest "IO"
// slot or goes to the overflow file.
void alert_add(char *record);
// Removes every "DD" slot; returns how many it removed.
int alerts_compress();
// Removes the alerts at positions 0 to last; returns how many were removed.
int alert_remove_through(int last);
// Removes the alert; returns the compress result (1 when it was there), else 0.
int alert_delete(char *record, int from_overflow);
// Sets the stored alert's msgtype to "AK" (ack.cc: with who and when).
void alert_acknowledge(char *record, int from_overflow);
// Removes every alert of the record's hostname.
void alert_delete_all_for_host(char *record, int from_overflow);
// A request for an alert that is not stored, while unread records wait: a forwarding
// application's request goes behind them (unless replayed). True when it was deferred.
bool alert_defer_missing(char *record, int from_overflow);
// The changes since the journal last took them, in the order they happened: an alert stored
// or changed ('P': its record as it is now, when it is still there) or removed ('D').
struct table_change {
    char kind;
    char id[LEN_HOSTNAME + LEN_KEY];    // hostname and key
};
inline constexpr int MAX_TABLE_CHANGES = 4096;
// Sets *out to the changes and returns their number, or -1 when there were more than
// MAX_TABLE_CHANGES or the table was emptied at once (the whole board must be written).
int alert_changes(const table_change **out);
// The journal took the changes: the next ones start afresh.
void alert_changes_taken();
// Logs a fact about an alert for log readers: "AINF: <what> <host> <key> <type><tail>", host
// and key at their full widths as stored.
void alert_log_fact(const char *what, const char *rec, std::string_view type, const char *tail);

// ---- Overflow buffer file (overflow.cc) ----

extern const char event_logfile_name[];   // "evt_buffer.dat"
extern int next_evt_record_to_read;
extern int unlink_permitted;

// Opens the file at start-up (a torn tail is cut back). Returns 0, -1 when it cannot be
// opened (the caller logs and dies), or -2 when a torn tail cannot be cut (logged here; the
// caller dies too: a record appended behind it would be misaligned).
int overflow_open();
// Closes the file if open (shutdown).
void overflow_close();
// Unread records, 0 when the file cannot be positioned.
int alerts_num_buffered();
// Reads record index of the file into rec (ALERT_RECORD_SIZE bytes). Returns 0, or -1.
int overflow_read_record(long index, char *rec);
// Whole records in the file, -1 when its size cannot be had.
long overflow_records();
// Stores a checksum of record index in sum. Returns 0, or -1 when there is no such record.
int overflow_record_sum(long index, std::uint32_t *sum);
// Sets the read index (a saved table's position) and counts the records from it on as waiting.
void overflow_set_read_position(int index);
// Unread records of the record's alert (hostname and key), plus clear-all requests of its
// host: more than 0 while an earlier request for that alert waits in the file.
int overflow_waiting(const char *record);
// Unread records of every kind for the record's hostname.
int overflow_waiting_host(const char *record);
// Makes the appends since the last call durable (fdatasync). Returns 0, or -1.
int overflow_sync();
// Appends the record (reply_wanted set to 'N' first), written through to the system.
// Returns 0, or -1 when it was not stored (warned here, and counted below).
int alert_write_to_bufferfile(char *record);
// Appends that failed since start-up: a handler compares it before and after a request to
// learn whether the request was stored.
extern unsigned long overflow_failed_appends;
// The truncate call used to cut the file back; a test hook, ftruncate otherwise.
extern int (*overflow_ftruncate)(int, off_t);
// The unlink call used to delete the file; a test hook, unlink otherwise.
extern int (*overflow_unlink)(const char *);
// Deletes and recreates the file when this run has appended to it.
void alerts_recreate_overflow_file();
// Recreates the file when nothing is left unread.
void alert_check_overflow_file();
// Replays unread records into the table while it has room.
void alert_retrieve_from_overflow();
// Refills the table when it has room and records wait (then recreates a file read to its
// end): called after every request, so no raise waits while a slot is free.
void overflow_refill_if_room();
// Reads the latest waiting raise of the record's alert into out (ALERT_RECORD_SIZE bytes).
// Returns 0, or -1 when none waits.
int overflow_waiting_raise(const char *record, char *out);
// The latest console action that waits for the record's alert ("acknowledge",
// "unacknowledge", "delete"), with who (LEN_ACK_WHO + 1 bytes); nullptr when none waits.
const char *overflow_pending(const char *record, char *who);
// The alerts that the waiting records will raise, by the state a listing shows them in (a
// raise replaced by a later one, cancelled by its clear or its host's clear-all, marked by an
// acknowledge; one for an alert on the board is none of its own). Returns their number, or
// -1 when too many alerts wait to tell.
int overflow_waiting_alerts(table_counts &out);

// ---- The saved table, --keep-table, and its journal, --sync (table_store.cc) ----

extern const char table_file_name[];      // "alert_table.dat"
extern const char table_journal_name[];   // "alert_table.jnl"
extern bool keep_table;                   // --keep-table given
extern bool sync_to_disk;                 // --sync given: answers wait for the disk

// Loads the saved table at start-up (after the overflow file is open, before its replay):
// the newest whole image of alert_table.dat and the journal, and the overflow read position
// saved with it when the overflow file proves to be the same. A damaged file keeps its
// whole alerts before the damage and is moved aside to alert_table.dat.bad; one that cannot
// be opened (but exists) is moved aside too, or ends the start. Logs one INFO line with what
// was restored. Returns the number of alerts restored.
int table_store_load();
// Saves the table now (with --sync: synced, and the journal emptied). Returns 0, or -1
// (warned once until saving works again).
int table_store_save();
// Milliseconds until a save is due, 0 when due now, -1 when nothing needs saving.
long table_store_due_ms();
// Saves when a change is due (at most one second after it): called once per loop pass.
void table_store_tick();
// With --sync, makes every change so far durable (overflow appends, then the board in the
// journal), one sync per file at most; called before any reply leaves. Returns 0, or -1
// when it could not (logged): no reply may leave then.
int table_store_sync();
// With --sync, syncs the working directory, so that a file created or renamed keeps its name.
void table_store_sync_dir();
// Closes the journal (tests load again after it).
void table_store_close();
// Counts a request handled, for the figures of the flush that makes it durable; returns the
// number of that flush (the flushes so far).
long table_store_count_request();
// The flushes with --sync so far.
long table_store_flushes();
// With --sync: the answers that waited for the last flush are written; the time from its
// start sets how long later flushes wait to gather more.
void table_store_answers_sent();
// With --sync: microseconds to wait for more requests before flushing (0: flush now), when
// handled requests came since the last flush and expected connections that took part in it
// have sent nothing since; target is how many requests to wait for at most.
long table_store_gather_us(int handled, int expected, int *target);
// The flush figures as "name value" lines into buf (at most cap bytes). Returns the length.
std::size_t table_store_figures(char *buf, std::size_t cap);

// ---- The server's own figures (stats.cc) ----

// Counts since start-up. Each is raised at one place, where the event happens.
struct server_stats {
    // Alert records received from senders, by msgtype (replays from the file not counted).
    unsigned long received_critical, received_warning, received_info, received_clear,
        received_clear_host, received_acknowledge, received_log_only, received_unknown_type;
    unsigned long console_requests, shutdown_requests, acks_sent;
    // What became of raises: a new alert on the board, a stored one replaced, an info
    // alert given up for a new one.
    unsigned long stored_new, stored_replaced, info_displaced;
    unsigned long spilled;          // records appended to the overflow file
    unsigned long replayed;         // records read back from it into processing
    // Lines and connections refused: unknown productid or msgtype, closed at the junk limit,
    // not in --allow, no free slot, a slot given up by an idle connection.
    unsigned long refused_unknown_data, refused_junk_limit, refused_allow, refused_no_slot,
        refused_idle_eviction;
    unsigned long log_write_failures, table_saves, connections_accepted;
    long start_time;                // seconds since the epoch
};
extern server_stats stats;
// Records of each msgtype that wait unread in the overflow file (kept by overflow.cc).
struct waiting_by_type {
    long raise, clear, acknowledge, clear_host, console, other;
};
extern waiting_by_type waiting_types;

// Empties the counts and sets the start time to now.
void stats_reset();
// Writes the summary, "name value" lines, into buf (at most cap bytes, no terminator).
// Returns its length.
std::size_t stats_summary(char *buf, std::size_t cap);
// Seconds since the epoch of the oldest waiting record's datetime, or -1 when none waits or
// its datetime cannot be read.
long overflow_oldest_time();

// ---- Service manager (notify.cc) ----

// Sends state ("READY=1", "STOPPING=1") to the service manager when $NOTIFY_SOCKET is set.
void notify_service_manager(const char *state);

// ---- Alert message processing (alert.cc) ----

// Logs the event line and processes the record; then ACKs when asked (reply to fd), or,
// when the record could not be stored, closes the connection without an ACK.
void process_alert_request(int fd, char *record);
// Pads key and hostname, then acts on the msgtype.
void process_alert_message(char *record, int from_overflow);

// ---- Console requests (console.cc) ----

// 0: not a console; otherwise the number of listing lines (negative: no console either).
// Stores the line length through line_length (when not nullptr) only when the productid
// carries one.
int message_from_console_application(const char *record, int *line_length);
// Carries out a console command and writes its replies to fd. request points to a buffer
// of at least LINE_BUFFER_SIZE bytes, which may be reused as the reply when memory fails.
void process_console_request(int fd, char *request);

#endif // SERVER_SERVER_H

// Acknowledgements with who, when, a note and an expiry: a side table beside the alert table,
// keyed by identity (hostname and key over their full widths).
//
// An entry counts only while the alert table holds its identity as "AK": a re-raise, a
// delete or a flush ends the ack without telling this table, and the entry is simply no
// longer found (and its room is reused).
#ifndef SERVER_ACK_H
#define SERVER_ACK_H

#include <cstddef>
#include <ctime>

#include "common/record.h"

struct ack_entry {
    bool used = false;
    char host[LEN_HOSTNAME];        // the identity, as stored in the table
    char key[LEN_KEY];
    char severity[LEN_MSGTYPE];     // "AC", "AW" or "IO": what the alert was before the ack
    char who[LEN_ACK_WHO + 1];      // no spaces; terminated
    char note[LEN_ACK_NOTE + 1];    // printable; terminated
    time_t since = 0;               // when it was acknowledged
    time_t until = 0;               // when it expires; 0 for never
};

// The clock the acks read (seconds since the epoch); a test seam, time() otherwise.
extern time_t (*ack_clock)();

// Sizes the table for capacity acks (the alert table's size), once at start-up. Returns 0,
// or -1 when the memory cannot be had.
int ack_table_init(int capacity);
// Forgets every ack (the alert table was emptied).
void ack_table_reset();

// Who a plain acknowledgement ("AC" of a console, "KA" of an alert) is by: the peer address
// of the connection being handled, or nullptr for a record replayed from the overflow file.
void ack_set_peer(const char *peer_address);

// Called before the stored record rec becomes "AK" by a plain acknowledgement: notes the
// peer (or "overflow" for a replayed request) as who, no note, no expiry and rec's severity,
// and logs the ack. An alert that is acknowledged already keeps its ack as it is.
void ack_plain(const char *rec, int from_overflow);

// "AN": acknowledges the alert the request names with the operator, note and expiry it
// carries. Returns nullptr when done, or the error text for the console.
const char *ack_console_note(const char *request);
// "UA": returns the alert the request names to the severity it had. Returns nullptr when
// done, or the error text for the console.
const char *ack_console_undo(const char *request);

// The ack of the stored record rec while it counts, or nullptr.
const ack_entry *ack_find(const char *rec);
// Appends the ack lines of the stored record rec to text (of size bytes, terminated, len
// characters used). Returns the new length; nothing is added when rec has no ack.
std::size_t ack_details(const char *rec, char *text, std::size_t len, std::size_t size);

// Milliseconds until the next expiry is due, 0 when due now, -1 when none is pending.
long ack_due_ms();
// Returns the alerts whose ack expired to their severity, each with its log line.
void ack_tick();

// ---- The saved table (table_store.cc) ----

// An ack as a 234-byte record of alert_table.dat; productid "TARROWD-ACK".
inline constexpr std::string_view ACK_RECORD_PRODUCTID = "TARROWD-ACK";
// True when rec is such a record.
bool ack_is_record(const char *rec);
// Writes the acks that count, one record each, to out (room for max records). Returns how
// many it wrote.
std::size_t ack_save_records(char *out, std::size_t max);
// True when rec is an ack record exactly as this server writes one (and reads back alike).
bool ack_record_valid(const char *rec);
// True when the ack record is of the stored alert rec (its hostname and key).
bool ack_record_of(const char *ack, const char *rec);
// Writes the ack record's hostname and key into rec at their places in an alert record.
void ack_record_identity(const char *ack, char *rec);
// Takes an ack back from a saved record, before the table's records are in place. Returns 0,
// or -1 when the record is not a whole ack.
int ack_load_record(const char *rec);

#endif // SERVER_ACK_H

// Acknowledgements with who, when, a note and an expiry. The acknowledgement lives with the
// alert in the table (alert_meta); this file makes and ends them: plain acknowledgements of
// senders and consoles, "AN" and "UA" of a console, expiries, their lines in the details and
// their records in the saved table.
#ifndef SERVER_ACK_H
#define SERVER_ACK_H

#include <cstddef>
#include <ctime>

#include "common/record.h"
#include "server/server.h"

// Who a plain acknowledgement ("AC" of a console, "KA" of an alert) is by: the peer address
// of the connection being handled, or nullptr for a record replayed from the overflow file.
void ack_set_peer(const char *peer_address);
// The operator named in a console request's who bytes (trailing blanks dropped, unprintable
// bytes and blanks made '_'), or the peer address. who holds LEN_ACK_WHO + 1 bytes.
void ack_request_who(const char *request, char *who);

// The expiry an "AN" request carries in its version field: seconds since the epoch, 0 for
// none (blank). False, with until 0, when the field holds anything else.
bool ack_request_until(const char *request, time_t *until);
// The error text for an "AN" whose expiry is no time or has passed, or nullptr: checked
// before the request acts or waits, so that it is never answered "--" and dropped later.
const char *ack_check_expiry(const char *request);
// The note a console request carries (an acknowledgement's, a delete's): msgtext and its
// continuation in optional_data, control bytes as spaces. note holds LEN_ACK_NOTE + 1 bytes.
void ack_request_note(const char *request, char *note);

// "AN": acknowledges the alert the request names with the operator, note and expiry it
// carries. Returns nullptr when done, or the error text for the console.
const char *ack_console_note(const char *request);
// "UA": returns the alert the request names to the severity it had. Returns nullptr when
// done, or the error text for the console.
const char *ack_console_undo(const char *request);

// Appends the ack lines of the stored record rec to text (of size bytes, terminated, len
// characters used), their fields escaped as listing fields are. Returns the new length;
// nothing is added when rec is not acknowledged.
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
// Writes the ack record of the acknowledged record rec with ack a to out.
void ack_write_record(const char *rec, const alert_ack &a, char *out);
// Writes the acks of the table, one record each, to out (room for max records). Returns how
// many it wrote.
std::size_t ack_save_records(char *out, std::size_t max);
// True when rec is an ack record exactly as this server writes one (and reads back alike).
bool ack_record_valid(const char *rec);
// True when the ack record is of the stored alert rec (its hostname and key).
bool ack_record_of(const char *ack, const char *rec);
// Writes the ack record's hostname and key into rec at their places in an alert record.
void ack_record_identity(const char *ack, char *rec);
// Reads an ack record into a. Returns 0, or -1 when the record is not a whole ack.
int ack_read_record(const char *rec, alert_ack &a);
// Gives the stored alert of a saved ack record its ack. Returns 0, or -1 when the record is
// not a whole ack or its alert is not stored acknowledged.
int ack_load_record(const char *rec);

#endif // SERVER_ACK_H

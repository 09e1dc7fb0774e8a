// Invariants of the server's state that hold after any input.
#ifndef FUZZ_SERVER_CHECKS_H
#define FUZZ_SERVER_CHECKS_H

#include <string>

// At most 50 alerts, each identity once, no slot left marked for removal, each stored alert of
// a type the table holds; the overflow file a whole number of records.
void fuzz_check_server_state();

// One pass of the server's main loop without its waits: notes the readable connections,
// handles at most one line of each in ascending descriptor order, writes what is queued.
void fuzz_server_pass();

// Appends what arrived on fd (the client's end of a connection) to pending and checks each
// whole reply in it: 234 bytes (an ACK) or 4184 (a console reply), ending with its only
// newline, of a type that reply carries. A partial reply stays in pending.
void fuzz_collect_replies(int fd, std::string &pending);

// Lists the board, asks for every alert's details (with and without its ack), un-acknowledges
// and acknowledges the first alert and deletes the last, over one connection; every reply
// must come back whole and the connection end closed.
void fuzz_serve_console();

// Set-up of the saved-table targets: a private working directory, SIGPIPE ignored (a reply to
// a closed peer), and the table kept (--keep-table).
void fuzz_saved_table_setup();

#endif // FUZZ_SERVER_CHECKS_H

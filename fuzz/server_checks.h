// Invariants of the server's state that hold after any input.
#ifndef FUZZ_SERVER_CHECKS_H
#define FUZZ_SERVER_CHECKS_H

// At most 50 alerts, each identity once, no slot left marked for removal, each stored alert of
// a type the table holds; the overflow file a whole number of records.
void fuzz_check_server_state();

#endif // FUZZ_SERVER_CHECKS_H

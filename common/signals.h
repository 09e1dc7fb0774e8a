// Stop and reload requests by signal, for the programs that run until stopped (the bridge and
// the web board).
#ifndef COMMON_SIGNALS_H
#define COMMON_SIGNALS_H

#include <csignal>

// Set by SIGTERM and SIGINT.
extern volatile sig_atomic_t stop_requested;
// Set by SIGHUP (systemctl reload); the program clears it when it has acted on it.
extern volatile sig_atomic_t reload_requested;

// Installs the handlers that set the two flags, and ignores SIGPIPE so that a write to a
// peer that left is an ordinary error.
void signals_install();

#endif // COMMON_SIGNALS_H

// The signal handlers of the programs that run until stopped: each only sets a flag.
#include "common/signals.h"

volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reload_requested = 0;

static void
on_stop(int)
{
    stop_requested = 1;
}

static void
on_hangup(int)
{
    reload_requested = 1;
}

void
signals_install()
{
    struct sigaction stop {};
    stop.sa_handler = on_stop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    struct sigaction hup {};
    hup.sa_handler = on_hangup;
    sigemptyset(&hup.sa_mask);
    sigaction(SIGHUP, &hup, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

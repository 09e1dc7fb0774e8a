// tarrowd: start-up, the listening socket and the loop of the alert collection server.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/server.h"

static volatile sig_atomic_t stop_signal = 0;

static volatile sig_atomic_t hangup_signal = 0;

static void
on_stop_signal(int sig)
{
    stop_signal = sig;
}

static void
on_hangup_signal(int)
{
    hangup_signal = 1;
}

static void
usage(FILE *f)
{
    fprintf(f, "usage: tarrowd [--foreground] [--keep-table] [--sync] "
               "[--allow address[/bits]]... [port [address]]\n");
}

// Passes the loop may serve from what connections already hold before it looks for new
// connections and input again.
inline constexpr int PASSES_PER_WAIT = 32;
// Connections taken after one wait at most.
inline constexpr int ACCEPTS_PER_WAIT = 8;
// The longest wait when nothing is due.
inline constexpr int WAIT_MS = 1030;

static struct pollfd wait_set[MAX_CLIENTS + 1];

// Waits at most timeout_ms for input, new connections, or room for queued replies, then
// accepts what has arrived and marks the connections that can be read.
static void
wait_for_events(int listen_fd, int timeout_ms)
{
    if (timeout_ms > 0)
        msglog_flush();     // nothing logged stays in memory while the server waits
    int n = 0;
    wait_set[n++] = {listen_fd, POLLIN, 0};
    for (int i = 0; i < client_open_count; i++) {
        int fd = client_open_fds[i];
        short events = 0;
        if (!client[fd].eof && !client_paused(fd))
            events |= POLLIN;
        if (client_output_blocked(fd))
            events |= POLLOUT;
        wait_set[n++] = {fd, events, 0};
    }
    int ready = poll(wait_set, static_cast<nfds_t>(n), timeout_ms);
    if (ready < 0) {
        if (errno == EINTR)
            return;
        die("select()", 2);
    }
    if (ready == 0)
        return;
    bool may_send = false;
    for (int i = 1; i < n; i++) {
        short r = wait_set[i].revents;
        if (r & (POLLIN | POLLHUP | POLLERR))
            client[wait_set[i].fd].readable = true;
        if (r & (POLLOUT | POLLHUP | POLLERR))
            may_send = true;
    }
    if (may_send)
        client_send_queued(true);
    if (wait_set[0].revents & POLLIN) {
        // Those waiting now, a few at most, so that their records share this pass.
        for (int i = 0; i < ACCEPTS_PER_WAIT; i++) {
            char peer[64];
            int fd = net_accept(listen_fd, peer, sizeof peer);
            if (fd < 0)
                break;
            client_accept(fd, peer);
        }
    }
}

int
main(int argc, char **argv)
{
    bool foreground = false;
    int argi = 1;
    for (; argi < argc; argi++) {
        if (strcmp(argv[argi], "--foreground") == 0) {
            foreground = true;
        } else if (strcmp(argv[argi], "--keep-table") == 0) {
            keep_table = true;
        } else if (strcmp(argv[argi], "--sync") == 0) {
            // Durable answers need a board that is kept at all.
            sync_to_disk = true;
            keep_table = true;
        } else if (strcmp(argv[argi], "--allow") == 0) {
            if (argi + 1 >= argc || allow_add(argv[argi + 1]) != 0) {
                fprintf(stderr, "tarrowd: --allow needs an IPv4 or IPv6 address, optionally "
                                "with /bits, got '%s'\n", argi + 1 < argc ? argv[argi + 1] : "");
                usage(stderr);
                return 2;
            }
            argi++;
        } else if (strcmp(argv[argi], "--help") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(argv[argi], "--version") == 0) {
            printf("tarrowd %s\n", application_version);
            return 0;
        } else {
            break;
        }
    }
    int port = argi < argc ? atoi(argv[argi]) : 9003;
    const char *bind_address = argi + 1 < argc ? argv[argi + 1] : nullptr;

    // A reply to a peer that has gone is an ordinary failed write, not the end of the server.
    signal(SIGPIPE, SIG_IGN);
    // Likewise a file size limit: an append past it fails like a full disk, and is handled.
    signal(SIGXFSZ, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // A log rotation tool's SIGHUP reopens the log instead of ending the server.
    struct sigaction hup {};
    hup.sa_handler = on_hangup_signal;
    sigemptyset(&hup.sa_mask);
    sigaction(SIGHUP, &hup, nullptr);

    // Test hook: black-box tests shorten the idle time after which a connection gives its
    // slot to a newcomer when every slot is taken.
    if (const char *idle = getenv("TARROWD_TEST_IDLE_MS"))
        client_idle_limit_ms = atoi(idle);

    SERVER_roll_log_files();

    int overflow_status = overflow_open();
    if (overflow_status != 0) {
        if (overflow_status == -1)
            myprintf("*ERR: Unable to open alert overflow buffer file %s, aborting!\n",
                     event_logfile_name);
        die("IO error on alert overflow file", 1);
    }

    myprintf("----: tarrow alert collection server\n");
    myprintf("----: Version %s\n", application_version);
    myprintf("----: Built with g++ %s for Linux\n", __VERSION__);
    myprintf("----: Server initialisation beginning\n");

    alert_table_reset();
    client_table_reset();
    // The saved board comes back before the overflow file is replayed behind it.
    if (keep_table)
        table_store_load();

    int listen_fd = net_listen(port, bind_address);

    // Records an earlier run left in the overflow file come back into the table now.
    if (alerts_num_buffered() > 0) {
        alert_retrieve_from_overflow();
        alert_check_overflow_file();
    }

    myprintf("INFO: TCP-IP Services now available\n");
    myprintf("INFO: Server has initialised, going daemon now\n");

    if (!foreground && daemon(1, 1) != 0) {
        perror("Request to run as a daemon");
        myprintf("*ERR: Unable to run as a deamon task, running as a normal task !\n");
    }
    notify_service_manager("READY=1");

    int passes = 0;
    long next_deadline = -1;
    for (;;) {
        if (stop_signal != 0) {
            myprintf("INFO: Shutdown requested by signal %d\n", static_cast<int>(stop_signal));
            shutdown_immed(0);
        }
        if (hangup_signal != 0) {
            hangup_signal = 0;
            msglog_reopen();
            myprintf("INFO: Signal %d (SIGHUP), log file reopened\n", SIGHUP);
        }
        table_store_tick();
        // Without waiting while some connection holds a line to handle, but not for long, so
        // that new connections, new input and the ends of input are still seen.
        bool any_line = false;
        for (int i = 0; i < client_open_count && !any_line; i++) {
            int fd = client_open_fds[i];
            any_line = !client_paused(fd) && client_has_line(fd);
        }
        if (!any_line || ++passes >= PASSES_PER_WAIT) {
            int timeout = WAIT_MS;
            if (any_line)
                timeout = 0;
            else if (next_deadline >= 0 && next_deadline < timeout)
                timeout = static_cast<int>(next_deadline) + 1;
            long save_due = any_line ? -1 : table_store_due_ms();
            if (save_due >= 0 && save_due < timeout)
                timeout = static_cast<int>(save_due);
            wait_for_events(listen_fd, timeout);
            passes = 0;
        }

        next_deadline = client_serve_pass();
    }
}

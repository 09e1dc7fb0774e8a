// tarrowd: start-up, the listening socket and the loop of the alert collection server.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/ack.h"
#include "server/server.h"

static volatile sig_atomic_t stop_signal = 0;

static const char LOCK_FILE_NAME[] = "tarrowd.lock";

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
               "[--allow address[/bits]]... "
               "[--log-keep-days days] [--table-size n] [port [address]]\n");
}

// The usage line, then every option and argument with its default.
static void
help()
{
    usage(stdout);
    printf("  --foreground          stay attached to the terminal (default: run as a daemon)\n"
           "  --keep-table          save the board in alert_table.dat and restore it at start-up\n"
           "                        (default: every start begins with an empty board)\n"
           "  --sync                answer nothing before the change it answers is on stable\n"
           "                        storage, through the journal alert_table.jnl; implies\n"
           "                        --keep-table (default: no syncs)\n"
           "  --allow address[/bits]\n"
           "                        take connections only from this IPv4 or IPv6 network; may\n"
           "                        be given up to %d times (default: from every address)\n"
           "  --log-keep-days days  remove the daily logs log_YYYYMMDD.log older than this many\n"
           "                        days, at start-up and at each change of day (default: keep\n"
           "                        every log)\n"
           "  --table-size n        hold up to n open alerts on the board, 1 to %d; the rest\n"
           "                        wait in evt_buffer.dat (default: %d)\n"
           "  --help, --version     print this text, or the version, and exit\n"
           "  port                  TCP port, 0 to 65535; 0 lets the system pick a free one\n"
           "                        (default: 9003)\n"
           "  address               the IPv4 (four dotted decimal parts) or IPv6 address of the\n"
           "                        one interface to listen on (default: every IPv4 interface)\n"
           "Files live in the working directory: the daily logs, evt_buffer.dat,\n"
           "alert_table.dat and the lock file %s.\n", MAX_ALLOWED, MAX_TABLE_SIZE, MAX_ALERTS,
           LOCK_FILE_NAME);
}

// The port argument: all digits, 0 to 65535 (0 picks a free port). -1 when it is not.
static int
read_port(const char *text)
{
    std::size_t digits = strspn(text, "0123456789");
    if (digits == 0 || digits > 5 || text[digits] != '\0')
        return -1;
    int port = atoi(text);
    return port <= 65535 ? port : -1;
}

// Takes the lock that keeps a second server out of this working directory: two would share
// the overflow file, the saved table and the log, and alerts would cross between them. The
// lock belongs to the open file, so the detached process keeps it. Returns the descriptor;
// -1 when another server holds the lock, its pid through holder (0 when unknown); -2 when
// the lock file cannot be used at all, the error through error (the server then goes on
// without it, with a warning).
static int
take_directory_lock(long *holder, int *error)
{
    int fd = open(LOCK_FILE_NAME, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        *error = errno;
        return -2;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    int saved_errno = errno;
    if (saved_errno != EWOULDBLOCK) {
        *error = saved_errno;
        close(fd);
        return -2;
    }
    char text[24] = {};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    *holder = n > 0 ? atol(text) : 0;
    close(fd);
    return -1;
}

// Writes this process's id into the lock file, for the message a second server gives.
static void
write_lock_pid(int fd)
{
    char text[24];
    int n = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<std::size_t>(n), 0) != n)
        myprintf("WARN: Unable to write the process id into %s\n", LOCK_FILE_NAME);
}

// Passes the loop may serve from what connections already hold before it looks for new
// connections and input again.
inline constexpr int PASSES_PER_WAIT = 32;
// Connections taken after one wait at most.
inline constexpr int ACCEPTS_PER_WAIT = 8;
// The longest wait when nothing is due.
inline constexpr int WAIT_MS = 1030;

// How long accepting pauses when the descriptors have run out: the queued connection would
// make every wait return at once and every accept fail again.
inline constexpr int ACCEPT_PAUSE_MS = 100;

static struct pollfd wait_set[MAX_CLIENTS + 1];
// Until when (monotonic_ms) the listening socket stays out of the wait, 0 when it is in.
static long accept_paused_until = 0;

// Waits at most timeout_ms for input, new connections, or room for queued replies, then
// accepts what has arrived and marks the connections that can be read.
static void
wait_for_events(int listen_fd, int timeout_ms)
{
    if (timeout_ms > 0)
        msglog_flush();     // nothing logged stays in memory while the server waits
    int n = 0;
    if (accept_paused_until != 0) {
        long left = accept_paused_until - monotonic_ms();
        if (left <= 0)
            accept_paused_until = 0;
        else if (timeout_ms < 0 || left < timeout_ms)
            timeout_ms = static_cast<int>(left);
    }
    // A negative descriptor is left out of the wait.
    wait_set[n++] = {accept_paused_until != 0 ? -1 : listen_fd, POLLIN, 0};
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
            if (fd == -2)
                accept_paused_until = monotonic_ms() + ACCEPT_PAUSE_MS;
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
    int log_keep_days = 0;
    int table_size = MAX_ALERTS;
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
        } else if (strcmp(argv[argi], "--log-keep-days") == 0) {
            const char *days = argi + 1 < argc ? argv[argi + 1] : "";
            std::size_t digits = strspn(days, "0123456789");
            if (digits == 0 || digits > 5 || days[digits] != '\0' || atoi(days) == 0) {
                fprintf(stderr, "tarrowd: --log-keep-days needs a number of days from 1 to "
                                "99999, got '%s'\n", days);
                usage(stderr);
                return 2;
            }
            log_keep_days = atoi(days);
            argi++;
        } else if (strcmp(argv[argi], "--table-size") == 0) {
            const char *size = argi + 1 < argc ? argv[argi + 1] : "";
            std::size_t digits = strspn(size, "0123456789");
            long n = digits > 0 && digits <= 6 && size[digits] == '\0' ? atol(size) : 0;
            if (n < 1 || n > MAX_TABLE_SIZE) {
                fprintf(stderr, "tarrowd: --table-size needs a number of alerts from 1 to %d, "
                                "got '%s'\n", MAX_TABLE_SIZE, size);
                usage(stderr);
                return 2;
            }
            table_size = static_cast<int>(n);
            argi++;
        } else if (strcmp(argv[argi], "--help") == 0) {
            help();
            return 0;
        } else if (strcmp(argv[argi], "--version") == 0) {
            printf("tarrowd %s\n", application_version);
            return 0;
        } else {
            break;
        }
    }
    // No port starts with "--": such an argument is an option this server does not know.
    if (argi < argc && strncmp(argv[argi], "--", 2) == 0) {
        fprintf(stderr, "tarrowd: unknown option %s\n", argv[argi]);
        usage(stderr);
        return 2;
    }
    int port = argi < argc ? read_port(argv[argi]) : 9003;
    if (port < 0) {
        fprintf(stderr, "Illegal port number: %s\n", argv[argi]);
        usage(stderr);
        return 2;
    }
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

    // Before any other file of the directory is touched: they may belong to a running server,
    // whose log only gets the line that says so (its old logs are not ours to remove).
    long holder = 0;
    int lock_errno = 0;
    int lock_fd = take_directory_lock(&holder, &lock_errno);
    if (lock_fd == -1) {
        char dir[PATH_MAX];
        if (getcwd(dir, sizeof dir) == nullptr)
            snprintf(dir, sizeof dir, ".");
        fprintf(stderr, "*ERR: Another tarrowd is running in %s (pid %ld)\n", dir, holder);
        SERVER_roll_log_files();
        myprintf("*ERR: Another tarrowd is running in %s (pid %ld)\n", dir, holder);
        msglog_close();
        return 1;
    }

    msglog_keep_days = log_keep_days;
    SERVER_roll_log_files();
    if (lock_fd >= 0)
        write_lock_pid(lock_fd);
    else
        myprintf("WARN: Unable to lock %s, %s: a second server here would not be noticed\n",
                 LOCK_FILE_NAME, strerror(lock_errno));

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

    // The one allocation of the table, sized once: nothing is allocated per alert later.
    if (alert_table_init(table_size) != 0)
        die("Unable to allocate the alert table", 1);
    myprintf("INFO: The board holds up to %d alerts\n", table_size);
    stats_reset();
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
    if (lock_fd >= 0 && !foreground)
        write_lock_pid(lock_fd);    // the detached process's id
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
        ack_tick();
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
            long ack_due = any_line ? -1 : ack_due_ms();
            if (ack_due >= 0 && ack_due < timeout)
                timeout = static_cast<int>(ack_due);
            wait_for_events(listen_fd, timeout);
            passes = 0;
        }

        next_deadline = client_serve_pass();
    }
}

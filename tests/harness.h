// Helpers for black-box tests: run the built programs in temporary directories on 127.0.0.1.
#ifndef TESTS_HARNESS_H
#define TESTS_HARNESS_H

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Paths of the built programs (set by CMake).
const char *tarrowd_path();
const char *flicket_path();
const char *quiesk_path();
const char *tarrowc_path();

// A fresh temporary directory, removed with its files by the destructor.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
};

// A tarrowd started with --foreground 0 127.0.0.1 in a directory; port read from its log.
struct server_proc {
    pid_t pid = -1;
    int port = 0;
    std::string dir;
};

// Starts tarrowd in dir and waits (at most 5 s) for its listening line. args without an
// address get "0 127.0.0.1" after them. port is 0 when the
// server did not come up; pid is then still set if the process started. extra_env adds
// "NAME=value" entries; fsize_limit, when not 0, limits the size of every file it writes.
server_proc start_server(const std::string &dir, const std::vector<std::string> &args = {},
                         const std::vector<std::string> &extra_env = {}, long fsize_limit = 0);
// Waits at most timeout_ms for the process to end; returns its exit status, 128 + signal
// number when a signal ended it, or -1 on time-out (the process is then killed).
int wait_exit(pid_t pid, int timeout_ms = 5000);
// Starts argv[0] with its output and errors appended to log_path and its input from in_fd
// (/dev/null when -1); it is killed should the test process die first. Returns its pid.
pid_t spawn_logged(const std::vector<std::string> &argv, const std::string &log_path,
                   int in_fd = -1);
// Stops the server with SIGTERM and returns its exit status.
int stop_server(server_proc &s);

// Stops the server when the scope ends, also when a failed assertion leaves it early.
struct server_guard {
    server_proc &s;
    ~server_guard()
    {
        if (s.pid > 0)
            stop_server(s);
    }
};

// Stops any other process the test started (SIGTERM, killed after 10 s) when the scope ends,
// unless pid is -1 by then: an Alertmanager, a bridge left running by a failed assertion.
struct process_guard {
    pid_t &pid;
    ~process_guard()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            wait_exit(pid, 10000);
        }
        pid = -1;
    }
};

// The concatenated text of every log_*.log in dir.
std::string read_log(const std::string &dir);
// Waits at most timeout_ms for text to appear in the log; true when it did.
bool wait_for_log(const std::string &dir, const std::string &text, int timeout_ms = 3000);
// Whole contents of a file ("" when missing).
std::string read_file(const std::string &path);

// A connected TCP socket to 127.0.0.1:port, or -1.
int connect_local(int port);
// Writes all of data; true on success.
bool send_all(int fd, const std::string &data);
// Reads exactly n bytes within timeout_ms; returns what was read (shorter on EOF/time-out).
std::string read_exact(int fd, std::size_t n, int timeout_ms = 3000);
// True when nothing at all arrives within timeout_ms (EOF counts as nothing arriving too).
bool nothing_arrives(int fd, int timeout_ms = 300);

// Result of running a program to its end.
struct run_result {
    int status = -1;        // exit status, 128 + signal, -1 on time-out
    std::string out;        // standard output
    std::string err;        // standard error
};
// Runs argv[0] with the arguments, in cwd when not empty, with the environment plus extra
// "NAME=value" entries; waits at most timeout_ms.
run_result run_program(const std::vector<std::string> &argv, const std::string &cwd = "",
                       const std::vector<std::string> &extra_env = {}, int timeout_ms = 10000,
                       const std::string &input = "");

// The board as a console sees it: "key type" for every listing line (key padded to its
// width), in table order; {"no connection"} when the server cannot be reached.
std::vector<std::string> board_listing(int port);

// A 234-byte alert record built field by field (zero-filled, then fields copied, header
// space-filled as a sender tool does), for tests that play a forwarding application.
std::string make_alert(const std::string &productid, const std::string &hostname,
                       const std::string &key, const std::string &msgtype, char reply_wanted,
                       const std::string &msgtext = "");

#endif // TESTS_HARNESS_H

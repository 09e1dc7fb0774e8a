// prometheus-alertmanager for black-box tests: found on PATH, started on 127.0.0.1 with every
// alert routed to a webhook of the test's own, stopped at the end.
#ifndef TESTS_ALERTMANAGER_H
#define TESTS_ALERTMANAGER_H

#include <sys/types.h>

#include <string>
#include <vector>

// The program's path on PATH, or "".
std::string find_program(const std::string &name);

// One Alertmanager on 127.0.0.1.
struct alertmanager {
    pid_t pid = -1;         // -1 when it did not come up
    int port = 0;           // its web port
    std::string url;        // "http://127.0.0.1:port"
    std::string log;        // its output, in its directory
};

// Starts program in dir (its configuration, storage and log there), sending every alert to
// the webhook http://127.0.0.1:hook_port/hook grouped by alertname and instance (group wait
// and interval 1 s), with the cluster arguments (by default no gossip). Waits at most 30 s for
// it to answer /-/ready; a web port taken meanwhile by another program is tried again.
alertmanager start_alertmanager(const std::string &program, const std::string &dir,
                                int hook_port,
                                const std::vector<std::string> &cluster = {
                                    "--cluster.listen-address="});
// Stops it with SIGTERM (killed after 10 s); pid is -1 afterwards.
void stop_alertmanager(alertmanager &am);

#endif // TESTS_ALERTMANAGER_H

#include "tests/alertmanager.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "tests/harness.h"
#include "tests/net_helpers.h"

std::string
find_program(const std::string &name)
{
    std::stringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

namespace {

// True when a plain GET of path on 127.0.0.1:port is answered 200.
bool
answers_ok(int port, const std::string &path)
{
    int fd = connect_local(port);
    if (fd < 0)
        return false;
    send_all(fd, "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    std::string reply = read_exact(fd, 12, 2000);
    close(fd);
    return reply.rfind("HTTP/1.", 0) == 0 && reply.compare(9, 3, "200") == 0;
}

} // namespace

alertmanager
start_alertmanager(const std::string &program, const std::string &dir, int hook_port,
                   const std::vector<std::string> &cluster)
{
    std::ofstream(dir + "/am.yml") << "route:\n"
                                      "  receiver: hook\n"
                                      "  group_by: [alertname, instance]\n"
                                      "  group_wait: 1s\n"
                                      "  group_interval: 1s\n"
                                      "  repeat_interval: 1h\n"
                                      "receivers:\n"
                                      "- name: hook\n"
                                      "  webhook_configs:\n"
                                      "  - url: http://127.0.0.1:"
                                   << hook_port << "/hook\n";
    alertmanager am;
    am.log = dir + "/am.log";
    for (int attempt = 0; attempt < 3; attempt++) {
        am.port = free_port();
        am.url = "http://127.0.0.1:" + std::to_string(am.port);
        std::vector<std::string> argv = {program, "--config.file=" + dir + "/am.yml",
                                         "--storage.path=" + dir + "/data",
                                         "--web.listen-address=127.0.0.1:" +
                                             std::to_string(am.port)};
        argv.insert(argv.end(), cluster.begin(), cluster.end());
        am.pid = spawn_logged(argv, am.log);
        if (am.pid < 0)
            break;
        for (long end = monotonic_ms() + 30000; monotonic_ms() < end;) {
            if (answers_ok(am.port, "/-/ready"))
                return am;
            if (waitpid(am.pid, nullptr, WNOHANG) == am.pid)
                break;
            usleep(100000);
        }
        kill(am.pid, SIGTERM);
        wait_exit(am.pid, 10000);
    }
    am.pid = -1;
    return am;
}

void
stop_alertmanager(alertmanager &am)
{
    if (am.pid > 0) {
        kill(am.pid, SIGTERM);
        wait_exit(am.pid, 10000);
    }
    am.pid = -1;
}

// sievel-act's user functions: run beside the reading, a few at once, each within its time.
#include "tools/act.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "common/text.h"

extern char **environ;

struct userfunc_call {
    std::string path, key, text, host;
    unsigned long lineno = 0;
    pid_t pid = -1;
    long deadline = 0;
};
static std::deque<userfunc_call> userfunc_waiting;
static std::vector<userfunc_call> userfunc_running;
static unsigned long userfunc_lost = 0;

static void
userfunc_start(userfunc_call &c)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // The action lines are ours: a user function reads nothing from them.
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, so that a time-out ends whatever it started too.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    char *argv[] = {c.path.data(), c.key.data(), c.text.data(), c.host.data(), nullptr};
    int rc = posix_spawn(&c.pid, c.path.c_str(), &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        fprintf(stderr, "sievel-act: line %lu: %s failed (%s) for key %s\n", c.lineno,
                c.path.c_str(), strerror(rc), c.key.c_str());
        c.pid = -1;
        return;
    }
    c.deadline = monotonic_ms() + static_cast<long>(opt.userfunc_timeout * 1000);
    userfunc_running.push_back(std::move(c));
}

void
userfunc_tend()
{
    long now = monotonic_ms();
    for (std::size_t i = 0; i < userfunc_running.size();) {
        userfunc_call &c = userfunc_running[i];
        int status;
        pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == 0 && now >= c.deadline) {
            kill(-c.pid, SIGKILL);
            r = waitpid(c.pid, &status, 0);
            fprintf(stderr, "sievel-act: line %lu: %s ran longer than %g s for key %s, killed\n",
                    c.lineno, c.path.c_str(), opt.userfunc_timeout, c.key.c_str());
        } else if (r == c.pid && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
            fprintf(stderr, "sievel-act: line %lu: %s failed (status %d) for key %s\n", c.lineno,
                    c.path.c_str(), WEXITSTATUS(status), c.key.c_str());
        } else if (r == c.pid && WIFSIGNALED(status)) {
            fprintf(stderr, "sievel-act: line %lu: %s failed (signal %d) for key %s\n",
                    c.lineno, c.path.c_str(), WTERMSIG(status), c.key.c_str());
        }
        if (r == 0) {
            ++i;
            continue;
        }
        userfunc_running.erase(userfunc_running.begin() + static_cast<long>(i));
    }
    while (!userfunc_waiting.empty() &&
           userfunc_running.size() < static_cast<std::size_t>(opt.jobs)) {
        userfunc_call c = std::move(userfunc_waiting.front());
        userfunc_waiting.pop_front();
        userfunc_start(c);
    }
}

void
userfunc_queue(std::string path, std::string key, std::string text, std::string host,
               unsigned long lineno)
{
    if (userfunc_waiting.size() >= opt.queue) {
        userfunc_waiting.pop_front();
        ++userfunc_lost;
    }
    userfunc_call c;
    c.path = std::move(path);
    c.key = std::move(key);
    c.text = std::move(text);
    c.host = std::move(host);
    c.lineno = lineno;
    userfunc_waiting.push_back(std::move(c));
}

bool
userfunc_idle()
{
    return userfunc_running.empty() && userfunc_waiting.empty();
}

unsigned long
userfunc_dropped()
{
    return userfunc_lost;
}

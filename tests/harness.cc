// Helpers for black-box tests: processes, temporary directories, sockets and log files.
#include "tests/harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/text.h"
#include "tests/records.h"

const char *tarrowd_path() { return TARROWD_PATH; }
const char *flicket_path() { return FLICKET_PATH; }
const char *quiesk_path() { return QUIESK_PATH; }
const char *tarrowc_path() { return TARROWC_PATH; }

static long
now_ms()
{
    return monotonic_ms();
}

temp_dir::temp_dir()
{
    char tmpl[] = "/tmp/tarrow-test-XXXXXX";
    char *p = mkdtemp(tmpl);
    path = p ? p : "";
}

temp_dir::~temp_dir()
{
    if (path.empty())
        return;
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path.c_str());
}

std::string
read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string
read_log(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.rfind("log_", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".log")
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::string all;
    for (const auto &n : names)
        all += read_file(dir + "/" + n);
    return all;
}

bool
wait_for_log(const std::string &dir, const std::string &text, int timeout_ms)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        if (read_log(dir).find(text) != std::string::npos)
            return true;
        if (now_ms() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

server_proc
start_server(const std::string &dir, const std::vector<std::string> &args,
             const std::vector<std::string> &extra_env, long fsize_limit)
{
    server_proc s;
    s.dir = dir;
    // A restart in the same directory appends to the log: look only past what is there.
    const std::size_t skip = read_log(dir).size();
    std::vector<std::string> argv = {tarrowd_path(), "--foreground"};
    argv.insert(argv.end(), args.begin(), args.end());
    // A test's server listens on loopback only: arguments that name no address (options
    // alone) get port 0 on 127.0.0.1, never tarrowd's default of every interface.
    bool names_address = false;
    for (std::size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--allow") {
            i++;    // its network is no listening address
            continue;
        }
        names_address = names_address || (args[i].rfind("--", 0) != 0 &&
                                           args[i].find_first_of(".:") != std::string::npos);
    }
    if (!names_address) {
        argv.push_back("0");
        argv.push_back("127.0.0.1");
    }
    pid_t pid = fork();
    if (pid == 0) {
        // A test that dies takes its server with it, rather than leaving it to hold the
        // test's output open.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        for (const auto &e : extra_env)
            putenv(strdup(e.c_str()));
        if (fsize_limit > 0) {
            struct rlimit limit = {static_cast<rlim_t>(fsize_limit),
                                   static_cast<rlim_t>(fsize_limit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        std::vector<char *> cargv;
        for (auto &a : argv)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    s.pid = pid;
    const std::string marker = "INFO: Server listening on port address '";
    long end = now_ms() + 5000;
    while (now_ms() < end) {
        std::string log = read_log(dir);
        std::size_t at = log.find(marker, skip);
        if (at != std::string::npos) {
            std::size_t q = log.find('\'', at + marker.size());
            std::size_t colon = log.rfind(':', q);
            if (q != std::string::npos && colon != std::string::npos && colon > at) {
                s.port = atoi(log.c_str() + colon + 1);
                return s;
            }
        }
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid) {
            s.pid = -1;
            return s;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return s;
}

int
wait_exit(pid_t pid, int timeout_ms)
{
    long end = now_ms() + timeout_ms;
    for (;;) {
        int st;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(st))
                return WEXITSTATUS(st);
            if (WIFSIGNALED(st))
                return 128 + WTERMSIG(st);
            return -1;
        }
        if (r < 0)
            return -1;
        if (now_ms() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

pid_t
spawn_logged(const std::vector<std::string> &argv, const std::string &log_path, int in_fd)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        dup2(in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY), 0);
        std::vector<char *> cargv;
        for (const std::string &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    return pid;
}

int
stop_server(server_proc &s)
{
    if (s.pid <= 0)
        return -1;
    kill(s.pid, SIGTERM);
    int st = wait_exit(s.pid);
    s.pid = -1;
    return st;
}

int
connect_local(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool
send_all(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string
read_exact(int fd, std::size_t n, int timeout_ms)
{
    std::string out;
    long end = now_ms() + timeout_ms;
    while (out.size() < n) {
        long left = end - now_ms();
        if (left <= 0)
            break;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r <= 0)
            break;
        char buf[8192];
        ssize_t got = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

bool
nothing_arrives(int fd, int timeout_ms)
{
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r <= 0)
        return true;
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// Reads a pipe to its end into out, in the background of run_program.
static void
drain(int fd, std::string *out)
{
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out->append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
}

run_result
run_program(const std::vector<std::string> &argv, const std::string &cwd,
            const std::vector<std::string> &extra_env, int timeout_ms, const std::string &input)
{
    run_result res;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0)
        return res;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(127);
        for (const auto &e : extra_env)
            putenv(strdup(e.c_str()));
        std::vector<char *> cargv;
        std::vector<std::string> copy = argv;
        for (auto &a : copy)
            cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    std::thread t_out(drain, out_pipe[0], &res.out);
    std::thread t_err(drain, err_pipe[0], &res.err);
    signal(SIGPIPE, SIG_IGN);
    send_all(in_pipe[1], input);
    close(in_pipe[1]);
    res.status = wait_exit(pid, timeout_ms);
    t_out.join();
    t_err.join();
    return res;
}

std::string
make_alert(const std::string &productid, const std::string &hostname, const std::string &key,
           const std::string &msgtype, char reply_wanted, const std::string &msgtext)
{
    return sender_record(productid, hostname, key, msgtype, reply_wanted, msgtext);
}

std::vector<std::string>
board_listing(int port)
{
    std::vector<std::string> out;
    int fd = connect_local(port);
    if (fd < 0)
        return {"no connection"};
    send_all(fd, make_alert("CONSOLE99_127", "", "", "SL", 'Y'));
    for (int n = 0; n < 10; n++) {
        std::string reply = read_exact(fd, CONSOLE_REPLY_SIZE);
        if (reply.size() != CONSOLE_REPLY_SIZE)
            break;
        std::string data = reply.substr(OFF_DATA, reply.find('\0', OFF_DATA) - OFF_DATA);
        std::size_t at = 0;
        while (at < data.size()) {
            std::size_t end = data.find('^', at);
            std::string line = data.substr(at, end - at);
            if (line.find("NO ALERTS AT PRESENT") == std::string::npos && line.size() >= 48)
                out.push_back(line.substr(31, 14) + " " + line.substr(46, 2));
            at = end == std::string::npos ? data.size() : end + 1;
        }
        if (reply.substr(OFF_MSGTYPE, 2) != "DF")
            break;
    }
    close(fd);
    return out;
}

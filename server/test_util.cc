// Shared set-up for the server's unit tests.
#include "server/test_util.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/records.h"

static std::string
slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void
server_fixture::SetUp()
{
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    old_cwd = cwd;
    char tmpl[] = "/tmp/tarrowd-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    SERVER_roll_log_files();
    client_idle_limit_ms = IDLE_EVICT_MS;
    client_reply_deadline_ms = REPLY_DEADLINE_MS;
    client_table_reset();
    // Every test starts with a table of the default size, whatever the last one set.
    if (alert_table_size != MAX_ALERTS) {
        ASSERT_EQ(alert_table_init(MAX_ALERTS), 0);
    }
    alert_table_reset();
    stats_reset();
    ASSERT_EQ(overflow_open(), 0);
}

void
server_fixture::TearDown()
{
    overflow_close();
    msglog_close();
    if (!old_cwd.empty() && chdir(old_cwd.c_str()) != 0)
        ADD_FAILURE() << "chdir back failed";
    if (!dir.empty()) {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir;
    }
}

std::string
server_fixture::log() const
{
    test_end_pass();
    char name[32];
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    strftime(name, sizeof name, "log_%Y%m%d.log", &tm_now);
    return slurp(dir + "/" + name);
}

std::string
server_fixture::overflow_bytes() const
{
    return slurp(dir + "/" + event_logfile_name);
}

line_buf
make_record(const std::string &productid, const std::string &hostname, const std::string &key,
            const std::string &msgtype, char reply_wanted, const std::string &msgtext)
{
    line_buf l;
    std::string rec = sender_record(productid, hostname, key, msgtype, reply_wanted, msgtext);
    memcpy(l.b, rec.data(), rec.size());
    return l;
}

sock_pair::sock_pair()
{
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
        server_fd = sv[0];
        peer_fd = sv[1];
    }
}

sock_pair::~sock_pair()
{
    if (server_fd >= 0)
        close(server_fd);
    if (peer_fd >= 0)
        close(peer_fd);
}

std::string
read_available(int fd, int timeout_ms)
{
    test_end_pass();
    std::string out;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char buf[8192];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

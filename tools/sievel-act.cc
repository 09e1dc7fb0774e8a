// sievel-act: turns sievel's action lines into alerts on one or more boards, over one
// persistent connection per board, and runs the user functions the lines ask for.
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "common/fields.h"
#include "common/record.h"
#include "common/sender.h"
#include "common/text.h"

extern char **environ;

static const char synopsis[] =
    "usage: sievel-act [-a address] [-p port] [-s severity] [-u userfunc-dir] [-f flicket]\n"
    "                  [--board address:port]... [--queue records] [--drain seconds]\n"
    "                  [--jobs n] [--userfunc-timeout seconds]\n";

static constexpr std::size_t REC = ALERT_RECORD_SIZE;
static constexpr long BACKOFF_FIRST_MS = 200, BACKOFF_MAX_MS = 5000;
static constexpr std::size_t RING_FIRST = 1024;     // records; the ring doubles up to --queue

// ---- Command line ----

struct act_options {
    std::size_t queue = 100000;
    double drain = 10;
    int jobs = 4;
    double userfunc_timeout = 30;
    std::string userdir;                // empty: no user functions
    std::string_view raise_msgtype = MSG_CRITICAL;
};
static act_options opt;

struct severity {
    const char *word;
    std::string_view msgtype;
};
// flicket's severity words, chosen the same way: the argument begins with the whole word.
static const severity severities[] = {
    {"critical", MSG_CRITICAL}, {"warning", MSG_WARNING},   {"harmless", MSG_CLEAR},
    {"info", MSG_INFO},         {"logonly", MSG_LOG_ONLY}, {"clearall", MSG_CLEAR_HOST},
};

// True when text is a port: digits only, 1 to 65535.
static bool
valid_port(const char *text)
{
    int port = 0;
    return text_port(text, port);
}

// True when text may name a board: a host name or an IPv6 address as it is, and text of
// digits and dots only when it is four dotted decimal parts of at most 255 each.
static bool
valid_address(const char *text)
{
    if (text[0] == '\0')
        return false;
    if (text[strspn(text, "0123456789.")] != '\0')
        return true;
    return text_dotted_ipv4(text);
}

// A number from start-up options, within [lo, hi]; false when text is no such number.
static bool
parse_number(const char *text, double lo, double hi, double &value)
{
    char *end;
    errno = 0;
    double v = strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !(v >= lo && v <= hi))
        return false;
    value = v;
    return true;
}

// ---- Boards ----

enum class link_state { waiting, connecting, up };

// One board: its connection and the queue of records not yet ACKed, oldest first. The first
// `inflight` records have been written whole; out_off bytes of the next one are written too.
struct board {
    std::string name;               // address:port as given, for messages
    std::string host, port;
    link_state state = link_state::waiting;
    int fd = -1;
    long retry_at = 0;              // when waiting: next connect attempt
    long connect_deadline = 0;
    long backoff = BACKOFF_FIRST_MS;
    unsigned attempt = 0;           // picks among the addresses of a name, in turn
    bool down_reported = false;

    // The addresses of the name, looked up before the first line is read and again only
    // when every one has failed and the last look-up is a minute old: a slow resolver
    // holds up the reading of the log at most that often.
    std::vector<struct sockaddr_storage> addrs;
    std::vector<socklen_t> addr_lens;
    long resolved_at = 0;
    std::size_t failed_in_row = 0;

    std::unique_ptr<char[]> ring;
    std::size_t ring_cap = 0;       // records the ring holds now (grows up to opt.queue)
    std::size_t head = 0, count = 0, inflight = 0, out_off = 0;

    char in[REC * 32];              // ACK bytes read, not yet handled
    std::size_t in_len = 0;

    unsigned long delivered = 0;
    unsigned long lost_superseded = 0, lost_oldest = 0;    // since the last report
    unsigned long lost_total = 0;
};
static std::vector<board> boards;

static char *
ring_rec(board &b, std::size_t i)
{
    return b.ring.get() + ((b.head + i) % b.ring_cap) * REC;
}

// Adds the board at address and port once both are checked; false after a message on stderr.
static bool
add_board(const std::string &address, const std::string &port)
{
    if (!valid_port(port.c_str())) {
        fprintf(stderr, "Illegal port number: %s\n", port.c_str());
        return false;
    }
    if (!valid_address(address.c_str())) {
        fprintf(stderr, "Improperly formatted network address, %s\n", address.c_str());
        return false;
    }
    board &b = boards.emplace_back();
    b.host = address;
    b.port = port;
    b.name = (address.find(':') != std::string::npos ? "[" + address + "]" : address) + ":" +
             port;
    return true;
}

// Adds the board of a --board argument: "host:port", "1.2.3.4:port" or "[ipv6]:port".
static bool
add_board_option(const char *arg)
{
    std::string host, port;
    if (!text_split_host_port(arg, host, port)) {
        fprintf(stderr, "Improperly formatted network address, %s\n", arg);
        return false;
    }
    return add_board(host, port);
}

// Closes the connection and schedules the next attempt; records in flight are sent again.
static void
link_down(board &b, const char *why)
{
    if (b.fd >= 0)
        close(b.fd);
    b.fd = -1;
    b.state = link_state::waiting;
    b.inflight = 0;
    b.out_off = 0;
    b.in_len = 0;
    ++b.attempt;
    ++b.failed_in_row;
    // The next address of a name is tried at once; after the last one, the wait.
    if (b.addrs.size() > 1 && b.failed_in_row % b.addrs.size() != 0) {
        b.retry_at = monotonic_ms();
        return;
    }
    b.retry_at = monotonic_ms() + b.backoff;
    b.backoff = b.backoff * 2 > BACKOFF_MAX_MS ? BACKOFF_MAX_MS : b.backoff * 2;
    if (!b.down_reported) {
        fprintf(stderr, "sievel-act: board %s: %s; %zu records queued, retrying\n",
                b.name.c_str(), why, b.count);
        b.down_reported = true;
    }
}

// Looks the board's name up; false with why set when it has no address.
static bool
link_resolve(board &b, const char *&why)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(b.host.c_str(), b.port.c_str(), &hints, &list);
    b.resolved_at = monotonic_ms();
    if (rc != 0) {
        why = gai_strerror(rc);
        return false;
    }
    b.addrs.clear();
    b.addr_lens.clear();
    for (struct addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        struct sockaddr_storage ss;
        memset(&ss, 0, sizeof ss);
        memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
        b.addrs.push_back(ss);
        b.addr_lens.push_back(ai->ai_addrlen);
    }
    freeaddrinfo(list);
    b.failed_in_row = 0;
    return !b.addrs.empty();
}

// Starts a non-blocking connect to the board's next address.
static void
link_start(board &b)
{
    const char *why = "no address";
    if ((b.addrs.empty() || (b.failed_in_row >= b.addrs.size() &&
                             monotonic_ms() - b.resolved_at >= 60000)) &&
        !link_resolve(b, why) && b.addrs.empty()) {
        link_down(b, why);
        return;
    }
    std::size_t i = b.attempt % b.addrs.size();
    const struct sockaddr *sa = reinterpret_cast<const struct sockaddr *>(&b.addrs[i]);
    int fd = socket(sa->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int saved_errno = errno;
        link_down(b, strerror(saved_errno));
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    b.fd = fd;
    if (connect(fd, sa, b.addr_lens[i]) == 0 || errno == EINPROGRESS) {
        b.state = link_state::connecting;
        b.connect_deadline = monotonic_ms() + 1000L * CONNECT_TIMEOUT_SECONDS;
    } else {
        int saved_errno = errno;
        link_down(b, strerror(saved_errno));
    }
}

static void
link_connected(board &b)
{
    b.state = link_state::up;
    b.failed_in_row = 0;
    if (b.down_reported) {
        fprintf(stderr, "sievel-act: board %s: connected, sending %zu queued records\n",
                b.name.c_str(), b.count);
        b.down_reported = false;
    }
}

// Writes what the socket takes now of the records not yet written.
static void
link_write(board &b)
{
    for (int pass = 0; pass < 4 && b.state == link_state::up; ++pass) {
        std::size_t next = b.inflight;
        if (next >= b.count)
            return;
        std::size_t idx = (b.head + next) % b.ring_cap;
        // Contiguous records: up to the end of the ring or of the queue.
        std::size_t run = b.ring_cap - idx;
        if (run > b.count - next)
            run = b.count - next;
        const char *p = b.ring.get() + idx * REC + b.out_off;
        std::size_t len = run * REC - b.out_off;
        ssize_t n = send(b.fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            int saved_errno = errno;
            if (saved_errno != EAGAIN && saved_errno != EWOULDBLOCK && saved_errno != EINTR)
                link_down(b, strerror(saved_errno));
            return;
        }
        std::size_t done = b.out_off + static_cast<std::size_t>(n);
        b.inflight += done / REC;
        b.out_off = done % REC;
        if (static_cast<std::size_t>(n) < len)
            return;
    }
}

// Reads ACKs: each one delivers the oldest record in flight.
static void
link_read(board &b)
{
    ssize_t n = read(b.fd, b.in + b.in_len, sizeof b.in - b.in_len);
    if (n == 0) {
        link_down(b, "connection closed by the board");
        return;
    }
    if (n < 0) {
        int saved_errno = errno;
        if (saved_errno != EAGAIN && saved_errno != EWOULDBLOCK && saved_errno != EINTR)
            link_down(b, strerror(saved_errno));
        return;
    }
    b.in_len += static_cast<std::size_t>(n);
    std::size_t off = 0;
    for (; b.in_len - off >= REC; off += REC) {
        const char *ack = b.in + off;
        if (ack[OFF_ALERT_NEWLINE] != '\n' || !msgtype_is(ack, MSG_REPLY_DONE) ||
            b.inflight == 0) {
            link_down(b, "unexpected reply from the board");
            return;
        }
        b.head = (b.head + 1) % b.ring_cap;
        --b.count;
        --b.inflight;
        ++b.delivered;
        b.backoff = BACKOFF_FIRST_MS;
    }
    memmove(b.in, b.in + off, b.in_len - off);
    b.in_len -= off;
}

// Grows the ring to twice its size (at most the queue limit), records kept in order. Without
// the memory for it the ring stays as it is and fills up sooner.
static void
ring_grow(board &b)
{
    std::size_t cap = b.ring_cap == 0 ? RING_FIRST : b.ring_cap * 2;
    if (cap > opt.queue)
        cap = opt.queue;
    std::unique_ptr<char[]> ring(new (std::nothrow) char[cap * REC]);
    if (ring == nullptr)
        return;
    for (std::size_t i = 0; i < b.count; ++i)
        memcpy(ring.get() + i * REC, ring_rec(b, i), REC);
    b.ring = std::move(ring);
    b.ring_cap = cap;
    b.head = 0;
}

// Removes the unsent records whose flag is set, keeping the order of the rest.
static std::size_t
ring_remove(board &b, std::size_t first, const std::vector<char> &drop)
{
    std::size_t to = first;
    for (std::size_t i = first; i < b.count; ++i) {
        if (drop[i - first])
            continue;
        if (to != i)
            memcpy(ring_rec(b, to), ring_rec(b, i), REC);
        ++to;
    }
    std::size_t removed = b.count - to;
    b.count = to;
    return removed;
}

static std::string
identity(const char *rec)
{
    std::string id(rec + OFF_HOSTNAME, LEN_HOSTNAME);
    id.append(rec + OFF_KEY, LEN_KEY);
    return id;
}

// Makes room in a full queue for rec. Raises that a later record of the same identity (rec
// included) supersedes go first; when there are none, the oldest unsent records, a batch of
// them at once, so that a queue full of distinct alerts is not scanned for every line.
// Records already written are never dropped: their ACK may be on its way.
static void
make_room(board &b, const char *rec)
{
    std::size_t first = b.inflight + (b.out_off > 0 ? 1 : 0);
    if (first >= b.count)
        return;
    std::vector<char> drop(b.count - first, 0);
    std::unordered_set<std::string> later;
    later.reserve(b.count - first + 1);
    later.insert(identity(rec));
    for (std::size_t i = b.count; i-- > first;) {
        const char *r = ring_rec(b, i);
        bool seen = !later.insert(identity(r)).second;
        if (seen && msgtype_is(r, opt.raise_msgtype))
            drop[i - first] = 1;
    }
    std::size_t removed = ring_remove(b, first, drop);
    b.lost_superseded += removed;
    if (removed > 0)
        return;
    std::size_t batch = b.ring_cap / 64 > 0 ? b.ring_cap / 64 : 1;
    if (batch > b.count - first)
        batch = b.count - first;
    std::fill(drop.begin(), drop.end(), 0);
    std::fill(drop.begin(), drop.begin() + static_cast<long>(batch), 1);
    b.lost_oldest += ring_remove(b, first, drop);
}

// Queues one record for the board; it leaves at once when the connection takes it.
static void
board_queue(board &b, const char *rec)
{
    if (b.count == b.ring_cap && b.ring_cap < opt.queue)
        ring_grow(b);
    if (b.count == b.ring_cap && b.ring_cap > 0)
        make_room(b, rec);
    if (b.count == b.ring_cap) {
        // Everything queued is in flight: the new record is the one lost.
        ++b.lost_oldest;
        return;
    }
    memcpy(ring_rec(b, b.count), rec, REC);
    ++b.count;
}

// Once a second: what each board lost to a full queue since the last report.
static void
report_losses()
{
    for (board &b : boards) {
        if (b.lost_superseded + b.lost_oldest == 0)
            continue;
        fprintf(stderr,
                "sievel-act: board %s: queue full (%zu records): dropped %lu superseded "
                "raises and %lu oldest records\n",
                b.name.c_str(), opt.queue, b.lost_superseded, b.lost_oldest);
        b.lost_total += b.lost_superseded + b.lost_oldest;
        b.lost_superseded = b.lost_oldest = 0;
    }
}

// ---- User functions ----

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

// Reaps the user functions that ended, ends those past their time and starts waiting ones.
static void
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

// ---- Action lines ----

static unsigned long lineno = 0;
static int status = 0;
static alert_record template_rec;       // what every record of ours carries
static time_t stamp_second = 0;

// One line on stderr about the input line being handled.
__attribute__((format(printf, 1, 2))) static void
complain(const char *fmt, ...)
{
    char msg[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sievel-act: line %lu: %s\n", lineno, msg);
}

static int
ilen(std::string_view s)
{
    return static_cast<int>(s.size());
}

// Copies at most width bytes of text into dest; returns the number copied.
static std::size_t
copy_text(char *dest, std::string_view text, std::size_t width)
{
    std::size_t n = text.size() < width ? text.size() : width;
    memcpy(dest, text.data(), n);
    return n;
}

// Builds the record of a raise or a clear, reply wanted, and queues it for every board.
static void
send_alert(std::string_view msgtype, std::string_view key, std::string_view text,
           std::string_view host)
{
    time_t now = time(nullptr);
    if (now != stamp_second) {
        set_datestamp(template_rec.data() + OFF_DATETIME);
        stamp_second = now;
    }
    alert_record rec = template_rec;
    char *r = rec.data();
    set_msgtype(r, msgtype);
    r[OFF_REPLY_WANTED] = 'Y';
    if (!host.empty()) {
        memset(r + OFF_HOSTNAME, ' ', LEN_HOSTNAME);
        copy_text(r + OFF_HOSTNAME, host, LEN_HOSTNAME);
    }
    zero_data_field(r + OFF_KEY, LEN_KEY + 1);
    copy_text(r + OFF_KEY, key, LEN_KEY);
    space_fill_string(r + OFF_KEY, LEN_KEY);
    std::size_t copied = copy_text(r + OFF_MSGTEXT, text, LEN_MSGTEXT);
    // A zero byte in the text ends it, as the board reads it; nothing is left behind it.
    std::size_t len = strnlen(r + OFF_MSGTEXT, copied);
    memset(r + OFF_MSGTEXT + len, 0, copied - len);
    number_to_string_with_null(r + OFF_MSGTEXT_LENGTH, static_cast<int>(len),
                               LEN_MSGTEXT_LENGTH + 1);
    for (board &b : boards)
        board_queue(b, r);
}

static void
queue_userfunc(std::string_view action, std::string_view key, std::string_view text,
               std::string_view host)
{
    if (opt.userdir.empty()) {
        complain("no -u directory given, %.*s for key %.*s skipped", ilen(action), action.data(),
                 ilen(key), key.data());
        return;
    }
    std::string path = opt.userdir + "/userfunc-" + action.back();
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) {
        complain("no executable %s, %.*s for key %.*s skipped", path.c_str(), ilen(action),
                 action.data(), ilen(key), key.data());
        return;
    }
    if (userfunc_waiting.size() >= opt.queue) {
        userfunc_waiting.pop_front();
        ++userfunc_lost;
    }
    userfunc_call c;
    c.path = path;
    // Arguments end at a zero byte, as any program's do.
    c.key = std::string(key.substr(0, strnlen(key.data(), key.size())));
    c.text = std::string(text.substr(0, strnlen(text.data(), text.size())));
    c.host = std::string(host.substr(0, strnlen(host.data(), host.size())));
    c.lineno = lineno;
    userfunc_waiting.push_back(std::move(c));
}

static bool
starts_with(std::string_view s, std::string_view p)
{
    return s.substr(0, p.size()) == p;
}

// Handles one input line, its newline removed.
//   RAISE-ALERT KEY "TEXT" HOST, CANCEL-ALERT ..., USERFUNC-n ...
// TEXT may hold double quotes and blanks and HOST never holds a blank, so the host is what
// follows the last '" ' and the text what lies between the first '"' and that point.
static void
act(std::string_view line)
{
    std::string_view action = line.substr(0, line.find(' '));
    bool userfunc = action.size() == 10 && starts_with(action, "USERFUNC-") &&
                    action[9] >= '1' && action[9] <= '5';
    if (action != "RAISE-ALERT" && action != "CANCEL-ALERT" && !userfunc) {
        // Not ours at all (sievel prints its errors on stdout): shown as it is.
        fwrite(line.data(), 1, line.size(), stderr);
        fputc('\n', stderr);
        status = 1;
        return;
    }
    std::size_t sp = line.find(' ');
    std::size_t quote_end = std::string_view::npos;
    std::string_view key, rest;
    if (sp != std::string_view::npos) {
        rest = line.substr(sp + 1);
        std::size_t ksp = rest.find(' ');
        key = rest.substr(0, ksp);
        rest = ksp == std::string_view::npos ? std::string_view{} : rest.substr(ksp + 1);
        quote_end = rest.rfind("\" ");
    }
    if (key.empty() || rest.empty() || rest[0] != '"' || quote_end == std::string_view::npos ||
        quote_end == 0) {
        complain("malformed action line, skipped: %.*s", ilen(line), line.data());
        return;
    }
    std::string_view text = rest.substr(1, quote_end - 1);
    std::string_view host = rest.substr(quote_end + 2);
    // A log with CRLF line ends leaves a carriage return at the end of the text.
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);

    if (action == "RAISE-ALERT")
        send_alert(opt.raise_msgtype, key, text, host);
    else if (action == "CANCEL-ALERT")
        send_alert(MSG_CLEAR, key, text, host);
    else
        queue_userfunc(action, key, text, host);
}

// ---- Input ----

struct line_reader {
    bool eof = false;
    bool skipping = false;          // inside a line too long to keep: drop up to its newline
    std::size_t off = 0, len = 0;
    char buf[1 << 16];
};
static line_reader input;

// Reads what standard input holds now and handles each whole line; at the end of input the
// last line counts even without its newline.
static void
read_input()
{
    line_reader &r = input;
    if (r.off > 0) {
        memmove(r.buf, r.buf + r.off, r.len - r.off);
        r.len -= r.off;
        r.off = 0;
    }
    ssize_t n = read(STDIN_FILENO, r.buf + r.len, sizeof r.buf - r.len);
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
        int saved_errno = errno;
        fprintf(stderr, "sievel-act: reading the action lines: %s\n", strerror(saved_errno));
        r.eof = true;
    } else if (n == 0) {
        r.eof = true;
    } else if (n > 0) {
        r.len += static_cast<std::size_t>(n);
    }
    for (;;) {
        char *start = r.buf + r.off;
        char *nl = static_cast<char *>(memchr(start, '\n', r.len - r.off));
        if (nl == nullptr)
            break;
        std::size_t len = static_cast<std::size_t>(nl - start);
        r.off += len + 1;
        if (r.skipping) {
            r.skipping = false;
            continue;
        }
        ++lineno;
        act({start, len});
    }
    if (r.off == 0 && r.len == sizeof r.buf) {
        ++lineno;
        complain("longer than %zu bytes, skipped", sizeof r.buf);
        r.skipping = true;
        r.len = 0;
    }
    if (r.eof && r.off < r.len) {
        if (!r.skipping) {
            ++lineno;
            act({r.buf + r.off, r.len - r.off});
        }
        r.off = r.len = 0;
    }
}

// ---- Main loop ----

// Set by SIGTERM or SIGINT: take what the pipe holds now, then drain as at end of input.
static volatile sig_atomic_t stop_requested = 0;

static void
on_stop(int)
{
    stop_requested = 1;
}

// Reads what standard input holds without waiting for more, then ends the input: a stopped
// pipeline delivers every line its log reader has already passed on (journalctl's cursor
// file is past them), and loses none.
static void
read_rest_of_input()
{
    fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    for (int i = 0; i < 100000 && !input.eof; ++i) {
        struct pollfd p = {STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            break;
        read_input();
    }
    if (!input.eof) {
        input.eof = true;
        if (input.off < input.len && !input.skipping) {
            ++lineno;
            act({input.buf + input.off, input.len - input.off});
        }
    }
}

// True once nothing is left to do for the boards.
static bool
boards_empty()
{
    for (const board &b : boards)
        if (b.count > 0)
            return false;
    return true;
}

// The closing lines: what each board did not get. 0 when every record was delivered.
static int
final_report()
{
    report_losses();
    int rc = 0;
    for (const board &b : boards) {
        if (b.count + b.lost_total == 0)
            continue;
        fprintf(stderr,
                "sievel-act: board %s: %lu records not delivered (%zu still queued, %lu "
                "dropped when the queue was full)\n",
                b.name.c_str(), b.count + b.lost_total, b.count, b.lost_total);
        rc = 1;
    }
    if (userfunc_lost > 0)
        fprintf(stderr, "sievel-act: %lu user function calls dropped, too many waiting\n",
                userfunc_lost);
    return rc;
}

static void
run()
{
    long drain_deadline = 0;
    long next_report = monotonic_ms() + 1000;
    std::vector<struct pollfd> fds;
    for (;;) {
        if (stop_requested && !input.eof) {
            // A second signal ends us at once.
            signal(SIGTERM, SIG_DFL);
            signal(SIGINT, SIG_DFL);
            read_rest_of_input();
        }
        long now = monotonic_ms();
        if (input.eof && drain_deadline == 0)
            drain_deadline = now + static_cast<long>(opt.drain * 1000);
        bool boards_done = boards_empty() || (input.eof && now >= drain_deadline);
        if (input.eof && boards_done && userfunc_running.empty() && userfunc_waiting.empty())
            return;

        for (board &b : boards)
            if (b.state == link_state::waiting && now >= b.retry_at)
                link_start(b);

        // The wait: input, every connection, and the next time something is due.
        long wake = next_report;
        fds.clear();
        if (!input.eof)
            fds.push_back({STDIN_FILENO, POLLIN, 0});
        for (board &b : boards) {
            if (b.state == link_state::waiting) {
                if (b.retry_at < wake)
                    wake = b.retry_at;
                continue;
            }
            short events = POLLIN;
            if (b.state == link_state::connecting || b.inflight < b.count)
                events |= POLLOUT;
            fds.push_back({b.fd, events, 0});
            if (b.state == link_state::connecting && b.connect_deadline < wake)
                wake = b.connect_deadline;
        }
        if (input.eof && drain_deadline < wake)
            wake = drain_deadline;
        if (!userfunc_running.empty() && now + 20 < wake)
            wake = now + 20;    // reap and time them without a signal handler
        long timeout = wake > now ? wake - now : 0;
        int n = poll(fds.data(), fds.size(), static_cast<int>(timeout));
        if (n < 0 && errno != EINTR) {
            int saved_errno = errno;
            fprintf(stderr, "sievel-act: poll: %s\n", strerror(saved_errno));
            exit(2);
        }

        std::size_t k = 0;
        if (!input.eof && fds[k++].revents != 0)
            read_input();
        now = monotonic_ms();
        for (board &b : boards) {
            if (b.state == link_state::waiting)
                continue;
            short rev = fds[k++].revents;
            if (b.state == link_state::connecting) {
                if (rev != 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    getsockopt(b.fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    if (err != 0)
                        link_down(b, strerror(err));
                    else
                        link_connected(b);
                } else if (now >= b.connect_deadline) {
                    link_down(b, "no answer to connect");
                }
            } else if (rev & (POLLIN | POLLERR | POLLHUP)) {
                link_read(b);
            }
            // New lines leave in this pass, not after the next wait.
            if (b.state == link_state::up)
                link_write(b);
        }
        userfunc_tend();
        if (now >= next_report) {
            report_losses();
            next_report = now + 1000;
        }
    }
}

int
main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(synopsis, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("sievel-act %s\n", application_version);
        return 0;
    }
    signal(SIGPIPE, SIG_IGN);

    enum { OPT_BOARD = 256, OPT_QUEUE, OPT_DRAIN, OPT_JOBS, OPT_TIMEOUT };
    static const struct option longopts[] = {
        {"board", required_argument, nullptr, OPT_BOARD},
        {"queue", required_argument, nullptr, OPT_QUEUE},
        {"drain", required_argument, nullptr, OPT_DRAIN},
        {"jobs", required_argument, nullptr, OPT_JOBS},
        {"userfunc-timeout", required_argument, nullptr, OPT_TIMEOUT},
        {nullptr, 0, nullptr, 0},
    };
    const char *address = nullptr, *port = nullptr, *sev = "critical";
    std::vector<const char *> board_options;
    int c;
    double v;
    while ((c = getopt_long(argc, argv, "+a:p:s:u:f:", longopts, nullptr)) != -1) {
        switch (c) {
        case 'a': address = optarg; break;
        case 'p': port = optarg; break;
        case 's': sev = optarg; break;
        case 'u': opt.userdir = optarg; break;
        case 'f': break;    // flicket is no longer run: kept so that old command lines work
        case OPT_BOARD: board_options.push_back(optarg); break;
        case OPT_QUEUE:
            if (!parse_number(optarg, 1, 10000000, v)) {
                fprintf(stderr, "sievel-act: --queue takes 1 to 10000000 records, not %s\n",
                        optarg);
                return 1;
            }
            opt.queue = static_cast<std::size_t>(v);
            break;
        case OPT_DRAIN:
            if (!parse_number(optarg, 0, 86400, opt.drain)) {
                fprintf(stderr, "sievel-act: --drain takes 0 to 86400 seconds, not %s\n", optarg);
                return 1;
            }
            break;
        case OPT_JOBS:
            if (!parse_number(optarg, 1, 64, v)) {
                fprintf(stderr, "sievel-act: --jobs takes 1 to 64, not %s\n", optarg);
                return 1;
            }
            opt.jobs = static_cast<int>(v);
            break;
        case OPT_TIMEOUT:
            if (!parse_number(optarg, 0.001, 86400, opt.userfunc_timeout)) {
                fprintf(stderr, "sievel-act: --userfunc-timeout takes seconds up to 86400, "
                                "not %s\n", optarg);
                return 1;
            }
            break;
        default:
            fputs(synopsis, stderr);
            return 1;
        }
    }
    if (optind < argc) {
        fputs(synopsis, stderr);
        return 1;
    }

    // Everything is checked before the first line is read.
    const severity *found = nullptr;
    for (const severity &s : severities)
        if (strncmp(sev, s.word, strlen(s.word)) == 0) {
            found = &s;
            break;
        }
    if (found == nullptr) {
        fprintf(stderr, "sievel-act: unknown severity %s (critical, warning, harmless, info, "
                        "logonly or clearall)\n", sev);
        return 1;
    }
    opt.raise_msgtype = found->msgtype;
    if (!opt.userdir.empty()) {
        struct stat st;
        int err = 0;
        if (stat(opt.userdir.c_str(), &st) != 0)
            err = errno;
        else if (!S_ISDIR(st.st_mode))
            err = ENOTDIR;
        else if (access(opt.userdir.c_str(), X_OK) != 0)
            err = errno;
        if (err != 0) {
            fprintf(stderr, "sievel-act: user function directory %s: %s\n",
                    opt.userdir.c_str(), strerror(err));
            return 1;
        }
    }
    // -a and -p name one board, as they always did; so do their defaults when no --board
    // is given.
    if (address != nullptr || port != nullptr || board_options.empty())
        if (!add_board(address != nullptr ? address : "127.0.0.1",
                       port != nullptr ? port : "9003"))
            return 1;
    for (const char *text : board_options)
        if (!add_board_option(text))
            return 1;

    init_alert_request_buffer(template_rec.data(), PRODUCT_GENALERT.data(),
                              MSG_CRITICAL.data());
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    run();
    int rc = final_report();
    return status != 0 ? status : rc;
}

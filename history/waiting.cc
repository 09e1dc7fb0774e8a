// The overflow file's records in a queue: a vector in memory, then a temporary file.
#include "history/waiting.h"

#include <unistd.h>

#include <cstring>

// A record on disk: host, key, request, datetime, persistent, since, id, then the lengths and
// bytes of text, who and note.
static constexpr std::size_t FIXED = LEN_HOSTNAME + LEN_KEY + 2 + LEN_DATETIME + 1 + 8 + 8;
static constexpr std::size_t HEADER = FIXED + 3 * 2;
static constexpr std::size_t READ_AHEAD = 1024;

waiting_file::~waiting_file()
{
    if (disk != nullptr)
        fclose(disk);
}

std::size_t
waiting_unread(const waiting_file &w)
{
    return w.count - w.next;
}

static void
put_len(std::string &b, std::size_t n)
{
    b.push_back(static_cast<char>(n & 0xff));
    b.push_back(static_cast<char>(n >> 8 & 0xff));
}

static std::size_t
get_len(const char *p)
{
    return static_cast<unsigned char>(p[0]) |
           static_cast<std::size_t>(static_cast<unsigned char>(p[1])) << 8;
}

int
waiting_push(waiting_file &w, const board_alert &a)
{
    if (w.count == w.mem.size() && w.mem.size() < WAITING_IN_MEMORY) {
        w.mem.push_back(a);
        w.count++;
        return 0;
    }
    if (w.disk == nullptr && (w.disk = tmpfile()) == nullptr)
        return -1;
    std::string b;
    b.append(a.host, LEN_HOSTNAME).append(a.key, LEN_KEY).append(a.request, 2);
    b.append(a.datetime, LEN_DATETIME).push_back(a.persistent);
    char since[8], id[8];
    memcpy(since, &a.since, 8);
    memcpy(id, &a.id, 8);
    b.append(since, 8).append(id, 8);
    std::size_t text = std::min<std::size_t>(a.text.size(), 0xffff);
    std::size_t who = std::min<std::size_t>(a.who.size(), 0xffff);
    std::size_t note = std::min<std::size_t>(a.note.size(), 0xffff);
    put_len(b, text);
    put_len(b, who);
    put_len(b, note);
    b.append(a.text, 0, text).append(a.who, 0, who).append(a.note, 0, note);
    if (w.moved && fseek(w.disk, w.end, SEEK_SET) != 0)
        return -1;
    w.moved = false;
    if (fwrite(b.data(), 1, b.size(), w.disk) != b.size())
        return -1;
    w.last_at = w.end;
    w.end += static_cast<long>(b.size());
    w.count++;
    return 0;
}

// Reads the records on disk from at into out, at most max of them; returns the offset after
// the last one read.
static long
read_records(const waiting_file &w, long at, std::size_t max, std::deque<board_alert> &out)
{
    if (w.disk == nullptr || fflush(w.disk) != 0)
        return w.end;
    int fd = fileno(w.disk);
    std::string buf;
    for (std::size_t i = 0; i < max && at < w.end; i++) {
        char h[HEADER];
        if (pread(fd, h, HEADER, at) != static_cast<ssize_t>(HEADER))
            return w.end;
        std::size_t text = get_len(h + FIXED), who = get_len(h + FIXED + 2),
                    note = get_len(h + FIXED + 4);
        buf.resize(text + who + note);
        if (!buf.empty() && pread(fd, buf.data(), buf.size(), at + static_cast<long>(HEADER)) !=
                                static_cast<ssize_t>(buf.size()))
            return w.end;
        board_alert a;
        const char *p = h;
        memcpy(a.host, p, LEN_HOSTNAME);
        memcpy(a.key, p += LEN_HOSTNAME, LEN_KEY);
        memcpy(a.request, p += LEN_KEY, 2);
        memcpy(a.datetime, p += 2, LEN_DATETIME);
        a.persistent = *(p += LEN_DATETIME);
        memcpy(&a.since, p + 1, 8);
        memcpy(&a.id, p + 9, 8);
        a.text.assign(buf, 0, text);
        a.who.assign(buf, text, who);
        a.note.assign(buf, text + who, note);
        out.push_back(std::move(a));
        at += static_cast<long>(HEADER + buf.size());
    }
    return at;
}

// Where the record after the first one read ahead starts.
static long
after_first(const waiting_file &w)
{
    const board_alert &a = w.ahead.front();
    return w.next_at + static_cast<long>(HEADER + std::min<std::size_t>(a.text.size(), 0xffff) +
                                         std::min<std::size_t>(a.who.size(), 0xffff) +
                                         std::min<std::size_t>(a.note.size(), 0xffff));
}

const board_alert *
waiting_front(waiting_file &w)
{
    if (w.next >= w.count)
        return nullptr;
    if (w.next < w.mem.size())
        return &w.mem[w.next];
    if (w.ahead.empty())
        read_records(w, w.next_at, READ_AHEAD, w.ahead);
    return w.ahead.empty() ? nullptr : &w.ahead.front();
}

void
waiting_pop_front(waiting_file &w)
{
    if (waiting_front(w) == nullptr)
        return;
    if (w.next >= w.mem.size()) {
        w.next_at = after_first(w);
        w.ahead.pop_front();
    }
    w.next++;
}

void
waiting_rewind(waiting_file &w, std::size_t next)
{
    w.ahead.clear();
    w.next = 0;
    w.next_at = 0;
    while (w.next < next && waiting_front(w) != nullptr)
        waiting_pop_front(w);
}

bool
waiting_pop_back(waiting_file &w, board_alert &out)
{
    if (w.next >= w.count)
        return false;
    if (w.count <= w.mem.size()) {
        out = std::move(w.mem.back());
        w.mem.pop_back();
        w.count--;
        return true;
    }
    if (w.last_at < w.next_at)
        return false;
    std::deque<board_alert> last;
    read_records(w, w.last_at, 1, last);
    if (last.empty())
        return false;
    out = std::move(last.front());
    w.ahead.clear();
    w.end = w.last_at;
    w.moved = true;
    w.last_at = -1;
    w.count--;
    return true;
}

void
waiting_clear(waiting_file &w)
{
    w.mem.clear();
    w.ahead.clear();
    w.count = w.next = 0;
    w.end = w.next_at = 0;
    w.last_at = -1;
    w.moved = true;
    // Gives the disk space back; should that fail, the next records overwrite it.
    if (w.disk != nullptr && fflush(w.disk) == 0 && ftruncate(fileno(w.disk), 0) != 0)
        return;
}

void
waiting_each(const waiting_file &w, const std::function<void(const board_alert &)> &f)
{
    for (std::size_t i = w.next; i < w.mem.size(); i++)
        f(w.mem[i]);
    for (long at = w.next_at; at < w.end;) {
        std::deque<board_alert> chunk;
        long next = read_records(w, at, READ_AHEAD, chunk);
        for (const board_alert &a : chunk)
            f(a);
        if (next <= at)
            break;
        at = next;
    }
}

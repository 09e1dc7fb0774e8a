// The overflow file's records in a queue: a vector in memory, then a temporary file.
#include "history/waiting.h"

#include <unistd.h>

#include <cstring>

// A record on disk: host, key, request, datetime, persistent, since, id, then the lengths and
// bytes of text, who and note.
static constexpr std::size_t FIXED = LEN_HOSTNAME + LEN_KEY + 2 + LEN_DATETIME + 1 + 8 + 8;
static constexpr std::size_t HEADER = FIXED + 3 * 2;
static constexpr std::size_t READ_AHEAD = 1024;
static constexpr std::size_t READ_BLOCK = 256 * 1024;
static_assert(READ_BLOCK >= HEADER + 3 * 0xffff);

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
    if (w.disk == nullptr) {
        if ((w.disk = tmpfile()) == nullptr)
            return -1;
        setvbuf(w.disk, nullptr, _IOFBF, 1 << 20);
    }
    std::string &b = w.scratch;
    b.clear();
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

// The record at h, of at most len bytes, into a (its strings' room reused); its size, or 0
// when it is not whole.
static std::size_t
decode(const char *h, std::size_t len, board_alert &a)
{
    if (len < HEADER)
        return 0;
    std::size_t text = get_len(h + FIXED), who = get_len(h + FIXED + 2),
                note = get_len(h + FIXED + 4);
    if (len < HEADER + text + who + note)
        return 0;
    const char *p = h;
    memcpy(a.host, p, LEN_HOSTNAME);
    memcpy(a.key, p += LEN_HOSTNAME, LEN_KEY);
    memcpy(a.request, p += LEN_KEY, 2);
    memcpy(a.datetime, p += 2, LEN_DATETIME);
    a.persistent = *(p += LEN_DATETIME);
    memcpy(&a.since, p + 1, 8);
    memcpy(&a.id, p + 9, 8);
    p = h + HEADER;
    a.text.assign(p, text);
    a.who.assign(p + text, who);
    a.note.assign(p + text + who, note);
    return HEADER + text + who + note;
}

// Calls f on the records on disk from at on, at most max of them, read in blocks of
// READ_BLOCK bytes (one record never takes more); returns the offset after the last one.
static long
scan_records(const waiting_file &w, long at, std::size_t max,
             const std::function<void(const board_alert &)> &f)
{
    if (w.disk == nullptr || fflush(w.disk) != 0)
        return w.end;
    int fd = fileno(w.disk);
    std::string block;
    board_alert a;
    std::size_t n = 0;
    while (n < max && at < w.end) {
        std::size_t want = std::min(READ_BLOCK, static_cast<std::size_t>(w.end - at));
        block.resize(want);
        ssize_t got = pread(fd, block.data(), want, at);
        if (got <= 0)
            return w.end;
        std::size_t len = static_cast<std::size_t>(got), pos = 0;
        for (std::size_t size; n < max && (size = decode(block.data() + pos, len - pos, a)) > 0;
             n++) {
            f(a);
            pos += size;
        }
        if (pos == 0)
            return w.end;       // a record longer than it can be: the file is damaged
        at += static_cast<long>(pos);
    }
    return at;
}

// The records on disk from at into out, at most max of them.
static long
read_records(const waiting_file &w, long at, std::size_t max, std::deque<board_alert> &out)
{
    return scan_records(w, at, max, [&](const board_alert &a) { out.push_back(a); });
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
    scan_records(w, w.next_at, static_cast<std::size_t>(-1), f);
}

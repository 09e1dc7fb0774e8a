// sievel-act's queue for each board: a ring of records in memory, bounded by the drop rules,
// and with --spool the same queue on disk, so that a restart sends what was not ACKed.
#include "tools/act.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/fields.h"
#include "common/text.h"

static constexpr std::size_t RING_FIRST = 1024;     // records; the ring doubles up to --queue

static int spool_append(board &b);
static void spool_give_up(board &b, const char *what);

char *
ring_rec(board &b, std::size_t i)
{
    return b.ring.get() + ((b.head + i) % b.ring_cap) * REC;
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
    // The spool keeps every queued record until it is rewritten without the dropped ones:
    // until then it holds more than the queue, never less.
    if (spool_append(b) != 0)
        spool_give_up(b, "write");
    b.spool.rewrite = b.spool.fd >= 0;
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

void
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
    if (b.spool.fd >= 0)
        ++b.spool.unwritten;
}

void
board_acked(board &b)
{
    b.head = (b.head + 1) % b.ring_cap;
    --b.count;
    if (b.spool.fd >= 0)
        ++b.spool.acked;
}

std::size_t
board_sendable(const board &b)
{
    return b.count - b.spool.unwritten;
}

void
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

// ---- The spool ----
//
// One file per board, DIR/NAME.spool (NAME the board's address and port, other bytes than
// letters, digits, '.' and '-' as '_'): a 64-byte header line "tarrow-spool 1 acked N", N
// twenty digits, then the queued records in the order they came, 234 bytes each. The first N
// records were ACKed by the board; the rest are the queue.
//
// The order of the promises: a record is appended before it is sent, so that every ACK
// counts a record of the file; N is raised only after the ACKs came; a rewrite (after drops,
// or to drop what was ACKed) is synced under another name before it replaces the file.
// Between rewrites the file may hold records that the drop rules removed from the queue; a
// restart then sends those again too, still in their order. Appends are synced in batches:
// a kill loses nothing, a power cut at most the last batch.

static constexpr std::size_t SPOOL_HEADER = 64;
static constexpr std::size_t SPOOL_MAGIC_LEN = 21, SPOOL_ACKED_LEN = 20;
static constexpr char SPOOL_MAGIC[] = "tarrow-spool 1 acked ";
static_assert(sizeof SPOOL_MAGIC - 1 == SPOOL_MAGIC_LEN);
static_assert(SPOOL_MAGIC_LEN + SPOOL_ACKED_LEN < SPOOL_HEADER);
static constexpr std::size_t SPOOL_COMPACT_MIN = 4096;   // ACKed records worth a rewrite
static constexpr long SPOOL_REWRITE_MS = 1000;           // after drops, at most this often

static void
spool_header(char *h, std::size_t acked)
{
    memset(h, ' ', SPOOL_HEADER);
    memcpy(h, SPOOL_MAGIC, SPOOL_MAGIC_LEN);
    char digits[SPOOL_ACKED_LEN + 1];
    snprintf(digits, sizeof digits, "%020zu", acked);
    memcpy(h + SPOOL_MAGIC_LEN, digits, SPOOL_ACKED_LEN);
    h[SPOOL_HEADER - 1] = '\n';
}

static off_t
record_offset(std::size_t i)
{
    return static_cast<off_t>(SPOOL_HEADER + i * REC);
}

// Stops keeping the board's queue on disk after a failed call; the queue goes on in memory.
static void
spool_give_up(board &b, const char *what)
{
    int saved_errno = errno;
    fprintf(stderr, "sievel-act: board %s: spool %s: %s: %s; the queue goes on in memory only\n",
            b.name.c_str(), b.spool.path.c_str(), what, strerror(saved_errno));
    close(b.spool.fd);
    b.spool.fd = -1;
    b.spool.unwritten = 0;
}

// Appends the queued records that are not in the file yet. 0 ok; -1 with errno set, the file
// cut back to its whole records.
static int
spool_append(board &b)
{
    spool_file &s = b.spool;
    while (s.fd >= 0 && s.unwritten > 0) {
        std::size_t first = b.count - s.unwritten;
        std::size_t idx = (b.head + first) % b.ring_cap;
        std::size_t run = std::min(s.unwritten, b.ring_cap - idx);
        if (!write_all_at(s.fd, b.ring.get() + idx * REC, run * REC, record_offset(s.records))) {
            // Cut back to the whole records; the spool is given up either way.
            int saved_errno = errno;
            if (ftruncate(s.fd, record_offset(s.records)) != 0)
                saved_errno = errno;
            errno = saved_errno;
            return -1;
        }
        s.records += run;
        s.unwritten -= run;
        s.unsynced = true;
    }
    return 0;
}

static bool
spool_write_header(spool_file &s)
{
    char h[SPOOL_HEADER];
    spool_header(h, s.acked);
    if (!write_all_at(s.fd, h + SPOOL_MAGIC_LEN, SPOOL_ACKED_LEN, SPOOL_MAGIC_LEN))
        return false;
    s.acked_written = s.acked;
    s.unsynced = true;
    return true;
}

// Locks the spool file for this process alone; false with errno set.
static bool
spool_lock(int fd)
{
    return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Replaces the file with one that holds the queue and nothing else: written and synced under
// NAME.spool.new, then renamed over it. 0 ok; -1 with errno set, the old file still in use.
static int
spool_rewrite(board &b, const char **what)
{
    spool_file &s = b.spool;
    std::string tmp = s.path + ".new";
    *what = "rewrite";
    int fd = open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    char h[SPOOL_HEADER];
    spool_header(h, 0);
    bool ok = spool_lock(fd) && write_all_at(fd, h, SPOOL_HEADER, 0);
    for (std::size_t i = 0; ok && i < b.count;) {
        std::size_t idx = (b.head + i) % b.ring_cap;
        std::size_t run = std::min(b.count - i, b.ring_cap - idx);
        ok = write_all_at(fd, b.ring.get() + idx * REC, run * REC, record_offset(i));
        i += run;
    }
    if (!ok || fdatasync(fd) != 0 || rename(tmp.c_str(), s.path.c_str()) != 0) {
        int saved_errno = errno;
        close(fd);
        unlink(tmp.c_str());
        errno = saved_errno;
        return -1;
    }
    close(s.fd);
    s.fd = fd;
    s.records = b.count;
    s.acked = s.acked_written = 0;
    s.unwritten = 0;
    s.rewrite = false;
    s.rewritten_at = monotonic_ms();
    s.unsynced = false;
    // The new name must last too: sync the directory that holds it.
    int dfd = open(opt.spool_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        (void)fsync(dfd);
        close(dfd);
    }
    return 0;
}

int
spool_flush(board &b, bool sync, bool last)
{
    spool_file &s = b.spool;
    if (s.fd < 0)
        return 0;
    const char *what = "write";
    int rc = 0;
    long now = monotonic_ms();
    if (s.rewrite && (last || now - s.rewritten_at >= SPOOL_REWRITE_MS)) {
        rc = spool_rewrite(b, &what);
    } else if ((rc = spool_append(b)) == 0 && s.acked == s.records && s.records > 0) {
        // Everything was ACKed: the file goes back to its header. Cut first, so that a
        // stop between the two calls leaves a count above the records, read as "all ACKed".
        what = "truncate";
        if (ftruncate(s.fd, record_offset(0)) != 0) {
            rc = -1;
        } else {
            s.records = s.acked = 0;
        }
    } else if (rc == 0 && s.acked >= SPOOL_COMPACT_MIN && s.acked * 2 >= s.records) {
        rc = spool_rewrite(b, &what);
    }
    if (rc == 0 && s.acked != s.acked_written && !spool_write_header(s)) {
        what = "write";
        rc = -1;
    }
    if (rc == 0 && sync && s.unsynced) {
        what = "sync";
        if (fdatasync(s.fd) != 0)
            rc = -1;
        s.unsynced = false;
    }
    if (rc != 0) {
        spool_give_up(b, what);
        return -1;
    }
    return 0;
}

// The spool file's name for the board.
static std::string
spool_path(const board &b)
{
    std::string name = b.name;
    for (char &c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-'))
            c = '_';
    return opt.spool_dir + "/" + name + ".spool";
}

int
spool_open(board &b)
{
    spool_file &s = b.spool;
    s.path = spool_path(b);
    int fd = open(s.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        int saved_errno = errno;
        fprintf(stderr, "sievel-act: spool %s: %s\n", s.path.c_str(), strerror(saved_errno));
        return -1;
    }
    if (!spool_lock(fd)) {
        fprintf(stderr, "sievel-act: spool %s: in use by another sievel-act\n", s.path.c_str());
        close(fd);
        return -1;
    }
    struct stat st;
    char h[SPOOL_HEADER];
    spool_header(h, 0);
    if (fstat(fd, &st) != 0 || (st.st_size == 0 && !write_all_at(fd, h, SPOOL_HEADER, 0))) {
        int saved_errno = errno;
        fprintf(stderr, "sievel-act: spool %s: %s\n", s.path.c_str(), strerror(saved_errno));
        close(fd);
        return -1;
    }
    std::size_t size = st.st_size == 0 ? SPOOL_HEADER : static_cast<std::size_t>(st.st_size);
    char digits[SPOOL_ACKED_LEN + 1] = {};
    if (size < SPOOL_HEADER || pread(fd, h, SPOOL_HEADER, 0) != SPOOL_HEADER ||
        memcmp(h, SPOOL_MAGIC, SPOOL_MAGIC_LEN) != 0 || h[SPOOL_HEADER - 1] != '\n' ||
        (memcpy(digits, h + SPOOL_MAGIC_LEN, SPOOL_ACKED_LEN),
         strspn(digits, "0123456789") != SPOOL_ACKED_LEN)) {
        fprintf(stderr, "sievel-act: spool %s: not a spool file of sievel-act\n",
                s.path.c_str());
        close(fd);
        return -1;
    }
    s.acked = static_cast<std::size_t>(strtoull(digits, nullptr, 10));
    std::size_t whole = (size - SPOOL_HEADER) / REC;

    // Read the records after the ACKed ones into the queue, by the same rules as new ones.
    // A record that does not end in a newline starts a torn tail (a power cut can leave
    // zeros where the last records were): it is cut there, with everything after it. The
    // file is the board's only once the queue holds what it read.
    if (s.acked > whole)
        s.acked = whole;
    std::size_t good = s.acked;
    std::vector<char> chunk(256 * REC);
    for (std::size_t i = s.acked; i < whole && good == i;) {
        std::size_t n = std::min<std::size_t>(256, whole - i);
        ssize_t got = pread(fd, chunk.data(), n * REC, record_offset(i));
        if (got != static_cast<ssize_t>(n * REC))
            break;
        for (std::size_t k = 0; k < n && chunk[k * REC + OFF_ALERT_NEWLINE] == '\n'; ++k) {
            board_queue(b, chunk.data() + k * REC);
            ++good;
        }
        i += n;
    }
    s.fd = fd;
    if (record_offset(good) != static_cast<off_t>(size)) {
        fprintf(stderr, "sievel-act: board %s: spool %s: cut a torn tail of %zu bytes\n",
                b.name.c_str(), s.path.c_str(),
                size - static_cast<std::size_t>(record_offset(good)));
        if (ftruncate(fd, record_offset(good)) != 0 || fdatasync(fd) != 0) {
            spool_give_up(b, "truncate");
            return -1;
        }
    }
    s.records = good;
    s.acked_written = s.acked;
    s.unwritten = 0;
    // Records the drop rules refused while loading are still in the file.
    s.rewrite = b.lost_superseded + b.lost_oldest > 0;
    if (b.count > 0)
        fprintf(stderr, "sievel-act: board %s: %zu records from the spool to send\n",
                b.name.c_str(), b.count);
    return 0;
}

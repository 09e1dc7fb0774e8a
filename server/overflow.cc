// Overflow buffer file: alerts and requests that wait on disk for room in the table, and the
// count of waiting records per alert that keeps the requests for one alert in order.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "server/console.h"
#include "server/server.h"

const char event_logfile_name[] = "evt_buffer.dat";
static int event_fd = -1;
int next_evt_record_to_read = 0;
int unlink_permitted = 0;

// True while a refill runs. A replayed "AK" that frees a slot asks for a refill again; the
// running one simply goes on while the table has room, so the depth of the call stack never
// depends on what the file holds.
static bool refilling = false;
// Appended since the last overflow_sync.
static bool unsynced = false;

unsigned long overflow_failed_appends = 0;
int (*overflow_ftruncate)(int, off_t) = ftruncate;
int (*overflow_unlink)(const char *) = unlink;

static constexpr long RECORD = static_cast<long>(ALERT_RECORD_SIZE);

static int read_record(long index, char *rec);

// ---- Waiting records per alert ----
//
// Every unread record is counted under its identity (hostname and key) and under its host;
// a clear-all request also under its host alone, since it concerns every alert of the host.
// Fixed open-addressing tables with linear probing; a count that drops to 0 frees its entry
// by shifting the entries behind it back. Should a table fill up (tens of thousands of
// distinct alerts waiting), every request waits behind the file until it is read back, which
// keeps the order at the cost of some delay.

inline constexpr std::size_t ID_LEN = LEN_HOSTNAME + LEN_KEY;
inline constexpr std::size_t ID_SLOTS = 1 << 16;
inline constexpr std::size_t HOST_SLOTS = 1 << 14;

struct id_entry {
    char id[ID_LEN];
    int count;                  // 0: free
    long last_raise;            // record number of its latest waiting raise, -1 for none
    long last_clear;            // of its latest waiting clear, -1 for none
    long last_ack;              // of its latest waiting acknowledge, -1 for none
    char raise_type;            // the latest raise's msgtype, first letter
    int console;                // of the records, console actions
    int pending;                // of those, the ones that have not taken effect yet
    char action;                // the latest console action: its msgtype's first letter
    char who[LEN_ACK_WHO + 1];  // and who it is by
};
struct host_entry {
    char host[LEN_HOSTNAME];
    int count;                  // every waiting record of the host; 0: free
    int clear_all;              // of those, the clear-all requests
    long last_clear_all;        // record number of the latest, -1 for none
};

static id_entry waiting_id[ID_SLOTS];
static host_entry waiting_host[HOST_SLOTS];
static bool waiting_saturated = false;
// An entry was written since the tables were last emptied: until then they are all zero
// bytes, and emptying them again would only touch 2 MB of memory for nothing.
static bool waiting_dirty = false;
// Records counted in all: while none waits, a request needs no look at the file.
static long waiting_total = 0;

static std::size_t
hash_bytes(const char *p, std::size_t n)
{
    std::uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    return h;
}

static void
identity_of(const char *record, char *id)
{
    memcpy(id, record + OFF_HOSTNAME, LEN_HOSTNAME);
    memcpy(id + LEN_HOSTNAME, record + OFF_KEY, LEN_KEY);
}

// The slot of the key, or of the free entry where it would go; SIZE when the table is full.
template <typename entry, std::size_t SIZE, std::size_t LEN>
static std::size_t
probe(entry (&table)[SIZE], const char *key, char (entry::*field)[LEN])
{
    std::size_t i = hash_bytes(key, LEN) & (SIZE - 1);
    for (std::size_t n = 0; n < SIZE; n++, i = (i + 1) & (SIZE - 1)) {
        if (table[i].count == 0 || memcmp(table[i].*field, key, LEN) == 0)
            return i;
    }
    return SIZE;
}

// Frees entry i, moving back the entries of its probe run that would no longer be found.
template <typename entry, std::size_t SIZE, std::size_t LEN>
static void
erase_at(entry (&table)[SIZE], std::size_t i, char (entry::*field)[LEN])
{
    table[i].count = 0;
    std::size_t j = i;
    for (std::size_t n = 0; n < SIZE; n++) {
        j = (j + 1) & (SIZE - 1);
        if (table[j].count == 0)
            return;
        std::size_t home = hash_bytes(table[j].*field, LEN) & (SIZE - 1);
        // The entry at j stays when its home lies cyclically in (i, j].
        bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
        if (!stays) {
            table[i] = table[j];
            table[j].count = 0;
            i = j;
        }
    }
}

waiting_by_type waiting_types;

// The count of the record's kind among waiting_types.
static long &
waiting_type_of(const char *record)
{
    if (record_is_console(record))
        return waiting_types.console;
    if (msgtype_is(record, MSG_CRITICAL) || msgtype_is(record, MSG_WARNING) ||
        msgtype_is(record, MSG_INFO))
        return waiting_types.raise;
    if (msgtype_is(record, MSG_CLEAR))
        return waiting_types.clear;
    if (msgtype_is(record, MSG_ACKNOWLEDGE))
        return waiting_types.acknowledge;
    if (msgtype_is(record, MSG_CLEAR_HOST))
        return waiting_types.clear_host;
    return waiting_types.other;
}

// ---- Console actions that wait ----
//
// A console action waits in the file behind the earlier requests for its alert. Once none of
// those is left unread (its raise read back, say), it takes effect at once, even while
// records of other alerts before it still wait for room; it stays in the file, counted as
// waiting for its alert so that later requests for the alert keep their order, and is passed
// over when the refill reaches it. Replayed again after a restart it changes nothing that
// came after it, since all of that waits behind it.
inline constexpr int MAX_ACTIONS = 4096;
struct waiting_action {
    long at;                    // record number
    bool done;                  // took effect ahead of the refill
    char id[ID_LEN];            // its alert, so that readiness needs no read of the file
};
static waiting_action actions[MAX_ACTIONS];     // in file order
static int action_count;

static void
actions_note(long index, const char *id)
{
    if (action_count < MAX_ACTIONS) {
        waiting_action &a = actions[action_count++];
        a.at = index;
        a.done = false;
        memcpy(a.id, id, ID_LEN);
    }
}

// True when the action at record index took effect already; it leaves the list.
static bool
actions_take(long index)
{
    for (int i = 0; i < action_count; i++) {
        if (actions[i].at != index)
            continue;
        bool done = actions[i].done;
        action_count--;
        memmove(actions + i, actions + i + 1,
                static_cast<std::size_t>(action_count - i) * sizeof actions[0]);
        return done;
    }
    return false;
}

static void
waiting_reset()
{
    action_count = 0;
    waiting_types = {};
    // Every record read back freed its entries: with none counted, all are free already.
    if (waiting_dirty && (waiting_total != 0 || waiting_saturated)) {
        memset(waiting_id, 0, sizeof waiting_id);
        memset(waiting_host, 0, sizeof waiting_host);
    }
    waiting_dirty = false;
    waiting_saturated = false;
    waiting_total = 0;
}

static bool
is_raise(const char *record)
{
    return msgtype_is(record, MSG_CRITICAL) || msgtype_is(record, MSG_WARNING) ||
           msgtype_is(record, MSG_INFO);
}

// Counts record number index, which now waits in the file (delta 1) or has been read back
// (delta -1).
static void
waiting_count(const char *record, long index, int delta)
{
    long &by_type = waiting_type_of(record);
    if (delta > 0 || by_type > 0)
        by_type += delta;
    if (waiting_saturated)
        return;
    bool console = record_is_console(record);
    bool clear_all = !console && msgtype_is(record, MSG_CLEAR_HOST);
    std::size_t h = probe(waiting_host, record + OFF_HOSTNAME, &host_entry::host);
    char id[ID_LEN];
    identity_of(record, id);
    std::size_t k = clear_all ? 0 : probe(waiting_id, id, &id_entry::id);
    if (h == HOST_SLOTS || k == ID_SLOTS) {
        waiting_saturated = true;
        return;
    }
    if (delta > 0) {
        waiting_dirty = true;
        waiting_total++;
        host_entry &e = waiting_host[h];
        if (e.count == 0) {
            memcpy(e.host, record + OFF_HOSTNAME, LEN_HOSTNAME);
            e.clear_all = 0;
            e.last_clear_all = -1;
        }
        e.count++;
        e.clear_all += clear_all ? 1 : 0;
        if (clear_all)
            e.last_clear_all = index;
        if (!clear_all) {
            id_entry &w = waiting_id[k];
            if (w.count == 0) {
                memcpy(w.id, id, ID_LEN);
                w.last_raise = w.last_clear = w.last_ack = -1;
                w.console = w.pending = 0;
            }
            w.count++;
            if (console) {
                w.console++;
                w.pending++;
                actions_note(index, id);
                w.action = record[OFF_MSGTYPE];
                memcpy(w.who, record + OFF_ACK_WHO, LEN_ACK_WHO);
                w.who[LEN_ACK_WHO] = '\0';
            } else if (is_raise(record)) {
                w.last_raise = index;
                w.raise_type = record[OFF_MSGTYPE + 1];
            } else if (msgtype_is(record, MSG_CLEAR)) {
                w.last_clear = index;
            } else if (msgtype_is(record, MSG_ACKNOWLEDGE)) {
                w.last_ack = index;
            }
        }
        return;
    }
    // A record read back was counted when it was appended or when the file was indexed.
    if (waiting_host[h].count > 0) {
        waiting_total--;
        waiting_host[h].clear_all -= clear_all && waiting_host[h].clear_all > 0 ? 1 : 0;
        if (--waiting_host[h].count == 0)
            erase_at(waiting_host, h, &host_entry::host);
    }
    if (clear_all || waiting_id[k].count == 0)
        return;
    id_entry &w = waiting_id[k];
    if (w.last_raise == index)
        w.last_raise = -1;
    if (console && w.console > 0)
        w.console--;
    if (console && w.pending > w.console)
        w.pending = w.console;
    if (--w.count == 0)
        erase_at(waiting_id, k, &id_entry::id);
}

static std::size_t
probe_host(const char *record)
{
    return probe(waiting_host, record + OFF_HOSTNAME, &host_entry::host);
}

// The waiting entry of the record's identity, or nullptr.
static const id_entry *
waiting_entry(const char *record)
{
    if (waiting_total == 0 || waiting_saturated)
        return nullptr;
    char id[ID_LEN];
    identity_of(record, id);
    std::size_t k = probe(waiting_id, id, &id_entry::id);
    return k < ID_SLOTS && waiting_id[k].count > 0 ? &waiting_id[k] : nullptr;
}

int
overflow_waiting_raise(const char *record, char *out)
{
    const id_entry *w = waiting_entry(record);
    if (w == nullptr || w->last_raise < next_evt_record_to_read ||
        read_record(w->last_raise, out) != 0)
        return -1;
    return memcmp(out + OFF_HOSTNAME, record + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
                   memcmp(out + OFF_KEY, record + OFF_KEY, LEN_KEY) == 0 && is_raise(out)
               ? 0
               : -1;
}

int
overflow_waiting_alerts(table_counts &out)
{
    out = {};
    if (waiting_saturated)
        return -1;
    if (waiting_total == 0)
        return 0;
    int total = 0;
    char probe[ALERT_RECORD_SIZE] = {};
    for (const id_entry &w : waiting_id) {
        if (w.count == 0 || w.last_raise < next_evt_record_to_read || w.last_clear > w.last_raise)
            continue;
        memcpy(probe + OFF_HOSTNAME, w.id, LEN_HOSTNAME);
        memcpy(probe + OFF_KEY, w.id + LEN_HOSTNAME, LEN_KEY);
        std::size_t h = probe_host(probe);
        if (h < HOST_SLOTS && waiting_host[h].count > 0 &&
            waiting_host[h].last_clear_all > w.last_raise)
            continue;
        if (alert_find(probe) != nullptr)
            continue;       // a later raise of an alert on the board: no alert of its own
        total++;
        bool acked = w.last_ack > w.last_raise;
        out.acknowledged += acked ? 1 : 0;
        long *c = w.raise_type == 'C' ? (acked ? &out.acked_critical : &out.critical)
                  : w.raise_type == 'W' ? (acked ? &out.acked_warning : &out.warning)
                                        : (acked ? &out.acked_info : &out.info);
        (*c)++;
    }
    return total;
}

const char *
overflow_pending(const char *record, char *who)
{
    const id_entry *w = waiting_entry(record);
    if (w == nullptr || w->pending == 0)
        return nullptr;
    snprintf(who, LEN_ACK_WHO + 1, "%s", w->who);
    switch (w->action) {
    case 'A':
        return "acknowledge";
    case 'U':
        return "unacknowledge";
    default:
        return "delete";
    }
}

int
overflow_waiting(const char *record)
{
    if ((waiting_total == 0 && !waiting_saturated) || alerts_num_buffered() == 0)
        return 0;
    if (waiting_saturated)
        return 1;
    char id[ID_LEN];
    identity_of(record, id);
    std::size_t k = probe(waiting_id, id, &id_entry::id);
    std::size_t h = probe(waiting_host, record + OFF_HOSTNAME, &host_entry::host);
    int n = k < ID_SLOTS ? waiting_id[k].count : 0;
    return n + (h < HOST_SLOTS ? waiting_host[h].clear_all : 0);
}

int
overflow_waiting_host(const char *record)
{
    if ((waiting_total == 0 && !waiting_saturated) || alerts_num_buffered() == 0)
        return 0;
    if (waiting_saturated)
        return 1;
    std::size_t h = probe(waiting_host, record + OFF_HOSTNAME, &host_entry::host);
    return h < HOST_SLOTS ? waiting_host[h].count : 0;
}

// ---- The file ----

// Opens the file for appending, creating it; only a regular file is used (a link there is
// not followed and a FIFO does not block). Returns the descriptor, or -1 (errno set).
static int
open_file()
{
    int fd = open(event_logfile_name, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK |
                                          O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    // The name of a new file must survive a power cut as its records do.
    table_store_sync_dir();
    return fd;
}

// Size of the open file in bytes, -1 when it cannot be had.
static long
file_size()
{
    struct stat st;
    if (event_fd < 0 || fstat(event_fd, &st) != 0)
        return -1;
    return static_cast<long>(st.st_size);
}

// Cuts a partial record at the end of a file of size bytes back to the last whole record,
// and sets size to what is left. Returns 0, or -1 when the cut failed (errno says why).
static int
cut_torn_tail(long &size)
{
    long partial = size > 0 ? size % RECORD : 0;
    if (partial == 0)
        return 0;
    if (overflow_ftruncate(event_fd, size - partial) != 0)
        return -1;
    size -= partial;
    return 0;
}

// Reads record index into rec. Returns 0, or -1.
static int
read_record(long index, char *rec)
{
    ssize_t n = pread(event_fd, rec, ALERT_RECORD_SIZE, static_cast<off_t>(index * RECORD));
    return n == static_cast<ssize_t>(ALERT_RECORD_SIZE) ? 0 : -1;
}

// Counts every record from the read index on as waiting, reading many records at a time.
static void
index_unread()
{
    waiting_reset();
    long end = overflow_records();
    static char chunk[64 * ALERT_RECORD_SIZE];
    for (long i = next_evt_record_to_read; i < end;) {
        ssize_t n = pread(event_fd, chunk, sizeof chunk, static_cast<off_t>(i * RECORD));
        if (n < RECORD)
            break;
        for (long r = 0; r < n / RECORD && i < end; r++, i++)
            waiting_count(chunk + r * RECORD, i, 1);
    }
}

int
overflow_open()
{
    next_evt_record_to_read = 0;
    unlink_permitted = 0;
    unsynced = false;
    event_fd = open_file();
    if (event_fd < 0)
        return -1;
    // A torn tail (a crash in the middle of an append) would misalign every later record,
    // so a file whose tail cannot be cut is not used at all.
    long size = file_size();
    if (size < 0)
        return 0;
    long cut = size;
    if (cut_torn_tail(size) != 0) {
        int saved_errno = errno;
        myprintf("*ERR: Unable to cut the partial record at the end of overflow buffer file "
                 "%s, %s\n", event_logfile_name, strerror(saved_errno));
        overflow_close();
        return -2;
    }
    cut -= size;
    if (cut > 0)
        myprintf("WARN: Overflow buffer file %s had a partial record of %d bytes at its "
                 "end, removed\n", event_logfile_name, static_cast<int>(cut));
    index_unread();
    return 0;
}

void
overflow_close()
{
    if (event_fd >= 0)
        close(event_fd);
    event_fd = -1;
}

long
overflow_records()
{
    long size = file_size();
    return size < 0 ? -1 : size / RECORD;
}

int
overflow_record_sum(long index, std::uint32_t *sum)
{
    char rec[ALERT_RECORD_SIZE];
    if (event_fd < 0 || index < 0 || read_record(index, rec) != 0)
        return -1;
    *sum = static_cast<std::uint32_t>(hash_bytes(rec, ALERT_RECORD_SIZE));
    return 0;
}

void
overflow_set_read_position(int index)
{
    next_evt_record_to_read = index;
    index_unread();
}

int
overflow_sync()
{
    if (!unsynced || event_fd < 0)
        return 0;
    if (fdatasync(event_fd) != 0)
        return -1;
    unsynced = false;
    return 0;
}

int
overflow_read_record(long index, char *rec)
{
    return read_record(index, rec);
}

long
overflow_oldest_time()
{
    if (alerts_num_buffered() == 0)
        return -1;
    char rec[ALERT_RECORD_SIZE];
    if (read_record(next_evt_record_to_read, rec) != 0)
        return -1;
    struct tm tm = {};
    char stamp[LEN_DATETIME + 1] = {};
    memcpy(stamp, rec + OFF_DATETIME, LEN_DATETIME);
    int end = 0;
    if (sscanf(stamp, "%4d%2d%2d %2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
               &tm.tm_min, &end) != 5 || end != static_cast<int>(LEN_DATETIME))
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    return t == static_cast<time_t>(-1) ? -1 : static_cast<long>(t);
}

int
alerts_num_buffered()
{
    long records = overflow_records();
    if (records < 0)
        return 0;
    long unread = records - next_evt_record_to_read;
    if (unread < 0 && !refilling) {
        // Shortened from outside: what the index pointed at is gone, so the file is read
        // from its start rather than skipping what is appended next.
        myprintf("WARN: Overflow buffer file %s holds %ld records, fewer than the %d already "
                 "read, reading it from the start\n", event_logfile_name, records,
                 next_evt_record_to_read);
        overflow_set_read_position(0);
        unread = records;
    }
    return unread > 0 ? static_cast<int>(unread) : 0;
}

int
alert_write_to_bufferfile(char *record)
{
    long size = file_size();
    if (size < 0) {
        overflow_failed_appends++;
        return -1;
    }
    record[OFF_REPLY_WANTED] = 'N';
    unlink_permitted = 1;
    // An earlier failed append whose cut failed too left a torn tail: a record written
    // behind it would be misaligned, so it must be cut first.
    if (cut_torn_tail(size) != 0) {
        int saved_errno = errno;
        myprintf("WARN: Unable to store events in buffer file, disk full ?");
        myprintf("*ERR: Unable to cut overflow file back to a whole record, %s\n",
                 strerror(saved_errno));
        overflow_failed_appends++;
        return -1;
    }
    long index = size / RECORD;
    std::size_t done = 0;
    while (done < ALERT_RECORD_SIZE) {
        ssize_t n = write(event_fd, record + done, ALERT_RECORD_SIZE - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    if (done == ALERT_RECORD_SIZE) {
        unsynced = true;
        waiting_count(record, index, 1);
        stats.spilled++;
        return 0;
    }
    myprintf("WARN: Unable to store events in buffer file, disk full ?");
    // Cut back to the last whole record, so the next append starts on a boundary.
    if (overflow_ftruncate(event_fd, size) != 0) {
        int saved_errno = errno;
        myprintf("*ERR: Unable to cut overflow file back to %ld bytes, %s\n", size,
                 strerror(saved_errno));
    }
    overflow_failed_appends++;
    return -1;
}

void
alerts_recreate_overflow_file()
{
    if (unlink_permitted == 0)
        return;
    // The table now holds what was read back from the file: with a saved table it must be
    // on disk (synced, with --sync) before the file goes, or a crash in between loses both.
    // While it cannot be saved, the file stays; it is all read and goes at a later refill.
    if (keep_table && table_store_save() != 0)
        return;
    overflow_close();
    unlink_permitted = 0;
    next_evt_record_to_read = 0;
    unsynced = false;
    waiting_reset();
    // A file already removed from outside counts as deleted: a new one is made below. One
    // that cannot be removed is emptied instead, which leaves the same empty file behind.
    bool emptied = false;
    if (overflow_unlink(event_logfile_name) != 0 && errno != ENOENT) {
        int saved_errno = errno;
        event_fd = open_file();
        if (event_fd < 0 || overflow_ftruncate(event_fd, 0) != 0) {
            overflow_close();
            myprintf("*ERR: Unable to delete overflow file, aborting\n");
            shutdown_immed(1);
        }
        myprintf("WARN: Unable to delete overflow file %s, %s, emptied it instead\n",
                 event_logfile_name, strerror(saved_errno));
        emptied = true;
        unsynced = true;
    }
    if (!emptied)
        event_fd = open_file();
    // A saved table must not pair the old file's read position with the new file.
    if (event_fd >= 0 && keep_table)
        table_store_save();
    if (event_fd < 0) {
        myprintf("*ERR: Unable to re-open alert overflow buffer file %s, aborting!\n",
                 event_logfile_name);
        die("IO error on alert overflow file", 1);
    }
}

void
alert_check_overflow_file()
{
    if (alerts_num_buffered() == 0)
        alerts_recreate_overflow_file();
}

void
alert_retrieve_from_overflow()
{
    if (refilling)
        return;
    refilling = true;
    // The records this refill may replay: up to the end of the file as it is now (a replay
    // never appends). A record still counts as unread while it is replayed, so the index
    // moves past it only afterwards; it no longer counts as waiting for its alert, since it
    // is the one taking effect now. Records that need no slot (clears, acknowledges, console
    // actions) are replayed while the table has room for a raise behind them.
    long end = overflow_records();
    while (next_evt_record_to_read < end) {
        char record[ALERT_RECORD_SIZE];
        if (read_record(next_evt_record_to_read, record) != 0) {
            myprintf("WARN: Unable to read records from buffer overflow file, flushing "
                     "overflow file\n");
            alerts_recreate_overflow_file();
            break;
        }
        // A new alert that meets a full table stops the refill: it would go back to the end
        // of the file, behind requests that came after it.
        if (last_table_entry >= alert_table_size && !record_is_console(record) &&
            is_raise(record) && alert_find(record) == nullptr)
            break;
        bool done = record_is_console(record) && actions_take(next_evt_record_to_read);
        waiting_count(record, next_evt_record_to_read, -1);
        stats.replayed++;
        if (record_is_console(record)) {
            if (!done)
                console_replay(record);
        } else {
            bool raise = is_raise(record);
            process_alert_message(record, 1);
            if (raise && alert_find(record) != nullptr)
                alert_log_fact("Read back", record,
                               std::string_view(record + OFF_MSGTYPE, LEN_MSGTYPE),
                               " from evt_buffer.dat");
        }
        next_evt_record_to_read++;
    }
    refilling = false;
}

// Carries out the waiting console actions of alerts for which nothing else waits: no raise,
// clear or acknowledge of the alert and no clear of its host. True when one did.
static bool
actions_apply_ready()
{
    if (waiting_saturated)
        return false;
    bool any = false;
    for (int i = 0; i < action_count; i++) {
        waiting_action &a = actions[i];
        if (a.done)
            continue;
        std::size_t k = probe(waiting_id, a.id, &id_entry::id);
        std::size_t h = probe(waiting_host, a.id, &host_entry::host);
        if (k == ID_SLOTS || waiting_id[k].count != waiting_id[k].console ||
            (h < HOST_SLOTS && waiting_host[h].clear_all > 0))
            continue;
        char rec[ALERT_RECORD_SIZE];
        if (read_record(a.at, rec) != 0)
            continue;
        a.done = true;
        if (waiting_id[k].pending > 0)
            waiting_id[k].pending--;
        console_replay(rec);
        any = true;
    }
    return any;
}

void
overflow_refill_if_room()
{
    if (refilling || alerts_num_buffered() == 0)
        return;
    // A refill may make actions ready, and an action (a delete) may make room: a few rounds
    // until neither happens; each round takes effect or stops.
    for (int round = 0; round < 8; round++) {
        alert_retrieve_from_overflow();
        if (!actions_apply_ready())
            break;
    }
    alert_check_overflow_file();
#ifndef NDEBUG
    // Whenever the table has room, nothing that could take it waits unread.
    if (last_table_entry < alert_table_size && alerts_num_buffered() != 0 &&
        event_fd >= 0 && waiting_types.raise > 0)
        die("Refill left a raise waiting while the table has room", 1);
#endif
}

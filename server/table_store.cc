// The saved alert table (--keep-table): the board and the overflow read position, kept in
// alert_table.dat across restarts, and with --sync a journal that makes every change durable
// before it is answered.
//
// The file is a sequence of 234-byte records: the table's records in table order, then one
// state record that says where the overflow file's unread records begin, with a proof that
// the overflow file is still the one the position belongs to (its record count then and a
// checksum of a record), and a sequence number. Between the two come the acknowledgements,
// one record each (productid "TARROWD-ACK"), which the state record counts ("acks="): a
// server that knows no acks finds a record that is no alert and a state it cannot read, and
// sets the file aside instead of taking the acknowledged alerts without them. It is written
// to a temporary file and renamed over the old one, so a crash leaves one whole version or
// the other.
//
// Before any reply of a loop pass that changed the board leaves, the changes are appended to
// alert_table.jnl (and with --sync, synced once: a group commit), so that what was answered
// survives a crash of the process (with --sync, a power cut too). A journal entry holds the
// alerts changed since the last entry as they are now (each acknowledged one followed by its
// ack record), a removal record ("TARROWD-DEL") for each alert removed, then a state record
// ("TARROWD-DELTA": the overflow position, a sequence number and a checksum); a reset or more
// changes than the table notes make an entry of the whole board instead. The journal holds
// outcomes rather than requests because a request's effect depends on the overflow file as it
// was then (a raise goes to the table or to the file), which a replay could not know. At
// start-up the saved table and then each following journal entry in sequence give the board;
// a damaged last entry is reported and ignored. Each save of alert_table.dat empties the
// journal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fields.h"
#include "server/ack.h"
#include "server/server.h"
#include "server/table_file.h"

const char table_file_name[] = "alert_table.dat";
const char table_journal_name[] = "alert_table.jnl";
bool keep_table = false;
bool sync_to_disk = false;

static const char TEMP_NAME[] = "alert_table.dat.tmp";
static constexpr long SAVE_INTERVAL_MS = 1000;
// A large board is written whole less often: its journal carries the changes meanwhile.
static constexpr long LARGE_SAVE_INTERVAL_MS = 30000;
static constexpr int LARGE_BOARD = 1000;
// A journal this large is folded into the saved table at once.
static constexpr std::size_t JOURNAL_FOLD_BYTES = 8u << 20;
// The flushes with --sync: how long until their answers were out, a running mean over the
// last few (one flush may be quick or slow by chance), and the most requests one carried of
// late (it falls by a sixteenth a flush, so that one flush short by chance does not lower it).
static long flush_us_smooth = 0;
static long flush_began_us = -1;    // of the flush whose answers are being written
static long flush_records_peak = 0;

// What the file on disk says, so that an unchanged board is not written again.
static unsigned saved_generation = 0;
static int saved_read_index = -1;
static long last_save_ms = 0;
static bool save_failing = false;
// What the journal says (with --sync).
static unsigned journaled_generation = 0;
static int journaled_read_index = -1;
static int journal_fd = -1;
// Where the next entry goes, and the file's size: with --sync the file is kept zero-filled
// some way past its last entry, so that syncing an entry writes data only. The file's size,
// and with it the file system's own journal, then changes once per JOURNAL_AHEAD_BYTES
// rather than with every entry. A reader takes a record of zeros for the end.
static off_t journal_end = 0;
static off_t journal_size = 0;
static constexpr std::size_t JOURNAL_AHEAD_BYTES = 64u << 10;
static const char journal_zeros[JOURNAL_AHEAD_BYTES] = {};
// Every image written gets the next number; the newest one is loaded.
static unsigned long image_seq = 0;
// Nothing is saved before the saved table has been read: a start that fails early must not
// replace the board on disk with an empty one.
static bool loaded = false;

// The board, its acknowledgements and its state record, as written to either file: allocated
// with the first save, sized by the table.
static char *image;
static int image_slots;
// A journal entry of changes: allocated with the first one, room for every change noted.
static char *delta;
static constexpr std::size_t DELTA_RECORDS = 2 * static_cast<std::size_t>(MAX_TABLE_CHANGES) + 1;
// Flushes of the journal with --sync, what they carried and took (the summary reports them).
static unsigned long flushes, flush_records, flush_us_total, flush_us_max;
static unsigned long unflushed_records;


// ---- Writing ----

// Writes a state record of productid id at state: the overflow read position with its proof
// (the record at the read index, or the last one when all are read), the next sequence
// number, what comes before it (label=count), and a checksum over those bytes.
static void
fill_state(char *state, std::string_view id, const char *label, std::size_t count,
           std::size_t acks, const char *records, std::size_t n_records)
{
    memset(state, 0, ALERT_RECORD_SIZE);
    memcpy(state + OFF_PRODUCTID, id.data(), id.size());
    set_msgtype(state, MSG_REPLY_DONE);
    long file_count = overflow_records();
    if (file_count < 0)
        file_count = 0;
    long proof_at = next_evt_record_to_read < file_count ? next_evt_record_to_read
                                                         : file_count - 1;
    std::uint32_t proof = 0;
    if (proof_at >= 0 && overflow_record_sum(proof_at, &proof) != 0)
        file_count = proof_at;     // unreadable: claim only what comes before it
    snprintf(state + OFF_MSGTEXT, LEN_MSGTEXT,
             "next=%d count=%ld sum=%08" PRIx32 " seq=%lu acks=%zu", next_evt_record_to_read,
             file_count, proof, ++image_seq, acks);
    snprintf(state + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA, "%s=%zu sum=%08" PRIx32, label,
             count, checksum(records, n_records * ALERT_RECORD_SIZE));
    state[OFF_ALERT_NEWLINE] = '\n';
}

// Fills delta with the changes the table noted and a "TARROWD-DELTA" state record. Returns
// its size in bytes, or 0 when the whole board must be written instead.
static std::size_t
build_delta()
{
    const table_change *ch = nullptr;
    int n = alert_changes(&ch);
    if (n < 0)
        return 0;
    if (delta == nullptr) {
        delta = static_cast<char *>(malloc(DELTA_RECORDS * ALERT_RECORD_SIZE));
        if (delta == nullptr)
            return 0;
    }
    std::size_t k = 0, acks = 0;
    char probe[ALERT_RECORD_SIZE] = {};
    for (int i = 0; i < n; i++) {
        memcpy(probe + OFF_HOSTNAME, ch[i].id, LEN_HOSTNAME);
        memcpy(probe + OFF_KEY, ch[i].id + LEN_HOSTNAME, LEN_KEY);
        char *out = delta + k * ALERT_RECORD_SIZE;
        if (ch[i].kind == 'D') {
            memset(out, 0, ALERT_RECORD_SIZE);
            memcpy(out + OFF_PRODUCTID, REMOVED_PRODUCTID.data(), REMOVED_PRODUCTID.size());
            memcpy(out + OFF_HOSTNAME, ch[i].id, LEN_HOSTNAME);
            memcpy(out + OFF_KEY, ch[i].id + LEN_HOSTNAME, LEN_KEY);
            out[OFF_ALERT_NEWLINE] = '\n';
            k++;
            continue;
        }
        const char *rec = alert_find(probe);
        if (rec == nullptr)
            continue;       // removed since: its removal follows
        memcpy(out, rec, ALERT_RECORD_SIZE);
        k++;
        const alert_ack &a = *alert_ack_of(rec);
        if (msgtype_is(rec, MSG_CLEAR) && a.who[0] != '\0') {
            ack_write_record(rec, a, delta + k * ALERT_RECORD_SIZE);
            k++;
            acks++;
        }
    }
    fill_state(delta + k * ALERT_RECORD_SIZE, DELTA_PRODUCTID, "ops", k, acks, delta, k);
    return (k + 1) * ALERT_RECORD_SIZE;
}

// Fills image with the table and its state record. Returns its size in bytes.
static std::size_t
build_image()
{
    std::size_t n = static_cast<std::size_t>(last_table_entry);
    if (image == nullptr || image_slots != alert_table_size) {
        free(image);
        image = static_cast<char *>(
            malloc((2 * static_cast<std::size_t>(alert_table_size) + 1) * ALERT_RECORD_SIZE));
        if (image == nullptr)
            die("Unable to allocate the saved table's image", 1);
        image_slots = alert_table_size;
    }
    for (std::size_t i = 0; i < n; i++)
        memcpy(image + i * ALERT_RECORD_SIZE, memory_table[i].data(), ALERT_RECORD_SIZE);
    std::size_t acks = ack_save_records(image + n * ALERT_RECORD_SIZE,
                                        static_cast<std::size_t>(alert_table_size));
    fill_state(image + (n + acks) * ALERT_RECORD_SIZE, STATE_PRODUCTID, "board", n, acks, image,
               n + acks);
    return (n + acks + 1) * ALERT_RECORD_SIZE;
}

// Writes a journal entry at its end; with --sync, zeros after it when it reaches the end of
// the file (their failure only leaves the file shorter: the entry stands).
static bool
journal_append(const char *bytes, std::size_t size)
{
    if (!write_all_at(journal_fd, bytes, size, journal_end))
        return false;
    off_t end = journal_end + static_cast<off_t>(size);
    if (end > journal_size)
        journal_size = end;
    if (sync_to_disk && end + static_cast<off_t>(ALERT_RECORD_SIZE) > journal_size &&
        write_all_at(journal_fd, journal_zeros, sizeof journal_zeros, end))
        journal_size = end + static_cast<off_t>(sizeof journal_zeros);
    journal_end = end;
    return true;
}

int
open_state_file(const char *name, int flags)
{
    int fd = open(name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

void
table_store_sync_dir()
{
    if (!sync_to_disk)
        return;
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        int saved_errno = errno;
        myprintf("WARN: Unable to sync the working directory, %s\n", strerror(saved_errno));
    }
    if (fd >= 0)
        close(fd);
}

int
table_store_save()
{
    if (!loaded)
        return -1;
    // The state record counts the overflow file's records: those must be on disk first.
    if (sync_to_disk && overflow_sync() != 0) {
        int saved_errno = errno;
        myprintf("WARN: Unable to sync overflow buffer file %s, %s\n", event_logfile_name,
                 strerror(saved_errno));
        return -1;
    }
    int read_index = next_evt_record_to_read;
    std::size_t size = build_image();

    // A link or anything else at the temporary name is removed, never written through.
    unlink(TEMP_NAME);
    int fd = open_state_file(TEMP_NAME, O_WRONLY | O_CREAT | O_EXCL);
    bool ok = fd >= 0 && write_all_at(fd, image, size, 0);
    if (ok && sync_to_disk)
        ok = fdatasync(fd) == 0;
    int saved_errno = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && rename(TEMP_NAME, table_file_name) != 0) {
        ok = false;
        saved_errno = errno;
    }
    last_save_ms = monotonic_ms();
    if (!ok) {
        unlink(TEMP_NAME);
        // One warning when saving starts to fail, one line when it works again.
        if (!save_failing)
            myprintf("WARN: Unable to save the alert table to %s, %s\n", table_file_name,
                     strerror(saved_errno));
        save_failing = true;
        return -1;
    }
    if (save_failing)
        myprintf("INFO: Alert table saved to %s again\n", table_file_name);
    save_failing = false;
    stats.table_saves++;
    saved_generation = alert_table_generation;
    saved_read_index = read_index;
    alert_changes_taken();
    if (sync_to_disk)
        table_store_sync_dir();
    // The saved table holds all the journal did; an emptying lost to a power cut leaves
    // older entries behind, which the sequence numbers tell apart.
    if (journal_fd >= 0 && ftruncate(journal_fd, 0) == 0) {
        journal_end = journal_size = 0;
        journaled_generation = saved_generation;
        journaled_read_index = read_index;
    }
    return 0;
}

static long
save_interval_ms()
{
    return alert_table_size > LARGE_BOARD && journal_fd >= 0 ? LARGE_SAVE_INTERVAL_MS
                                                             : SAVE_INTERVAL_MS;
}

static bool
unsaved_changes()
{
    return alert_table_generation != saved_generation ||
           next_evt_record_to_read != saved_read_index;
}

long
table_store_due_ms()
{
    if (!keep_table || !unsaved_changes())
        return -1;
    long left = last_save_ms + save_interval_ms() - monotonic_ms();
    return left > 0 ? left : 0;
}

void
table_store_tick()
{
    if (table_store_due_ms() == 0)
        table_store_save();
}

int
table_store_sync()
{
    if (!keep_table || !loaded)
        return 0;
    if (sync_to_disk && overflow_sync() != 0) {
        int saved_errno = errno;
        myprintf("*ERR: Unable to sync overflow buffer file %s, %s\n", event_logfile_name,
                 strerror(saved_errno));
        return -1;
    }
    if (alert_table_generation == journaled_generation &&
        next_evt_record_to_read == journaled_read_index)
        return 0;
    if (alert_table_generation == saved_generation &&
        next_evt_record_to_read == saved_read_index)
        return 0;       // the saved table says it already, and was synced when written
    long started = sync_to_disk ? monotonic_us() : 0;
    std::size_t size = build_delta();
    const char *bytes = delta;
    if (size == 0) {
        size = build_image();
        bytes = image;
    }
    off_t end = journal_fd >= 0 ? journal_end : -1;
    if (end >= 0 && journal_append(bytes, size) &&
        (!sync_to_disk || fdatasync(journal_fd) == 0)) {
        journaled_generation = alert_table_generation;
        journaled_read_index = next_evt_record_to_read;
        alert_changes_taken();
        if (sync_to_disk) {
            unsigned long us = static_cast<unsigned long>(monotonic_us() - started);
            flushes++;
            flush_records += unflushed_records;
            flush_us_total += us;
            flush_us_max = us > flush_us_max ? us : flush_us_max;
            flush_began_us = started;
            flush_records_peak -= flush_records_peak / 16;
            if (static_cast<long>(unflushed_records) > flush_records_peak)
                flush_records_peak = static_cast<long>(unflushed_records);
            unflushed_records = 0;
        }
        // A journal that grew large is folded into the saved table soon.
        if (static_cast<std::size_t>(end) + size > JOURNAL_FOLD_BYTES)
            last_save_ms = monotonic_ms() - save_interval_ms();
        return 0;
    }
    int saved_errno = journal_fd >= 0 ? errno : EBADF;
    // Whatever was written of this entry is cut off, so the next one starts whole (and is
    // written over it should the cut fail).
    if (end >= 0 && ftruncate(journal_fd, end) != 0)
        saved_errno = errno;
    else if (end >= 0)
        journal_size = end;
    if (end >= 0)
        journal_end = end;
    myprintf("*ERR: Unable to write the journal %s, %s\n", table_journal_name,
             strerror(saved_errno));
    return -1;
}

long
table_store_count_request()
{
    unflushed_records++;
    return static_cast<long>(flushes);
}

long
table_store_flushes()
{
    return static_cast<long>(flushes);
}

void
table_store_answers_sent()
{
    if (flush_began_us < 0)
        return;
    flush_us_smooth += (monotonic_us() - flush_began_us - flush_us_smooth) / 8;
    flush_began_us = -1;
}

long
table_store_gather_us(int handled, int expected, int *target)
{
    // While connections that took part in the last flush have not sent again and fewer
    // requests came than flushes carried of late, wait up to half the time recent flushes took
    // until their answers were out, at most 1 ms: their requests, on their way, then share the
    // next flush rather than start a half-full one of their own. A lone client, or one beside
    // idle connections, never waits.
    *target = static_cast<int>(flush_records_peak);
    if (!sync_to_disk || expected <= 0 || handled >= *target || handled <= 0)
        return 0;
    long us = flush_us_smooth / 2;
    return us > 1000 ? 1000 : us;
}

std::size_t
table_store_figures(char *buf, std::size_t cap)
{
    int n = snprintf(buf, cap,
                     "sync_flushes %lu\nsync_flush_records %lu\nsync_flush_us_mean %lu\n"
                     "sync_flush_us_max %lu\n",
                     flushes, flush_records, flushes > 0 ? flush_us_total / flushes : 0,
                     flush_us_max);
    if (n < 0)
        return 0;
    return static_cast<std::size_t>(n) < cap ? static_cast<std::size_t>(n) : cap;
}

void
table_store_loaded(int fd, unsigned long seq, bool whole, off_t journal_at)
{
    journal_fd = fd;
    struct stat st;
    journal_end = journal_at;
    journal_size = fd >= 0 && fstat(fd, &st) == 0 ? st.st_size : journal_at;
    image_seq = seq;
    alert_table_generation++;
    alert_changes_taken();
    // A board that did not come whole from alert_table.dat alone is written there at once.
    saved_generation = whole ? alert_table_generation : alert_table_generation - 1;
    last_save_ms = whole ? monotonic_ms() : monotonic_ms() - SAVE_INTERVAL_MS;
    saved_read_index = next_evt_record_to_read;
    journaled_generation = saved_generation;
    journaled_read_index = saved_read_index;
    loaded = true;
}

void
table_store_close()
{
    if (journal_fd >= 0)
        close(journal_fd);
    journal_fd = -1;
}

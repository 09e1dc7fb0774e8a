// Loading the saved table at start-up: alert_table.dat, then the journal's entries that follow
// it in sequence, checked record by record; what cannot be used is set aside or reported,
// and a board larger than the table puts its surplus in the overflow file as what it was.
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

// A saved table may come from a server with a larger board than this one: its alerts, as
// many acknowledgements, and the state record.
static constexpr std::size_t IMAGE_RECORDS = 2 * static_cast<std::size_t>(MAX_TABLE_SIZE) + 1;
static const char BAD_NAME[] = "alert_table.dat.bad";


// One image found in a file: the board and the state record's values.
struct loaded_image {
    int count = 0;              // alerts
    bool has_state = false;
    int next = 0;               // overflow read position
    long file_records = -1;     // records in the overflow file then; -1 when not saved
    std::uint32_t proof = 0;
    unsigned long seq = 0;
    char *records = nullptr;    // count records, room for cap
    std::size_t cap = 0;
    int *seen = nullptr;        // index + 1 of the records by identity, seen_mask + 1 entries
    std::size_t seen_mask = 0;
    int acks = 0;               // ack records after the alerts
    char *ack_records = nullptr;    // acks records, room for ack_cap
    std::size_t ack_cap = 0;
};

static loaded_image from_file, from_journal;

static bool
is_stored_alert(const char *rec)
{
    bool stored_type = msgtype_is(rec, MSG_CRITICAL) || msgtype_is(rec, MSG_WARNING) ||
                       msgtype_is(rec, MSG_INFO) || msgtype_is(rec, MSG_CLEAR);
    return message_from_forwarding_application(rec) && stored_type &&
           rec[OFF_ALERT_NEWLINE] == '\n' && rec[OFF_PRODUCTID + LEN_PRODUCTID] == '\0' &&
           rec[OFF_HOSTNAME + LEN_HOSTNAME] == '\0' && rec[OFF_KEY + LEN_KEY] == '\0' &&
           rec[OFF_DATETIME + LEN_DATETIME] == '\0';
}

static bool
is_state_record(const char *rec)
{
    return memcmp(rec, STATE_PRODUCTID.data(), STATE_PRODUCTID.size()) == 0;
}

static std::size_t identity_hash(const char *rec);

// The index in img of the alert with rec's identity, or -1.
static int
find_in_image(const loaded_image &img, const char *rec)
{
    if (img.seen == nullptr)
        return -1;
    for (std::size_t k = identity_hash(rec) & img.seen_mask; img.seen[k] != 0;
         k = (k + 1) & img.seen_mask) {
        int i = img.seen[k] - 1;
        const char *o = img.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE;
        // A record a journal entry removed stays until the image is compacted.
        if (memcmp(o + OFF_HOSTNAME, rec + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
            memcmp(o + OFF_KEY, rec + OFF_KEY, LEN_KEY) == 0 && !msgtype_is(o, MSG_REMOVING))
            return i;
    }
    return -1;
}

// True when every ack record is whole and of a different alert that is stored acknowledged:
// what a save writes, so that the board loads and saves again to the same records.
static bool
acks_fit(const loaded_image &img)
{
    if (img.acks == 0)
        return true;
    bool *taken = static_cast<bool *>(calloc(static_cast<std::size_t>(img.count) + 1, 1));
    if (taken == nullptr)
        return false;
    bool fit = true;
    char probe[ALERT_RECORD_SIZE] = {};
    for (int a = 0; a < img.acks && fit; a++) {
        const char *ack = img.ack_records + static_cast<std::size_t>(a) * ALERT_RECORD_SIZE;
        if (!ack_record_valid(ack)) {
            fit = false;
            break;
        }
        ack_record_identity(ack, probe);
        int of = find_in_image(img, probe);
        if (of < 0 || taken[of] ||
            !msgtype_is(img.records + static_cast<std::size_t>(of) * ALERT_RECORD_SIZE,
                        MSG_CLEAR))
            fit = false;
        else
            taken[of] = true;
    }
    free(taken);
    return fit;
}

// Reads the state record's values into img. False when it is not one that can be used for
// the count alerts before it.
static bool
parse_state(const char *rec, loaded_image &img)
{
    char text[LEN_MSGTEXT + 1] = {};
    memcpy(text, rec + OFF_MSGTEXT, LEN_MSGTEXT);
    char board[LEN_OPTIONAL_DATA + 1] = {};
    memcpy(board, rec + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA);
    if (rec[OFF_ALERT_NEWLINE] != '\n')
        return false;
    int end = 0;
    std::uint32_t proof = 0, board_sum = 0;
    int board_count = -1;
    long count = 0;
    unsigned long seq = 0;
    int acks = 0;
    // This server's state record counts the acks; the one before had none to count.
    bool counted = sscanf(text, "next=%d count=%ld sum=%" SCNx32 " seq=%lu acks=%d%n",
                          &img.next, &count, &proof, &seq, &acks, &end) == 5 &&
                   text[end] == '\0';
    if (!counted)
        counted = sscanf(text, "next=%d count=%ld sum=%" SCNx32 " seq=%lu%n", &img.next, &count,
                         &proof, &seq, &end) == 4 && text[end] == '\0';
    if (counted &&
        sscanf(board, "board=%d sum=%" SCNx32 "%n", &board_count, &board_sum, &end) == 2 &&
        board[end] == '\0') {
        std::uint32_t sum = checksum(img.records,
                                     static_cast<std::size_t>(img.count) * ALERT_RECORD_SIZE);
        sum = checksum(img.ack_records, static_cast<std::size_t>(img.acks) * ALERT_RECORD_SIZE,
                       sum);
        if (board_count != img.count || acks != img.acks || count < 0 || img.next < 0 ||
            board_sum != sum || !acks_fit(img))
            return false;
        img.file_records = count;
        img.proof = proof;
        img.seq = seq;
        return true;
    }
    // An older server's state record: no proof, only the position.
    std::uint64_t file_id = 0;
    if (sscanf(text, "next=%d file=%" SCNu64 "%n", &img.next, &file_id, &end) == 2 &&
        text[end] == '\0' && img.next >= 0 && img.acks == 0) {
        img.file_records = -1;
        img.seq = 0;
        return true;
    }
    return false;
}

// Empties the image's board.
static void
clear_image(loaded_image &img)
{
    img.count = 0;
    img.acks = 0;
    if (img.seen != nullptr)
        memset(img.seen, 0, (img.seen_mask + 1) * sizeof(int));
}

static std::size_t
identity_hash(const char *rec)
{
    std::uint32_t h = checksum(rec + OFF_HOSTNAME, LEN_HOSTNAME);
    h = (h ^ checksum(rec + OFF_KEY, LEN_KEY)) * 16777619u;
    return h;
}

// Makes room for one more record (start-up only). False when memory fails.
static bool
grow_image(loaded_image &img)
{
    if (static_cast<std::size_t>(img.count) < img.cap)
        return true;
    std::size_t cap = img.cap == 0 ? 64 : img.cap * 2;
    char *records = static_cast<char *>(realloc(img.records, cap * ALERT_RECORD_SIZE));
    int *seen = static_cast<int *>(calloc(cap * 2, sizeof(int)));
    if (records == nullptr || seen == nullptr) {
        free(seen);
        if (records != nullptr)
            img.records = records;
        return false;
    }
    img.records = records;
    img.cap = cap;
    free(img.seen);
    img.seen = seen;
    img.seen_mask = cap * 2 - 1;
    for (int i = 0; i < img.count; i++) {
        std::size_t k = identity_hash(img.records + i * ALERT_RECORD_SIZE) & img.seen_mask;
        while (img.seen[k] != 0)
            k = (k + 1) & img.seen_mask;
        img.seen[k] = i + 1;
    }
    return true;
}

// Adds rec to the image's board. Why it cannot be, or nullptr.
static const char *
add_record(loaded_image &img, const char *rec)
{
    if (ack_is_record(rec)) {
        if (img.acks >= MAX_TABLE_SIZE)
            return "it holds more acknowledgements than the table";
        if (static_cast<std::size_t>(img.acks) == img.ack_cap) {
            std::size_t cap = img.ack_cap == 0 ? 16 : img.ack_cap * 2;
            char *grown = static_cast<char *>(realloc(img.ack_records, cap * ALERT_RECORD_SIZE));
            if (grown == nullptr)
                return "it holds more acknowledgements than memory";
            img.ack_records = grown;
            img.ack_cap = cap;
        }
        memcpy(img.ack_records + static_cast<std::size_t>(img.acks) * ALERT_RECORD_SIZE, rec,
               ALERT_RECORD_SIZE);
        img.acks++;
        return nullptr;
    }
    if (img.acks > 0)
        return "an alert follows the acknowledgements";
    if (!is_stored_alert(rec))
        return "a record is not a stored alert";
    if (img.count >= MAX_TABLE_SIZE || !grow_image(img))
        return "it holds more alerts than the table";
    std::size_t k = identity_hash(rec) & img.seen_mask;
    for (; img.seen[k] != 0; k = (k + 1) & img.seen_mask) {
        const char *o = img.records + static_cast<std::size_t>(img.seen[k] - 1) * ALERT_RECORD_SIZE;
        if (memcmp(o + OFF_HOSTNAME, rec + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
            memcmp(o + OFF_KEY, rec + OFF_KEY, LEN_KEY) == 0 && !msgtype_is(o, MSG_REMOVING))
            return "an alert is stored twice";
    }
    img.seen[k] = img.count + 1;
    memcpy(img.records + static_cast<std::size_t>(img.count) * ALERT_RECORD_SIZE, rec,
           ALERT_RECORD_SIZE);
    img.count++;
    return nullptr;
}

// Copies the board and values of from into to.
static bool
copy_image(loaded_image &to, const loaded_image &from)
{
    clear_image(to);
    for (int i = 0; i < from.count; i++)
        if (add_record(to, from.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE))
            return false;
    for (int i = 0; i < from.acks; i++)
        if (add_record(to, from.ack_records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE))
            return false;
    to.has_state = from.has_state;
    to.next = from.next;
    to.file_records = from.file_records;
    to.proof = from.proof;
    to.seq = from.seq;
    return true;
}

// Reads the saved table of size bytes into img: every whole valid alert before the first
// damage. Returns why the bytes are not a whole saved table, or nullptr when they are.
static const char *
parse_table(const char *bytes, std::size_t size, loaded_image &img)
{
    clear_image(img);
    img.has_state = false;
    std::size_t whole = size / ALERT_RECORD_SIZE;
    for (std::size_t i = 0; i < whole; i++) {
        const char *rec = bytes + i * ALERT_RECORD_SIZE;
        if (is_state_record(rec)) {
            if (!parse_state(rec, img))
                return "its last record is not the table's state";
            img.has_state = true;
            if (i + 1 != whole || size % ALERT_RECORD_SIZE != 0)
                return "it goes on after the table's state";
            return nullptr;
        }
        if (const char *why = add_record(img, rec))
            return why;
    }
    if (size % ALERT_RECORD_SIZE != 0)
        return "its size is not a whole number of records";
    return "its last record is not the table's state";
}

static bool
is_delta_record(const char *rec)
{
    return memcmp(rec, DELTA_PRODUCTID.data(), DELTA_PRODUCTID.size()) == 0 &&
           rec[DELTA_PRODUCTID.size()] == '\0';
}

static bool
is_removed_record(const char *rec)
{
    return memcmp(rec, REMOVED_PRODUCTID.data(), REMOVED_PRODUCTID.size()) == 0 &&
           rec[REMOVED_PRODUCTID.size()] == '\0' && rec[OFF_ALERT_NEWLINE] == '\n';
}

// Drops the ack record of rec's alert from the image, if it has one.
static void
drop_ack(loaded_image &img, const char *rec)
{
    for (int a = 0; a < img.acks; a++) {
        char *ack = img.ack_records + static_cast<std::size_t>(a) * ALERT_RECORD_SIZE;
        if (!ack_record_of(ack, rec))
            continue;
        memmove(ack, ack + ALERT_RECORD_SIZE,
                static_cast<std::size_t>(img.acks - a - 1) * ALERT_RECORD_SIZE);
        img.acks--;
        return;
    }
}

// Removes the records a journal entry marked removed and indexes the rest again.
static void
compact_image(loaded_image &img)
{
    int kept = 0;
    for (int i = 0; i < img.count; i++) {
        const char *rec = img.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE;
        if (msgtype_is(rec, MSG_REMOVING))
            continue;
        if (kept != i)
            memcpy(img.records + static_cast<std::size_t>(kept) * ALERT_RECORD_SIZE, rec,
                   ALERT_RECORD_SIZE);
        kept++;
    }
    img.count = kept;
    if (img.seen == nullptr)
        return;
    memset(img.seen, 0, (img.seen_mask + 1) * sizeof(int));
    for (int i = 0; i < img.count; i++) {
        std::size_t k = identity_hash(img.records + static_cast<std::size_t>(i) *
                                      ALERT_RECORD_SIZE) & img.seen_mask;
        while (img.seen[k] != 0)
            k = (k + 1) & img.seen_mask;
        img.seen[k] = i + 1;
    }
}

// Applies a journal entry of n records (changes, then the "TARROWD-DELTA" record) to img,
// whose sequence number it must follow. Returns 1 when applied, 0 when it is older than img
// (skipped), -1 when it is damaged or does not follow.
static int
apply_delta(loaded_image &img, const char *records, std::size_t n, const char *state)
{
    char text[LEN_MSGTEXT + 1] = {};
    memcpy(text, state + OFF_MSGTEXT, LEN_MSGTEXT);
    char ops_text[LEN_OPTIONAL_DATA + 1] = {};
    memcpy(ops_text, state + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA);
    int next = 0, acks = 0, end = 0;
    long count = 0;
    std::uint32_t proof = 0, sum = 0;
    unsigned long seq = 0;
    std::size_t ops = 0;
    if (state[OFF_ALERT_NEWLINE] != '\n' ||
        sscanf(text, "next=%d count=%ld sum=%" SCNx32 " seq=%lu acks=%d%n", &next, &count,
               &proof, &seq, &acks, &end) != 5 || text[end] != '\0' ||
        sscanf(ops_text, "ops=%zu sum=%" SCNx32 "%n", &ops, &sum, &end) != 2 ||
        ops_text[end] != '\0' || ops != n || checksum(records, n * ALERT_RECORD_SIZE) != sum ||
        next < 0 || count < 0)
        return -1;
    if (seq <= img.seq)
        return 0;
    if (seq != img.seq + 1)
        return -1;
    for (std::size_t r = 0; r < n; r++) {
        const char *rec = records + r * ALERT_RECORD_SIZE;
        if (is_removed_record(rec)) {
            int i = find_in_image(img, rec);
            if (i >= 0)
                set_msgtype(img.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE,
                            MSG_REMOVING);
            drop_ack(img, rec);
        } else if (ack_is_record(rec)) {
            char probe[ALERT_RECORD_SIZE] = {};
            ack_record_identity(rec, probe);
            drop_ack(img, probe);
            if (add_record(img, rec) != nullptr)
                return -1;
        } else {
            if (!is_stored_alert(rec))
                return -1;
            drop_ack(img, rec);
            int i = find_in_image(img, rec);
            if (i >= 0) {
                memcpy(img.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE, rec,
                       ALERT_RECORD_SIZE);
                continue;
            }
            // A new alert goes behind the others, whatever acks the image holds.
            int saved_acks = img.acks;
            img.acks = 0;
            const char *why = add_record(img, rec);
            img.acks = saved_acks;
            if (why != nullptr)
                return -1;
        }
    }
    img.next = next;
    img.file_records = count;
    img.proof = proof;
    img.seq = seq;
    img.has_state = true;
    return 1;
}

// Reads the journal into img: from base (the saved table) when given, each whole board and
// each entry of changes that follows in sequence. Returns true when it found anything newer
// than base; sets damaged to the records of an entry that is not whole (a torn last one),
// and good_end to the bytes before it.
static bool
read_journal(int fd, loaded_image &img, const loaded_image *base, long &damaged,
             off_t &good_end)
{
    static loaded_image part;
    static char *raw;
    static std::size_t raw_cap;
    std::size_t raw_n = 0;
    clear_image(img);
    img.has_state = false;
    img.seq = 0;
    bool found = false, newer = false;
    if (base != nullptr && copy_image(img, *base))
        found = true;
    damaged = 0;
    good_end = 0;
    char rec[ALERT_RECORD_SIZE];
    off_t off = 0;
    for (;; off += static_cast<off_t>(ALERT_RECORD_SIZE)) {
        ssize_t n = pread(fd, rec, sizeof rec, off);
        // The end, or the zero-filled room a --sync server keeps past it; a torn record
        // there and the records before it are a torn entry.
        bool zeros = n == static_cast<ssize_t>(sizeof rec) && rec[0] == '\0' &&
                     memcmp(rec, rec + 1, sizeof rec - 1) == 0;
        if (n != static_cast<ssize_t>(sizeof rec) || zeros) {
            damaged += static_cast<long>(raw_n) + (n > 0 && !zeros ? 1 : 0);
            raw_n = 0;
            break;
        }
        if (is_state_record(rec)) {
            clear_image(part);
            bool whole = true;
            for (std::size_t r = 0; r < raw_n && whole; r++)
                whole = add_record(part, raw + r * ALERT_RECORD_SIZE) == nullptr;
            if (whole && parse_state(rec, part) && (!found || part.seq > img.seq)) {
                part.has_state = true;
                found = copy_image(img, part) || found;
                newer = true;
            } else if (!whole || !parse_state(rec, part)) {
                damaged += static_cast<long>(raw_n) + 1;
                break;
            }
            raw_n = 0;
            good_end = off + static_cast<off_t>(ALERT_RECORD_SIZE);
            continue;
        }
        if (is_delta_record(rec)) {
            int applied = found ? apply_delta(img, raw, raw_n, rec) : -1;
            if (applied < 0) {
                damaged += static_cast<long>(raw_n) + 1;
                break;
            }
            newer = newer || applied > 0;
            raw_n = 0;
            good_end = off + static_cast<off_t>(ALERT_RECORD_SIZE);
            continue;
        }
        if (raw_n == raw_cap) {
            std::size_t cap = raw_cap == 0 ? 64 : raw_cap * 2;
            char *grown = static_cast<char *>(realloc(raw, cap * ALERT_RECORD_SIZE));
            if (grown == nullptr) {
                damaged += static_cast<long>(raw_n) + 1;
                break;
            }
            raw = grown;
            raw_cap = cap;
        }
        memcpy(raw + raw_n * ALERT_RECORD_SIZE, rec, ALERT_RECORD_SIZE);
        raw_n++;
    }
    compact_image(img);
    // An ack whose alert is no longer acknowledged is none.
    char probe[ALERT_RECORD_SIZE] = {};
    for (int a = img.acks - 1; a >= 0; a--) {
        const char *ack = img.ack_records + static_cast<std::size_t>(a) * ALERT_RECORD_SIZE;
        ack_record_identity(ack, probe);
        int i = find_in_image(img, probe);
        if (i < 0 || !msgtype_is(img.records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE,
                                 MSG_CLEAR))
            drop_ack(img, probe);
    }
    return found && newer;
}

// Reports on the log and on standard error: the operator starting the server sees it.
static void
warn_both(const char *text)
{
    myprintf("%s", text);
    fputs(text, stderr);
}

// Sets a state file that cannot be used aside as alert_table.dat.bad (kept < 0: it could not
// be read at all); ends the start when even that fails, since the next save would replace
// it with an empty board.
static void
set_aside(const char *why, int kept, int not_kept)
{
    char text[300];
    if (rename(table_file_name, BAD_NAME) != 0) {
        int saved_errno = errno;
        snprintf(text, sizeof text, "*ERR: Saved alert table %s cannot be used (%s) nor moved "
                 "aside, %s\n", table_file_name, why, strerror(saved_errno));
        warn_both(text);
        die("IO error on saved alert table", 1);
    }
    if (kept < 0)
        snprintf(text, sizeof text, "WARN: Saved alert table %s cannot be read (%s), moved "
                 "aside to %s\n", table_file_name, why, BAD_NAME);
    else
        snprintf(text, sizeof text, "WARN: Saved alert table %s is damaged (%s), moved aside "
                 "to %s, %d alerts kept, %d records not\n", table_file_name, why, BAD_NAME,
                 kept, not_kept);
    warn_both(text);
}

// Reads alert_table.dat into from_file. Returns true when it holds an image to use.
static bool
read_table_file()
{
    int fd = open_state_file(table_file_name, O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        int saved_errno = errno;
        set_aside(saved_errno == EINVAL || saved_errno == ELOOP ? "it is not a regular file"
                                                                : strerror(saved_errno),
                  -1, 0);
        return false;
    }
    // One byte more than the file or the largest valid file, whichever is smaller, so that a
    // longer one is seen as such.
    struct stat st;
    std::size_t bytes_cap = IMAGE_RECORDS * ALERT_RECORD_SIZE + 1;
    if (fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) + 1 < bytes_cap)
        bytes_cap = static_cast<std::size_t>(st.st_size) + 1;
    char *bytes = static_cast<char *>(malloc(bytes_cap));
    if (bytes == nullptr)
        die("Unable to allocate memory to read the saved table", 1);
    std::size_t size = 0;
    ssize_t n = 0;
    while (size < bytes_cap &&
           (n = read(fd, bytes + size, bytes_cap - size)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        size += static_cast<std::size_t>(n);
    }
    long whole_or_torn = static_cast<long>(ALERT_RECORD_SIZE) - 1;
    long records = fstat(fd, &st) == 0
        ? (static_cast<long>(st.st_size) + whole_or_torn) / static_cast<long>(ALERT_RECORD_SIZE)
        : 0;
    close(fd);
    const char *damage = n < 0 ? "it cannot be read" : parse_table(bytes, size, from_file);
    if (n < 0)
        clear_image(from_file);
    if (damage == nullptr) {
        free(bytes);
        return true;
    }
    // The whole records before the damage are kept; a state record at the end counts as
    // neither kept nor lost.
    std::size_t whole = size / ALERT_RECORD_SIZE;
    bool ends_in_state = whole > 0 && whole * ALERT_RECORD_SIZE <= bytes_cap - 1 &&
                         is_state_record(bytes + (whole - 1) * ALERT_RECORD_SIZE);
    free(bytes);
    long not_kept = records - from_file.count - (ends_in_state ? 1 : 0);
    set_aside(damage, from_file.count, static_cast<int>(not_kept > 0 ? not_kept : 0));
    from_file.has_state = false;
    return from_file.count > 0;
}

// Puts the saved position into effect when the overflow file proves to be the one it was
// saved with; otherwise the file is read from its start, with a warning.
static void
restore_position(const loaded_image &img)
{
    long have = overflow_records();
    long want = img.file_records >= 0 ? img.file_records : img.next;
    bool trusted = img.has_state && have >= want && img.next <= want;
    if (trusted && img.file_records > 0) {
        long at = img.next < want ? img.next : want - 1;
        std::uint32_t sum = 0;
        trusted = overflow_record_sum(at, &sum) == 0 && sum == img.proof;
    }
    if (trusted) {
        overflow_set_read_position(img.next);
        return;
    }
    overflow_set_read_position(0);
    if (!img.has_state && have == 0)
        return;
    char text[300];
    if (!img.has_state)
        snprintf(text, sizeof text, "WARN: Saved read position of %s lost, reading its %ld "
                 "records from the start\n", event_logfile_name, have);
    else
        snprintf(text, sizeof text, "WARN: Overflow buffer file %s holds %ld records, the "
                 "saved table expected %s%ld, reading it from the start\n", event_logfile_name,
                 have, have >= want ? "the same first " : "at least ", want);
    warn_both(text);
}

// Puts a saved alert that does not fit the table in the overflow file as what it is: a raise
// of the severity it had, and, when it was acknowledged, the acknowledgement (who, note,
// expiry) as a console action behind it.
static void
spill_saved(const loaded_image &img, const char *saved)
{
    char rec[ALERT_RECORD_SIZE];
    memcpy(rec, saved, ALERT_RECORD_SIZE);
    alert_ack a{};
    bool acked = msgtype_is(rec, MSG_CLEAR);
    if (acked) {
        memcpy(a.severity, MSG_CRITICAL.data(), LEN_MSGTYPE);
        snprintf(a.who, sizeof a.who, "%s", "unknown");
        for (int k = 0; k < img.acks; k++) {
            const char *ack = img.ack_records + static_cast<std::size_t>(k) * ALERT_RECORD_SIZE;
            if (ack_record_of(ack, rec) && ack_read_record(ack, a) == 0)
                break;
        }
        set_msgtype(rec, std::string_view(a.severity, LEN_MSGTYPE));
    }
    if (alert_write_to_bufferfile(rec) != 0)
        die("IO error on alert overflow file", 1);
    if (!acked)
        return;
    char an[ALERT_RECORD_SIZE] = {};
    memset(an, ' ', HEADER_SIZE - 1);
    memcpy(an + OFF_PRODUCTID, PRODUCT_CONSOLE.data(), PRODUCT_CONSOLE.size());
    for (std::size_t end : {OFF_PRODUCTID + LEN_PRODUCTID, OFF_VERSION + LEN_VERSION,
                            OFF_HOSTNAME + LEN_HOSTNAME, OFF_KEY + LEN_KEY,
                            OFF_AUX_NUMBER + LEN_AUX_NUMBER, OFF_DATETIME + LEN_DATETIME})
        an[end] = '\0';
    memcpy(an + OFF_HOSTNAME, rec + OFF_HOSTNAME, LEN_HOSTNAME);
    memcpy(an + OFF_KEY, rec + OFF_KEY, LEN_KEY);
    memcpy(an + OFF_DATETIME, rec + OFF_DATETIME, LEN_DATETIME);
    set_msgtype(an, CMD_ACK_NOTE);
    an[OFF_REPLY_WANTED] = 'N';
    memcpy(an + OFF_ACK_WHO, a.who, strnlen(a.who, LEN_ACK_WHO));
    if (a.until != 0) {
        char until[LEN_ACK_UNTIL + 8];
        snprintf(until, sizeof until, "%-10lld", static_cast<long long>(a.until));
        memcpy(an + OFF_ACK_UNTIL, until, LEN_ACK_UNTIL);
    }
    an[OFF_PERSISTENT] = 'N';
    std::size_t note = strnlen(a.note, LEN_ACK_NOTE);
    std::size_t head = note < LEN_MSGTEXT ? note : LEN_MSGTEXT;
    memcpy(an + OFF_MSGTEXT, a.note, head);
    memcpy(an + OFF_OPTIONAL_DATA, a.note + head, note - head);
    number_to_string_with_null(an + OFF_MSGTEXT_LENGTH, static_cast<int>(head),
                               LEN_MSGTEXT_LENGTH + 1);
    an[OFF_ALERT_NEWLINE] = '\n';
    if (alert_write_to_bufferfile(an) != 0)
        die("IO error on alert overflow file", 1);
}

int
table_store_load()
{
    bool have_file = read_table_file();
    bool have_journal = false;
    // The journal held entries: the board is saved whole at once, which empties it.
    bool journal_dirty = false;
    unsigned long image_seq = 0;
    int jfd = open_state_file(table_journal_name, O_RDWR | O_CREAT);
    off_t good_end = 0;
    if (jfd >= 0) {
        long damaged = 0;
        have_journal = read_journal(jfd, from_journal,
                                    have_file && from_file.has_state ? &from_file : nullptr,
                                    damaged, good_end);
        if (damaged > 0) {
            char text[200];
            snprintf(text, sizeof text, "WARN: Journal %s ends in a damaged entry (%ld "
                     "records), ignored; the entries before it are kept\n", table_journal_name,
                     damaged);
            warn_both(text);
        }
        // What follows the last whole entry (a damaged one, or the zero-filled room) goes, so
        // that the next entry is followed by nothing older.
        struct stat st;
        if (fstat(jfd, &st) == 0 && st.st_size > good_end && ftruncate(jfd, good_end) != 0)
            journal_dirty = true;
        journal_dirty = journal_dirty || (fstat(jfd, &st) == 0 && st.st_size > 0);
        table_store_sync_dir();     // the journal's name, when it is new
    } else if (errno != ENOENT) {
        int saved_errno = errno;
        char text[200];
        snprintf(text, sizeof text, "*ERR: Unable to open the journal %s, %s\n",
                 table_journal_name, strerror(saved_errno));
        warn_both(text);
        if (sync_to_disk)
            die("IO error on journal", 1);
    }
    // The newer of the two; a damaged table file (no state) loses to any whole image.
    const loaded_image *img = nullptr;
    if (have_file)
        img = &from_file;
    if (have_journal && (img == nullptr || !img->has_state || from_journal.seq > img->seq))
        img = &from_journal;

    alert_table_reset();
    if (img != nullptr) {
        int fits = img->count < alert_table_size ? img->count : alert_table_size;
        for (int i = 0; i < fits; i++)
            alert_table_append(img->records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE);
        for (int i = 0; i < img->acks; i++)
            ack_load_record(img->ack_records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE);
        image_seq = img->seq;
        restore_position(*img);
        // A board saved by a larger table: what does not fit waits in the overflow file, in
        // table order, behind what waited there already.
        if (img->count > fits) {
            myprintf("WARN: Saved alert table holds %d alerts, more than the %d of the table: "
                     "%d wait in %s\n", img->count, alert_table_size, img->count - fits,
                     event_logfile_name);
            for (int i = fits; i < img->count; i++)
                spill_saved(*img, img->records + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE);
        }
    } else {
        overflow_set_read_position(0);
    }
    if (have_journal && from_journal.seq > image_seq)
        image_seq = from_journal.seq;
    if (have_file && from_file.seq > image_seq)
        image_seq = from_file.seq;
    if (sync_to_disk)
        myprintf("INFO: Changes are synced to disk before they are answered (--sync)\n");
    // A first start has no saved table, and so nothing restored to tell of.
    if (img != nullptr)
        myprintf("INFO: Restored %d alerts from %s, %d waiting in %s from record %d\n",
                 last_table_entry, img == &from_journal ? table_journal_name : table_file_name,
                 alerts_num_buffered(), event_logfile_name, next_evt_record_to_read);
    table_store_loaded(jfd, image_seq, img == &from_file && from_file.has_state && !journal_dirty,
                       good_end);
    return last_table_entry;
}


// The saved alert table (--keep-table): the board and the overflow read position, kept in
// alert_table.dat across restarts.
//
// The file is a sequence of 234-byte records: the table's records in table order, then one
// state record that says where the overflow file's unread records begin. It is written to a
// temporary file and renamed over the old one, so a crash leaves one whole version or the
// other.
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/fields.h"
#include "server/server.h"

const char table_file_name[] = "alert_table.dat";
bool keep_table = false;

static const char TEMP_NAME[] = "alert_table.dat.tmp";
static const char BAD_NAME[] = "alert_table.dat.bad";
// The productid of the state record: no sender uses it, so it is never taken for an alert.
static constexpr std::string_view STATE_PRODUCTID = "TARROWD-STATE";
static constexpr long SAVE_INTERVAL_MS = 1000;

// What the file on disk says, so that an unchanged board is not written again.
static unsigned saved_generation = 0;
static int saved_read_index = -1;
static std::uint64_t saved_file_id = 0;
static long last_save_ms = 0;
static bool save_failing = false;
// Nothing is saved before the saved table has been read: a start that fails early must not
// replace the board on disk with an empty one.
static bool loaded = false;

static long
now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// The state record: read index and overflow file identity as text in the message field.
static void
build_state_record(char *rec, int read_index, std::uint64_t file_id)
{
    memset(rec, 0, ALERT_RECORD_SIZE);
    memcpy(rec + OFF_PRODUCTID, STATE_PRODUCTID.data(), STATE_PRODUCTID.size());
    set_msgtype(rec, MSG_REPLY_DONE);
    snprintf(rec + OFF_MSGTEXT, LEN_MSGTEXT, "next=%d file=%" PRIu64, read_index, file_id);
    rec[OFF_ALERT_NEWLINE] = '\n';
}

int
table_store_save()
{
    if (!loaded)
        return -1;
    char state[ALERT_RECORD_SIZE];
    int read_index = next_evt_record_to_read;
    std::uint64_t file_id = overflow_file_id();
    build_state_record(state, read_index, file_id);

    FILE *f = fopen(TEMP_NAME, "w");
    bool ok = f != nullptr;
    for (int i = 0; ok && i < last_table_entry; i++)
        ok = fwrite(memory_table[i].data(), ALERT_RECORD_SIZE, 1, f) == 1;
    if (ok)
        ok = fwrite(state, ALERT_RECORD_SIZE, 1, f) == 1;
    int saved_errno = errno;
    if (f != nullptr && fclose(f) != 0 && ok) {
        ok = false;
        saved_errno = errno;
    }
    if (ok && rename(TEMP_NAME, table_file_name) != 0) {
        ok = false;
        saved_errno = errno;
    }
    last_save_ms = now_ms();
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
    saved_generation = alert_table_generation;
    saved_read_index = read_index;
    saved_file_id = file_id;
    return 0;
}

static bool
unsaved_changes()
{
    return alert_table_generation != saved_generation || next_evt_record_to_read != saved_read_index;
}

long
table_store_due_ms()
{
    if (!keep_table || !unsaved_changes())
        return -1;
    long left = last_save_ms + SAVE_INTERVAL_MS - now_ms();
    return left > 0 ? left : 0;
}

void
table_store_tick()
{
    if (table_store_due_ms() == 0)
        table_store_save();
}

// Why the bytes are not a saved table, or nullptr when they are. On success the records are
// in the table and the state record's values in read_index and file_id.
static const char *
check_and_load(const char *bytes, std::size_t size, int *read_index, std::uint64_t *file_id)
{
    if (size == 0 || size % ALERT_RECORD_SIZE != 0)
        return "its size is not a whole number of records";
    std::size_t count = size / ALERT_RECORD_SIZE - 1;
    if (count > static_cast<std::size_t>(MAX_ALERTS))
        return "it holds more alerts than the table";
    const char *state = bytes + count * ALERT_RECORD_SIZE;
    char text[LEN_MSGTEXT + 1] = {};
    memcpy(text, state + OFF_MSGTEXT, LEN_MSGTEXT);
    char tail = 0;
    if (memcmp(state, STATE_PRODUCTID.data(), STATE_PRODUCTID.size()) != 0 ||
        state[OFF_ALERT_NEWLINE] != '\n' ||
        sscanf(text, "next=%d file=%" SCNu64 "%c", read_index, file_id, &tail) != 2 ||
        *read_index < 0)
        return "its last record is not the table's state";
    alert_table_reset();
    for (std::size_t i = 0; i < count; i++) {
        const char *rec = bytes + i * ALERT_RECORD_SIZE;
        bool stored_type = msgtype_is(rec, MSG_CRITICAL) || msgtype_is(rec, MSG_WARNING) ||
                           msgtype_is(rec, MSG_INFO) || msgtype_is(rec, MSG_CLEAR);
        if (!message_from_forwarding_application(rec) || !stored_type ||
            rec[OFF_ALERT_NEWLINE] != '\n' || rec[OFF_PRODUCTID + LEN_PRODUCTID] != '\0' ||
            rec[OFF_HOSTNAME + LEN_HOSTNAME] != '\0' || rec[OFF_KEY + LEN_KEY] != '\0' ||
            rec[OFF_DATETIME + LEN_DATETIME] != '\0') {
            alert_table_reset();
            return "a record is not a stored alert";
        }
        if (alert_lookup(rec) >= 0) {
            alert_table_reset();
            return "an alert is stored twice";
        }
        memcpy(memory_table[last_table_entry].data(), rec, ALERT_RECORD_SIZE);
        last_table_entry++;
    }
    return nullptr;
}

int
table_store_load()
{
    loaded = true;
    FILE *f = fopen(table_file_name, "r");
    if (f == nullptr) {
        if (errno == ENOENT)
            return 0;
        int saved_errno = errno;
        myprintf("WARN: Unable to read the saved alert table %s, %s, starting with an empty "
                 "table\n", table_file_name, strerror(saved_errno));
        return 0;
    }
    // One byte more than the largest valid file, so that a longer one is seen as such.
    static char bytes[(MAX_ALERTS + 1) * ALERT_RECORD_SIZE + 1];
    std::size_t size = fread(bytes, 1, sizeof bytes, f);
    bool read_error = ferror(f) != 0;
    fclose(f);

    int read_index = 0;
    std::uint64_t file_id = 0;
    const char *damage = read_error ? "it cannot be read"
                                    : check_and_load(bytes, size, &read_index, &file_id);
    if (damage != nullptr) {
        bool moved = rename(table_file_name, BAD_NAME) == 0;
        myprintf("WARN: Saved alert table %s is damaged (%s), %s, starting with an empty "
                 "table\n", table_file_name, damage,
                 moved ? "moved aside to alert_table.dat.bad" : "left where it is");
        return 0;
    }
    // The read position belongs to the overflow file the table was saved with; a file made
    // since then is read from its start.
    if (file_id == overflow_file_id())
        next_evt_record_to_read = read_index;
    myprintf("INFO: Restored %d alerts from %s\n", last_table_entry, table_file_name);
    alert_table_generation++;
    saved_generation = alert_table_generation;
    saved_read_index = next_evt_record_to_read;
    saved_file_id = file_id;
    return last_table_entry;
}

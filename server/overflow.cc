// Overflow buffer file: alerts and requests that wait on disk for room in the table.
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "server/server.h"

const char event_logfile_name[] = "evt_buffer.dat";
static FILE *event_log_handle = nullptr;
int next_evt_record_to_read = 0;
int unlink_permitted = 0;

// Refill state. A replayed "AK" that frees a slot starts a nested refill while its own record
// still counts as unread (next_evt_record_to_read stays at it); next_to_replay is the next
// record no refill has started yet, shared by every level, so no record is read twice or
// passed over. file_generation changes at every recreate, so an outer refill notices that
// the file it was reading is gone.
static int next_to_replay = 0;
static int refill_depth = 0;
static unsigned file_generation = 0;

static constexpr long RECORD = static_cast<long>(ALERT_RECORD_SIZE);

// Opens the stream unbuffered: every append is one write that reaches the system at once,
// and a failed append leaves nothing in a buffer to be written later.
static FILE *
open_stream()
{
    FILE *f = fopen(event_logfile_name, "a+");
    if (f != nullptr)
        setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

int
overflow_open()
{
    next_evt_record_to_read = 0;
    next_to_replay = 0;
    unlink_permitted = 0;
    event_log_handle = open_stream();
    if (event_log_handle == nullptr)
        return -1;
    // A torn tail (a crash in the middle of an append) would misalign every later record.
    if (fseek(event_log_handle, 0, SEEK_END) == 0) {
        long size = ftell(event_log_handle);
        long partial = size > 0 ? size % RECORD : 0;
        if (partial != 0 && ftruncate(fileno(event_log_handle), size - partial) == 0)
            myprintf("WARN: Overflow buffer file %s had a partial record of %d bytes at its "
                     "end, removed\n", event_logfile_name, static_cast<int>(partial));
    }
    return 0;
}

void
overflow_close()
{
    if (event_log_handle != nullptr)
        fclose(event_log_handle);
    event_log_handle = nullptr;
}

// Whole records in the file, or -1 when the stream cannot be positioned.
static long
records_in_file()
{
    if (event_log_handle == nullptr || fseek(event_log_handle, 0, SEEK_END) != 0)
        return -1;
    long size = ftell(event_log_handle);
    if (size < 0)
        return -1;
    return size / RECORD;
}

int
alerts_num_buffered()
{
    long records = records_in_file();
    if (records < 0)
        return 0;
    long unread = records - next_evt_record_to_read;
    return unread > 0 ? static_cast<int>(unread) : 0;
}

void
alert_write_to_bufferfile(char *record)
{
    if (event_log_handle == nullptr || fseek(event_log_handle, 0, SEEK_END) != 0)
        return;
    long size = ftell(event_log_handle);
    record[OFF_REPLY_WANTED] = 'N';
    bool ok = fwrite(record, ALERT_RECORD_SIZE, 1, event_log_handle) == 1;
    if (fflush(event_log_handle) != 0)
        ok = false;
    if (!ok) {
        myprintf("WARN: Unable to store events in buffer file, disk full ?");
        clearerr(event_log_handle);
        // Cut back to the last whole record, so the next append starts on a boundary.
        if (size >= 0 && ftruncate(fileno(event_log_handle), size - size % RECORD) != 0) {
            int saved_errno = errno;
            if (saved_errno != EINVAL)
                myprintf("*ERR: Unable to cut overflow file back to %ld bytes, %s\n",
                         size - size % RECORD, strerror(saved_errno));
        }
    }
    unlink_permitted = 1;
}

void
alerts_recreate_overflow_file()
{
    if (unlink_permitted == 0)
        return;
    overflow_close();
    if (unlink(event_logfile_name) != 0) {
        myprintf("*ERR: Unable to delete overflow file, aborting\n");
        shutdown_immed(1);
    }
    unlink_permitted = 0;
    next_evt_record_to_read = 0;
    next_to_replay = 0;
    file_generation++;
    event_log_handle = open_stream();
    if (event_log_handle == nullptr) {
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
    if (refill_depth == 0)
        next_to_replay = next_evt_record_to_read;
    // The records this refill may replay: those after the ones already taken, up to the
    // end of the file as it is now (nothing is appended while a refill runs).
    long end = records_in_file();
    unsigned generation = file_generation;
    refill_depth++;
    while (next_to_replay < end && last_table_entry < MAX_ALERTS) {
        long index = next_to_replay;
        char record[ALERT_RECORD_SIZE];
        if (fseek(event_log_handle, index * RECORD, SEEK_SET) != 0 ||
            fread(record, ALERT_RECORD_SIZE, 1, event_log_handle) != 1) {
            myprintf("WARN: Unable to read records from buffer overflow file, flushing "
                     "overflow file\n");
            clearerr(event_log_handle);
            alerts_recreate_overflow_file();
            break;
        }
        next_to_replay = static_cast<int>(index + 1);
        process_alert_message(record, 1);
        if (generation != file_generation)
            break;
        // Only the outermost refill moves the read index: while it replays a record, that
        // record and everything nested refills replay behind it still count as unread.
        if (refill_depth == 1)
            next_evt_record_to_read = next_to_replay;
    }
    refill_depth--;
}

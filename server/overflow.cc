// Overflow buffer file: alerts and requests that wait on disk for room in the table.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "server/server.h"

const char event_logfile_name[] = "evt_buffer.dat";
static FILE *event_log_handle = nullptr;
int next_evt_record_to_read = 0;
int unlink_permitted = 0;

// True while a refill runs. A replayed "AK" that frees a slot asks for a refill again; the
// running one simply goes on while the table has room, so the depth of the call stack never
// depends on what the file holds.
static bool refilling = false;

unsigned long overflow_failed_appends = 0;
int (*overflow_ftruncate)(int, off_t) = ftruncate;

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

// Cuts a partial record at the end of a file of size bytes back to the last whole record,
// and sets size to what is left. Returns 0, or -1 when the cut failed (errno says why).
static int
cut_torn_tail(long &size)
{
    long partial = size > 0 ? size % RECORD : 0;
    if (partial == 0)
        return 0;
    if (overflow_ftruncate(fileno(event_log_handle), size - partial) != 0)
        return -1;
    size -= partial;
    return 0;
}

int
overflow_open()
{
    next_evt_record_to_read = 0;
    unlink_permitted = 0;
    event_log_handle = open_stream();
    if (event_log_handle == nullptr)
        return -1;
    // A torn tail (a crash in the middle of an append) would misalign every later record,
    // so a file whose tail cannot be cut is not used at all.
    if (fseek(event_log_handle, 0, SEEK_END) != 0)
        return 0;
    long size = ftell(event_log_handle);
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

std::uint64_t
overflow_file_id()
{
    struct stat st;
    if (event_log_handle == nullptr || fstat(fileno(event_log_handle), &st) != 0)
        return 0;
    return static_cast<std::uint64_t>(st.st_dev) << 32 ^ static_cast<std::uint64_t>(st.st_ino);
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

int
alert_write_to_bufferfile(char *record)
{
    if (event_log_handle == nullptr || fseek(event_log_handle, 0, SEEK_END) != 0) {
        overflow_failed_appends++;
        return -1;
    }
    long size = ftell(event_log_handle);
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
    bool ok = fwrite(record, ALERT_RECORD_SIZE, 1, event_log_handle) == 1;
    if (fflush(event_log_handle) != 0)
        ok = false;
    if (ok)
        return 0;
    myprintf("WARN: Unable to store events in buffer file, disk full ?");
    clearerr(event_log_handle);
    // Cut back to the last whole record, so the next append starts on a boundary.
    if (size >= 0 && overflow_ftruncate(fileno(event_log_handle), size) != 0) {
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
    overflow_close();
    // A file already removed from outside counts as deleted: a new one is made below.
    if (unlink(event_logfile_name) != 0 && errno != ENOENT) {
        myprintf("*ERR: Unable to delete overflow file, aborting\n");
        shutdown_immed(1);
    }
    unlink_permitted = 0;
    next_evt_record_to_read = 0;
    event_log_handle = open_stream();
    // A saved table must not pair the old file's read position with the new file.
    if (event_log_handle != nullptr && keep_table)
        table_store_save();
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
    if (refilling)
        return;
    refilling = true;
    // The records this refill may replay: up to the end of the file as it is now (a replay
    // never appends). A record still counts as unread while it is replayed, so the index
    // moves past it only afterwards.
    long end = records_in_file();
    while (next_evt_record_to_read < end && last_table_entry < MAX_ALERTS) {
        char record[ALERT_RECORD_SIZE];
        if (fseek(event_log_handle, next_evt_record_to_read * RECORD, SEEK_SET) != 0 ||
            fread(record, ALERT_RECORD_SIZE, 1, event_log_handle) != 1) {
            myprintf("WARN: Unable to read records from buffer overflow file, flushing "
                     "overflow file\n");
            clearerr(event_log_handle);
            alerts_recreate_overflow_file();
            break;
        }
        process_alert_message(record, 1);
        next_evt_record_to_read++;
    }
    refilling = false;
}

// Alert memory table: the 50 open alerts, in the order their identities first arrived.
#include <cstring>

#include "server/ack.h"
#include "server/server.h"

alert_record memory_table[MAX_ALERTS];
int last_table_entry = 0;
unsigned alert_table_generation = 0;

void
alert_table_reset()
{
    alert_table_generation++;
    last_table_entry = 0;
    ack_table_reset();
}

static bool
same_identity(const char *a, const char *b)
{
    return memcmp(a + OFF_HOSTNAME, b + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
           memcmp(a + OFF_KEY, b + OFF_KEY, LEN_KEY) == 0;
}

int
alert_lookup(const char *record)
{
    for (int i = 0; i < last_table_entry; i++)
        if (same_identity(memory_table[i].data(), record))
            return i;
    return -1;
}

void
alert_add(char *record)
{
    alert_table_generation++;
    record[OFF_PRODUCTID + LEN_PRODUCTID] = '\0';
    record[OFF_HOSTNAME + LEN_HOSTNAME] = '\0';
    record[OFF_KEY + LEN_KEY] = '\0';
    record[OFF_DATETIME + LEN_DATETIME] = '\0';

    int slot = alert_lookup(record);
    if (slot >= 0) {
        memcpy(memory_table[slot].data(), record, ALERT_RECORD_SIZE);
        return;
    }
    if (last_table_entry >= MAX_ALERTS) {
        // A full table gives up its oldest info alert; without one the alert waits on disk.
        int io = -1;
        for (int i = 0; i < last_table_entry && io < 0; i++)
            if (msgtype_is(memory_table[i].data(), MSG_INFO))
                io = i;
        if (io < 0) {
            alert_write_to_bufferfile(record);
            return;
        }
        set_msgtype(memory_table[io].data(), MSG_REMOVING);
        alerts_compress();
    }
    if (last_table_entry < MAX_ALERTS) {
        memcpy(memory_table[last_table_entry].data(), record, ALERT_RECORD_SIZE);
        last_table_entry++;
        return;
    }
    myprintf("*ERR: Full memory table and memory table compress failed\n");
    myprintf("*ERR: To avoid server failure server is flushing memory tables\n");
    last_table_entry = 0;
}

int
alerts_compress()
{
    alert_table_generation++;
    if (last_table_entry == 0)
        return 0;
    int removed = 0, passes = 0, i = 0;
    while (i < last_table_entry) {
        if (msgtype_is(memory_table[i].data(), MSG_REMOVING)) {
            removed++;
            for (int j = i; j < last_table_entry - 1; j++)
                memory_table[j] = memory_table[j + 1];
            last_table_entry--;
        } else {
            i++;
        }
        if (++passes > MAX_ALERTS) {
            myprintf("*ERR: Looping in alerts_compress, programmer error. Aborting compress\n");
            break;
        }
    }
    return removed;
}

// When the identity is not stored but the overflow file still holds unread records, a
// forwarding application's request may concern a buffered alert: it is appended behind it
// (unless it is being replayed) and takes effect when replayed. True when deferred.
static bool
defer_behind_buffered(char *record, int unread, int from_overflow)
{
    if (unread < 1 || !message_from_forwarding_application(record))
        return false;
    if (!from_overflow)
        alert_write_to_bufferfile(record);
    return true;
}

int
alert_delete(char *record, int from_overflow)
{
    alert_table_generation++;
    int unread = alerts_num_buffered();
    int slot = alert_lookup(record);
    if (slot < 0) {
        if (defer_behind_buffered(record, unread, from_overflow))
            return 0;
        std::string_view host = alert_field_text(record, OFF_HOSTNAME);
        myprintf("WARN: message not found to delete, requested from %.*s\n",
                 print_len(host), host.data());
        return 0;
    }
    set_msgtype(memory_table[slot].data(), MSG_REMOVING);
    return alerts_compress();
}

void
alert_acknowledge(char *record, int from_overflow)
{
    alert_table_generation++;
    int unread = alerts_num_buffered();
    int slot = alert_lookup(record);
    if (slot < 0) {
        if (defer_behind_buffered(record, unread, from_overflow))
            return;
        std::string_view host = alert_field_text(record, OFF_HOSTNAME);
        std::string_view key = alert_field_text(record, OFF_KEY);
        myprintf("WARN: message not found to acknowledge, requested from '%.*s', key '%.*s'\n",
                 print_len(host), host.data(), print_len(key),
                 key.data());
        return;
    }
    char *rec = memory_table[slot].data();
    ack_plain(rec, from_overflow);
    set_msgtype(rec, MSG_CLEAR);
    rec[OFF_REPLY_WANTED] = '\0';
}

void
alert_delete_all_for_host(char *record, int from_overflow)
{
    alert_table_generation++;
    // While requests of the host wait in the file, this one waits behind them as well (also
    // on an empty table), and acts now only on the alerts with no request of their own
    // waiting: the others are removed when it is replayed, after those requests.
    bool host_waits = !from_overflow && overflow_waiting_host(record) > 0;
    if (last_table_entry == 0 && !host_waits)
        return;
    for (int i = 0; i < last_table_entry; i++) {
        char *rec = memory_table[i].data();
        if (memcmp(rec + OFF_HOSTNAME, record + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
            (!host_waits || overflow_waiting(rec) == 0))
            set_msgtype(rec, MSG_REMOVING);
    }
    // Appended after the marking: once it waits, it counts for every alert of the host.
    if (alerts_num_buffered() > 0 && !from_overflow)
        alert_write_to_bufferfile(record);
    alerts_compress();
}

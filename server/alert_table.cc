// Alert memory table: the open alerts, in the order their identities first arrived.
//
// The records stay in the slot where they were stored (pool); the table order is an array of
// slot numbers, so that a removal moves 4 bytes per later record rather than 234. An
// identity index (open addressing over hostname and key) finds a record without a scan.
#include <cstdlib>
#include <cstring>

#include "server/ack.h"
#include "server/server.h"

int alert_table_size = MAX_ALERTS;
const alert_order memory_table{};
int last_table_entry = 0;
unsigned alert_table_generation = 0;
table_counts alert_counts;

static alert_record *pool;          // alert_table_size records, in no order
static int *order;                  // pool slot of each position, last_table_entry of them
static int *free_slot;              // pool slots not in use, free_count of them
static int free_count;
static char *counted_type;          // the msgtype each pool slot is counted under
static int *id_index;               // pool slot + 1 by identity hash; 0 is an empty entry
static std::size_t id_mask;         // entries in id_index, less one (a power of two)

alert_record &
alert_order::operator[](std::ptrdiff_t i) const
{
    return pool[order[i]];
}

int
alert_table_init(int size)
{
    if (size < 1 || size > MAX_TABLE_SIZE)
        return -1;
    std::size_t entries = 4;
    while (entries < 2 * static_cast<std::size_t>(size))
        entries *= 2;
    free(pool);
    free(order);
    free(free_slot);
    free(id_index);
    free(counted_type);
    std::size_t n = static_cast<std::size_t>(size);
    pool = static_cast<alert_record *>(calloc(n, sizeof(alert_record)));
    order = static_cast<int *>(calloc(n, sizeof(int)));
    free_slot = static_cast<int *>(calloc(n, sizeof(int)));
    id_index = static_cast<int *>(calloc(entries, sizeof(int)));
    counted_type = static_cast<char *>(calloc(n, 1));
    if (pool == nullptr || order == nullptr || free_slot == nullptr || id_index == nullptr ||
        counted_type == nullptr)
        return -1;
    id_mask = entries - 1;
    alert_table_size = size;
    alert_table_reset();
    return 0;
}

void
alert_table_reset()
{
    if (pool == nullptr && alert_table_init(alert_table_size) != 0)
        die("Unable to allocate the alert table", 1);
    alert_table_generation++;
    last_table_entry = 0;
    alert_counts = {};
    // Slots are taken lowest first, so an emptied table fills the way it first did.
    free_count = alert_table_size;
    for (int i = 0; i < alert_table_size; i++)
        free_slot[i] = alert_table_size - 1 - i;
    memset(id_index, 0, (id_mask + 1) * sizeof(int));
    ack_table_reset();
}

// The count of a state code ('C' critical, 'W' warning, 'I' info, 'A' acknowledged).
static long *
count_of(char kind)
{
    switch (kind) {
    case 'C':
        return &alert_counts.critical;
    case 'W':
        return &alert_counts.warning;
    case 'I':
        return &alert_counts.info;
    case 'A':
        return &alert_counts.acknowledged;
    default:
        return nullptr;
    }
}

// Counts the pool slot under its record's state now, instead of the one it was counted under.
static void
recount(int slot, bool present)
{
    if (long *c = count_of(counted_type[slot]))
        (*c)--;
    char kind = 0;
    const char *rec = pool[slot].data();
    if (present) {
        if (msgtype_is(rec, MSG_CRITICAL))
            kind = 'C';
        else if (msgtype_is(rec, MSG_WARNING))
            kind = 'W';
        else if (msgtype_is(rec, MSG_INFO))
            kind = 'I';
        else if (msgtype_is(rec, MSG_CLEAR))
            kind = 'A';
    }
    counted_type[slot] = kind;
    if (long *c = count_of(kind))
        (*c)++;
}

static bool
same_identity(const char *a, const char *b)
{
    return memcmp(a + OFF_HOSTNAME, b + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
           memcmp(a + OFF_KEY, b + OFF_KEY, LEN_KEY) == 0;
}

static std::size_t
identity_hash(const char *rec)
{
    std::uint64_t h = 14695981039346656037ull;
    for (std::size_t i = 0; i < LEN_HOSTNAME; i++)
        h = (h ^ static_cast<unsigned char>(rec[OFF_HOSTNAME + i])) * 1099511628211ull;
    for (std::size_t i = 0; i < LEN_KEY; i++)
        h = (h ^ static_cast<unsigned char>(rec[OFF_KEY + i])) * 1099511628211ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

// The index entry of the record's identity, or of the empty entry where it would go.
static std::size_t
index_find(const char *rec)
{
    std::size_t k = identity_hash(rec) & id_mask;
    while (id_index[k] != 0 && !same_identity(pool[id_index[k] - 1].data(), rec))
        k = (k + 1) & id_mask;
    return k;
}

static void
index_remove(int slot)
{
    std::size_t k = index_find(pool[slot].data());
    if (id_index[k] != slot + 1)
        return;
    // Backward shift: later entries of the probe run move up, so no run has a hole.
    std::size_t hole = k;
    for (std::size_t j = (k + 1) & id_mask; id_index[j] != 0; j = (j + 1) & id_mask) {
        std::size_t home = identity_hash(pool[id_index[j] - 1].data()) & id_mask;
        if (((j - home) & id_mask) >= ((j - hole) & id_mask)) {
            id_index[hole] = id_index[j];
            hole = j;
        }
    }
    id_index[hole] = 0;
}

// Pool slot of the record's identity, or -1.
static int
slot_of(const char *record)
{
    int e = id_index[index_find(record)];
    return e - 1;
}

char *
alert_find(const char *record)
{
    int slot = slot_of(record);
    return slot < 0 ? nullptr : pool[slot].data();
}

int
alert_lookup(const char *record)
{
    int slot = slot_of(record);
    if (slot < 0)
        return -1;
    for (int i = 0; i < last_table_entry; i++)
        if (order[i] == slot)
            return i;
    return -1;
}

int
alert_table_append(const char *record)
{
    if (last_table_entry >= alert_table_size || free_count == 0)
        return -1;
    alert_table_generation++;
    int slot = free_slot[--free_count];
    memcpy(pool[slot].data(), record, ALERT_RECORD_SIZE);
    counted_type[slot] = 0;
    recount(slot, true);
    std::size_t k = index_find(record);
    if (id_index[k] == 0)
        id_index[k] = slot + 1;
    order[last_table_entry++] = slot;
    return 0;
}

void
alert_add(char *record)
{
    alert_table_generation++;
    record[OFF_PRODUCTID + LEN_PRODUCTID] = '\0';
    record[OFF_HOSTNAME + LEN_HOSTNAME] = '\0';
    record[OFF_KEY + LEN_KEY] = '\0';
    record[OFF_DATETIME + LEN_DATETIME] = '\0';

    int slot = slot_of(record);
    if (slot >= 0) {
        memcpy(pool[slot].data(), record, ALERT_RECORD_SIZE);
        recount(slot, true);
        stats.stored_replaced++;
        return;
    }
    if (last_table_entry >= alert_table_size) {
        // A full table gives up its oldest info alert; without one the alert waits on disk.
        // The count spares a large board the walk when it holds no info alert.
        int io = -1;
        for (int i = 0; alert_counts.info > 0 && i < last_table_entry && io < 0; i++)
            if (msgtype_is(memory_table[i].data(), MSG_INFO))
                io = i;
        if (io < 0) {
            alert_write_to_bufferfile(record);
            return;
        }
        set_msgtype(memory_table[io].data(), MSG_REMOVING);
        stats.info_displaced++;
        alerts_compress();
    }
    if (alert_table_append(record) == 0) {
        stats.stored_new++;
        return;
    }
    myprintf("*ERR: Full memory table and memory table compress failed\n");
    myprintf("*ERR: To avoid server failure server is flushing memory tables\n");
    alert_table_reset();
}

int
alerts_compress()
{
    alert_table_generation++;
    int removed = 0, kept = 0;
    for (int i = 0; i < last_table_entry; i++) {
        int slot = order[i];
        if (msgtype_is(pool[slot].data(), MSG_REMOVING)) {
            recount(slot, false);
            index_remove(slot);
            free_slot[free_count++] = slot;
            removed++;
        } else {
            order[kept++] = slot;
        }
    }
    last_table_entry = kept;
    return removed;
}

// Removes the record at position i alone; the later ones move up by one.
static void
remove_at(int i)
{
    int slot = order[i];
    recount(slot, false);
    index_remove(slot);
    free_slot[free_count++] = slot;
    memmove(order + i, order + i + 1,
            static_cast<std::size_t>(last_table_entry - i - 1) * sizeof(int));
    last_table_entry--;
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
    remove_at(slot);
    return 1;
}

void
alert_acknowledge(char *record, int from_overflow)
{
    alert_table_generation++;
    int unread = alerts_num_buffered();
    int slot = slot_of(record);
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
    char *rec = pool[slot].data();
    ack_plain(rec, from_overflow);
    set_msgtype(rec, MSG_CLEAR);
    rec[OFF_REPLY_WANTED] = '\0';
    recount(slot, true);
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

// Alert memory table: the open alerts, in the order their identities first arrived, and what
// the server keeps of each beside its bytes (times, acknowledgement).
//
// The records stay in the slot where they were stored (pool); the table order is an array of
// slot numbers. A removal leaves a gap there, closed all at once when positions are next read
// or the array is full, so that clearing alerts one by one costs no walk of a large board. An
// identity index (open addressing over hostname and key) finds a record without a scan, and
// an index of the expiries (a binary heap over slots) finds the next one without a walk.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "server/server.h"

int alert_table_size = MAX_ALERTS;
const alert_order memory_table{};
int last_table_entry = 0;
unsigned alert_table_generation = 0;
table_counts alert_counts;

static time_t
system_clock()
{
    return time(nullptr);
}

time_t (*ack_clock)() = system_clock;

static alert_record *pool;          // alert_table_size records, in no order
static alert_meta *meta;            // beside each pool slot
static alert_ack *acks;             // beside each pool slot, while its record is "AK"
static int *order;                  // pool slot of each position, -1 for a gap; order_end used
static int order_end;               // last_table_entry plus the gaps
static int order_cap;               // alert_table_size and room for a quarter as many gaps
static int *position;               // each slot's index in order
static int *free_slot;              // pool slots not in use, free_count of them
static int free_count;
static char *counted_type;          // the count each pool slot is counted under
static int *id_index;               // pool slot + 1 by identity hash; 0 is an empty entry
static std::size_t id_mask;         // entries in id_index, less one (a power of two)
static int *expiry_heap;            // pool slots with an expiring ack, earliest first
static int *heap_at;                // each slot's place in expiry_heap, -1 when not there
static int heap_count;
static table_change *changes;       // since the journal last took them
static int change_count;
static bool changes_lost;           // too many, or a reset: the whole board is needed

static const char FALLBACK_SEVERITY[] = "AC";   // an ack whose severity was never known

// Closes the gaps removals left in the order, so that positions count from 0 again.
static void
pack_order()
{
    int kept = 0;
    for (int i = 0; i < order_end; i++)
        if (order[i] >= 0) {
            position[order[i]] = kept;
            order[kept++] = order[i];
        }
    order_end = kept;
}

static void
packed()
{
    if (order_end != last_table_entry)
        pack_order();
}

const alert_record &
alert_order::operator[](std::ptrdiff_t i) const
{
    packed();
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
    free(meta);
    free(acks);
    free(order);
    free(position);
    free(free_slot);
    free(id_index);
    free(counted_type);
    free(expiry_heap);
    free(heap_at);
    free(changes);
    std::size_t n = static_cast<std::size_t>(size);
    pool = static_cast<alert_record *>(calloc(n, sizeof(alert_record)));
    meta = static_cast<alert_meta *>(calloc(n, sizeof(alert_meta)));
    acks = static_cast<alert_ack *>(calloc(n, sizeof(alert_ack)));
    order_cap = size + size / 4 + 1;
    order = static_cast<int *>(calloc(static_cast<std::size_t>(order_cap), sizeof(int)));
    position = static_cast<int *>(calloc(n, sizeof(int)));
    free_slot = static_cast<int *>(calloc(n, sizeof(int)));
    id_index = static_cast<int *>(calloc(entries, sizeof(int)));
    counted_type = static_cast<char *>(calloc(n, 1));
    expiry_heap = static_cast<int *>(calloc(n, sizeof(int)));
    heap_at = static_cast<int *>(calloc(n, sizeof(int)));
    changes = static_cast<table_change *>(calloc(MAX_TABLE_CHANGES, sizeof(table_change)));
    if (changes == nullptr || pool == nullptr || meta == nullptr || acks == nullptr ||
        order == nullptr || position == nullptr || free_slot == nullptr || id_index == nullptr ||
        counted_type == nullptr || expiry_heap == nullptr || heap_at == nullptr)
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
    last_table_entry = order_end = 0;
    alert_counts = {};
    // Slots are taken lowest first, so an emptied table fills the way it first did.
    free_count = alert_table_size;
    for (int i = 0; i < alert_table_size; i++) {
        free_slot[i] = alert_table_size - 1 - i;
        heap_at[i] = -1;
        counted_type[i] = 0;
    }
    heap_count = 0;
    memset(id_index, 0, (id_mask + 1) * sizeof(int));
    changes_lost = true;
}

// Notes a change of the record's alert for the journal.
static void
note_change(char kind, const char *rec)
{
    // Once lost, the whole board is written next: the changes are not needed (nor written
    // at all without a journal, whose first write takes them).
    if (changes_lost)
        return;
    if (change_count >= MAX_TABLE_CHANGES) {
        changes_lost = true;
        return;
    }
    table_change &c = changes[change_count++];
    c.kind = kind;
    memcpy(c.id, rec + OFF_HOSTNAME, LEN_HOSTNAME);
    memcpy(c.id + LEN_HOSTNAME, rec + OFF_KEY, LEN_KEY);
}

int
alert_changes(const table_change **out)
{
    *out = changes;
    return changes_lost ? -1 : change_count;
}

void
alert_changes_taken()
{
    change_count = 0;
    changes_lost = false;
}

// ---- Counts by state ----

// The count of a code: 'C', 'W', 'I' for raised alerts, 'c', 'w', 'i' for acknowledged ones
// by the severity they had.
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
    case 'c':
        return &alert_counts.acked_critical;
    case 'w':
        return &alert_counts.acked_warning;
    case 'i':
        return &alert_counts.acked_info;
    default:
        return nullptr;
    }
}

static char
kind_of(std::string_view code)
{
    if (code == MSG_CRITICAL)
        return 'C';
    if (code == MSG_WARNING)
        return 'W';
    if (code == MSG_INFO)
        return 'I';
    return 0;
}

// Counts the pool slot under its record's state now, instead of the one it was counted under.
static void
recount(int slot, bool present)
{
    char old = counted_type[slot];
    if (long *c = count_of(old))
        (*c)--;
    if (old >= 'a')
        alert_counts.acknowledged--;
    char kind = 0;
    const char *rec = pool[slot].data();
    if (present) {
        if (msgtype_is(rec, MSG_CLEAR)) {
            char k = kind_of(std::string_view(acks[slot].severity, LEN_MSGTYPE));
            kind = static_cast<char>((k != 0 ? k : 'C') - 'A' + 'a');
            alert_counts.acknowledged++;
        } else {
            kind = kind_of(std::string_view(rec + OFF_MSGTYPE, LEN_MSGTYPE));
        }
    }
    counted_type[slot] = kind;
    if (long *c = count_of(kind))
        (*c)++;
}

// ---- The expiry index: a binary heap of slots by ack.until ----

static bool
expires_before(int a, int b)
{
    return acks[a].until < acks[b].until;
}

static void
heap_swap(int i, int j)
{
    int a = expiry_heap[i], b = expiry_heap[j];
    expiry_heap[i] = b;
    expiry_heap[j] = a;
    heap_at[b] = i;
    heap_at[a] = j;
}

static void
heap_fix(int i)
{
    while (i > 0 && expires_before(expiry_heap[i], expiry_heap[(i - 1) / 2])) {
        heap_swap(i, (i - 1) / 2);
        i = (i - 1) / 2;
    }
    for (;;) {
        int l = 2 * i + 1, r = l + 1, m = i;
        if (l < heap_count && expires_before(expiry_heap[l], expiry_heap[m]))
            m = l;
        if (r < heap_count && expires_before(expiry_heap[r], expiry_heap[m]))
            m = r;
        if (m == i)
            return;
        heap_swap(i, m);
        i = m;
    }
}

static void
heap_remove(int slot)
{
    int i = heap_at[slot];
    if (i < 0)
        return;
    heap_at[slot] = -1;
    heap_count--;
    if (i == heap_count)
        return;
    expiry_heap[i] = expiry_heap[heap_count];
    heap_at[expiry_heap[i]] = i;
    heap_fix(i);
}

// Puts the slot in the index when its record is acknowledged with an expiry, else out.
static void
heap_update(int slot)
{
    bool expiring = msgtype_is(pool[slot].data(), MSG_CLEAR) && acks[slot].until != 0;
    if (!expiring) {
        heap_remove(slot);
        return;
    }
    if (heap_at[slot] < 0) {
        expiry_heap[heap_count] = slot;
        heap_at[slot] = heap_count++;
    }
    heap_fix(heap_at[slot]);
}

const char *
alert_next_expiry(time_t *until)
{
    if (heap_count == 0)
        return nullptr;
    int slot = expiry_heap[0];
    *until = acks[slot].until;
    return pool[slot].data();
}

// ---- The identity index ----

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

// Pool slot of a record that lies in the pool.
static int
slot_of_stored(const char *stored)
{
    return static_cast<int>((stored - pool[0].data()) / static_cast<std::ptrdiff_t>(
                                                          ALERT_RECORD_SIZE));
}

const char *
alert_find(const char *record)
{
    int slot = slot_of(record);
    return slot < 0 ? nullptr : pool[slot].data();
}

const alert_meta *
alert_meta_of(const char *stored)
{
    return &meta[slot_of_stored(stored)];
}

const alert_ack *
alert_ack_of(const char *stored)
{
    return &acks[slot_of_stored(stored)];
}

int
alert_lookup(const char *record)
{
    int slot = slot_of(record);
    if (slot < 0)
        return -1;
    packed();
    return position[slot];
}

// ---- Changes ----

void
alert_log_fact(const char *what, const char *rec, std::string_view type, const char *tail)
{
    myprintf("AINF: %s %.*s %.*s %.*s%s\n", what, static_cast<int>(LEN_HOSTNAME),
             rec + OFF_HOSTNAME, static_cast<int>(LEN_KEY), rec + OFF_KEY,
             print_len(type), type.data(), tail);
}

void
alert_set_state(const char *stored, std::string_view code, const alert_ack *ack)
{
    int slot = slot_of_stored(stored);
    char *rec = pool[slot].data();
    alert_table_generation++;
    if (code == MSG_CLEAR) {
        alert_ack &a = acks[slot];
        if (ack != nullptr) {
            a = *ack;
        } else if (!msgtype_is(rec, MSG_CLEAR)) {
            // Acknowledged without an ack of its own (who unknown, left empty).
            a = alert_ack{};
            memcpy(a.severity, FALLBACK_SEVERITY, LEN_MSGTYPE);
        }
        rec[OFF_REPLY_WANTED] = '\0';
    }
    set_msgtype(rec, code);
    meta[slot].last_change = ack_clock();
    recount(slot, true);
    heap_update(slot);
    note_change('P', rec);
}

int
alert_table_append(const char *record)
{
    if (last_table_entry >= alert_table_size || free_count == 0)
        return -1;
    alert_table_generation++;
    int slot = free_slot[--free_count];
    memcpy(pool[slot].data(), record, ALERT_RECORD_SIZE);
    time_t now = ack_clock();
    meta[slot] = alert_meta{};
    meta[slot].first_seen = meta[slot].last_change = now;
    if (msgtype_is(record, MSG_CLEAR)) {
        acks[slot] = alert_ack{};
        // Acknowledged with no ack known (a saved table of an older server): who stays
        // empty, and the severity, never known, is taken as critical.
        memcpy(acks[slot].severity, FALLBACK_SEVERITY, LEN_MSGTYPE);
    }
    counted_type[slot] = 0;
    recount(slot, true);
    heap_at[slot] = -1;
    std::size_t k = index_find(record);
    if (id_index[k] == 0)
        id_index[k] = slot + 1;
    if (order_end == order_cap)
        pack_order();
    position[slot] = order_end;
    order[order_end++] = slot;
    last_table_entry++;
    note_change('P', record);
    return 0;
}

// Takes a pool slot out of the table's counts and indexes and frees it.
static void
release_slot(int slot)
{
    recount(slot, false);
    heap_remove(slot);
    index_remove(slot);
    free_slot[free_count++] = slot;
    note_change('D', pool[slot].data());
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
        // A raise ends an acknowledgement: the record is what the sender sent now.
        memcpy(pool[slot].data(), record, ALERT_RECORD_SIZE);
        meta[slot].last_change = ack_clock();
        recount(slot, true);
        heap_update(slot);
        note_change('P', record);
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
            if (alert_write_to_bufferfile(record) == 0)
                alert_log_fact("Spilled", record, std::string_view(record + OFF_MSGTYPE, 2),
                               " to evt_buffer.dat");
            return;
        }
        char *gone = pool[order[io]].data();
        alert_log_fact("Displaced", gone, MSG_INFO, " for a new alert");
        set_msgtype(gone, MSG_REMOVING);
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
    packed();
    int removed = 0, kept = 0;
    for (int i = 0; i < last_table_entry; i++) {
        int slot = order[i];
        if (msgtype_is(pool[slot].data(), MSG_REMOVING)) {
            release_slot(slot);
            removed++;
        } else {
            position[slot] = kept;
            order[kept++] = slot;
        }
    }
    last_table_entry = order_end = kept;
    return removed;
}

int
alert_remove_through(int last)
{
    if (last < 0 || last >= last_table_entry)
        return 0;
    packed();
    for (int i = 0; i <= last; i++)
        set_msgtype(pool[order[i]].data(), MSG_REMOVING);
    return alerts_compress();
}

// Removes the record of a pool slot alone; the later ones move up by one (once the gap it
// leaves is closed).
static void
remove_slot(int slot)
{
    alert_table_generation++;
    order[position[slot]] = -1;
    release_slot(slot);
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
    int slot = slot_of(record);
    if (slot < 0) {
        if (defer_behind_buffered(record, unread, from_overflow))
            return 0;
        std::string_view host = alert_field_text(record, OFF_HOSTNAME);
        myprintf("WARN: message not found to delete, requested from %.*s\n",
                 print_len(host), host.data());
        return 0;
    }
    remove_slot(slot);
    return 1;
}

// Used by ack.cc's alert_acknowledge for the same deferral as a delete.
bool
alert_defer_missing(char *record, int from_overflow)
{
    return defer_behind_buffered(record, alerts_num_buffered(), from_overflow);
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
    packed();
    for (int i = 0; i < last_table_entry; i++) {
        char *rec = pool[order[i]].data();
        if (memcmp(rec + OFF_HOSTNAME, record + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
            (!host_waits || overflow_waiting(rec) == 0))
            set_msgtype(rec, MSG_REMOVING);
    }
    // Appended after the marking: once it waits, it counts for every alert of the host.
    if (alerts_num_buffered() > 0 && !from_overflow)
        alert_write_to_bufferfile(record);
    alerts_compress();
}

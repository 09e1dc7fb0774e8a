// Acknowledgements with who, when, a note and an expiry, kept beside the alert table and
// checked against it whenever one is read.
#include "server/ack.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "server/server.h"

static time_t
system_clock()
{
    return time(nullptr);
}

time_t (*ack_clock)() = system_clock;

static ack_entry *acks = nullptr;
static int ack_capacity = 0;
// The earliest expiry among the entries, 0 when none; recomputed when it is reached.
static time_t next_expiry = 0;
static char peer_who[LEN_ACK_WHO + 1] = "overflow";

static const char FALLBACK_SEVERITY[] = "AC";   // an ack whose severity was never known

// ---- The saved form: one 234-byte record per ack ----
static constexpr std::size_t AR_HOST = 15, AR_KEY = AR_HOST + LEN_HOSTNAME;
static constexpr std::size_t AR_SEVERITY = AR_KEY + LEN_KEY;
static constexpr std::size_t AR_WHO = AR_SEVERITY + LEN_MSGTYPE;
static constexpr std::size_t AR_SINCE = AR_WHO + LEN_ACK_WHO, AR_TIME_LEN = 12;
static constexpr std::size_t AR_UNTIL = AR_SINCE + AR_TIME_LEN;
static constexpr std::size_t AR_NOTE = AR_UNTIL + AR_TIME_LEN;
static_assert(AR_HOST > ACK_RECORD_PRODUCTID.size());
static_assert(AR_NOTE + LEN_ACK_NOTE < OFF_ALERT_NEWLINE);

int
ack_table_init(int capacity)
{
    if (acks != nullptr && capacity <= ack_capacity)
        return 0;
    auto *table = static_cast<ack_entry *>(calloc(static_cast<std::size_t>(capacity),
                                                  sizeof(ack_entry)));
    if (table == nullptr)
        return -1;
    free(acks);
    acks = table;
    ack_capacity = capacity;
    next_expiry = 0;
    return 0;
}

void
ack_table_reset()
{
    if (acks == nullptr && ack_table_init(MAX_ALERTS) != 0)
        return;
    for (int i = 0; i < ack_capacity; i++)
        acks[i].used = false;
    next_expiry = 0;
}

void
ack_set_peer(const char *peer_address)
{
    if (peer_address == nullptr) {
        snprintf(peer_who, sizeof peer_who, "%s", "overflow");
        return;
    }
    // The address without its port: "a.b.c.d:port" or "[addr]:port".
    std::string_view p = peer_address;
    if (!p.empty() && p[0] == '[') {
        std::size_t end = p.find(']');
        p = p.substr(1, end == std::string_view::npos ? p.size() - 1 : end - 1);
    } else if (std::size_t colon = p.rfind(':'); colon != std::string_view::npos &&
                                                  p.find(':') == colon) {
        p = p.substr(0, colon);
    }
    if (p.empty())
        p = "unknown";
    snprintf(peer_who, sizeof peer_who, "%.*s", static_cast<int>(p.size()), p.data());
}

static bool
same_identity(const ack_entry &e, const char *rec)
{
    return memcmp(e.host, rec + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
           memcmp(e.key, rec + OFF_KEY, LEN_KEY) == 0;
}

// The stored record of the entry's identity while it is acknowledged, or nullptr.
static char *
acknowledged_record(const ack_entry &e)
{
    char probe[ALERT_RECORD_SIZE] = {};
    memcpy(probe + OFF_HOSTNAME, e.host, LEN_HOSTNAME);
    memcpy(probe + OFF_KEY, e.key, LEN_KEY);
    char *rec = alert_find(probe);
    return rec != nullptr && msgtype_is(rec, MSG_CLEAR) ? rec : nullptr;
}

static ack_entry *
entry_of(const char *rec)
{
    for (int i = 0; i < ack_capacity; i++)
        if (acks[i].used && same_identity(acks[i], rec))
            return &acks[i];
    return nullptr;
}

const ack_entry *
ack_find(const char *rec)
{
    ack_entry *e = entry_of(rec);
    return e != nullptr && acknowledged_record(*e) != nullptr ? e : nullptr;
}

// The entry for rec's identity: its own, a free one, or one that no longer counts. nullptr
// only when more alerts are acknowledged than the table holds, which cannot happen.
static ack_entry *
take_entry(const char *rec)
{
    if (ack_entry *e = entry_of(rec))
        return e;
    for (int i = 0; i < ack_capacity; i++)
        if (!acks[i].used)
            return &acks[i];
    for (int i = 0; i < ack_capacity; i++)
        if (acknowledged_record(acks[i]) == nullptr)
            return &acks[i];
    return nullptr;
}

// Formats t as local "YYYYMMDD HH:MM:SS", or "never" for 0.
static void
format_time(time_t t, char *out, std::size_t size)
{
    struct tm tm;
    if (t == 0 || localtime_r(&t, &tm) == nullptr ||
        strftime(out, size, "%Y%m%d %H:%M:%S", &tm) == 0)
        snprintf(out, size, "%s", "never");
}

static void
log_acknowledged(const ack_entry &e)
{
    char until[32];
    format_time(e.until, until, sizeof until);
    myprintf("AINF: Acknowledged %.*s %.*s %.2s by %s until %s: %s\n",
             static_cast<int>(LEN_HOSTNAME), e.host, static_cast<int>(LEN_KEY), e.key,
             e.severity, e.who, until, e.note);
}

static void
set_expiry(time_t until)
{
    if (until != 0 && (next_expiry == 0 || until < next_expiry))
        next_expiry = until;
}

// Fills the entry for the stored record rec, which is about to become "AK".
static ack_entry *
fill_entry(const char *rec, const char *who, const char *note, time_t until)
{
    ack_entry *e = take_entry(rec);
    if (e == nullptr)
        return nullptr;
    // The severity before the ack: the record's own, or the one an earlier ack noted.
    const char *severity = FALLBACK_SEVERITY;
    if (!msgtype_is(rec, MSG_CLEAR))
        severity = rec + OFF_MSGTYPE;
    else if (e->used && acknowledged_record(*e) != nullptr)
        severity = e->severity;
    memmove(e->severity, severity, LEN_MSGTYPE);
    memcpy(e->host, rec + OFF_HOSTNAME, LEN_HOSTNAME);
    memcpy(e->key, rec + OFF_KEY, LEN_KEY);
    snprintf(e->who, sizeof e->who, "%s", who);
    snprintf(e->note, sizeof e->note, "%s", note);
    e->since = ack_clock();
    e->until = until;
    e->used = true;
    set_expiry(until);
    return e;
}

void
ack_plain(const char *rec, int from_overflow)
{
    if (msgtype_is(rec, MSG_CLEAR) && ack_find(rec) != nullptr)
        return;
    if (const ack_entry *e = fill_entry(rec, from_overflow ? "overflow" : peer_who, "", 0))
        log_acknowledged(*e);
}

// Copies a text field of at most width bytes (up to a zero byte) to out, each byte that
// cannot stand in a log line replaced: by '_' in a name (no spaces either), by a space in a
// note. Returns the length.
static std::size_t
clean_text(const char *field, std::size_t width, char *out, bool name)
{
    std::size_t n = strnlen(field, width);
    for (std::size_t i = 0; i < n; i++) {
        auto c = static_cast<unsigned char>(field[i]);
        bool bad = c < 0x20 || c == 0x7f || (name && c == ' ');
        out[i] = bad ? (name ? '_' : ' ') : static_cast<char>(c);
    }
    out[n] = '\0';
    return n;
}

// The operator named in the request's reserved bytes (trailing blanks dropped), or the peer.
static void
request_who(const char *request, char *who)
{
    char raw[LEN_ACK_WHO + 1];
    memcpy(raw, request + OFF_ACK_WHO, LEN_ACK_WHO);
    raw[LEN_ACK_WHO] = '\0';
    std::size_t n = strlen(raw);
    while (n > 0 && raw[n - 1] == ' ')
        raw[--n] = '\0';
    if (clean_text(raw, LEN_ACK_WHO, who, true) == 0)
        snprintf(who, LEN_ACK_WHO + 1, "%s", peer_who);
}

static const char *
not_found(const char *request, const char *what)
{
    std::string_view host = alert_field_text(request, OFF_HOSTNAME);
    std::string_view key = alert_field_text(request, OFF_KEY);
    myprintf("WARN: message not found to %s, requested from '%.*s', key '%.*s'\n", what,
             print_len(host), host.data(), print_len(key), key.data());
    return "*ERR: Alert no longer exists\n";
}

const char *
ack_console_note(const char *request)
{
    char *rec = alert_find(request);
    if (rec == nullptr)
        return not_found(request, "acknowledge");

    // The expiry: decimal seconds since the epoch, blank or 0 for none.
    time_t until = 0;
    std::size_t i = 0;
    while (i < LEN_ACK_UNTIL && request[OFF_ACK_UNTIL + i] == ' ')
        i++;
    for (; i < LEN_ACK_UNTIL && request[OFF_ACK_UNTIL + i] >= '0' &&
           request[OFF_ACK_UNTIL + i] <= '9'; i++)
        until = until * 10 + (request[OFF_ACK_UNTIL + i] - '0');
    for (; i < LEN_ACK_UNTIL; i++)
        if (request[OFF_ACK_UNTIL + i] != ' ' && request[OFF_ACK_UNTIL + i] != '\0')
            return "*ERR: Acknowledgement expiry is not a time\n";
    if (until != 0 && until <= ack_clock())
        return "*ERR: Acknowledgement expiry has passed\n";

    char who[LEN_ACK_WHO + 1];
    request_who(request, who);
    // The note: msgtext, and when that is full, its continuation in optional_data.
    char note[LEN_ACK_NOTE + 1];
    std::size_t n = clean_text(request + OFF_MSGTEXT, LEN_MSGTEXT, note, false);
    if (n == LEN_MSGTEXT)
        clean_text(request + OFF_OPTIONAL_DATA, LEN_ACK_NOTE_TAIL, note + n, false);

    const ack_entry *e = fill_entry(rec, who, note, until);
    if (e == nullptr)
        return "*ERR: No room for the acknowledgement\n";
    set_msgtype(rec, MSG_CLEAR);
    rec[OFF_REPLY_WANTED] = '\0';
    alert_table_generation++;
    log_acknowledged(*e);
    return nullptr;
}

const char *
ack_console_undo(const char *request)
{
    char *rec = alert_find(request);
    if (rec == nullptr)
        return not_found(request, "unacknowledge");
    if (!msgtype_is(rec, MSG_CLEAR))
        return "*ERR: Alert is not acknowledged\n";
    char who2[LEN_ACK_WHO + 1];
    request_who(request, who2);
    ack_entry *e = entry_of(rec);
    bool known = e != nullptr && acknowledged_record(*e) != nullptr;
    const char *severity = known ? e->severity : FALLBACK_SEVERITY;
    set_msgtype(rec, std::string_view(severity, LEN_MSGTYPE));
    alert_table_generation++;
    std::string_view host = alert_field_text(rec, OFF_HOSTNAME);
    std::string_view key = alert_field_text(rec, OFF_KEY);
    myprintf("AINF: Unacknowledged %.*s %.*s %.2s by %s (acknowledged by %s)\n", print_len(host),
             host.data(), print_len(key), key.data(), severity, who2,
             known ? e->who : "unknown");
    if (e != nullptr)
        e->used = false;
    return nullptr;
}

std::size_t
ack_details(const char *rec, char *text, std::size_t len, std::size_t size)
{
    const ack_entry *e = ack_find(rec);
    if (e == nullptr || len >= size)
        return len;
    char since[32], until[32];
    format_time(e->since, since, sizeof since);
    format_time(e->until, until, sizeof until);
    int n;
    if (e->until != 0)
        n = snprintf(text + len, size - len,
                     "ACK BY: %s\nACK AT: %s (%" PRId64 ")\nACK SEVERITY: %.2s\n"
                     "ACK UNTIL: %s (%" PRId64 ")\nACK NOTE: %s\n",
                     e->who, since, static_cast<int64_t>(e->since), e->severity, until,
                     static_cast<int64_t>(e->until), e->note);
    else
        n = snprintf(text + len, size - len,
                     "ACK BY: %s\nACK AT: %s (%" PRId64 ")\nACK SEVERITY: %.2s\n"
                     "ACK UNTIL: never\nACK NOTE: %s\n",
                     e->who, since, static_cast<int64_t>(e->since), e->severity, e->note);
    if (n < 0)
        return len;
    std::size_t added = static_cast<std::size_t>(n);
    return added < size - len ? len + added : size - 1;
}

long
ack_due_ms()
{
    if (next_expiry == 0)
        return -1;
    time_t now = ack_clock();
    if (next_expiry <= now)
        return 0;
    // To the start of the second of the expiry, by the clock's fraction of a second.
    struct timespec ts;
    long fraction = clock_gettime(CLOCK_REALTIME, &ts) == 0 ? ts.tv_nsec / 1000000 : 0;
    long left = static_cast<long>(next_expiry - now) * 1000 - fraction;
    return left > 0 ? left : 0;
}

void
ack_tick()
{
    time_t now = ack_clock();
    if (next_expiry == 0 || next_expiry > now)
        return;
    next_expiry = 0;
    for (int i = 0; i < ack_capacity; i++) {
        ack_entry &e = acks[i];
        if (!e.used || e.until == 0)
            continue;
        if (e.until > now) {
            set_expiry(e.until);
            continue;
        }
        e.used = false;
        char *rec = acknowledged_record(e);
        if (rec == nullptr)
            continue;       // re-raised or removed since: that ended the ack already
        set_msgtype(rec, std::string_view(e.severity, LEN_MSGTYPE));
        alert_table_generation++;
        myprintf("AINF: Acknowledgement expired %.*s %.*s %.2s by %s\n",
                 static_cast<int>(LEN_HOSTNAME), e.host, static_cast<int>(LEN_KEY), e.key,
                 e.severity, e.who);
    }
}

// ---- The saved table ----

bool
ack_is_record(const char *rec)
{
    return memcmp(rec, ACK_RECORD_PRODUCTID.data(), ACK_RECORD_PRODUCTID.size()) == 0 &&
           rec[ACK_RECORD_PRODUCTID.size()] == '\0';
}

std::size_t
ack_save_records(char *out, std::size_t max)
{
    std::size_t n = 0;
    for (int i = 0; i < ack_capacity && n < max; i++) {
        const ack_entry &e = acks[i];
        if (!e.used || acknowledged_record(e) == nullptr)
            continue;
        char *rec = out + n * ALERT_RECORD_SIZE;
        memset(rec, 0, ALERT_RECORD_SIZE);
        memcpy(rec, ACK_RECORD_PRODUCTID.data(), ACK_RECORD_PRODUCTID.size());
        memcpy(rec + AR_HOST, e.host, LEN_HOSTNAME);
        memcpy(rec + AR_KEY, e.key, LEN_KEY);
        memcpy(rec + AR_SEVERITY, e.severity, LEN_MSGTYPE);
        memcpy(rec + AR_WHO, e.who, strnlen(e.who, LEN_ACK_WHO));
        char num[AR_TIME_LEN + 1];
        snprintf(num, sizeof num, "%012" PRId64, static_cast<int64_t>(e.since));
        memcpy(rec + AR_SINCE, num, AR_TIME_LEN);
        snprintf(num, sizeof num, "%012" PRId64, static_cast<int64_t>(e.until));
        memcpy(rec + AR_UNTIL, num, AR_TIME_LEN);
        memcpy(rec + AR_NOTE, e.note, strnlen(e.note, LEN_ACK_NOTE));
        rec[OFF_ALERT_NEWLINE] = '\n';
        n++;
    }
    return n;
}

// The 12-digit time at p, or -1.
static int64_t
saved_time(const char *p)
{
    int64_t v = 0;
    for (std::size_t i = 0; i < AR_TIME_LEN; i++) {
        if (p[i] < '0' || p[i] > '9')
            return -1;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// True when the n bytes at p are text of the kind clean_text leaves (a name: no blank),
// followed by zero bytes only; with text false, zero bytes only.
static bool
saved_text(const char *p, std::size_t n, bool text, bool name)
{
    std::size_t len = text ? strnlen(p, n) : 0;
    for (std::size_t i = 0; i < len; i++) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x20 || c == 0x7f || (name && c == ' '))
            return false;
    }
    for (std::size_t i = len; i < n; i++)
        if (p[i] != '\0')
            return false;
    return true;
}

bool
ack_record_valid(const char *rec)
{
    constexpr std::size_t PAD = AR_NOTE + LEN_ACK_NOTE;
    std::size_t id_len = ACK_RECORD_PRODUCTID.size();
    std::string_view severity(rec + AR_SEVERITY, LEN_MSGTYPE);
    return ack_is_record(rec) && saved_text(rec + id_len, AR_HOST - id_len, false, false) &&
           (severity == MSG_CRITICAL || severity == MSG_WARNING || severity == MSG_INFO) &&
           saved_text(rec + AR_WHO, LEN_ACK_WHO, true, true) &&
           saved_time(rec + AR_SINCE) >= 0 && saved_time(rec + AR_UNTIL) >= 0 &&
           saved_text(rec + AR_NOTE, LEN_ACK_NOTE, true, false) &&
           saved_text(rec + PAD, OFF_ALERT_NEWLINE - PAD, false, false) &&
           rec[OFF_ALERT_NEWLINE] == '\n';
}

bool
ack_record_of(const char *ack, const char *rec)
{
    return memcmp(ack + AR_HOST, rec + OFF_HOSTNAME, LEN_HOSTNAME) == 0 &&
           memcmp(ack + AR_KEY, rec + OFF_KEY, LEN_KEY) == 0;
}

void
ack_record_identity(const char *ack, char *rec)
{
    memcpy(rec + OFF_HOSTNAME, ack + AR_HOST, LEN_HOSTNAME);
    memcpy(rec + OFF_KEY, ack + AR_KEY, LEN_KEY);
}

int
ack_load_record(const char *rec)
{
    if (!ack_record_valid(rec))
        return -1;
    std::string_view severity(rec + AR_SEVERITY, LEN_MSGTYPE);
    int64_t since = saved_time(rec + AR_SINCE), until = saved_time(rec + AR_UNTIL);
    char probe[ALERT_RECORD_SIZE] = {};
    memcpy(probe + OFF_HOSTNAME, rec + AR_HOST, LEN_HOSTNAME);
    memcpy(probe + OFF_KEY, rec + AR_KEY, LEN_KEY);
    ack_entry *e = take_entry(probe);
    if (e == nullptr)
        return -1;
    memcpy(e->host, rec + AR_HOST, LEN_HOSTNAME);
    memcpy(e->key, rec + AR_KEY, LEN_KEY);
    memcpy(e->severity, severity.data(), LEN_MSGTYPE);
    clean_text(rec + AR_WHO, LEN_ACK_WHO, e->who, true);
    clean_text(rec + AR_NOTE, LEN_ACK_NOTE, e->note, false);
    e->since = static_cast<time_t>(since);
    e->until = static_cast<time_t>(until);
    e->used = true;
    set_expiry(e->until);
    return 0;
}

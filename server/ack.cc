// Acknowledgements with who, when, a note and an expiry: made here, kept with the alert in
// the table, and ended by an un-acknowledge, an expiry, a re-raise or the alert's removal.
#include "server/ack.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "common/fields.h"
#include "server/server.h"

static char peer_who[LEN_ACK_WHO + 1] = "overflow";

// ---- The saved form: one 234-byte record per ack ----
static constexpr std::size_t AR_HOST = 15, AR_KEY = AR_HOST + LEN_HOSTNAME;
static constexpr std::size_t AR_SEVERITY = AR_KEY + LEN_KEY;
static constexpr std::size_t AR_WHO = AR_SEVERITY + LEN_MSGTYPE;
static constexpr std::size_t AR_SINCE = AR_WHO + LEN_ACK_WHO, AR_TIME_LEN = 12;
static constexpr std::size_t AR_UNTIL = AR_SINCE + AR_TIME_LEN;
static constexpr std::size_t AR_NOTE = AR_UNTIL + AR_TIME_LEN;
static_assert(AR_HOST > ACK_RECORD_PRODUCTID.size());
static_assert(AR_NOTE + LEN_ACK_NOTE < OFF_ALERT_NEWLINE);

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
log_acknowledged(const char *rec, const alert_ack &a)
{
    char until[32];
    format_time(a.until, until, sizeof until);
    myprintf("AINF: Acknowledged %.*s %.*s %.2s by %s until %s: %s\n",
             static_cast<int>(LEN_HOSTNAME), rec + OFF_HOSTNAME, static_cast<int>(LEN_KEY),
             rec + OFF_KEY, a.severity, a.who, until, a.note);
}

// A new ack of the stored record rec: its severity is the record's own, or, for an alert
// acknowledged already, the one its ack kept.
static alert_ack
new_ack(const char *rec, const char *who, const char *note, time_t until)
{
    alert_ack a{};
    const char *severity = msgtype_is(rec, MSG_CLEAR) ? alert_ack_of(rec)->severity
                                                      : rec + OFF_MSGTYPE;
    memcpy(a.severity, severity, LEN_MSGTYPE);
    snprintf(a.who, sizeof a.who, "%s", who);
    snprintf(a.note, sizeof a.note, "%s", note);
    a.since = ack_clock();
    a.until = until;
    return a;
}

void
alert_acknowledge(char *record, int from_overflow)
{
    alert_table_generation++;
    const char *rec = alert_find(record);
    if (rec == nullptr) {
        if (alert_defer_missing(record, from_overflow))
            return;
        std::string_view host = alert_field_text(record, OFF_HOSTNAME);
        std::string_view key = alert_field_text(record, OFF_KEY);
        myprintf("WARN: message not found to acknowledge, requested from '%.*s', key '%.*s'\n",
                 print_len(host), host.data(), print_len(key), key.data());
        return;
    }
    // An alert that is acknowledged already keeps its ack as it is.
    if (msgtype_is(rec, MSG_CLEAR))
        return;
    alert_ack a = new_ack(rec, from_overflow ? "overflow" : peer_who, "", 0);
    alert_set_state(rec, MSG_CLEAR, &a);
    log_acknowledged(rec, a);
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

void
ack_request_who(const char *request, char *who)
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

bool
ack_request_until(const char *request, time_t *until)
{
    // Decimal seconds since the epoch after any blanks, then blanks or zero bytes only.
    *until = 0;
    std::size_t i = 0;
    while (i < LEN_ACK_UNTIL && request[OFF_ACK_UNTIL + i] == ' ')
        i++;
    for (; i < LEN_ACK_UNTIL && request[OFF_ACK_UNTIL + i] >= '0' &&
           request[OFF_ACK_UNTIL + i] <= '9'; i++)
        *until = *until * 10 + (request[OFF_ACK_UNTIL + i] - '0');
    for (; i < LEN_ACK_UNTIL; i++)
        if (request[OFF_ACK_UNTIL + i] != ' ' && request[OFF_ACK_UNTIL + i] != '\0') {
            *until = 0;
            return false;
        }
    return true;
}

const char *
ack_check_expiry(const char *request)
{
    time_t until = 0;
    if (!ack_request_until(request, &until))
        return "*ERR: Acknowledgement expiry is not a time\n";
    if (until != 0 && until <= ack_clock())
        return "*ERR: Acknowledgement expiry has passed\n";
    return nullptr;
}

void
ack_request_note(const char *request, char *note)
{
    // msgtext, and when that is full, its continuation in optional_data.
    std::size_t n = clean_text(request + OFF_MSGTEXT, LEN_MSGTEXT, note, false);
    if (n == LEN_MSGTEXT)
        clean_text(request + OFF_OPTIONAL_DATA, LEN_ACK_NOTE_TAIL, note + n, false);
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
    const char *rec = alert_find(request);
    if (rec == nullptr)
        return not_found(request, "acknowledge");

    if (const char *error = ack_check_expiry(request))
        return error;
    time_t until = 0;
    ack_request_until(request, &until);

    char who[LEN_ACK_WHO + 1];
    ack_request_who(request, who);
    char note[LEN_ACK_NOTE + 1];
    ack_request_note(request, note);

    alert_ack a = new_ack(rec, who, note, until);
    alert_set_state(rec, MSG_CLEAR, &a);
    log_acknowledged(rec, a);
    return nullptr;
}

const char *
ack_console_undo(const char *request)
{
    const char *rec = alert_find(request);
    if (rec == nullptr)
        return not_found(request, "unacknowledge");
    if (!msgtype_is(rec, MSG_CLEAR))
        return "*ERR: Alert is not acknowledged\n";
    char who[LEN_ACK_WHO + 1];
    ack_request_who(request, who);
    alert_ack a = *alert_ack_of(rec);
    if (a.who[0] == '\0')
        snprintf(a.who, sizeof a.who, "%s", "unknown");
    alert_set_state(rec, std::string_view(a.severity, LEN_MSGTYPE), nullptr);
    std::string_view host = alert_field_text(rec, OFF_HOSTNAME);
    std::string_view key = alert_field_text(rec, OFF_KEY);
    myprintf("AINF: Unacknowledged %.*s %.*s %.2s by %s (acknowledged by %s)\n",
             print_len(host), host.data(), print_len(key), key.data(), a.severity, who, a.who);
    return nullptr;
}

// Appends "NAME: " and the text escaped, then a newline, while it fits.
static std::size_t
put_line(char *text, std::size_t len, std::size_t size, const char *name, std::string_view v)
{
    char buf[3 * LEN_ACK_NOTE + 64];
    std::size_t n = strlen(name);
    memcpy(buf, name, n);
    if (v.size() > LEN_ACK_NOTE)
        v = v.substr(0, LEN_ACK_NOTE);
    n += field_escape(buf + n, v);
    buf[n++] = '\n';
    if (len + n >= size)
        return len;
    memcpy(text + len, buf, n);
    text[len + n] = '\0';
    return len + n;
}

std::size_t
ack_details(const char *rec, char *text, std::size_t len, std::size_t size)
{
    if (!msgtype_is(rec, MSG_CLEAR) || len >= size)
        return len;
    const alert_ack &a = *alert_ack_of(rec);
    if (a.who[0] == '\0')
        return len;         // acknowledged, but by whom was never known
    char since[64], until[64], when[32];
    format_time(a.since, when, sizeof when);
    snprintf(since, sizeof since, "%s (%" PRId64 ")", when, static_cast<int64_t>(a.since));
    if (a.until != 0) {
        format_time(a.until, when, sizeof when);
        snprintf(until, sizeof until, "%s (%" PRId64 ")", when, static_cast<int64_t>(a.until));
    } else {
        snprintf(until, sizeof until, "%s", "never");
    }
    len = put_line(text, len, size, "ACK BY: ", a.who);
    len = put_line(text, len, size, "ACK AT: ", since);
    len = put_line(text, len, size, "ACK SEVERITY: ", std::string_view(a.severity, LEN_MSGTYPE));
    len = put_line(text, len, size, "ACK UNTIL: ", until);
    return put_line(text, len, size, "ACK NOTE: ", a.note);
}

long
ack_due_ms()
{
    time_t next = 0;
    if (alert_next_expiry(&next) == nullptr)
        return -1;
    time_t now = ack_clock();
    if (next <= now)
        return 0;
    // To the start of the second of the expiry, by the clock's fraction of a second.
    struct timespec ts;
    long fraction = clock_gettime(CLOCK_REALTIME, &ts) == 0 ? ts.tv_nsec / 1000000 : 0;
    long left = static_cast<long>(next - now) * 1000 - fraction;
    return left > 0 ? left : 0;
}

void
ack_tick()
{
    time_t now = ack_clock();
    time_t until = 0;
    // Each expiry leaves the index as its alert goes back to its severity; bounded by the
    // table, since nothing new expires in between.
    for (int n = 0; n < alert_table_size; n++) {
        const char *rec = alert_next_expiry(&until);
        if (rec == nullptr || until > now)
            return;
        alert_ack a = *alert_ack_of(rec);
        alert_set_state(rec, std::string_view(a.severity, LEN_MSGTYPE), nullptr);
        myprintf("AINF: Acknowledgement expired %.*s %.*s %.2s by %s\n",
                 static_cast<int>(LEN_HOSTNAME), rec + OFF_HOSTNAME, static_cast<int>(LEN_KEY),
                 rec + OFF_KEY, a.severity, a.who);
    }
}

// ---- The saved table ----

bool
ack_is_record(const char *rec)
{
    return memcmp(rec, ACK_RECORD_PRODUCTID.data(), ACK_RECORD_PRODUCTID.size()) == 0 &&
           rec[ACK_RECORD_PRODUCTID.size()] == '\0';
}

void
ack_write_record(const char *rec, const alert_ack &a, char *out)
{
    memset(out, 0, ALERT_RECORD_SIZE);
    memcpy(out, ACK_RECORD_PRODUCTID.data(), ACK_RECORD_PRODUCTID.size());
    memcpy(out + AR_HOST, rec + OFF_HOSTNAME, LEN_HOSTNAME);
    memcpy(out + AR_KEY, rec + OFF_KEY, LEN_KEY);
    memcpy(out + AR_SEVERITY, a.severity, LEN_MSGTYPE);
    memcpy(out + AR_WHO, a.who, strnlen(a.who, LEN_ACK_WHO));
    char num[AR_TIME_LEN + 8];
    snprintf(num, sizeof num, "%012" PRId64, static_cast<int64_t>(a.since));
    memcpy(out + AR_SINCE, num, AR_TIME_LEN);
    snprintf(num, sizeof num, "%012" PRId64, static_cast<int64_t>(a.until));
    memcpy(out + AR_UNTIL, num, AR_TIME_LEN);
    memcpy(out + AR_NOTE, a.note, strnlen(a.note, LEN_ACK_NOTE));
    out[OFF_ALERT_NEWLINE] = '\n';
}

std::size_t
ack_save_records(char *out, std::size_t max)
{
    std::size_t n = 0;
    for (int i = 0; i < last_table_entry && n < max; i++) {
        const char *rec = memory_table[i].data();
        if (!msgtype_is(rec, MSG_CLEAR) || alert_ack_of(rec)->who[0] == '\0')
            continue;
        ack_write_record(rec, *alert_ack_of(rec), out + n * ALERT_RECORD_SIZE);
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
ack_read_record(const char *rec, alert_ack &a)
{
    if (!ack_record_valid(rec))
        return -1;
    a = alert_ack{};
    memcpy(a.severity, rec + AR_SEVERITY, LEN_MSGTYPE);
    clean_text(rec + AR_WHO, LEN_ACK_WHO, a.who, true);
    clean_text(rec + AR_NOTE, LEN_ACK_NOTE, a.note, false);
    a.since = static_cast<time_t>(saved_time(rec + AR_SINCE));
    a.until = static_cast<time_t>(saved_time(rec + AR_UNTIL));
    return 0;
}

int
ack_load_record(const char *rec)
{
    alert_ack a;
    if (ack_read_record(rec, a) != 0)
        return -1;
    char probe[ALERT_RECORD_SIZE] = {};
    ack_record_identity(rec, probe);
    const char *stored = alert_find(probe);
    if (stored == nullptr || !msgtype_is(stored, MSG_CLEAR))
        return -1;
    alert_set_state(stored, MSG_CLEAR, &a);
    return 0;
}

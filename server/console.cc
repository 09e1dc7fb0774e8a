// Console requests: recognising a console by its productid, carrying out its commands on the
// alert table and writing the 4184-byte replies.
#include "server/console.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "common/fields.h"
#include "common/record.h"
#include "server/ack.h"
#include "server/server.h"

bool console_fail_next_alloc = false;

inline constexpr int DEFAULT_CONSOLE_LINES = 23;
inline constexpr int MAX_LINE_LENGTH = 127;
inline constexpr int DATA_TEXT_MAX = static_cast<int>(MAX_DATA_TEXT);   // 4095
inline constexpr int DATA_AREA = static_cast<int>(LEN_DATA);            // 4096

static const char NO_ALERTS_TAIL[] = " --------------- -------------- IO NO ALERTS AT PRESENT\n";

// Reads a decimal number the way atoi does (leading white space, a sign, digits up to the
// first other byte), but never past end and without overflow: a count too large for an int
// reads as INT_MAX, which the callers treat like any other count out of range.
static int
read_number(const char *p, const char *end)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' ||
                       *p == '\r'))
        p++;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    long long v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        if (v <= INT_MAX)
            v = v * 10 + (*p - '0');
        p++;
    }
    if (v > INT_MAX)
        v = INT_MAX;
    return static_cast<int>(negative ? -v : v);
}

int
message_from_console_application(const char *record, int *line_length)
{
    if (memcmp(record + OFF_PRODUCTID, PRODUCT_CONSOLE.data(), PRODUCT_CONSOLE.size()) != 0)
        return 0;
    const char *end = record + ALERT_RECORD_SIZE - 1;
    const char *p = record + OFF_PRODUCTID + PRODUCT_CONSOLE.size();
    if (*p == ' ' || *p == '\t' || *p == '\0' || *p == '\n')
        return DEFAULT_CONSOLE_LINES;

    std::string_view host = alert_field_text(record, OFF_HOSTNAME);
    int n = read_number(p, end);
    if (n == 0) {
        n = DEFAULT_CONSOLE_LINES;
        myprintf("WARN: Illegal # console lines in productid from %.*s, defaulting to 24 lines\n",
                 print_len(host), host.data());
    } else if (n > 2) {
        n--;   // the console's last line is its own, not the listing's
    }

    // The line length follows an underscore only after a two-character line count.
    p += 2;
    if (*p == '_') {
        int len = read_number(p + 1, end);
        if (len < 1 || len > MAX_LINE_LENGTH) {
            len = MAX_LINE_LENGTH;
            myprintf("WARN: Illegal # console linelen in productid from %.*s, defaulting to %d "
                     "lines\n",
                     print_len(host), host.data(), MAX_LINE_LENGTH);
        }
        if (line_length != nullptr)
            *line_length = len;
    }
    return n;
}

// The reply's date stamp, formatted once a second.
static void
reply_datestamp(char *dest)
{
    static time_t last = -1;
    static char stamp[LEN_DATETIME + 1];
    time_t now = time(nullptr);
    if (now != last) {
        set_datestamp(stamp);
        last = now;
    }
    memcpy(dest, stamp, sizeof stamp);
}

// Newlines become '^' in the first len bytes.
static void
nl_to_hat(char *text, std::size_t len)
{
    char *end = text + len;
    while (char *nl = static_cast<char *>(memchr(text, '\n', static_cast<std::size_t>(end - text)))) {
        *nl = '^';
        text = nl + 1;
    }
}

void
send_console_reply(int fd, char *reply, int text_len)
{
    char saved_reply_wanted = reply[OFF_REPLY_WANTED];
    reply[OFF_REPLY_WANTED] = 'N';
    reply_datestamp(reply + OFF_DATETIME);
    number_to_string_with_null(reply + OFF_DATA_LENGTH, text_len, LEN_DATA_LENGTH + 1);
    pad_header_fields(reply);
    reply[OFF_REPLY_NEWLINE] = '\n';
    if (client_reply(fd, reply, CONSOLE_REPLY_SIZE) != 0)
        myprintf("*ERR: Unable to write a response to a client console application\n");
    reply[OFF_REPLY_WANTED] = saved_reply_wanted;
}

// Queues the reply's header and data as one 4184-byte record (reply_wanted 'N' on the wire,
// datetime stamped now, newlines sent as '^').
static void
write_console_reply_buffer(int fd, char *reply)
{
    std::size_t text_len = strnlen(reply + OFF_DATA, MAX_DATA_TEXT);
    nl_to_hat(reply + OFF_DATA, text_len);
    send_console_reply(fd, reply, static_cast<int>(text_len));
}

// Empties the data area and sets data_length to "0000".
static void
clear_reply_data(char *reply)
{
    zero_data_field(reply + OFF_DATA, DATA_AREA);
    number_to_string_with_null(reply + OFF_DATA_LENGTH, 0, LEN_DATA_LENGTH + 1);
}

// Appends to a listing line while it has room, counting what a whole line would take.
struct listing_line {
    char *p;
    std::size_t cap;            // characters that fit before the newline
    std::size_t len = 0;
    std::size_t whole = 0;

    void put(const char *s, std::size_t n)
    {
        whole += n;
        if (n > cap - len)
            n = cap - len;
        memcpy(p + len, s, n);
        len += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
};

// The listing text of the first lines alerts of the table, lines cut to line_length, as the
// replies carry it ('^' for newline), and where each reply's part ends. It is rebuilt only when
// the table or the asked geometry changed.
inline constexpr int MAX_LISTING_PARTS = 4;
// Lines of the longest listing: as many as the parts hold at the longest line length. A
// larger table is seen whole through the board request.
inline constexpr int MAX_LISTING_LINES = 128;
static_assert(MAX_LISTING_LINES * MAX_LINE_LENGTH <= MAX_LISTING_PARTS * DATA_TEXT_MAX);
static struct {
    bool valid = false;
    unsigned generation = 0;
    int entries = 0;
    int lines = 0;
    int line_length = 0;
    int parts = 0;
    std::size_t part_end[MAX_LISTING_PARTS];
    char text[MAX_LISTING_LINES * MAX_LINE_LENGTH];
} listing;

static void
build_listing(int lines, int line_length)
{
    listing.valid = true;
    listing.generation = alert_table_generation;
    listing.entries = last_table_entry;
    listing.lines = lines;
    listing.line_length = line_length;
    listing.parts = 0;
    std::size_t len = 0, part_start = 0;
    for (int i = 0; i < lines; i++) {
        const char *rec = memory_table[i].data();
        char *line = listing.text + len;
        listing_line b{line, static_cast<std::size_t>(line_length - 1)};
        b.put(alert_field_text(rec, OFF_DATETIME));
        b.put(" ", 1);
        b.put(alert_field_text(rec, OFF_HOSTNAME));
        b.put(" ", 1);
        b.put(alert_field_text(rec, OFF_KEY));
        b.put(" ", 1);
        b.put(rec + OFF_MSGTYPE, 2);
        b.put(" ", 1);
        b.put(alert_field_text(rec, OFF_MSGTEXT));
        b.put("\n", 1);
        // Too long for the console: keep what fits and end it with its newline.
        std::size_t n = b.len;
        if (b.whole > b.cap) {
            line[b.cap] = '\n';
            n = b.cap + 1;
        }
        // A line that would pass the 4095 characters of a reply starts the next one.
        if (len + n - part_start > MAX_DATA_TEXT && listing.parts < MAX_LISTING_PARTS - 1) {
            listing.part_end[listing.parts++] = len;
            part_start = len;
        }
        len += n;
    }
    listing.part_end[listing.parts++] = len;
    nl_to_hat(listing.text, len);
}

// Writes the listing of the table: every full reply as "DF" on the way; the caller writes the
// last one, which this leaves as "DB".
static void
console_refresh_me(int fd, char *reply)
{
    int line_length = MAX_LINE_LENGTH;
    int n = message_from_console_application(reply, &line_length);
    if (n > last_table_entry)
        n = last_table_entry;
    if (n > MAX_LISTING_LINES)
        n = MAX_LISTING_LINES;
    if (line_length > MAX_LINE_LENGTH)
        line_length = MAX_LINE_LENGTH;

    if (last_table_entry == 0) {
        char stamp[LEN_DATETIME + 1];
        set_datestamp(stamp);
        snprintf(reply + OFF_DATA, LEN_DATA, "%s%s", stamp, NO_ALERTS_TAIL);
        set_msgtype(reply, REPLY_LIST_LAST);
        return;
    }
    if (!listing.valid || listing.generation != alert_table_generation ||
        listing.entries != last_table_entry || listing.lines != n ||
        listing.line_length != line_length)
        build_listing(n, line_length);

    std::size_t start = 0;
    for (int i = 0; i < listing.parts; i++) {
        std::size_t len = listing.part_end[i] - start;
        memcpy(reply + OFF_DATA, listing.text + start, len);
        reply[OFF_DATA + len] = '\0';
        start = listing.part_end[i];
        if (i + 1 < listing.parts) {
            set_msgtype(reply, REPLY_LIST_MORE);
            send_console_reply(fd, reply, static_cast<int>(len));
            clear_reply_data(reply);
        }
    }
    set_msgtype(reply, REPLY_LIST_LAST);
}

// Writes the details text of the record into the reply, each field escaped as in a listing
// row, so that no text can forge a line of the details.
static void
details_text(char *reply, const char *rec)
{
    // Room for each field escaped, also one that runs on to the end of the record.
    char host[3 * alert_field_text_max(OFF_HOSTNAME)], when[3 * alert_field_text_max(OFF_DATETIME)];
    char key[3 * alert_field_text_max(OFF_KEY)], text[3 * alert_field_text_max(OFF_MSGTEXT)];
    char optional[3 * alert_field_text_max(OFF_OPTIONAL_DATA)], type[3 * LEN_MSGTYPE];
    std::size_t host_n = field_escape(host, alert_field_text(rec, OFF_HOSTNAME));
    std::size_t when_n = field_escape(when, alert_field_text(rec, OFF_DATETIME));
    std::size_t key_n = field_escape(key, alert_field_text(rec, OFF_KEY));
    std::size_t text_n = field_escape(text, alert_field_text(rec, OFF_MSGTEXT));
    std::size_t opt_n = field_escape(optional, alert_field_text(rec, OFF_OPTIONAL_DATA));
    std::size_t type_n = field_escape(type, std::string_view(rec + OFF_MSGTYPE, LEN_MSGTYPE));
    // A short record leaves its flag a zero byte, which would end the text there: it shows
    // as a blank, and a byte that needs escaping as a '.'.
    char persistent = rec[OFF_PERSISTENT] != '\0' ? rec[OFF_PERSISTENT] : ' ';
    auto pc = static_cast<unsigned char>(persistent);
    if (pc < 0x20 || pc >= 0x7f || persistent == '%' || persistent == '^')
        persistent = '.';
    snprintf(reply + OFF_DATA, LEN_DATA,
             "HOST: %.*s   DATETIME: %.*s\nKEY: %.*s\nMSGTYPE %.*s     PERSISTENT %c\n"
             "MSGTEXT: %.*s\nOPTIONAL DATA: %.*s\n",
             static_cast<int>(host_n), host, static_cast<int>(when_n), when,
             static_cast<int>(key_n), key, static_cast<int>(type_n), type, persistent,
             static_cast<int>(text_n), text, static_cast<int>(opt_n), optional);
}

// Fills the reply with the details of the alert that its hostname and key name: from the
// board, or from its waiting raise in the overflow file; else the not-found error.
static void
console_get_details(char *reply, bool with_ack)
{
    const char *rec = alert_find(reply);
    char waiting[ALERT_RECORD_SIZE];
    if (rec == nullptr && overflow_waiting_raise(reply, waiting) == 0)
        rec = waiting;
    if (rec == nullptr) {
        set_msgtype(reply, REPLY_ERROR);
        snprintf(reply + OFF_DATA, LEN_DATA, "%s", "*ERR: Alert no longer exists\n");
        return;
    }
    details_text(reply, rec);
    set_msgtype(reply, REPLY_DETAILS);
    if (with_ack && rec != waiting)
        ack_details(rec, reply + OFF_DATA, strnlen(reply + OFF_DATA, MAX_DATA_TEXT), LEN_DATA);
}

// Puts a console command's outcome into the reply: "--", or "DE" with the error text.
static void
console_done(char *reply, const char *error)
{
    if (error == nullptr) {
        set_msgtype(reply, MSG_REPLY_DONE);
        return;
    }
    set_msgtype(reply, REPLY_ERROR);
    snprintf(reply + OFF_DATA, LEN_DATA, "%s", error);
}

// Moves records back from the overflow file after the table lost some.
static void
refill_from_overflow()
{
    alert_retrieve_from_overflow();
    alert_check_overflow_file();
}

// The "Deleted" fact of a stored record about to go, by who, with the note of the request.
static void
log_deleted(const char *rec, const char *who, const char *request)
{
    char note[LEN_ACK_NOTE + 1];
    ack_request_note(request, note);
    char tail[LEN_ACK_WHO + LEN_ACK_NOTE + 16];
    snprintf(tail, sizeof tail, " by %s: %s", who, note);
    alert_log_fact("Deleted", rec, std::string_view(rec + OFF_MSGTYPE, LEN_MSGTYPE), tail);
}

// "KK": deletes every alert from slot 0 through the one the request names.
static void
alert_deletelist(const char *request)
{
    if (last_table_entry == 0)
        return;
    int last = alert_lookup(request);
    if (last < 0)
        return;
    char who[LEN_ACK_WHO + 1];
    ack_request_who(request, who);
    for (int i = 0; i <= last; i++) {
        const char *rec = memory_table[i].data();
        std::string_view host = alert_field_text(rec, OFF_HOSTNAME);
        std::string_view key = alert_field_text(rec, OFF_KEY);
        myprintf("AINF: Manual delete of %.*s %.*s (CONSOLE KK)\n", print_len(host), host.data(),
                 print_len(key), key.data());
        log_deleted(rec, who, request);
    }
    int removed = alert_remove_through(last);
    myprintf("AINF: %d alerts KK deleted, %d recovered by compress\n", last + 1, removed);
    if (removed > 0)
        refill_from_overflow();
}

// "AD": the alert goes, with the line that says by whom.
static void
console_delete(char *request, int from_overflow)
{
    if (const char *rec = alert_find(request)) {
        char who[LEN_ACK_WHO + 1];
        ack_request_who(request, who);
        log_deleted(rec, who, request);
    }
    if (alert_delete(request, from_overflow) > 0)
        refill_from_overflow();
}

// A console action on an alert for which earlier requests wait in the overflow file (its
// raise, a clear, a clear-all of its host): it waits behind them, stored as "CONSOLE" with
// who resolved now, and takes effect when it is read back. A plain acknowledge is stored as
// an "AN" without note or expiry. Returns false when nothing waits (act now); else true, with
// error set when it could not be stored.
static bool
console_defer(const char *request, std::string_view code, const char *action,
              const char **error)
{
    *error = nullptr;
    if (overflow_waiting(request) == 0)
        return false;
    char rec[ALERT_RECORD_SIZE];
    memcpy(rec, request, ALERT_RECORD_SIZE);
    memset(rec + OFF_PRODUCTID, ' ', LEN_PRODUCTID);
    memcpy(rec + OFF_PRODUCTID, PRODUCT_CONSOLE.data(), PRODUCT_CONSOLE.size());
    rec[OFF_PRODUCTID + LEN_PRODUCTID] = '\0';
    char who[LEN_ACK_WHO + 1];
    ack_request_who(request, who);
    memset(rec + OFF_ACK_WHO, 0, LEN_ACK_WHO);
    memcpy(rec + OFF_ACK_WHO, who, strnlen(who, LEN_ACK_WHO));
    if (!msgtype_is(request, code)) {
        // A plain acknowledge: no expiry, no note.
        memset(rec + OFF_ACK_UNTIL, ' ', LEN_ACK_UNTIL);
        zero_data_field(rec + OFF_MSGTEXT, LEN_MSGTEXT);
        zero_data_field(rec + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA);
        number_to_string_with_null(rec + OFF_MSGTEXT_LENGTH, 0, LEN_MSGTEXT_LENGTH + 1);
    }
    set_msgtype(rec, code);
    rec[OFF_ALERT_NEWLINE] = '\n';
    if (alert_write_to_bufferfile(rec) != 0) {
        *error = "*ERR: Unable to store the request behind the waiting ones\n";
        return true;
    }
    myprintf("AINF: Pending %s %.*s %.*s by %s\n", action, static_cast<int>(LEN_HOSTNAME),
             rec + OFF_HOSTNAME, static_cast<int>(LEN_KEY), rec + OFF_KEY, who);
    return true;
}

void
console_replay(char *record)
{
    const char *error = nullptr;
    const char *action = "delete";
    if (msgtype_is(record, CMD_DELETE)) {
        console_delete(record, 1);
    } else if (msgtype_is(record, CMD_ACK_NOTE)) {
        action = "acknowledgement";
        error = ack_console_note(record);
    } else if (msgtype_is(record, CMD_UNACK)) {
        action = "un-acknowledgement";
        error = ack_console_undo(record);
    }
    if (error != nullptr) {
        std::string_view why(error);
        if (why.starts_with("*ERR: "))
            why.remove_prefix(6);
        myprintf("WARN: Pending %s of %.*s %.*s not carried out: %.*s", action,
                 static_cast<int>(LEN_HOSTNAME), record + OFF_HOSTNAME,
                 static_cast<int>(LEN_KEY), record + OFF_KEY, print_len(why), why.data());
    }
}

// The log line of an "AD" or "AC" command, cut to 127 characters.
static void
console_log_event(const char *request)
{
    std::string_view host = alert_field_text(request, OFF_HOSTNAME);
    std::string_view when = alert_field_text(request, OFF_DATETIME);
    std::string_view key = alert_field_text(request, OFF_KEY);
    char line[MAX_LINE_LENGTH + 1];
    snprintf(line, sizeof line, "AINF: %.*s %.*s %c%c %.*s (CONSOLE COMMAND)", print_len(host),
             host.data(), print_len(when), when.data(), request[OFF_MSGTYPE],
             request[OFF_MSGTYPE + 1], print_len(key), key.data());
    myprintf("%s\n", line);
}

// A reply buffer from the heap, or nullptr when none can be had (or a test asked for that).
static char *
console_reply_alloc()
{
    if (console_fail_next_alloc) {
        console_fail_next_alloc = false;
        return nullptr;
    }
    return static_cast<char *>(calloc(1, CONSOLE_REPLY_SIZE));
}

void
process_console_request(int fd, char *request)
{
    bool reply_wanted = request[OFF_REPLY_WANTED] == 'Y';
    char *reply = console_reply_alloc();
    if (reply == nullptr) {
        myprintf("*ERR: Insufficent server memory for console request\n");
        if (reply_wanted) {
            // The request buffer is larger than a reply, so the answer is built in it.
            set_msgtype(request, REPLY_ERROR);
            clear_reply_data(request);
            snprintf(request + OFF_DATA, LEN_DATA, "%s",
                     "*ERR: Insufficent server memory for request\n");
            request[OFF_REPLY_NEWLINE - 1] = '\0';
            write_console_reply_buffer(fd, request);
        }
        return;
    }

    // Who an acknowledgement is by.
    ack_set_peer(fd >= 0 && fd < MAX_CLIENTS ? client[fd].peer_address : nullptr);
    memcpy(reply, request, HEADER_SIZE);
    set_msgtype(reply, REPLY_LIST_LAST);
    clear_reply_data(reply);

    const char *error = nullptr;
    if (msgtype_is(request, CMD_LIST)) {
        if (reply_wanted)
            console_refresh_me(fd, reply);
    } else if (msgtype_is(request, CMD_DETAILS)) {
        if (reply_wanted)
            console_get_details(reply, false);
    } else if (msgtype_is(request, CMD_DELETE)) {
        console_log_event(request);
        if (!console_defer(request, CMD_DELETE, "delete", &error))
            console_delete(request, 0);
        console_done(reply, error);
    } else if (msgtype_is(request, CMD_ACKNOWLEDGE)) {
        console_log_event(request);
        if (!console_defer(request, CMD_ACK_NOTE, "acknowledge", &error))
            alert_acknowledge(request, 0);
        console_done(reply, error);
    } else if (msgtype_is(request, CMD_ACK_NOTE)) {
        // Its own "Acknowledged" line is its log line.
        error = ack_check_expiry(request);
        if (error == nullptr && !console_defer(request, CMD_ACK_NOTE, "acknowledge", &error))
            error = ack_console_note(request);
        console_done(reply, error);
    } else if (msgtype_is(request, CMD_UNACK)) {
        if (!console_defer(request, CMD_UNACK, "unacknowledge", &error))
            error = ack_console_undo(request);
        console_done(reply, error);
    } else if (msgtype_is(request, CMD_DETAILS_ACK)) {
        if (reply_wanted)
            console_get_details(reply, true);
    } else if (msgtype_is(request, CMD_DELETE_THROUGH)) {
        alert_deletelist(request);
        set_msgtype(reply, MSG_REPLY_DONE);
    } else if (board_request(fd, request, reply)) {
        // Answered; a request without 'Y' gets nothing, as a listing does.
    } else if (msgtype_is(request, CMD_RC)) {
        set_msgtype(reply, REPLY_ERROR);
        snprintf(reply + OFF_DATA, LEN_DATA, "%s",
                 "Server does not have that command implemented yet !\n");
    } else {
        std::string_view host = alert_field_text(request, OFF_HOSTNAME);
        myprintf("*ERR: Unknown command '%c%c' recieved from console at %.*s, ignored\n",
                 request[OFF_MSGTYPE], request[OFF_MSGTYPE + 1], print_len(host), host.data());
        set_msgtype(reply, REPLY_ERROR);
        snprintf(reply + OFF_DATA, LEN_DATA, "%s",
                 "Server does not recognise command, ignored !\n");
    }

    // Whatever freed a slot lets what waits in the overflow file in.
    overflow_refill_if_room();
    if (reply_wanted)
        write_console_reply_buffer(fd, reply);
    free(reply);
    ack_set_peer(nullptr);
}

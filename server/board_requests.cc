// Board requests of a console: the whole board from a position on, the overflow file's
// waiting records, and the server's figures. Listing rows are tab-separated fields in which
// '%', '^', tab, control and non-ASCII bytes travel as %XX, so that no text of an alert can
// end a row or start another.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/fields.h"
#include "common/record.h"
#include "server/ack.h"
#include "server/console.h"
#include "server/server.h"

// Replies that one request answers at most: the rest is asked for with a later start, so
// that a connection's output stays bounded however large the board is.
inline constexpr int PAGE_REPLIES = 4;
// Overflow file records read for one request at most, so that a long file is read in
// pieces between other clients' lines.
inline constexpr long WAITING_PAGE_RECORDS = 256;
// A row's longest text: every field escaped (a field left unterminated runs on to the end
// of the record), the numbers, tabs and the newline.
inline constexpr std::size_t ROW_MAX = 12 + 3 * (alert_field_text_max(OFF_DATETIME) +
                                                 alert_field_text_max(OFF_HOSTNAME) +
                                                 alert_field_text_max(OFF_KEY) + LEN_MSGTYPE +
                                                 1 + alert_field_text_max(OFF_MSGTEXT) +
                                                 alert_field_text_max(OFF_OPTIONAL_DATA)) +
                                       4 * 21 + 3 * (LEN_ACK_WHO + LEN_MSGTYPE + LEN_ACK_NOTE) +
                                       3 * (16 + LEN_ACK_WHO) + 16;

// The replies of one answer, filled one line at a time.
struct reply_page {
    int fd;
    char *reply;
    std::size_t len = 0;        // data text in the current reply
    int sent = 0;               // "DF" replies already queued
};

// Appends a line; a reply without room for it leaves as "DF" first. False when the page
// has no room left (the line is not added).
static bool
page_put(reply_page &p, const char *line, std::size_t n)
{
    if (p.len + n > MAX_DATA_TEXT) {
        if (p.sent + 1 >= PAGE_REPLIES)
            return false;
        set_msgtype(p.reply, REPLY_LIST_MORE);
        send_console_reply(p.fd, p.reply, static_cast<int>(p.len));
        zero_data_field(p.reply + OFF_DATA, static_cast<int>(p.len));
        p.len = 0;
        p.sent++;
    }
    memcpy(p.reply + OFF_DATA + p.len, line, n);
    p.len += n;
    if (p.reply[OFF_DATA + p.len - 1] == '\n')
        p.reply[OFF_DATA + p.len - 1] = '^';   // a line end as the wire carries it
    return true;
}

// Writes number as decimal digits. Returns their count.
static std::size_t
put_number(char *out, long number)
{
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number > 0);
    for (std::size_t i = 0; i < n; i++)
        out[i] = digits[n - 1 - i];
    return n;
}

// What a row says besides the record: server times, the acknowledgement and a console
// action that waits for the alert.
struct row_extra {
    long first_seen = 0, last_change = 0;       // seconds since the epoch, 0 when unknown
    const char *who = "";
    std::string_view severity;
    long since = 0, until = 0;
    std::string_view note;
    char pending[16 + LEN_ACK_WHO + 2] = "";    // "<action> <who>"
};

static std::size_t
put_field(char *row, std::size_t n, std::string_view text)
{
    row[n++] = '\t';
    return n + field_escape(row + n, text);
}

static std::size_t
put_number_field(char *row, std::size_t n, long number)
{
    row[n++] = '\t';
    return n + put_number(row + n, number < 0 ? 0 : number);
}

// The row of a record: its position, datetime, hostname, key, msgtype, persistent flag,
// message text and optional data; then the first and last change on the board, who
// acknowledged it, the severity before, since, until, the note, and the pending action.
static std::size_t
build_row(char *row, long position, const char *rec, const row_extra &x)
{
    std::size_t n = put_number(row, position);
    row[n++] = '\t';
    n += field_escape(row + n, alert_field_text(rec, OFF_DATETIME));
    row[n++] = '\t';
    n += field_escape(row + n, alert_field_text(rec, OFF_HOSTNAME));
    row[n++] = '\t';
    n += field_escape(row + n, alert_field_text(rec, OFF_KEY));
    row[n++] = '\t';
    n += field_escape(row + n, std::string_view(rec + OFF_MSGTYPE, LEN_MSGTYPE));
    row[n++] = '\t';
    n += field_escape(row + n, std::string_view(rec + OFF_PERSISTENT, 1));
    row[n++] = '\t';
    n += field_escape(row + n, alert_field_text(rec, OFF_MSGTEXT));
    row[n++] = '\t';
    n += field_escape(row + n, alert_field_text(rec, OFF_OPTIONAL_DATA));
    n = put_number_field(row, n, x.first_seen);
    n = put_number_field(row, n, x.last_change);
    n = put_field(row, n, x.who);
    n = put_field(row, n, x.severity);
    n = put_number_field(row, n, x.since);
    n = put_number_field(row, n, x.until);
    n = put_field(row, n, x.note);
    n = put_field(row, n, x.pending);
    row[n++] = '\n';
    return n;
}

// The extra fields of a record on the board.
static void
board_extra(const char *rec, row_extra &x)
{
    const alert_meta *m = alert_meta_of(rec);
    x.first_seen = static_cast<long>(m->first_seen);
    x.last_change = static_cast<long>(m->last_change);
    if (msgtype_is(rec, MSG_CLEAR)) {
        const alert_ack *a = alert_ack_of(rec);
        x.who = a->who;
        x.severity = std::string_view(a->severity, LEN_MSGTYPE);
        x.since = static_cast<long>(a->since);
        x.until = static_cast<long>(a->until);
        x.note = a->note;
    }
    char who[LEN_ACK_WHO + 1];
    if (const char *action = overflow_pending(rec, who))
        snprintf(x.pending, sizeof x.pending, "%s %s", action, who);
}

// The extra fields of a waiting console action: who, its expiry and its note.
static void
waiting_extra(const char *rec, row_extra &x, char *who)
{
    if (!record_is_console(rec))
        return;
    memcpy(who, rec + OFF_ACK_WHO, LEN_ACK_WHO);
    who[LEN_ACK_WHO] = '\0';
    x.who = who;
    time_t until = 0;
    ack_request_until(rec, &until);
    x.until = static_cast<long>(until);
    x.note = alert_field_text(rec, OFF_MSGTEXT);
}

// The header line: label, total, first position.
static void
put_header(reply_page &p, std::string_view label, long total, long start)
{
    char line[64];
    std::size_t n = label.size();
    memcpy(line, label.data(), n);
    line[n++] = '\t';
    n += put_number(line + n, total);
    line[n++] = '\t';
    n += put_number(line + n, start);
    line[n++] = '\n';
    page_put(p, line, n);
}

// The start position in the request's key field: its decimal digits after any blanks;
// 0 when there are none.
static long
request_start(const char *request)
{
    const char *p = request + OFF_KEY;
    const char *end = p + LEN_KEY;
    while (p < end && *p == ' ')
        p++;
    long v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++)
        if (v < 100000000)
            v = v * 10 + (*p - '0');
    return v;
}

// "SA": the board from the asked position on, as many rows as a page holds.
static void
list_board(reply_page &p, long start)
{
    long total = last_table_entry;
    if (start > total)
        start = total;
    put_header(p, BOARD_HEADER, total, start);
    char row[ROW_MAX];
    for (long i = start; i < total; i++) {
        row_extra x;
        board_extra(memory_table[i].data(), x);
        std::size_t n = build_row(row, i, memory_table[i].data(), x);
        if (!page_put(p, row, n))
            break;
    }
}

// "SQ": the unread records of the overflow file from record start on (the first unread one
// when start lies before it), in file order; positions are record numbers in the file.
static void
list_waiting(reply_page &p, long start)
{
    long unread = alerts_num_buffered();
    long first = next_evt_record_to_read;
    long end = first + unread;
    if (start < first)
        start = first;
    put_header(p, WAITING_HEADER, unread, first);
    char rec[ALERT_RECORD_SIZE];
    char row[ROW_MAX];
    for (long i = start; i < end && i < start + WAITING_PAGE_RECORDS; i++) {
        if (overflow_read_record(i, rec) != 0)
            break;
        row_extra x;
        char who[LEN_ACK_WHO + 1];
        waiting_extra(rec, x, who);
        std::size_t n = build_row(row, i, rec, x);
        if (!page_put(p, row, n))
            break;
    }
}

bool
board_request(int fd, const char *request, char *reply)
{
    bool list_all = msgtype_is(request, CMD_LIST_ALL);
    bool list_queue = msgtype_is(request, CMD_LIST_WAITING);
    bool summary = msgtype_is(request, CMD_SUMMARY);
    if (!list_all && !list_queue && !summary)
        return false;
    if (request[OFF_REPLY_WANTED] != 'Y')
        return true;
    reply_page p{fd, reply};
    if (list_all)
        list_board(p, request_start(request));
    else if (list_queue)
        list_waiting(p, request_start(request));
    else
        p.len = stats_summary(reply + OFF_DATA, MAX_DATA_TEXT);
    set_msgtype(reply, REPLY_LIST_LAST);
    return true;
}

// Board requests of a console: the whole board from a position on, the overflow file's
// waiting records, and the server's figures. Listing rows are tab-separated fields in which
// '%', '^', tab, control and non-ASCII bytes travel as %XX, so that no text of an alert can
// end a row or start another.
#include <cstring>
#include <string_view>

#include "common/fields.h"
#include "common/record.h"
#include "server/console.h"
#include "server/server.h"

// Replies that one request answers at most: the rest is asked for with a later start, so
// that a connection's output stays bounded however large the board is.
inline constexpr int PAGE_REPLIES = 4;
// Overflow file records read for one request at most, so that a long file is read in
// pieces between other clients' lines.
inline constexpr long WAITING_PAGE_RECORDS = 256;
// A row's longest text: every field escaped, tabs and the newline.
inline constexpr std::size_t ROW_MAX = 12 + 3 * (LEN_DATETIME + LEN_HOSTNAME + LEN_KEY +
                                                 LEN_MSGTYPE + 1 + LEN_MSGTEXT +
                                                 LEN_OPTIONAL_DATA) + 8;

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

static bool
must_escape(unsigned char c)
{
    return c < 0x20 || c >= 0x7f || c == '%' || c == '^';
}

std::size_t
field_escape(char *out, std::string_view text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::size_t n = 0;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (must_escape(c)) {
            out[n++] = '%';
            out[n++] = HEX[c >> 4];
            out[n++] = HEX[c & 0xf];
        } else {
            out[n++] = ch;
        }
    }
    return n;
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

// The row of a record: its position, datetime, hostname, key, msgtype, persistent flag,
// message text and optional data.
static std::size_t
build_row(char *row, long position, const char *rec)
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
    row[n++] = '\n';
    return n;
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
        std::size_t n = build_row(row, i, memory_table[i].data());
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
        std::size_t n = build_row(row, i, rec);
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

// Alert message processing: the event line, the ACK reply and the action by message type.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/fields.h"
#include "server/ack.h"
#include "server/server.h"

// A log line built by copying, cut at its capacity: what a bounded "%s" format would give.
struct line_builder {
    char *p;
    std::size_t cap;
    std::size_t len = 0;
    bool cut = false;           // a zero byte ended the text, as it would end a "%s"

    void put(const char *s, std::size_t n)
    {
        if (cut)
            return;
        if (n > cap - len)
            n = cap - len;
        memcpy(p + len, s, n);
        len += n;
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    void put(char c)
    {
        if (c == '\0')
            cut = true;
        put(&c, 1);
    }
};

// Writes the alert event line, as the record arrived: built by copying, cut at 127.
static void
alert_record_event(const char *record)
{
    char line[128];
    line_builder b{line, 127};
    b.put("AINF: ", 6);
    b.put(alert_field_text(record, OFF_HOSTNAME));
    b.put(' ');
    b.put(alert_field_text(record, OFF_DATETIME));
    b.put(' ');
    b.put(record[OFF_MSGTYPE]);
    b.put(record[OFF_MSGTYPE + 1]);
    b.put(' ');
    b.put(alert_field_text(record, OFF_KEY));
    b.put(' ');
    b.put(record[OFF_PERSISTENT]);
    b.put(' ');
    b.put(alert_field_text(record, OFF_MSGTEXT));
    b.put(' ');
    b.put(alert_field_text(record, OFF_OPTIONAL_DATA));
    line[b.len] = '\n';
    msglog_write(line, b.len + 1);
}

// Builds the answer to an alert: one record of msgtype "--" with the request's productid,
// blank header fields, persistent 'N' and no text. ack must be zero-filled.
static void
build_ack(char *ack, const char *record)
{
    // The header up to its first zero byte; the rest of the 81 bytes stay zero.
    memcpy(ack, record, strnlen(record, HEADER_SIZE));
    set_msgtype(ack, MSG_REPLY_DONE);
    ack[OFF_REPLY_WANTED] = '\0';
    ack[OFF_PERSISTENT] = 'N';
    zero_data_field(ack + OFF_MSGTEXT, LEN_MSGTEXT);
    number_to_string_with_null(ack + OFF_MSGTEXT_LENGTH, 0, LEN_MSGTEXT_LENGTH + 1);
    zero_data_field(ack + OFF_OPTIONAL_DATA, LEN_OPTIONAL_DATA);
    pad_header_fields(ack);
    ack[OFF_ALERT_NEWLINE] = '\n';
}

void
process_alert_request(int fd, char *record)
{
    alert_record_event(record);
    // The answer is built from the request as it arrived (processing pads and terminates
    // fields in place), but only sent once the record has been stored: an ACK tells the
    // sender its alert is kept, in the table or on disk.
    bool wants_ack = record[OFF_REPLY_WANTED] == 'Y';
    char ack[ALERT_RECORD_SIZE] = {};
    if (wants_ack)
        build_ack(ack, record);
    unsigned long failed = overflow_failed_appends;
    ack_set_peer(fd >= 0 && fd < MAX_CLIENTS ? client[fd].peer_address : nullptr);
    process_alert_message(record, 0);
    ack_set_peer(nullptr);
    if (overflow_failed_appends != failed) {
        // Not stored: no ACK, and the sender learns it at once from the closed connection.
        client_reject(fd, "an alert could not be stored");
        return;
    }
    std::string_view host = alert_field_text(record, OFF_HOSTNAME);
    if (wants_ack && client_reply(fd, ack, ALERT_RECORD_SIZE) == 0)
        stats.acks_sent++;
    else if (wants_ack)
        myprintf("*ERR: Unable to ACK message from host %.*s\n", print_len(host), host.data());
}

// Pads a text field to its width with spaces and ends it with a zero byte; a text that
// already fills the width is left as it is.
static void
pad_to_width(char *field, std::size_t width)
{
    std::size_t len = strnlen(field, width);
    if (len < width) {
        memset(field + len, ' ', width - len);
        field[width] = '\0';
    }
}

// While an earlier request for the same alert waits in the overflow file, a raise, clear or
// acknowledge goes to the file behind it, so that the requests for one alert take effect in
// the order they came. True when it was deferred (or could not be stored).
static bool
wait_behind_earlier(char *record)
{
    bool per_alert = msgtype_is(record, MSG_CRITICAL) || msgtype_is(record, MSG_WARNING) ||
                     msgtype_is(record, MSG_INFO) || msgtype_is(record, MSG_CLEAR) ||
                     msgtype_is(record, MSG_ACKNOWLEDGE);
    if (!per_alert || overflow_waiting(record) == 0)
        return false;
    alert_write_to_bufferfile(record);
    return true;
}

// Counts a record that arrived from a sender by its msgtype.
static void
count_received(const char *record)
{
    if (msgtype_is(record, MSG_CRITICAL))
        stats.received_critical++;
    else if (msgtype_is(record, MSG_WARNING))
        stats.received_warning++;
    else if (msgtype_is(record, MSG_INFO))
        stats.received_info++;
    else if (msgtype_is(record, MSG_CLEAR))
        stats.received_clear++;
    else if (msgtype_is(record, MSG_ACKNOWLEDGE))
        stats.received_acknowledge++;
    else if (msgtype_is(record, MSG_CLEAR_HOST))
        stats.received_clear_host++;
    else if (msgtype_is(record, MSG_LOG_ONLY))
        stats.received_log_only++;
    else
        stats.received_unknown_type++;
}

void
process_alert_message(char *record, int from_overflow)
{
    pad_to_width(record + OFF_KEY, LEN_KEY);
    pad_to_width(record + OFF_HOSTNAME, LEN_HOSTNAME);
    if (!from_overflow)
        count_received(record);
    if (!from_overflow && wait_behind_earlier(record))
        return;

    if (msgtype_is(record, MSG_CRITICAL) || msgtype_is(record, MSG_WARNING) ||
        msgtype_is(record, MSG_INFO)) {
        alert_add(record);
    } else if (msgtype_is(record, MSG_CLEAR)) {
        if (alert_delete(record, from_overflow) > 0) {
            alert_retrieve_from_overflow();
            alert_check_overflow_file();
        }
    } else if (msgtype_is(record, MSG_ACKNOWLEDGE)) {
        alert_acknowledge(record, from_overflow);
    } else if (msgtype_is(record, MSG_CLEAR_HOST)) {
        alert_delete_all_for_host(record, from_overflow);
    } else if (msgtype_is(record, MSG_LOG_ONLY)) {
        // The event line was the whole effect.
    } else {
        std::string_view host = alert_field_text(record, OFF_HOSTNAME);
        myprintf("*ERR: Unknown message type %c%c from %.*s, discarded\n", record[OFF_MSGTYPE],
                 record[OFF_MSGTYPE + 1], print_len(host), host.data());
    }
    // A clear-all, a delete or a deferred request may have left room: what waits comes in.
    if (!from_overflow)
        overflow_refill_if_room();
}

// Layouts of the two wire records, the product identifiers and the message type codes.
#ifndef COMMON_RECORD_H
#define COMMON_RECORD_H

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>

#include "common/version.h"

// The version every program of the system carries and the tools send.
inline constexpr const char *application_version = TARROW_VERSION;

// ---- Alert request buffer: 234 bytes, ends with its only newline. ----
inline constexpr std::size_t ALERT_RECORD_SIZE = 234;

// Header text fields: each is followed by one zero byte.
inline constexpr std::size_t OFF_PRODUCTID = 0, LEN_PRODUCTID = 14;
inline constexpr std::size_t OFF_VERSION = 15, LEN_VERSION = 10;
inline constexpr std::size_t OFF_HOSTNAME = 26, LEN_HOSTNAME = 15;
inline constexpr std::size_t OFF_KEY = 42, LEN_KEY = 14;
inline constexpr std::size_t OFF_AUX_NUMBER = 57, LEN_AUX_NUMBER = 5;
inline constexpr std::size_t OFF_MSGTYPE = 63, LEN_MSGTYPE = 2;        // no terminator
inline constexpr std::size_t OFF_REPLY_WANTED = 65;                    // one byte
inline constexpr std::size_t OFF_DATETIME = 66, LEN_DATETIME = 14;
inline constexpr std::size_t HEADER_SIZE = 81;
inline constexpr std::size_t OFF_RESERVED = 81, LEN_RESERVED = 15;     // zero bytes
inline constexpr std::size_t OFF_PERSISTENT = 96;                      // one byte
inline constexpr std::size_t OFF_MSGTEXT_LENGTH = 97, LEN_MSGTEXT_LENGTH = 4;
inline constexpr std::size_t OFF_MSGTEXT = 102, LEN_MSGTEXT = 100;     // zero-filled, not spaces
inline constexpr std::size_t OFF_OPTIONAL_DATA = 203, LEN_OPTIONAL_DATA = 29;
inline constexpr std::size_t OFF_ALERT_NEWLINE = 233;

static_assert(OFF_VERSION == OFF_PRODUCTID + LEN_PRODUCTID + 1);
static_assert(OFF_HOSTNAME == OFF_VERSION + LEN_VERSION + 1);
static_assert(OFF_KEY == OFF_HOSTNAME + LEN_HOSTNAME + 1);
static_assert(OFF_AUX_NUMBER == OFF_KEY + LEN_KEY + 1);
static_assert(OFF_MSGTYPE == OFF_AUX_NUMBER + LEN_AUX_NUMBER + 1);
static_assert(OFF_REPLY_WANTED == OFF_MSGTYPE + LEN_MSGTYPE);
static_assert(OFF_DATETIME == OFF_REPLY_WANTED + 1);
static_assert(HEADER_SIZE == OFF_DATETIME + LEN_DATETIME + 1);
static_assert(OFF_RESERVED == HEADER_SIZE);
static_assert(OFF_PERSISTENT == OFF_RESERVED + LEN_RESERVED);
static_assert(OFF_MSGTEXT_LENGTH == OFF_PERSISTENT + 1);
static_assert(OFF_MSGTEXT == OFF_MSGTEXT_LENGTH + LEN_MSGTEXT_LENGTH + 1);
static_assert(OFF_OPTIONAL_DATA == OFF_MSGTEXT + LEN_MSGTEXT + 1);
static_assert(OFF_ALERT_NEWLINE == OFF_OPTIONAL_DATA + LEN_OPTIONAL_DATA + 1);
static_assert(ALERT_RECORD_SIZE == OFF_ALERT_NEWLINE + 1);

using alert_record = std::array<char, ALERT_RECORD_SIZE>;

// ---- "AN" and "UA" console requests: where the operator's fields travel. ----
// The operator's name: the reserved bytes, zero-filled after the text ("AN" and "UA").
inline constexpr std::size_t OFF_ACK_WHO = OFF_RESERVED, LEN_ACK_WHO = LEN_RESERVED;
// The expiry in the version field: seconds since the epoch in decimal, space-filled;
// blank or 0 for none.
inline constexpr std::size_t OFF_ACK_UNTIL = OFF_VERSION, LEN_ACK_UNTIL = LEN_VERSION;
// The note: its first 100 characters in msgtext (msgtext_length counts them), the rest, up
// to 20 more, at the start of optional_data.
inline constexpr std::size_t LEN_ACK_NOTE = 120;
inline constexpr std::size_t LEN_ACK_NOTE_TAIL = LEN_ACK_NOTE - LEN_MSGTEXT;
static_assert(LEN_ACK_NOTE_TAIL < LEN_OPTIONAL_DATA);

// ---- Console reply buffer: 4184 bytes, ends with its only newline. ----
inline constexpr std::size_t CONSOLE_REPLY_SIZE = 4184;
inline constexpr std::size_t OFF_DATA_LENGTH = 81, LEN_DATA_LENGTH = 4;
inline constexpr std::size_t OFF_DATA = 86, LEN_DATA = 4096;           // text of at most 4095
inline constexpr std::size_t MAX_DATA_TEXT = LEN_DATA - 1;
inline constexpr std::size_t OFF_REPLY_NEWLINE = 4183;

static_assert(OFF_DATA_LENGTH == HEADER_SIZE);
static_assert(OFF_DATA == OFF_DATA_LENGTH + LEN_DATA_LENGTH + 1);
static_assert(OFF_REPLY_NEWLINE == OFF_DATA + LEN_DATA + 1);
static_assert(CONSOLE_REPLY_SIZE == OFF_REPLY_NEWLINE + 1);

using console_reply = std::array<char, CONSOLE_REPLY_SIZE>;

// ---- Product identifiers, with the number of bytes each test compares. ----
inline constexpr std::string_view PRODUCT_JOBSCHED = "JOBSCHED";   // 8
inline constexpr std::string_view PRODUCT_GENALERT = "GENALERT";   // 8
inline constexpr std::string_view PRODUCT_RELOADER = "RELOADER";   // 8
inline constexpr std::string_view PRODUCT_CONSOLE = "CONSOLE";     // 7
inline constexpr std::string_view PRODUCT_KILLER = "KILLER";       // 6

// ---- Message type codes. ----
// Alert messages.
inline constexpr std::string_view MSG_CRITICAL = "AC";
inline constexpr std::string_view MSG_WARNING = "AW";
inline constexpr std::string_view MSG_INFO = "IO";
inline constexpr std::string_view MSG_CLEAR = "AK";          // also: acknowledged, in the table
inline constexpr std::string_view MSG_ACKNOWLEDGE = "KA";
inline constexpr std::string_view MSG_CLEAR_HOST = "KH";
inline constexpr std::string_view MSG_LOG_ONLY = "LO";
inline constexpr std::string_view MSG_REMOVING = "DD";       // only inside the table
inline constexpr std::string_view MSG_REPLY_DONE = "--";     // ACK, and console "done"
// Console commands.
inline constexpr std::string_view CMD_LIST = "SL";
inline constexpr std::string_view CMD_DETAILS = "SD";
inline constexpr std::string_view CMD_DELETE = "AD";
inline constexpr std::string_view CMD_ACKNOWLEDGE = "AC";
inline constexpr std::string_view CMD_DELETE_THROUGH = "KK";
inline constexpr std::string_view CMD_RC = "RC";
// Board requests: the whole board, the overflow file's waiting records and the server's
// figures. The key field of the first two carries the position to start at.
inline constexpr std::string_view CMD_LIST_ALL = "SA";
inline constexpr std::string_view CMD_LIST_WAITING = "SQ";
inline constexpr std::string_view CMD_SUMMARY = "SS";
// First line of the answer to each listing: the label, the total and the first position.
inline constexpr std::string_view BOARD_HEADER = "BOARD";
inline constexpr std::string_view WAITING_HEADER = "WAITING";
inline constexpr std::string_view CMD_ACK_NOTE = "AN";      // acknowledge with who, note, expiry
inline constexpr std::string_view CMD_UNACK = "UA";         // un-acknowledge
inline constexpr std::string_view CMD_DETAILS_ACK = "SX";   // details with the ack data
// Console replies.
inline constexpr std::string_view REPLY_LIST_LAST = "DB";
inline constexpr std::string_view REPLY_LIST_MORE = "DF";
inline constexpr std::string_view REPLY_DETAILS = "DS";
inline constexpr std::string_view REPLY_ERROR = "DE";

// The text of the field at off: up to its first zero byte, never past the end of the
// record of rec_size bytes that starts at rec.
inline std::string_view
field_text(const char *rec, std::size_t rec_size, std::size_t off)
{
    if (off >= rec_size)
        return {};
    return {rec + off, strnlen(rec + off, rec_size - off)};
}

// The text of a field of an alert record: up to its first zero byte, and never into the
// record's final newline, whatever a crafted record holds.
inline std::string_view
alert_field_text(const char *rec, std::size_t off)
{
    return field_text(rec, OFF_ALERT_NEWLINE, off);
}

// The longest text alert_field_text can give for the field at off: a field a sender left
// unterminated runs on into the fields after it.
constexpr std::size_t
alert_field_text_max(std::size_t off)
{
    return OFF_ALERT_NEWLINE - off;
}

inline std::string_view
field_text(std::span<const char, ALERT_RECORD_SIZE> rec, std::size_t off)
{
    return alert_field_text(rec.data(), off);
}

// True when the record's msgtype is the two-letter code.
inline bool
msgtype_is(const char *rec, std::string_view code)
{
    return rec[OFF_MSGTYPE] == code[0] && rec[OFF_MSGTYPE + 1] == code[1];
}

inline void
set_msgtype(char *rec, std::string_view code)
{
    rec[OFF_MSGTYPE] = code[0];
    rec[OFF_MSGTYPE + 1] = code[1];
}

#endif // COMMON_RECORD_H

// Console client: builds console requests, talks to tarrowd and gathers its replies.
#ifndef COMMON_CONSOLE_CLIENT_H
#define COMMON_CONSOLE_CLIENT_H

#include <string>
#include <string_view>
#include <vector>

#include "common/record.h"

// Result codes of the client calls.
enum console_status {
    CONSOLE_OK = 0,
    CONSOLE_BAD_ADDRESS,    // not a dotted IPv4 address, or a port outside 1..65535
    CONSOLE_NO_CONNECT,     // connect failed or timed out
    CONSOLE_SEND_FAILED,    // the request could not be written
    CONSOLE_LOST,           // the server closed the connection or a read failed
    CONSOLE_TIMEOUT,        // no whole reply within the time allowed
    CONSOLE_BAD_REPLY,      // a reply that is not a console reply buffer
};

// The productid that lists the whole table with the longest lines the server sends.
inline constexpr const char *CONSOLE_LIST_ALL = "CONSOLE99_127";

// What one request brought back.
struct console_result {
    int status = CONSOLE_OK;    // a console_status
    std::string error;          // what went wrong, for people; empty on success
    std::string final_type;     // msgtype of the last reply: "DB", "DS", "DE" or "--"
    int replies = 0;            // replies read, "DF" ones included
    std::string text;           // the data texts of every reply, '^' back to newlines
};

// One connection to the server.
struct console_conn {
    int fd = -1;
};

// A console request record: productid, hostname and key cut to their widths and space-filled
// as the server stores them (a newline in them is sent as a space), msgtype, reply_wanted,
// datetime now, newline last.
alert_record console_build_request(std::string_view productid, std::string_view hostname,
                                   std::string_view key, std::string_view msgtype,
                                   char reply_wanted = 'Y');

// Connects to address (dotted IPv4) and port within timeout_ms. Returns CONSOLE_OK, or a
// console_status with the reason in error.
int console_connect(console_conn &c, const std::string &address, int port, int timeout_ms,
                    std::string &error);
// Closes the connection if open.
void console_close(console_conn &c);
// Sends the request and, when it asks for a reply, reads 4184-byte replies until the final
// one, each within timeout_ms. On a failure the connection should be closed.
console_result console_exchange(console_conn &c, const alert_record &request, int timeout_ms);
// Connects, exchanges one request and closes.
console_result console_call(const std::string &address, int port, const alert_record &request,
                            int timeout_ms);

// One line of a listing, split into its columns (spaces kept as sent).
struct console_alert {
    std::string datetime;   // 14 characters
    std::string hostname;   // 15, space-filled as stored
    std::string key;        // 14, space-filled as stored
    std::string type;       // "AC", "AW", "IO" or "AK"
    std::string text;       // the message text as far as the line carries it
    bool cut = false;       // the line reached the line length: the text may be cut
};

// The alerts of a listing text; the no-alerts line gives none. line_length is the length the
// listing was asked with, to tell lines that may have been cut.
std::vector<console_alert> console_parse_listing(const std::string &text, int line_length);
// The message text of a details text ("" when it has none).
std::string console_details_msgtext(const std::string &details);
// A text without its trailing spaces.
std::string console_trim(std::string_view s);

#endif // COMMON_CONSOLE_CLIENT_H

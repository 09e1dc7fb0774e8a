// Texts the console programs share: server texts made safe to show, numbers and addresses
// read from arguments, the alert's date and time, state words, and the monotonic clock.
#ifndef COMMON_TEXT_H
#define COMMON_TEXT_H

#include <ctime>
#include <string>
#include <string_view>

// A server text made safe for a terminal: each byte below 0x20 and 0x7F shows as ^X, each
// other byte of 0x80 to 0x9F as \xNN. With utf8, whole UTF-8 sequences are kept, except the
// C1 controls U+0080 to U+009F, which show their bytes as \xNN, as does a byte that starts no
// valid sequence; without utf8 every byte from 0x80 does. The result is valid UTF-8.
std::string console_visible(std::string_view s, bool utf8);
// A text without its trailing spaces.
std::string console_trim(std::string_view s);
// Splits an alert's "YYYYMMDD HH:MM" datetime into a broken-down local time (tm_isdst -1, for
// mktime); false when it is no such time.
bool console_split_datetime(std::string_view dt, struct tm &tm);
// Reads a whole decimal number in [lo, hi] (an option's value); false when text is anything
// else.
bool console_parse_int(const char *text, int lo, int hi, int &out);

// Reads a port: digits only, 1 to 65535. False for anything else (a sign, a blank, "0").
bool text_port(const char *text, int &port);
// True when text is four dotted decimal parts of 0 to 255, without leading zeros.
bool text_dotted_ipv4(std::string_view text);
// Splits "host:port" (one colon) or "[address]:port" into its two parts, unchecked; false
// when text is neither.
bool text_split_host_port(std::string_view text, std::string &host, std::string &port);
// True when text can name a server: a dotted IPv4 address, an IPv6 address, or a host name
// (letters, digits, '-' and '.'). Text of digits and dots only is meant as a dotted IPv4
// address and must be one: "999.1.1.1" and "9003" are refused.
bool text_address(std::string_view text);

// "critical", "warning", "info" or "acked" for an alert's state code ("AC", "AW", "IO",
// "AK"); nullptr for any other code.
const char *alert_state_word(std::string_view type);

// Milliseconds on the monotonic clock, for deadlines and intervals.
long monotonic_ms();

#endif // COMMON_TEXT_H

// Texts the console programs share: safe display, numbers, addresses, dates and state words.
#include "common/text.h"

#include <arpa/inet.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "common/record.h"

// Length of the UTF-8 sequence at s[i] when it is valid and encodes a code point from
// U+00A0 on (not a C1 control); 0 otherwise.
static std::size_t
printable_utf8_length(std::string_view s, std::size_t i)
{
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = byte(i);
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xbf;   // bounds of the second byte
    if (b >= 0xc2 && b <= 0xdf)
        n = 2;
    else if (b >= 0xe0 && b <= 0xef) {
        n = 3;
        if (b == 0xe0)
            lo = 0xa0;   // no overlong forms
        if (b == 0xed)
            hi = 0x9f;   // no surrogates
    } else if (b >= 0xf0 && b <= 0xf4) {
        n = 4;
        if (b == 0xf0)
            lo = 0x90;
        if (b == 0xf4)
            hi = 0x8f;   // nothing above U+10FFFF
    } else
        return 0;
    if (i + n > s.size())
        return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; k++)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf)
            return 0;
    if (b == 0xc2 && byte(i + 1) < 0xa0)
        return 0;   // U+0080 to U+009F: the C1 controls
    return n;
}

std::string
console_visible(std::string_view s, bool utf8)
{
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x20 || b == 0x7f) {
            out += '^';
            out += static_cast<char>(b ^ 0x40);
            i++;
        } else if (b < 0x80) {
            out += static_cast<char>(b);
            i++;
        } else if (std::size_t n = utf8 ? printable_utf8_length(s, i) : 0; n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\\x";
            out += HEX[b >> 4];
            out += HEX[b & 0xf];
            i++;
        }
    }
    return out;
}

std::string
console_trim(std::string_view s)
{
    std::size_t n = s.size();
    while (n > 0 && s[n - 1] == ' ')
        n--;
    return std::string(s.substr(0, n));
}

// The number in s[at, at + n) when those are all digits; -1 otherwise.
static int
digits(std::string_view s, std::size_t at, std::size_t n)
{
    int v = 0;
    for (std::size_t i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9')
            return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

bool
console_split_datetime(std::string_view dt, struct tm &tm)
{
    if (dt.size() != LEN_DATETIME || dt[8] != ' ' || dt[11] != ':')
        return false;
    int year = digits(dt, 0, 4), mon = digits(dt, 4, 2), day = digits(dt, 6, 2);
    int hour = digits(dt, 9, 2), min = digits(dt, 12, 2);
    if (year < 0 || mon < 1 || mon > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        min < 0 || min > 59)
        return false;
    tm = {};
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = min;
    tm.tm_isdst = -1;
    return true;
}

bool
console_parse_int(const char *text, int lo, int hi, int &out)
{
    if (*text == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool
text_port(const char *text, int &port)
{
    std::string_view s(text);
    if (s.empty() || s.size() > 5)
        return false;
    int v = digits(s, 0, s.size());
    if (v < 1 || v > 65535)
        return false;
    port = v;
    return true;
}

bool
text_split_host_port(std::string_view text, std::string &host, std::string &port)
{
    std::size_t colon;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find("]:");
        if (close == std::string_view::npos)
            return false;
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.find(':');
        if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos)
            return false;
        host = text.substr(0, colon);
    }
    port = text.substr(colon + 1);
    return true;
}

bool
text_dotted_ipv4(std::string_view text)
{
    // inet_pton reads exactly four dotted decimal parts, unlike inet_aton's short forms.
    std::string s(text);
    struct in_addr a;
    return s.find('\0') == std::string::npos && inet_pton(AF_INET, s.c_str(), &a) == 1;
}

bool
text_address(std::string_view text)
{
    if (text.empty() || text.size() > 253 || text.find('\0') != std::string_view::npos)
        return false;
    if (text.find_first_not_of("0123456789.") == std::string_view::npos)
        return text_dotted_ipv4(text);
    std::string s(text);
    struct in6_addr a6;
    if (s.find(':') != std::string::npos)
        return inet_pton(AF_INET6, s.c_str(), &a6) == 1;
    if (s.front() == '-' || s.front() == '.')
        return false;
    return s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789-.") == std::string::npos;
}

const char *
alert_state_word(std::string_view type)
{
    if (type == MSG_CRITICAL)
        return "critical";
    if (type == MSG_WARNING)
        return "warning";
    if (type == MSG_INFO)
        return "info";
    if (type == MSG_CLEAR)
        return "acked";
    return nullptr;
}

long
monotonic_ms()
{
    using namespace std::chrono;
    return static_cast<long>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

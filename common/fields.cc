// Field helpers: fill and convert the text and number fields of the wire records.
#include "common/fields.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/record.h"

// Bytes to walk for the two translations: the text's length, but at most n.
static int
translate_span(const char *text, int n)
{
    if (n <= 0)
        return 0;
    std::size_t len = strnlen(text, static_cast<std::size_t>(n));
    return static_cast<int>(len);
}

void
translate_nl_to_hat(char *text, int n)
{
    int c = translate_span(text, n);
    for (int i = 0; i < c; i++)
        if (text[i] == '\n')
            text[i] = '^';
}

void
translate_hat_to_nl(char *text, int n)
{
    int c = translate_span(text, n);
    for (int i = 0; i < c; i++)
        if (text[i] == '^')
            text[i] = '\n';
}

void
zero_data_field(char *area, int n)
{
    if (n > 0)
        memset(area, 0, static_cast<std::size_t>(n));
}

void
number_to_string(char *area, int value, int n)
{
    for (int i = n - 1; i >= 0; i--) {
        area[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void
number_to_string_with_null(char *area, int value, int n)
{
    if (n > 1) {
        number_to_string(area, value, n - 1);
        area[n - 1] = '\0';
    } else {
        area[0] = '\0';
    }
}

void
space_fill_string(char *field, int n)
{
    if (n < 0)
        return;
    int i = 0;
    while (i < n && field[i] != '\0' && field[i] != '\n')
        i++;
    if (field[i] != '\0' && field[i] != '\n') {
        field[n] = '\0';
        return;
    }
    for (; i < n; i++)
        field[i] = ' ';
    field[n] = '\0';
}

void
set_datestamp(char *dest)
{
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    // Formatted in a roomy buffer, then at most 14 characters and the zero byte copied.
    char text[64];
    snprintf(text, sizeof text, "%.4d%.2d%.2d %.2d:%.2d", tm_now.tm_year + 1900,
             tm_now.tm_mon + 1, tm_now.tm_mday, tm_now.tm_hour, tm_now.tm_min);
    std::size_t n = strnlen(text, LEN_DATETIME);
    memcpy(dest, text, n);
    dest[n] = '\0';
}

void
pad_header_fields(char *record)
{
    space_fill_string(record + OFF_PRODUCTID, LEN_PRODUCTID);
    space_fill_string(record + OFF_VERSION, LEN_VERSION);
    space_fill_string(record + OFF_HOSTNAME, LEN_HOSTNAME);
    space_fill_string(record + OFF_KEY, LEN_KEY);
    space_fill_string(record + OFF_AUX_NUMBER, LEN_AUX_NUMBER);
    space_fill_string(record + OFF_DATETIME, LEN_DATETIME);
}

std::size_t
field_escape(char *out, std::string_view text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::size_t n = 0;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c >= 0x7f || c == '%' || c == '^') {
            out[n++] = '%';
            out[n++] = HEX[c >> 4];
            out[n++] = HEX[c & 0xf];
        } else {
            out[n++] = ch;
        }
    }
    return n;
}

bool
write_all_at(int fd, const char *p, std::size_t len, off_t off)
{
    while (len > 0) {
        ssize_t n = pwrite(fd, p, len, off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
        off += n;
    }
    return true;
}

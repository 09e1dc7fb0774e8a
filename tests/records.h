// Records as the tests build and expect them, shared by the unit and black-box tests.
#ifndef TESTS_RECORDS_H
#define TESTS_RECORDS_H

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "common/fields.h"
#include "common/record.h"

// A 234-byte alert record as a sender builds it: zero-filled, fields copied (cut to their
// widths), header space-filled, newline at the end.
inline std::string
sender_record(const std::string &productid, const std::string &hostname, const std::string &key,
              const std::string &msgtype, char reply_wanted, const std::string &msgtext = "")
{
    alert_record rec{};
    auto put = [&rec](std::size_t off, std::size_t len, const std::string &s) {
        memcpy(rec.data() + off, s.data(), std::min(len, s.size()));
    };
    put(OFF_PRODUCTID, LEN_PRODUCTID, productid);
    put(OFF_VERSION, LEN_VERSION, application_version);
    put(OFF_HOSTNAME, LEN_HOSTNAME, hostname);
    put(OFF_KEY, LEN_KEY, key);
    put(OFF_AUX_NUMBER, LEN_AUX_NUMBER, "0");
    put(OFF_MSGTYPE, LEN_MSGTYPE, msgtype);
    rec[OFF_REPLY_WANTED] = reply_wanted;
    set_datestamp(rec.data() + OFF_DATETIME);
    rec[OFF_PERSISTENT] = 'Y';
    number_to_string_with_null(rec.data() + OFF_MSGTEXT_LENGTH,
                               static_cast<int>(std::min<std::size_t>(msgtext.size(), LEN_MSGTEXT)),
                               LEN_MSGTEXT_LENGTH + 1);
    put(OFF_MSGTEXT, LEN_MSGTEXT, msgtext);
    pad_header_fields(rec.data());
    rec[OFF_ALERT_NEWLINE] = '\n';
    return std::string(rec.data(), rec.size());
}

// The server's ACK to a request of this productid, byte for byte.
inline std::string
expected_ack(const std::string &productid)
{
    std::string ack(ALERT_RECORD_SIZE, '\0');
    std::string pid = productid;
    pid.resize(LEN_PRODUCTID, ' ');
    ack.replace(OFF_PRODUCTID, LEN_PRODUCTID, pid);
    ack.replace(OFF_VERSION, LEN_VERSION, std::string(LEN_VERSION, ' '));
    ack.replace(OFF_HOSTNAME, LEN_HOSTNAME, std::string(LEN_HOSTNAME, ' '));
    ack.replace(OFF_KEY, LEN_KEY, std::string(LEN_KEY, ' '));
    ack.replace(OFF_AUX_NUMBER, LEN_AUX_NUMBER, std::string(LEN_AUX_NUMBER, ' '));
    ack.replace(OFF_MSGTYPE, LEN_MSGTYPE, "--");
    ack.replace(OFF_DATETIME, LEN_DATETIME, std::string(LEN_DATETIME, ' '));
    ack[OFF_PERSISTENT] = 'N';
    ack.replace(OFF_MSGTEXT_LENGTH, LEN_MSGTEXT_LENGTH, "0000");
    ack[OFF_ALERT_NEWLINE] = '\n';
    return ack;
}

// The local time as a record's datetime text.
inline std::string
stamp_now()
{
    char d[LEN_DATETIME + 1];
    set_datestamp(d);
    return d;
}

// The local host name cut to the width of the hostname field.
inline std::string
host_field_text()
{
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return std::string(name, strnlen(name, LEN_HOSTNAME));
}

// s space-filled to width, then the field's zero byte.
inline std::string
padded(const std::string &s, std::size_t width)
{
    return s + std::string(width - s.size(), ' ') + '\0';
}

// s followed by spaces to width n, as the server stores hostnames and keys.
inline std::string
pad(const std::string &s, std::size_t n)
{
    std::string p = s;
    p.resize(std::max(n, s.size()), ' ');
    return p;
}

// How many times needle occurs in hay.
inline std::size_t
count(const std::string &hay, const std::string &needle)
{
    std::size_t n = 0;
    for (std::size_t at = hay.find(needle); at != std::string::npos;
         at = hay.find(needle, at + 1))
        n++;
    return n;
}

#endif // TESTS_RECORDS_H

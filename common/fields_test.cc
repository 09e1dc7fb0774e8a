// Tests of the field helpers at their edges.
#include "common/fields.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>

#include "common/record.h"

TEST(SpaceFillString, ContentWidthAndTerminator)
{
    struct {
        const char *name;
        std::string before;   // bytes of the field, then two guard bytes
        int n;
        std::string after;
    } cases[] = {
        {"short text", std::string("abc\0XYZW", 8), 5, std::string("abc  \0ZW", 8)},
        {"exactly full", std::string("abcde\0ZW", 8), 5, std::string("abcde\0ZW", 8)},
        {"overrun is cut", std::string("abcdefgh", 8), 5, std::string("abcde\0gh", 8)},
        {"leading newline", std::string("\nbcdeXZW", 8), 5, std::string("     \0ZW", 8)},
        {"newline inside", std::string("ab\ndeXZW", 8), 5, std::string("ab   \0ZW", 8)},
        {"all zero", std::string(8, '\0'), 5, std::string("     \0\0\0", 8)},
        {"width zero", std::string("abcdefgh", 8), 0, std::string("\0bcdefgh", 8)},
    };
    for (const auto &c : cases) {
        std::string buf = c.before;
        space_fill_string(buf.data(), c.n);
        EXPECT_EQ(buf, c.after) << c.name;
    }
}

TEST(NumberToString, DigitsDroppedPaddedAndTerminated)
{
    struct {
        int value, n;
        std::string out;      // n bytes written, guard byte after
    } cases[] = {
        {7, 4, "0007#"}, {345, 2, "45#"}, {0, 4, "0000#"}, {123456, 4, "3456#"}, {9, 1, "9#"},
    };
    for (const auto &c : cases) {
        std::string buf(c.out.size(), '#');
        number_to_string(buf.data(), c.value, c.n);
        EXPECT_EQ(buf, c.out) << c.value << "/" << c.n;
    }
    std::string buf(6, '#');
    number_to_string_with_null(buf.data(), 100, 5);
    EXPECT_EQ(buf, std::string("0100\0#", 6));
    buf.assign(3, '#');
    number_to_string_with_null(buf.data(), 100, 1);
    EXPECT_EQ(buf, std::string("\0##", 3));
    buf.assign(3, '#');
    number_to_string(buf.data(), 5, 0);
    EXPECT_EQ(buf, "###");
}

TEST(TranslateNewlines, BoundedByNAndByText)
{
    char text[] = "a\nb\nc\n\0\n\n";
    translate_nl_to_hat(text, 3);           // only the first three bytes
    EXPECT_EQ(std::string(text, 10), std::string("a^b\nc\n\0\n\n", 10));
    translate_nl_to_hat(text, 100);         // stops at the zero byte
    EXPECT_EQ(std::string(text, 10), std::string("a^b^c^\0\n\n", 10));
    translate_hat_to_nl(text, 100);
    EXPECT_EQ(std::string(text, 10), std::string("a\nb\nc\n\0\n\n", 10));
    char plain[] = "no newlines here";
    translate_nl_to_hat(plain, 4096);
    EXPECT_STREQ(plain, "no newlines here");
    translate_nl_to_hat(plain, 0);
    translate_nl_to_hat(plain, -3);
    EXPECT_STREQ(plain, "no newlines here");
}

TEST(ZeroDataField, WritesExactlyN)
{
    char buf[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    zero_data_field(buf + 1, 3);
    EXPECT_EQ(std::string(buf, 6), std::string("a\0\0\0ef", 6));
    zero_data_field(buf, 0);
    EXPECT_EQ(buf[0], 'a');
}

TEST(SetDatestamp, FormatAndLength)
{
    char buf[20];
    memset(buf, '#', sizeof buf);
    time_t before = time(nullptr);
    set_datestamp(buf);
    time_t after = time(nullptr);
    EXPECT_EQ(buf[14], '\0');
    EXPECT_EQ(buf[15], '#');
    // Matches one of the two minutes around the call.
    bool matched = false;
    for (time_t t : {before, after}) {
        struct tm tm_t;
        localtime_r(&t, &tm_t);
        char expect[32];
        strftime(expect, sizeof expect, "%Y%m%d %H:%M", &tm_t);
        matched = matched || std::string(buf) == expect;
    }
    EXPECT_TRUE(matched) << buf;
}

TEST(PadHeaderFields, TouchesOnlyTheSixTextFields)
{
    alert_record rec;
    rec.fill('\0');
    memcpy(rec.data() + OFF_PRODUCTID, "GENALERT", 8);
    rec[OFF_MSGTYPE] = 'A';
    rec[OFF_MSGTYPE + 1] = 'C';
    rec[OFF_REPLY_WANTED] = 'Y';
    rec[OFF_PERSISTENT] = 'Q';
    rec[OFF_ALERT_NEWLINE] = '\n';
    pad_header_fields(rec.data());
    EXPECT_EQ(std::string(rec.data(), 15), std::string("GENALERT      \0", 15));
    for (std::size_t off : {OFF_VERSION, OFF_HOSTNAME, OFF_KEY, OFF_AUX_NUMBER, OFF_DATETIME})
        EXPECT_EQ(rec[off], ' ') << off;
    for (std::size_t z : {14u, 25u, 41u, 56u, 62u, 80u})
        EXPECT_EQ(rec[z], '\0') << z;
    EXPECT_EQ(rec[OFF_MSGTYPE], 'A');
    EXPECT_EQ(rec[OFF_REPLY_WANTED], 'Y');
    EXPECT_EQ(rec[OFF_PERSISTENT], 'Q');
    for (std::size_t i = HEADER_SIZE; i < OFF_PERSISTENT; i++)
        EXPECT_EQ(rec[i], '\0') << i;
}

TEST(FieldText, NeverPastTheRecord)
{
    alert_record rec;
    rec.fill('x');
    // The final newline byte is never part of a field's text.
    EXPECT_EQ(field_text(rec, OFF_OPTIONAL_DATA).size(), OFF_ALERT_NEWLINE - OFF_OPTIONAL_DATA);
    rec[OFF_KEY + 3] = '\0';
    EXPECT_EQ(field_text(rec, OFF_KEY), "xxx");
}

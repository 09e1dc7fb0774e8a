// Shared texts: safe display, arguments, dates and state words.
#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

TEST(text, visible_texts_hold_no_control_bytes)
{
    struct {
        std::string in;
        bool utf8;
        std::string out;
    } cases[] = {
        {"plain text", false, "plain text"},
        {"\x1b[2J\x1b]0;title\x07", false, "^[[2J^[]0;title^G"},
        {std::string("a\rb\bc\0d\x7f\te\n", 11), false, "a^Mb^Hc^@d^?^Ie^J"},
        {"csi \x9b" "2J", false, "csi \\x9b2J"},
        {"caf\xc3\xa9 \xe2\x80\xa6", true, "caf\xc3\xa9 \xe2\x80\xa6"},
        {"caf\xc3\xa9", false, "caf\\xc3\\xa9"},
        {"\xc2\x9b" "2J", true, "\\xc2\\x9b2J"},                  // U+009B, a C1 control
        {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80", true,         // overlong, surrogate, too high
         "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
        {"cut \xe2\x80", true, "cut \\xe2\\x80"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(console_visible(c.in, c.utf8), c.out) << c.in;
}

TEST(text, ports_addresses_and_numbers_from_arguments)
{
    const struct {
        const char *text;
        bool ok;
        int port;
    } ports[] = {
        {"1", true, 1}, {"9003", true, 9003}, {"65535", true, 65535}, {"00080", true, 80},
        {"0", false, 0}, {"65536", false, 0}, {"99999", false, 0}, {"123456", false, 0},
        {"", false, 0}, {"+80", false, 0}, {" 80", false, 0}, {"80 ", false, 0},
        {"-1", false, 0}, {"80x", false, 0}, {"127.0.0.1", false, 0}, {"0x50", false, 0},
    };
    for (const auto &c : ports) {
        int port = -1;
        EXPECT_EQ(text_port(c.text, port), c.ok) << c.text;
        if (c.ok)
            EXPECT_EQ(port, c.port) << c.text;
        else
            EXPECT_EQ(port, -1) << c.text << ": a refused port is not stored";
    }

    const struct {
        const char *text;
        bool ok;
    } addresses[] = {
        {"127.0.0.1", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"10.1.2.3", true},
        {"9003", false}, {"127.1", false}, {"1.2.3", false}, {"1.2.3.4.5", false},
        {"256.1.1.1", false}, {"999.1.1.1", false}, {"1.2.3.04", false}, {"1..3.4", false},
        {"1.2.3.", false}, {".1.2.3", false}, {"1.2.3.4 ", false}, {"localhost", false},
        {"::1", false}, {"", false}, {"0x7f.0.0.1", false}, {"1.2.3.1000", false},
    };
    for (const auto &c : addresses)
        EXPECT_EQ(text_dotted_ipv4(c.text), c.ok) << c.text;
    EXPECT_FALSE(text_dotted_ipv4(std::string("127.0.0.1\0junk", 14)));

    int n = -1;
    EXPECT_TRUE(console_parse_int("3600", 1, 3600, n));
    EXPECT_EQ(n, 3600);
    for (const char *bad : {"", "0", "3601", "1x", "x"})
        EXPECT_FALSE(console_parse_int(bad, 1, 3600, n)) << bad;
}

TEST(text, datetimes_and_state_words)
{
    struct tm tm;
    ASSERT_TRUE(console_split_datetime("20240229 23:59", tm));
    EXPECT_EQ(tm.tm_year, 124);
    EXPECT_EQ(tm.tm_mon, 1);
    EXPECT_EQ(tm.tm_mday, 29);
    EXPECT_EQ(tm.tm_hour, 23);
    EXPECT_EQ(tm.tm_min, 59);
    EXPECT_EQ(tm.tm_isdst, -1);
    for (const char *bad : {"20241301 00:00", "20240100 00:00", "20240101 24:00",
                            "20240101 00:60", "20240101-00:00", "2024010 00:00", "garbage",
                            "2024O101 00:00"})
        EXPECT_FALSE(console_split_datetime(bad, tm)) << bad;

    EXPECT_STREQ(alert_state_word("AC"), "critical");
    EXPECT_STREQ(alert_state_word("AW"), "warning");
    EXPECT_STREQ(alert_state_word("IO"), "info");
    EXPECT_STREQ(alert_state_word("AK"), "acked");
    for (const char *other : {"--", "KA", "", "ACK", "ac"})
        EXPECT_EQ(alert_state_word(other), nullptr) << other;
    EXPECT_EQ(console_trim("web01   "), "web01");
    EXPECT_EQ(console_trim(" a b "), " a b");
}

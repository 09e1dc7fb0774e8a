// The filter language over alerts: what each expression matches, and every refusal with a
// message instead of an exception.
#include "common/filter_expr.h"

#include <gtest/gtest.h>

#include "common/record.h"

static filter_fields
fields(std::string host, std::string key, std::string severity, std::string state,
       std::string place, std::string by, std::string text)
{
    return {host, key, severity, state, place, by.empty() ? "no" : "yes", by, text};
}

TEST(FilterExpr, MatchesAsWritten)
{
    const filter_fields alerts[] = {
        fields("db01", "DISK01", "critical", "critical", "board", "", "/var is full"),
        fields("db02", "LOAD", "warning", "acked", "board", "alice", "load 12"),
        fields("web01", "DISK01", "critical", "critical", "waiting", "", "disk full on /srv"),
        fields("web02", "BACKUP", "info", "info", "board", "", "backup \"done\""),
    };
    struct { const char *expr, *matches; } cases[] = {
        {"", "1111"},
        {"   ", "1111"},
        {"critical", "1010"},                       // a free word in any field
        {"DISK", "1010"},
        {"disk web", "0010"},                       // every term must hold
        {"severity=critical host=~^db place=board", "1000"},
        {"severity=CRITICAL", "1010"},
        {"state!=critical", "0101"},
        {"place=waiting", "0010"},
        {"acked=yes by=alice", "0100"},
        {"by!=alice", "1011"},
        {"host!~^db", "0011"},
        {"key=~^(disk|load)", "1110"},
        {"text=\"/var is full\"", "1000"},
        {"\"is full\"", "1000"},
        {"text=~\"\\\"done\\\"\"", "0001"},         // an escaped quote inside quotes
        {"text=~full$", "1000"},
        {"HOST=web01", "0010"},
        {"host=", "0000"},
        {"by=", "1011"},
        {"key=~(a+)+$", "0000"},
    };
    for (const auto &c : cases) {
        filter_expr f;
        std::string error;
        ASSERT_TRUE(filter_parse(c.expr, f, error)) << c.expr << ": " << error;
        std::string got;
        for (const auto &a : alerts)
            got += filter_match(f, a) ? '1' : '0';
        EXPECT_EQ(got, c.matches) << c.expr;
    }
}

TEST(FilterExpr, RefusesWithAMessage)
{
    struct { const char *expr, *says; } cases[] = {
        {"colour=red", "unknown field 'colour' at column 1 (fields: host, key,"},
        {"host=db text=\"open", "no closing quote for the one at column 14"},
        {"=critical", "a field name must come before '='"},
        {"!~x", "a field name must come before '!~'"},
        {"host=~[", "bad regular expression '[' after 'host=~'"},
        {"text=~(", "bad regular expression"},
        {"key=~a{2,1}", "bad regular expression"},
        {"text=\"a\"b", "a blank must follow the closing quote"},
        {"text=~(a)\\1", "bad regular expression"},              // no back references
        {"host=~a\\1234567", "a number in the regular expression after 'host=~' is longer"},
        {"key=~a{1,9999999999999999999}", "is longer than 5 digits"},
    };
    for (const auto &c : cases) {
        filter_expr f;
        std::string error;
        EXPECT_FALSE(filter_parse(c.expr, f, error)) << c.expr;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.expr << ": " << error;
        EXPECT_TRUE(f.terms.empty());
    }
    filter_expr f;
    std::string error;
    EXPECT_FALSE(filter_parse("text=~" + std::string(300, 'a'), f, error));
    EXPECT_NE(error.find("longer than 256"), std::string::npos) << error;

    // A pattern that backtracks exponentially elsewhere is answered at once.
    ASSERT_TRUE(filter_parse("text=~(a+)+$", f, error)) << error;
    filter_fields a;
    a.text = std::string(60, 'a') + "!";
    EXPECT_FALSE(filter_match(f, a));
}

TEST(FilterExpr, FieldsOfABoardAlert)
{
    console_alert a;
    a.hostname = "db01           ";
    a.key = "DISK01        ";
    a.type = MSG_CLEAR;
    a.text = "full\x01";
    a.waiting = true;
    a.ack.present = true;
    a.ack.by = "alice";
    a.ack.severity = "AC";
    filter_fields f = filter_fields_of(a);
    EXPECT_EQ(f.host, "db01");
    EXPECT_EQ(f.key, "DISK01");
    EXPECT_EQ(f.severity, "critical");
    EXPECT_EQ(f.state, "acked");
    EXPECT_EQ(f.place, "waiting");
    EXPECT_EQ(f.acked, "yes");
    EXPECT_EQ(f.by, "alice");
    EXPECT_EQ(f.text, "full^A");
}

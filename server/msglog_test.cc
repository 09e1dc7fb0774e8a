// Tests of the message log: the length limit and the time stamp.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "server/test_util.h"

namespace {

using MsglogTest = server_fixture;

TEST_F(MsglogTest, LongestMessageIsKeptOneMoreIsDiscarded)
{
    std::string m510(509, 'a');
    myprintf("%s\n", m510.c_str());
    std::string m511(510, 'b');
    myprintf("%s\n", m511.c_str());
    std::string lg = log();
    EXPECT_NE(lg.find(m510 + "\n"), std::string::npos);
    EXPECT_EQ(lg.find("bbbbbbbbbb"), std::string::npos);
    EXPECT_NE(lg.find("*ERR: Message of > 512 bytes passed, discarded\n"), std::string::npos);
}

TEST_F(MsglogTest, EveryMessageIsStampedAndWrittenAtOnce)
{
    myprintf("INFO: one\n");
    myprintf("no newline ");
    myprintf("WARN: two %c%c\n", 'o', 'k');
    std::string lg = log();     // read before anything is closed: flushed per message
    std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} )");
    std::regex line(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} INFO: one\n)"
                    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} no newline )"
                    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} WARN: two ok\n$)");
    EXPECT_TRUE(std::regex_search(lg, line)) << lg;
}

} // namespace

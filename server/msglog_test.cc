// Tests of the message log: the length limit and the time stamp.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "server/test_util.h"

namespace {

using MsglogTest = server_fixture;

std::string
log_name()
{
    char name[32];
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    strftime(name, sizeof name, "log_%Y%m%d.log", &t);
    return name;
}

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

TEST_F(MsglogTest, EveryMessageIsStampedAndWrittenAtTheEndOfThePass)
{
    myprintf("INFO: one\n");
    myprintf("no newline ");
    myprintf("WARN: two %c%c\n", 'o', 'k');
    std::string lg = log();     // read at the end of the pass, before anything is closed
    std::regex stamp(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} )");
    std::regex line(R"(^[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} INFO: one\n)"
                    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} no newline )"
                    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\d \d\d:\d\d:\d\d \d{4} WARN: two ok\n$)");
    EXPECT_TRUE(std::regex_search(lg, line)) << lg;
}

TEST_F(MsglogTest, FileChangesWhenAnyPartOfTheDateChanges)
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    int today = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
    // The same day of the month in another month, or another year: still a new date.
    for (int other : {today - 100 + (t.tm_mon == 0 ? -10000 + 1200 : 0), today - 10000}) {
        msglog_set_file_date(other);
        myprintf("INFO: after %d\n", other);
        std::string lg = log();
        std::size_t closing = lg.rfind("Closing log file, rolling over to a new days log\n");
        ASSERT_NE(closing, std::string::npos) << other;
        EXPECT_NE(lg.find("INFO: after " + std::to_string(other) + "\n", closing),
                  std::string::npos);
    }
    // The same date: no change.
    std::size_t closings = 0;
    myprintf("INFO: same day\n");
    for (std::size_t at = log().find("Closing log file"); at != std::string::npos;
         at = log().find("Closing log file", at + 1))
        closings++;
    EXPECT_EQ(closings, 2u);
}

TEST_F(MsglogTest, FailedWritesAreReportedOnceAndTheServerGoesOn)
{
    myprintf("INFO: before\n");
    std::size_t size = log().size();
    // A file size limit stops the log from growing; the write fails as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit lim = old;
    lim.rlim_cur = size;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    // Standard error into a pipe, which no file size limit touches.
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    int saved_stderr = dup(2);
    dup2(err_pipe[1], 2);
    for (int i = 0; i < 3; i++) {
        myprintf("INFO: lost %d\n", i);
        msglog_flush();
    }
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    myprintf("INFO: after\n");
    msglog_flush();
    dup2(saved_stderr, 2);
    close(saved_stderr);
    close(err_pipe[1]);
    std::string err = read_available(err_pipe[0], 10);
    close(err_pipe[0]);
    EXPECT_EQ(err, "tarrowd: unable to write the message log " + log_name() +
                       ": File too large\n"
                       "tarrowd: writing the message log " + log_name() + " works again\n");
    std::string lg = log();
    EXPECT_EQ(lg.find("INFO: lost"), std::string::npos);
    EXPECT_NE(lg.find("INFO: after\n"), std::string::npos);
}

} // namespace

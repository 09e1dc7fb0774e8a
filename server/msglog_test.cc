// Tests of the message log: the length limit, the time stamp, the daily files.
#include <gtest/gtest.h>

#include <fcntl.h>
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

// Control bytes reach the log as '.': C0, DEL, and C1 (0x80-0x9F outside valid UTF-8, or the
// code points U+0080-U+009F); every other valid UTF-8 sequence stays as it is.
TEST_F(MsglogTest, ControlBytesAreDotsAndValidUtf8IsKept)
{
    struct {
        std::string in, out;
    } cases[] = {
        {"tab\there", "tab.here"},
        {"esc\x1b[31m del\x7f", "esc.[31m del."},
        {"csi\x9b" "31m nel\x85", "csi.31m nel."},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0",
         "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xc2\xa0"},
        {"u85 \xc2\x85 u9f \xc2\x9f", "u85 .. u9f .."},
        {"lone \xc3 cut \xe2\x82", "lone \xc3 cut \xe2."},
        {"overlong \xe0\x80\x80 \xc0\x80", "overlong \xe0.. \xc0."},
        {"surrogate \xed\xa0\x80 high \xf4\x90\x80\x80", "surrogate \xed\xa0. high \xf4..."},
        {"stray \xff\x90\xbf", "stray \xff.\xbf"},
    };
    for (const auto &c : cases) {
        myprintf("INFO: [%s]\n", c.in.c_str());
        std::string lg = log();
        EXPECT_NE(lg.find("INFO: [" + c.out + "]\n"), std::string::npos) << c.in << "\n" << lg;
    }
}

// The date yyyymmdd of days before today, as a log file name.
std::string
log_name_days_ago(int days)
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    t.tm_mday -= days;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    mktime(&t);
    char name[32];
    strftime(name, sizeof name, "log_%Y%m%d.log", &t);
    return name;
}

bool
exists(const std::string &name)
{
    return access(name.c_str(), F_OK) == 0;
}

TEST_F(MsglogTest, OldDailyLogsAreRemovedAtEachChangeOfDay)
{
    const int keep = 3;
    // Every log more than three days old goes, in every form a rotation leaves; other names
    // are never touched.
    struct {
        std::string name;
        bool kept;
    } files[] = {
        {log_name_days_ago(1), true},
        {log_name_days_ago(keep), true},
        {log_name_days_ago(keep + 1), false},
        {log_name_days_ago(400), false},
        {"log_19991231.log", false},
        {"log_1999123.log", true},
        {"log_19991231.log.gz", false},
        {"log_19991231.log.1", false},
        {"log_19991231.log.12.gz", false},
        {log_name_days_ago(keep) + ".1.gz", true},
        {"xlog_19991231.log", true},
        {"log_1999123x.log", true},
        {"log_199912311.log", true},
        {"log_19991231.log.", true},
        {"log_19991231.log.0", true},
        {"log_19991231.log.1x", true},
        {"log_19991231.log.gz.1", true},
        {"log_19991231.log.bak", true},
        {"log_19991231.logs", true},
    };
    for (const auto &f : files)
        ASSERT_EQ(close(open(f.name.c_str(), O_WRONLY | O_CREAT, 0644)), 0) << f.name;

    // Keeping every log (the default), a change of day removes nothing.
    msglog_set_file_date(19700101);
    myprintf("INFO: a new day\n");
    for (const auto &f : files)
        EXPECT_TRUE(exists(f.name)) << f.name;

    msglog_keep_days = keep;
    msglog_set_file_date(19700101);
    myprintf("INFO: another day\n");
    msglog_keep_days = 0;
    for (const auto &f : files)
        EXPECT_EQ(exists(f.name), f.kept) << f.name;
    EXPECT_TRUE(exists(log_name()));
    std::string lg = log();
    EXPECT_NE(lg.find("INFO: Removed log file log_19991231.log, older than 3 days\n"),
              std::string::npos) << lg;
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

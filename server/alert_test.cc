// Tests of alert processing: the event line, the ACK reply and bounded field reading.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/test_util.h"
#include "tests/records.h"

namespace {

using AlertTest = server_fixture;

TEST_F(AlertTest, AckIsByteExactAndOnlyWhenAsked)
{
    sock_pair p;
    ASSERT_EQ(client_open(p.server_fd), 0);
    for (const char *type : {"AC", "LO", "ZZ"}) {
        line_buf l = make_record("RELOADER", "somehost", "somekey", type, 'Y', "text");
        process_alert_request(p.server_fd, l.data());
        std::string ack = read_available(p.peer_fd);
        ASSERT_EQ(ack.size(), ALERT_RECORD_SIZE) << type;
        EXPECT_EQ(ack, expected_ack("RELOADER")) << type;
    }
    EXPECT_NE(log().find("*ERR: Unknown message type ZZ from somehost       , discarded\n"),
              std::string::npos);
    // A log-only record is a known type: logged, counted as such, and nothing more.
    EXPECT_EQ(log().find("Unknown message type LO"), std::string::npos);
    EXPECT_EQ(stats.received_log_only, 1u);
    EXPECT_EQ(stats.received_unknown_type, 1u);
    EXPECT_EQ(last_table_entry, 1);

    for (char rw : {'N', 'y', '\0'}) {
        line_buf l = make_record("JOBSCHED", "h", "k", "AC", rw);
        process_alert_request(p.server_fd, l.data());
        EXPECT_EQ(read_available(p.peer_fd, 50), "") << int(rw);
    }
}

TEST_F(AlertTest, EventLineIsWrittenAsReceivedAndCutAt127)
{
    line_buf l = make_record("GENALERT", "web01", "DISK", "AW", 'N', "disk almost full");
    process_alert_request(-1, l.data());
    EXPECT_NE(log().find(" AINF: web01           " + std::string(l.b + OFF_DATETIME, 14) +
                         " AW DISK           Y disk almost full \n"),
              std::string::npos) << log();

    line_buf big = make_record("GENALERT", "web01", "DISK", "AC", 'N', std::string(100, 'm'));
    memset(big.b + OFF_OPTIONAL_DATA, 'o', LEN_OPTIONAL_DATA);
    process_alert_request(-1, big.data());
    std::string lg = log();
    std::size_t at = lg.rfind("AINF: ");
    std::size_t end = lg.find('\n', at);
    EXPECT_EQ(end - at, 127u);
}

TEST_F(AlertTest, KeyAndHostArePaddedBeforeStoring)
{
    line_buf l;
    memcpy(l.b, "JOBSCHED", 8);
    memcpy(l.b + OFF_HOSTNAME, "web1", 4);   // not space-filled, as a careless sender might
    memcpy(l.b + OFF_KEY, "CPU1", 4);
    memcpy(l.b + OFF_MSGTYPE, "AC", 2);
    process_alert_request(-1, l.data());
    ASSERT_EQ(last_table_entry, 1);
    EXPECT_EQ(std::string(memory_table[0].data() + OFF_KEY, 15), std::string("CPU1          \0", 15));
    EXPECT_EQ(std::string(memory_table[0].data() + OFF_HOSTNAME, 16),
              std::string("web1           \0", 16));
    line_buf clear = make_record("JOBSCHED", "web1", "CPU1          ", "AK");
    process_alert_request(-1, clear.data());
    EXPECT_EQ(last_table_entry, 0);
}

TEST_F(AlertTest, FieldsWithoutTerminatorsStopAtTheRecordEnd)
{
    // A crafted record: no zero byte anywhere, and bytes after it in the line buffer.
    line_buf l;
    memset(l.b, 'A', sizeof l.b - 1);
    memcpy(l.b, "JOBSCHED", 8);
    memcpy(l.b + OFF_MSGTYPE, "QQ", 2);
    memset(l.b + ALERT_RECORD_SIZE, 'Z', 100);
    process_alert_request(-1, l.data());
    std::string lg = log();
    // The host text runs from byte 26 up to, not including, the record's last byte.
    std::string host(l.b + OFF_HOSTNAME, OFF_ALERT_NEWLINE - OFF_HOSTNAME);
    EXPECT_NE(lg.find("*ERR: Unknown message type QQ from " + host + ", discarded\n"),
              std::string::npos) << lg;
    EXPECT_EQ(lg.find('Z'), std::string::npos) << lg;
}

} // namespace

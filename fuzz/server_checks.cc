#include "fuzz/server_checks.h"

#include <cstring>

#include "fuzz/fuzz_util.h"
#include "server/server.h"

void
fuzz_check_server_state()
{
    FUZZ_CHECK(last_table_entry >= 0 && last_table_entry <= MAX_ALERTS);
    for (int i = 0; i < last_table_entry; i++) {
        const char *a = memory_table[i].data();
        FUZZ_CHECK(!msgtype_is(a, MSG_REMOVING));
        FUZZ_CHECK(msgtype_is(a, MSG_CRITICAL) || msgtype_is(a, MSG_WARNING) ||
                   msgtype_is(a, MSG_INFO) || msgtype_is(a, MSG_CLEAR));
        for (int j = 0; j < i; j++) {
            const char *b = memory_table[j].data();
            FUZZ_CHECK(memcmp(a + OFF_HOSTNAME, b + OFF_HOSTNAME, LEN_HOSTNAME) != 0 ||
                       memcmp(a + OFF_KEY, b + OFF_KEY, LEN_KEY) != 0);
        }
    }
    long size = fuzz_file_size(event_logfile_name);
    FUZZ_CHECK(size < 0 || size % static_cast<long>(ALERT_RECORD_SIZE) == 0);
}

// The overflow file left by an earlier run: any bytes, any length. Start-up opens it (a torn
// tail is cut) and replays it, then the board is drained one alert at a time, as operators
// clearing alerts would, each clear refilling the table from the file. The server state must
// stay sound after every step, and the drain must end with the table empty and nothing
// left unread.
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_util.h"
#include "fuzz/server_checks.h"
#include "server/server.h"

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    overflow_close();
    if (!fuzz_write_file(event_logfile_name, data, size))
        return 0;
    alert_table_reset();
    FUZZ_CHECK(overflow_open() == 0);
    if (alerts_num_buffered() > 0) {
        alert_retrieve_from_overflow();
        alert_check_overflow_file();
    }
    fuzz_check_server_state();

    // Each step removes one alert, and a replay never adds an alert to a full table, so the
    // drain takes at most one step per record and per alert at the start.
    long limit = static_cast<long>(size / ALERT_RECORD_SIZE) + MAX_ALERTS + 1;
    for (long step = 0; last_table_entry > 0; step++) {
        FUZZ_CHECK(step < limit);
        char clear[ALERT_RECORD_SIZE];
        memcpy(clear, memory_table[0].data(), ALERT_RECORD_SIZE);
        memcpy(clear + OFF_PRODUCTID, "GENALERT", 8);
        set_msgtype(clear, MSG_CLEAR);
        process_alert_message(clear, 0);
        fuzz_check_server_state();
    }
    FUZZ_CHECK(alerts_num_buffered() == 0);
    return 0;
}

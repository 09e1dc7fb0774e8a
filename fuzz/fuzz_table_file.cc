// The table saved by --keep-table (alert_table.dat): any bytes. Loading either restores a
// sound board (and saving it again gives back the same records) or reports the file as
// damaged, moves it aside whole and starts with an empty table; nothing in between. A restored
// board then serves a console: a listing, each alert's details, an acknowledgement and a
// deletion, every reply whole.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "fuzz/server_checks.h"
#include "server/ack.h"
#include "server/server.h"

static const char BAD_NAME[] = "alert_table.dat.bad";

// The file's first n records as the table keeps them: an acknowledged alert that got its
// ack back holds no reply flag, which the table clears with every acknowledgement.
static std::string
as_kept(const std::string &input, int n)
{
    std::string out = input;
    for (int i = 0; i < n; i++) {
        char *rec = out.data() + static_cast<std::size_t>(i) * ALERT_RECORD_SIZE;
        if (msgtype_is(rec, MSG_CLEAR) && memory_table[i][OFF_REPLY_WANTED] == '\0')
            rec[OFF_REPLY_WANTED] = '\0';
    }
    return out;
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_saved_table_setup();
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    unlink(BAD_NAME);
    // Each input starts without the journal the console requests of the one before wrote.
    table_store_close();
    unlink(table_journal_name);
    overflow_close();
    unlink(event_logfile_name);
    if (!fuzz_write_file(table_file_name, data, size) || overflow_open() != 0)
        return 0;
    alert_table_reset();

    int restored = table_store_load();
    fuzz_check_server_state();
    FUZZ_CHECK(restored == last_table_entry);
    if (fuzz_file_size(table_file_name) < 0) {
        // Moved aside: the damaged file whole under its new name, and the whole alerts
        // before the damage on the board.
        FUZZ_CHECK(fuzz_read_file(BAD_NAME) == input);
        FUZZ_CHECK(static_cast<std::size_t>(last_table_entry) * ALERT_RECORD_SIZE <= size);
        const std::string kept = as_kept(input, last_table_entry);
        for (int i = 0; i < last_table_entry; i++)
            FUZZ_CHECK(memcmp(memory_table[i].data(), kept.data() + i * ALERT_RECORD_SIZE,
                              ALERT_RECORD_SIZE) == 0);
        return 0;
    }
    FUZZ_CHECK(fuzz_file_size(BAD_NAME) < 0);
    // The alerts, their acknowledgements, the state record.
    FUZZ_CHECK(size % ALERT_RECORD_SIZE == 0);
    std::size_t records = size / ALERT_RECORD_SIZE;
    FUZZ_CHECK(records >= static_cast<std::size_t>(restored) + 1);
    for (std::size_t i = static_cast<std::size_t>(restored); i + 1 < records; i++)
        FUZZ_CHECK(ack_is_record(input.data() + i * ALERT_RECORD_SIZE));
    const std::string kept = as_kept(input, restored);
    for (int i = 0; i < restored; i++)
        FUZZ_CHECK(memcmp(memory_table[i].data(), kept.data() + i * ALERT_RECORD_SIZE,
                          ALERT_RECORD_SIZE) == 0);

    // Saved again, the file loads back into the same board and acknowledgements.
    FUZZ_CHECK(table_store_save() == 0);
    std::string saved = fuzz_read_file(table_file_name);
    FUZZ_CHECK(saved.size() == size);
    FUZZ_CHECK(memcmp(saved.data(), kept.data(), size - ALERT_RECORD_SIZE) == 0);
    // As a restart does: the journal closed first, or each load would keep one open.
    table_store_close();
    alert_table_reset();
    FUZZ_CHECK(table_store_load() == restored);
    FUZZ_CHECK(fuzz_file_size(BAD_NAME) < 0);
    fuzz_serve_console();
    return 0;
}

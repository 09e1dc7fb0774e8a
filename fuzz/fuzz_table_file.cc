// The table saved by --keep-table (alert_table.dat): any bytes. Loading either restores a
// sound board (and saving it again gives back the same records) or reports the file as
// damaged, moves it aside whole and starts with an empty table; nothing in between.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "fuzz/server_checks.h"
#include "server/server.h"

static const char BAD_NAME[] = "alert_table.dat.bad";

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    keep_table = true;
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    unlink(BAD_NAME);
    overflow_close();
    unlink(event_logfile_name);
    if (!fuzz_write_file(table_file_name, data, size) || overflow_open() != 0)
        return 0;
    alert_table_reset();

    int restored = table_store_load();
    fuzz_check_server_state();
    FUZZ_CHECK(restored == last_table_entry);
    if (fuzz_file_size(table_file_name) < 0) {
        // Moved aside: the damaged file whole under its new name, and an empty board.
        FUZZ_CHECK(fuzz_read_file(BAD_NAME) == input);
        FUZZ_CHECK(last_table_entry == 0);
        return 0;
    }
    FUZZ_CHECK(fuzz_file_size(BAD_NAME) < 0);
    FUZZ_CHECK(size == static_cast<std::size_t>(restored + 1) * ALERT_RECORD_SIZE);
    for (int i = 0; i < restored; i++)
        FUZZ_CHECK(memcmp(memory_table[i].data(), data + i * ALERT_RECORD_SIZE,
                          ALERT_RECORD_SIZE) == 0);

    // Saved again, the file loads back into the same board.
    FUZZ_CHECK(table_store_save() == 0);
    std::string saved = fuzz_read_file(table_file_name);
    FUZZ_CHECK(saved.size() == size);
    FUZZ_CHECK(memcmp(saved.data(), data, static_cast<std::size_t>(restored) * ALERT_RECORD_SIZE) == 0);
    alert_table_reset();
    FUZZ_CHECK(table_store_load() == restored);
    FUZZ_CHECK(fuzz_file_size(BAD_NAME) < 0);
    return 0;
}

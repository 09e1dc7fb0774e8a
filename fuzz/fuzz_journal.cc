// The saved table with its journal (--keep-table): a first byte that says how many records
// of the rest are alert_table.dat (none: no such file), and after them alert_table.jnl, any
// bytes each. Loading
// gives a sound board and leaves the journal as whole entries, a prefix of what it was.
// Then what the server writes must load back to the board it had: a save alone, and the
// journal entries the console's changes (an un-acknowledgement, an acknowledgement, a
// deletion) add to that save, as after a crash.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "fuzz/server_checks.h"
#include "server/ack.h"
#include "server/server.h"

// The table and the acks as a save writes them.
static std::string
board_now()
{
    std::string out;
    for (int i = 0; i < last_table_entry; i++)
        out.append(memory_table[i].data(), ALERT_RECORD_SIZE);
    static std::vector<char> acks(2 * MAX_TABLE_SIZE * ALERT_RECORD_SIZE);
    std::size_t n = ack_save_records(acks.data(), MAX_TABLE_SIZE);
    out.append(acks.data(), n * ALERT_RECORD_SIZE);
    return out;
}

// Loads the files as a restarted server does. Returns the board it got.
static std::string
load_again()
{
    table_store_close();
    overflow_close();
    FUZZ_CHECK(overflow_open() == 0);
    alert_table_reset();
    int restored = table_store_load();
    FUZZ_CHECK(restored == last_table_entry);
    fuzz_check_server_state();
    return board_now();
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
    if (size == 0)
        return 0;
    std::size_t table_bytes = static_cast<std::size_t>(data[0]) * ALERT_RECORD_SIZE;
    if (table_bytes > size - 1)
        table_bytes = size - 1;
    const std::string journal(reinterpret_cast<const char *>(data) + 1 + table_bytes,
                              size - 1 - table_bytes);
    table_store_close();
    overflow_close();
    unlink("alert_table.dat.bad");
    unlink(event_logfile_name);
    // No records: no saved table at all, as at a first start.
    unlink(table_file_name);
    if ((table_bytes > 0 && !fuzz_write_file(table_file_name, data + 1, table_bytes)) ||
        !fuzz_write_file(table_journal_name, journal.data(), journal.size()) ||
        overflow_open() != 0)
        return 0;
    alert_table_reset();
    int restored = table_store_load();
    FUZZ_CHECK(restored == last_table_entry);
    fuzz_check_server_state();
    // What is left of the journal is whole records, the entries before any damage.
    std::string kept = fuzz_read_file(table_journal_name);
    FUZZ_CHECK(kept.size() % ALERT_RECORD_SIZE == 0 && kept.size() <= journal.size());
    FUZZ_CHECK(journal.compare(0, kept.size(), kept) == 0);
    const std::string loaded = board_now();

    // Saved, the board loads back whole, and the journal is empty.
    FUZZ_CHECK(table_store_save() == 0);
    FUZZ_CHECK(fuzz_file_size(table_journal_name) == 0);
    FUZZ_CHECK(load_again() == loaded);

    // The console changes the board; each change is journaled before its reply leaves.
    fuzz_serve_console();
    const std::string changed = board_now();
    FUZZ_CHECK(table_store_sync() == 0);
    FUZZ_CHECK(load_again() == changed);
    return 0;
}

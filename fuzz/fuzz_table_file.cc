// The table saved by --keep-table (alert_table.dat): any bytes. Loading either restores a
// sound board (and saving it again gives back the same records) or reports the file as
// damaged, moves it aside whole and starts with an empty table; nothing in between. A restored
// board then serves a console: a listing, each alert's details, an acknowledgement and a
// deletion, every reply whole.
#include <signal.h>
#include <sys/socket.h>
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

// A console request for the alert of table slot `slot` (-1: none), as tarrowc sends it.
static std::string
console_request(std::string_view cmd, int slot)
{
    char rec[ALERT_RECORD_SIZE] = {};
    memcpy(rec + OFF_PRODUCTID, "CONSOLE99_127", 13);
    if (slot >= 0) {
        memcpy(rec + OFF_HOSTNAME, memory_table[slot].data() + OFF_HOSTNAME, LEN_HOSTNAME);
        memcpy(rec + OFF_KEY, memory_table[slot].data() + OFF_KEY, LEN_KEY);
    }
    // As tarrowc does, a newline in them goes as a space: the request stays one line (and
    // its bytes never start another, such as a shutdown request).
    for (std::size_t i = 0; i < OFF_ALERT_NEWLINE; i++)
        if (rec[i] == '\n')
            rec[i] = ' ';
    set_msgtype(rec, cmd);
    rec[OFF_REPLY_WANTED] = 'Y';
    rec[OFF_ALERT_NEWLINE] = '\n';
    return std::string(rec, sizeof rec);
}

// Lists the restored board, asks for every alert's details (with and without its ack),
// un-acknowledges and acknowledges the first alert and deletes the last, over one connection; every reply must come back whole.
static void
serve_console()
{
    int sv[2];
    // Non-blocking, as the server's accepted connections are.
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) == 0);
    client_table_reset();
    FUZZ_CHECK(client_open(sv[0], "fuzz-console") == 0);
    std::string requests = console_request(CMD_LIST, -1);
    for (int i = 0; i < last_table_entry; i++) {
        requests += console_request(CMD_DETAILS, i);
        requests += console_request(CMD_DETAILS_ACK, i);
    }
    if (last_table_entry > 0) {
        requests += console_request(CMD_UNACK, 0);
        requests += console_request(CMD_ACKNOWLEDGE, 0);
        requests += console_request(CMD_DELETE, last_table_entry - 1);
        requests += console_request(CMD_LIST, -1);
    }
    FUZZ_CHECK(send(sv[1], requests.data(), requests.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(requests.size()));
    shutdown(sv[1], SHUT_WR);
    std::string replies;
    for (int k = 0; k < 2 * MAX_ALERTS + 20 && client_open_count > 0; k++) {
        fuzz_server_pass();
        fuzz_collect_replies(sv[1], replies);
        fuzz_check_server_state();
    }
    FUZZ_CHECK(client_open_count == 0);
    fuzz_collect_replies(sv[1], replies);
    FUZZ_CHECK(replies.empty());
    close(sv[1]);
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    signal(SIGPIPE, SIG_IGN);
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
        // Moved aside: the damaged file whole under its new name, and the whole alerts
        // before the damage on the board.
        FUZZ_CHECK(fuzz_read_file(BAD_NAME) == input);
        FUZZ_CHECK(static_cast<std::size_t>(last_table_entry) * ALERT_RECORD_SIZE <= size);
        for (int i = 0; i < last_table_entry; i++)
            FUZZ_CHECK(memcmp(memory_table[i].data(), data + i * ALERT_RECORD_SIZE,
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
    for (int i = 0; i < restored; i++)
        FUZZ_CHECK(memcmp(memory_table[i].data(), data + i * ALERT_RECORD_SIZE,
                          ALERT_RECORD_SIZE) == 0);

    // Saved again, the file loads back into the same board and acknowledgements.
    FUZZ_CHECK(table_store_save() == 0);
    std::string saved = fuzz_read_file(table_file_name);
    FUZZ_CHECK(saved.size() == size);
    FUZZ_CHECK(memcmp(saved.data(), data, size - ALERT_RECORD_SIZE) == 0);
    alert_table_reset();
    FUZZ_CHECK(table_store_load() == restored);
    FUZZ_CHECK(fuzz_file_size(BAD_NAME) < 0);
    serve_console();
    return 0;
}

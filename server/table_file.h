// What the saved table's writer (table_store.cc) and reader (table_load.cc) share: the kinds
// of record they write besides alerts and acknowledgements, the checksum, and how a state
// file is opened.
#ifndef SERVER_TABLE_FILE_H
#define SERVER_TABLE_FILE_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// The productid of the state record ending a whole board: no sender uses it, so it is never
// taken for an alert.
inline constexpr std::string_view STATE_PRODUCTID = "TARROWD-STATE";
// A journal entry's state record, and the record of an alert removed.
inline constexpr std::string_view DELTA_PRODUCTID = "TARROWD-DELTA";
inline constexpr std::string_view REMOVED_PRODUCTID = "TARROWD-DEL";

inline std::uint32_t
checksum(const char *p, std::size_t n, std::uint32_t h = 2166136261u)
{
    for (std::size_t i = 0; i < n; i++)
        h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
    return h;
}

// Opens a state file without following a link and without waiting on a FIFO; only a regular
// file is accepted. Returns the descriptor, or -1 (errno set; EINVAL for another kind).
int open_state_file(const char *name, int flags);
// The board is loaded: from now on the writer saves and journals. fd is the journal's, seq the
// newest sequence number seen; whole when alert_table.dat alone gave the board (otherwise it
// is saved at once, which empties the journal); journal_at where its next entry goes.
void table_store_loaded(int fd, unsigned long seq, bool whole, off_t journal_at);

#endif // SERVER_TABLE_FILE_H

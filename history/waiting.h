// The records that wait in tarrowd's overflow file, as tarrow-history follows them: a queue
// in the order they were written, held in memory up to a limit and in a temporary file
// beyond it, so that a board full for hours costs no more memory than a quiet one.
#ifndef HISTORY_WAITING_H
#define HISTORY_WAITING_H

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "history/logline.h"

// One alert as the server holds it, with the acknowledgement the log told of.
struct board_alert {
    char host[LEN_HOSTNAME];        // space-filled
    char key[LEN_KEY];
    std::uint64_t id = 0;           // a hash of host and key, to compare first
    char request[2];                // msgtype: a severity; AK KA KH queued; PA PU PD pending
    char datetime[LEN_DATETIME];
    char persistent = ' ';
    std::string text;
    bool acked = false;
    std::string who, note;          // empty when the log did not say
    stamp_t until = 0;              // 0: never
    stamp_t since = 0;              // when it entered the table
};

// Records kept in memory before the queue goes on in the temporary file.
inline constexpr std::size_t WAITING_IN_MEMORY = 16384;

// Every record written since the file was last made anew, read or not (a server that
// restarts without its saved table reads the file again from its start), and where reading
// has got to. The first records are in memory, the rest in a temporary file.
struct waiting_file {
    std::vector<board_alert> mem;   // records 0 .. mem.size() - 1
    FILE *disk = nullptr;           // the records after them
    std::size_t count = 0;          // records in all
    std::size_t next = 0;           // the first unread record
    long end = 0;                   // the disk's bytes in use
    long next_at = 0;               // where the first unread record on disk starts
    long last_at = -1;              // where the last record on disk starts; -1 unknown
    bool moved = false;             // end moved back: the next write seeks to it first
    std::deque<board_alert> ahead;  // records read ahead from the disk, from next_at on
    std::string scratch;            // a record as it is written
    ~waiting_file();
};

// Records not yet read.
std::size_t waiting_unread(const waiting_file &w);
// Appends a record. Returns 0, or -1 when the temporary file cannot be written.
int waiting_push(waiting_file &w, const board_alert &a);
// The first unread record, nullptr when there is none.
const board_alert *waiting_front(waiting_file &w);
// Marks the first unread record read.
void waiting_pop_front(waiting_file &w);
// Reading starts again from the record at index next (0: the file's start).
void waiting_rewind(waiting_file &w, std::size_t next);
// Takes back the record written last into out, if it is unread. Returns false when there is
// none, or when it is no longer known (a second take-back in a row from the disk).
bool waiting_pop_back(waiting_file &w, board_alert &out);
// The file made anew: no records.
void waiting_clear(waiting_file &w);
// Calls f on every unread record, oldest first.
void waiting_each(const waiting_file &w, const std::function<void(const board_alert &)> &f);

#endif // HISTORY_WAITING_H

// One alert's history from tarrowd's daily logs, for programs other than tarrow-history: the
// same board replayed and the same timeline, as JSON.
#ifndef HISTORY_EVENTS_H
#define HISTORY_EVENTS_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "history/board.h"
#include "history/logfiles.h"
#include "history/report.h"

// Applies the messages of one line read from a log (a message without a newline is followed
// by the next one in the same line) to the board, handing each change to t; stops before a
// message stamped after end (0: no end). first_stamp takes the first message's time while
// it is 0. Returns 1 when every message was understood, 0 when one was not, -1 when it
// stopped at end.
int history_apply_line(const char *p, std::size_t n, stamp_cache &cache, log_line &line,
                       board &b, timeline &t, stamp_t end, stamp_t &first_stamp);

// Reads the files in order and applies each line to the board, handing each change to t.
// Returns the number of lines not understood; read_error is set when a file could not be
// read whole.
long history_scan(const std::vector<log_file> &files, board &b, timeline &t, bool &read_error);

// The events of the alert host and key (as shown, without padding) in the newest max_files
// daily logs of dir, as tarrow-history --json prints them, the newest max_events of them in
// time order: a JSON array. 0 with json set, -1 with error saying why.
int alert_events_json(const std::string &dir, std::string_view host, std::string_view key,
                      std::size_t max_files, std::size_t max_events, std::string &json,
                      std::string &error);

#endif // HISTORY_EVENTS_H

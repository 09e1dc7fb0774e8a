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

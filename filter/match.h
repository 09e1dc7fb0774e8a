// sievel's line matching and action lines.
#ifndef FILTER_MATCH_H
#define FILTER_MATCH_H

#include <cstddef>
#include <ctime>
#include <string_view>

// Longest action line: "USERFUNC-n ", key, " \"", 255 text bytes, "\" ", host, " ", a
// severity word, newline.
inline constexpr std::size_t ACTION_LINE_MAX = 512;

// How long the repeats of an alert raised by a text=first key are held back.
inline constexpr std::time_t TEXT_FIRST_HOLD_SECONDS = 600;
// The clock of the hold (a seam for tests): seconds.
extern std::time_t (*match_clock)();

// Index of the first entry in table order whose match text occurs anywhere in the line, -1
// when none does. Tries every entry at every position from the left: the reference result.
int find_first_entry_plain(std::string_view line);

// Prepares find_first_entry for the entries now in message_table. Call it after loading and
// after any change to the table.
void matcher_build();

// The same result as find_first_entry_plain, found in one pass over the line for all entries.
int find_first_entry(std::string_view line);

// Writes the action line of entry i for the line into buf (at least ACTION_LINE_MAX bytes) and
// returns its length. Sets reportinghost first when USEHOSTNAME is above 0. A raise whose key
// has a severity in a KEY line carries it after the host.
std::size_t format_action_line(std::string_view line, int i, char *buf);

// Writes the action line for the first matching entry, if any, on stdout, unless the entry's
// key keeps its first text (KEY ... text=first) and the same alert of the same host was raised
// less than TEXT_FIRST_HOLD_SECONDS ago, with no cancel since. The caller flushes stdout
// before it waits for more input.
void line_function_request(std::string_view line);

// Forgets every alert held back for text=first, as at the start of a run.
void match_hold_reset();

#endif // FILTER_MATCH_H

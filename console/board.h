// tarrowc: what the views make of the alerts: state words, ages, order, filter, screen widths
// and the JSON listing.
#ifndef CONSOLE_BOARD_H
#define CONSOLE_BOARD_H

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/console_client.h"

// "critical", "warning", "info" or "acked" for a state code; the code itself for any other.
std::string state_word(std::string_view type);
// Seconds since the alert's "YYYYMMDD HH:MM" local time (0 when that lies ahead); -1 when the
// text is no such time.
long alert_age_seconds(std::string_view datetime, time_t now);
// The alert's age: since the server first stored it, when the server says (seconds), else
// from its datetime (minutes).
long alert_age_seconds(const console_alert &a, time_t now);
// An age for people: "45s", "12m", "3h", "2d"; "?" for -1.
std::string age_text(long seconds);
// "YYYY-MM-DDTHH:MM" for "YYYYMMDD HH:MM"; any other text as it is.
std::string iso_datetime(std::string_view datetime);

// Seconds in a duration such as "90s", "45m", "2h", "1d" or "1h30m" (bare digits are
// seconds); -1 when the text is none or longer than a year.
long long parse_duration(const std::string &text);
// Seconds since the epoch of a local time "YYYY-MM-DD HH:MM[:SS]" (or with a 'T'), or
// "HH:MM[:SS]" for the next such time from now; -1 when the text is none.
long long parse_until(const std::string &text, time_t now);


// Orders the view cycles through: table order, severity, age (newest first), host and key.
enum sort_order { SORT_TABLE, SORT_SEVERITY, SORT_AGE, SORT_HOST, SORT_ORDERS };
const char *sort_name(int order);
// True when needle is in the host, key or text, letter case aside; an empty needle matches.
bool alert_matches(const console_alert &a, std::string_view needle);
// Indices of the alerts to show, in the order to show them: those that match the filter (an
// expression of common/filter_expr.h; while it is none, the text as one word) and, with
// hide_acked, are not acknowledged. Within the order's key (severity, age, host and key)
// the board's alerts come before the waiting ones, and ties keep table order.
std::vector<int> board_rows(const std::vector<console_alert> &alerts, int order,
                            std::string_view filter, bool hide_acked, time_t now);

// The state column of a view's row: "ack crit", "ack warn" or "ack info" for an acknowledged
// alert whose severity is known, else the state word.
std::string row_state(const console_alert &a);
// The text column of a row: an acknowledged alert's text after "[who] ", made visible.
std::string row_text(const console_alert &a, bool utf8);

// Columns a text made by console_visible takes on the screen (utf8: the locale's widths).
int text_width(std::string_view visible, bool utf8);
// The text in at most width columns: whole, or cut to end in a mark ("…" with utf8, ">"
// without) so that a cut never passes for the whole text.
std::string fit_width(std::string_view visible, int width, bool utf8);
// The text fitted into exactly width columns: cut as fit_width does, or padded with spaces.
std::string pad_width(std::string_view visible, int width, bool utf8);
// The text in lines of at most width columns, broken after a blank where one is near.
std::vector<std::string> wrap_text(std::string_view visible, int width, bool utf8);

// The question asked before deleting the alert at index of the table and every alert before
// it: "delete host key?" for the first, else "delete N alerts, from host key to host key?".
std::string delete_through_question(const std::vector<console_alert> &alerts, int index,
                                    bool utf8);

// One alert's details as labelled fields for people, in order: Host, Key, State, Raised,
// Persistent, Text, Optional data, and for an acknowledged alert with ack data Acked by,
// Acked at, Acked until and Note (its State then "acknowledged critical" and the like).
// Values pass console_visible; was, when not empty and no ack data came, is the severity
// the alert had before it was acknowledged as the view last saw it.
std::vector<std::pair<std::string, std::string>>
detail_fields(const console_details &d, time_t now, bool utf8, const std::string &was = "");

// The alerts as one JSON array of objects: host, key, state, severity (an acknowledged
// alert's from before the ack, null when unknown), datetime (ISO 8601, as sent), text,
// persistent (true, false, or null when unknown), place ("board" or "waiting") and, for an
// acknowledged alert whose ack data came, acknowledged: by, note, since and until (local ISO
// 8601, null for never). Texts pass console_visible.
std::string board_json(const std::vector<console_alert> &alerts);

// The counts of the watch's header, each as board+waiting, in under 80 columns at 100,000
// alerts: "50+10 | crit 14+4 | warn 36+3 | info 0+3 | acked 2".
std::string board_header(const std::vector<console_alert> &alerts);

// A monitoring system's check of the board, as a Nagios plugin answers: status 0 (OK), 1
// (WARNING: an unacknowledged warning) or 2 (CRITICAL: an unacknowledged critical), on the
// board or waiting, and the line "TARROW OK - 50 on board, 10 waiting, 0 critical,
// 0 warning | board=50 waiting=10 critical=0 warning=0 info=58 acked=2".
struct check_result {
    int status = 0;
    std::string line;
};
check_result board_check(const std::vector<console_alert> &alerts);

// The server's figures as one JSON object of name and number, in the server's order.
std::string summary_json(const console_summary &s);

#endif // CONSOLE_BOARD_H

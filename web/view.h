// tarrow-web: what the web program makes of the board: alerts and stats as JSON, the metrics
// text, entity tags. Pure functions of a snapshot, so that every format is tested alone.
#ifndef WEB_VIEW_H
#define WEB_VIEW_H

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/console_client.h"
#include "common/filter_expr.h"
#include "console/boards.h"

// The page: HTML with its CSS and JavaScript inline (made from page.html at build time).
extern const char WEB_PAGE[];

// Upper bounds of the poll duration histogram, in seconds (+Inf follows).
inline constexpr std::array<double, 8> POLL_BUCKETS = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.1,
                                                       0.5, 2.5};

// One of several boards as the last poll left it.
struct web_board {
    board_place place;
    bool up = false;
    std::string error;                  // why the last poll failed; empty when up
    std::vector<console_alert> alerts;  // as last fetched, kept while it does not answer
};
// An operator's action that a board did not take because it could not be reached: sent when
// the board answers again, before anything newer for it.
struct web_pending {
    std::uint64_t id = 0;
    std::size_t board = 0;              // index into the snapshot's boards
    std::string command;                // CMD_ACKNOWLEDGE, CMD_UNACK or CMD_DELETE
    std::string host, key, who, note;   // host and key as stored
    long long until = 0;
    time_t since = 0;
};

// What the poller knows: the last board it fetched and how its polls went.
struct web_snapshot {
    bool up = false;                    // the last poll succeeded
    std::string error;                  // why the last poll failed; empty when up
    std::vector<console_alert> alerts;  // the last board fetched (kept while down), then the
                                        // alerts waiting behind it
    std::vector<std::pair<std::string, long>> figures;  // the server's summary, when it has one
    time_t fetched = 0;                 // wall time of the last successful poll; 0 never
    std::uint64_t polls = 0, poll_errors = 0;
    std::array<std::uint64_t, POLL_BUCKETS.size() + 1> poll_buckets{};  // the last is +Inf
    double poll_seconds_sum = 0, last_poll_seconds = 0;
    // When this program first saw each alert (by host, key and listed time), in seconds:
    // finer than the listing's minute for the alerts raised while it runs.
    std::map<std::string, long long> seen;
    std::uint64_t seen_polls = 0;
    // With several boards: each board, and by host and key ('\0' between) where the alert is
    // and what differs ("both", ""), and the actions that wait for a board. alerts then holds
    // one row per host and key, and up is true while any board answers.
    std::vector<web_board> boards;
    std::map<std::string, std::pair<std::string, std::string>> where;
    std::vector<web_pending> pending;
    std::uint64_t next_pending = 1;
};

// Merges the boards of the snapshot into its alerts, where and up.
void snapshot_merge_boards(web_snapshot &s);
// The alerts that differ between the boards.
int snapshot_divergent(const web_snapshot &s);

// Notes when the alerts of the snapshot were first seen; now is the time of the poll.
void snapshot_note_seen(web_snapshot &s, long long now);

// Adds one poll of the given duration to the histogram and counters.
void snapshot_count_poll(web_snapshot &s, double seconds, bool ok);

// "critical", "warning", "info" or "acked" for a state code; the code itself otherwise.
std::string web_state(std::string_view type);
// Seconds since the epoch of an alert's "YYYYMMDD HH:MM" local time; -1 when it is no time.
long long web_raised(std::string_view datetime);
// When the alert was first raised, in seconds since the epoch; -1 when it is not known. Every
// age the web program shows comes from here.
long long web_first_seen(const web_snapshot &s, const console_alert &a);


// The alerts as a JSON array with the fields of `tarrowc list --json`: host, key, state,
// severity, datetime, text, persistent, and acknowledged (by, note, since, until) for an
// acknowledged alert whose ack data came. With full, also optional_data and raised (epoch
// seconds or null), which the page uses. Texts show control bytes as ^X and stay valid UTF-8.
std::string alerts_json(const std::vector<console_alert> &alerts, bool full,
                        const filter_expr *filter = nullptr);
// A link shown with each alert: {host} and {key} in the template are replaced by the
// alert's, URL-encoded.
struct web_link {
    std::string name, url_template;
};
// Reads NAME=TEMPLATE, the template an http or https URL; false when it is not one.
bool parse_link(std::string_view arg, web_link &out);
// The template with {host} and {key} replaced, percent-encoded.
std::string expand_link(const std::string &url_template, std::string_view host,
                        std::string_view key);

struct web_view_options {
    int interval = 1;               // seconds between polls
    bool acting = false;            // operators may sign in and act
    std::vector<web_link> links;
};
// The page's view: up, error, the interval, whether acting is on, the counts on the board
// and waiting behind it, and the full alerts, each with its links; while down, when they were
// fetched. With a filter, only the alerts it matches, and the counts are theirs; with a
// filter_error, every alert and "filter_error" saying what is wrong. It changes only when the
// board does, so an entity tag of it spares the browsers an unchanged board. stale is added
// per request (see board_with_stale).
std::string board_json(const web_snapshot &s, const web_view_options &o,
                       const filter_expr *filter = nullptr, const std::string &filter_error = "");
// The board text with "stale": true/false as its first member.
std::string board_with_stale(const std::string &board, bool stale);
// Counts, the age of the oldest alert and the poller's figures, as JSON.
std::string stats_json(const web_snapshot &s, time_t now);
// The Prometheus text exposition of the snapshot.
std::string metrics_text(const web_snapshot &s, time_t now);

// A strong entity tag (quoted) of a body.
std::string entity_tag(std::string_view body);
// True when an If-None-Match header value names tag (or is "*").
bool etag_matches(std::string_view if_none_match, std::string_view tag);

// The alert of alerts whose host and key, as the JSON shows them, are host and key; nullptr
// when there is none.
const console_alert *find_alert(const std::vector<console_alert> &alerts, std::string_view host,
                                std::string_view key);

#endif // WEB_VIEW_H

// The mirror: what the bridge has posted to Alertmanager, brought up to date with the board,
// and the JSON of alerts and silences that follows from it. No network here.
#ifndef BRIDGE_MIRROR_H
#define BRIDGE_MIRROR_H

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/board.h"

using label_list = std::vector<std::pair<std::string, std::string>>;

// What names this bridge's alerts and silences.
struct mirror_config {
    std::string board;      // "address:port" of the board
    label_list labels;      // added to every alert and to the matchers of every silence
    int interval = 15;      // seconds between syncs
};

// An alert as the bridge posts it.
struct mirrored_alert {
    std::string host;       // label instance
    std::string key;        // label alertname
    std::string severity;   // critical, warning, info, or unknown when first seen acknowledged
    std::string state;      // critical, warning, info or acked
    std::string text;       // annotation summary
    std::string raised;     // annotation raised: the date and time as the sender stamped it
    std::string place;      // annotation place: "board", or "waiting" behind a full board
    time_t starts = 0;
    time_t ends = 0;        // resolved alerts only: when the alert left the board
    // An acknowledged alert's ack, when the board said who made it:
    bool ack = false;
    std::string ack_by, ack_note;
    time_t ack_since = 0;
    time_t ack_until = 0;   // 0: none, the silence is renewed
};

struct mirror_state {
    std::map<std::pair<std::string, std::string>, mirrored_alert> alerts;   // by host, key
    std::vector<mirrored_alert> resolved;   // posted with their end until every post took them
    bool board_down = false;
    time_t down_since = 0;
    std::string down_error;
    // Acks whose silence someone expired in Alertmanager: not silenced again until the
    // board's ack changes.
    std::set<std::string> silence_refused;
    // Alerts that an active silence made elsewhere (by a person, or by the bridge of another
    // board) selects, with the least id of those silences: the bridge makes no silence of its
    // own for them, and gives up one it made when the other's id is less (two bridges that
    // silenced one alert at once keep one silence between them).
    std::map<std::pair<std::string, std::string>, std::string> silenced_elsewhere;
};

// A silence this bridge made for this board, as Alertmanager lists it.
struct own_silence {
    std::string id;
    std::string host, key;
    std::string starts;     // as listed, sent back unchanged when the silence is renewed
    time_t starts_at = 0;
    time_t ends = 0;
    std::string created_by, comment;
    bool expired = false;   // no longer active: ended, or expired by someone
};

// What to do about silences after a sync.
struct silence_plan {
    std::vector<mirrored_alert> create;     // acknowledged alerts without a silence
    std::vector<own_silence> renew;         // silences that end too soon
    std::vector<own_silence> expire;        // silences of alerts no longer acknowledged
    std::vector<std::string> log;           // silences someone expired, said once
};

inline constexpr const char *BOARD_DOWN_NAME = "TarrowBoardDown";
inline constexpr const char *SILENCE_CREATOR = "tarrow-bridge";
inline constexpr long SILENCE_SECONDS = 24 * 3600;    // renewed when less than half is left

// Brings the state up to date with the board's alerts, or with a board that could not be
// fetched (board nullptr, error the reason). Returns the lines to log, one per change.
std::vector<std::string> mirror_update(mirror_state &st, const mirror_config &cfg,
                                       const std::vector<board_alert> *board,
                                       const std::string &error, time_t now);
// Takes up, from the body of GET /api/v2/alerts, the alerts an earlier run posted for this
// board and that the state does not hold yet. Returns how many it took up.
int mirror_recover(mirror_state &st, const mirror_config &cfg, const nlohmann::json &list);
// The array to post: the board's alerts ending four intervals ahead, the board-down alert
// while the board is lost, and the resolved alerts ending when they left.
nlohmann::json mirror_alerts(const mirror_state &st, const mirror_config &cfg, time_t now);
// After a post: forgets the resolved alerts once every Alertmanager took them, or once their
// last end has passed anyway.
void mirror_posted(mirror_state &st, const mirror_config &cfg, bool all_ok, time_t now);

// The silences of a GET /api/v2/silences body that this bridge made for this board: those
// active or pending, and with expired set those that ended.
std::vector<own_silence> mirror_own_silences(const nlohmann::json &list,
                                             const mirror_config &cfg, bool expired = false);
// Compares the acknowledged alerts with the bridge's silences (ended: the expired ones). A
// silence that no longer says what the ack says (who, note, expiry, a later ack) is replaced.
// Acks made for a silence, and alerts another silence selects, get none.
// An ack whose silence ended before its time, by someone's hand in Alertmanager, is not
// silenced again until the board's ack changes; that is said once. While the board is lost
// the silences are kept as they are.
silence_plan mirror_silences(mirror_state &st, const mirror_config &cfg,
                             const std::vector<own_silence> &silences,
                             const std::vector<own_silence> &ended, time_t now);
// An acknowledgement to make on the board for a silence made in Alertmanager by a person (or
// by the bridge of another board), or to remove once that silence has ended.
struct board_ack_change {
    bool ack = true;            // false: remove the acknowledgement
    std::string host, key;
    std::string who, note;      // ack: the silence's creator, and SILENCE_ACK_PREFIX id "] "
                                // and its comment
    time_t until = 0;           // ack: when the silence ends
    std::string silence_id;
};
// How the note of an acknowledgement made for a silence begins: "[silence ID] comment". Such
// an acknowledgement gets no silence of its own, and goes when silence ID is no longer active.
inline constexpr const char *SILENCE_ACK_PREFIX = "[silence ";
// Reads a GET /api/v2/silences body: every active silence whose matchers select exactly one
// alert of the board (each an equality that the alert's labels meet, alertname and instance
// among them) and that this bridge did not make for its board acknowledges that alert when
// it is not acknowledged; an acknowledgement made so is removed once its silence is not
// active or pending any more. Sets st.silenced_elsewhere. Nothing while the board is lost.
std::vector<board_ack_change> mirror_silence_acks(mirror_state &st, const mirror_config &cfg,
                                                  const nlohmann::json &list, time_t now);

// The body of POST /api/v2/silences for a new silence of this alert: created by the operator
// who acknowledged it, the note in the comment, ending with the ack's expiry (or
// SILENCE_SECONDS ahead, renewed, when it has none).
nlohmann::json mirror_silence(const mirror_config &cfg, const mirrored_alert &a, time_t now);

// Time as RFC 3339 in local time with its offset ("2024-03-01T14:05:00+01:00").
std::string rfc3339(time_t t);
// An RFC 3339 time as Alertmanager writes it; -1 when it is not one.
time_t rfc3339_parse(const std::string &s);
// A "YYYYMMDD HH:MM" local time; -1 when it is not one.
time_t raised_parse(const std::string &s);
// The text to send: JSON without an exception on bytes that are not UTF-8.
std::string json_text(const nlohmann::json &j);

// The longest reply the bridge parses as JSON, and the deepest nesting in it. Alertmanager's
// listings nest five levels; a parser given megabytes of '[' builds a value per level.
inline constexpr std::size_t JSON_MAX_BYTES = 8u << 20;
inline constexpr int JSON_MAX_DEPTH = 32;
// Parses a reply as JSON. A text that is longer than JSON_MAX_BYTES or nests deeper than
// JSON_MAX_DEPTH is refused before parsing. Returns a discarded value (is_discarded()) with
// the reason in error when the text is refused or is not JSON.
nlohmann::json json_read(const std::string &text, std::string &error);

#endif // BRIDGE_MIRROR_H

// tarrow-bridge's reading of what Alertmanager answers: any bytes as the body of GET
// /api/v2/alerts (taken up at start-up) and of GET /api/v2/silences (acks made from silences,
// the bridge's own silences and what to do about them), against a mirror of a small board.
// Checked: a body is JSON or refused with a reason; what is taken up is counted; every ack
// asked of the board names an alert of it and ends ahead; every silence the bridge would post
// and the alerts it would post after it are JSON again.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "bridge/mirror.h"
#include "fuzz/fuzz_util.h"

static const time_t NOW = 1796670000;

static mirror_config
config()
{
    mirror_config cfg;
    cfg.board = "127.0.0.1:19000";
    cfg.labels = {{"board", "main"}};
    return cfg;
}

// The mirror of a board with a critical, a warning and two acknowledged alerts: one by an
// operator, one made for a silence.
static mirror_state
mirror_of_board(const mirror_config &cfg)
{
    std::vector<board_alert> board(4);
    const char *names[][3] = {{"web1", "DISK", "AC"}, {"db2", "LOAD", "AW"},
                              {"mail", "QUEUE", "AK"}, {"web1", "SSH", "AK"}};
    for (std::size_t i = 0; i < board.size(); i++) {
        board[i].host = names[i][0];
        board[i].key = names[i][1];
        board[i].type = names[i][2];
        board[i].datetime = "20261207 18:52";
        board[i].text = "text of " + board[i].key;
        board[i].place = "board";
    }
    board[2].ack = board[3].ack = true;
    board[2].ack_by = "al";
    board[2].ack_note = "looking";
    board[2].ack_severity = "AC";
    board[3].ack_by = "alertmanager";
    board[3].ack_note = "[silence 5f2e] maintenance";
    board[3].ack_severity = "AW";
    board[3].ack_since = NOW - 60;
    board[3].ack_until = NOW + 3600;
    mirror_state st;
    mirror_update(st, cfg, &board, "", NOW - 30);
    return st;
}

// The value is JSON that reads back (json_text never throws on bytes that are not UTF-8).
static void
check_text(const nlohmann::json &j)
{
    std::string text = json_text(j);
    nlohmann::json back = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(!back.is_discarded());
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::string error;
    nlohmann::json list = json_read(text, error);
    FUZZ_CHECK(list.is_discarded() != error.empty());

    // A time as Alertmanager writes one comes back from the time the bridge writes of it.
    if (size <= 64) {
        time_t t = rfc3339_parse(text);
        if (t >= 0 && t < 253402300800)
            FUZZ_CHECK(rfc3339_parse(rfc3339(t)) == t);
    }
    if (list.is_discarded())
        return 0;
    const mirror_config cfg = config();

    // As the alerts an earlier run posted.
    mirror_state st = mirror_of_board(cfg);
    std::size_t before = st.alerts.size() + (st.board_down ? 1 : 0);
    int taken = mirror_recover(st, cfg, list);
    FUZZ_CHECK(taken >= 0);
    FUZZ_CHECK(st.alerts.size() + (st.board_down ? 1 : 0) ==
               before + static_cast<std::size_t>(taken));
    check_text(mirror_alerts(st, cfg, NOW));

    // As the silences.
    st = mirror_of_board(cfg);
    std::vector<board_ack_change> changes = mirror_silence_acks(st, cfg, list, NOW);
    std::set<std::pair<std::string, std::string>> acked;
    for (const board_ack_change &c : changes) {
        auto it = st.alerts.find({c.host, c.key});
        FUZZ_CHECK(it != st.alerts.end());
        if (c.ack) {
            FUZZ_CHECK(it->second.state != "acked");
            FUZZ_CHECK(c.until > NOW);
            FUZZ_CHECK(c.note.rfind(SILENCE_ACK_PREFIX + c.silence_id + "] ", 0) == 0);
            FUZZ_CHECK(acked.insert({c.host, c.key}).second);
        } else {
            FUZZ_CHECK(it->second.state == "acked");
            FUZZ_CHECK(it->second.ack_note.rfind(SILENCE_ACK_PREFIX, 0) == 0);
        }
    }
    std::vector<own_silence> own = mirror_own_silences(list, cfg);
    std::vector<own_silence> ended = mirror_own_silences(list, cfg, true);
    for (const own_silence &o : own)
        FUZZ_CHECK(!o.id.empty() && !o.expired);
    for (const own_silence &o : ended)
        FUZZ_CHECK(!o.id.empty() && o.expired);
    silence_plan plan = mirror_silences(st, cfg, own, ended, NOW);
    for (const mirrored_alert &a : plan.create) {
        auto it = st.alerts.find({a.host, a.key});
        FUZZ_CHECK(it != st.alerts.end() && it->second.state == "acked");
        check_text(mirror_silence(cfg, a, NOW));
    }
    for (const own_silence &o : plan.expire)
        FUZZ_CHECK(!o.id.empty());
    check_text(mirror_alerts(st, cfg, NOW));
    return 0;
}

// tarrow-web: the board as the web program sees it, through the console client.
#include "web/board.h"

#include <algorithm>

#include "common/record.h"

int
web_fetch_board(const std::string &address, int port, int timeout_ms,
                std::vector<console_alert> &alerts,
                std::vector<std::pair<std::string, long>> &figures, std::string &error)
{
    long long start = monotonic_ms();
    console_board b = console_fetch_board(address, port, timeout_ms, true);
    if (b.status != CONSOLE_OK) {
        error = b.error;
        return -1;
    }
    alerts = std::move(b.alerts);
    long long left = timeout_ms - (monotonic_ms() - start);
    console_summary s = console_fetch_summary(address, port, static_cast<int>(left > 1 ? left : 1));
    figures = std::move(s.figures);   // none from an older server: the board still counts
    return 0;
}

int
web_act(const std::string &address, int port, std::string_view command,
        const std::string &host, const std::string &key, const std::string &who,
        const std::string &note, long long until, int timeout_ms, std::string &error)
{
    // Every change names the operator who made it.
    alert_record request =
        command == CMD_ACKNOWLEDGE ? console_build_ack_request(host, key, CMD_ACK_NOTE, who, note, until)
        : command == CMD_UNACK     ? console_build_ack_request(host, key, CMD_UNACK, who, "", 0)
                                   : console_build_ack_request(host, key, CMD_DELETE, who, note, 0);
    console_result r = console_call(address, port, request, timeout_ms);
    if (r.status != CONSOLE_OK) {
        error = r.error;
        return -2;
    }
    if (r.final_type != MSG_REPLY_DONE) {
        error = "the server refused: " + console_visible(console_trim(r.text), true);
        return -1;
    }
    return 0;
}

web_board_poll
web_poll_board(const board_place &b, const std::vector<web_pending> &pending, int timeout_ms)
{
    web_board_poll out;
    for (const web_pending &p : pending) {
        std::string error;
        int st = web_act(b.address, b.port, p.command, p.host, p.key, p.who, p.note, p.until,
                         timeout_ms, error);
        std::string what = p.who + "'s " +
                           (p.command == CMD_UNACK ? "unack" : p.command == CMD_DELETE ? "delete" : "ack") +
                           " of " + console_visible(console_trim(p.host) + " " +
                                                    console_trim(p.key), true) +
                           " on " + b.label + " (" + board_name(b) + ")";
        if (st == -2) {
            out.status = -1;
            out.error = error;
            return out;
        }
        out.answered.push_back(p.id);
        out.said.push_back(st == 0 ? what + " done, as it answers again"
                                   : what + " refused: " + error);
    }
    if (web_fetch_board(b.address, b.port, timeout_ms, out.alerts, out.figures, out.error) != 0)
        out.status = -1;
    return out;
}

bool
snapshot_take_polls(web_snapshot &s, const std::vector<board_place> &places,
                    std::vector<web_board_poll> &polls,
                    std::vector<std::pair<std::string, long>> &figures,
                    std::vector<std::string> &said)
{
    if (s.boards.empty())
        for (const board_place &b : places)
            s.boards.push_back({b, false, "", {}});
    bool all_ok = true;
    s.error.clear();
    for (std::size_t i = 0; i < polls.size() && i < s.boards.size(); i++) {
        web_board &b = s.boards[i];
        web_board_poll &p = polls[i];
        said.insert(said.end(), p.said.begin(), p.said.end());
        std::erase_if(s.pending, [&](const web_pending &w) {
            return std::find(p.answered.begin(), p.answered.end(), w.id) != p.answered.end();
        });
        bool ok = p.status == 0;
        std::string name = b.place.label + " (" + board_name(b.place) + ")";
        if (ok && !b.up && s.polls > 0)
            said.push_back("the board " + name + " answers again");
        if (!ok && b.error != p.error)
            said.push_back("cannot fetch the board " + name + ": " + p.error);
        b.up = ok;
        b.error = ok ? "" : p.error;
        if (ok) {
            b.alerts = std::move(p.alerts);
            if (figures.empty())
                figures = std::move(p.figures);
        } else {
            s.error += (s.error.empty() ? "" : "; ") + name + ": " + p.error;
        }
        all_ok = all_ok && ok;
    }
    return all_ok;
}

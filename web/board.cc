// tarrow-web: the board as the web program sees it, through the console client.
#include "web/board.h"

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
        return -1;
    }
    if (r.final_type != MSG_REPLY_DONE) {
        error = "the server refused: " + console_visible(console_trim(r.text), true);
        return -1;
    }
    return 0;
}

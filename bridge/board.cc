// The board as the bridge sees it. Every call into the console client lives in this file.
#include "bridge/board.h"

#include "common/console_client.h"
#include "common/record.h"

// Asks for the details of one alert and returns its whole message text, or the text the
// listing gave when the alert went away in between.
static std::string
full_text(console_conn &c, const console_alert &a, int timeout_ms, bool &lost,
          std::string &error)
{
    console_result r = console_exchange(
        c, console_build_request(CONSOLE_LIST_ALL, a.hostname, a.key, CMD_DETAILS), timeout_ms);
    if (r.status != CONSOLE_OK) {
        lost = true;
        error = r.error;
        return a.text;
    }
    if (r.final_type != REPLY_DETAILS)
        return a.text;
    return console_details_msgtext(r.text);
}

int
board_fetch(const std::string &address, int port, int timeout_ms,
            std::vector<board_alert> &alerts, std::string &error)
{
    alerts.clear();
    console_conn c;
    if (console_connect(c, address, port, timeout_ms, error) != CONSOLE_OK)
        return -1;
    console_result r = console_exchange(
        c, console_build_request(CONSOLE_LIST_ALL, "", "", CMD_LIST), timeout_ms);
    if (r.status != CONSOLE_OK || r.final_type != REPLY_LIST_LAST) {
        error = r.status != CONSOLE_OK ? r.error : "the server refused the listing";
        console_close(c);
        return -1;
    }
    // The longest line CONSOLE_LIST_ALL asks for; a line that reaches it may be cut.
    const int line_length = 127;
    bool lost = false;
    for (const console_alert &a : console_parse_listing(r.text, line_length)) {
        board_alert b;
        b.host = console_trim(a.hostname);
        b.key = console_trim(a.key);
        b.type = a.type;
        b.datetime = a.datetime;
        b.text = a.cut && !lost ? full_text(c, a, timeout_ms, lost, error) : a.text;
        alerts.push_back(std::move(b));
    }
    console_close(c);
    if (lost) {
        alerts.clear();
        return -1;
    }
    return 0;
}

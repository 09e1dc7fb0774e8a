// tarrowc watch: a full-screen view of the alert table, refreshed on a timer, with the
// commands on keys. A lost server shows in the status line and is tried again.
#include "console/tarrowc.h"

#include <ncurses.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/record.h"

namespace {

volatile sig_atomic_t quit_requested = 0;

void
on_quit_signal(int)
{
    quit_requested = 1;
}

long
now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

enum colour { C_TITLE = 1, C_CRITICAL, C_WARNING, C_INFO, C_ACKED, C_ERROR };

struct view {
    tarrowc_options opt;
    console_conn conn;
    std::vector<console_alert> alerts;
    int selected = 0;
    int top = 0;                  // first alert shown
    bool lost = false;            // the last request failed
    std::string lost_reason;
    std::string message;          // last action's outcome, shown in the status line
    char updated[16] = "";        // wall-clock time of the last good listing
    long next_refresh = 0;
};

const char *
state_word(const std::string &type)
{
    if (type == "AC")
        return "critical";
    if (type == "AW")
        return "warning";
    if (type == "IO")
        return "info";
    if (type == "AK")
        return "acked";
    return type.c_str();
}

int
state_colour(const std::string &type)
{
    if (type == "AC")
        return C_CRITICAL;
    if (type == "AW")
        return C_WARNING;
    if (type == "IO")
        return C_INFO;
    if (type == "AK")
        return C_ACKED;
    return 0;
}

// Connects when needed. False, with the view marked lost, when there is no connection.
bool
ensure_connected(view &v)
{
    if (v.conn.fd >= 0)
        return true;
    std::string error;
    if (console_connect(v.conn, v.opt.address, v.opt.port, 2000, error) != CONSOLE_OK) {
        v.lost = true;
        v.lost_reason = error;
        return false;
    }
    return true;
}

void
mark_lost(view &v, const std::string &reason)
{
    console_close(v.conn);
    v.lost = true;
    v.lost_reason = reason;
}

// The productid for this terminal: a two-digit line count (the server sees the underscore
// only two characters after CONSOLE) and a width that still carries host and key whole.
std::string
geometry_productid(int &width)
{
    int lines = std::clamp(LINES, 10, 99);
    width = std::clamp(COLS, 50, 127);
    char id[LEN_PRODUCTID + 1];
    snprintf(id, sizeof id, "CONSOLE%02d_%d", lines, width);
    return id;
}

void
refresh_listing(view &v)
{
    v.next_refresh = now_ms() + v.opt.interval * 1000L;
    if (!ensure_connected(v))
        return;
    int width = 127;
    std::string id = geometry_productid(width);
    console_result r =
        console_exchange(v.conn, console_build_request(id, "", "", CMD_LIST), REQUEST_TIMEOUT_MS);
    if (r.status != CONSOLE_OK) {
        mark_lost(v, r.error);
        return;
    }
    v.lost = false;
    std::string sel_host, sel_key;
    if (v.selected < static_cast<int>(v.alerts.size())) {
        sel_host = v.alerts[v.selected].hostname;
        sel_key = v.alerts[v.selected].key;
    }
    v.alerts = console_parse_listing(r.text, width);
    // Keep the selection on the same alert when it is still listed.
    for (std::size_t i = 0; i < v.alerts.size(); i++)
        if (v.alerts[i].hostname == sel_host && v.alerts[i].key == sel_key)
            v.selected = static_cast<int>(i);
    v.selected = std::clamp(v.selected, 0, std::max(0, static_cast<int>(v.alerts.size()) - 1));
    time_t t = time(nullptr);
    struct tm tm_now;
    localtime_r(&t, &tm_now);
    strftime(v.updated, sizeof v.updated, "%H:%M:%S", &tm_now);
}

void
put_line(int row, const std::string &text, attr_t attr = A_NORMAL)
{
    attron(attr);
    mvaddnstr(row, 0, text.c_str(), COLS);
    for (int x = std::min<int>(static_cast<int>(text.size()), COLS); x < COLS; x++)
        addch(' ');
    attroff(attr);
}

void
draw(view &v)
{
    erase();
    int list_rows = std::max(1, LINES - 3);
    char title[256];
    snprintf(title, sizeof title, " tarrowc  %s:%d  %zu alert%s  updated %s", v.opt.address.c_str(),
             v.opt.port, v.alerts.size(), v.alerts.size() == 1 ? "" : "s",
             v.updated[0] ? v.updated : "never");
    put_line(0, title, COLOR_PAIR(C_TITLE) | A_BOLD);
    put_line(1, "DATETIME       HOST            KEY            STATE    TEXT", A_UNDERLINE);

    if (v.selected < v.top)
        v.top = v.selected;
    if (v.selected >= v.top + list_rows)
        v.top = v.selected - list_rows + 1;
    if (v.alerts.empty())
        put_line(2, v.updated[0] ? "no alerts at present" : "", A_DIM);
    for (int row = 0; row < list_rows; row++) {
        int i = v.top + row;
        if (i >= static_cast<int>(v.alerts.size()))
            break;
        const console_alert &a = v.alerts[i];
        char state[16];
        snprintf(state, sizeof state, "%-8s", state_word(a.type));
        std::string line = a.datetime + " " + a.hostname + " " + a.key + " " + state + " " + a.text;
        attr_t attr = COLOR_PAIR(state_colour(a.type));
        if (a.type == "AC")
            attr |= A_BOLD;
        if (i == v.selected)
            attr |= A_REVERSE;
        put_line(2 + row, line, attr);
    }

    std::string status;
    attr_t sattr = A_NORMAL;
    if (v.lost) {
        status = "server lost: " + v.lost_reason + "; retrying every " +
                 std::to_string(v.opt.interval) + "s";
        sattr = COLOR_PAIR(C_ERROR) | A_BOLD;
    } else if (!v.message.empty()) {
        status = v.message;
    } else {
        status = "arrows move  Enter details  a ack  d delete  K delete through  r refresh  q quit";
    }
    put_line(LINES - 1, status, sattr);
    refresh();
}

// Waits for one real key press (not a resize), then goes back to the polling timeout.
int
wait_key()
{
    timeout(-1);
    int ch;
    do
        ch = getch();
    while (ch == KEY_RESIZE || ch == ERR);
    timeout(200);
    return ch;
}

// Asks a yes/no question in the status line; true for y.
bool
confirm(const std::string &question)
{
    put_line(LINES - 1, question + " (y/n)", A_BOLD);
    refresh();
    int ch = wait_key();
    return ch == 'y' || ch == 'Y';
}

void
show_details(view &v)
{
    if (v.alerts.empty() || !ensure_connected(v))
        return;
    const console_alert &a = v.alerts[v.selected];
    console_result r = console_exchange(
        v.conn, console_build_request(CONSOLE_LIST_ALL, a.hostname, a.key, CMD_DETAILS),
        REQUEST_TIMEOUT_MS);
    if (r.status != CONSOLE_OK) {
        mark_lost(v, r.error);
        return;
    }
    if (r.final_type != REPLY_DETAILS) {
        v.message = "no such alert: " + console_trim(a.hostname) + " " + console_trim(a.key);
        return;
    }
    erase();
    put_line(0, " alert details", COLOR_PAIR(C_TITLE) | A_BOLD);
    int row = 2;
    std::size_t at = 0;
    while (at < r.text.size() && row < LINES - 2) {
        std::size_t nl = r.text.find('\n', at);
        if (nl == std::string::npos)
            nl = r.text.size();
        put_line(row++, r.text.substr(at, nl - at));
        at = nl + 1;
    }
    put_line(LINES - 1, "press any key to return", A_BOLD);
    refresh();
    wait_key();
}

void
act(view &v, const char *command)
{
    if (v.alerts.empty())
        return;
    const console_alert a = v.alerts[v.selected];
    std::string who = console_trim(a.hostname) + " " + console_trim(a.key);
    if (command == CMD_DELETE && !confirm("delete " + who + "?"))
        return;
    if (command == CMD_DELETE_THROUGH &&
        !confirm("delete " + who + " and every alert above it?"))
        return;
    if (!ensure_connected(v))
        return;
    std::string message;
    if (act_on_alert(v.conn, command, a.hostname, a.key, message) == ACT_CONNECTION_ERROR)
        mark_lost(v, message);
    else
        v.message = message;
    refresh_listing(v);
}

} // namespace

int
run_watch(const tarrowc_options &opt)
{
    view v;
    v.opt = opt;
    std::string error;
    // A bad address or port is a usage error before the screen is taken over.
    if (int st = console_connect(v.conn, opt.address, opt.port, 2000, error);
        st == CONSOLE_BAD_ADDRESS) {
        fprintf(stderr, "tarrowc: %s\n", error.c_str());
        return EXIT_USAGE;
    } else if (st != CONSOLE_OK) {
        v.lost = true;
        v.lost_reason = error;
    }

    struct sigaction sa {};
    sa.sa_handler = on_quit_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    // newterm, unlike initscr, reports a missing or unknown terminal instead of exiting.
    SCREEN *scr = isatty(STDIN_FILENO) ? newterm(nullptr, stdout, stdin) : nullptr;
    if (scr == nullptr) {
        console_close(v.conn);
        fprintf(stderr, "tarrowc: watch needs a terminal; try tarrowc list\n");
        return EXIT_USAGE;
    }
    set_term(scr);
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    if (has_colors()) {
        start_color();
        use_default_colors();
        init_pair(C_TITLE, COLOR_WHITE, COLOR_BLUE);
        init_pair(C_CRITICAL, COLOR_RED, -1);
        init_pair(C_WARNING, COLOR_YELLOW, -1);
        init_pair(C_INFO, COLOR_GREEN, -1);
        init_pair(C_ACKED, COLOR_CYAN, -1);
        init_pair(C_ERROR, COLOR_WHITE, COLOR_RED);
    }
    timeout(200);

    if (!v.lost)
        refresh_listing(v);
    else
        v.next_refresh = now_ms() + opt.interval * 1000L;
    while (!quit_requested) {
        if (now_ms() >= v.next_refresh)
            refresh_listing(v);
        draw(v);
        int ch = getch();
        if (ch == ERR)
            continue;
        int count = static_cast<int>(v.alerts.size());
        switch (ch) {
        case 'q':
        case 'Q':
            quit_requested = 1;
            break;
        case KEY_UP:
            if (v.selected > 0)
                v.selected--;
            break;
        case KEY_DOWN:
            if (v.selected + 1 < count)
                v.selected++;
            break;
        case KEY_PPAGE:
            v.selected = std::max(0, v.selected - std::max(1, LINES - 3));
            break;
        case KEY_NPAGE:
            v.selected = std::max(0, std::min(count - 1, v.selected + std::max(1, LINES - 3)));
            break;
        case KEY_HOME:
            v.selected = 0;
            break;
        case KEY_END:
            v.selected = std::max(0, count - 1);
            break;
        case '\n':
        case '\r':
        case KEY_ENTER:
            show_details(v);
            break;
        case 'a':
            act(v, CMD_ACKNOWLEDGE.data());
            break;
        case 'd':
            act(v, CMD_DELETE.data());
            break;
        case 'K':
            act(v, CMD_DELETE_THROUGH.data());
            break;
        case 'r':
        case KEY_RESIZE:
            v.message.clear();
            refresh_listing(v);
            break;
        default:
            break;
        }
    }
    endwin();
    delscreen(scr);
    console_close(v.conn);
    return 0;
}

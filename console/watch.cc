// tarrowc watch: a full-screen view of the whole alert table, refreshed on a timer, paged and
// scrolled locally, with sort, filter and the commands on keys. A lost server shows in the
// status line and is tried again.
#include "console/tarrowc.h"

#include <ncurses.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/filter_expr.h"
#include "common/record.h"
#include "console/board.h"

namespace {

volatile sig_atomic_t quit_requested = 0;

void
on_quit_signal(int)
{
    quit_requested = 1;
}

enum colour { C_TITLE = 1, C_CRITICAL, C_WARNING, C_INFO, C_ACKED, C_ERROR };

inline constexpr int KEY_ESCAPE = 27;
inline constexpr int AGE_WIDTH = 4, STATE_WIDTH = 8;
// From this width on, the time an alert was raised has a column of its own.
inline constexpr int WIDE_COLS = 110;

struct view {
    tarrowc_options opt;
    console_conn conn;
    std::vector<console_alert> alerts;   // the whole table, in table order
    std::vector<int> rows;               // indices into alerts, as shown
    int selected = 0;                    // index into rows
    int top = 0;                         // first row on the screen
    int sort = SORT_TABLE;
    std::string filter;
    bool hide_acked = false;
    bool bell = true;
    bool listed = false;                 // a listing has arrived since the start
    std::set<std::string> critical;      // identities critical at the last listing
    std::set<std::string> fresh;         // became critical at a refresh, not selected since
    std::map<std::string, std::string> severity;   // last state word before acknowledgement
    bool lost = false;                   // the last request failed
    std::string lost_reason;
    std::string message;                 // last action's outcome, shown in the status line
    char updated[16] = "";               // wall-clock time of the last good listing
    // With several boards: each board's last listing (kept while it does not answer), and
    // per alert where it is and whether the boards differ ("both   ", "A    ! ").
    std::vector<std::vector<console_alert>> per_board;
    std::vector<std::string> marks;
    long next_refresh = 0;
};

std::string
identity(const console_alert &a)
{
    return a.hostname + '\0' + a.key;
}

int
state_colour(const std::string &type)
{
    if (type == MSG_CRITICAL)
        return C_CRITICAL;
    if (type == MSG_WARNING)
        return C_WARNING;
    if (type == MSG_INFO)
        return C_INFO;
    if (type == MSG_CLEAR)
        return C_ACKED;
    return 0;
}

int
list_rows()
{
    return std::max(1, LINES - 3);
}

const console_alert *
selected_alert(const view &v)
{
    if (v.selected < 0 || v.selected >= static_cast<int>(v.rows.size()))
        return nullptr;
    std::size_t i = static_cast<std::size_t>(v.rows[static_cast<std::size_t>(v.selected)]);
    return i < v.alerts.size() ? &v.alerts[i] : nullptr;
}

// The identity of the selected alert, "" when nothing is selected.
std::string
selected_identity(const view &v)
{
    const console_alert *sel = selected_alert(v);
    return sel ? identity(*sel) : "";
}

// What the status line adds to a filter that is no expression (yet): why, as the rows
// match it as a plain word meanwhile.
static std::string
filter_note(const std::string &filter)
{
    filter_expr f;
    std::string error;
    return filter_parse(filter, f, error) ? "" : " (as a word: " + error + ")";
}

// Rebuilds the rows after the alerts, sort or filter changed, keeping the selection on the
// alert named by keep when it is still shown, else on the same line as far as there is one.
// keep is taken before the alerts change: the old rows index the old alerts only.
void
rebuild_rows(view &v, const std::string &keep)
{
    v.rows = board_rows(v.alerts, v.sort, v.filter, v.hide_acked, time(nullptr));
    for (std::size_t i = 0; i < v.rows.size(); i++)
        if (identity(v.alerts[static_cast<std::size_t>(v.rows[i])]) == keep)
            v.selected = static_cast<int>(i);
    v.selected = std::clamp(v.selected, 0, std::max(0, static_cast<int>(v.rows.size()) - 1));
    v.top = std::clamp(v.top, 0, v.selected);
}

// The same when only the sort or the filter changed.
void
rebuild_rows(view &v)
{
    rebuild_rows(v, selected_identity(v));
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

// With several boards: fetches each, keeps the last listing of a board that does not answer
// (and says so in lost_reason), and merges them into one row per alert. CONSOLE_OK unless
// no board answered.
console_board
fetch_merged(view &v)
{
    console_board out;
    v.per_board.resize(v.opt.boards.size());
    std::vector<std::string> labels;
    std::string lost;
    std::size_t answered = 0;
    for (std::size_t i = 0; i < v.opt.boards.size(); i++) {
        const board_place &p = v.opt.boards[i];
        labels.push_back(p.label);
        console_board b = console_fetch_board(p.address, p.port, v.opt.timeout_ms, false);
        if (b.status == CONSOLE_OK) {
            v.per_board[i] = std::move(b.alerts);
            answered++;
        } else {
            lost += (lost.empty() ? "" : "; ") + p.label + " (" + board_name(p) + "): " + b.error;
        }
    }
    std::vector<merged_alert> rows = merge_boards(v.per_board, labels);
    v.marks.clear();
    for (merged_alert &r : rows) {
        v.marks.push_back(pad_width(r.place, 5, false) + (r.difference.empty() ? "  " : "! "));
        out.alerts.push_back(std::move(r.alert));
    }
    if (answered == 0)
        out.status = CONSOLE_NO_CONNECT;
    out.error = lost.empty() ? "" : lost + "; rows as last seen";
    return out;
}

// Fetches the whole table. Critical alerts that were not critical at the last listing are
// marked fresh and ring the bell.
void
refresh_listing(view &v)
{
    v.next_refresh = monotonic_ms() + v.opt.interval * 1000L;
    bool several = !v.opt.boards.empty();
    if (!several && !ensure_connected(v))
        return;
    console_board b = several ? fetch_merged(v)
                              : console_fetch_board(v.conn, v.opt.timeout_ms, false);
    if (b.status != CONSOLE_OK) {
        mark_lost(v, b.error);
        return;
    }
    v.lost = several && !b.error.empty();
    v.lost_reason = b.error;
    std::set<std::string> critical;
    bool news = false;
    for (const auto &a : b.alerts) {
        std::string id = identity(a);
        if (a.type != MSG_CLEAR)
            v.severity[id] = state_word(a.type);
        if (a.type != MSG_CRITICAL)
            continue;
        critical.insert(id);
        if (v.listed && !v.critical.count(id)) {
            v.fresh.insert(id);
            news = true;
        }
    }
    std::erase_if(v.fresh, [&](const std::string &id) { return !critical.count(id); });
    v.critical = std::move(critical);
    v.listed = true;
    if (news && v.bell)
        beep();
    std::string keep = selected_identity(v);
    v.alerts = std::move(b.alerts);
    rebuild_rows(v, keep);
    time_t t = time(nullptr);
    struct tm tm_now;
    localtime_r(&t, &tm_now);
    strftime(v.updated, sizeof v.updated, "%H:%M:%S", &tm_now);
}

// Writes text (already fitted to the screen) at the start of the row, padded to the width.
void
put_line(int row, const std::string &text, attr_t attr, bool utf8)
{
    attron(attr);
    mvaddstr(row, 0, pad_width(text, COLS, utf8).c_str());
    attroff(attr);
}

std::string
title_line(const view &v)
{
    std::string counts = " " + board_header(v.alerts);
    std::string where = (v.opt.boards.empty() ? v.opt.address + ":" + std::to_string(v.opt.port)
                                              : std::to_string(v.opt.boards.size()) + " boards") +
                        "  " +
                        (v.updated[0] ? v.updated : "never") + " ";
    std::string line = counts;
    int gap = COLS - static_cast<int>(line.size()) - static_cast<int>(where.size());
    if (gap >= 2)
        line += std::string(static_cast<std::size_t>(gap), ' ') + where;
    return line;
}

std::string
status_text(const view &v, attr_t &attr)
{
    attr = A_NORMAL;
    if (v.lost) {
        attr = COLOR_PAIR(C_ERROR) | A_BOLD;
        return "server lost: " + v.lost_reason + "; retrying every " +
               std::to_string(v.opt.interval) + "s";
    }
    if (!v.message.empty())
        return v.message;
    std::string s = "sort: " + std::string(sort_name(v.sort));
    if (!v.filter.empty())
        s += "  filter: " + console_visible(v.filter, v.opt.utf8) + filter_note(v.filter);
    if (v.hide_acked)
        s += "  acked hidden";
    if (v.rows.size() != v.alerts.size())
        s += "  showing " + std::to_string(v.rows.size()) + " of " +
             std::to_string(v.alerts.size());
    if (!v.fresh.empty())
        s += "  " + std::to_string(v.fresh.size()) + " new critical";
    if (!v.bell)
        s += "  bell off";
    return s + "  ? help  q quit";
}

void
draw(view &v, const std::string &status_override = "")
{
    bool utf8 = v.opt.utf8;
    bool wide = COLS >= WIDE_COLS;
    erase();
    put_line(0, title_line(v), COLOR_PAIR(C_TITLE) | A_BOLD, utf8);
    bool several = !v.opt.boards.empty();
    std::string head = std::string(" ") + (several ? "WHERE  " : "") +
                       (wide ? "RAISED         " : "") + " AGE HOST" +
                       std::string(LEN_HOSTNAME - 3, ' ') + "KEY" + std::string(LEN_KEY - 2, ' ') +
                       "STATE    TEXT";
    put_line(1, head, A_UNDERLINE, utf8);

    int n = static_cast<int>(v.rows.size());
    int page = list_rows();
    v.selected = std::clamp(v.selected, 0, std::max(0, n - 1));
    if (v.selected < v.top)
        v.top = v.selected;
    if (v.selected >= v.top + page)
        v.top = v.selected - page + 1;
    v.top = std::clamp(v.top, 0, std::max(0, n - page));
    if (v.alerts.empty())
        put_line(2, v.updated[0] ? " no alerts at present" : "", A_DIM, utf8);
    else if (v.rows.empty())
        put_line(2, " no alert matches", A_DIM, utf8);
    time_t now = time(nullptr);
    for (int row = 0; row < page && v.top + row < n; row++) {
        int i = v.top + row;
        const console_alert &a = v.alerts[static_cast<std::size_t>(v.rows[static_cast<std::size_t>(i)])];
        bool is_fresh = v.fresh.count(identity(a)) > 0;
        // Waiting alerts: marked and dimmed, after the board, with their own state word.
        std::string line = is_fresh ? "*" : a.waiting ? "w" : " ";
        std::size_t at = static_cast<std::size_t>(v.rows[static_cast<std::size_t>(i)]);
        if (several)
            line += at < v.marks.size() ? v.marks[at] : std::string(7, ' ');
        if (wide)
            line += pad_width(console_visible(a.datetime, utf8), LEN_DATETIME, utf8) + " ";
        std::string age = age_text(alert_age_seconds(a, now));
        line += std::string(static_cast<std::size_t>(std::max(0, AGE_WIDTH - static_cast<int>(age.size()))), ' ') + age + " ";
        line += pad_width(console_visible(a.hostname, utf8), LEN_HOSTNAME, utf8) + " ";
        line += pad_width(console_visible(a.key, utf8), LEN_KEY, utf8) + " ";
        line += pad_width(console_visible(row_state(a), utf8), STATE_WIDTH, utf8) + " ";
        line += fit_width(row_text(a, utf8), COLS - text_width(line, utf8), utf8);
        attr_t attr = COLOR_PAIR(state_colour(a.type));
        if (a.type == MSG_CRITICAL)
            attr |= A_BOLD;
        if (is_fresh)
            attr |= A_STANDOUT;
        if (a.waiting)
            attr = (attr & ~A_BOLD) | A_DIM;
        if (i == v.selected)
            attr |= A_REVERSE;
        put_line(2 + row, line, attr, utf8);
    }

    attr_t sattr;
    std::string status = status_text(v, sattr);
    if (!status_override.empty()) {
        status = status_override;
        sattr = A_BOLD;
    }
    put_line(LINES - 1, status, sattr, utf8);
    refresh();
}

// Waits for one real key press (not a resize), then goes back to the polling timeout.
int
wait_key()
{
    timeout(500);
    int ch;
    do
        ch = getch();
    while ((ch == KEY_RESIZE || ch == ERR) && !quit_requested);
    timeout(200);
    return ch;
}

// Asks a yes/no question in the status line; true for y.
bool
confirm(view &v, const std::string &question)
{
    draw(v, question + " (y/n)");
    int ch = wait_key();
    return ch == 'y' || ch == 'Y';
}

// Reads the filter in the status line, applying it as it is typed. Enter keeps it, Esc
// clears it.
void
edit_filter(view &v)
{
    std::string text = v.filter;
    for (;;) {
        v.filter = text;
        rebuild_rows(v);
        draw(v, "/" + console_visible(text, v.opt.utf8) + "_   Enter keeps, Esc clears");
        int ch = wait_key();
        if (quit_requested || ch == '\n' || ch == '\r' || ch == KEY_ENTER)
            return;
        if (ch == KEY_ESCAPE) {
            v.filter.clear();
            rebuild_rows(v);
            return;
        }
        if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
            // Take off one character: its UTF-8 continuation bytes too.
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80)
                text.pop_back();
            if (!text.empty())
                text.pop_back();
        } else if (ch >= 0x20 && ch <= 0xff && ch != 0x7f && text.size() < 64) {
            text += static_cast<char>(ch);
        }
    }
}

// Reads a line of at most max bytes in the status line after the label. True when Enter
// ended it (text holds it), false for Esc.
bool
read_text(view &v, const std::string &label, std::string &text, std::size_t max)
{
    for (;;) {
        draw(v, label + console_visible(text, v.opt.utf8) + "_");
        int ch = wait_key();
        if (quit_requested || ch == KEY_ESCAPE)
            return false;
        if (ch == '\n' || ch == '\r' || ch == KEY_ENTER)
            return true;
        if (ch == KEY_BACKSPACE || ch == 127 || ch == 8) {
            while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xc0) == 0x80)
                text.pop_back();
            if (!text.empty())
                text.pop_back();
        } else if (ch >= 0x20 && ch <= 0xff && ch != 0x7f && text.size() < max) {
            text += static_cast<char>(ch);
        }
    }
}

// Acts on the alert on every board; what each board said, for the status line.
std::string
on_every_board(view &v, const char *command, const console_alert &a, const std::string &who,
               const std::string &note, long long until)
{
    std::vector<std::string> lines;
    act_on_boards(v.opt, command, a.hostname, a.key, who, note, until, lines);
    std::string out;
    for (const std::string &line : lines)
        out += (out.empty() ? "" : "; ") + line;
    return console_visible(out, v.opt.utf8);
}

// "a" asks for a note (empty is fine), then for how long the acknowledgement lasts (empty:
// until taken back), and acknowledges with them; "u" un-acknowledges.
void
ack_selected(view &v, const char *command)
{
    const console_alert *sel = selected_alert(v);
    if (sel == nullptr)
        return;
    const console_alert a = *sel;
    std::string note;
    long long until = 0;
    if (command == CMD_ACK_NOTE) {
        if (!read_text(v, "note for the ack (Enter goes on, Esc cancels): ", note, LEN_ACK_NOTE))
            return;
        std::string label = "ack expires after (90s 45m 2h 1d; Enter: never): ";
        for (std::string d;;) {
            if (!read_text(v, label, d, 16))
                return;
            if (d.empty())
                break;
            long long t = parse_duration(d);
            if (t > 0) {
                until = static_cast<long long>(time(nullptr)) + t;
                break;
            }
            label = "not a duration, try again (90s 45m 2h 1d; Enter: never): ";
            d.clear();
        }
    }
    if (v.opt.boards.empty() && !ensure_connected(v))
        return;
    std::string who = v.opt.by.empty() ? login_name() : v.opt.by;
    std::string message;
    if (!v.opt.boards.empty()) {
        v.message = on_every_board(v, command, a, who, note, until);
    } else if (ack_with_note(v.conn, command, a.hostname, a.key, who, note, until, v.opt.timeout_ms,
                      message) == ACT_CONNECTION_ERROR)
        mark_lost(v, message);
    else
        v.message = console_visible(message, v.opt.utf8);
    refresh_listing(v);
}

const char *const HELP[] = {
    "up, k          move up              down, j     move down",
    "PgUp, PgDn     a page up or down    Home, End   first, last alert",
    "Enter          the selected alert in full",
    "a              acknowledge the selected alert (asks for a note, then a duration)",
    "u              un-acknowledge the selected alert",
    "d              delete the selected alert (asks first)",
    "K              delete it and every alert above it in table order",
    "s              sort: table order, severity, age, host",
    "/              filter: words, host=db1 key=~^D  Esc clears it",
    "h              hide or show acknowledged alerts",
    "b              bell on new critical alerts off or on",
    "r              refresh now",
    "?              this help",
    "q              quit",
    "",
    "* marks a new critical alert until it is selected.",
};

void
show_help(view &v)
{
    int n = static_cast<int>(sizeof HELP / sizeof HELP[0]);
    int h = std::min(LINES, n + 4), w = std::min(COLS, 72);
    WINDOW *win = newwin(h, w, std::max(0, (LINES - h) / 2), std::max(0, (COLS - w) / 2));
    if (win == nullptr)
        return;
    werase(win);
    box(win, 0, 0);
    mvwaddstr(win, 0, 2, " keys ");
    for (int i = 0; i < n && i + 2 < h - 1; i++)
        mvwaddnstr(win, i + 1, 2, HELP[i], w - 4);
    mvwaddnstr(win, h - 2, 2, "press any key to return", w - 4);
    wrefresh(win);
    wait_key();
    delwin(win);
    touchwin(stdscr);
    draw(v);
}

void
show_details(view &v)
{
    const console_alert *sel = selected_alert(v);
    if (sel == nullptr || !ensure_connected(v))
        return;
    const console_alert a = *sel;
    console_details d;
    std::string error;
    int st = console_fetch_details(v.conn, a.hostname, a.key, v.opt.timeout_ms, d, error);
    if (st == CONSOLE_REFUSED) {
        v.message = "no such alert: " +
                    console_visible(console_trim(a.hostname) + " " + console_trim(a.key), v.opt.utf8);
        return;
    }
    if (st != CONSOLE_OK) {
        mark_lost(v, error);
        return;
    }
    bool utf8 = v.opt.utf8;
    auto it = v.severity.find(identity(a));
    std::string was = it == v.severity.end() ? "" : it->second;
    erase();
    put_line(0, " alert details", COLOR_PAIR(C_TITLE) | A_BOLD, utf8);
    const int label_width = 15;
    int row = 2;
    for (const auto &[label, value] : detail_fields(d, time(nullptr), utf8, was)) {
        std::vector<std::string> lines = wrap_text(value, std::max(1, COLS - label_width - 1), utf8);
        for (std::size_t i = 0; i < lines.size() && row < LINES - 2; i++, row++) {
            std::string lead = i == 0 ? " " + label : "";
            put_line(row, pad_width(lead, label_width, utf8) + lines[i], A_NORMAL, utf8);
        }
    }
    put_line(LINES - 1, "press any key to return", A_BOLD, utf8);
    refresh();
    wait_key();
}

void
act(view &v, const char *command)
{
    const console_alert *sel = selected_alert(v);
    if (sel == nullptr)
        return;
    const console_alert a = *sel;
    std::string who = console_visible(console_trim(a.hostname) + " " + console_trim(a.key), v.opt.utf8);
    if (command == CMD_DELETE && !confirm(v, "delete " + who + "?"))
        return;
    // The rows may be sorted or filtered: the question counts in table order, which is
    // what the server deletes through.
    if (command == CMD_DELETE_THROUGH &&
        !confirm(v, delete_through_question(v.alerts,
                                            v.rows[static_cast<std::size_t>(v.selected)],
                                            v.opt.utf8)))
        return;
    std::string message;
    std::string by = v.opt.by.empty() ? login_name() : v.opt.by;
    if (!v.opt.boards.empty()) {
        if (command == CMD_DELETE_THROUGH)
            v.message = "K deletes through one board's table order: use tarrowc with one board";
        else
            v.message = on_every_board(v, command, a, by, "", 0);
    } else if (!ensure_connected(v)) {
        return;
    } else if (act_on_alert(v.conn, command, a.hostname, a.key, by, "", v.opt.timeout_ms, message) ==
        ACT_CONNECTION_ERROR)
        mark_lost(v, message);
    else
        v.message = message;
    refresh_listing(v);
}

// Handles one key; false when it asks to quit.
bool
handle_key(view &v, int ch)
{
    int count = static_cast<int>(v.rows.size());
    int page = list_rows();
    switch (ch) {
    case 'q':
    case 'Q':
        return false;
    case KEY_UP:
    case 'k':
        v.selected = std::max(0, v.selected - 1);
        break;
    case KEY_DOWN:
    case 'j':
        v.selected = std::max(0, std::min(count - 1, v.selected + 1));
        break;
    case KEY_PPAGE:
        v.selected = std::max(0, v.selected - page);
        v.top = std::max(0, v.top - page);
        break;
    case KEY_NPAGE:
        v.selected = std::max(0, std::min(count - 1, v.selected + page));
        v.top = std::max(0, std::min(count - page, v.top + page));
        break;
    case KEY_HOME:
    case 'g':
        v.selected = 0;
        break;
    case KEY_END:
    case 'G':
        v.selected = std::max(0, count - 1);
        break;
    case '\n':
    case '\r':
    case KEY_ENTER:
        show_details(v);
        break;
    case 'a':
        ack_selected(v, CMD_ACK_NOTE.data());
        break;
    case 'u':
        ack_selected(v, CMD_UNACK.data());
        break;
    case 'd':
        act(v, CMD_DELETE.data());
        break;
    case 'K':
        act(v, CMD_DELETE_THROUGH.data());
        break;
    case 's':
        v.sort = (v.sort + 1) % SORT_ORDERS;
        rebuild_rows(v);
        break;
    case '/':
        edit_filter(v);
        break;
    case KEY_ESCAPE:
        v.filter.clear();
        rebuild_rows(v);
        break;
    case 'h':
        v.hide_acked = !v.hide_acked;
        rebuild_rows(v);
        break;
    case 'b':
        v.bell = !v.bell;
        v.message = v.bell ? "bell on" : "bell off";
        return true;
    case '?':
        show_help(v);
        break;
    case 'r':
        refresh_listing(v);
        break;
    default:
        break;
    }
    return true;
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
    set_escdelay(50);
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
        v.next_refresh = monotonic_ms() + opt.interval * 1000L;
    while (!quit_requested) {
        if (monotonic_ms() >= v.next_refresh)
            refresh_listing(v);
        draw(v);
        int ch = getch();
        if (ch == ERR || ch == KEY_RESIZE)
            continue;
        v.message.clear();
        if (!handle_key(v, ch))
            break;
        // The alert the operator moved to has been seen.
        if (const console_alert *sel = selected_alert(v))
            v.fresh.erase(identity(*sel));
    }
    endwin();
    delscreen(scr);
    console_close(v.conn);
    return 0;
}

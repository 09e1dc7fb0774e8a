// What tarrow-history prints: the timeline of changes and the board at a moment, as text
// or JSON.
#ifndef HISTORY_REPORT_H
#define HISTORY_REPORT_H

#include <cstdio>
#include <string>
#include <string_view>

#include "history/board.h"

// A set of alert states, one bit per alert_state; ALL_STATES when --state is not given.
inline constexpr unsigned ALL_STATES = ~0u;
inline constexpr unsigned
state_bit(alert_state s)
{
    return 1u << static_cast<unsigned>(s);
}

// The states named in a comma-separated list (critical, warning, info, acked or
// acknowledged, waiting, closed), or 0 when a name is not one of them.
unsigned parse_states(std::string_view list);

// The timeline as it is printed: changes in [since, until] whose state is in states. A plain
// acknowledgement followed in the same second by the line that names who acknowledged is
// printed once, with the names.
struct timeline {
    FILE *out = stdout;
    bool json = false;
    stamp_t since = 0, until = 0;   // 0: open
    unsigned states = ALL_STATES;
    bool holding = false;           // a plain acknowledgement waits for its details
    change held;
    long printed = 0;
};

// Prints the change, or holds it back (see timeline).
void timeline_add(timeline &t, const change &c);
// Prints what is held back and, for JSON, closes the list.
void timeline_finish(timeline &t);

// One change as its text line (without the newline) and as JSON.
std::string change_text(const change &c);
std::string change_json(const change &c);

// Prints the board as it stood at a moment: the table in its order, then the alerts that
// wait in the overflow file. Alerts whose state is not in states are left out.
void print_board(FILE *out, const board &b, stamp_t at, bool json, unsigned states,
                 const std::string &want_host, const std::string &want_key);

// A text from the log as a terminal may show it: control bytes (C0, DEL, C1) become '?'.
std::string visible(std::string_view s);

// "YYYY-MM-DD HH:MM:SS", with 'T' between date and time when iso is set.
std::string stamp_text(stamp_t s, bool iso);

#endif // HISTORY_REPORT_H

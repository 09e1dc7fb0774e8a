// Several boards seen as one: addresses, merged rows and what differs between the boards.
#include "console/boards.h"

#include <map>
#include <utility>

#include "common/record.h"
#include "common/text.h"

bool
parse_board(const std::string &arg, int default_port, board_place &out, std::string &error)
{
    std::string host, port = std::to_string(default_port);
    if (!text_split_host_port(arg, host, port)) {
        // No port: the whole text is the address, an IPv6 one with or without brackets.
        host = arg;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
    }
    int n = 0;
    if (!text_address(host)) {
        error = "Improperly formatted network address, " + console_visible(arg, false);
        return false;
    }
    if (!text_port(port.c_str(), n)) {
        error = "Illegal port number: " + console_visible(port, false);
        return false;
    }
    out.address = host;
    out.port = n;
    return true;
}

std::string
board_name(const board_place &b)
{
    bool v6 = b.address.find(':') != std::string::npos;
    return (v6 ? "[" + b.address + "]" : b.address) + ":" + std::to_string(b.port);
}

std::string
board_label(std::size_t i)
{
    return i < 26 ? std::string(1, static_cast<char>('A' + i)) : std::to_string(i + 1);
}

// The labels of the boards whose flag is set, joined: "A", "A and C", "A, B and D".
static std::string
labels_of(const std::vector<bool> &flag, const std::vector<std::string> &labels)
{
    std::vector<std::string> on;
    for (std::size_t i = 0; i < flag.size(); i++)
        if (flag[i])
            on.push_back(labels[i]);
    std::string out;
    for (std::size_t i = 0; i < on.size(); i++)
        out += (i == 0 ? "" : i + 1 == on.size() ? " and " : ", ") + on[i];
    return out;
}

// What differs on an alert that is on every board, or "" when they agree.
static std::string
state_difference(const std::vector<const console_alert *> &a,
                 const std::vector<std::string> &labels)
{
    std::size_t n = a.size();
    std::vector<bool> waiting(n), acked(n);
    bool any_waiting = false, all_waiting = true, any_acked = false, all_acked = true;
    for (std::size_t i = 0; i < n; i++) {
        waiting[i] = a[i]->waiting;
        acked[i] = a[i]->type == MSG_CLEAR;
        any_waiting = any_waiting || waiting[i];
        all_waiting = all_waiting && waiting[i];
        any_acked = any_acked || acked[i];
        all_acked = all_acked && acked[i];
    }
    if (any_waiting && !all_waiting)
        return "waiting on " + labels_of(waiting, labels) + " only";
    if (any_acked && !all_acked)
        return "acknowledged on " + labels_of(acked, labels) + " only";
    // Same acknowledgement everywhere: compare the severities, each as its board says it
    // (an acknowledged alert's from before the acknowledgement, when that is known).
    std::vector<std::string> severity(n);
    for (std::size_t i = 0; i < n; i++)
        severity[i] = all_acked ? a[i]->ack.severity : a[i]->type;
    std::string known;
    bool differ = false;
    for (const std::string &s : severity) {
        if (s.empty())
            continue;
        differ = differ || (!known.empty() && s != known);
        if (known.empty())
            known = s;
    }
    if (!differ)
        return "";
    std::string out;
    for (std::size_t i = 0; i < n; i++) {
        if (severity[i].empty())
            continue;
        const char *word = alert_state_word(severity[i]);
        out += (out.empty() ? "" : ", ") + std::string(all_acked ? "acknowledged " : "") +
               (word ? word : severity[i]) + " on " + labels[i];
    }
    return out;
}

std::vector<merged_alert>
merge_boards(const std::vector<std::vector<console_alert>> &boards,
             const std::vector<std::string> &labels)
{
    std::vector<merged_alert> rows;
    std::map<std::string, std::size_t> row_of;
    for (std::size_t b = 0; b < boards.size(); b++) {
        for (std::size_t i = 0; i < boards[b].size(); i++) {
            const console_alert &a = boards[b][i];
            auto [it, fresh] = row_of.try_emplace(a.hostname + '\0' + a.key, rows.size());
            if (fresh) {
                rows.push_back({a, std::vector<int>(boards.size(), -1), "", ""});
            }
            // A board that lists one alert twice keeps its first row.
            int &at = rows[it->second].where[b];
            if (at < 0)
                at = static_cast<int>(i);
        }
    }
    for (merged_alert &r : rows) {
        std::vector<bool> on(boards.size());
        std::vector<const console_alert *> present;
        for (std::size_t b = 0; b < boards.size(); b++) {
            on[b] = r.where[b] >= 0;
            if (on[b])
                present.push_back(&boards[b][static_cast<std::size_t>(r.where[b])]);
        }
        if (present.size() == boards.size()) {
            r.place = boards.size() == 2 ? "both" : "all";
            r.difference = state_difference(present, labels);
        } else {
            r.place = labels_of(on, labels);
            std::vector<bool> off(on.size());
            for (std::size_t b = 0; b < on.size(); b++)
                off[b] = !on[b];
            r.difference = present.size() == 1 ? "on " + r.place + " only"
                                               : "missing on " + labels_of(off, labels);
        }
    }
    return rows;
}

int
count_divergent(const std::vector<merged_alert> &rows)
{
    int n = 0;
    for (const merged_alert &r : rows)
        n += r.difference.empty() ? 0 : 1;
    return n;
}

diff_report
diff_boards(const std::vector<board_place> &places, const std::vector<console_board> &fetched)
{
    diff_report out;
    std::vector<std::string> labels;
    std::vector<std::vector<console_alert>> alerts;
    std::string down;
    for (std::size_t i = 0; i < places.size() && i < fetched.size(); i++) {
        labels.push_back(places[i].label);
        alerts.push_back(fetched[i].alerts);
        if (fetched[i].status == CONSOLE_OK)
            continue;
        std::string who = places[i].label + " (" + board_name(places[i]) + ")";
        out.lines.push_back(who + ": " + console_visible(fetched[i].error, false));
        down += (down.empty() ? "" : ", ") + who;
    }
    std::string boards = "boards=" + std::to_string(places.size());
    if (!down.empty()) {
        out.status = 2;
        out.summary = "TARROW BOARDS CRITICAL - cannot reach " + down + " | " + boards;
        return out;
    }
    std::vector<merged_alert> rows = merge_boards(alerts, labels);
    int divergent = count_divergent(rows);
    std::string perf = " | divergent=" + std::to_string(divergent) +
                       " alerts=" + std::to_string(rows.size()) + " " + boards;
    for (const merged_alert &r : rows)
        if (!r.difference.empty())
            out.lines.push_back(
                console_visible(console_trim(r.alert.hostname) + " " + console_trim(r.alert.key),
                                false) +
                ": " + r.difference);
    std::string names = labels_of(std::vector<bool>(labels.size(), true), labels);
    if (divergent == 0) {
        out.summary = "TARROW BOARDS OK - " + names + " agree on " + std::to_string(rows.size()) +
                      " alert" + (rows.size() == 1 ? "" : "s") + perf;
    } else {
        out.status = 1;
        out.summary = "TARROW BOARDS WARNING - " + std::to_string(divergent) + " of " +
                      std::to_string(rows.size()) + " alerts differ between " + names + perf;
    }
    return out;
}

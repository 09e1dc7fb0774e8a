// The board rebuilt from the log: the server's table and overflow file, replayed line by line.
//
// A server that says so at start-up ("The board holds up to N alerts") logs what its table
// does with each request: a spill to the overflow file, a read back from it, an info alert
// that gave up its slot, a console action that waits, a delete and who made it. Those lines
// are followed here as they are. Older logs name every request but not what the table did
// with it, so for them the requests are carried out the way that server carried them out:
// N slots (50 unless the start-up line says otherwise) in the order identities entered, the
// first unacknowledged info alert giving way to a new alert, everything else waiting in the
// file and replayed, in order, when slots free up.
#include "history/board.h"

#include <cstring>

// A hash of host and key from four overlapping 8-byte loads: cheap, as every line needs one.
static std::uint64_t
identity_hash(const char *host, const char *key)
{
    std::uint64_t w[4];
    memcpy(&w[0], host, 8);
    memcpy(&w[1], host + LEN_HOSTNAME - 8, 8);
    memcpy(&w[2], key, 8);
    memcpy(&w[3], key + LEN_KEY - 8, 8);
    std::uint64_t h = 0;
    for (std::uint64_t x : w)
        h = (h ^ x) * 0x9e3779b97f4a7c15ULL;
    return h ^ (h >> 29);
}

static bool
same_identity(const board_alert &a, const board_alert &r)
{
    return a.id == r.id && memcmp(a.host, r.host, LEN_HOSTNAME) == 0 &&
           memcmp(a.key, r.key, LEN_KEY) == 0;
}

static bool
is_type(const char *t, std::string_view code)
{
    return t[0] == code[0] && t[1] == code[1];
}

static bool
is_severity(const char *t)
{
    return is_type(t, MSG_CRITICAL) || is_type(t, MSG_WARNING) || is_type(t, MSG_INFO);
}

// The record a request line stands for, built in the board's reused request.
static const board_alert &
record_of(board &b, const log_line &line)
{
    board_alert &r = b.request;
    memcpy(r.host, line.host, LEN_HOSTNAME);
    memcpy(r.key, line.key, LEN_KEY);
    r.id = identity_hash(r.host, r.key);
    memcpy(r.request, line.msgtype, 2);
    memcpy(r.datetime, line.datetime, LEN_DATETIME);
    r.persistent = line.persistent;
    r.text.assign(line.text);
    r.acked = false;
    r.who.clear();
    r.note.clear();
    r.until = 0;
    r.since = line.stamp;
    return r;
}

// The server's operations on its table and overflow file, each with the flag that tells a
// replay from the file apart from a live request.
struct replayer {
    board &b;
    stamp_t now;
    bool replaying = false;

    bool wanted(const board_alert &a) const
    {
        return b.record_changes &&
               (b.want_host.empty() || memcmp(b.want_host.data(), a.host, LEN_HOSTNAME) == 0) &&
               (b.want_key.empty() || memcmp(b.want_key.data(), a.key, LEN_KEY) == 0);
    }

    void note(change_kind kind, const board_alert &a, alert_state state, std::string who2 = {})
    {
        if (!wanted(a))
            return;
        change c;
        c.stamp = now;
        c.kind = kind;
        c.replayed = replaying;
        c.state = state;
        c.alert = a;
        c.who2 = std::move(who2);
        b.changes.push_back(std::move(c));
    }

    int find(const board_alert &r) const
    {
        for (std::size_t i = 0; i < b.table.size(); i++)
            if (same_identity(*b.table[i], r))
                return static_cast<int>(i);
        return -1;
    }

    std::size_t unread() const { return waiting_unread(b.file); }

    static std::string identity(const board_alert &r)
    {
        return std::string(r.host, LEN_HOSTNAME) + std::string(r.key, LEN_KEY);
    }

    void append(const board_alert &r)
    {
        waiting_push(b.file, r);
        b.unlink_permitted = true;
        if (b.facts && is_severity(r.request))
            b.waiting_raises[identity(r)]++;
    }

    void remove(std::size_t slot, change_kind kind)
    {
        note(kind, *b.table[slot], alert_state::closed);
        b.table.erase(b.table.begin() + static_cast<long>(slot));
    }

    void add(const board_alert &r)
    {
        int slot = find(r);
        if (slot >= 0) {
            board_alert &a = *b.table[static_cast<std::size_t>(slot)];
            stamp_t since = a.since;
            a = r;
            a.since = since;
            note(change_kind::replaced, a, board_alert_state(a));
            return;
        }
        if (b.table.size() >= b.slots && !b.facts) {
            std::size_t i = 0;
            while (i < b.table.size() &&
                   (b.table[i]->acked || !is_type(b.table[i]->request, MSG_INFO)))
                i++;
            if (i == b.table.size()) {
                append(r);
                note(change_kind::spilled, r, alert_state::waiting);
                return;
            }
            remove(i, change_kind::displaced);
        }
        b.table.push_back(std::make_unique<board_alert>(r));
        board_alert &a = *b.table.back();
        a.since = now;
        note(change_kind::raised, a, board_alert_state(a));
    }

    // A clear (or console delete) and an acknowledgement of an alert that is not in the table
    // wait in the file behind the alerts there, when a sender asked for them: the alert may be
    // among those. A replayed one that still finds nothing is dropped without a word.
    bool defer(const board_alert &r, bool from_overflow, bool from_sender)
    {
        if (unread() == 0 || !from_sender)
            return false;
        // Where the server logs its facts, only a request of an alert whose raise waits.
        if (b.facts && !from_overflow && b.waiting_raises.count(identity(r)) == 0)
            return false;
        if (!from_overflow) {
            append(r);
            note(change_kind::queued, r, alert_state::unchanged);
        } else {
            note(change_kind::not_open, r, alert_state::closed);
        }
        return true;
    }

    int remove_alert(const board_alert &r, bool from_overflow, bool from_sender,
                     change_kind kind)
    {
        int slot = find(r);
        if (slot < 0) {
            if (!defer(r, from_overflow, from_sender))
                note(change_kind::not_open, r, alert_state::closed);
            return 0;
        }
        remove(static_cast<std::size_t>(slot), kind);
        return 1;
    }

    void acknowledge(const board_alert &r, bool from_overflow, bool from_sender)
    {
        int slot = find(r);
        if (slot < 0) {
            if (!defer(r, from_overflow, from_sender))
                note(change_kind::not_open, r, alert_state::closed);
            return;
        }
        board_alert &a = *b.table[static_cast<std::size_t>(slot)];
        if (a.acked)
            return;         // a second acknowledgement changes nothing
        a.acked = true;
        a.who.clear();
        a.note.clear();
        a.until = 0;
        note(change_kind::acknowledged, a, alert_state::acked);
    }

    void clear_host(const board_alert &r, bool from_overflow)
    {
        if (b.table.empty())
            return;
        if (unread() > 0 && !from_overflow) {
            append(r);
            note(change_kind::queued, r, alert_state::unchanged);
        }
        for (std::size_t i = b.table.size(); i-- > 0;)
            if (memcmp(b.table[i]->host, r.host, LEN_HOSTNAME) == 0)
                remove(i, change_kind::host_cleared);
    }

    // Reads unread records back while the table has room. A replayed clear that frees a slot
    // asks for a refill again; the running one goes on instead.
    void refill()
    {
        if (b.refilling || b.facts)
            return;
        b.refilling = true;
        bool was = replaying;
        replaying = true;
        // A replay appends nothing to the file: what is unread now is what this pass reads.
        for (std::size_t n = unread(); n > 0 && b.table.size() < b.slots; n--) {
            const board_alert *f = waiting_front(b.file);
            if (f == nullptr)
                break;
            board_alert rec = *f;
            waiting_pop_front(b.file);
            process(rec, true);
        }
        replaying = was;
        b.refilling = false;
    }

    // The file is made anew once every record has been read back, if this run wrote to it.
    void check()
    {
        if (unread() == 0 && b.unlink_permitted) {
            waiting_clear(b.file);
            b.waiting_raises.clear();
            b.unlink_permitted = false;
        }
    }

    // A raise the server logged as read back from the file: the records before it that need
    // no slot are carried out first, then the raise, then those behind it up to the next
    // raise, as the server's refill goes on past them.
    void read_back(const log_line &line)
    {
        bool was = replaying;
        replaying = true;
        board_alert rec = record_of(b, line);
        rec.text.clear();
        while (const board_alert *f = waiting_front(b.file)) {
            if (is_severity(f->request)) {
                if (same_identity_of(*f, rec)) {
                    rec = *f;
                    memcpy(rec.request, line.msgtype, 2);
                    waiting_pop_front(b.file);
                }
                break;
            }
            board_alert q = *f;
            waiting_pop_front(b.file);
            process(q, true);
        }
        auto w = b.waiting_raises.find(identity(rec));
        if (w != b.waiting_raises.end() && --w->second <= 0)
            b.waiting_raises.erase(w);
        add(rec);
        while (const board_alert *f = waiting_front(b.file)) {
            if (is_severity(f->request))
                break;
            board_alert q = *f;
            waiting_pop_front(b.file);
            process(q, true);
        }
        replaying = was;
        check();
    }

    // A raise held until the next line, carried out now.
    void release_held()
    {
        if (!b.holding)
            return;
        b.holding = false;
        stamp_t at = now;
        now = b.held.since;
        add(b.held);
        now = at;
    }

    void refill_and_check()
    {
        refill();
        check();
    }

    static bool same_identity_of(const board_alert &a, const board_alert &r)
    {
        return memcmp(a.host, r.host, LEN_HOSTNAME) == 0 && memcmp(a.key, r.key, LEN_KEY) == 0;
    }

    // A request from a sender, live or replayed from the file; a console's pending action
    // read back, which its own line (acknowledged, deleted) carries out.
    void process(const board_alert &r, bool from_overflow)
    {
        if (is_severity(r.request)) {
            add(r);
        } else if (is_type(r.request, MSG_CLEAR)) {
            if (remove_alert(r, from_overflow, true, change_kind::cleared) > 0)
                refill_and_check();
        } else if (is_type(r.request, "KA")) {
            acknowledge(r, from_overflow, true);
        } else if (is_type(r.request, "KH")) {
            clear_host(r, from_overflow);
        } else if (is_type(r.request, "LO")) {
            note(change_kind::log_only, r, alert_state::unchanged);
        }
    }

    // Acknowledgement details from the ack lines: who, the note, the expiry, the severity.
    board_alert *ack_target(const log_line &line)
    {
        int slot = find(record_of(b, line));
        return slot < 0 ? nullptr : b.table[static_cast<std::size_t>(slot)].get();
    }

    void start()
    {
        release_held();
        if (!b.starting) {
            b.before_start = std::move(b.table);
            b.read_before_start = b.file.next;
        }
        b.table.clear();
        waiting_rewind(b.file, 0);
        b.unlink_permitted = false;
        b.starting = true;
        b.restored = false;
        b.slots = BOARD_SLOTS;
        b.facts = false;
    }

    void finish_start()
    {
        if (!b.starting)
            return;
        if (!b.restored)
            for (const auto &a : b.before_start)
                note(change_kind::restart_dropped, *a, alert_state::closed);
        b.before_start.clear();
        b.starting = false;
        refill_and_check();
    }
};

alert_state
board_alert_state(const board_alert &a)
{
    if (a.acked)
        return alert_state::acked;
    if (is_type(a.request, MSG_CRITICAL))
        return alert_state::critical;
    if (is_type(a.request, MSG_WARNING))
        return alert_state::warning;
    return alert_state::info;
}

std::string
trimmed(const char *p, std::size_t n)
{
    while (n > 0 && p[n - 1] == ' ')
        n--;
    return std::string(p, n);
}

// The line says nothing of the held raise: it is carried out before the line.
static bool
ends_hold(const board &b, const log_line &line)
{
    if (line.kind == line_kind::displaced)
        return false;
    return line.kind != line_kind::spilled || memcmp(line.host, b.held.host, LEN_HOSTNAME) != 0 ||
           memcmp(line.key, b.held.key, LEN_KEY) != 0;
}

int
board_apply(board &b, const log_line &line)
{
    b.changes.clear();
    replayer r{b, line.stamp};
    if (b.holding && ends_hold(b, line))
        r.release_held();
    switch (line.kind) {
    case line_kind::unknown:
        return 0;
    case line_kind::other:
        return 1;
    case line_kind::alert:
        if (b.facts && is_severity(line.msgtype)) {
            b.held = record_of(b, line);
            b.holding = true;
            return 1;
        }
        r.process(record_of(b, line), false);
        return 1;
    case line_kind::console:
        // Where the server logs its facts, the acknowledged and deleted lines tell what a
        // console's command did; a console's delete and acknowledgement never wait in the
        // file of an older server.
        if (b.facts)
            return is_type(line.msgtype, "AD") || is_type(line.msgtype, "AC") ? 1 : 0;
        if (is_type(line.msgtype, "AD")) {
            if (r.remove_alert(record_of(b, line), false, false, change_kind::deleted) > 0)
                r.refill_and_check();
            return 1;
        }
        if (is_type(line.msgtype, "AC")) {
            r.acknowledge(record_of(b, line), false, false);
            return 1;
        }
        return 0;
    case line_kind::kk_delete: {
        if (b.facts)
            return 1;
        int slot = r.find(record_of(b, line));
        if (slot >= 0)
            r.remove(static_cast<std::size_t>(slot), change_kind::kk_deleted);
        return 1;
    }
    case line_kind::kk_summary:
        if (line.count2 > 0)
            r.refill_and_check();
        return 1;
    case line_kind::board_size:
        b.slots = static_cast<std::size_t>(line.count);
        b.facts = line.count2 == 1;
        return 1;
    case line_kind::spilled:
        if (b.holding) {
            b.holding = false;
            memcpy(b.held.request, line.msgtype, 2);
            r.append(b.held);
            r.note(change_kind::spilled, b.held, alert_state::waiting);
        } else {
            board_alert rec = record_of(b, line);
            rec.text.clear();
            r.append(rec);
            r.note(change_kind::spilled, rec, alert_state::waiting);
        }
        return 1;
    case line_kind::read_back:
        r.read_back(line);
        return 1;
    case line_kind::displaced: {
        int slot = r.find(record_of(b, line));
        if (slot >= 0)
            r.remove(static_cast<std::size_t>(slot), change_kind::displaced);
        r.release_held();       // the slot went to the raise held
        return 1;
    }
    case line_kind::pending: {
        const board_alert &rec = record_of(b, line);
        b.request.who.assign(line.who);
        r.append(rec);
        r.note(change_kind::pending, rec, alert_state::unchanged, std::string(line.who));
        return 1;
    }
    case line_kind::deleted: {
        int slot = r.find(record_of(b, line));
        if (slot >= 0) {
            auto i = static_cast<std::size_t>(slot);
            if (r.wanted(*b.table[i])) {
                r.note(change_kind::deleted, *b.table[i], alert_state::closed,
                       std::string(line.who));
                b.changes.back().note.assign(line.text);
            }
            b.table.erase(b.table.begin() + static_cast<long>(slot));
        }
        return 1;
    }
    case line_kind::acknowledged:
        if (board_alert *a = r.ack_target(line)) {
            a->acked = true;
            memcpy(a->request, line.msgtype, 2);
            a->who.assign(line.who);
            a->note.assign(line.text);
            a->until = line.until;
            r.note(change_kind::acknowledged, *a, alert_state::acked);
        }
        return 1;
    case line_kind::ack_expired:
    case line_kind::unacknowledged:
        if (board_alert *a = r.ack_target(line)) {
            a->acked = false;
            memcpy(a->request, line.msgtype, 2);
            a->who.assign(line.who);
            if (line.kind == line_kind::ack_expired)
                r.note(change_kind::ack_expired, *a, board_alert_state(*a));
            else
                r.note(change_kind::unacknowledged, *a, board_alert_state(*a),
                       std::string(line.who2));
            a->who.clear();
            a->note.clear();
            a->until = 0;
        }
        return 1;
    case line_kind::server_start:
        r.start();
        return 1;
    case line_kind::table_restored:
        // The saved table is the one the last run held; "Restored 0" is an empty one.
        if (b.starting) {
            b.table.clear();
            for (std::size_t i = 0; line.count > 0 && i < b.before_start.size(); i++)
                b.table.push_back(std::make_unique<board_alert>(*b.before_start[i]));
            waiting_rewind(b.file, b.read_before_start);
            b.restored = line.count > 0;
        }
        return 1;
    case line_kind::services_up:
        r.finish_start();
        return 1;
    case line_kind::append_failed:
        if (board_alert lost; waiting_pop_back(b.file, lost)) {
            if (b.facts && is_severity(lost.request)) {
                auto w = b.waiting_raises.find(replayer::identity(lost));
                if (w != b.waiting_raises.end() && --w->second <= 0)
                    b.waiting_raises.erase(w);
            }
            r.note(change_kind::spill_failed, lost, alert_state::closed);
        }
        return 1;
    case line_kind::overflow_flushed:
        if (b.unlink_permitted) {
            waiting_clear(b.file);
            b.waiting_raises.clear();
            b.unlink_permitted = false;
        }
        return 1;
    case line_kind::table_flushed:
        for (std::size_t i = b.table.size(); i-- > 0;)
            r.remove(i, change_kind::flushed);
        return 1;
    }
    return 0;
}

void
board_finish(board &b)
{
    b.changes.clear();
    replayer r{b, 0};
    r.release_held();
    r.finish_start();
}

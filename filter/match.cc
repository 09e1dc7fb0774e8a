// Finds the first parameter entry that a log line contains and writes its action line.
#include "filter/match.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "filter/params.h"

static_assert(ACTION_LINE_MAX >
              11 + LEN_ALERT_KEY + 2 + LINE_PIECE_MAX + 2 + LEN_REPORTINGHOST + 10 + 1);

static std::time_t
wall_clock()
{
    return std::time(nullptr);
}
std::time_t (*match_clock)() = wall_clock;

int
find_first_entry_plain(std::string_view line)
{
    const std::size_t n = line.size();
    for (int i = 0; i < message_table.entry_count; ++i) {
        const parameter_entry &e = message_table.entry[i];
        const std::size_t len = static_cast<std::size_t>(e.match_length);
        if (len > n)
            continue;
        for (std::size_t pos = 0; pos + len <= n; ++pos)
            if (memcmp(line.data() + pos, e.match_text, len) == 0)
                return i;
    }
    return -1;
}

// The fast matcher slides a window as long as the shortest match text over the line, looking
// at the last one or two bytes of the window (the block). A block that ends no text's first
// window-length bytes lets the window jump ahead; only where the shift is 0 are the texts whose
// prefix ends in that block compared. Entries that can never be the first match (an earlier
// entry's text lies inside theirs) are left out.
//
// Once an entry has matched, only earlier entries can still win, and when those are all long
// the rest of the line is scanned with a wider window: a level is the scan set up for the
// entries before a limit.
struct scan_level {
    int limit;                          // holds the live entries with index below it
    int count;
    std::size_t window;                 // shortest match_length among them
    std::size_t block;                  // 1 or 2 bytes
    std::uint8_t shift[1 << 16];
    std::uint8_t bucket_of[1 << 16];    // 1 + first place in bucket_entry, 0 for no bucket
    std::uint16_t bucket_key[MAX_ENTRIES];
    std::uint8_t bucket_entry[MAX_ENTRIES];     // table indexes, grouped by key, ascending
};

static constexpr int MAX_LEVELS = 3;
static scan_level levels[MAX_LEVELS];
static int level_count;

static unsigned
block_key(const scan_level &lv, const unsigned char *end)   // end: the block's last byte
{
    return lv.block == 2 ? (static_cast<unsigned>(end[-1]) << 8 | end[0]) : end[0];
}

static const unsigned char *
text_of(int i)
{
    return reinterpret_cast<const unsigned char *>(message_table.entry[i].match_text);
}

static void
build_level(scan_level &lv, const int *live, int count, int limit, std::size_t window)
{
    lv.limit = limit;
    lv.count = count;
    lv.window = window;
    lv.block = window >= 2 ? 2 : 1;
    memset(lv.shift, static_cast<int>(window - lv.block + 1), sizeof lv.shift);
    memset(lv.bucket_of, 0, sizeof lv.bucket_of);
    for (int k = 0; k < count; ++k)
        for (std::size_t j = lv.block - 1; j < window; ++j) {
            unsigned key = block_key(lv, text_of(live[k]) + j);
            auto sh = static_cast<std::uint8_t>(window - 1 - j);
            if (sh < lv.shift[key])
                lv.shift[key] = sh;
        }
    // Group the entries by the block that ends their window, keeping table order inside each
    // group (a stable insertion sort on the key).
    for (int k = 0; k < count; ++k) {
        auto key = static_cast<std::uint16_t>(block_key(lv, text_of(live[k]) + window - 1));
        int at = k;
        while (at > 0 && lv.bucket_key[at - 1] > key) {
            lv.bucket_key[at] = lv.bucket_key[at - 1];
            lv.bucket_entry[at] = lv.bucket_entry[at - 1];
            --at;
        }
        lv.bucket_key[at] = key;
        lv.bucket_entry[at] = static_cast<std::uint8_t>(live[k]);
    }
    for (int k = count - 1; k >= 0; --k)
        lv.bucket_of[lv.bucket_key[k]] = static_cast<std::uint8_t>(k + 1);
}

void
matcher_build()
{
    int live[MAX_ENTRIES] = {};
    int live_count = 0;
    for (int j = 0; j < message_table.entry_count; ++j) {
        const parameter_entry &e = message_table.entry[j];
        bool shadowed = false;
        for (int i = 0; i < j && !shadowed; ++i)
            shadowed = memmem(e.match_text, static_cast<std::size_t>(e.match_length),
                              message_table.entry[i].match_text,
                              static_cast<std::size_t>(message_table.entry[i].match_length))
                       != nullptr;
        if (!shadowed)
            live[live_count++] = j;
    }
    // prefix_window[k]: the shortest text among the first k live entries.
    std::size_t prefix_window[MAX_ENTRIES + 1];
    prefix_window[0] = LEN_MATCH_TEXT;
    for (int k = 0; k < live_count; ++k) {
        auto len = static_cast<std::size_t>(message_table.entry[live[k]].match_length);
        prefix_window[k + 1] = len < prefix_window[k] ? len : prefix_window[k];
    }
    level_count = 1;
    build_level(levels[0], live, live_count, MAX_ENTRIES, prefix_window[live_count]);
    // A further level where the entries before a live entry allow at least twice the window.
    for (int k = live_count - 1; k > 0 && level_count < MAX_LEVELS; --k) {
        if (prefix_window[k] < 2 * levels[level_count - 1].window)
            continue;
        build_level(levels[level_count], live, k, live[k], prefix_window[k]);
        ++level_count;
    }
}

int
find_first_entry(std::string_view line)
{
    const std::size_t n = line.size();
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    int best = MAX_ENTRIES;
    const scan_level *lv = &levels[0];
    std::size_t first_start = 0;        // every earlier start has been tried
    while (lv->count > 0 && n >= lv->window) {
        int found = -1;
        std::size_t start = 0;
        for (std::size_t q = first_start + lv->window - 1; q < n;) {
            unsigned key = block_key(*lv, s + q);
            std::size_t sh = lv->shift[key];
            if (sh != 0) {
                q += sh;
                continue;
            }
            start = q + 1 - lv->window;
            for (int k = lv->bucket_of[key] - 1; k < lv->count && lv->bucket_key[k] == key;
                 ++k) {
                int i = lv->bucket_entry[k];
                if (i >= best)
                    break;
                const std::size_t len =
                    static_cast<std::size_t>(message_table.entry[i].match_length);
                if (len <= n - start && memcmp(s + start, message_table.entry[i].match_text,
                                               len) == 0) {
                    found = i;
                    break;
                }
            }
            if (found >= 0)
                break;
            ++q;
        }
        if (found < 0)
            break;
        best = found;
        if (best == 0)      // entry 0 is never shadowed: nothing beats it
            break;
        // Go on after this start with the narrowest set that still holds every earlier entry.
        int j = level_count - 1;
        while (levels[j].limit < best)
            --j;
        lv = &levels[j];
        first_start = start + 1;
    }
    return best == MAX_ENTRIES ? -1 : best;
}

// Host extraction: skip N - 1 blanks (each blank counts, runs included), then blanks, then
// take the word up to the next blank, cut to 200 characters.
static void
extract_host(std::string_view line, int n_field)
{
    std::size_t p = 0;
    const std::size_t n = line.size();
    for (int count = n_field - 1; count > 0 && p < n; ++p)
        if (line[p] == ' ')
            --count;
    while (p < n && line[p] == ' ')
        ++p;
    std::size_t len = 0;
    while (p + len < n && line[p + len] != ' ' && len < LEN_REPORTINGHOST)
        ++len;
    memcpy(reportinghost, line.data() + p, len);
    reportinghost[len] = '\0';
}

std::size_t
format_action_line(std::string_view line, int i, char *buf)
{
    const parameter_entry &e = message_table.entry[i];
    if (usehostname_fieldnumber > 0)
        extract_host(line, usehostname_fieldnumber);

    // The message text starts data_start_offset characters in, past the blanks there; an
    // offset beyond the line gives the empty text rather than bytes of something else.
    std::size_t p = static_cast<std::size_t>(e.data_start_offset);
    if (p > line.size())
        p = line.size();
    while (p < line.size() && line[p] == ' ')
        ++p;
    const int text_len = static_cast<int>(line.size() - p);
    const char *text = line.data() + p;

    int n;
    const key_rule *rule = entry_rule(i);
    if (e.action_code == 'A' && rule != nullptr && rule->severity != nullptr)
        n = snprintf(buf, ACTION_LINE_MAX, "RAISE-ALERT %s \"%.*s\" %s %s\n", e.alert_key,
                     text_len, text, reportinghost, rule->severity);
    else if (e.action_code == 'A')
        n = snprintf(buf, ACTION_LINE_MAX, "RAISE-ALERT %s \"%.*s\" %s\n", e.alert_key,
                     text_len, text, reportinghost);
    else if (e.action_code == 'X')
        n = snprintf(buf, ACTION_LINE_MAX, "CANCEL-ALERT %s \"%.*s\" %s\n", e.alert_key,
                     text_len, text, reportinghost);
    else
        n = snprintf(buf, ACTION_LINE_MAX, "USERFUNC-%c %s \"%.*s\" %s\n", e.action_code,
                     e.alert_key, text_len, text, reportinghost);
    return static_cast<std::size_t>(n);
}

// The alerts of text=first keys raised lately: a hash of key and host, and when. A fixed
// table; when it is full, the oldest raise is forgotten (its next repeat then goes out).
struct held_alert {
    std::uint64_t id;
    std::time_t at;
};
static constexpr int HELD_MAX = 1024;
static held_alert held[HELD_MAX];
static int held_count;

void
match_hold_reset()
{
    held_count = 0;
}

static std::uint64_t
alert_id(const char *key, const char *host)
{
    std::uint64_t h = 14695981039346656037ull;     // FNV-1a over key, a zero byte and host
    for (const char *p : {key, host}) {
        for (; *p != '\0'; ++p)
            h = (h ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        h *= 1099511628211ull;
    }
    return h;
}

static held_alert *
held_find(std::uint64_t id)
{
    for (int k = 0; k < held_count; ++k)
        if (held[k].id == id)
            return &held[k];
    return nullptr;
}

// True when the action line of entry i must be held back; notes raises and cancels of
// text=first keys.
static bool
hold_back(int i)
{
    const key_rule *rule = entry_rule(i);
    if (rule == nullptr || !rule->text_first)
        return false;
    const parameter_entry &e = message_table.entry[i];
    std::uint64_t id = alert_id(e.alert_key, reportinghost);
    held_alert *h = held_find(id);
    std::time_t now = match_clock();
    if (e.action_code == 'X') {
        if (h != nullptr)
            *h = held[--held_count];
        return false;
    }
    if (e.action_code != 'A')
        return false;
    if (h != nullptr && now - h->at < TEXT_FIRST_HOLD_SECONDS)
        return true;
    if (h == nullptr && held_count == HELD_MAX) {
        h = &held[0];
        for (int k = 1; k < held_count; ++k)
            if (held[k].at < h->at)
                h = &held[k];
    } else if (h == nullptr) {
        h = &held[held_count++];
    }
    *h = {id, now};
    return false;
}

void
line_function_request(std::string_view line)
{
    int i = find_first_entry(line);
    if (i < 0)
        return;
    char out[ACTION_LINE_MAX];
    std::size_t n = format_action_line(line, i, out);
    if (key_rules.count > 0 && hold_back(i))
        return;
    fwrite(out, 1, n, stdout);
}

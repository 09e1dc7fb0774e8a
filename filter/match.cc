// Finds the first parameter entry that a log line contains and writes its action line.
#include "filter/match.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "filter/params.h"

static_assert(ACTION_LINE_MAX > 11 + LEN_ALERT_KEY + 2 + LINE_PIECE_MAX + 2 + LEN_REPORTINGHOST + 1);

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
static int live_count;                  // entries that can win
static std::size_t window;              // shortest match_length among them
static std::size_t block;               // 1 or 2 bytes
static std::uint8_t shift_table[1 << 16];
static std::uint8_t bucket_of[1 << 16]; // 1 + first place in bucket_entry, 0 for no bucket
static std::uint16_t bucket_key[MAX_ENTRIES];
static std::uint8_t bucket_entry[MAX_ENTRIES];  // table indexes, grouped by key, ascending

static unsigned
block_key(const unsigned char *end)    // end points at the block's last byte
{
    return block == 2 ? (static_cast<unsigned>(end[-1]) << 8 | end[0]) : end[0];
}

void
matcher_build()
{
    int live[MAX_ENTRIES];
    live_count = 0;
    window = LEN_MATCH_TEXT;
    for (int j = 0; j < message_table.entry_count; ++j) {
        const parameter_entry &e = message_table.entry[j];
        bool shadowed = false;
        for (int i = 0; i < j && !shadowed; ++i)
            shadowed = memmem(e.match_text, static_cast<std::size_t>(e.match_length),
                              message_table.entry[i].match_text,
                              static_cast<std::size_t>(message_table.entry[i].match_length))
                       != nullptr;
        if (shadowed)
            continue;
        live[live_count++] = j;
        if (static_cast<std::size_t>(e.match_length) < window)
            window = static_cast<std::size_t>(e.match_length);
    }
    block = window >= 2 ? 2 : 1;
    memset(shift_table, static_cast<int>(window - block + 1), sizeof shift_table);
    memset(bucket_of, 0, sizeof bucket_of);
    if (live_count == 0)
        return;

    for (int k = 0; k < live_count; ++k) {
        const auto *t = reinterpret_cast<const unsigned char *>(message_table.entry[live[k]]
                                                                     .match_text);
        for (std::size_t j = block - 1; j < window; ++j) {
            unsigned key = block_key(t + j);
            auto sh = static_cast<std::uint8_t>(window - 1 - j);
            if (sh < shift_table[key])
                shift_table[key] = sh;
        }
    }

    // Group the live entries by the block that ends their window, keeping table order inside
    // each group (insertion sort on key, stable).
    for (int k = 0; k < live_count; ++k) {
        const auto *t = reinterpret_cast<const unsigned char *>(message_table.entry[live[k]]
                                                                     .match_text);
        auto key = static_cast<std::uint16_t>(block_key(t + window - 1));
        int at = k;
        while (at > 0 && bucket_key[at - 1] > key) {
            bucket_key[at] = bucket_key[at - 1];
            bucket_entry[at] = bucket_entry[at - 1];
            --at;
        }
        bucket_key[at] = key;
        bucket_entry[at] = static_cast<std::uint8_t>(live[k]);
    }
    for (int k = live_count - 1; k >= 0; --k)
        bucket_of[bucket_key[k]] = static_cast<std::uint8_t>(k + 1);
}

int
find_first_entry(std::string_view line)
{
    const std::size_t n = line.size();
    if (live_count == 0 || n < window)
        return -1;
    const auto *s = reinterpret_cast<const unsigned char *>(line.data());
    int best = MAX_ENTRIES;
    for (std::size_t q = window - 1; q < n;) {
        unsigned key = block_key(s + q);
        std::size_t sh = shift_table[key];
        if (sh != 0) {
            q += sh;
            continue;
        }
        const std::size_t start = q + 1 - window;
        for (int k = bucket_of[key] - 1; k < live_count && bucket_key[k] == key; ++k) {
            int i = bucket_entry[k];
            if (i >= best)
                break;
            const parameter_entry &e = message_table.entry[i];
            const std::size_t len = static_cast<std::size_t>(e.match_length);
            if (len <= n - start && memcmp(s + start, e.match_text, len) == 0) {
                best = i;
                break;
            }
        }
        if (best == 0)      // entry 0 can never be shadowed: nothing beats it
            break;
        ++q;
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
    if (e.action_code == 'A')
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

void
line_function_request(std::string_view line)
{
    int i = find_first_entry(line);
    if (i < 0)
        return;
    char out[ACTION_LINE_MAX];
    std::size_t n = format_action_line(line, i, out);
    fwrite(out, 1, n, stdout);
    fflush(stdout);
}

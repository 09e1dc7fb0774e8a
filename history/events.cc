// One alert's history from the daily logs, through the board and timeline of tarrow-history.
#include "history/events.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

long
history_scan(const std::vector<log_file> &files, board &b, timeline &t, bool &read_error)
{
    stamp_cache cache;
    log_line line;
    line_reader reader;
    long odd = 0;
    for (const log_file &f : files) {
        if (reader_open(reader, f) != 0) {
            read_error = true;
            continue;
        }
        const char *p;
        std::size_t n;
        int got;
        while ((got = reader_next(reader, p, n)) != 0) {
            bool understood = got == 1;
            // A message without a newline is followed by the next one in the same line.
            while (understood && n > 0) {
                parse_log_line(p, n, cache, line);
                if (board_apply(b, line) == 0)
                    understood = false;
                for (const change &ch : b.changes)
                    timeline_add(t, ch);
                p = line.rest.data();
                n = line.rest.size();
            }
            odd += understood ? 0 : 1;
        }
        read_error = read_error || reader.error;
        reader_close(reader);
    }
    return odd;
}

static std::string
padded(std::string_view s, std::size_t width)
{
    std::string out(s.substr(0, width));
    out.resize(width, ' ');
    return out;
}

int
alert_events_json(const std::string &dir, std::string_view host, std::string_view key,
                  std::size_t max_files, std::size_t max_events, std::string &json,
                  std::string &error)
{
    std::vector<log_file> files;
    if (list_log_files(dir, files) != 0) {
        int saved_errno = errno;
        error = dir + ": " + strerror(saved_errno);
        return -1;
    }
    if (files.size() > max_files)
        files.erase(files.begin(), files.end() - static_cast<long>(max_files));
    board b;
    b.record_changes = true;
    b.want_host = padded(host, LEN_HOSTNAME);
    b.want_key = padded(key, LEN_KEY);
    char *text = nullptr;
    std::size_t size = 0;
    timeline t;
    t.json = true;
    t.out = open_memstream(&text, &size);
    if (t.out == nullptr) {
        error = "no memory for the history";
        return -1;
    }
    bool read_error = false;
    history_scan(files, b, t, read_error);
    board_finish(b);
    for (const change &ch : b.changes)
        timeline_add(t, ch);
    timeline_finish(t);
    fclose(t.out);
    nlohmann::json all = nlohmann::json::parse(std::string(text, size), nullptr, false);
    free(text);
    if (!all.is_array()) {
        error = "the history could not be read back";
        return -1;
    }
    if (all.size() > max_events)
        all.erase(all.begin(), all.end() - static_cast<long>(max_events));
    json = all.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (read_error && all.empty()) {
        error = "a log file of " + dir + " could not be read";
        return -1;
    }
    return 0;
}

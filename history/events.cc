// One alert's history from the daily logs, through the board and timeline of tarrow-history.
#include "history/events.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>

int
history_apply_line(const char *p, std::size_t n, stamp_cache &cache, log_line &line,
                   board &b, timeline &t, stamp_t end, stamp_t &first_stamp)
{
    while (n > 0) {
        parse_log_line(p, n, cache, line);
        if (first_stamp == 0 && line.kind != line_kind::unknown)
            first_stamp = line.stamp;
        if (line.kind != line_kind::unknown && end != 0 && line.stamp > end)
            return -1;
        if (board_apply(b, line) == 0)
            return 0;
        for (const change &ch : b.changes)
            timeline_add(t, ch);
        p = line.rest.data();
        n = line.rest.size();
    }
    return 1;
}

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
        stamp_t first = 0;
        while ((got = reader_next(reader, p, n)) != 0)
            odd += got == 1 && history_apply_line(p, n, cache, line, b, t, 0, first) == 1 ? 0 : 1;
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

// tarrow-history's reading of the server's message log: lines of any bytes, and the times a
// user gives. Each line is parsed with the time stamp cache of the lines before it and with
// an empty one, and both must say the same; what a line yields points into it, and its time
// is a real one. A user's time read as the end of a range is never before the same time read
// as its start.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "history/logline.h"

// True when the view is empty or lies inside the line.
static bool
inside(std::string_view v, const char *p, std::size_t n)
{
    return v.empty() || (v.data() >= p && v.data() + v.size() <= p + n);
}

// True for a YYYYMMDDHHMMSS whose parts are in range.
static bool
plausible(stamp_t s)
{
    long long sec = s % 100, min = s / 100 % 100, hour = s / 10000 % 100;
    long long day = s / 1000000 % 100, month = s / 100000000 % 100, year = s / 10000000000;
    return year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
           day <= 31 && hour <= 23 && min <= 59 && sec <= 60;
}

static bool
same_view(std::string_view a, std::string_view b)
{
    return a.data() == b.data() && a.size() == b.size();
}

static void
check_line(const char *p, std::size_t n, stamp_cache &warm)
{
    log_line a{}, b{};
    stamp_cache fresh;
    line_kind ka = parse_log_line(p, n, warm, a);
    line_kind kb = parse_log_line(p, n, fresh, b);
    FUZZ_CHECK(ka == a.kind && kb == b.kind);
    FUZZ_CHECK(ka == kb);
    if (ka == line_kind::unknown)
        return;
    FUZZ_CHECK(a.stamp == b.stamp);
    FUZZ_CHECK(plausible(a.stamp));
    FUZZ_CHECK(memcmp(a.host, b.host, sizeof a.host) == 0);
    FUZZ_CHECK(memcmp(a.key, b.key, sizeof a.key) == 0);
    FUZZ_CHECK(same_view(a.text, b.text) && same_view(a.who, b.who) &&
               same_view(a.who2, b.who2) && same_view(a.rest, b.rest));
    FUZZ_CHECK(a.until == b.until && a.count == b.count && a.count2 == b.count2);
    for (std::string_view v : {a.text, a.who, a.who2, a.rest})
        FUZZ_CHECK(inside(v, p, n));
    FUZZ_CHECK(a.until == 0 || plausible(a.until));
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const char *p = reinterpret_cast<const char *>(data);
    stamp_cache warm;
    // Every line, as the reader hands them over: without the newline.
    for (std::size_t at = 0; at <= size;) {
        const void *nl = memchr(p + at, '\n', size - at);
        std::size_t end = nl != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nl) - p)
                                        : size;
        check_line(p + at, end - at, warm);
        at = end + 1;
    }
    // The first line as a time a user gives.
    const void *nl = memchr(p, '\n', size);
    std::string_view first(p, nl != nullptr ? static_cast<std::size_t>(static_cast<const char *>(nl) - p)
                                           : size);
    const time_t now = 1796670000;      // a fixed day, so that a crash replays the same
    stamp_t from = parse_user_time(first, false, now);
    stamp_t to = parse_user_time(first, true, now);
    FUZZ_CHECK((from < 0) == (to < 0));
    if (from >= 0) {
        FUZZ_CHECK(plausible(from) && plausible(to));
        FUZZ_CHECK(from <= to);
    }
    return 0;
}

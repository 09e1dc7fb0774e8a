// Daily log files: listing them by date and reading their lines through one fixed buffer.
#include "history/logfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "history/logline.h"

// The date of a name "log_YYYYMMDD.log", ".log.gz", ".log.N" or ".log.N.gz", or 0.
static long
file_date(const char *name, bool &gz, int &generation)
{
    std::size_t n = strlen(name);
    if (n < 16 || memcmp(name, "log_", 4) != 0 || memcmp(name + 12, ".log", 4) != 0)
        return 0;
    long date = 0;
    for (int i = 4; i < 12; i++) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        date = date * 10 + (name[i] - '0');
    }
    const char *rest = name + 16;
    generation = 0;
    if (rest[0] == '.' && rest[1] >= '1' && rest[1] <= '9') {
        rest++;
        while (*rest >= '0' && *rest <= '9' && generation < 100000)
            generation = generation * 10 + (*rest++ - '0');
    }
    gz = strcmp(rest, ".gz") == 0;
    if (!gz && *rest != '\0')
        return 0;
    return date;
}

// The first line of a file, empty when it has none or cannot be read.
static std::string
first_line(const log_file &f)
{
    line_reader r;
    std::string s;
    if (reader_open(r, f) != 0)
        return s;
    const char *p;
    std::size_t n;
    if (reader_next(r, p, n) != 0)
        s.assign(p, n);
    reader_close(r);
    return s;
}

// The time stamp of a line, or 0 for one without.
static stamp_t
line_stamp(const std::string &line)
{
    stamp_cache cache;
    log_line l;
    parse_log_line(line.data(), line.size(), cache, l);
    return cache.stamp < 0 ? 0 : cache.stamp;
}

int
list_log_files(const std::string &dir, std::vector<log_file> &out, std::vector<log_file> *skipped)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    std::vector<log_file> found;
    while (struct dirent *e = readdir(d)) {
        bool gz = false;
        int generation = 0;
        long date = file_date(e->d_name, gz, generation);
        if (date != 0)
            found.push_back({dir + "/" + e->d_name, date, gz, generation, {}});
    }
    closedir(d);
    // One reader's buffer at a time: the first lines are read one file after another.
    for (log_file &f : found)
        f.first = first_line(f);
    auto stamp_of = [](const log_file &f) { return line_stamp(f.first); };
    std::stable_sort(found.begin(), found.end(), [&](const log_file &a, const log_file &b) {
        if (a.date != b.date)
            return a.date < b.date;
        stamp_t sa = stamp_of(a), sb = stamp_of(b);
        if (sa != 0 && sb != 0 && sa != sb)
            return sa < sb;
        if (a.first == b.first && !a.first.empty() && a.gz != b.gz)
            return !a.gz;       // of two copies, the plain one is complete
        if (a.generation != b.generation)
            return a.generation > b.generation;     // .log.2 was rotated before .log.1
        return a.gz > b.gz;
    });
    for (log_file &f : found) {
        bool copy = false;
        for (const log_file &o : out)
            copy = copy || (o.date == f.date && !f.first.empty() && o.first == f.first);
        if (!copy)
            out.push_back(std::move(f));
        else if (skipped != nullptr)
            skipped->push_back(std::move(f));
    }
    return 0;
}

int
reader_open(line_reader &r, const log_file &f)
{
    r.start = r.end = 0;
    r.eof = r.error = r.skipping = false;
    r.fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (r.fd < 0)
        return -1;
    if (f.gz) {
        r.gz = gzdopen(r.fd, "rb");
        if (r.gz == nullptr) {
            close(r.fd);
            r.fd = -1;
            errno = ENOMEM;
            return -1;
        }
        gzbuffer(r.gz, 256 * 1024);
    }
    return 0;
}

void
reader_close(line_reader &r)
{
    if (r.gz != nullptr)
        gzclose(r.gz);          // closes the descriptor too
    else if (r.fd >= 0)
        close(r.fd);
    r.gz = nullptr;
    r.fd = -1;
}

// Moves what is left to the front and reads more behind it; false when nothing came.
static bool
refill(line_reader &r)
{
    if (r.eof)
        return false;
    if (r.start > 0) {
        memmove(r.buf.get(), r.buf.get() + r.start, r.end - r.start);
        r.end -= r.start;
        r.start = 0;
    }
    for (;;) {
        std::size_t room = READ_BUFFER_SIZE - r.end;
        long n;
        if (r.gz != nullptr)
            n = gzread(r.gz, r.buf.get() + r.end, static_cast<unsigned>(room));
        else
            n = read(r.fd, r.buf.get() + r.end, room);
        if (n < 0 && r.gz == nullptr && errno == EINTR)
            continue;
        if (n <= 0) {
            r.eof = true;
            r.error = n < 0;
            // A compressed file cut short ends without an error from gzread itself.
            int gz_error = Z_OK;
            if (r.gz != nullptr)
                gzerror(r.gz, &gz_error);
            if (gz_error != Z_OK)
                r.error = true;
            return false;
        }
        r.end += static_cast<std::size_t>(n);
        return true;
    }
}

int
reader_next(line_reader &r, const char *&p, std::size_t &n)
{
    for (;;) {
        char *s = r.buf.get() + r.start;
        char *nl = static_cast<char *>(memchr(s, '\n', r.end - r.start));
        if (nl != nullptr) {
            r.start = static_cast<std::size_t>(nl - r.buf.get()) + 1;
            if (r.skipping) {
                r.skipping = false;
                continue;
            }
            p = s;
            n = static_cast<std::size_t>(nl - s);
            return 1;
        }
        if (r.start == 0 && r.end == READ_BUFFER_SIZE) {
            // No newline in a whole buffer: hand out this much, drop the rest of the line.
            r.start = r.end;
            bool was_skipping = r.skipping;
            r.skipping = true;
            if (!was_skipping) {
                p = s;
                n = READ_BUFFER_SIZE;
                return 2;
            }
            continue;
        }
        if (!refill(r)) {
            if (r.end > r.start && !r.skipping) {
                // A last line without its newline: a log cut while it was being written.
                p = r.buf.get() + r.start;
                n = r.end - r.start;
                r.start = r.end;
                return 1;
            }
            r.start = r.end = 0;
            return 0;
        }
    }
}

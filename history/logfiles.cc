// Daily log files: listing them by date and reading their lines through one fixed buffer.
#include "history/logfiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// The date of a name "log_YYYYMMDD.log" or "log_YYYYMMDD.log.gz", or 0.
static long
file_date(const char *name, bool &gz)
{
    std::size_t n = strlen(name);
    if ((n != 16 && n != 19) || memcmp(name, "log_", 4) != 0 || memcmp(name + 12, ".log", 4) != 0)
        return 0;
    gz = n == 19;
    if (gz && memcmp(name + 16, ".gz", 3) != 0)
        return 0;
    long date = 0;
    for (int i = 4; i < 12; i++) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        date = date * 10 + (name[i] - '0');
    }
    return date;
}

int
list_log_files(const std::string &dir, std::vector<log_file> &out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return -1;
    while (struct dirent *e = readdir(d)) {
        bool gz = false;
        long date = file_date(e->d_name, gz);
        if (date != 0)
            out.push_back({dir + "/" + e->d_name, date, gz});
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const log_file &a, const log_file &b) {
        return a.date != b.date ? a.date < b.date : a.gz > b.gz;
    });
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

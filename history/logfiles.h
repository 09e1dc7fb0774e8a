// Finding tarrowd's daily log files in a directory and reading them line by line, plain or
// gzip-compressed.
#ifndef HISTORY_LOGFILES_H
#define HISTORY_LOGFILES_H

#include <zlib.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct log_file {
    std::string path;
    long date = 0;          // YYYYMMDD from the name
    bool gz = false;
    int generation = 0;     // N of a rotated log_YYYYMMDD.log.N[.gz]; 0 for the others
    std::string first;      // the file's first line, to order and compare files by
};

// Every form a day's log takes once rotated or compressed: log_YYYYMMDD.log, .log.N,
// .log.N.gz and .log.gz, in dir, in time order. Of one date, files are ordered by the time
// stamp of their first line (a higher N, then .gz, first when that does not tell); a file
// that starts with the same line as one before it is a copy of it (a rotated file being
// compressed, or gzip -k) and goes to skipped instead, the plain file being kept. Returns
// 0, or -1 (errno set) when the directory cannot be read.
int list_log_files(const std::string &dir, std::vector<log_file> &out,
                   std::vector<log_file> *skipped = nullptr);

inline constexpr std::size_t READ_BUFFER_SIZE = 1 << 20;

// Reads one file in large blocks and hands out its lines; memory stays one buffer.
struct line_reader {
    int fd = -1;
    gzFile gz = nullptr;
    std::unique_ptr<char[]> buf{new char[READ_BUFFER_SIZE]};
    std::size_t start = 0, end = 0;
    bool eof = false;
    bool error = false;
    bool skipping = false;      // the rest of a line too long for the buffer is dropped
};

// Opens the file; returns 0, or -1 with errno set.
int reader_open(line_reader &r, const log_file &f);
// The next line without its newline (a last line without one included). Returns 1 and sets
// p and n, 2 for a line cut at the buffer's size, 0 at the end or on a read error (error
// set).
int reader_next(line_reader &r, const char *&p, std::size_t &n);
void reader_close(line_reader &r);

#endif // HISTORY_LOGFILES_H

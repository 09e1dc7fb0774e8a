// Reading log files: their order, lines across reads, an overlong line, compressed files whole
// and cut short.
#include "history/logfiles.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

struct scratch_dir {
    std::string path;
    scratch_dir()
    {
        char tmpl[] = "/tmp/history_test_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~scratch_dir() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
};

void
write_file(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

void
write_gz(const std::string &path, const std::string &data)
{
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(gz, nullptr);
    ASSERT_EQ(gzwrite(gz, data.data(), static_cast<unsigned>(data.size())),
              static_cast<int>(data.size()));
    gzclose(gz);
}

// Every line of the file, a cut line marked with a leading '!', and whether it read to its
// end without an error.
std::vector<std::string>
lines_of(const log_file &f, bool &ok)
{
    line_reader r;
    std::vector<std::string> v;
    EXPECT_EQ(reader_open(r, f), 0);
    const char *p;
    std::size_t n;
    int got;
    while ((got = reader_next(r, p, n)) != 0)
        v.push_back((got == 2 ? "!" : "") + std::string(p, std::min<std::size_t>(n, 20)));
    ok = !r.error;
    reader_close(r);
    return v;
}

} // namespace

TEST(history_logfiles, order_lines_and_compressed_files)
{
    scratch_dir d;
    std::string big(READ_BUFFER_SIZE + 10, 'x');
    // Lines that straddle the buffer's end, one longer than the buffer, no final newline.
    std::string plain = std::string(READ_BUFFER_SIZE - 3, 'a') + "\nbb\n" + big + "\ncc\ndd";
    write_file(d.path + "/log_20261207.log", plain);
    write_gz(d.path + "/log_20261207.log.gz", "early\nlines\n");
    write_gz(d.path + "/log_20261206.log.gz", std::string(5000, 'z') + "\n");
    write_file(d.path + "/log_2026120.log", "not a log\n");
    write_file(d.path + "/other.log", "not a log\n");

    std::vector<log_file> files;
    ASSERT_EQ(list_log_files(d.path, files), 0);
    std::vector<std::string> names;
    for (const log_file &f : files)
        names.push_back(f.path.substr(d.path.size() + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"log_20261206.log.gz", "log_20261207.log.gz",
                                               "log_20261207.log"}));

    bool ok = false;
    EXPECT_EQ(lines_of(files[1], ok), (std::vector<std::string>{"early", "lines"}));
    EXPECT_TRUE(ok);
    EXPECT_EQ(lines_of(files[2], ok),
              (std::vector<std::string>{std::string(20, 'a'), "bb", "!" + std::string(20, 'x'),
                                        "cc", "dd"}));
    EXPECT_TRUE(ok);

    // A day rotated twice without dateext, the older part compressed, and the first rotated
    // file while it is being compressed: read oldest first, the copy left out.
    const std::string day = d.path + "/log_20261208.log";
    write_file(day, "Tue Dec  8 12:00:00 2026 INFO: c\n");
    write_file(day + ".1", "Tue Dec  8 10:00:00 2026 INFO: b\n");
    write_gz(day + ".1.gz", "Tue Dec  8 10:00:00 2026 INFO: b\n");
    write_gz(day + ".2.gz", "Tue Dec  8 08:00:00 2026 INFO: a\n");
    write_file(day + ".x", "not a log\n");
    files.clear();
    std::vector<log_file> copies;
    ASSERT_EQ(list_log_files(d.path, files, &copies), 0);
    names.clear();
    for (const log_file &f : files)
        names.push_back(f.path.substr(d.path.size() + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"log_20261206.log.gz", "log_20261207.log.gz",
                                               "log_20261207.log", "log_20261208.log.2.gz",
                                               "log_20261208.log.1", "log_20261208.log"}));
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(copies[0].path, day + ".1.gz");

    // A compressed file cut short is an error after the lines it still gave.
    std::ifstream in(files[0].path, std::ios::binary);
    std::string gz((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    write_file(files[0].path, gz.substr(0, gz.size() - 12));
    lines_of(files[0], ok);
    EXPECT_FALSE(ok);
}

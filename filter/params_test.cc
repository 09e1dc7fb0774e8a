// Tests of the parameter file syntax, its error output and the 255-character line reader.
#include "filter/params.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

namespace {

// store_line's result and what it printed.
std::pair<int, std::string>
store(const std::string &line)
{
    testing::internal::CaptureStdout();
    int rc = store_line(line.c_str());
    fflush(stdout);
    return {rc, testing::internal::GetCapturedStdout()};
}

// A parameter file in a fresh temporary directory, removed at the end of the test.
struct temp_file {
    std::string dir, path;
    explicit temp_file(const std::string &content)
    {
        char tmpl[] = "/tmp/sievel_params_XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/p";
        FILE *f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
    }
    ~temp_file()
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

} // namespace

TEST(store_line, entry_fields)
{
    const std::string key20 = "ABCDEFGHIJKLMNOPQRST";
    const std::string text60(60, 'm');
    struct {
        std::string line;
        char code;
        std::string key;
        int offset;
        std::string text;
    } cases[] = {
        {"A DISKFULL 16 No space left on device", 'A', "DISKFULL", 16, "No space left on device"},
        {"ALERT K 0 x", 'A', "K", 0, "x"},
        {"Xyz K 1 x", 'X', "K", 1, "x"},
        {"5 K 2 x", '5', "K", 2, "x"},
        {"   1   KEY   12abc   two  words  ", '1', "KEY", 12, "two  words  "},
        {"A " + key20 + " 3 t", 'A', key20.substr(0, 14), 3, "t"},
        {"A K 4 " + text60, 'A', "K", 4, text60.substr(0, 50)},
        {"A K 007 #not a comment", 'A', "K", 7, "#not a comment"},
        {"A K 99999999999 t", 'A', "K", 2147483647, "t"},
        {"A\tX K 10 tab\tinside", 'A', "K", 10, "tab\tinside"},
    };
    for (const auto &c : cases) {
        params_reset();
        auto [rc, out] = store(c.line);
        ASSERT_EQ(rc, 1) << c.line;
        EXPECT_EQ(out, "") << c.line;
        ASSERT_EQ(message_table.entry_count, 1) << c.line;
        const parameter_entry &e = message_table.entry[0];
        EXPECT_EQ(e.action_code, c.code) << c.line;
        EXPECT_EQ(std::string(e.alert_key), c.key) << c.line;
        EXPECT_EQ(e.data_start_offset, c.offset) << c.line;
        EXPECT_EQ(std::string(e.match_text), c.text) << c.line;
        EXPECT_EQ(e.match_length, static_cast<int>(c.text.size())) << c.line;
    }
}

TEST(store_line, rejected_lines)
{
    const char *key_missing = "Error: Incomplete line in parameter file, no alert key found\n";
    const char *offset_missing =
        "Error: Incomplete line in parameter file, no data start offset found\n";
    const char *text_missing = "Error: Incomplete line in parameter file, no message text\n";
    const char *bad_host = "Error: non-numeric or invalid value in USEHOSTNAME line\n";
    struct {
        std::string line, message;
    } cases[] = {
        {"", "Error: Empty line in parameter file\n"},
        {"    ", "Error: Empty line in parameter file\n"},
        {"\t", "Error: Invalid action code, must be A or X. Code in file was \t\n"},
        {"a K 1 x", "Error: Invalid action code, must be A or X. Code in file was a\n"},
        {"0 K 1 x", "Error: Invalid action code, must be A or X. Code in file was 0\n"},
        {"6 K 1 x", "Error: Invalid action code, must be A or X. Code in file was 6\n"},
        {"usehostname=5", "Error: Invalid action code, must be A or X. Code in file was u\n"},
        {"A", key_missing},
        {"ALERT   ", key_missing},
        {"A KEY", offset_missing},
        {"A KEY   ", offset_missing},
        {"A KEY -1 x", "Error: Non numeric data start offset, ptr at -1 x\n"},
        {"A\tKEY 10 disk", "Error: Non numeric data start offset, ptr at disk\n"},
        {"A KEY 10", text_missing},
        {"A KEY 10abc   ", text_missing},
        {"USEHOSTNAME=0", bad_host},
        {"USEHOSTNAME=16", bad_host},
        {"USEHOSTNAME=abc", bad_host},
        {"USEHOSTNAME=", bad_host},
        {"KEY", "Error: Invalid action code, must be A or X. Code in file was K\n"},
        {"KEY   ", "Error: KEY line without a key\n"},
        {"KEY K severity=Warning", "Error: KEY setting severity=Warning unknown; "
                                   "severity=critical, warning or info, text=first or last\n"},
        {"KEY K text=middle", "Error: KEY setting text=middle unknown; "
                              "severity=critical, warning or info, text=first or last\n"},
    };
    for (const auto &c : cases) {
        params_reset();
        auto [rc, out] = store(c.line);
        EXPECT_EQ(rc, 0) << c.line;
        EXPECT_EQ(out, c.message) << c.line;
        EXPECT_EQ(message_table.entry_count, 0) << c.line;
    }
}

// KEY lines set the severity and the text kept for every entry of their key, before or after
// them; a key has one KEY line, cut to 14 characters as entry keys are.
TEST(store_line, key_rules)
{
    params_reset();
    for (const char *line : {"A SSHFAIL 25 Failed password", "KEY SSHFAIL severity=warning",
                             "  KEY   OOMKILL_AND_MORE   text=first severity=critical  ",
                             "A OOMKILL_AND_MORE 25 Out of memory", "KEY CUSTOM text=last",
                             "A CUSTOM 0 custom", "A PLAIN 0 plain"})
        ASSERT_EQ(store(line), std::make_pair(1, std::string())) << line;
    struct {
        int entry;
        const char *severity;
        bool first;
    } want[] = {{0, "warning", false}, {1, "critical", true}, {2, nullptr, false}};
    for (const auto &w : want) {
        const key_rule *r = entry_rule(w.entry);
        ASSERT_NE(r, nullptr) << w.entry;
        EXPECT_STREQ(r->severity, w.severity) << w.entry;
        EXPECT_EQ(r->text_first, w.first) << w.entry;
    }
    EXPECT_EQ(entry_rule(3), nullptr);
    EXPECT_EQ(store("KEY OOMKILL_AND_MOXYZ severity=info"),
              std::make_pair(0, std::string("Error: a second KEY line for OOMKILL_AND_MO\n")));
    EXPECT_EQ(key_rules.count, 3);
}

TEST(store_line, comments_and_usehostname)
{
    struct {
        std::string line;
        int fieldnumber;    // after the line; the previous value was 7
    } cases[] = {
        {"#", 7},           {"   # USEHOSTNAME=99", 7}, {"USEHOSTNAME=15", 15},
        {"USEHOSTNAME=3x", 3}, {"  USEHOSTNAME= +4", 4}, {"USEHOSTNAME=-2", -2},
        {"USEHOSTNAME=1", 1},
    };
    for (const auto &c : cases) {
        params_reset();
        usehostname_fieldnumber = 7;
        auto [rc, out] = store(c.line);
        EXPECT_EQ(rc, 1) << c.line;
        EXPECT_EQ(out, "") << c.line;
        EXPECT_EQ(usehostname_fieldnumber, c.fieldnumber) << c.line;
        EXPECT_EQ(message_table.entry_count, 0) << c.line;
    }
}

TEST(store_line, fifty_entries_then_nothing)
{
    params_reset();
    for (int i = 0; i < MAX_ENTRIES; ++i)
        ASSERT_EQ(store("A K" + std::to_string(i) + " 0 text" + std::to_string(i)).first, 1);
    EXPECT_EQ(std::string(message_table.entry[49].alert_key), "K49");
    for (const char *line : {"# comment", "USEHOSTNAME=5", "A K 0 x", ""}) {
        auto [rc, out] = store(line);
        EXPECT_EQ(rc, 0) << line;
        EXPECT_EQ(out, "Error: Over 50 entries in the parameter table, review table\n") << line;
    }
    EXPECT_EQ(message_table.entry_count, MAX_ENTRIES);
}

TEST(load_parameter_file, files_and_line_numbers)
{
    std::string fifty;
    for (int i = 0; i < MAX_ENTRIES; ++i)
        fifty += "A K 0 t" + std::to_string(i) + "\n";
    const std::string long_text(294, 'x');    // "A K 1 " + 294 = 300 characters
    const std::string exact(249, 'y');        // "A K 1 " + 249 = 255 characters
    struct {
        std::string content;
        int rc, entries;
        std::string out, last_text;
    } cases[] = {
        {"", 0, 0, "", ""},
        {"# only\n", 0, 0, "", ""},
        {"A K 1 abc", 0, 1, "", "abc"},     // last line without newline
        {std::string("A K 1 ab\0cd\n", 12), 0, 1, "", "ab"},
        {"# c\nA K", 1, 0,
         "Error: Incomplete line in parameter file, no data start offset found\n"
         "Error: config file syntax error (line 2) : A K\n", ""},
        {"A K 1 x\n\n", 1, 1,
         "Error: Empty line in parameter file\n"
         "Error: config file syntax error (line 2) : \n", ""},
        {"A K 1 " + long_text + "\n", 1, 1,
         "Error: Invalid action code, must be A or X. Code in file was x\n"
         "Error: config file syntax error (line 2) : " + std::string(45, 'x') + "\n", ""},
        {"A K 1 " + exact + "\n", 1, 1,
         "Error: Empty line in parameter file\n"
         "Error: config file syntax error (line 2) : \n", ""},
        {"A K 1 " + exact + "\nA L 2 z\n", 1, 1,
         "Error: Empty line in parameter file\n"
         "Error: config file syntax error (line 2) : \n", ""},
        {fifty, 0, 50, "", "t49"},
        {fifty + "# late\n", 1, 50,
         "Error: Over 50 entries in the parameter table, review table\n"
         "Error: config file syntax error (line 51) : # late\n", ""},
        {"USEHOSTNAME=5\n# x\nA K 1 a b\nB K 1 c\n", 1, 1,
         "Error: Invalid action code, must be A or X. Code in file was B\n"
         "Error: config file syntax error (line 4) : B K 1 c\n", ""},
    };
    for (const auto &c : cases) {
        params_reset();
        temp_file f(c.content);
        testing::internal::CaptureStdout();
        int rc = load_parameter_file(f.path.c_str());
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.rc) << c.content;
        EXPECT_EQ(out, c.out) << c.content;
        EXPECT_EQ(message_table.entry_count, c.entries) << c.content;
        if (c.rc == 0 && c.entries > 0) {
            EXPECT_EQ(std::string(message_table.entry[c.entries - 1].match_text), c.last_text);
        }
    }
}

// A carriage return before a newline is removed and counted; anywhere else it stays.
TEST(load_parameter_file, crlf_line_ends)
{
    struct {
        std::string content;
        int crlf;
        std::string last_text;
    } cases[] = {
        {"USEHOSTNAME=2\r\n# note\r\nA K 0 disk full\r\n", 3, "disk full"},
        {"A K 0 a\rb\nA K 0 keep \r\nA K 0 last\r", 1, "last\r"},
        {"A K 0 " + std::string(247, 'x') + "\r\n", 1, std::string(50, 'x')},
    };
    for (const auto &c : cases) {
        params_reset();
        temp_file f(c.content);
        testing::internal::CaptureStdout();
        int rc = load_parameter_file(f.path.c_str());
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << c.content;
        EXPECT_EQ(rc, 0) << c.content;
        EXPECT_EQ(crlf_line_count, c.crlf) << c.content;
        ASSERT_GT(message_table.entry_count, 0);
        EXPECT_EQ(message_table.entry[message_table.entry_count - 1].match_text, c.last_text);
        if (c.content.starts_with("USEHOSTNAME")) {
            EXPECT_EQ(usehostname_fieldnumber, 2);
        }
    }
}

TEST(load_parameter_file, open_and_read_errors)
{
    char tmpl[] = "/tmp/sievel_params_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    struct {
        std::string name, err;
    } cases[] = {
        {dir + "/missing", "Error: Unable to open file " + dir + "/missing\n"
                           ": No such file or directory\n"},
        {dir, "Error: Unable to read file " + dir + "\n: Is a directory\n"},
    };
    for (const auto &c : cases) {
        params_reset();
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        int rc = load_parameter_file(c.name.c_str());
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, 1) << c.name;
        EXPECT_EQ(out, "") << c.name;
        EXPECT_EQ(err, c.err) << c.name;
    }
    rmdir(dir.c_str());
}

TEST(read_piece, pieces_of_a_stream)
{
    const std::string a300(300, 'a');
    struct {
        std::string input;
        std::vector<std::string> pieces;
    } cases[] = {
        {"", {}},
        {"one\ntwo", {"one", "two"}},
        {"\n\n", {"", ""}},
        {a300 + "\nb\n", {a300.substr(0, 255), a300.substr(255), "b"}},
        {std::string(254, 'c') + "\n", {std::string(254, 'c')}},
        {std::string(255, 'd') + "\n", {std::string(255, 'd'), ""}},
        {std::string(510, 'e'), {std::string(255, 'e'), std::string(255, 'e')}},
        {std::string("x\0y\nz\r\n", 7), {"x", "z\r"}},
    };
    for (const auto &c : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()),
                  static_cast<ssize_t>(c.input.size()));
        close(fds[1]);
        static piece_reader r;
        r = piece_reader{};
        r.fd = fds[0];
        std::vector<std::string> got;
        std::string_view piece;
        while (read_piece(r, piece) > 0)
            got.emplace_back(piece);
        close(fds[0]);
        EXPECT_EQ(got, c.pieces) << c.input;
    }
}

// Tests of the line matching, the host and message text taken from a line, and action lines.
#include "filter/match.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "filter/params.h"

namespace {

// Loads the parameter lines into an empty table and prepares the matcher.
void
load(const std::vector<std::string> &lines)
{
    params_reset();
    testing::internal::CaptureStdout();
    for (const auto &l : lines)
        store_line(l.c_str());
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    matcher_build();
}

std::string
action_line(const std::string &line)
{
    int i = find_first_entry(line);
    if (i < 0)
        return "";
    char buf[ACTION_LINE_MAX];
    return std::string(buf, format_action_line(line, i, buf));
}

} // namespace

TEST(find_first_entry, table_order_and_edges)
{
    load({"A E0 0 gamma", "A E1 0 beta", "A E2 0 alpha", "A E3 0 alp", "A E4 0 alp",
          "A E5 0 trailing  ", "A E6 0 z", "A E7 0 Case"});
    struct {
        std::string line;
        int entry;
    } cases[] = {
        {"", -1},
        {"nothing here", -1},
        {"alpha then beta", 1},       // entry 1 wins though entry 2 comes first in the line
        {"alpgamma", 0},
        {"alp", 3},                   // entry 4 has the same text and never acts
        {"xalpx", 3},
        {"al", -1},
        {"gamm", -1},
        {"GAMMA", -1},
        {"case", -1},
        {"Case", 7},
        {"text trailing ", -1},       // its trailing blanks are part of the text
        {"text trailing  ", 5},
        {"z", 6},                     // a one-byte text at both edges of the line
        {"az", 6},
        {"za", 6},
        {"betagamma", 0},             // at the line's end
        {std::string(200, 'q') + "beta" + std::string(51, 'q'), 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(find_first_entry_plain(c.line), c.entry) << c.line;
        EXPECT_EQ(find_first_entry(c.line), c.entry) << c.line;
    }
    load({});
    EXPECT_EQ(find_first_entry("anything"), -1);
}

// The fast matcher against the plain search: small alphabets give overlapping texts, texts that
// share prefixes and repeat, and texts cut from the lines themselves land at their edges.
TEST(find_first_entry, same_result_as_plain_search)
{
    std::mt19937 rng(20240611);
    const std::string alphabets[] = {"ab", "abc ", "abcdefgh", "xyz \t\"\r"};
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    long matched = 0, unmatched = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::string &alpha = alphabets[pick(4)];
        auto random_text = [&](std::size_t len) {
            std::string s;
            for (std::size_t i = 0; i < len; ++i)
                s += alpha[pick(alpha.size())];
            return s;
        };
        std::vector<std::string> lines;
        for (int i = 0; i < 30; ++i) {
            std::size_t len = pick(4) == 0 ? LINE_PIECE_MAX - pick(3) : pick(120);
            lines.push_back(random_text(len));
        }
        const std::size_t longest = 1 + pick(pick(2) ? 6 : LEN_MATCH_TEXT);
        std::vector<std::string> params;
        const std::size_t entries = 1 + pick(MAX_ENTRIES);
        std::string previous = "a";
        for (std::size_t i = 0; i < entries; ++i) {
            std::string text;
            switch (pick(4)) {
            case 0:
                text = random_text(1 + pick(longest));
                break;
            case 1: {       // a piece of a line, often its start or its end
                const std::string &l = lines[pick(lines.size())];
                if (l.empty())
                    break;
                std::size_t len = 1 + pick(std::min(longest, l.size()));
                std::size_t at = pick(3) == 0 ? 0 : pick(3) == 0 ? l.size() - len
                                                                  : pick(l.size() - len + 1);
                text = l.substr(at, len);
                break;
            }
            case 2:         // shares a prefix with the text before
                text = previous.substr(0, 1 + pick(previous.size())) + random_text(pick(4));
                break;
            default:
                text = previous;
            }
            // Store only texts that survive the file syntax unchanged.
            while (!text.empty() && text.back() == ' ')
                text.pop_back();
            while (!text.empty() && text.front() == ' ')
                text.erase(0, 1);
            if (text.empty())
                text = "a";
            text = text.substr(0, LEN_MATCH_TEXT);
            previous = text;
            params.push_back("A K" + std::to_string(i) + " 0 " + text);
        }
        load(params);
        for (const auto &l : lines) {
            int want = find_first_entry_plain(l);
            ASSERT_EQ(find_first_entry(l), want) << "round " << round << " line [" << l << "]";
            ++(want < 0 ? unmatched : matched);
        }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT(matched, 10000);
    EXPECT_GT(unmatched, 5000);
}

TEST(format_action_line, text_host_and_formats)
{
    const std::string host230(230, 'h');
    struct {
        std::vector<std::string> params;
        std::string line, out;
    } cases[] = {
        {{"A DISKFULL 16 No space"}, "Jun  4 10:00:01 web1 kernel: No space left",
         "RAISE-ALERT DISKFULL \"web1 kernel: No space left\" \n"},
        {{"X DISKFULL 0 space"}, "   free space again  ", "CANCEL-ALERT DISKFULL \"free space again  \" \n"},
        {{"3 RUNME 5 go"}, "12345go", "USERFUNC-3 RUNME \"go\" \n"},
        {{"1 K 5 go"}, "ab go   ", "USERFUNC-1 K \"\" \n"},           // offset at the end
        {{"A K 7 go"}, "ab go", "RAISE-ALERT K \"\" \n"},              // beyond the end
        {{"A K 99999999999 go"}, "go", "RAISE-ALERT K \"\" \n"},
        {{"A K 0 say"}, "they say \"hi\" ", "RAISE-ALERT K \"they say \"hi\" \" \n"},
        {{"A K 0 x"}, "x\ty", "RAISE-ALERT K \"x\ty\" \n"},
        // A single-digit day leaves two blanks after the month: field 5 is the host.
        {{"USEHOSTNAME=5", "A SEGV 0 segfault"}, "Jun  4 10:00:01 web1 app: segfault",
         "RAISE-ALERT SEGV \"Jun  4 10:00:01 web1 app: segfault\" web1\n"},
        {{"USEHOSTNAME=4", "A SEGV 0 segfault"}, "Jun  4 10:00:01 web1 app: segfault",
         "RAISE-ALERT SEGV \"Jun  4 10:00:01 web1 app: segfault\" 10:00:01\n"},
        {{"USEHOSTNAME=4", "A SEGV 16 segfault"}, "Jun 14 10:00:01 web2 app: segfault",
         "RAISE-ALERT SEGV \"web2 app: segfault\" web2\n"},
        {{"USEHOSTNAME=1", "A K 0 boom"}, "   first boom", "RAISE-ALERT K \"first boom\" first\n"},
        {{"USEHOSTNAME=2", "A K 0 boom"}, "a\tb boom", "RAISE-ALERT K \"a\tb boom\" boom\n"},
        {{"USEHOSTNAME=15", "A K 0 boom"}, "one two boom", "RAISE-ALERT K \"one two boom\" \n"},
        {{"USEHOSTNAME=3", "A K 0 boom"}, "boom a ", "RAISE-ALERT K \"boom a \" \n"},
        {{"USEHOSTNAME=-2", "A K 0 boom"}, "boom host", "RAISE-ALERT K \"boom host\" \n"},
        {{"USEHOSTNAME=2", "A K 200 boom"}, "boom " + host230 + " x",
         "RAISE-ALERT K \"" + host230.substr(195) + " x\" " + host230.substr(0, 200) + "\n"},
        // A KEY line's severity follows the host of a raise, also an empty host; a cancel
        // and a user function carry none.
        {{"USEHOSTNAME=2", "KEY FS severity=warning", "A FS 0 full"}, "t web1 full",
         "RAISE-ALERT FS \"t web1 full\" web1 warning\n"},
        {{"KEY FS severity=info", "A FS 0 full"}, "full", "RAISE-ALERT FS \"full\"  info\n"},
        {{"KEY FS severity=critical", "X FS 0 free", "2 FS 0 full"}, "free",
         "CANCEL-ALERT FS \"free\" \n"},
        {{"KEY FS severity=critical", "2 FS 0 full"}, "full", "USERFUNC-2 FS \"full\" \n"},
    };
    for (const auto &c : cases) {
        load(c.params);
        EXPECT_EQ(action_line(c.line), c.out) << c.line;
    }
}

// text=first: a raise of a host's alert holds back its repeats for TEXT_FIRST_HOLD_SECONDS, so
// the board keeps the first line's text; a cancel ends the hold, and other hosts and keys
// are not held.
std::time_t fake_now;
std::time_t
fake_clock()
{
    return fake_now;
}

TEST(line_function_request, text_first_holds_back_repeats)
{
    load({"USEHOSTNAME=1", "KEY OOM severity=critical text=first", "A OOM 0 Killed",
          "A OOM 0 reaped", "X OOM 0 recovered", "A OTHER 0 other"});
    match_hold_reset();
    std::time_t (*wall)() = match_clock;
    match_clock = fake_clock;
    fake_now = 1000;
    struct step {
        std::time_t at;
        const char *line;
        bool printed;
    } steps[] = {
        {1000, "web1 Killed 1", true},      {1001, "web1 reaped 1", false},
        {1002, "web2 reaped 2", true},      {1003, "web1 other", true},
        {1004, "web1 other", true},         {1005, "web1 recovered", true},
        {1006, "web1 reaped 3", true},      {1006 + TEXT_FIRST_HOLD_SECONDS - 1, "web1 Killed 4", false},
        {1006 + TEXT_FIRST_HOLD_SECONDS, "web1 Killed 5", true},
    };
    for (const step &st : steps) {
        fake_now = st.at;
        testing::internal::CaptureStdout();
        line_function_request(st.line);
        fflush(stdout);
        EXPECT_EQ(!testing::internal::GetCapturedStdout().empty(), st.printed) << st.line;
    }
    match_clock = wall;
}

TEST(line_function_request, one_line_per_match)
{
    load({"A FIRST 0 one", "X SECOND 0 two"});
    testing::internal::CaptureStdout();
    for (const char *l : {"two one", "nothing", "", "two", "on"})
        line_function_request(l);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "RAISE-ALERT FIRST \"two one\" \nCANCEL-ALERT SECOND \"two\" \n");
}

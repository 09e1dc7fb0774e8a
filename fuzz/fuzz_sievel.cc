// sievel: a parameter file, then log lines, split at the first "\n%%\n" of the input. The
// file is loaded as sievel loads it, the lines are read in sievel's pieces, and for every
// piece (and for the whole rest of the input as one line) the fast matcher must name the same
// entry as the plain left-to-right search, and an action line must fit its buffer whole.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "filter/match.h"
#include "filter/params.h"
#include "fuzz/fuzz_util.h"

static void
check_line(std::string_view line)
{
    int fast = find_first_entry(line);
    int plain = find_first_entry_plain(line);
    if (fast != plain) {
        fprintf(stderr, "fast matcher %d, plain search %d\n", fast, plain);
        FUZZ_CHECK(fast == plain);
    }
    if (fast < 0 || line.size() > LINE_PIECE_MAX)
        return;
    char out[ACTION_LINE_MAX + 1];
    std::size_t n = format_action_line(line, fast, out);
    FUZZ_CHECK(n < ACTION_LINE_MAX);
    FUZZ_CHECK(out[n - 1] == '\n');
}

extern "C" int
LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_enter_private_dir();
    // The loader reports syntax errors on standard output: keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view in(reinterpret_cast<const char *>(data), size);
    std::size_t sep = in.find("\n%%\n");
    std::string_view params = in.substr(0, sep);
    std::string_view lines = sep == std::string_view::npos ? std::string_view() : in.substr(sep + 4);

    params_reset();
    if (!fuzz_write_file("params", params.data(), params.size()) ||
        !fuzz_write_file("lines", lines.data(), lines.size()))
        return 0;
    // A file with an error still leaves the entries before it: the matcher must be right for
    // any table, so it is checked either way.
    load_parameter_file("params");
    FUZZ_CHECK(message_table.entry_count >= 0 && message_table.entry_count <= MAX_ENTRIES);
    for (int i = 0; i < message_table.entry_count; ++i) {
        const parameter_entry &e = message_table.entry[i];
        FUZZ_CHECK(e.match_length >= 1 && e.match_length <= static_cast<int>(LEN_MATCH_TEXT));
        FUZZ_CHECK(strlen(e.match_text) == static_cast<std::size_t>(e.match_length));
        FUZZ_CHECK(e.data_start_offset >= 0);
    }
    matcher_build();

    static piece_reader r;
    r.fd = open("lines", O_RDONLY);
    r.at_end = false;
    r.pos = r.len = 0;
    if (r.fd < 0)
        return 0;
    std::string_view piece;
    int pieces = 0;
    while (read_piece(r, piece) > 0) {
        FUZZ_CHECK(piece.size() <= LINE_PIECE_MAX);
        FUZZ_CHECK(memchr(piece.data(), '\n', piece.size()) == nullptr);
        check_line(piece);
        FUZZ_CHECK(++pieces <= static_cast<int>(lines.size()) + 1);
    }
    close(r.fd);
    check_line(lines);
    return 0;
}

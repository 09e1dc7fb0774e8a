// sievel's parameter table, the parameter file loader and the 255-character line reader.
#ifndef FILTER_PARAMS_H
#define FILTER_PARAMS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

inline constexpr int MAX_ENTRIES = 50;
inline constexpr std::size_t LEN_ALERT_KEY = 14;     // longer key words are cut
inline constexpr std::size_t LEN_MATCH_TEXT = 50;    // longer match texts are cut
inline constexpr std::size_t LEN_REPORTINGHOST = 200;
inline constexpr std::size_t LINE_PIECE_MAX = 255;   // one read takes at most this many bytes
inline constexpr std::size_t LINE_BUFFER_SIZE = 257;
inline constexpr int USEHOSTNAME_MAX = 15;
static_assert(LINE_PIECE_MAX + 1 < LINE_BUFFER_SIZE);

struct parameter_entry {
    char action_code;                       // 'A', 'X' or '1' to '5'
    char alert_key[LEN_ALERT_KEY + 1];
    std::int32_t data_start_offset;         // never negative
    std::int32_t match_length;              // 1 to 50
    char match_text[LEN_MATCH_TEXT + 1];
};

struct parameter_table {
    std::int32_t entry_count;               // 0 to 50; entries past it are unused
    parameter_entry entry[MAX_ENTRIES];
};

// What a KEY line sets for every entry with that key: "KEY name severity=warning text=first".
// Old parameter files hold no such line (it was an error), so their entries keep their meaning.
inline constexpr int MAX_KEY_RULES = MAX_ENTRIES;
struct key_rule {
    char alert_key[LEN_ALERT_KEY + 1];
    const char *severity;       // "critical", "warning", "info", or nullptr: sievel-act's -s
    bool text_first;            // repeats of a raised alert are held back: its first text stays
};
struct key_rule_table {
    int count;
    key_rule rule[MAX_KEY_RULES];
};

extern parameter_table message_table;
extern key_rule_table key_rules;
extern std::int32_t usehostname_fieldnumber;   // 0 until a USEHOSTNAME line sets it
extern char reportinghost[LEN_REPORTINGHOST + 1];
extern char line_buffer[LINE_BUFFER_SIZE];
extern int crlf_line_count;     // parameter lines whose carriage return the loader removed

// Empties the table, the key rules and reportinghost and clears USEHOSTNAME, as at the start
// of a run.
void params_reset();

// The KEY line's rule for entry i's key, or nullptr when there is none.
const key_rule *entry_rule(int i);

// Parses one parameter file line (newline removed). 1 when it was accepted (an entry, a
// comment or a USEHOSTNAME line), 0 when it was rejected; the reason is then on stdout.
int store_line(const char *line);

// Reads a parameter file into message_table, each line's newline removed and a carriage
// return before it too (files written with CRLF line ends), counted in crlf_line_count.
// 0 ok; 1 after reporting an open or read error on stderr or a syntax error on stdout.
int load_parameter_file(const char *name);

// Reads a descriptor in the pieces a line is handled in: up to and including the first newline
// but never more than 255 bytes, so a longer line comes in several pieces.
struct piece_reader {
    int fd = -1;
    FILE *flush_before_read = nullptr;  // flushed before each read, so that its output never
                                        // waits in a buffer while we wait for input
    bool at_end = false;        // end of file seen; what is buffered is still handed out
    bool crlf = false;          // the last piece ended with a carriage return and a newline
    std::size_t pos = 0;        // first byte not yet handed out
    std::size_t len = 0;        // bytes in buf
    char buf[1 << 16];
};

// Next piece, its newline removed and cut at a zero byte the way a C string ends there.
// 1 with piece set (it points into r.buf until the next call), 0 at the end of the input,
// -1 on a read error (errno tells which). A last piece without newline is handed out too.
int read_piece(piece_reader &r, std::string_view &piece);

#endif // FILTER_PARAMS_H

// The filter over alerts that tarrowc and tarrow-web share: parsing and matching.
#include "common/filter_expr.h"

#include <cctype>
#include <cstring>
#include <iterator>

#include "common/record.h"
#include "common/text.h"

// Longer patterns are refused: the regular expressions run on every alert of every request.
static constexpr std::size_t PATTERN_MAX = 256;
// Matched in time polynomial in the text (libstdc++'s automaton, which refuses back
// references), so that no pattern such as (a+)+$ holds a server up.
#ifdef __GLIBCXX__
static constexpr auto REGEX_FLAGS = std::regex::ECMAScript | std::regex::icase |
                                    std::regex::nosubs | std::regex_constants::__polynomial;
#else
static constexpr auto REGEX_FLAGS = std::regex::ECMAScript | std::regex::icase |
                                    std::regex::nosubs;
#endif

// libstdc++ reads the numbers of a pattern (a back reference after a backslash, a count between
// '{' and '}') into a long without a bound: a longer run of digits there is refused first.
static constexpr std::size_t PATTERN_NUMBER_DIGITS = 5;

static bool
pattern_numbers_short(std::string_view re)
{
    auto digit = [re](std::size_t i) { return i < re.size() && re[i] >= '0' && re[i] <= '9'; };
    bool in_count = false;     // after '{', where digits and ',' make a repetition count
    for (std::size_t i = 0; i < re.size(); i++) {
        std::size_t run = 0;
        if (re[i] == '\\') {
            while (digit(i + 1 + run))
                run++;
            i += run > 0 ? run : 1;     // past the digits, or the escaped character
            in_count = false;
        } else if (in_count && digit(i)) {
            while (digit(i + run))
                run++;
            i += run - 1;
        } else {
            in_count = re[i] == '{' || (in_count && re[i] == ',');
        }
        if (run > PATTERN_NUMBER_DIGITS)
            return false;
    }
    return true;
}

static std::string
lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

static bool
blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Reads a word or value at pos: quoted, or up to the next blank. False with error when a
// quote is not closed or is followed by more than a blank.
static bool
read_value(std::string_view text, std::size_t &pos, std::string &out, std::string &error)
{
    out.clear();
    if (pos < text.size() && text[pos] == '"') {
        std::size_t open = pos++;
        for (;;) {
            if (pos >= text.size()) {
                error = "no closing quote for the one at column " + std::to_string(open + 1);
                return false;
            }
            char c = text[pos++];
            if (c == '"')
                break;
            if (c == '\\' && pos < text.size() && (text[pos] == '"' || text[pos] == '\\'))
                c = text[pos++];
            out += c;
        }
        if (pos < text.size() && !blank(text[pos])) {
            error = "a blank must follow the closing quote at column " + std::to_string(pos);
            return false;
        }
        return true;
    }
    while (pos < text.size() && !blank(text[pos]))
        out += text[pos++];
    return true;
}

static std::string
field_list()
{
    std::string s;
    for (const char *n : FILTER_FIELD_NAMES)
        s += (s.empty() ? "" : ", ") + std::string(n);
    return s;
}

// The operator at pos, or none; its length in len.
static filter_op
op_at(std::string_view text, std::size_t pos, std::size_t &len)
{
    std::string_view rest = text.substr(pos);
    len = 2;
    if (rest.substr(0, 2) == "=~")
        return filter_op::match;
    if (rest.substr(0, 2) == "!~")
        return filter_op::no_match;
    if (rest.substr(0, 2) == "!=")
        return filter_op::ne;
    len = 1;
    if (rest.substr(0, 1) == "=")
        return filter_op::eq;
    len = 0;
    return filter_op::word;
}

static bool
parse_terms(std::string_view text, filter_expr &out, std::string &error)
{
    std::size_t pos = 0;
    for (;;) {
        while (pos < text.size() && blank(text[pos]))
            pos++;
        if (pos >= text.size())
            return true;
        std::size_t start = pos, name_end = pos;
        while (name_end < text.size() &&
               (std::isalpha(static_cast<unsigned char>(text[name_end])) || text[name_end] == '_'))
            name_end++;
        std::size_t len = 0;
        filter_op op = op_at(text, name_end, len);
        filter_term t;
        if (op == filter_op::word) {
            if (!read_value(text, pos, t.value, error))
                return false;
            t.value = lower(t.value);
            out.terms.push_back(std::move(t));
            continue;
        }
        std::string name = lower(text.substr(start, name_end - start));
        std::string shown(text.substr(start, name_end - start + len));
        if (name.empty()) {
            error = "a field name must come before '" + shown + "' at column " +
                    std::to_string(start + 1) + " (fields: " + field_list() + ")";
            return false;
        }
        for (std::size_t i = 0; i < std::size(FILTER_FIELD_NAMES); i++)
            if (name == FILTER_FIELD_NAMES[i])
                t.field = static_cast<int>(i);
        if (t.field < 0) {
            error = "unknown field '" + name + "' at column " + std::to_string(start + 1) +
                    " (fields: " + field_list() + ")";
            return false;
        }
        pos = name_end + len;
        if (!read_value(text, pos, t.value, error))
            return false;
        t.op = op;
        if (op == filter_op::eq || op == filter_op::ne) {
            t.value = lower(t.value);
        } else {
            if (t.value.size() > PATTERN_MAX) {
                error = "the regular expression after '" + shown + "' is longer than " +
                        std::to_string(PATTERN_MAX) + " characters";
                return false;
            }
            if (!pattern_numbers_short(t.value)) {
                error = "a number in the regular expression after '" + shown +
                        "' is longer than " + std::to_string(PATTERN_NUMBER_DIGITS) + " digits";
                return false;
            }
            try {
                t.re = std::make_shared<std::regex>(t.value, REGEX_FLAGS);
            } catch (const std::regex_error &e) {
                error = "bad regular expression '" + t.value + "' after '" + shown + "': " +
                        e.what();
                return false;
            }
        }
        out.terms.push_back(std::move(t));
    }
}

bool
filter_parse(std::string_view text, filter_expr &out, std::string &error)
{
    out.terms.clear();
    bool ok = false;
    try {
        ok = parse_terms(text, out, error);
    } catch (const std::exception &e) {
        error = std::string("cannot read the filter: ") + e.what();
        ok = false;
    }
    if (!ok)
        out.terms.clear();
    return ok;
}

static const std::string &
field_of(const filter_fields &a, int i)
{
    const std::string *fields[] = {&a.host, &a.key, &a.severity, &a.state,
                                   &a.place, &a.acked, &a.by, &a.text};
    return *fields[i];
}

static bool
term_holds(const filter_term &t, const filter_fields &a)
{
    if (t.op == filter_op::word) {
        for (std::size_t i = 0; i < std::size(FILTER_FIELD_NAMES); i++)
            if (lower(field_of(a, static_cast<int>(i))).find(t.value) != std::string::npos)
                return true;
        return false;
    }
    const std::string &v = field_of(a, t.field);
    switch (t.op) {
    case filter_op::eq:
        return lower(v) == t.value;
    case filter_op::ne:
        return lower(v) != t.value;
    default:
        break;
    }
    bool found = false;
    try {
        found = std::regex_search(v, *t.re);
    } catch (const std::exception &) {
        // Too complex for this text: it is not found, so a matcher fails and its negation holds.
        found = false;
    }
    return t.op == filter_op::match ? found : !found;
}

bool
filter_match(const filter_expr &f, const filter_fields &a)
{
    for (const auto &t : f.terms)
        if (!term_holds(t, a))
            return false;
    return true;
}

filter_fields
filter_fields_of(const console_alert &a)
{
    filter_fields f;
    f.host = console_visible(console_trim(a.hostname), true);
    f.key = console_visible(console_trim(a.key), true);
    bool acked = a.type == MSG_CLEAR;
    const char *severity = alert_state_word(acked ? std::string_view(a.ack.severity)
                                                   : std::string_view(a.type));
    f.severity = severity != nullptr && std::strcmp(severity, "acked") != 0 ? severity : "";
    const char *state = alert_state_word(a.type);
    f.state = state != nullptr ? state : console_visible(a.type, true);
    f.place = a.waiting ? "waiting" : "board";
    f.acked = acked ? "yes" : "no";
    f.by = acked && a.ack.present ? console_visible(a.ack.by, true) : "";
    f.text = console_visible(a.text, true);
    return f;
}

// A filter over alerts, shared by tarrowc and tarrow-web: free words plus matchers
// `field=value`, `field!=value`, `field=~regex` and `field!~regex` over host, key, severity,
// state, place, acked, by and text, all of which must hold. A value or word may be put in
// double quotes to hold blanks ("disk full"); \" and \\ stand for themselves inside them.
// Words and values compare without regard to case; a free word is found in any field.
#ifndef COMMON_FILTER_EXPR_H
#define COMMON_FILTER_EXPR_H

#include <memory>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "common/console_client.h"

// What a filter sees of an alert, each field as shown to people.
struct filter_fields {
    std::string host, key;
    std::string severity;   // critical, warning, info; empty when not known
    std::string state;      // critical, warning, info, acked, or the code itself
    std::string place;      // board or waiting
    std::string acked;      // yes or no
    std::string by;         // who acknowledged it; empty when nobody
    std::string text;
};

enum class filter_op { word, eq, ne, match, no_match };

struct filter_term {
    filter_op op = filter_op::word;
    int field = -1;                     // index into FILTER_FIELD_NAMES; -1 for a word
    std::string value;                  // lower case for word, eq and ne
    std::shared_ptr<std::regex> re;     // for match and no_match
};

struct filter_expr {
    std::vector<filter_term> terms;     // none: every alert matches
};

// The field names in the order of filter_term::field.
inline constexpr const char *FILTER_FIELD_NAMES[] = {"host", "key", "severity", "state",
                                                     "place", "acked", "by", "text"};

// Reads text into out. True when it is a filter; false with error saying what is wrong and
// where (out is then empty). Throws nothing.
bool filter_parse(std::string_view text, filter_expr &out, std::string &error);
// True when the alert's fields satisfy every term. Throws nothing: a regular expression too
// costly to run on a text does not match it.
bool filter_match(const filter_expr &f, const filter_fields &a);
// The fields of an alert of the board, as the listing shows them.
filter_fields filter_fields_of(const console_alert &a);

#endif // COMMON_FILTER_EXPR_H

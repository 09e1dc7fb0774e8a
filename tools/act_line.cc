// sievel-act: the action lines sievel prints, taken apart, and the text of the records made
// of them.
#include "tools/act.h"

#include <cstring>

static bool
starts_with(std::string_view s, std::string_view p)
{
    return s.substr(0, p.size()) == p;
}

// TEXT may hold double quotes and blanks and HOST never holds a blank, so the host is what
// follows the last '" ' up to a blank, and the text what lies between the first '"' and that
// point. A severity after the host is the entry's own.
action_parse
action_line_parse(std::string_view line, action_line &out)
{
    out = action_line{};
    std::string_view action = line.substr(0, line.find(' '));
    bool userfunc = action.size() == 10 && starts_with(action, "USERFUNC-") &&
                    action[9] >= '1' && action[9] <= '5';
    if (action != "RAISE-ALERT" && action != "CANCEL-ALERT" && !userfunc)
        return action_parse::foreign;
    std::size_t sp = line.find(' ');
    std::size_t quote_end = std::string_view::npos;
    std::string_view key, rest;
    if (sp != std::string_view::npos) {
        rest = line.substr(sp + 1);
        std::size_t ksp = rest.find(' ');
        key = rest.substr(0, ksp);
        rest = ksp == std::string_view::npos ? std::string_view{} : rest.substr(ksp + 1);
        quote_end = rest.rfind("\" ");
    }
    if (key.empty() || rest.empty() || rest[0] != '"' || quote_end == std::string_view::npos ||
        quote_end == 0)
        return action_parse::malformed;
    std::string_view text = rest.substr(1, quote_end - 1);
    std::string_view host = rest.substr(quote_end + 2), severity;
    if (std::size_t blank = host.find(' '); blank != std::string_view::npos) {
        severity = host.substr(blank + 1);
        host = host.substr(0, blank);
    }
    // A log with CRLF line ends leaves a carriage return at the end of the text.
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    out.action = action;
    out.key = key;
    out.text = text;
    out.host = host;
    out.severity = severity;
    return action_parse::ok;
}

// Copies at most width bytes of text into dest; returns the number copied.
static std::size_t
copy_text(char *dest, std::string_view text, std::size_t width)
{
    std::size_t n = text.size() < width ? text.size() : width;
    memcpy(dest, text.data(), n);
    return n;
}

std::size_t
record_text(char *dest, std::string_view text, std::string_view host)
{
    // A zero byte in the text ends it, as the board reads it.
    text = text.substr(0, strnlen(text.data(), text.size()));
    if (!host.empty() && text.size() > host.size() && text.substr(0, host.size()) == host &&
        text[host.size()] == ' ') {
        text.remove_prefix(host.size());
        while (!text.empty() && text[0] == ' ')
            text.remove_prefix(1);
    }
    if (text.size() <= LEN_MSGTEXT)
        return copy_text(dest, text, LEN_MSGTEXT);
    static constexpr std::string_view ELLIPSIS = "...";
    std::size_t room = LEN_MSGTEXT - ELLIPSIS.size();
    std::size_t cut = text.substr(0, room + 1).rfind(' ');
    if (cut == std::string_view::npos || cut == 0) {
        // One long word: cut it, but not inside a UTF-8 sequence.
        cut = room;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
    }
    while (cut > 0 && text[cut - 1] == ' ')
        --cut;
    std::size_t n = copy_text(dest, text.substr(0, cut), cut);
    return n + copy_text(dest + n, ELLIPSIS, ELLIPSIS.size());
}

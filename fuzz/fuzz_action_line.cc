// sievel-act's reading of sievel's action lines: any bytes, one line per newline. A line is
// an action, not one at all, or malformed; an action's parts lie in the line in their order,
// the host holds no blank, and the text that goes into a record fits its field, is the text
// itself when it fits, and otherwise a cut of it ending in "..." that splits no UTF-8
// sequence of the text.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_util.h"
#include "tools/act.h"

static bool
inside(std::string_view v, std::string_view line)
{
    return v.data() >= line.data() && v.data() + v.size() <= line.data() + line.size();
}

static void
check_text(std::string_view text, std::string_view host)
{
    char out[LEN_MSGTEXT + 16];
    memset(out, 0x55, sizeof out);
    std::size_t n = record_text(out, text, host);
    FUZZ_CHECK(n <= LEN_MSGTEXT);
    for (std::size_t i = n; i < sizeof out; i++)
        FUZZ_CHECK(out[i] == 0x55);
    std::string_view got(out, n);
    // What the board reads: up to a zero byte, without the host it begins with.
    std::string_view t = text.substr(0, strnlen(text.data(), text.size()));
    std::string_view body = t;
    if (!host.empty() && t.size() > host.size() && t.substr(0, host.size()) == host &&
        t[host.size()] == ' ') {
        body = t.substr(host.size());
        while (!body.empty() && body[0] == ' ')
            body.remove_prefix(1);
    }
    if (body.size() <= LEN_MSGTEXT) {
        FUZZ_CHECK(got == body);
        return;
    }
    FUZZ_CHECK(got.size() >= 3 && got.substr(got.size() - 3) == "...");
    std::string_view kept = got.substr(0, got.size() - 3);
    FUZZ_CHECK(body.substr(0, kept.size()) == kept);
    FUZZ_CHECK(kept.empty() || kept.back() != ' ');
    // The cut is never inside a UTF-8 sequence: the byte after it starts a character.
    if (!kept.empty())
        FUZZ_CHECK((static_cast<unsigned char>(body[kept.size()]) & 0xC0) != 0x80);
}

static void
check_line(std::string_view line)
{
    action_line a;
    action_parse r = action_line_parse(line, a);
    if (r != action_parse::ok) {
        FUZZ_CHECK(a.action.empty() && a.key.empty() && a.text.empty() && a.host.empty());
        return;
    }
    FUZZ_CHECK(a.action == "RAISE-ALERT" || a.action == "CANCEL-ALERT" ||
               (a.action.size() == 10 && a.action.substr(0, 9) == "USERFUNC-" &&
                a.action[9] >= '1' && a.action[9] <= '5'));
    FUZZ_CHECK(line.substr(0, a.action.size() + 1) == std::string(a.action) + " ");
    FUZZ_CHECK(!a.key.empty() && a.key.find(' ') == std::string_view::npos);
    FUZZ_CHECK(a.host.find(' ') == std::string_view::npos);
    for (std::string_view v : {a.key, a.text, a.host, a.severity})
        FUZZ_CHECK(v.empty() || inside(v, line));
    // In the order of the line: the key, the quoted text, the host, the severity.
    FUZZ_CHECK(a.text.data() > a.key.data() + a.key.size());
    FUZZ_CHECK(a.text.data()[-1] == '"');
    FUZZ_CHECK(a.host.data() >= a.text.data() + a.text.size() + 2);
    FUZZ_CHECK(a.severity.empty() || a.severity.data() == a.host.data() + a.host.size() + 1);
    check_text(a.text, a.host);
}

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view in(reinterpret_cast<const char *>(data), size);
    for (std::size_t at = 0; at <= in.size();) {
        std::size_t nl = in.find('\n', at);
        std::size_t end = nl == std::string_view::npos ? in.size() : nl;
        check_line(in.substr(at, end - at));
        at = end + 1;
    }
    // The whole input as one text, with the first word as the host.
    check_text(in, in.substr(0, in.find(' ')));
    return 0;
}

// tarrow-web: the JSON bodies of the requests that change something.
#include "web/request.h"

#include <nlohmann/json.hpp>

#include "common/record.h"

// The string member name of j, or nullptr when it is absent or no string.
static const std::string *
string_member(const nlohmann::json &j, const char *name)
{
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get_ptr<const std::string *>() : nullptr;
}

bool
act_request_parse(std::string_view body, act_request &out, std::string &error)
{
    out = act_request{};
    nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    const std::string *host = j.is_object() ? string_member(j, "host") : nullptr;
    const std::string *key = j.is_object() ? string_member(j, "key") : nullptr;
    if (host == nullptr || key == nullptr) {
        error = "expected {\"host\": ..., \"key\": ...}";
        return false;
    }
    out.host = *host;
    out.key = *key;
    if (const std::string *note = string_member(j, "note"))
        out.note = note->substr(0, LEN_ACK_NOTE);
    if (auto it = j.find("until"); it != j.end() && it->is_number_integer())
        out.until = it->get<long long>();
    return true;
}

bool
login_request_parse(std::string_view body, std::string &name, std::string &token)
{
    nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
    const std::string *n = j.is_object() ? string_member(j, "name") : nullptr;
    const std::string *t = j.is_object() ? string_member(j, "token") : nullptr;
    if (n == nullptr || t == nullptr)
        return false;
    name = *n;
    token = *t;
    return true;
}

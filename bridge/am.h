// Requests to Alertmanager's HTTP API, through libcurl.
#ifndef BRIDGE_AM_H
#define BRIDGE_AM_H

#include <cstddef>
#include <string>

// How to reach an Alertmanager behind TLS or an authenticating proxy.
struct am_access {
    std::string ca_file;        // CA certificates for HTTPS; empty: the system's
    std::string bearer_token;   // sent as "Authorization: Bearer"; empty: none
    std::string basic_auth;     // "user:password"; empty: none
};

inline constexpr long AM_TIMEOUT_MS = 5000;
// Longer replies are refused: a listing of alerts or silences is far smaller.
inline constexpr std::size_t AM_REPLY_MAX = 8u << 20;

// Sets libcurl up; false when it cannot be.
bool am_init();
// Releases what am_init and the requests hold.
void am_done();
// The text percent-encoded for a URL path: every byte but letters, digits and "-._~".
std::string am_escape(const std::string &s);
// Sends method (GET, POST or DELETE) to base_url + path, with body as JSON when not empty, and
// waits at most AM_TIMEOUT_MS. Returns 0 on a 2xx answer with its body in reply, or -1 with
// the reason in error (what the server said shown with stand-ins for control bytes).
int am_request(const am_access &access, const std::string &method, const std::string &base_url,
               const std::string &path, const std::string &body, std::string &reply,
               std::string &error);

#endif // BRIDGE_AM_H

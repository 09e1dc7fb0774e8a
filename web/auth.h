// tarrow-web: operators, their sessions and the checks every request that changes the board
// passes: a signed-in session, its CSRF token and a same-origin request.
#ifndef WEB_AUTH_H
#define WEB_AUTH_H

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// One line of a users file: name:sha256-of-token (64 hex digits).
struct web_user {
    std::string name;
    std::array<unsigned char, 32> digest{};
};

// True for a user name: 1 to 64 letters, digits, '.', '_', '-' or '@'.
bool user_name_ok(std::string_view name);
// Reads the users of text: one name:hex line each; blank lines and lines starting with '#'
// are skipped. 0 ok, -1 with error naming the line.
int users_parse(std::string_view text, std::vector<web_user> &users, std::string &error);
// Reads the users file at path, which must be a regular file that others cannot read.
// 0 ok, -1 with error saying why.
int users_load(const std::string &path, std::vector<web_user> &users, std::string &error);
// The SHA-256 of data.
std::array<unsigned char, 32> sha256(std::string_view data);
// The user whose name is name and whose token hashes to the stored digest; nullptr when
// none. Digests are compared in constant time.
const web_user *users_check(const std::vector<web_user> &users, std::string_view name,
                            std::string_view token);

// A fresh random token of 32 bytes as 64 hex digits; empty when the system has no randomness.
std::string random_token();
// True when the Origin header names the origin that the Host header and the scheme give.
bool same_origin(std::string_view origin, std::string_view host, bool tls);
// The value of the cookie name in a Cookie header; empty when it is absent.
std::string cookie_value(std::string_view header, std::string_view name);
// True when a and b are equal, in a time that does not depend on where they differ.
bool equal_secret(std::string_view a, std::string_view b);

struct web_session {
    std::string name;       // the operator
    std::string csrf;       // sent with every POST
    long long expires = 0;  // seconds
    std::array<unsigned char, 32> digest{};  // of the token it was made with
};
// Sessions by their cookie value; at most SESSIONS_PER_USER for each user, whose oldest goes
// first.
inline constexpr std::size_t SESSIONS_PER_USER = 16;
inline constexpr long long SESSION_SECONDS = 12 * 3600;
struct session_table {
    std::map<std::string, web_session> by_id;
};
// A new session for u; returns its id (empty when no random token could be had).
std::string session_create(session_table &t, const web_user &u, long long now);
// Ends the sessions of users no longer in users or whose token changed; returns how many.
std::size_t sessions_prune(session_table &t, const std::vector<web_user> &users);
// The live session of id, or nullptr; drops it when it has expired.
const web_session *session_find(session_table &t, const std::string &id, long long now);
void session_drop(session_table &t, const std::string &id);

// Failed sign-ins by client address: a bucket of THROTTLE_BURST tries that refills at
// THROTTLE_RATE a second. At most THROTTLE_ADDRESSES addresses are remembered.
inline constexpr int THROTTLE_BURST = 10;
inline constexpr double THROTTLE_RATE = 5.0;
inline constexpr std::size_t THROTTLE_ADDRESSES = 4096;
struct signin_throttle {
    struct bucket {
        double tokens = 0;
        long long last_ms = 0;
    };
    std::map<std::string, bucket> by_addr;
};
// True when a sign-in from addr may be tried now.
bool throttle_allows(signin_throttle &t, const std::string &addr, long long now_ms);
// Counts a failed sign-in from addr.
void throttle_failed(signin_throttle &t, const std::string &addr, long long now_ms);

// True when the host of a Host header value (its port left aside, any case) is one of names.
bool host_allowed(std::string_view host, const std::vector<std::string> &names);

// An address range, ADDRESS[/BITS], IPv4 or IPv6.
struct net_range {
    int family = 0;                     // AF_INET or AF_INET6
    std::array<unsigned char, 16> addr{};
    int bits = 0;
};
// Reads ADDRESS[/BITS] (a whole address without BITS); false when it is not one.
bool parse_range(std::string_view text, net_range &out);
// True when the address ip (as text; an IPv4-mapped IPv6 address counts as IPv4) is in one
// of ranges.
bool range_contains(const std::vector<net_range> &ranges, std::string_view ip);

// 'sha256-...' of each inline <tag>...</tag> of the page, for its Content-Security-Policy.
std::string inline_hashes(std::string_view page, std::string_view tag);

#endif // WEB_AUTH_H

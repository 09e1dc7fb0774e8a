// tarrow-web: operators, sessions, CSRF tokens and the same-origin check.
#include "web/auth.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <iterator>

#include <openssl/evp.h>

static int
hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool
user_name_ok(std::string_view name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == '@'))
            return false;
    return true;
}

int
users_parse(std::string_view text, std::vector<web_user> &users, std::string &error)
{
    users.clear();
    int lineno = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        std::string_view line = text.substr(at, nl == text.npos ? text.npos : nl - at);
        at = nl == text.npos ? text.size() : nl + 1;
        lineno++;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line[0] == '#')
            continue;
        std::string where = "line " + std::to_string(lineno) + ": ";
        std::size_t colon = line.find(':');
        std::string_view name = line.substr(0, colon);
        if (colon == line.npos || !user_name_ok(name)) {
            error = where + "expected name:sha256-of-token, the name of letters, digits, "
                            "'.', '_', '-' or '@'";
            return -1;
        }
        std::string_view hex = line.substr(colon + 1);
        web_user u;
        u.name = std::string(name);
        bool ok = hex.size() == 64;
        for (std::size_t i = 0; ok && i < 32; i++) {
            int hi = hex_value(hex[2 * i]), lo = hex_value(hex[2 * i + 1]);
            ok = hi >= 0 && lo >= 0;
            u.digest[i] = static_cast<unsigned char>(hi * 16 + lo);
        }
        if (!ok) {
            error = where + "the token's SHA-256 must be 64 hex digits";
            return -1;
        }
        for (const auto &other : users)
            if (other.name == u.name) {
                error = where + "user '" + u.name + "' is given twice";
                return -1;
            }
        users.push_back(u);
    }
    if (users.empty()) {
        error = "no users in it";
        return -1;
    }
    return 0;
}

int
users_load(const std::string &path, std::vector<web_user> &users, std::string &error)
{
    // Without waiting: a FIFO or a device named by mistake must not hang the start.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        int saved_errno = errno;
        error = "cannot open " + path + ": " + strerror(saved_errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = path + " is not a regular file";
        return -1;
    }
    if (st.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) {
        close(fd);
        error = path + " can be read or written by its group or others: chmod go-rw " + path;
        return -1;
    }
    std::string text;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
            if (text.size() > (1 << 20)) {
                close(fd);
                error = path + " is larger than 1 MB";
                return -1;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int saved_errno = errno;
            close(fd);
            error = "cannot read " + path + ": " + strerror(saved_errno);
            return -1;
        }
        break;
    }
    close(fd);
    if (users_parse(text, users, error) != 0) {
        error = path + ": " + error;
        return -1;
    }
    return 0;
}

std::array<unsigned char, 32>
sha256(std::string_view data)
{
    std::array<unsigned char, 32> out{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

bool
equal_secret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); i++)
        diff = static_cast<unsigned char>(diff | (a[i] ^ b[i]));
    return diff == 0;
}

const web_user *
users_check(const std::vector<web_user> &users, std::string_view name, std::string_view token)
{
    if (token.empty())
        return nullptr;
    std::array<unsigned char, 32> d = sha256(token);
    std::string_view given(reinterpret_cast<const char *>(d.data()), d.size());
    for (const auto &u : users) {
        std::string_view stored(reinterpret_cast<const char *>(u.digest.data()), u.digest.size());
        if (u.name == name && equal_secret(given, stored))
            return &u;
    }
    return nullptr;
}

std::string
random_token()
{
    unsigned char b[32];
    std::size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        got += static_cast<std::size_t>(n);
    }
    static const char HEX[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += HEX[c >> 4];
        s += HEX[c & 0xf];
    }
    return s;
}

bool
same_origin(std::string_view origin, std::string_view host, bool tls)
{
    std::string_view scheme = tls ? "https://" : "http://";
    if (host.empty() || origin.substr(0, scheme.size()) != scheme)
        return false;
    return origin.substr(scheme.size()) == host;
}

std::string
cookie_value(std::string_view header, std::string_view name)
{
    std::size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';'))
            at++;
        std::size_t end = header.find(';', at);
        std::string_view pair = header.substr(at, end == header.npos ? header.npos : end - at);
        std::size_t eq = pair.find('=');
        if (eq != pair.npos && pair.substr(0, eq) == name)
            return std::string(pair.substr(eq + 1));
        if (end == header.npos)
            break;
        at = end + 1;
    }
    return "";
}

std::string
session_create(session_table &t, const web_user &u, long long now)
{
    std::string id = random_token(), csrf = random_token();
    if (id.empty() || csrf.empty())
        return "";
    // Expired sessions go first; then, past the user's share, the user's own oldest: a
    // user's sign-ins never end another user's sessions.
    std::size_t mine = 0;
    auto oldest = t.by_id.end();
    for (auto it = t.by_id.begin(); it != t.by_id.end();) {
        if (it->second.expires <= now) {
            it = t.by_id.erase(it);
            continue;
        }
        if (it->second.name == u.name) {
            mine++;
            if (oldest == t.by_id.end() || it->second.expires < oldest->second.expires)
                oldest = it;
        }
        ++it;
    }
    if (mine >= SESSIONS_PER_USER)
        t.by_id.erase(oldest);
    t.by_id[id] = web_session{u.name, csrf, now + SESSION_SECONDS, u.digest};
    return id;
}

std::size_t
sessions_prune(session_table &t, const std::vector<web_user> &users)
{
    std::size_t n = 0;
    for (auto it = t.by_id.begin(); it != t.by_id.end();) {
        bool listed = false;
        for (const auto &u : users)
            listed = listed || (u.name == it->second.name && u.digest == it->second.digest);
        if (listed) {
            ++it;
        } else {
            it = t.by_id.erase(it);
            n++;
        }
    }
    return n;
}

bool
throttle_allows(signin_throttle &t, const std::string &addr, long long now_ms)
{
    auto it = t.by_addr.find(addr);
    if (it == t.by_addr.end())
        return true;
    auto &b = it->second;
    double refill = static_cast<double>(now_ms - b.last_ms) * THROTTLE_RATE / 1000.0;
    b.tokens = std::min(static_cast<double>(THROTTLE_BURST), b.tokens + refill);
    b.last_ms = now_ms;
    return b.tokens >= 1.0;
}

void
throttle_failed(signin_throttle &t, const std::string &addr, long long now_ms)
{
    if (t.by_addr.size() >= THROTTLE_ADDRESSES && !t.by_addr.count(addr)) {
        // Addresses whose bucket has filled again are forgotten first.
        for (auto it = t.by_addr.begin(); it != t.by_addr.end();) {
            double tokens = it->second.tokens +
                            static_cast<double>(now_ms - it->second.last_ms) * THROTTLE_RATE / 1000.0;
            it = tokens >= THROTTLE_BURST ? t.by_addr.erase(it) : std::next(it);
        }
        if (t.by_addr.size() >= THROTTLE_ADDRESSES)
            t.by_addr.erase(t.by_addr.begin());
    }
    auto [it, fresh] = t.by_addr.try_emplace(addr);
    auto &b = it->second;
    if (fresh) {
        b.tokens = THROTTLE_BURST;
        b.last_ms = now_ms;
    } else {
        throttle_allows(t, addr, now_ms);
    }
    b.tokens = std::max(0.0, b.tokens - 1.0);
}

// The host part of a Host header: without the port, an IPv6 address without brackets, in
// lower case.
static std::string
host_part(std::string_view host)
{
    std::string_view h = host;
    if (!h.empty() && h[0] == '[') {
        std::size_t close = h.find(']');
        h = close == h.npos ? std::string_view() : h.substr(1, close - 1);
    } else if (std::size_t colon = h.find(':'); colon != h.npos) {
        h = h.substr(0, colon);
    }
    std::string out(h);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (!out.empty() && out.back() == '.')
        out.pop_back();
    return out;
}

bool
host_allowed(std::string_view host, const std::vector<std::string> &names)
{
    std::string h = host_part(host);
    if (h.empty())
        return false;
    for (const auto &n : names)
        if (host_part(n) == h || host_part("[" + n + "]") == h)
            return true;
    return false;
}

const web_session *
session_find(session_table &t, const std::string &id, long long now)
{
    auto it = t.by_id.find(id);
    if (it == t.by_id.end())
        return nullptr;
    if (it->second.expires <= now) {
        t.by_id.erase(it);
        return nullptr;
    }
    return &it->second;
}

void
session_drop(session_table &t, const std::string &id)
{
    t.by_id.erase(id);
}

bool
parse_range(std::string_view text, net_range &out)
{
    std::size_t slash = text.find('/');
    std::string addr(text.substr(0, slash));
    out = net_range{};
    if (inet_pton(AF_INET, addr.c_str(), out.addr.data()) == 1)
        out.family = AF_INET;
    else if (inet_pton(AF_INET6, addr.c_str(), out.addr.data()) == 1)
        out.family = AF_INET6;
    else
        return false;
    int max = out.family == AF_INET ? 32 : 128;
    out.bits = max;
    if (slash == text.npos)
        return true;
    std::string bits(text.substr(slash + 1));
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != bits.npos)
        return false;
    out.bits = std::stoi(bits);
    return out.bits <= max;
}

bool
range_contains(const std::vector<net_range> &ranges, std::string_view ip)
{
    std::string text(ip);
    std::array<unsigned char, 16> v4{}, v6{};
    bool is_v4 = inet_pton(AF_INET, text.c_str(), v4.data()) == 1;
    bool is_v6 = !is_v4 && inet_pton(AF_INET6, text.c_str(), v6.data()) == 1;
    // An IPv4-mapped address (a dual-stack socket's peer) is in an IPv4 range as its IPv4
    // address, and in an IPv6 range, such as one given in the mapped form, as it stands.
    static const unsigned char MAPPED[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (is_v6 && std::equal(MAPPED, MAPPED + 12, v6.begin())) {
        std::copy(v6.begin() + 12, v6.end(), v4.begin());
        is_v4 = true;
    }
    for (const auto &r : ranges) {
        if (!(r.family == AF_INET ? is_v4 : r.family == AF_INET6 && is_v6))
            continue;
        const std::array<unsigned char, 16> &a = r.family == AF_INET ? v4 : v6;
        int whole = r.bits / 8, rest = r.bits % 8;
        bool in = std::equal(a.begin(), a.begin() + whole, r.addr.begin());
        if (in && rest != 0) {
            auto mask = static_cast<unsigned char>(0xff << (8 - rest));
            in = (a[static_cast<std::size_t>(whole)] & mask) ==
                 (r.addr[static_cast<std::size_t>(whole)] & mask);
        }
        if (in)
            return true;
    }
    return false;
}

// 'sha256-...' of each inline <tag>...</tag> of the page, for its Content-Security-Policy.
std::string
inline_hashes(std::string_view page, std::string_view tag)
{
    std::string out;
    std::string open = "<" + std::string(tag) + ">", close = "</" + std::string(tag) + ">";
    std::size_t at = 0;
    while ((at = page.find(open, at)) != page.npos) {
        at += open.size();
        std::size_t end = page.find(close, at);
        if (end == page.npos)
            break;
        std::array<unsigned char, 32> d = sha256(page.substr(at, end - at));
        unsigned char b64[64];
        EVP_EncodeBlock(b64, d.data(), static_cast<int>(d.size()));
        out += " 'sha256-" + std::string(reinterpret_cast<char *>(b64)) + "'";
        at = end;
    }
    return out;
}

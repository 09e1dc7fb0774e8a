// Peers allowed to connect (--allow ADDRESS[/BITS]); everyone when none is given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "server/server.h"

// One allowed network: family, address bytes (IPv4 addresses as IPv4-mapped IPv6) and the
// number of leading bits that must match.
struct allowed_net {
    unsigned char addr[16];
    int bits;
};

static allowed_net allowed[MAX_ALLOWED];
static int allowed_count = 0;

static const unsigned char V4_MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

int
allow_add(const char *spec)
{
    if (allowed_count == MAX_ALLOWED)
        return -1;
    char text[INET6_ADDRSTRLEN + 8];
    std::size_t len = strlen(spec);
    if (len == 0 || len >= sizeof text)
        return -1;
    memcpy(text, spec, len + 1);
    int bits = -1;
    if (char *slash = strchr(text, '/')) {
        *slash = '\0';
        char *end = nullptr;
        long b = strtol(slash + 1, &end, 10);
        if (slash[1] == '\0' || *end != '\0' || b < 0 || b > 128)
            return -1;
        bits = static_cast<int>(b);
    }
    allowed_net &n = allowed[allowed_count];
    struct in_addr v4;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        if (bits > 32)
            return -1;
        memcpy(n.addr, V4_MAPPED_PREFIX, 12);
        memcpy(n.addr + 12, &v4, 4);
        n.bits = 96 + (bits < 0 ? 32 : bits);
    } else if (inet_pton(AF_INET6, text, n.addr) == 1) {
        n.bits = bits < 0 ? 128 : bits;
    } else {
        return -1;
    }
    allowed_count++;
    return 0;
}

void
allow_reset()
{
    allowed_count = 0;
}

// The peer's address as 16 bytes, IPv4 as IPv4-mapped IPv6; false for other families.
static bool
peer_bytes(const struct sockaddr *sa, unsigned char *out)
{
    if (sa->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const struct sockaddr_in *>(sa);
        memcpy(out, V4_MAPPED_PREFIX, 12);
        memcpy(out + 12, &v4->sin_addr, 4);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
        memcpy(out, &v6->sin6_addr, 16);
        return true;
    }
    return false;
}

bool
allow_peer(const struct sockaddr *sa)
{
    if (allowed_count == 0)
        return true;
    unsigned char peer[16];
    if (!peer_bytes(sa, peer))
        return false;
    for (int i = 0; i < allowed_count; i++) {
        const allowed_net &n = allowed[i];
        int whole = n.bits / 8, rest = n.bits % 8;
        if (memcmp(peer, n.addr, static_cast<std::size_t>(whole)) != 0)
            continue;
        if (rest == 0)
            return true;
        unsigned mask = (0xffu << (8 - rest)) & 0xffu;
        if (((peer[whole] ^ n.addr[whole]) & mask) == 0)
            return true;
    }
    return false;
}

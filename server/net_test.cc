// Tests of network addresses: the --allow list as a table of networks and peers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <string>

#include "server/server.h"

namespace {

// A peer address as accept returns it: IPv4 when the text is dotted, else IPv6.
struct sockaddr_storage
peer(const char *text)
{
    struct sockaddr_storage sa {};
    auto *v4 = reinterpret_cast<struct sockaddr_in *>(&sa);
    auto *v6 = reinterpret_cast<struct sockaddr_in6 *>(&sa);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1) << text;
        v6->sin6_family = AF_INET6;
    }
    return sa;
}

TEST(AllowTest, NetworksMatchTheirLeadingBitsOnly)
{
    struct {
        const char *rule;
        const char *peer;
        bool allowed;
    } cases[] = {
        {"10.0.0.0/0", "203.0.113.9", true},    // every IPv4 peer, but no IPv6 one
        {"10.0.0.0/0", "2001:db8::1", false},
        {"192.168.0.0/7", "193.255.1.1", true},
        {"192.168.0.0/7", "194.0.0.1", false},
        {"10.0.0.0/9", "10.127.255.255", true},
        {"10.0.0.0/9", "10.128.0.0", false},
        {"172.16.0.0/12", "172.31.255.255", true},
        {"172.16.0.0/12", "172.32.0.0", false},
        {"172.16.0.0/12", "172.15.255.255", false},
        {"1.2.3.4/31", "1.2.3.5", true},
        {"1.2.3.4/31", "1.2.3.6", false},
        {"1.2.3.4", "1.2.3.4", true},
        {"1.2.3.4", "1.2.3.5", false},
        {"1.2.3.4/008", "1.99.99.99", true},
        {"2001:db8::/127", "2001:db8::1", true},
        {"2001:db8::/127", "2001:db8::2", false},
        {"2001:db8::1", "2001:db8::1", true},
        {"2001:db8::1", "2001:db8::1:0", false},
        {"::/0", "198.51.100.1", true},
        // IPv4 peers are compared as IPv4-mapped IPv6 addresses, either way round.
        {"10.0.0.0/8", "::ffff:10.1.2.3", true},
        {"10.0.0.0/8", "::10.1.2.3", false},
        {"::ffff:10.0.0.0/104", "10.200.0.1", true},
        {"::ffff:10.0.0.0/104", "11.0.0.1", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.rule) + " " + c.peer);
        allow_reset();
        ASSERT_EQ(allow_add(c.rule), 0);
        struct sockaddr_storage sa = peer(c.peer);
        EXPECT_EQ(allow_peer(reinterpret_cast<const struct sockaddr *>(&sa)), c.allowed);
    }

    // Any network of the list lets a peer in; an empty list lets everyone in.
    allow_reset();
    struct sockaddr_storage sa = peer("198.51.100.7");
    EXPECT_TRUE(allow_peer(reinterpret_cast<const struct sockaddr *>(&sa)));
    ASSERT_EQ(allow_add("10.0.0.0/8"), 0);
    EXPECT_FALSE(allow_peer(reinterpret_cast<const struct sockaddr *>(&sa)));
    ASSERT_EQ(allow_add("198.51.100.0/24"), 0);
    EXPECT_TRUE(allow_peer(reinterpret_cast<const struct sockaddr *>(&sa)));
    allow_reset();
}

TEST(AllowTest, TextsThatAreNoNetworkAreRefused)
{
    const char *bad[] = {
        "10.0.0.0/-0", "10.0.0.0/ 8", "10.0.0.0/+8", "10.0.0.0/", "10.0.0.0/8x",
        "10.0.0.0/33", "::1/129", "10.0.0.0/8/8", "10.0.0.0/0x8", "10.0.0.0/1000",
        "/8", "", "10.1", "9003", "host.example", "10.0.0.0 /8",
    };
    allow_reset();
    for (const char *text : bad)
        EXPECT_EQ(allow_add(text), -1) << "'" << text << "'";
    // None was taken: everyone may still connect.
    struct sockaddr_storage sa = peer("203.0.113.1");
    EXPECT_TRUE(allow_peer(reinterpret_cast<const struct sockaddr *>(&sa)));

    // The list holds MAX_ALLOWED networks.
    for (int i = 0; i < MAX_ALLOWED; i++)
        EXPECT_EQ(allow_add("10.0.0.0/8"), 0) << i;
    EXPECT_EQ(allow_add("10.0.0.0/8"), -1);
    allow_reset();
}

} // namespace

// Tests of the users file, tokens, sessions and the same-origin check.
#include "web/auth.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

// SHA-256 of "secret".
static const char SECRET_HEX[] =
    "2bb80d537b1da3e38bd30361aa855686bde0eacd7162fef6a25fe97bf527a25b";

TEST(WebAuth, UsersFileLines)
{
    std::vector<web_user> users;
    std::string error;
    std::string good = std::string("# operators\n\nalice:") + SECRET_HEX + "\r\nbob.k:" +
                       std::string(64, 'A') + "\n";
    ASSERT_EQ(users_parse(good, users, error), 0) << error;
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].name, "alice");
    EXPECT_EQ(users[0].digest[0], 0x2b);
    EXPECT_EQ(users[0].digest[31], 0x5b);
    EXPECT_EQ(users[1].digest[5], 0xaa);

    struct { std::string text, where; } bad[] = {
        {"alice\n", "line 1"},
        {":" + std::string(SECRET_HEX) + "\n", "line 1"},
        {"al ice:" + std::string(SECRET_HEX) + "\n", "line 1"},
        {"#\nalice:" + std::string(SECRET_HEX).substr(1) + "\n", "line 2"},
        {"alice:" + std::string(SECRET_HEX) + "0\n", "line 1"},
        {"alice:" + std::string(63, '0') + "g\n", "line 1"},
        {"alice:" + std::string(SECRET_HEX) + "\nalice:" + SECRET_HEX + "\n", "line 2"},
        {"# nobody\n", "no users"},
    };
    for (const auto &b : bad) {
        error.clear();
        EXPECT_EQ(users_parse(b.text, users, error), -1) << b.text;
        EXPECT_NE(error.find(b.where), std::string::npos) << error;
    }
}

TEST(WebAuth, TokensSignInOnlyTheirUser)
{
    std::vector<web_user> users;
    std::string error;
    ASSERT_EQ(users_parse(std::string("alice:") + SECRET_HEX + "\nbob:" + std::string(64, '0'),
                          users, error), 0);
    const web_user *u = users_check(users, "alice", "secret");
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->name, "alice");
    EXPECT_EQ(users_check(users, "bob", "secret"), nullptr);
    EXPECT_EQ(users_check(users, "alice", "secret "), nullptr);
    EXPECT_EQ(users_check(users, "alice", ""), nullptr);
    EXPECT_EQ(users_check(users, "carol", "secret"), nullptr);
    EXPECT_TRUE(equal_secret("abc", "abc"));
    EXPECT_FALSE(equal_secret("abc", "abd"));
    EXPECT_FALSE(equal_secret("abc", "abcd"));
}

TEST(WebAuth, UsersFileMustBePrivate)
{
    char path[] = "/tmp/tarrow-web-users-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string line = std::string("alice:") + SECRET_HEX + "\n";
    ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
    std::vector<web_user> users;
    std::string error;
    chmod(path, 0600);
    EXPECT_EQ(users_load(path, users, error), 0) << error;
    EXPECT_EQ(users.size(), 1u);
    for (mode_t mode : {0640, 0620, 0604, 0602}) {
        chmod(path, mode);
        EXPECT_EQ(users_load(path, users, error), -1) << mode;
        EXPECT_NE(error.find("group or others"), std::string::npos) << error;
    }
    unlink(path);
    EXPECT_EQ(users_load(path, users, error), -1);
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
    EXPECT_EQ(users_load("/tmp", users, error), -1);
}

TEST(WebAuth, SameOriginAndCookies)
{
    struct { const char *origin, *host; bool tls, ok; } cases[] = {
        {"http://127.0.0.1:9004", "127.0.0.1:9004", false, true},
        {"https://127.0.0.1:9004", "127.0.0.1:9004", true, true},
        {"https://127.0.0.1:9004", "127.0.0.1:9004", false, false},
        {"http://127.0.0.1:9004", "127.0.0.1:9004", true, false},
        {"http://127.0.0.1:9005", "127.0.0.1:9004", false, false},
        {"http://127.0.0.1:9004.example.org", "127.0.0.1:9004", false, false},
        {"null", "127.0.0.1:9004", false, false},
        {"", "127.0.0.1:9004", false, false},
        {"http://", "", false, false},
        {"http://[::1]:9004", "[::1]:9004", false, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(same_origin(c.origin, c.host, c.tls), c.ok) << c.origin << " " << c.host;

    EXPECT_EQ(cookie_value("a=1; tarrow_session=abc; b=2", "tarrow_session"), "abc");
    EXPECT_EQ(cookie_value("tarrow_session=abc", "tarrow_session"), "abc");
    EXPECT_EQ(cookie_value("xtarrow_session=evil; tarrow_session=good", "tarrow_session"), "good");
    EXPECT_EQ(cookie_value("xtarrow_session=evil", "tarrow_session"), "");
    EXPECT_EQ(cookie_value("", "tarrow_session"), "");
}

TEST(WebAuth, SessionsExpireAreCappedPerUserAndEndAtReload)
{
    session_table t;
    web_user alice{"alice", {}}, bob{"bob", {}}, carol{"carol", {}};
    bob.digest[0] = 1;
    std::string id = session_create(t, alice, 1000);
    ASSERT_EQ(id.size(), 64u);
    const web_session *s = session_find(t, id, 1000 + SESSION_SECONDS - 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name, "alice");
    EXPECT_EQ(s->csrf.size(), 64u);
    EXPECT_NE(s->csrf, id);
    EXPECT_EQ(session_find(t, id, 1000 + SESSION_SECONDS), nullptr);
    EXPECT_TRUE(t.by_id.empty());
    EXPECT_EQ(session_find(t, "", 0), nullptr);

    // Many sign-ins by bob push out bob's oldest session, never alice's.
    std::string kept = session_create(t, alice, 0);
    std::string first = session_create(t, bob, 0);
    for (std::size_t i = 1; i < 10 * SESSIONS_PER_USER; i++)
        session_create(t, bob, static_cast<long long>(i));
    EXPECT_EQ(t.by_id.size(), SESSIONS_PER_USER + 1);
    EXPECT_EQ(session_find(t, first, 1000), nullptr);
    EXPECT_NE(session_find(t, kept, 1000), nullptr);
    std::string last = session_create(t, carol, 5000);
    session_drop(t, last);
    EXPECT_EQ(session_find(t, last, 5001), nullptr);

    // A reload keeps alice, ends bob's sessions for his changed token.
    web_user bob2 = bob;
    bob2.digest[0] = 2;
    EXPECT_EQ(sessions_prune(t, {alice, bob2}), SESSIONS_PER_USER);
    EXPECT_NE(session_find(t, kept, 1000), nullptr);
    EXPECT_EQ(sessions_prune(t, {bob}), 1u);
    EXPECT_TRUE(t.by_id.empty());
}

TEST(WebAuth, FailedSignInsAreThrottledPerAddress)
{
    signin_throttle t;
    int allowed = 0;
    for (int i = 0; i < 20; i++)
        if (throttle_allows(t, "10.0.0.1", 1000)) {
            allowed++;
            throttle_failed(t, "10.0.0.1", 1000);
        }
    EXPECT_EQ(allowed, THROTTLE_BURST);
    EXPECT_TRUE(throttle_allows(t, "10.0.0.2", 1000));
    EXPECT_FALSE(throttle_allows(t, "10.0.0.1", 1100));
    EXPECT_TRUE(throttle_allows(t, "10.0.0.1", 1200));   // 5 a second: one after 200 ms
    throttle_failed(t, "10.0.0.1", 1200);
    EXPECT_FALSE(throttle_allows(t, "10.0.0.1", 1250));
    for (int i = 0; i < 5000; i++)
        throttle_failed(t, "a" + std::to_string(i), 3000);
    EXPECT_LE(t.by_addr.size(), THROTTLE_ADDRESSES);
}

TEST(WebAuth, HostHeaderMustNameThisServer)
{
    std::vector<std::string> names = {"127.0.0.1", "localhost", "::1", "Board.example.org"};
    struct { const char *host; bool ok; } cases[] = {
        {"127.0.0.1:9004", true}, {"127.0.0.1", true}, {"LOCALHOST:80", true},
        {"[::1]:9004", true}, {"board.example.org.", true}, {"board.example.org:443", true},
        {"evil.example:9004", false}, {"127.0.0.2:9004", false}, {"", false},
        {"[::1", false}, {"localhost.evil.example", false}, {"[::2]:9004", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(host_allowed(c.host, names), c.ok) << c.host;
}

TEST(WebAuth, TrustedProxyRanges)
{
    std::vector<net_range> ranges(3);
    ASSERT_TRUE(parse_range("10.1.0.0/16", ranges[0]));
    ASSERT_TRUE(parse_range("127.0.0.1", ranges[1]));
    ASSERT_TRUE(parse_range("fd00::/8", ranges[2]));
    struct { const char *ip; bool in; } cases[] = {
        {"10.1.200.3", true}, {"10.2.0.1", false}, {"127.0.0.1", true}, {"127.0.0.2", false},
        {"::ffff:10.1.0.9", true}, {"fd12::1", true}, {"fe80::1", false}, {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(range_contains(ranges, c.ip), c.in) << c.ip;
    net_range r;
    for (const char *bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x", "host", "10.0.0.0/-1"})
        EXPECT_FALSE(parse_range(bad, r)) << bad;
    ASSERT_TRUE(parse_range("10.1.0.0/12", r));
    EXPECT_TRUE(range_contains({r}, "10.15.255.255"));
    EXPECT_FALSE(range_contains({r}, "10.16.0.0"));
    // A range in the mapped form holds the mapped peers, as written or in hex.
    ASSERT_TRUE(parse_range("::ffff:127.0.0.1", r));
    EXPECT_TRUE(range_contains({r}, "::ffff:127.0.0.1"));
    EXPECT_TRUE(range_contains({r}, "::ffff:7f00:1"));
    EXPECT_FALSE(range_contains({r}, "::ffff:127.0.0.2"));
    EXPECT_TRUE(range_contains(ranges, "::ffff:7f00:1"));
}

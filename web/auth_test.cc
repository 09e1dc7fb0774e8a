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
    chmod(path, 0640);
    EXPECT_EQ(users_load(path, users, error), 0) << error;
    EXPECT_EQ(users.size(), 1u);
    chmod(path, 0644);
    EXPECT_EQ(users_load(path, users, error), -1);
    EXPECT_NE(error.find("others"), std::string::npos) << error;
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

TEST(WebAuth, SessionsExpireAndAreCapped)
{
    session_table t;
    std::string id = session_create(t, "alice", 1000);
    ASSERT_EQ(id.size(), 64u);
    const web_session *s = session_find(t, id, 1000 + SESSION_SECONDS - 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name, "alice");
    EXPECT_EQ(s->csrf.size(), 64u);
    EXPECT_NE(s->csrf, id);
    EXPECT_EQ(session_find(t, id, 1000 + SESSION_SECONDS), nullptr);
    EXPECT_TRUE(t.by_id.empty());
    EXPECT_EQ(session_find(t, "", 0), nullptr);

    std::string first = session_create(t, "bob", 0);
    for (std::size_t i = 1; i < SESSIONS_MAX; i++)
        session_create(t, "bob", static_cast<long long>(i));
    std::string last = session_create(t, "carol", 5000);
    EXPECT_EQ(t.by_id.size(), SESSIONS_MAX);
    EXPECT_EQ(session_find(t, first, 1), nullptr);   // the oldest gave way
    EXPECT_NE(session_find(t, last, 5001), nullptr);
    session_drop(t, last);
    EXPECT_EQ(session_find(t, last, 5001), nullptr);
}

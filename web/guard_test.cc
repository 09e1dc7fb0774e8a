// The connection table of the guard: deadlines, the per-address share and the stop, on
// socket pairs whose far end shows whether the near end was shut down.
#include "web/guard.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

struct pair_fds {
    int near = -1, far = -1;
    pair_fds() { socketpair(AF_UNIX, SOCK_STREAM, 0, &near); }
    ~pair_fds()
    {
        close(near);
        close(far);
    }
    // True when the near end was shut down: the far end reads its end at once.
    bool shut() const
    {
        struct pollfd p = {far, POLLIN, 0};
        char c;
        return poll(&p, 1, 0) == 1 && recv(far, &c, 1, MSG_DONTWAIT) == 0;
    }
};

} // namespace

TEST(WebGuard, DeadlinesShareAndStop)
{
    conn_table t;
    pair_fds slow, done, other;
    ASSERT_TRUE(t.enter(slow.near, "10.0.0.1", 0));
    ASSERT_TRUE(t.enter(done.near, "10.0.0.1", 0));
    ASSERT_TRUE(t.enter(other.near, "10.0.0.2", 5000));
    t.request_read(done.near);
    t.request_read(other.near);
    EXPECT_EQ(t.sweep(GUARD_REQUEST_MS), 0);
    EXPECT_EQ(t.sweep(GUARD_REQUEST_MS + 1), 1);   // the request not read in time
    EXPECT_TRUE(slow.shut());
    EXPECT_FALSE(done.shut());
    EXPECT_EQ(t.sweep(GUARD_CONNECTION_MS + 1), 1);   // the answer not sent in time
    EXPECT_TRUE(done.shut());
    EXPECT_FALSE(other.shut());
    t.leave(slow.near);
    t.leave(done.near);

    // One address past its share pushes out its own oldest unfinished connection.
    std::vector<pair_fds> same(GUARD_PER_ADDRESS);
    for (std::size_t i = 0; i < same.size(); i++)
        ASSERT_TRUE(t.enter(same[i].near, "10.0.0.3", 100 + static_cast<long long>(i)));
    t.request_read(same[0].near);
    pair_fds newest;
    EXPECT_TRUE(t.enter(newest.near, "10.0.0.3", 1000));
    EXPECT_FALSE(same[0].shut());
    EXPECT_TRUE(same[1].shut());
    EXPECT_FALSE(other.shut());

    t.stop_all();
    EXPECT_TRUE(other.shut());
    EXPECT_TRUE(newest.shut());
    pair_fds late;
    EXPECT_FALSE(t.enter(late.near, "10.0.0.4", 2000));
}

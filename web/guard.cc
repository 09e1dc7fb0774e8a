// tarrow-web: the connection guard: a growing worker pool, the table of live connections with
// their deadlines and per-address share, and the stream the HTTP library reads through.
#include "web/guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "common/text.h"

bool
conn_table::enter(int fd, const std::string &addr, long long now_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_)
        return false;
    std::size_t same = 0;
    auto oldest = by_fd_.end();
    for (auto it = by_fd_.begin(); it != by_fd_.end(); ++it) {
        if (it->second.addr != addr)
            continue;
        same++;
        if (!it->second.read && (oldest == by_fd_.end() || it->second.started < oldest->second.started))
            oldest = it;
    }
    if (same >= GUARD_PER_ADDRESS) {
        if (oldest == by_fd_.end())
            return false;
        // Shut down, it leaves the table once its worker sees the end of its input.
        shutdown(oldest->first, SHUT_RDWR);
        oldest->second.addr.clear();
    }
    by_fd_[fd] = entry{addr, now_ms, false};
    return true;
}

void
conn_table::request_read(int fd)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = by_fd_.find(fd);
    if (it != by_fd_.end())
        it->second.read = true;
}

void
conn_table::leave(int fd)
{
    std::lock_guard<std::mutex> lock(mu_);
    by_fd_.erase(fd);
}

int
conn_table::sweep(long long now_ms)
{
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (auto &[fd, e] : by_fd_) {
        long long age = now_ms - e.started;
        if ((!e.read && age > GUARD_REQUEST_MS) || age > GUARD_CONNECTION_MS) {
            shutdown(fd, SHUT_RDWR);
            // Counted once, and no longer against its address.
            e.started = LLONG_MAX / 2;
            e.read = true;
            e.addr.clear();
            n++;
        }
    }
    return n;
}

void
conn_table::stop_all()
{
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    for (const auto &[fd, e] : by_fd_)
        shutdown(fd, SHUT_RDWR);
}

std::size_t
conn_table::size()
{
    std::lock_guard<std::mutex> lock(mu_);
    return by_fd_.size();
}

void
growing_pool::enqueue(std::function<void()> fn)
{
    std::unique_lock<std::mutex> lock(mu_);
    jobs_.push_back(std::move(fn));
    if (jobs_.size() > idle_ && threads_.size() < GUARD_WORKERS_MAX) {
        try {
            threads_.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            // No thread to be had now: the workers there take the job in turn.
            if (threads_.empty()) {
                std::function<void()> job = std::move(jobs_.front());
                jobs_.pop_front();
                lock.unlock();
                job();
                return;
            }
        }
    }
    lock.unlock();
    cv_.notify_one();
}

void
growing_pool::work()
{
    for (;;) {
        std::function<void()> fn;
        {
            std::unique_lock<std::mutex> lock(mu_);
            idle_++;
            cv_.wait(lock, [this] { return !jobs_.empty() || down_; });
            idle_--;
            if (jobs_.empty())
                return;
            fn = std::move(jobs_.front());
            jobs_.pop_front();
        }
        fn();
    }
}

void
growing_pool::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        down_ = true;
    }
    cv_.notify_all();
    for (auto &t : threads_)
        t.join();
}

bool
guard_stream::is_readable() const
{
    if (off_ < len_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0))
        return true;
    struct pollfd p = {fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

bool
guard_stream::is_writable() const
{
    struct pollfd p = {fd_, POLLOUT, 0};
    for (;;) {
        int n = poll(&p, 1, 5000);
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0 && (p.revents & POLLOUT) != 0;
    }
}

// A blocking read ends at the socket's receive time-out (EAGAIN), on data, or when the guard
// shuts the socket down; the loop goes on only for the first, which the deadline bounds.
ssize_t
guard_stream::read(char *ptr, size_t size)
{
    // The library reads a request's head a byte at a time: those come from the buffer.
    if (off_ == len_ && size < sizeof buf_) {
        ssize_t n = read_some(buf_, sizeof buf_);
        if (n <= 0)
            return n;
        off_ = 0;
        len_ = static_cast<size_t>(n);
    }
    if (off_ < len_) {
        size_t n = std::min(size, len_ - off_);
        memcpy(ptr, buf_ + off_, n);
        off_ += n;
        return static_cast<ssize_t>(n);
    }
    return read_some(ptr, size);
}

ssize_t
guard_stream::read_some(char *ptr, size_t size)
{
    if (ssl_ != nullptr) {
        for (;;) {
            int n = SSL_read(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            if (n > 0)
                return n;
            int e = SSL_get_error(ssl_, n);
            if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) ||
                (e == SSL_ERROR_SYSCALL && (errno == EINTR || errno == EAGAIN)))
                continue;
            return -1;
        }
    }
    for (;;) {
        ssize_t n = recv(fd_, ptr, size, 0);
        if (n >= 0)
            return n;
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        return -1;
    }
}

ssize_t
guard_stream::write(const char *ptr, size_t size)
{
    if (ssl_ != nullptr) {
        int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        return n > 0 ? n : -1;
    }
    for (;;) {
        ssize_t n = send(fd_, ptr, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

static void
address_of(const sockaddr_storage &ss, std::string &ip, int &port)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET) {
        const auto *a = reinterpret_cast<const sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, buf, sizeof buf);
        port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, buf, sizeof buf);
        port = ntohs(a->sin6_port);
    }
    ip = buf;
}

void
guard_stream::get_remote_ip_and_port(std::string &ip, int &port) const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ip.clear();
    port = 0;
    if (getpeername(fd_, reinterpret_cast<sockaddr *>(&ss), &len) == 0)
        address_of(ss, ip, port);
}

void
guard_stream::get_local_ip_and_port(std::string &ip, int &port) const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ip.clear();
    port = 0;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&ss), &len) == 0)
        address_of(ss, ip, port);
}

std::string
peer_address(int fd)
{
    guard_stream s(fd, nullptr);
    std::string ip;
    int port = 0;
    s.get_remote_ip_and_port(ip, port);
    return ip;
}

static thread_local int current_fd = -1;

int
guard_current_fd()
{
    return current_fd;
}

void
guard_serve(guard_shared &g, int fd, const std::function<void(httplib::Stream &)> &serve_request)
{
    if (!g.conns.enter(fd, peer_address(fd), monotonic_ms())) {
        close(fd);
        return;
    }
    SSL *ssl = nullptr;
    bool ok = true;
    if (g.tls != nullptr) {
        ssl = SSL_new(g.tls);
        ok = ssl != nullptr && SSL_set_fd(ssl, fd) == 1;
        // The handshake too ends at the deadline, when the guard shuts the socket down.
        while (ok) {
            int r = SSL_accept(ssl);
            if (r == 1)
                break;
            int e = SSL_get_error(ssl, r);
            ok = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ||
                 (e == SSL_ERROR_SYSCALL && (errno == EINTR || errno == EAGAIN));
        }
    }
    if (ok) {
        guard_stream strm(fd, ssl);
        current_fd = fd;
        serve_request(strm);
        current_fd = -1;
        if (ssl != nullptr)
            SSL_shutdown(ssl);
    }
    if (ssl != nullptr)
        SSL_free(ssl);
    g.conns.leave(fd);
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

// tarrow-web: what keeps slow or idle clients from starving the others. Every connection is
// served on a worker of a pool that grows with the load, is registered in a table by its
// client address, and is shut down when its request has not arrived whole within a deadline,
// when the same address opens more than its share, or when the program stops.
#ifndef WEB_GUARD_H
#define WEB_GUARD_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

// The whole request (head and body) must arrive within this time.
inline constexpr long long GUARD_REQUEST_MS = 10000;
// No connection lives longer, the answer included.
inline constexpr long long GUARD_CONNECTION_MS = 60000;
// Connections one client address may hold at once; a newer one pushes out its oldest
// unfinished one.
inline constexpr std::size_t GUARD_PER_ADDRESS = 32;
// Workers at most: more connections wait for one.
inline constexpr std::size_t GUARD_WORKERS_MAX = 160;

// The live connections, by descriptor. A descriptor stays open while it is in the table, so
// shutting it down from another thread never touches a reused descriptor.
class conn_table {
public:
    // Registers fd, from address addr, at now_ms. When addr holds GUARD_PER_ADDRESS
    // connections already, its oldest one still reading its request is shut down; when none
    // is, or once stop_all() was called, false: the caller closes fd.
    bool enter(int fd, const std::string &addr, long long now_ms);
    // The request on fd has arrived whole: it is no longer pushed out for being slow.
    void request_read(int fd);
    // Removes fd; the caller closes it after.
    void leave(int fd);
    // Shuts down each connection past its deadline; returns how many.
    int sweep(long long now_ms);
    // Shuts down every connection and refuses new ones.
    void stop_all();
    std::size_t size();

private:
    struct entry {
        std::string addr;
        long long started = 0;
        bool read = false;
    };
    std::mutex mu_;
    std::map<int, entry> by_fd_;
    bool stopping_ = false;
};

// A task queue whose workers are started as connections need them, up to GUARD_WORKERS_MAX.
class growing_pool : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override;
    void shutdown() override;

private:
    void work();
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;
    bool down_ = false;
};

// A stream over a connection's socket, or its TLS session, for the HTTP library.
class guard_stream : public httplib::Stream {
public:
    guard_stream(int fd, SSL *ssl) : fd_(fd), ssl_(ssl) {}
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *ptr, size_t size) override;
    ssize_t write(const char *ptr, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return fd_; }

private:
    ssize_t read_some(char *ptr, size_t size);
    int fd_;
    SSL *ssl_;
    char buf_[4096];
    size_t off_ = 0, len_ = 0;
};

// The client address of a connected socket, as text; empty when it cannot be had.
std::string peer_address(int fd);

// The guard's state, shared by every connection.
struct guard_shared {
    conn_table conns;
    SSL_CTX *tls = nullptr;     // TLS is served when set
};
// The descriptor the calling worker serves; -1 outside a worker.
int guard_current_fd();
// Serves one connection with serve_request(stream), which reads and answers one request;
// then closes fd.
void guard_serve(guard_shared &g, int fd,
                 const std::function<void(httplib::Stream &)> &serve_request);

// An HTTP or HTTPS server whose connections pass through the guard.
template <class Base>
class guarded_server : public Base {
public:
    using Base::Base;
    guard_shared *guard = nullptr;

private:
    bool process_and_close_socket(socket_t sock) override
    {
        guard_serve(*guard, sock, [this](httplib::Stream &strm) {
            bool closed = false;
            this->process_request(strm, true, closed, nullptr);
        });
        return true;
    }
};

#endif // WEB_GUARD_H

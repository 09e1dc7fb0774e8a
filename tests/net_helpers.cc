// Network helpers for tests: a loopback listener and scripted servers on 127.0.0.1.
#include "tests/net_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "common/text.h"

loopback_listener::loopback_listener()
{
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        listen(fd, 16) == 0 && getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
}

loopback_listener::~loopback_listener()
{
    if (fd >= 0)
        close(fd);
}

int
free_port()
{
    loopback_listener l;
    return l.port;
}

scripted_server::scripted_server(std::function<void(int fd)> serve)
{
    port = listener.port;
    t = std::thread([this, serve] {
        struct pollfd p = {listener.fd, POLLIN, 0};
        if (port == 0 || poll(&p, 1, 5000) <= 0)
            return;
        int fd = accept(listener.fd, nullptr, nullptr);
        if (fd < 0)
            return;
        serve(fd);
        close(fd);
    });
}

scripted_server::~scripted_server()
{
    if (t.joinable())
        t.join();
}

scripted_http::scripted_http(std::function<http_reply(const std::string &)> answer)
    : answer_(std::move(answer))
{
    port = listener.port;
    url = "http://127.0.0.1:" + std::to_string(port);
    if (port > 0)
        thread_ = std::thread([this] { serve(); });
}

scripted_http::~scripted_http()
{
    {
        std::lock_guard<std::mutex> g(lock_);
        stop_ = true;
    }
    if (thread_.joinable())
        thread_.join();
}

std::vector<std::string>
scripted_http::requests()
{
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

bool
scripted_http::wait_for(const std::string &text, int timeout_ms)
{
    for (long end = monotonic_ms() + timeout_ms;;) {
        for (const std::string &req : requests())
            if (req.find(text) != std::string::npos)
                return true;
        if (monotonic_ms() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// One connection at a time, one request a connection: the headers, then as many body bytes
// as Content-Length says, 2 s at most; then the answer, and the connection is closed.
void
scripted_http::serve()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> g(lock_);
            if (stop_)
                return;
        }
        struct pollfd p = {listener.fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int c = accept(listener.fd, nullptr, nullptr);
        if (c < 0)
            continue;
        std::string in;
        std::size_t need = std::string::npos;
        for (long end = monotonic_ms() + 2000;
             monotonic_ms() < end && (need == std::string::npos || in.size() < need);) {
            struct pollfd q = {c, POLLIN, 0};
            if (poll(&q, 1, 100) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0)
                break;
            in.append(buf, static_cast<std::size_t>(n));
            std::size_t head = in.find("\r\n\r\n");
            std::size_t cl = in.find("Content-Length: ");
            if (head != std::string::npos)
                need = head + 4 +
                       (cl != std::string::npos && cl < head
                            ? strtoul(in.c_str() + cl + 16, nullptr, 10)
                            : 0);
        }
        http_reply r = answer_ ? answer_(in.substr(0, in.find("\r\n"))) : http_reply{};
        std::string out = "HTTP/1.1 " + std::to_string(r.status) + " Scripted\r\n" +
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(r.body.size()) + "\r\nConnection: close\r\n\r\n" +
                          r.body;
        for (std::size_t done = 0; done < out.size();) {
            ssize_t n = send(c, out.data() + done, out.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<std::size_t>(n);
        }
        close(c);
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(in);
    }
}

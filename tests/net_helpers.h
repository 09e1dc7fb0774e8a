// Network helpers for tests: a loopback listener and scripted servers on 127.0.0.1 that play
// a misbehaving tarrowd or Alertmanager. Every wait in them is bounded.
#ifndef TESTS_NET_HELPERS_H
#define TESTS_NET_HELPERS_H

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A TCP socket listening on a free port of 127.0.0.1; port is 0 when none could be had.
struct loopback_listener {
    int fd = -1;
    int port = 0;
    loopback_listener();
    ~loopback_listener();
    loopback_listener(const loopback_listener &) = delete;
    loopback_listener &operator=(const loopback_listener &) = delete;
};

// A TCP port of 127.0.0.1 that was free a moment ago: nobody listens there.
int free_port();

// Serves one connection in a thread of its own: waits at most 5 s for it, calls serve with
// the connected descriptor, then closes it. The destructor waits for the thread.
struct scripted_server {
    loopback_listener listener;
    int port = 0;
    std::thread t;
    explicit scripted_server(std::function<void(int fd)> serve);
    ~scripted_server();
};

// An HTTP/1.1 server that answers every request with what answer returns for its request
// line ("GET /api/v2/alerts HTTP/1.1") and keeps every request whole, body included.
struct http_reply {
    int status = 200;
    std::string body;
};
struct scripted_http {
    loopback_listener listener;
    int port = 0;
    std::string url;        // "http://127.0.0.1:port"
    explicit scripted_http(std::function<http_reply(const std::string &request_line)> answer =
                               nullptr);
    ~scripted_http();
    // The requests so far, headers and body.
    std::vector<std::string> requests();
    // True when a request holding text arrives within timeout_ms.
    bool wait_for(const std::string &text, int timeout_ms);

private:
    std::function<http_reply(const std::string &)> answer_;
    bool stop_ = false;
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
    void serve();
};

#endif // TESTS_NET_HELPERS_H

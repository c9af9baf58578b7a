#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlund::bench {

// The cheapest HTTP/1.1 server we can write: on 127.0.0.1, one blocking thread per connection,
// keep-alive without limit, TCP_NODELAY, and a 200 answer with answerTo(request body) to every
// request, so what the benchmark times is the client.
class KeepAliveServer {
public:
    using Answer = std::function<std::string(const std::string& requestBody)>;
    explicit KeepAliveServer(Answer answerTo);
    ~KeepAliveServer();

    KeepAliveServer(const KeepAliveServer&) = delete;
    KeepAliveServer& operator=(const KeepAliveServer&) = delete;

    int port() const { return port_; }
    // Connections accepted so far: 1 means the client reused its connection throughout.
    int connectionsAccepted() const { return accepted_; }
    int requestsServed() const { return served_; }

private:
    void acceptLoop();
    void serve(int connection);

    const Answer answerTo_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_ = 0;
    std::atomic<int> served_ = 0;
    std::atomic<bool> stopping_ = false;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::vector<std::thread> servers_;
};

} // namespace vorlund::bench

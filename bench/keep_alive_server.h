#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorlund::bench {

// The cheapest HTTP/1.1 server we can write: on 127.0.0.1, one blocking thread per connection,
// keep-alive without limit, TCP_NODELAY, and the same prepared answer to every request. It
// neither parses JSON nor signs, so what the benchmark times is the client.
class FixedAnswerServer {
public:
    explicit FixedAnswerServer(std::string answerBody);
    ~FixedAnswerServer();

    FixedAnswerServer(const FixedAnswerServer&) = delete;
    FixedAnswerServer& operator=(const FixedAnswerServer&) = delete;

    int port() const { return port_; }
    // Connections accepted so far: 1 means the client reused its connection throughout.
    int connectionsAccepted() const { return accepted_; }
    int requestsServed() const { return served_; }

private:
    void acceptLoop();
    void serve(int connection);

    const std::string reply_;
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

#pragma once

#include <httplib.h>

#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace vorlund::test {

// An httplib server on a free loopback port, serving on a thread of its own from start() until
// it is destroyed. Its handlers are set before start().
class LoopbackServer : public httplib::Server {
public:
    ~LoopbackServer() override {
        stop();
        if (thread_.joinable())
            thread_.join();
    }

    int start() {
        port_ = bind_to_any_port("127.0.0.1");
        // httplib listens with a backlog of 5; clients beyond it who connect at once would wait
        // for retransmissions.
        ::listen(svr_sock_, 64);
        thread_ = std::thread([this] { listen_after_bind(); });
        while (!is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return port_;
    }
    int port() const { return port_; }

private:
    int port_ = 0;
    std::thread thread_;
};

} // namespace vorlund::test

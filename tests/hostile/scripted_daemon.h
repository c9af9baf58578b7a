#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace vorlund::test {

// A request as it arrived: the head up to the blank line, and the body its Content-Length
// announced.
struct RawRequest {
    std::string head;
    std::string body;
};

// One accepted connection, as a script drives it. Every call gives up when the peer has gone
// or the daemon is stopping.
class RawConnection {
public:
    RawConnection(int fd, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}

    // False once the bytes cannot all be written.
    bool write(std::string_view bytes);
    // Writes bytes one at a time with a pause before each.
    bool trickle(std::string_view bytes, std::chrono::milliseconds pause);
    // Waits without writing.
    void pause(std::chrono::milliseconds duration);
    // Ends the connection with a TCP reset (RST) rather than an orderly close.
    void reset();

    bool wasReset() const { return reset_; }

private:
    int fd_;
    const std::atomic<bool>& stopping_;
    bool reset_ = false;
};

// A daemon on 127.0.0.1 that writes exactly what its script says: it reads each request whole,
// hands it to the script, and closes the connection when the script returns. Connections are
// served one after another on a background thread.
class ScriptedDaemon {
public:
    using Script = std::function<void(const RawRequest&, RawConnection&)>;

    explicit ScriptedDaemon(Script script);
    ~ScriptedDaemon();

    ScriptedDaemon(const ScriptedDaemon&) = delete;
    ScriptedDaemon& operator=(const ScriptedDaemon&) = delete;

    int port() const { return port_; }
    int requestCount() const { return requestCount_; }

private:
    void serve();
    void serveOne(int fd);

    Script script_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ = false;
    std::atomic<int> requestCount_ = 0;
    std::thread thread_;
};

} // namespace vorlund::test

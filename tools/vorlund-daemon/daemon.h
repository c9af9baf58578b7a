#pragma once

#include "guarded_server.h"
#include "pinch_answer.h"
#include "recent_pinches.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vorlund {

// A POST to /pinch as the daemon saw it.
struct ReceivedPinch {
    std::string body;
    std::string contentType;
    std::optional<PinchRequest> request; // present when the body is a well-formed request
};

// A small daemon that speaks the pinch protocol on 127.0.0.1, for development and tests, and
// shows daemon authors the rules in docs/protocol.md: only requests to its own address with a
// small JSON body, within a few seconds, each pinch answered once.
class Daemon {
public:
    // Sees each request and the reply the daemon chose, and may rewrite or delay that reply.
    // Runs on a server thread.
    using ReplyHook = std::function<void(const ReceivedPinch&, DaemonReply&)>;
    // The time that pinches are judged and answers stamped by.
    using WallClock = std::chrono::system_clock::time_point (*)();

    // Answers from `model`, or by echo without one; writes a line for each pinch to `log`.
    explicit Daemon(SigningKey key, ReplyHook hook = {},
                    WallClock clock = std::chrono::system_clock::now, AnswerSource model = {},
                    std::ostream* log = nullptr);
    ~Daemon();

    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Binds 127.0.0.1:port (0 for any free port) and serves on a background thread until
    // stop(). Returns the bound port; throws std::runtime_error if the port cannot be bound.
    int start(int port);
    // Ends serving and waits for the server thread; delayed replies are cut short.
    void stop();

    const std::string& publicKeyHex() const { return publicKeyHex_; }
    std::optional<ReceivedPinch> lastReceived() const;
    int receivedCount() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);
    void waitOrStop(std::chrono::milliseconds delay);

    const SigningKey key_;
    const std::string publicKeyHex_;
    const ReplyHook hook_;
    const WallClock clock_;
    const AnswerSource model_;
    std::ostream* const log_;
    RecentPinches answered_;
    std::atomic<int> port_ = 0;
    GuardedServer server_;
    std::thread thread_;
    std::atomic<bool> listenEnded_ = false;

    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::optional<ReceivedPinch> lastReceived_;
    int receivedCount_ = 0;
};

} // namespace vorlund

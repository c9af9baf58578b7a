#include "daemon.h"

#include "head_rules.h"
#include "pinch_log.h"

#include "protocol/hex.h"

#include <ostream>
#include <stdexcept>

namespace vorlund {

namespace {

// A client has this long to send a request whole, and each read waits at most readTimeout: a
// slow client holds one of the workers no longer, and there are enough workers for a few.
constexpr std::chrono::seconds requestDeadline{5}, readTimeout{2};
constexpr int workers = 32;
// Pinches kept to tell repeats, far more than one client sends within the clock window.
constexpr std::size_t recentPinches = 10'000;

} // namespace

Daemon::Daemon(SigningKey key, ReplyHook hook, WallClock clock, AnswerSource model,
               std::ostream* log)
    : key_(std::move(key)), publicKeyHex_(hex(key_.publicKey())), hook_(std::move(hook)),
      clock_(clock), model_(std::move(model)), log_(log), answered_(recentPinches),
      server_(requestDeadline, workers,
              [this](const httplib::Request& request, httplib::Response& response) {
                  const std::optional<DaemonReply> refused = refusalOfHead(request, port_);
                  if (!refused)
                      return false;
                  response.status = refused->status;
                  response.set_content(refused->body, refused->contentType);
                  return true;
              }) {
    server_.set_read_timeout(readTimeout);
    // stop() waits for idle keep-alive connections to time out; keep that short.
    server_.set_keep_alive_timeout(1);
    // Without TCP_NODELAY the body of an answer waits for the client's delayed ACK of its head
    // (about 28 ms an exchange).
    server_.set_tcp_nodelay(true);
    server_.Post("/pinch", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
}

Daemon::~Daemon() {
    stop();
}

int Daemon::start(int port) {
    const bool bound = port == 0 ? (port = server_.bind_to_any_port("127.0.0.1")) > 0
                                 : server_.bind_to_port("127.0.0.1", port);
    if (!bound)
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) +
                                 "; is another daemon listening there?");
    server_.queueConnections(2 * workers);
    port_ = port;
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        listenEnded_ = true;
    });
    // A stop() that came before the server runs would not reach it.
    while (!server_.is_running() && !listenEnded_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return port;
}

void Daemon::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    server_.stop();
    if (thread_.joinable())
        thread_.join();
}

std::optional<ReceivedPinch> Daemon::lastReceived() const {
    const std::lock_guard lock(mutex_);
    return lastReceived_;
}

int Daemon::receivedCount() const {
    const std::lock_guard lock(mutex_);
    return receivedCount_;
}

void Daemon::handle(const httplib::Request& request, httplib::Response& response) {
    const auto receivedAt = std::chrono::steady_clock::now();
    ReceivedPinch received{.body = request.body,
                           .contentType = request.get_header_value("Content-Type"),
                           .request = std::nullopt};
    DaemonReply reply;
    std::optional<std::chrono::milliseconds> modelTook;
    const AnswerSource timedModel = [&](const PinchRequest& pinch) {
        const auto asked = std::chrono::steady_clock::now();
        auto answer = model_(pinch);
        modelTook = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - asked);
        return answer;
    };
    try {
        received.request = decodePinchRequest(request.body);
        reply = answerPinch(*received.request, key_, answered_, clock_(), receivedAt,
                            model_ ? timedModel : AnswerSource());
    } catch (const DecodeError& fault) {
        reply = refusal(400, fault.what());
    }
    {
        const std::lock_guard lock(mutex_);
        lastReceived_ = received;
        ++receivedCount_;
        if (log_)
            *log_ << pinchLogLine(clock_(), received.request ? received.request->pinchId : "",
                                  reply.status, modelTook)
                  << std::flush;
    }
    if (hook_)
        hook_(received, reply);
    waitOrStop(reply.delay);
    response.status = reply.status;
    response.set_content(std::move(reply.body), reply.contentType);
}

void Daemon::waitOrStop(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    stopping_.wait_for(lock, delay, [this] { return stopped_; });
}

} // namespace vorlund

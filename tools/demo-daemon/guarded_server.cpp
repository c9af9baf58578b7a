#include "guarded_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace vorlund {

namespace {

using Clock = std::chrono::steady_clock;

bool waitFor(int fd, short events, Clock::time_point until) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return false;
        pollfd waiting{.fd = fd, .events = events, .revents = 0};
        const int ready = ::poll(&waiting, 1, int(std::min<long long>(left.count(), 60'000)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// getpeername or getsockname of an IPv4 socket as text and port.
void addressOf(int (*name)(int, sockaddr*, socklen_t*), int fd, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    std::array<char, INET_ADDRSTRLEN> text{};
    const bool known = name(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                       address.sin_family == AF_INET &&
                       ::inet_ntop(AF_INET, &address.sin_addr, text.data(), text.size());
    ip = known ? text.data() : "";
    port = known ? ntohs(address.sin_port) : 0;
}

// A connection's socket as httplib reads and writes it, through a buffer that keeps what a
// read took beyond one request for the next, and with a deadline for the request being read.
class DeadlineStream : public httplib::Stream {
public:
    DeadlineStream(int fd, Clock::duration readTimeout, Clock::duration writeTimeout)
        : fd_(fd), readTimeout_(readTimeout), writeTimeout_(writeTimeout) {}

    void startRequest(Clock::duration deadline) { deadline_ = Clock::now() + deadline; }
    bool hasBuffered() const { return begin_ < end_; }
    bool timedOut() const { return timedOut_; }

    bool is_readable() const override { return hasBuffered() || waitFor(fd_, POLLIN, readLimit()); }
    bool is_writable() const override {
        return waitFor(fd_, POLLOUT, Clock::now() + writeTimeout_);
    }

    ssize_t read(char* ptr, size_t size) override {
        if (!hasBuffered()) {
            if (!waitFor(fd_, POLLIN, readLimit())) {
                timedOut_ = true;
                return -1;
            }
            const ssize_t count = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
            if (count <= 0)
                return count;
            begin_ = 0;
            end_ = std::size_t(count);
        }
        const std::size_t count = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_.data() + begin_, count);
        begin_ += count;
        return ssize_t(count);
    }

    ssize_t write(const char* ptr, size_t size) override {
        return is_writable() ? ::send(fd_, ptr, size, MSG_NOSIGNAL) : -1;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        addressOf(::getpeername, fd_, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        addressOf(::getsockname, fd_, ip, port);
    }
    socket_t socket() const override { return fd_; }

private:
    // Each read waits no longer than the read timeout, and none past the request's deadline.
    Clock::time_point readLimit() const { return std::min(deadline_, Clock::now() + readTimeout_); }

    const int fd_;
    const Clock::duration readTimeout_, writeTimeout_;
    Clock::time_point deadline_;
    std::array<char, 16 * 1024> buffer_{};
    std::size_t begin_ = 0, end_ = 0;
    bool timedOut_ = false;
};

} // namespace

GuardedServer::GuardedServer(std::chrono::seconds requestDeadline, int workers, HeadCheck headCheck)
    : requestDeadline_(requestDeadline), headCheck_(std::move(headCheck)) {
    new_task_queue = [workers] { return new httplib::ThreadPool(std::size_t(workers)); };
    set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        return headCheck_(request, response) ? HandlerResponse::Handled
                                             : HandlerResponse::Unhandled;
    });
    // A client that waits for "100 Continue" before it sends a body learns at once.
    set_expect_100_continue_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            return headCheck_(request, response) ? response.status : 100;
        });
}

bool GuardedServer::process_and_close_socket(socket_t fd) {
    using std::chrono::seconds;
    DeadlineStream stream(fd, seconds(read_timeout_sec_), seconds(write_timeout_sec_));
    bool refused = false, closedByClient = false;
    while (!refused && !closedByClient && svr_sock_ != INVALID_SOCKET &&
           (stream.hasBuffered() ||
            waitFor(fd, POLLIN, Clock::now() + seconds(keep_alive_timeout_sec_)))) {
        stream.startRequest(requestDeadline_);
        const bool answered =
            process_request(stream, false, closedByClient, [&](httplib::Request& request) {
                httplib::Response unused;
                refused = headCheck_(request, unused);
                if (refused) { // so that the answer says the connection ends
                    request.headers.erase("Connection");
                    request.headers.emplace("Connection", "close");
                }
            });
        // httplib answers a request cut short with 400 and would go on reading the connection.
        if (!answered || stream.timedOut())
            break;
    }
    if (refused) {
        // Closing with unread bytes would reset the connection, and a client still sending might
        // never see the refusal. So take in what it still sends, up to the request's deadline,
        // through a small buffer that keeps none of it.
        ::shutdown(fd, SHUT_WR);
        std::array<char, 16 * 1024> ignored;
        while (stream.read(ignored.data(), ignored.size()) > 0) {
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return true;
}

} // namespace vorlund

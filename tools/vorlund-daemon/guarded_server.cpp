#include "guarded_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace vorlund {

namespace {

using Clock = std::chrono::steady_clock;

// A request's head must fit the read buffer whole. A pinch's head is a few hundred bytes.
constexpr std::size_t maxHeadBytes = 16 * 1024, maxHeadFields = 64;
// A connection that sends one request after another holds its worker no longer than this.
constexpr std::size_t maxRequestsPerConnection = 100;
constexpr std::chrono::seconds maxConnectionLife{60};

// Whether the answer just written on this thread's connection ends it.
thread_local bool answerEndsConnection = false;

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

    enum class Head { whole, tooLarge, missing };
    // Reads until the buffer holds the next request's head whole, so that httplib, which bounds
    // neither, never reads a head larger than the buffer or with more than maxFields fields.
    Head bufferHead(std::size_t maxFields) {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        for (;;) {
            // httplib ends a head at an empty line, after a line ending in CR LF or LF alone.
            const std::string_view held(buffer_.data(), end_);
            const auto headEnd = held.find("\n\r\n");
            if (headEnd != held.npos)
                return std::size_t(std::count(held.begin(), held.begin() + long(headEnd), '\n')) <=
                               maxFields
                           ? Head::whole
                           : Head::tooLarge;
            if (end_ == buffer_.size())
                return Head::tooLarge;
            if (!waitFor(fd_, POLLIN, readLimit())) {
                timedOut_ = true;
                return Head::missing;
            }
            const ssize_t count = ::recv(fd_, buffer_.data() + end_, buffer_.size() - end_, 0);
            if (count <= 0)
                return Head::missing;
            end_ += std::size_t(count);
        }
    }
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
    std::array<char, maxHeadBytes> buffer_{};
    std::size_t begin_ = 0, end_ = 0;
    bool timedOut_ = false;
};

} // namespace

GuardedServer::GuardedServer(std::chrono::seconds requestDeadline, int workers, HeadCheck headCheck)
    : requestDeadline_(requestDeadline), headCheck_(std::move(headCheck)) {
    new_task_queue = [workers] { return new httplib::ThreadPool(std::size_t(workers)); };
    // httplib's default SO_REUSEPORT would let a second daemon on the port share its pinches.
    set_socket_options([](socket_t fd) {
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    set_keep_alive_max_count(maxRequestsPerConnection);
    // A client whose request was refused gets a fresh connection for the next, and one that sends
    // nothing but bad requests takes a worker no longer than one request's deadline.
    set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
        answerEndsConnection = response.status != 200;
        if (answerEndsConnection) {
            response.headers.erase("Keep-Alive");
            response.headers.erase("Connection");
            response.headers.emplace("Connection", "close");
        }
    });
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

void GuardedServer::queueConnections(int count) {
    ::listen(svr_sock_, count);
}

bool GuardedServer::process_and_close_socket(socket_t fd) {
    using std::chrono::seconds;
    DeadlineStream stream(fd, seconds(read_timeout_sec_), seconds(write_timeout_sec_));
    bool ending = false, closedByClient = false;
    const auto opened = Clock::now();
    for (std::size_t served = 0;
         !ending && !closedByClient && svr_sock_ != INVALID_SOCKET &&
         (stream.hasBuffered() ||
          waitFor(fd, POLLIN, Clock::now() + seconds(keep_alive_timeout_sec_)));
         ++served) {
        stream.startRequest(requestDeadline_);
        const auto head = stream.bufferHead(maxHeadFields);
        if (head == DeadlineStream::Head::missing)
            break;
        if (head == DeadlineStream::Head::tooLarge) {
            const std::string reason = "the request head is larger than 16 KiB or has more than " +
                                       std::to_string(maxHeadFields) + " fields";
            const std::string answer = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                                       "Content-Type: text/plain\r\nContent-Length: " +
                                       std::to_string(reason.size()) +
                                       "\r\nConnection: close\r\n\r\n" + reason;
            stream.write(answer.data(), answer.size());
            ending = true;
            break;
        }
        const bool last =
            served + 1 == maxRequestsPerConnection || Clock::now() - opened > maxConnectionLife;
        answerEndsConnection = false;
        const bool answered = process_request(stream, last, closedByClient, {});
        // Also a request cut short, which httplib answers with 400.
        ending = answerEndsConnection || last;
        if (!answered || stream.timedOut())
            break;
    }
    if (ending) {
        // Closing with unread bytes would reset the connection, and a client still sending might
        // never see the last answer. So take in what it still sends, up to the request's deadline,
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

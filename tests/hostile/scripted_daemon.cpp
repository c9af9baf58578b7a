#include "scripted_daemon.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <optional>
#include <stdexcept>

namespace vorlund::test {

namespace {

// Every blocking socket call wakes this often to notice a stop.
constexpr auto wakeInterval = std::chrono::milliseconds(50);

void setWakeInterval(int fd) {
    const timeval interval{.tv_sec = 0, .tv_usec = wakeInterval.count() * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &interval, sizeof interval);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &interval, sizeof interval);
}

bool interrupted() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::size_t announcedLength(const std::string& head) {
    const std::string lower = lowerCase(head);
    const std::string name = "\r\ncontent-length:";
    const auto at = lower.find(name);
    if (at == lower.npos)
        return 0;
    return std::stoul(lower.substr(at + name.size()));
}

// Reads one request, or nothing when the peer closes first or the daemon stops.
std::optional<RawRequest> readRequest(int fd, const std::atomic<bool>& stopping) {
    std::string received;
    std::optional<std::size_t> headEnd;
    std::size_t wanted = 0;
    char buffer[64 * 1024];
    while (!stopping) {
        if (headEnd && received.size() >= *headEnd + wanted)
            return RawRequest{received.substr(0, *headEnd), received.substr(*headEnd, wanted)};
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && !interrupted()))
            return std::nullopt;
        if (n < 0)
            continue;
        received.append(buffer, std::size_t(n));
        if (!headEnd) {
            const auto blank = received.find("\r\n\r\n");
            if (blank != received.npos) {
                headEnd = blank + 4;
                wanted = announcedLength(received.substr(0, blank + 2));
            }
        }
    }
    return std::nullopt;
}

} // namespace

bool RawConnection::write(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stopping_ || reset_)
            return false;
        const ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && interrupted())
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

bool RawConnection::trickle(std::string_view bytes, std::chrono::milliseconds pause) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        this->pause(pause);
        if (!write(bytes.substr(i, 1)))
            return false;
    }
    return true;
}

void RawConnection::pause(std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!stopping_ && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            wakeInterval, end - std::chrono::steady_clock::now()));
}

void RawConnection::reset() {
    const linger abortive{.l_onoff = 1, .l_linger = 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    reset_ = true;
}

ScriptedDaemon::ScriptedDaemon(Script script) : script_(std::move(script)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listenFd_, 8) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listenFd_ >= 0)
            close(listenFd_);
        throw std::runtime_error("scripted daemon cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedDaemon::~ScriptedDaemon() {
    stopping_ = true;
    thread_.join();
    close(listenFd_);
}

void ScriptedDaemon::serve() {
    while (!stopping_) {
        pollfd waiting{.fd = listenFd_, .events = POLLIN, .revents = 0};
        if (poll(&waiting, 1, int(wakeInterval.count())) <= 0)
            continue;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        setWakeInterval(fd);
        serveOne(fd);
        close(fd);
    }
}

void ScriptedDaemon::serveOne(int fd) {
    const std::optional<RawRequest> request = readRequest(fd, stopping_);
    if (!request)
        return;
    ++requestCount_;
    RawConnection connection(fd, stopping_);
    script_(*request, connection);
    if (!connection.wasReset())
        shutdown(fd, SHUT_WR);
}

} // namespace vorlund::test

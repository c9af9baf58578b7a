#include "keep_alive_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace vorlund::bench {

namespace {

std::string httpReply(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::size_t contentLength(const std::string& head) {
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    const auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return std::stoul(lower.substr(at + 17));
}

bool sendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += std::size_t(n);
    }
    return true;
}

} // namespace

KeepAliveServer::KeepAliveServer(Answer answerTo) : answerTo_(std::move(answerTo)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") +
                                 std::strerror(errno));
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

KeepAliveServer::~KeepAliveServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    ::close(listener_);
    {
        const std::lock_guard lock(mutex_);
        for (int connection : connections_)
            ::shutdown(connection, SHUT_RDWR);
    }
    for (auto& server : servers_)
        server.join();
    for (int connection : connections_)
        ::close(connection);
}

void KeepAliveServer::acceptLoop() {
    while (!stopping_) {
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        const int on = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ++accepted_;
        const std::lock_guard lock(mutex_);
        connections_.push_back(connection);
        servers_.emplace_back([this, connection] { serve(connection); });
    }
}

void KeepAliveServer::serve(int connection) {
    std::string pending;
    char chunk[16 * 1024];
    for (;;) {
        std::size_t headEnd;
        while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            pending.append(chunk, std::size_t(n));
        }
        const std::size_t requestEnd = headEnd + 4 + contentLength(pending.substr(0, headEnd + 2));
        while (pending.size() < requestEnd) {
            const ssize_t n = ::recv(connection, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            pending.append(chunk, std::size_t(n));
        }
        const std::string body = pending.substr(headEnd + 4, requestEnd - headEnd - 4);
        pending.erase(0, requestEnd);
        ++served_;
        if (!sendAll(connection, httpReply(answerTo_(body))))
            return;
    }
}

} // namespace vorlund::bench

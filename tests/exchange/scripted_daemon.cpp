#include "scripted_daemon.h"

#include "pinch_answer.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vorlund::test {

namespace {

using nlohmann::json;

std::string httpAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: text/plain\r\n" +
           "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}

// The demo daemon's answer to the request, its fields changed before it is signed and its text
// after.
std::string answerTo(const json& step, const std::string& head, const std::string& request,
                     const SigningKey& key) {
    DaemonReply reply;
    RecentPinches answered(1); // each case sends a pinch of its own
    try {
        reply = answerPinch(decodePinchRequest(request), key, answered,
                            std::chrono::system_clock::now(), std::chrono::steady_clock::now());
    } catch (const DecodeError& fault) {
        reply = refusal(400, fault.what());
    }
    // Beyond what any daemon checks: what the client sends is JSON, costs 1000 and is stamped
    // with the time of sending in seconds.
    const json sent = json::parse(request, nullptr, false);
    if (!QByteArray::fromStdString(head).toLower().contains("\ncontent-type: application/json\r") ||
        sent.value("costCap", 0) != 1000 ||
        std::abs(sent.value("requestedAt", 0LL) - time(nullptr)) > 99)
        reply = refusal(400, "not as the client sends");
    if (reply.status == 200) {
        json a = json::parse(reply.body);
        a["latencyMs"] = 12; // the demo's own is whatever the clock says
        for (const auto& [name, value] : step.at("answer").items())
            a[name] = value.is_number() ? value : json(textOf(value));
        DaemonResponse answer{a["response"],   a["latencyMs"], a["modelVersion"],
                              a["promptHash"], a["timestamp"], a["pinchId"],
                              a["bPubKey"],    a["aPubKey"],   ""};
        signDaemonResponse(answer, [&](const Bytes& message) { return key.sign(message); });
        reply.body = encodeDaemonResponse(answer);
    }
    for (const json& change : step.value("tamper", json::array())) {
        const std::string from = textOf(change.at(0));
        const auto at = reply.body.find(from);
        if (at == reply.body.npos) // a rewrite that finds nothing is a broken case, not a pass
            throw std::logic_error("nothing to tamper with: " + from);
        reply.body.replace(at, from.size(), textOf(change.at(1)));
    }
    return httpAnswer(step.value("status", reply.status), reply.body);
}

} // namespace

std::string textOf(const json& text) {
    if (text.is_string())
        return text;
    std::string bytes;
    if (text.is_array()) {
        for (const json& part : text)
            bytes += textOf(part);
        return bytes;
    }
    if (text.contains("hex"))
        return QByteArray::fromHex(text.value("hex", "").c_str()).toStdString();
    while (bytes.size() < text.at("bytes"))
        bytes += textOf(text.at("repeat"));
    return bytes.substr(0, text.at("bytes"));
}

ScriptedDaemon::ScriptedDaemon(json script, const SigningKey& key)
    : script_(std::move(script)), key_(key) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* any = reinterpret_cast<sockaddr*>(&address);
    if (listenFd_ < 0 || bind(listenFd_, any, length) != 0 || listen(listenFd_, 8) != 0 ||
        getsockname(listenFd_, any, &length) != 0)
        throw std::runtime_error("scripted daemon cannot listen on 127.0.0.1");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

ScriptedDaemon::~ScriptedDaemon() {
    stopping_ = true;
    thread_.join();
    close(listenFd_);
}

void ScriptedDaemon::serve() {
    constexpr int wakeMs = 50; // every blocking call wakes this often to notice a stop
    while (!stopping_) {
        pollfd waiting{.fd = listenFd_, .events = POLLIN, .revents = 0};
        const int fd = poll(&waiting, 1, wakeMs) > 0 ? accept(listenFd_, nullptr, nullptr) : -1;
        if (fd < 0)
            continue;
        const timeval wake{.tv_sec = 0, .tv_usec = wakeMs * 1000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wake, sizeof wake);
        // The head up to its blank line, then the body its Content-Length announced.
        std::string received;
        std::size_t headEnd = std::string::npos, length = 0;
        char buffer[64 * 1024];
        while (!stopping_ && (headEnd == received.npos || received.size() < headEnd + length)) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            received.append(buffer, std::size_t(std::max<ssize_t>(n, 0)));
            if (received.find("\r\n\r\n") == received.npos)
                continue;
            headEnd = received.find("\r\n\r\n") + 4;
            const std::string head =
                QByteArray::fromStdString(received.substr(0, headEnd)).toLower().toStdString();
            const auto field = head.find("\r\ncontent-length:");
            length = field == head.npos ? 0 : std::stoul(head.substr(field + 17));
        }
        if (headEnd != received.npos && received.size() >= headEnd + length) {
            ++requestCount_;
            play(fd, received.substr(0, headEnd), received.substr(headEnd, length));
        }
        close(fd);
    }
}

void ScriptedDaemon::play(int fd, const std::string& head, const std::string& body) {
    for (const json& step : script_) {
        if (step == "reset") { // a zero linger time makes close() send a reset
            const linger abortive{.l_onoff = 1, .l_linger = 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            return;
        }
        if (step.contains("pause")) {
            for (int slept = 0; slept < step.at("pause") && !stopping_; slept += 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        std::string bytes =
            step.contains("answer") ? answerTo(step, head, body, key_)
            : step.contains("status")
                ? httpAnswer(step.at("status"), textOf(step.value("body", json(""))))
                : textOf(step);
        for (std::string_view rest = bytes; !rest.empty();) {
            const ssize_t n = send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
            if (stopping_ || (n < 0 && errno != EAGAIN && errno != EINTR))
                return;
            rest.remove_prefix(std::size_t(std::max<ssize_t>(n, 0)));
        }
    }
    shutdown(fd, SHUT_WR);
}

} // namespace vorlund::test

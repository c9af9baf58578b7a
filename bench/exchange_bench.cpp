// What a press of Send costs beyond the network round trip itself. One process runs, in turn,
// a full exchange through ContentView::send() and a bare POST of a body of the same size
// through the same shared network manager (the floor), both against a loopback server that
// answers each with a signed answer naming its pinch, as a daemon does. A 1 ms timer measures
// how long the GUI thread's event loop is kept from its work meanwhile.
//
// exchange_bench [--window] [--exchanges N]
//   --window  loads the real QML window around the view, so bindings and frames count too.
#include "bench_support.h"
#include "pinch_answer.h"
#include "stats.h"

#include "exchange/pinch_exchange.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "ui/content_view.h"

#include <sodium.h>

#include <QGuiApplication>
#include <QNetworkReply>
#include <QQmlApplicationEngine>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vorlund;
using Clock = std::chrono::steady_clock;

constexpr int warmupRounds = 200;

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The demo daemon's answer to a request, signed anew for each: the same work for both sides.
std::string answerTo(const std::string& requestBody) {
    static const SigningKey key = SigningKey::generate();
    return encodeDaemonResponse(
        signedAnswer(decodePinchRequest(requestBody), key, 37, 1700000000123));
}

// The cheapest HTTP/1.1 server we could write, so that what is timed is the client (cpp-httplib's
// server made the bare POST several times slower): on 127.0.0.1, a blocking thread per
// connection, keep-alive without limit, TCP_NODELAY, and to every request 200 with answerTo(body).
class FloorServer {
public:
    FloorServer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 16) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("exchange_bench: cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            for (int fd; (fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                ++accepted;
                connections_.push_back(fd);
                servers_.emplace_back([this, fd] { serve(fd); });
            }
        });
    }
    ~FloorServer() {
        ::shutdown(listener_, SHUT_RDWR); // ends accept4
        acceptor_.join();
        for (int fd : connections_)
            ::shutdown(fd, SHUT_RDWR);
        for (auto& server : servers_)
            server.join();
        for (int fd : connections_)
            ::close(fd);
        ::close(listener_);
    }
    int port = 0;
    std::atomic<int> accepted = 0; // 1 means the client reused its connection throughout
    std::atomic<int> served = 0;

private:
    void serve(int fd) {
        std::string pending;
        for (char chunk[16 * 1024];;) {
            const auto headEnd = pending.find("\r\n\r\n");
            std::string head = pending.substr(0, headEnd == std::string::npos ? 0 : headEnd + 2);
            std::transform(head.begin(), head.end(), head.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            const auto lengthAt = head.find("\r\ncontent-length:");
            const std::size_t end =
                head.empty()
                    ? std::string::npos
                    : headEnd + 4 +
                          (lengthAt == std::string::npos ? 0
                                                         : std::stoul(head.substr(lengthAt + 17)));
            if (end == std::string::npos || pending.size() < end) {
                const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0)
                    return;
                pending.append(chunk, std::size_t(n));
                continue;
            }
            const std::string body = answerTo(pending.substr(headEnd + 4, end - headEnd - 4));
            pending.erase(0, end);
            ++served;
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                      "Content-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body;
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size()))
                return;
        }
    }

    const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::thread acceptor_;
    std::vector<int> connections_; // the acceptor's until it is joined
    std::vector<std::thread> servers_;
};

// The request body the client sends, for a floor body of the same size.
QByteArray typicalRequestBody(const QString& prompt, const QString& bPubKey) {
    return QByteArray::fromStdString(
        encodePinchRequest(PinchRequest{.bPubKey = bPubKey.toStdString(),
                                        .bSig = std::string(128, 'a'),
                                        .costCap = pinchCostCap,
                                        .pinchId = "0192f3a4-5b6c-7d8e-9f01-23456789abcd",
                                        .prompt = prompt.toStdString(),
                                        .requestedAt = 1700000000}));
}

// What one side of the comparison saw while it ran.
struct Side {
    std::vector<double> latencyMicros;
    std::vector<double> stallMillis;
    // GUI-thread CPU time between two ticks of the probe: the event loop's longest stretch of
    // work of its own, whatever the machine's other load did to the wall clock.
    std::vector<double> busyMillis;
    double guiCpuMicros = 0;
    int failures = 0;
};

// The client's own necessary work, raw libsodium on a typical message: one signature and one
// verification (median of many). Added to the floor, it shows what no client could avoid.
double necessaryCryptoMicros(std::size_t messageSize) {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    const std::vector<unsigned char> message(messageSize, 'x');
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    std::vector<double> signing, verifying;
    for (int i = 0; i < 300; ++i) {
        auto start = Clock::now();
        crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                             secretKey.data());
        signing.push_back(microsSince(start));
        start = Clock::now();
        if (crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                        publicKey.data()) != 0)
            qFatal("exchange_bench: libsodium rejects its own signature");
        verifying.push_back(microsSince(start));
    }
    return bench::median(signing) + bench::median(verifying);
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const bool inWindow = app.arguments().contains(QStringLiteral("--window"));
    const int exchanges = bench::intOption(app.arguments(), QStringLiteral("--exchanges"), 2000);
    ensureSodium();

    QQmlApplicationEngine engine;
    std::unique_ptr<ContentView> ownView;
    if (!inWindow) {
        ownView = std::make_unique<ContentView>();
        bench::waitUntilReady(*ownView);
    }
    ContentView& view = inWindow ? bench::loadWindow(engine) : *ownView;
    FloorServer server;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/pinch").arg(server.port));
    view.setDaemonURL(url.toString());
    const QByteArray floorBody = typicalRequestBody(view.prompt(), view.state()->bPubKeyHex());
    const double cryptoBefore = necessaryCryptoMicros(std::size_t(floorBody.size()));

    // Each round runs both sides, alternating which goes first. Each step starts through the
    // event loop, as a person's next press would.
    Side ours, floor;
    Side* running = nullptr;
    bool recording = false;
    int step = 0;
    Clock::time_point started;
    double startedCpu = 0;
    std::function<void()> next;
    const auto finished = [&](bool ok) {
        if (recording) {
            running->latencyMicros.push_back(microsSince(started));
            running->guiCpuMicros += bench::threadCpuMicros() - startedCpu;
            running->failures += ok ? 0 : 1;
        }
        running = nullptr;
        QTimer::singleShot(0, next);
    };
    next = [&] {
        const int round = step / 2;
        if (round == warmupRounds + exchanges)
            return QCoreApplication::quit();
        const bool oursNow = (round % 2 == 0) == (step++ % 2 == 0);
        recording = round >= warmupRounds;
        running = oursNow ? &ours : &floor;
        startedCpu = bench::threadCpuMicros();
        started = Clock::now();
        if (oursNow)
            return view.send();
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        QNetworkReply* reply = sharedNetworkManager().post(request, floorBody);
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            reply->deleteLater();
            finished(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                     !reply->readAll().isEmpty());
        });
    };
    QObject::connect(&view, &ContentView::exchangeFinished,
                     [&] { finished(view.sigValid() == QVariant(true)); });
    bench::GuiProbe probe([&](double late, double busy) {
        if (recording && running) {
            running->stallMillis.push_back(late);
            running->busyMillis.push_back(busy);
        }
    });
    probe.start();
    next();
    app.exec();
    probe.stop();

    const double crypto = (cryptoBefore + necessaryCryptoMicros(std::size_t(floorBody.size()))) / 2;
    const double oursP50 = bench::percentile(ours.latencyMicros, 50);
    const double floorP50 = bench::percentile(floor.latencyMicros, 50);
    const double oursStall = bench::percentile(ours.stallMillis, 100);
    const double oursBusy = bench::percentile(ours.busyMillis, 100);
    std::printf("%s, %d exchanges per side after %d warm-up rounds, interleaved\n\n",
                inWindow ? "ContentView inside the QML window" : "ContentView alone", exchanges,
                warmupRounds);
    bench::printTableHead();
    bench::printRatioRow("round trip p50 (us)", 0, floorP50, oursP50, 2);
    bench::printRow("floor p50 + one raw sign and verify (us)", 0, floorP50 + crypto, oursP50);
    bench::printRow("round trip p99 (us)", 0, bench::percentile(floor.latencyMicros, 99),
                    bench::percentile(ours.latencyMicros, 99));
    bench::printRow("GUI-thread CPU per exchange (us)", 0, floor.guiCpuMicros / exchanges,
                    ours.guiCpuMicros / exchanges);
    bench::printRow("longest GUI stall, wall clock (ms)", 2,
                    bench::percentile(floor.stallMillis, 100), oursStall, "ours <= 4 ms",
                    oursStall <= 4);
    bench::printRow("longest GUI-thread busy stretch (ms CPU)", 2,
                    bench::percentile(floor.busyMillis, 100), oursBusy, "ours <= 4 ms",
                    oursBusy <= 4);
    std::printf("\nconnections the server accepted: %d for %d requests; failed exchanges: ours %d, "
                "floor %d\n",
                int(server.accepted), int(server.served), ours.failures, floor.failures);
    return ours.failures + floor.failures == 0 ? 0 : 1;
}

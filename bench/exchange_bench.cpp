// What a press of Send costs beyond the network round trip itself. One process runs, in turn,
// a full exchange through ContentView::send() and a bare POST of a body of the same size
// through the same shared network manager (the floor), both against a loopback server that
// answers each with a signed answer naming its pinch, as a daemon does. A 1 ms timer measures
// how long the GUI thread's event loop is kept from its work meanwhile. After the warm-up,
// resident memory must not keep growing and the open descriptors must come back to where they
// were: the soak, with many exchanges. Exits 1 when an exchange fails or these goals are missed.
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

#include <QDir>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QQmlApplicationEngine>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vorlund;
using Clock = std::chrono::steady_clock;

constexpr int warmupRounds = 500;
constexpr long growthGoalKiB = 1024;

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
// server made the bare POST several times slower): on 127.0.0.1, in a thread of its own, one
// connection kept alive throughout (the client reuses it for every request), TCP_NODELAY, and to
// every request 200 with answerTo(body).
class FloorServer {
public:
    FloorServer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            qFatal("exchange_bench: cannot listen on 127.0.0.1");
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int on = 1;
            ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            serve();
        });
    }
    ~FloorServer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::shutdown(connection_, SHUT_RDWR);
        thread_.join();
        ::close(connection_);
        ::close(listener_);
    }

    int port = 0;

private:
    void serve() {
        std::string pending;
        for (char chunk[16 * 1024];;) {
            const auto headEnd = pending.find("\r\n\r\n");
            const auto lengthAt = pending.find("Content-Length: ");
            const std::size_t end =
                headEnd == std::string::npos || lengthAt > headEnd
                    ? std::string::npos
                    : headEnd + 4 + std::stoul(pending.substr(lengthAt + 16, 12));
            if (end == std::string::npos || pending.size() < end) {
                const ssize_t n = ::recv(connection_, chunk, sizeof chunk, 0);
                if (n <= 0)
                    return;
                pending.append(chunk, std::size_t(n));
                continue;
            }
            const std::string body = answerTo(pending.substr(headEnd + 4, end - headEnd - 4));
            pending.erase(0, end);
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                      "Content-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body;
            if (::send(connection_, reply.data(), reply.size(), MSG_NOSIGNAL) !=
                ssize_t(reply.size()))
                return;
        }
    }

    const int listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<int> connection_ = -1;
    std::thread thread_;
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

// What one side of the comparison saw while it ran. The latencies' room is taken and written
// at the start, so that it does not count as growth.
struct Side {
    explicit Side(int exchanges) : latencyMicros(std::size_t(exchanges)) {}
    std::vector<double> latencyMicros;
    int recorded = 0;
    double longestStallMillis = 0;
    // GUI-thread CPU time between two ticks of the probe: the event loop's longest stretch of
    // work of its own, whatever the machine's other load did to the wall clock.
    double longestBusyMillis = 0;
    double guiCpuMicros = 0;
    int failures = 0;
};

// The client's own necessary work, raw libsodium on a typical message: one signature and one
// verification (the median of many). Added to the floor, it shows what no client could avoid.
double necessaryCryptoMicros(std::size_t messageSize) {
    std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> publicKey{};
    std::array<unsigned char, crypto_sign_SECRETKEYBYTES> secretKey{};
    crypto_sign_keypair(publicKey.data(), secretKey.data());
    const std::vector<unsigned char> message(messageSize, 'x');
    std::array<unsigned char, crypto_sign_BYTES> signature{};
    std::vector<double> micros;
    for (int i = 0; i < 300; ++i) {
        const auto start = Clock::now();
        crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                             secretKey.data());
        if (crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                        publicKey.data()) != 0)
            qFatal("exchange_bench: libsodium rejects its own signature");
        micros.push_back(microsSince(start));
    }
    return bench::median(micros);
}

// Resident memory and open descriptors, once queued deletions and closing connections settled.
struct Footprint {
    long rssKiB = 0;
    int fds = 0;
};

Footprint footprint() {
    bench::settle(300);
    // Less the descriptor the listing itself holds open.
    const auto fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    return {long(bench::residentBytes() / 1024), int(fds.size()) - 1};
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const bool inWindow = app.arguments().contains(QStringLiteral("--window"));
    const qsizetype count = app.arguments().indexOf(QStringLiteral("--exchanges")) + 1;
    const int exchanges = count > 0 ? app.arguments().value(count).toInt() : 2000;
    if (exchanges < 1)
        qFatal("usage: exchange_bench [--window] [--exchanges N], N at least 1");
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
    Side ours(exchanges), floor(exchanges);
    Side* running = nullptr;
    bool recording = false;
    int step = 0;
    Clock::time_point started;
    double startedCpu = 0;
    Footprint afterWarmup;
    std::function<void()> next;
    const auto finished = [&](bool ok) {
        if (recording) {
            running->latencyMicros[std::size_t(running->recorded++)] = microsSince(started);
            running->guiCpuMicros += bench::threadCpuMicros() - startedCpu;
            running->failures += ok ? 0 : 1;
        }
        running = nullptr;
        QTimer::singleShot(0, next);
    };
    next = [&] {
        const int round = step / 2;
        if (step == 2 * warmupRounds)
            afterWarmup = footprint();
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
            running->longestStallMillis = std::max(running->longestStallMillis, late);
            running->longestBusyMillis = std::max(running->longestBusyMillis, busy);
        }
    });
    probe.start();
    next();
    app.exec();
    probe.stop();
    const Footprint atEnd = footprint();

    const double crypto = (cryptoBefore + necessaryCryptoMicros(std::size_t(floorBody.size()))) / 2;
    const double oursP50 = bench::percentile(ours.latencyMicros, 50);
    const double floorP50 = bench::percentile(floor.latencyMicros, 50);
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
    bench::printRow("longest GUI stall, wall clock (ms)", 2, floor.longestStallMillis,
                    ours.longestStallMillis, "ours <= 4 ms", ours.longestStallMillis <= 4);
    bench::printRow("longest GUI-thread busy stretch (ms CPU)", 2, floor.longestBusyMillis,
                    ours.longestBusyMillis, "ours <= 4 ms", ours.longestBusyMillis <= 4);
    const long growth = atEnd.rssKiB - afterWarmup.rssKiB;
    std::printf("\nfailed exchanges: ours %d, floor %d\n"
                "resident memory: %ld KiB after the warm-up, %ld KiB at the end: growth %ld KiB "
                "(goal < %ld KiB, %s)\n"
                "open descriptors: %d after the warm-up, %d at the end (goal: the same, %s)\n",
                ours.failures, floor.failures, afterWarmup.rssKiB, atEnd.rssKiB, growth,
                growthGoalKiB, bench::verdict(growth < growthGoalKiB), afterWarmup.fds, atEnd.fds,
                bench::verdict(atEnd.fds == afterWarmup.fds));
    const bool met = growth < growthGoalKiB && atEnd.fds == afterWarmup.fds;
    return ours.failures + floor.failures == 0 && met ? 0 : 1;
}

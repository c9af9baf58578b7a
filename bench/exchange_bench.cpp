// What a press of Send costs beyond the network round trip itself, and the soak. Exchanges
// through ContentView::send() take turns with bare POSTs of a body of the same size through the
// same network manager (the floor), both to a loopback server that answers with a signed answer
// naming the pinch. A 1 ms timer measures how long the GUI thread's event loop is kept from its
// work. After the warm-up, resident memory must not keep growing and the open descriptors must
// come back to where they were. Exits 1 when an exchange fails or these goals are missed.
//
// exchange_bench [--window] [--exchanges N] [--warmup N]
//   --window  loads the real QML window around the view, so bindings and frames count too.
#include "bench.h"
#include "pinch_answer.h"

#include "exchange/pinch_exchange.h"
#include "protocol/sodium.h"

#include <sodium.h>

#include <QDir>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QtQml/qqmlextensionplugin.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace {

using namespace vorlund;

// The cheapest HTTP/1.1 server we could write, so that what is timed is the client (cpp-httplib's
// server made the bare POST several times slower): one connection kept alive throughout (the
// client reuses it), TCP_NODELAY, and to every request 200 with the demo daemon's answer to
// its body, signed anew: the same work for both sides.
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
        thread_ = std::thread([this] { serve(); });
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
        connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const int on = 1;
        ::setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const SigningKey key = SigningKey::generate();
        std::string pending;
        for (char chunk[16 * 1024];;) {
            const auto head = pending.find("\r\n\r\n"), length = pending.find("Content-Length: ");
            const std::size_t end = head == std::string::npos || length > head
                                        ? std::string::npos
                                        : head + 4 + std::stoul(pending.substr(length + 16, 12));
            if (end == std::string::npos || pending.size() < end) {
                const ssize_t n = ::recv(connection_, chunk, sizeof chunk, 0);
                if (n <= 0)
                    return;
                pending.append(chunk, std::size_t(n));
                continue;
            }
            const std::string body = encodeDaemonResponse(
                signedAnswer(decodePinchRequest(pending.substr(head + 4, end - head - 4)), key, 37,
                             1700000000123));
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

// What one side of the comparison saw while it ran. The latencies' room is taken and written
// at the start, so that it does not count as growth.
struct Side {
    explicit Side(int exchanges) : latencyMicros(std::size_t(exchanges)) {}
    std::vector<double> latencyMicros;
    int recorded = 0, failures = 0;
    double longestStallMillis = 0, longestBusyMillis = 0, guiCpuMicros = 0;
};

// The client's own necessary work, raw libsodium on a message of that size: one signature and
// one verification (the median of many). Added to the floor, it shows what no client could avoid.
double necessaryCryptoMicros(std::size_t messageSize) {
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES],
        signature[crypto_sign_BYTES];
    crypto_sign_keypair(publicKey, secretKey);
    const std::vector<unsigned char> message(messageSize, 'x');
    std::vector<double> micros;
    for (int i = 0; i < 300; ++i) {
        const double start = bench::monotonicMillis();
        crypto_sign_detached(signature, nullptr, message.data(), message.size(), secretKey);
        if (crypto_sign_verify_detached(signature, message.data(), message.size(), publicKey) != 0)
            qFatal("exchange_bench: libsodium rejects its own signature");
        micros.push_back((bench::monotonicMillis() - start) * 1e3);
    }
    return bench::median(micros);
}

// Resident memory (KiB) and open descriptors (less the listing's own), once queued deletions
// and closing connections settled.
std::pair<long, int> footprint() {
    bench::settle(300);
    const auto fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    return {bench::statusKiB("self", "VmRSS"), int(fds.size()) - 1};
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool inWindow = arguments.contains("--window");
    auto option = [&](const char* name, int otherwise) {
        const qsizetype at = arguments.indexOf(QLatin1String(name));
        return at < 0 ? otherwise : arguments.value(at + 1).toInt();
    };
    const int exchanges = option("--exchanges", 2000), warmup = option("--warmup", 500);
    if (exchanges < 1 || warmup < 0)
        qFatal("usage: exchange_bench [--window] [--exchanges N] [--warmup N]");
    ensureSodium();

    QQmlApplicationEngine engine;
    std::optional<ContentView> alone;
    if (!inWindow)
        bench::waitUntilReady(alone.emplace());
    ContentView& view = inWindow ? *bench::loadWindow(engine).second : *alone;
    FloorServer server;
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/pinch").arg(server.port));
    view.setDaemonURL(url.toString());
    // A request as the client makes it, so that the floor's body has the same size.
    const QByteArray floorBody = QByteArray::fromStdString(encodePinchRequest(
        {view.state()->bPubKeyHex().toStdString(), std::string(128, 'a'), pinchCostCap,
         "0192f3a4-5b6c-7d8e-9f01-23456789abcd", view.prompt().toStdString(), 1700000000}));

    // Each round runs both sides, alternating which goes first. Each step starts through the
    // event loop, as a person's next press would.
    Side ours(exchanges), floor(exchanges);
    Side* running = nullptr;
    bool recording = false;
    int step = 0;
    double startedMillis = 0, startedCpu = 0;
    std::pair<long, int> afterWarmup = footprint();
    std::function<void()> next;
    const auto finished = [&](bool ok) {
        if (recording) {
            running->latencyMicros[std::size_t(running->recorded++)] =
                (bench::monotonicMillis() - startedMillis) * 1e3;
            running->guiCpuMicros += bench::threadCpuMicros() - startedCpu;
            running->failures += ok ? 0 : 1;
        }
        running = nullptr;
        QTimer::singleShot(0, next);
    };
    next = [&] {
        const int round = step / 2;
        if (step == 2 * warmup && warmup > 0)
            afterWarmup = footprint();
        if (round == warmup + exchanges)
            return QCoreApplication::quit();
        const bool oursNow = (round % 2 == 0) == (step++ % 2 == 0);
        recording = round >= warmup;
        running = oursNow ? &ours : &floor;
        startedCpu = bench::threadCpuMicros();
        startedMillis = bench::monotonicMillis();
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
    next();
    app.exec();
    probe.stop();
    const auto [rssKiB, fds] = footprint();

    const double crypto = necessaryCryptoMicros(std::size_t(floorBody.size()));
    const double oursP50 = bench::median(ours.latencyMicros);
    const double floorP50 = bench::median(floor.latencyMicros);
    std::printf("%s, %d exchanges per side after %d warm-up rounds, interleaved\n\n",
                inWindow ? "ContentView inside the QML window" : "ContentView alone", exchanges,
                warmup);
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
    const long growth = rssKiB - afterWarmup.first, growthGoalKiB = 1024;
    const bool met = growth < growthGoalKiB && fds == afterWarmup.second;
    std::printf("\nfailed exchanges: ours %d, floor %d\n"
                "resident memory: %ld KiB after the warm-up, %ld KiB at the end: growth %ld KiB "
                "(goal < %ld KiB, %s)\n"
                "open descriptors: %d after the warm-up, %d at the end (goal: the same, %s)\n",
                ours.failures, floor.failures, afterWarmup.first, rssKiB, growth, growthGoalKiB,
                bench::verdict(growth < growthGoalKiB), afterWarmup.second, fds,
                bench::verdict(fds == afterWarmup.second));
    return ours.failures + floor.failures == 0 && met ? 0 : 1;
}

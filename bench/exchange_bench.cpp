// What a press of Send costs beyond the network round trip itself. One process runs, in turn,
// a full exchange through ContentView::send() and a bare POST of a body of the same size
// through the same shared network manager (the floor), both against a loopback server that
// answers each with a signed answer naming its pinch, as a daemon does. A 1 ms timer measures
// how long the GUI thread's event loop is kept from its work meanwhile.
//
// exchange_bench [--window] [--exchanges N] [--warmup N]
//   --window  loads the real QML window around the view, so bindings and frames count too.
#include "bench_support.h"
#include "keep_alive_server.h"
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

#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vorlund;
using Clock = std::chrono::steady_clock;
using bench::threadCpuMicros;

struct Options {
    bool window = false;
    int exchanges = 2000;
    int warmup = 200;
};

Options parseOptions(const QStringList& arguments) {
    Options options;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& name = arguments[i];
        if (name == QLatin1String("--window"))
            options.window = true;
        else if (name == QLatin1String("--exchanges") && i + 1 < arguments.size())
            options.exchanges = arguments[++i].toInt();
        else if (name == QLatin1String("--warmup") && i + 1 < arguments.size())
            options.warmup = arguments[++i].toInt();
        else
            qFatal("usage: exchange_bench [--window] [--exchanges N] [--warmup N]");
    }
    return options;
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
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

// The request body the client sends, for a floor body of the same size.
std::string typicalRequestBody(const QString& prompt, const QString& bPubKey) {
    return encodePinchRequest(PinchRequest{.bPubKey = bPubKey.toStdString(),
                                           .bSig = std::string(128, 'a'),
                                           .costCap = pinchCostCap,
                                           .pinchId = "0192f3a4-5b6c-7d8e-9f01-23456789abcd",
                                           .prompt = prompt.toStdString(),
                                           .requestedAt = 1700000000});
}

// The demo daemon's answer to a request, signed anew for each: the same work for both sides.
std::string answerTo(const std::string& requestBody) {
    static const SigningKey key = SigningKey::generate();
    return encodeDaemonResponse(
        signedAnswer(decodePinchRequest(requestBody), key, 37, 1700000000123));
}

class Bench {
public:
    Bench(ContentView& view, const Options& options, const QString& url, std::string floorBody)
        : view_(view), options_(options), url_(url),
          floorBody_(QByteArray::fromStdString(floorBody)) {
        QObject::connect(&view_, &ContentView::exchangeFinished, [this] { oursFinished(); });
    }

    void start() {
        probe_.start();
        next();
    }

    const Side& ours() const { return ours_; }
    const Side& floor() const { return floor_; }

private:
    enum class Running { nothing, ours, floor };

    Side& side() { return running_ == Running::ours ? ours_ : floor_; }

    // Each round runs both sides, alternating which goes first.
    void next() {
        if (round_ == options_.warmup + options_.exchanges) {
            probe_.stop();
            QCoreApplication::quit();
            return;
        }
        recording_ = round_ >= options_.warmup;
        const bool oursFirst = round_ % 2 == 0;
        const bool oursNow = oursFirst == (stepInRound_ == 0);
        if (++stepInRound_ == 2) {
            stepInRound_ = 0;
            ++round_;
        }
        startedCpu_ = threadCpuMicros();
        started_ = Clock::now();
        if (oursNow) {
            running_ = Running::ours;
            view_.send();
        } else {
            running_ = Running::floor;
            postFloor();
        }
    }

    void postFloor() {
        QNetworkRequest request{QUrl(url_)};
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        QNetworkReply* reply = sharedNetworkManager().post(request, floorBody_);
        QObject::connect(reply, &QNetworkReply::finished, [this, reply] {
            const bool ok =
                reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200 &&
                !reply->readAll().isEmpty();
            reply->deleteLater();
            finished(ok);
        });
    }

    void oursFinished() { finished(view_.sigValid() == QVariant(true)); }

    void finished(bool ok) {
        const double latency = microsSince(started_);
        if (recording_) {
            Side& s = side();
            s.latencyMicros.push_back(latency);
            s.guiCpuMicros += threadCpuMicros() - startedCpu_;
            if (!ok)
                ++s.failures;
        }
        running_ = Running::nothing;
        // Through the event loop, as a person's next press would be.
        QTimer::singleShot(0, [this] { next(); });
    }

    void probed(double lateMillis, double busyMillis) {
        if (recording_ && running_ != Running::nothing) {
            side().stallMillis.push_back(lateMillis);
            side().busyMillis.push_back(busyMillis);
        }
    }

    ContentView& view_;
    const Options options_;
    const QString url_;
    const QByteArray floorBody_;
    bench::GuiProbe probe_{[this](double late, double busy) { probed(late, busy); }};
    Clock::time_point started_;
    double startedCpu_ = 0;
    int round_ = 0;
    int stepInRound_ = 0;
    bool recording_ = false;
    Running running_ = Running::nothing;
    Side ours_;
    Side floor_;
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

// One table row; goal and verdict are empty for figures that only inform.
void printRow(const char* measure, int decimals, double floor, double ours, const char* goal = "",
              const char* verdict = "") {
    std::printf("| %s | %.*f | %.*f | ", measure, decimals, floor, decimals, ours);
    if (floor > 0)
        std::printf("%.2f", ours / floor);
    std::printf(" | %s | %s |\n", goal, verdict);
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const Options options = parseOptions(app.arguments());
    ensureSodium();

    QQmlApplicationEngine engine;
    std::unique_ptr<ContentView> ownView;
    ContentView* view = nullptr;
    if (options.window) {
        view = &bench::loadWindow(engine);
    } else {
        ownView = std::make_unique<ContentView>();
        view = ownView.get();
        bench::waitUntilReady(*view);
    }

    const QString bPubKey = view->state()->bPubKeyHex();
    bench::KeepAliveServer server(answerTo);
    const QString url = QStringLiteral("http://127.0.0.1:%1/pinch").arg(server.port());
    view->setDaemonURL(url);

    const std::string requestBody = typicalRequestBody(view->prompt(), bPubKey);
    const double cryptoBefore = necessaryCryptoMicros(requestBody.size());
    Bench driver(*view, options, url, requestBody);
    driver.start();
    app.exec();

    const double crypto = (cryptoBefore + necessaryCryptoMicros(requestBody.size())) / 2;
    const Side& ours = driver.ours();
    const Side& floor = driver.floor();
    const double oursP50 = bench::percentile(ours.latencyMicros, 50);
    const double floorP50 = bench::percentile(floor.latencyMicros, 50);
    const double oursP99 = bench::percentile(ours.latencyMicros, 99);
    const double floorP99 = bench::percentile(floor.latencyMicros, 99);
    const double oursStall = bench::percentile(ours.stallMillis, 100);
    const double floorStall = bench::percentile(floor.stallMillis, 100);
    const double n = double(options.exchanges);

    std::printf("%s, %d exchanges per side after %d warm-up rounds, interleaved\n\n",
                options.window ? "ContentView inside the QML window" : "ContentView alone",
                options.exchanges, options.warmup);
    std::printf("| measure | floor | ours | ratio | goal | |\n|---|---|---|---|---|---|\n");
    printRow("round trip p50 (us)", 0, floorP50, oursP50, "ratio <= 2",
             bench::verdict(oursP50 / floorP50, 2.0));
    printRow("floor p50 + one raw sign and verify (us)", 0, floorP50 + crypto, oursP50);
    printRow("round trip p99 (us)", 0, floorP99, oursP99);
    printRow("GUI-thread CPU per exchange (us)", 0, floor.guiCpuMicros / n, ours.guiCpuMicros / n);
    printRow("longest GUI stall, wall clock (ms)", 2, floorStall, oursStall, "ours <= 4 ms",
             bench::verdict(oursStall, 4.0));
    printRow("GUI stall p99.9 (ms)", 2, bench::percentile(floor.stallMillis, 99.9),
             bench::percentile(ours.stallMillis, 99.9));
    const double oursBusy = bench::percentile(ours.busyMillis, 100);
    printRow("longest GUI-thread busy stretch (ms CPU)", 2,
             bench::percentile(floor.busyMillis, 100), oursBusy, "ours <= 4 ms",
             bench::verdict(oursBusy, 4.0));
    std::printf("\nconnections the server accepted: %d for %d requests; failed exchanges: ours %d, "
                "floor %d\n",
                server.connectionsAccepted(), server.requestsServed(), ours.failures,
                floor.failures);
    return ours.failures + floor.failures == 0 ? 0 : 1;
}

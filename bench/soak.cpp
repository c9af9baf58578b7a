// Many exchanges in one window against the demo daemon (its own process, so what is measured
// here is the client alone): after the warm-up, resident memory must not keep growing and the
// open file descriptors must come back to where they were.
//
// soak [--exchanges N]    exits 1 when a goal is missed or an exchange fails
#include "bench_support.h"
#include "stats.h"

#include "ui/content_view.h"

#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QTcpServer>

#include <cstdio>

namespace {

using namespace vorlund;

constexpr int warmup = 500;
constexpr long rssGrowthGoalKiB = 1024;

struct Sample {
    long rssKiB;
    int fds;
};

// Lets queued deletions and closing connections settle first.
Sample sample() {
    bench::settle(300);
    // Less the descriptor the listing itself holds open.
    const auto fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    return {long(bench::residentBytes() / 1024), int(fds.size()) - 1};
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const int exchanges = bench::intOption(app.arguments(), QStringLiteral("--exchanges"), 10'000);
    if (exchanges <= warmup)
        qFatal("soak: give more than %d exchanges", warmup);

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QStringLiteral(DEMO_DAEMON_PATH), {QStringLiteral("--port"), port});
    QByteArray daemonSays;
    if (!bench::waitFor([&] { return (daemonSays += daemon.readAll()).contains("url: "); }, 10'000))
        qFatal("soak: the demo daemon did not start");

    ContentView view;
    view.setDaemonURL(QStringLiteral("http://127.0.0.1:%1/pinch").arg(port));
    bench::waitUntilReady(view);

    const Sample beforeFirst = sample();
    Sample afterWarmup{};
    int failures = 0;
    QString firstFailure;
    QElapsedTimer clock;
    clock.start();
    for (int done = 1; done <= exchanges; ++done) {
        if ((!bench::sendAndWait(view) || view.sigValid() != QVariant(true)) && failures++ == 0)
            firstFailure = view.errorText().toString();
        if (done == warmup)
            afterWarmup = sample();
    }
    const double seconds = double(clock.elapsed()) / 1000.0;
    const Sample atEnd = sample();
    daemon.terminate();
    daemon.waitForFinished(5000);

    const long growth = atEnd.rssKiB - afterWarmup.rssKiB;
    const bool memoryMet = growth < rssGrowthGoalKiB;
    const bool fdsMet = atEnd.fds == afterWarmup.fds;
    std::printf("soak: %d exchanges in %.1f s, %d failed%s%s\n", exchanges, seconds, failures,
                failures ? ", the first with: " : "", qPrintable(firstFailure.left(200)));
    std::printf("resident memory: %ld KiB before the first exchange, %ld KiB after %d, %ld KiB "
                "after %d: growth %ld KiB (goal < %ld KiB, %s)\n",
                beforeFirst.rssKiB, afterWarmup.rssKiB, warmup, atEnd.rssKiB, exchanges, growth,
                rssGrowthGoalKiB, bench::verdict(memoryMet));
    std::printf("open descriptors: %d before the first exchange, %d after %d, %d after %d (goal: "
                "back to %d, %s)\n",
                beforeFirst.fds, afterWarmup.fds, warmup, atEnd.fds, exchanges, afterWarmup.fds,
                bench::verdict(fdsMet));
    return memoryMet && fdsMet && failures == 0 ? 0 : 1;
}

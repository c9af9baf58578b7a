// Many exchanges in one window against the demo daemon (its own process, so what is measured
// here is the client alone): after the warm-up, resident memory must not keep growing and the
// open file descriptors must come back to where they were.
//
// soak [--exchanges N] [--warmup N]    exits 1 when a goal is missed or an exchange fails
#include "bench_support.h"
#include "peak_growth.h"

#include "ui/content_view.h"

#include "protocol/sodium.h"

#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QTcpServer>

#include <cstdio>

namespace {

using namespace vorlund;

constexpr long rssGrowthGoalKiB = 1024;

int openDescriptors() {
    // Less the one the listing itself holds open.
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size()) -
           1;
}

struct Sample {
    long rssKiB;
    int fds;
};

// Lets queued deletions and closing connections settle first.
Sample sample() {
    bench::settle(300);
    return {long(test::residentBytes() / 1024), openDescriptors()};
}

} // namespace

int main(int argc, char* argv[]) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    ensureSodium();

    int exchanges = 10'000;
    int warmup = 500;
    const QStringList arguments = app.arguments();
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--exchanges"))
            exchanges = arguments[i + 1].toInt();
        else if (arguments[i] == QLatin1String("--warmup"))
            warmup = arguments[i + 1].toInt();
    }
    if (warmup < 1 || exchanges <= warmup)
        qFatal("usage: soak [--exchanges N] [--warmup N], with N of exchanges above the warm-up");

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const QString port = QString::number(probe.serverPort());
    probe.close();
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QStringLiteral(DAEMON_PATH), {QStringLiteral("--port"), port});
    QByteArray daemonSays;
    if (!bench::waitFor([&] { return (daemonSays += daemon.readAll()).contains("url: "); }, 10'000))
        qFatal("soak: the demo daemon did not start");

    ContentView view;
    view.setDaemonURL(QStringLiteral("http://127.0.0.1:%1/pinch").arg(port));
    bench::waitUntilReady(view);

    const Sample beforeFirst = sample();
    int done = 0;
    int failures = 0;
    QString firstFailure;
    QElapsedTimer clock;
    clock.start();
    Sample afterWarmup{};
    QObject::connect(&view, &ContentView::exchangeFinished, [&] {
        if (view.sigValid() != QVariant(true) && failures++ == 0)
            firstFailure = view.errorText().toString();
        ++done;
        QTimer::singleShot(0, &view, [&] {
            if (done == warmup)
                afterWarmup = sample();
            if (done == exchanges)
                QCoreApplication::quit();
            else
                view.send();
        });
    });
    view.send();
    app.exec();
    const double seconds = clock.elapsed() / 1000.0;
    const Sample atEnd = sample();
    daemon.terminate();
    daemon.waitForFinished(5000);

    const long growth = atEnd.rssKiB - afterWarmup.rssKiB;
    const bool memoryMet = growth < rssGrowthGoalKiB;
    const bool fdsMet = atEnd.fds == afterWarmup.fds;
    std::printf("soak: %d exchanges in %.1f s, %d failed%s%s\n", exchanges, seconds, failures,
                failures ? ", the first with: " : "", qPrintable(firstFailure));
    std::printf("resident memory: %ld KiB before the first exchange, %ld KiB after %d, %ld KiB "
                "after %d: growth %ld KiB (goal < %ld KiB, %s)\n",
                beforeFirst.rssKiB, afterWarmup.rssKiB, warmup, atEnd.rssKiB, exchanges, growth,
                rssGrowthGoalKiB, memoryMet ? "met" : "missed");
    std::printf("open descriptors: %d before the first exchange, %d after %d, %d after %d (goal: "
                "back to %d, %s)\n",
                beforeFirst.fds, afterWarmup.fds, warmup, atEnd.fds, exchanges, afterWarmup.fds,
                fdsMet ? "met" : "missed");
    return memoryMet && fdsMet && failures == 0 ? 0 : 1;
}

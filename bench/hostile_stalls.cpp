// Presses Send against daemons whose answers are large or costly to show, first on a bare
// ContentView and then in the real window, and reports per case the GUI thread's longest
// stretch of work (CPU time between two ticks of a 1 ms timer), how far the process's peak
// memory rose, and for repeated sends the resident memory after the first and the last. Each
// daemon runs in a process of its own, so that only the client's memory counts.
// Usage: hostile_stalls [name part]
#include "bench_support.h"
#include "scripted_daemon.h"
#include "stats.h"

#include "ui/content_view.h"

#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

#include <cstdio>
#include <utility>
#include <vector>

using namespace vorlund;

namespace {

// Longer than this and a user notices the window freeze.
constexpr double busyGoalMs = 50;

// What the window shows after the case, on one line of a table.
QString outcomeText(const ContentView& view, bool finished) {
    QString text = !finished ? QStringLiteral("(did not finish)")
                   : view.errorText().isValid()
                       ? view.errorText().toString().left(61)
                       : QStringLiteral("answer shown, %1 characters").arg(view.response().size());
    text.replace(u'\n', u' ').replace(u'|', u'/');
    if (text.size() <= 60)
        return text;
    text.truncate(text.at(58).isHighSurrogate() ? 58 : 59);
    return text + QChar(0x2026);
}

// Serves the case in this process until its standard input closes.
int serveCase(const nlohmann::json& hostile) {
    const SigningKey key = SigningKey::generate();
    const test::ScriptedDaemon daemon(hostile.at("daemon"), key);
    std::printf("%d\n", daemon.port());
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

QString mib(qint64 bytes) {
    return QString::number(double(bytes) / (1 << 20), 'f', 0);
}

// Presses Send and lets the window lay the outcome out and draw it; whether the exchange ended.
bool sendAndShow(ContentView& view) {
    bool finished = false;
    const auto connection =
        QObject::connect(&view, &ContentView::exchangeFinished, [&] { finished = true; });
    view.send();
    bench::waitFor([&] { return finished; }, 120'000);
    QObject::disconnect(connection);
    bench::settle(150);
    return finished;
}

// Runs the case; what the window shows, and the figures as table cells: the busy stretch, the
// goal, the peak growth and the resident memory after the first send and the last.
std::pair<QString, QString> measure(ContentView& view, QQuickWindow* window,
                                    const nlohmann::json& hostile, std::size_t place) {
    const QString name = QString::fromStdString(hostile.at("name"));
    const int sends = hostile.value("sends", 1), resizes = hostile.value("resizes", 0);
    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    daemon.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--serve"), QString::number(place)});
    if (!daemon.waitForReadyRead(30'000))
        qFatal("the daemon of %s did not start", qPrintable(name));
    const int port = daemon.readLine().trimmed().toInt();
    // Each case starts from an empty answer, as a fresh window would: the last case's answer
    // freed during this one would hide what this one adds.
    view.setDaemonURL(QString());
    sendAndShow(view);
    view.setDaemonURL(QStringLiteral("http://127.0.0.1:%1/pinch").arg(port));
    double busy = 0, resizeBusy = 0;
    double* longest = &busy;
    bench::GuiProbe probe([&](double, double stretch) { *longest = std::max(*longest, stretch); });
    const bench::PeakGrowth memory;
    probe.start();
    bool finished = true;
    qint64 residentAfterFirst = 0;
    for (int i = 0; i < sends && finished; ++i) {
        finished = sendAndShow(view);
        if (i == 0)
            residentAfterFirst = bench::residentBytes();
    }
    const qint64 residentAfterLast = bench::residentBytes();
    const QString shown = outcomeText(view, finished);
    longest = &resizeBusy;
    for (int i = 0; window && i < resizes; ++i) {
        window->resize(window->width() + (i % 2 ? -160 : 160), window->height());
        bench::settle(300);
    }
    probe.stop();
    const qint64 growth = memory.bytes();
    daemon.closeWriteChannel();
    daemon.waitForFinished(10'000);
    std::fprintf(stderr, "%s: %.1f ms\n", qPrintable(name), busy);

    QString cells = QString::number(busy, 'f', 1);
    if (window && resizes > 0)
        cells += QStringLiteral(", resizing %1").arg(resizeBusy, 0, 'f', 1);
    cells +=
        QStringLiteral(" | %1 | ").arg(bench::verdict(std::max(busy, resizeBusy) < busyGoalMs));
    cells += growth >= 0 ? u'+' + mib(growth) : mib(growth);
    cells +=
        sends == 1
            ? QStringLiteral(" | —")
            : QStringLiteral(" | %1 → %2").arg(mib(residentAfterFirst), mib(residentAfterLast));
    return {shown, cells};
}

} // namespace

int main(int argc, char** argv) {
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);

    QFile file(QStringLiteral(CASES_FILE));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", CASES_FILE);
    const nlohmann::json cases = nlohmann::json::parse(file.readAll().toStdString()).at("cases");
    const QStringList arguments = app.arguments();
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--serve"))
        return serveCase(cases.at(arguments[2].toUInt()));
    // An argument picks the cases whose names contain it.
    std::vector<std::size_t> picked;
    for (std::size_t i = 0; i < cases.size(); ++i)
        if (arguments.size() < 2 ||
            QString::fromStdString(cases[i].at("name")).contains(arguments[1]))
            picked.push_back(i);

    std::vector<std::pair<QString, QString>> alone, inWindow;
    {
        ContentView bare;
        bench::waitUntilReady(bare);
        for (std::size_t i : picked)
            alone.push_back(measure(bare, nullptr, cases[i], i));
    }
    QQmlApplicationEngine engine;
    ContentView& shown = bench::loadWindow(engine);
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
    for (std::size_t i : picked)
        inWindow.push_back(measure(shown, window, cases[i], i));

    std::printf("\nLongest GUI-thread busy stretch (ms CPU; goal < %.0f ms), added peak memory "
                "and, for repeated sends, resident memory after the first and the last (MiB)\n\n"
                "| case | the window shows | view alone: busy | goal | peak | resident | in the "
                "window: busy | goal | peak | resident |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n",
                busyGoalMs);
    for (std::size_t i = 0; i < picked.size(); ++i)
        std::printf("| %s | %s | %s | %s |\n",
                    cases[picked[i]].at("name").get<std::string>().c_str(),
                    qPrintable(inWindow[i].first), qPrintable(alone[i].second),
                    qPrintable(inWindow[i].second));
    return 0;
}

// Presses Send against daemons whose answers are large or costly to show, first on a bare
// ContentView and then in the real window, and reports per case the GUI thread's longest
// stretch of work (CPU time between two ticks of a 1 ms timer), how far the process's peak
// memory rose, and for repeated sends the resident memory after the first and the last. Each
// daemon runs in a process of its own, so that only the client's memory counts.
//
// hostile_stalls [part of a case's name]
#include "bench.h"
#include "scripted_daemon.h"

#include <QGuiApplication>
#include <QProcess>
#include <QtQml/qqmlextensionplugin.h>

#include <unistd.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

using namespace vorlund;

namespace {

// Longer than this and a user notices the window freeze.
constexpr double busyGoalMs = 50;

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

QString mib(long kib) {
    return QString::number(double(kib) / 1024, 'f', 0);
}

// Runs the case and prints its row: what the window shows, the busy stretch, the goal, the peak
// growth and the resident memory after the first send and the last.
void measure(ContentView& view, QQuickWindow* window, const nlohmann::json& hostile,
             std::size_t place) {
    const int sends = hostile.value("sends", 1), resizes = window ? hostile.value("resizes", 0) : 0;
    QProcess daemon;
    daemon.start(QCoreApplication::applicationFilePath(), {"--serve", QString::number(place)});
    if (!daemon.waitForReadyRead(30'000))
        qFatal("the daemon of a case did not start");
    // Each case starts from an empty answer, as a fresh window would: the last case's answer
    // freed during this one would hide what this one adds.
    view.setDaemonURL(QString());
    sendAndShow(view);
    view.setDaemonURL(QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon.readLine().trimmed()));
    double busy = 0, resizeBusy = 0;
    double* longest = &busy;
    const bench::PeakGrowth memory;
    bench::GuiProbe probe([&](double, double stretch) { *longest = std::max(*longest, stretch); });
    bool finished = true;
    long residentAfterFirst = 0;
    for (int i = 0; i < sends && finished; ++i) {
        finished = sendAndShow(view);
        residentAfterFirst = i == 0 ? bench::statusKiB("self", "VmRSS") : residentAfterFirst;
    }
    const long residentAfterLast = bench::statusKiB("self", "VmRSS");
    QString shown = !finished ? QStringLiteral("(did not finish)")
                    : view.errorText().isValid()
                        ? view.errorText().toString()
                        : QStringLiteral("answer shown, %1 characters").arg(view.response().size());
    longest = &resizeBusy;
    for (int i = 0; i < resizes; ++i) {
        window->resize(window->width() + (i % 2 ? -160 : 160), window->height());
        bench::settle(300);
    }
    probe.stop();
    daemon.kill();
    daemon.waitForFinished();
    if (shown.size() > 60)
        shown = shown.left(shown.at(58).isHighSurrogate() ? 58 : 59) + QChar(0x2026);
    const long growth = memory.kib();
    std::printf(
        "| %s | %s | %.1f%s | %s | %s%s | %s |\n", hostile.at("name").get<std::string>().c_str(),
        qPrintable(shown.replace(u'\n', u' ').replace(u'|', u'/')), busy,
        resizes > 0 ? qPrintable(QStringLiteral(", resizing %1").arg(resizeBusy, 0, 'f', 1)) : "",
        bench::verdict(std::max(busy, resizeBusy) < busyGoalMs), growth >= 0 ? "+" : "",
        qPrintable(mib(growth)),
        sends == 1 ? "—" : qPrintable(mib(residentAfterFirst) + " → " + mib(residentAfterLast)));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QFile file(QStringLiteral(CASES_FILE));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", CASES_FILE);
    const nlohmann::json cases = nlohmann::json::parse(file.readAll().toStdString()).at("cases");
    if (argc == 3 && std::string_view(argv[1]) == "--serve") { // a case's daemon, until killed
        const SigningKey key = SigningKey::generate();
        const test::ScriptedDaemon daemon(cases.at(std::stoul(argv[2])).at("daemon"), key);
        std::printf("%d\n", daemon.port());
        std::fflush(stdout);
        ::pause();
    }
    const bench::BenchEnvironment environment;
    QGuiApplication app(argc, argv);
    const auto run = [&](const char* where, ContentView& view, QQuickWindow* window) {
        std::printf("\n%s: the GUI thread's longest busy stretch (ms CPU; goal < %.0f ms), the "
                    "peak memory added and, for repeated sends, resident memory after the first "
                    "and the last (MiB)\n\n| case | the window shows | busy | goal | peak | "
                    "resident |\n|---|---|---|---|---|---|\n",
                    where, busyGoalMs);
        // An argument picks the cases whose names contain it.
        for (std::size_t i = 0; i < cases.size(); ++i)
            if (argc < 2 ||
                cases[i].at("name").get<std::string>().find(argv[1]) != std::string::npos)
                measure(view, window, cases[i], i);
    };
    {
        ContentView bare;
        bench::waitUntilReady(bare);
        run("On a bare view", bare, nullptr);
    }
    QQmlApplicationEngine engine;
    const auto [window, view] = bench::loadWindow(engine);
    run("In the window", *view, window);
    return 0;
}

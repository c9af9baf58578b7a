// Presses Send against every scripted daemon of the test suite and a few that send as much as
// the client takes, first on a bare ContentView and then in the real window, and reports per
// case the longest time the GUI thread's event loop stood still and how far the process's peak
// memory rose. Usage: hostile_stalls [name part]

#include "exchange_probe.h"
#include "scripted_daemon.h"

#include "ui/content_view.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>
#include <memory>
#include <vector>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

using namespace vorlund;
using namespace vorlund::test;
using namespace std::chrono_literals;

namespace {

// Longer than this and a user notices the window freeze.
constexpr double stallGoalMs = 50;

struct Case {
    QString name;
    nlohmann::json script;
    ExchangeSettings settings;
};

std::vector<Case> casesIn(const char* path) {
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", path);
    std::vector<Case> cases;
    const nlohmann::json entries = nlohmann::json::parse(file.readAll().toStdString())["cases"];
    for (const nlohmann::json& entry : entries) {
        if (!entry.contains("daemon"))
            continue; // a case about the URL alone
        cases.push_back({QString::fromStdString(entry.value("name", "")),
                         entry["daemon"],
                         {std::chrono::milliseconds(entry.value("timeoutMs", 60000)),
                          entry.value("maxBodyBytes", qint64(16 * 1024 * 1024))}});
    }
    return cases;
}

struct Measured {
    QString outcome;
    double stallMs = 0;
    std::optional<double> peakGrowthMiB;
};

QString outcomeText(const ContentView& view, const ProbeResult& probe) {
    if (!probe.finished)
        return QStringLiteral("(did not finish)");
    QString text = view.errorText().isValid()
                       ? view.errorText().toString()
                       : QStringLiteral("answer shown, %1 characters").arg(view.response().size());
    text.replace(u'\n', u' ').replace(u'|', u'/');
    return text.size() > 70 ? text.left(69) + QChar(0x2026) : text;
}

std::vector<Measured> measureAll(ContentView& view, const std::vector<Case>& cases) {
    static const SigningKey key = SigningKey::generate();
    std::vector<Measured> results;
    for (const Case& hostile : cases) {
        view.setExchangeSettings(hostile.settings);
        const ScriptedDaemon daemon(hostile.script, key);
        const ProbeResult probe =
            probeSend(view, QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon.port()),
                      hostile.settings.timeout + 30s);
        Measured measured{outcomeText(view, probe), probe.longestStall.count() / 1000.0, {}};
        if (probe.peakGrowthBytes)
            measured.peakGrowthMiB = double(*probe.peakGrowthBytes) / (1 << 20);
        results.push_back(measured);
        std::fprintf(stderr, "%s: %.1f ms\n", qPrintable(hostile.name), measured.stallMs);
    }
    return results;
}

QString goalText(double stallMs) {
    return stallMs < stallGoalMs ? QStringLiteral("met") : QStringLiteral("missed");
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    // An argument picks the cases whose names contain it.
    std::vector<Case> cases = casesIn(TEST_CASES_FILE);
    std::ranges::move(casesIn(BIG_CASES_FILE), std::back_inserter(cases));
    if (app.arguments().size() > 1)
        std::erase_if(cases, [&](const Case& hostile) {
            return !hostile.name.contains(app.arguments().at(1));
        });

    ContentView bare;
    while (!bare.canSend())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const std::vector<Measured> viewOnly = measureAll(bare, cases);

    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
    auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
    ContentView* shown =
        window ? window->findChild<ContentView*>(QStringLiteral("contentView")) : nullptr;
    if (!shown) {
        std::fprintf(stderr, "the window did not load\n");
        return 1;
    }
    while (!shown->canSend())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const std::vector<Measured> inWindow = measureAll(*shown, cases);

    std::printf("\n| case | window shows | longest stall, view (ms) | longest stall, window (ms) "
                "| goal < %.0f ms (view / window) | peak memory growth, view / window (MiB) |\n"
                "|---|---|---|---|---|---|\n",
                stallGoalMs);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Measured& v = viewOnly[i];
        const Measured& w = inWindow[i];
        const QString memory = v.peakGrowthMiB ? QStringLiteral("%1 / %2")
                                                     .arg(*v.peakGrowthMiB, 0, 'f', 1)
                                                     .arg(w.peakGrowthMiB.value_or(0), 0, 'f', 1)
                                               : QString();
        std::printf("| %s | %s | %.1f | %.1f | %s / %s | %s |\n", qPrintable(cases[i].name),
                    qPrintable(v.outcome), v.stallMs, w.stallMs, qPrintable(goalText(v.stallMs)),
                    qPrintable(goalText(w.stallMs)), qPrintable(memory));
    }
    return 0;
}

#include "exchange_probe.h"
#include "hostile_cases.h"
#include "scripted_daemon.h"

#include "demo_daemon.h"
#include "exchange_fixture.h"
#include "ui/content_view.h"

#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace vorlund;
using namespace vorlund::test;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(vorlund::test::HostileCase)

namespace {

QTemporaryDir& dataHome() {
    static QTemporaryDir dir;
    return dir;
}

QString urlOf(int port) {
    return QStringLiteral("http://127.0.0.1:%1/pinch").arg(port);
}

// What an earlier, honest exchange left in the window.
struct Previous {
    QString aPubKey;
    qint64 latencyMs = 0;
    QString modelVersion;
};

} // namespace

class HostileDaemonTest : public QObject {
    Q_OBJECT

public:
    static void initMain() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_DATA_HOME", dataHome().path().toUtf8());
    }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void exchange_data();
    void exchange();
    void redirectIsNotFollowed_data();
    void redirectIsNotFollowed();

private:
    // Runs an honest exchange, so that what a failure must keep is there to be kept.
    std::optional<Previous> prime();

    std::unique_ptr<ContentView> view_;
    std::unique_ptr<DemoDaemon> honest_;
    int honestPort_ = 0;
};

void HostileDaemonTest::initTestCase() {
    QVERIFY(dataHome().isValid());
    view_ = std::make_unique<ContentView>();
    QTRY_VERIFY_WITH_TIMEOUT(view_->canSend(), 10000);
    honest_ = std::make_unique<DemoDaemon>(keyFromByte(2));
    honestPort_ = honest_->start(0);
}

void HostileDaemonTest::cleanupTestCase() {
    honest_->stop();
}

std::optional<Previous> HostileDaemonTest::prime() {
    view_->setExchangeSettings({});
    const ProbeResult probe = probeSend(*view_, urlOf(honestPort_), 20s);
    if (!probe.finished || view_->sigValid() != QVariant(true))
        return std::nullopt;
    return Previous{view_->aPubKey(), view_->latencyMs(), view_->modelVersion()};
}

void HostileDaemonTest::exchange_data() {
    QTest::addColumn<HostileCase>("hostile");
    for (const HostileCase& hostile : hostileCases())
        QTest::newRow(qPrintable(hostile.name)) << hostile;
}

void HostileDaemonTest::exchange() {
    QFETCH(HostileCase, hostile);
    const std::optional<Previous> previous = prime();
    QVERIFY(previous);

    view_->setExchangeSettings(hostile.settings);
    const ScriptedDaemon daemon(hostile.script);
    const ProbeResult probe =
        probeSend(*view_, urlOf(daemon.port()), hostile.settings.timeout + 30s);
    const double peakMiB = double(probe.peakGrowthBytes.value_or(0)) / (1 << 20);
    qInfo("longest GUI stall %.1f ms, peak memory growth %.1f MiB, shows: %s",
          probe.longestStall.count() / 1000.0, peakMiB,
          qPrintable(view_->errorText().toString().left(120)));

    QVERIFY2(probe.finished, "the exchange never ended");
    QCOMPARE(probe.finishedCount, 1);
    QVERIFY(!view_->isLoading());
    QCOMPARE(daemon.requestCount(), 1);

    if (hostile.peakGrowthCeiling > 0 && probe.peakGrowthBytes)
        QVERIFY2(*probe.peakGrowthBytes < hostile.peakGrowthCeiling,
                 qPrintable(QStringLiteral("peak memory growth %1 MiB").arg(peakMiB)));

    const Verdict& verdict = hostile.verdict;
    const QVariant errorText = view_->errorText();
    if (verdict.errorText.isNull()) {
        QVERIFY2(!errorText.isValid(), qPrintable(errorText.toString().left(300)));
    } else if (verdict.errorIsPrefix) {
        QVERIFY2(errorText.toString().startsWith(verdict.errorText),
                 qPrintable(errorText.toString().left(300)));
        QVERIFY2(errorText.toString().size() > verdict.errorText.size(),
                 "the description is missing");
    } else {
        // Compared by hand: a 16 MiB mismatch is no use in the log.
        QVERIFY2(errorText.toString() == verdict.errorText,
                 qPrintable(errorText.toString().left(300)));
    }
    QCOMPARE(view_->sigValid(), verdict.sigValid ? QVariant(*verdict.sigValid) : QVariant());
    QCOMPARE(view_->pinchId(), probe.pinchIdAtSend);

    if (verdict.shownResponse) {
        QVERIFY2(view_->response() == QString::fromStdString(*verdict.shownResponse),
                 qPrintable(view_->response().left(300)));
        QCOMPARE(view_->aPubKey().toStdString(), hostileDaemonKeyHex());
        QCOMPARE(view_->latencyMs(), verdict.shownLatencyMs);
        QCOMPARE(view_->modelVersion(), QStringLiteral("hostile-1"));
    } else {
        QCOMPARE(view_->response(), QString());
        QCOMPARE(view_->aPubKey(), previous->aPubKey);
        QCOMPARE(view_->latencyMs(), previous->latencyMs);
        QCOMPARE(view_->modelVersion(), previous->modelVersion);
    }
}

void HostileDaemonTest::redirectIsNotFollowed_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("sameOrigin");
    for (int status : {301, 302, 303, 307, 308})
        QTest::addRow("%d to another port", status) << status << false;
    QTest::newRow("307 to the same origin") << 307 << true;
}

// The signed pinch, with the user's cost cap in it, goes only where the user pointed it: a
// redirect is the daemon's answer, not an instruction to send the pinch elsewhere.
void HostileDaemonTest::redirectIsNotFollowed() {
    QFETCH(int, status);
    QFETCH(bool, sameOrigin);
    QVERIFY(prime());
    const int honestBefore = honest_->receivedCount();

    const QString location = sameOrigin ? QStringLiteral("/elsewhere") : urlOf(honestPort_);
    const std::string answer = QStringLiteral("HTTP/1.1 %1 Moved\r\nLocation: %2\r\n"
                                              "Content-Length: 5\r\nConnection: close\r\n\r\n"
                                              "moved")
                                   .arg(status)
                                   .arg(location)
                                   .toStdString();
    const ScriptedDaemon daemon(
        [=](const RawRequest&, RawConnection& connection) { connection.write(answer); });
    const ProbeResult probe = probeSend(*view_, urlOf(daemon.port()), 30s);

    QVERIFY(probe.finished);
    QCOMPARE(view_->errorText(), QVariant(QStringLiteral("daemon %1: moved").arg(status)));
    QCOMPARE(view_->sigValid(), QVariant());
    QCOMPARE(view_->response(), QString());
    QCOMPARE(daemon.requestCount(), 1);
    QCOMPARE(honest_->receivedCount(), honestBefore);
}

QTEST_GUILESS_MAIN(HostileDaemonTest)
#include "tst_hostile_daemon.moc"

#include "demo_daemon.h"
#include "ui/content_view.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace vorlund {

namespace {

// A loopback port on which nothing listens.
QString refusedUrl() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return QStringLiteral("http://127.0.0.1:%1/pinch").arg(server.serverPort());
}

} // namespace

// send() starts the exchange before it resets the window, so that signing overlaps the window's
// updates. Whether the exchange ends at once (an unusable URL) or later, the reset must come
// first and the outcome last.
class ContentViewTest : public QObject {
    Q_OBJECT

    QTemporaryDir dataHome_;
    std::unique_ptr<DemoDaemon> daemon_;
    QString daemonUrl_;

private slots:
    void initTestCase() {
        QVERIFY(dataHome_.isValid());
        qputenv("XDG_DATA_HOME", dataHome_.path().toUtf8());
        daemon_ = std::make_unique<DemoDaemon>(SigningKey::generate());
        daemonUrl_ = QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon_->start(0));
    }

    void outcomeFollowsTheReset_data() {
        QTest::addColumn<bool>("answeredBefore");
        QTest::addColumn<QString>("url");         // "daemon": the demo daemon
        QTest::addColumn<QString>("errorPrefix"); // empty: a signed answer

        // An unusable URL ends the exchange before it ever waits.
        QTest::newRow("empty URL, fresh window") << false << QString() << "Invalid URL";
        QTest::newRow("empty URL after an answer") << true << QString() << "Invalid URL";
        QTest::newRow("not http, after an answer")
            << true << QStringLiteral("ftp://127.0.0.1/pinch") << "Invalid URL";
        QTest::newRow("refused, after an answer") << true << refusedUrl() << "request failed: ";
        QTest::newRow("answered, after an answer") << true << QStringLiteral("daemon") << QString();
    }

    void outcomeFollowsTheReset() {
        QFETCH(bool, answeredBefore);
        QFETCH(QString, url);
        QFETCH(QString, errorPrefix);

        ContentView view;
        QTRY_VERIFY(!view.state()->bPubKeyHex().isEmpty());
        QSignalSpy finished(&view, &ContentView::exchangeFinished);
        if (answeredBefore) {
            view.setDaemonURL(daemonUrl_);
            view.send();
            QTRY_COMPARE(finished.count(), 1);
            QCOMPARE(view.sigValid(), QVariant(true));
            finished.clear();
        }
        const QString earlierKey = view.aPubKey();
        const QString earlierModel = view.modelVersion();

        view.setDaemonURL(url == QLatin1String("daemon") ? daemonUrl_ : url);
        view.send();
        const QString sentPinchId = view.pinchId();
        QCOMPARE(sentPinchId.size(), 36);
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!view.isLoading());

        if (errorPrefix.isEmpty()) {
            QVERIFY(!view.errorText().isValid());
            QCOMPARE(view.sigValid(), QVariant(true));
            QVERIFY(!view.response().isEmpty());
            return;
        }
        QVERIFY2(view.errorText().toString().startsWith(errorPrefix),
                 qPrintable(view.errorText().toString()));
        QVERIFY(!view.sigValid().isValid());
        QCOMPARE(view.response(), QString());
        QCOMPARE(view.pinchId(), sentPinchId);
        // A failure leaves the earlier answer's daemon key and model in place.
        QCOMPARE(view.aPubKey(), earlierKey);
        QCOMPARE(view.modelVersion(), earlierModel);
        QCOMPARE(view.aPubKey().isEmpty(), !answeredBefore);
    }
};

} // namespace vorlund

QTEST_MAIN(vorlund::ContentViewTest)
#include "tst_content_view.moc"

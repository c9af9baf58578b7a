#include "app/client_state.h"
#include "probe/first_frame_probe.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vorlund;

// The program as a user starts it: it finds or makes its key, shows its window with the key in
// it, or says why it cannot and stops.
class StartTest : public QObject {
    Q_OBJECT

private slots:
    void program_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("keyDirectoryBlocked"); // a plain file where it belongs
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // the end of standard output or error
        QTest::newRow("first start") << QStringList() << false << 0 << "^first frame at \\d+\n$";
        QTest::newRow("key directory blocked")
            << QStringList() << true << 1
            << "\nFatal error: ClientIdentity failed: create directory %d: Not a directory\n$";
        QTest::newRow("help") << QStringList{"--help"} << false << 0
                              << "^Usage: \\S*vorlund \\[options\\]\n(.+\n)+\n"
                                 "Options:\n  -h, --help .+\n  -v, --version .+\n$";
        QTest::newRow("version") << QStringList{"--version"} << false << 0
                                 << "^Vorlund " VORLUND_VERSION "\n$";
    }
    void program() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, keyDirectoryBlocked);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QTemporaryDir dataHome;
        const QString keyDirectory = dataHome.filePath("org.vorlund.client");
        QFile blocker(keyDirectory);
        QVERIFY(!keyDirectoryBlocked || blocker.open(QIODevice::WriteOnly));
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dataHome.path());
        if (!arguments.isEmpty()) { // answered without a window, so without a display too
            environment.insert("QT_QPA_PLATFORM", "xcb");
            environment.remove("DISPLAY");
        }
        // Asked as the start-up benchmark asks, the program prints when the first frame that
        // shows the key is on screen, then quits.
        environment.insert(firstFrameProbeVariable, "1");
        program.setProcessEnvironment(environment);
        program.start(VORLUND_PROGRAM, arguments);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitCode(), exitCode);
        const QString printed =
            exitCode == 0 ? program.readAllStandardOutput() : "\n" + program.readAllStandardError();
        output.replace("%d", QRegularExpression::escape(keyDirectory));
        QVERIFY2(QRegularExpression(output).match(printed).hasMatch(), qPrintable(printed));
    }

    // The key is published once, after the creator is done, and never changes again.
    void keyPublishedOnce() {
        QTemporaryDir keyDirectory;
        auto identity = std::make_shared<ClientIdentity>(keyDirectory.path().toStdString());
        ClientState state(identity);
        QSignalSpy published(&state, &ClientState::bPubKeyHexChanged);
        QVERIFY(state.bPubKeyHex().isEmpty());
        QTRY_COMPARE(published.count(), 1);
        QCOMPARE(state.bPubKeyHex().toStdString(), identity->publicKeyHex().result());
        QTest::qWait(100);
        QCOMPARE(published.count(), 1);
    }

    // A window closed before its key arrived: the start-up work ends without touching the
    // state and lets go of the identity.
    void closedBeforeTheKeyArrives() {
        QTemporaryDir keyDirectory;
        auto identity = std::make_shared<ClientIdentity>(keyDirectory.path().toStdString());
        QFuture<Bytes> busy = identity->sign(Bytes(64 << 20, 'x'));
        auto* state = new ClientState(identity);
        QCoreApplication::processEvents(); // start-up now waits behind the signature
        delete state;
        busy.waitForFinished();
        QTRY_COMPARE(identity.use_count(), 1L);
    }
};

QTEST_GUILESS_MAIN(StartTest)
#include "tst_start.moc"

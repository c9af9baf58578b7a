#include "app/client_state.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace vorlund;

namespace {

const QRegularExpression publicKeyHex("^[0-9a-f]{64}$");

std::shared_ptr<ClientIdentity> identityIn(const QTemporaryDir& dir) {
    return std::make_shared<ClientIdentity>(QFile::encodeName(dir.path()).toStdString());
}

} // namespace

class ClientStateTest : public QObject {
    Q_OBJECT

    QTemporaryDir dataHome_;

private slots:
    void initTestCase() {
        QVERIFY(dataHome_.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome_.path()));
    }

    // Two windows on the default key directory: each gets the one key, once, from the event
    // loop, even when the identity has answered before.
    void keyIsPublishedOnceAfterConstruction() {
        ClientState first, second;
        QSignalSpy changes(&first, &ClientState::bPubKeyHexChanged);
        const QString expected = QString::fromStdString(first.identity()->publicKeyHex().result());
        QCOMPARE(first.bPubKeyHex(), QString());

        QTRY_COMPARE(changes.count(), 1);
        QCOMPARE(first.bPubKeyHex(), expected);
        QVERIFY(publicKeyHex.match(expected).hasMatch());
        QTRY_COMPARE(second.bPubKeyHex(), expected);
        QTest::qWait(50);
        QCOMPARE(changes.count(), 1);
    }

    // A window closed before its key arrived: the start-up work still ends and lets go of
    // the identity, without touching the deleted state.
    void closingEarlyIsHarmless_data() {
        QTest::addColumn<bool>("identityBusy");
        QTest::newRow("before start-up ran") << false;
        QTest::newRow("while the identity is busy signing") << true;
    }
    void closingEarlyIsHarmless() {
        QFETCH(bool, identityBusy);
        QTemporaryDir keyDir;
        auto identity = identityIn(keyDir);
        QFuture<Bytes> busy;
        if (identityBusy)
            busy = identity->sign(Bytes(64 << 20, 'x'));
        auto* state = new ClientState(identity);
        if (identityBusy)
            QCoreApplication::processEvents(); // start-up now waits behind the signature
        delete state;

        busy.waitForFinished();
        QTRY_COMPARE(identity.use_count(), 1L);
    }

    void identityFailureStopsTheProgram_data() {
        QTest::addColumn<QString>("directory"); // made below the data home; empty: none
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("plain file at the key directory")
            << ""
            << "Fatal error: ClientIdentity failed: create directory %d: Not a directory\n";
        QTest::newRow("directory at the key file")
            << "org.vorlund.client/identity.key"
            << "Fatal error: ClientIdentity failed: read %d/identity.key: Is a directory\n";
        QTest::newRow("usable key directory") << "org.vorlund.client"
                                              << "";
    }
    void identityFailureStopsTheProgram() {
        QFETCH(QString, directory);
        QFETCH(QString, expectedError);
        QTemporaryDir dataHome;
        const QString keyDir = dataHome.path() + "/org.vorlund.client";
        if (directory.isEmpty()) {
            QFile file(keyDir);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkpath(dataHome.path() + "/" + directory));
        }

        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dataHome.path());
        probe.setProcessEnvironment(environment);
        probe.start(CLIENT_STATE_PROBE, QStringList());
        QVERIFY(probe.waitForFinished(20000));

        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), expectedError.isEmpty() ? 0 : 1);
        QCOMPARE(QString::fromLocal8Bit(probe.readAllStandardError()),
                 QString(expectedError).replace("%d", keyDir));
        const QString printed = QString::fromLatin1(probe.readAllStandardOutput().trimmed());
        QVERIFY2(expectedError.isEmpty() == publicKeyHex.match(printed).hasMatch(),
                 qPrintable(printed));
    }
};

QTEST_GUILESS_MAIN(ClientStateTest)
#include "tst_client_state.moc"

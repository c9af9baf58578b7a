#include "app/client_state.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace vorlund;

namespace {

const QRegularExpression publicKeyHex("^[0-9a-f]{64}$");

QString identityKey(ClientState& state) {
    return QString::fromStdString(state.identity()->publicKeyHex().result());
}

std::filesystem::path fsPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
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

    void keyIsPublishedOnceAfterConstruction_data() {
        QTest::addColumn<bool>("defaultIdentity");
        QTest::newRow("default key directory") << true;
        QTest::newRow("identity made elsewhere") << false;
    }

    void keyIsPublishedOnceAfterConstruction() {
        QFETCH(bool, defaultIdentity);
        QTemporaryDir keyDir;
        auto state = defaultIdentity ? std::make_unique<ClientState>()
                                     : std::make_unique<ClientState>(
                                           std::make_shared<ClientIdentity>(fsPath(keyDir.path())));
        QSignalSpy changes(state.get(), &ClientState::bPubKeyHexChanged);
        QCOMPARE(state->bPubKeyHex(), QString());
        // Even with the identity's thread idle again, the key waits for the event loop.
        const QString expected = identityKey(*state);
        QCOMPARE(state->bPubKeyHex(), QString());

        QTRY_COMPARE(changes.count(), 1);
        QCOMPARE(state->bPubKeyHex(), expected);
        QVERIFY(publicKeyHex.match(expected).hasMatch());
        QTest::qWait(50);
        QCOMPARE(changes.count(), 1);
    }

    // The identity often answers before the constructor is done; the key must still wait.
    void keyNeverArrivesDuringConstruction() {
        QTemporaryDir keyDir;
        auto identity = std::make_shared<ClientIdentity>(fsPath(keyDir.path()));
        int arrivedEarly = 0;
        for (int i = 0; i < 1000; ++i) {
            ClientState state(identity);
            if (!state.bPubKeyHex().isEmpty())
                ++arrivedEarly;
        }
        QCOMPARE(arrivedEarly, 0);
    }

    void windowsShareTheKeyFile() {
        ClientState first;
        ClientState second;
        QTRY_COMPARE(first.bPubKeyHex().size(), 64);
        QTRY_COMPARE(second.bPubKeyHex().size(), 64);
        QCOMPARE(second.bPubKeyHex(), first.bPubKeyHex());
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
        auto identity = std::make_shared<ClientIdentity>(fsPath(keyDir.path()));
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
        QTest::addColumn<QString>("plainFile"); // below the data home
        QTest::addColumn<QString>("directory"); // below the data home
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("expectedError"); // %d: key directory
        QTest::newRow("data home below a plain file")
            << "data"
            << "" << 1
            << "Fatal error: ClientIdentity failed: create directory %d: Not a directory\n";
        QTest::newRow("plain file at the key directory")
            << "data/org.vorlund.client"
            << "" << 1
            << "Fatal error: ClientIdentity failed: create directory %d: Not a directory\n";
        QTest::newRow("directory at the key file")
            << ""
            << "data/org.vorlund.client/identity.key" << 1
            << "Fatal error: ClientIdentity failed: read %d/identity.key: Is a directory\n";
        QTest::newRow("usable key directory") << ""
                                              << "" << 0 << "";
    }

    void identityFailureStopsTheProgram() {
        QFETCH(QString, plainFile);
        QFETCH(QString, directory);
        QFETCH(int, exitCode);
        QFETCH(QString, expectedError);
        QTemporaryDir temp;
        const QString dataHome = temp.path() + "/data";
        if (!plainFile.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(temp.path() + "/" + plainFile).path()));
            QFile file(temp.path() + "/" + plainFile);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        if (!directory.isEmpty())
            QVERIFY(QDir().mkpath(temp.path() + "/" + directory));
        const QString keyDir = dataHome + "/org.vorlund.client";

        QProcess probe;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_DATA_HOME", dataHome);
        probe.setProcessEnvironment(environment);
        probe.start(CLIENT_STATE_PROBE, QStringList());
        QVERIFY(probe.waitForFinished(20000));

        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), exitCode);
        QCOMPARE(QString::fromLocal8Bit(probe.readAllStandardError()),
                 QString(expectedError).replace("%d", keyDir));
        const QByteArray printed = probe.readAllStandardOutput();
        if (exitCode == 0)
            QVERIFY(publicKeyHex.match(QString::fromLatin1(printed.trimmed())).hasMatch());
        else
            QCOMPARE(printed, QByteArray());
    }
};

QTEST_GUILESS_MAIN(ClientStateTest)
#include "tst_client_state.moc"

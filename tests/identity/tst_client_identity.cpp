#include "identity/client_identity.h"
#include "identity/key_file.h"
#include "probe_barrier.h"
#include "test_files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sodium.h>

#include <memory>
#include <optional>

using namespace vorlund;
using namespace testfiles;

namespace {

Bytes toBytes(const QByteArray& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

bool verifies(const Bytes& signature, const Bytes& message, const QByteArray& publicKey) {
    return signature.size() == crypto_sign_BYTES &&
           crypto_sign_verify_detached(
               signature.data(), message.data(), message.size(),
               reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

QByteArray publicKeyOf(ClientIdentity& identity) {
    return QByteArray::fromHex(QByteArray::fromStdString(identity.publicKeyHex().result()));
}

} // namespace

class ClientIdentityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodium_init() >= 0); }

    // RFC 8032, section 7.1, tests 1 to 3.
    void knownAnswers_data() {
        QTest::addColumn<QByteArray>("secretKey");
        QTest::addColumn<QByteArray>("publicKey");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("signature");
        QTest::newRow("test 1")
            << QByteArray("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
            << QByteArray("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")
            << QByteArray("")
            << QByteArray("e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                          "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
        QTest::newRow("test 2")
            << QByteArray("4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb")
            << QByteArray("3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c")
            << QByteArray("72")
            << QByteArray("92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
                          "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00");
        QTest::newRow("test 3")
            << QByteArray("c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7")
            << QByteArray("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025")
            << QByteArray("af82")
            << QByteArray("6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
                          "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a");
    }

    void knownAnswers() {
        QFETCH(QByteArray, secretKey);
        QFETCH(QByteArray, publicKey);
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, signature);
        QTemporaryDir temp;
        QVERIFY(writeFile(temp.path() + "/identity.key", QByteArray::fromHex(secretKey)));

        ClientIdentity identity(fsPath(temp.path()));
        QCOMPARE(QByteArray::fromStdString(identity.publicKeyHex().result()), publicKey);
        const Bytes signed_ = identity.sign(toBytes(QByteArray::fromHex(message))).result();
        QCOMPARE(QByteArray::fromStdString(hex(signed_)), signature);
    }

    void signaturesVerifyUnderTheFilesKey() {
        QTemporaryDir temp;
        const QString dir = temp.path() + "/org.vorlund.client";
        ClientIdentity identity(fsPath(dir));
        const QByteArray publicKey = publicKeyOf(identity);
        QCOMPARE(publicKey, publicKeyOfSeed(readAll(dir + "/identity.key")));

        const Bytes bytes = toBytes(R"({"bPubKey":"ab","prompt":"hi/there"})");
        const Bytes signature = identity.sign(bytes).result();
        QVERIFY(verifies(signature, bytes, publicKey));
        Bytes other = bytes;
        other.push_back('!');
        QVERIFY(!verifies(signature, other, publicKey));
    }

    // The executor drains before the key it signs with goes away.
    void pendingSignaturesFinishBeforeDestruction() {
        QTemporaryDir temp;
        auto identity = std::make_unique<ClientIdentity>(fsPath(temp.path()));
        const QByteArray publicKey = publicKeyOf(*identity);
        const Bytes message(8 << 20, 's');
        QList<QFuture<Bytes>> pending;
        for (int i = 0; i < 4; ++i)
            pending << identity->sign(message);
        identity.reset();

        for (const QFuture<Bytes>& signature : pending) {
            QVERIFY(signature.isFinished());
            QVERIFY(verifies(signature.result(), message, publicKey));
        }
    }

    // Several processes start at once on the same directory, a few times over: one key wins,
    // all use it, and an unusable file is kept aside exactly once.
    void simultaneousStartsAgreeOnOneKey_data() {
        QTest::addColumn<bool>("directoryExists");
        QTest::addColumn<QByteArray>("invalidKeyFile"); // empty: none
        QTest::newRow("no key directory yet") << false << QByteArray();
        QTest::newRow("key file too short") << true << QByteArray("short");
    }

    void simultaneousStartsAgreeOnOneKey() {
        QFETCH(bool, directoryExists);
        QFETCH(QByteArray, invalidKeyFile);
        constexpr int rounds = 5;
        constexpr int processCount = 8;
        for (int round = 0; round < rounds; ++round) {
            QTemporaryDir temp;
            const QString dir = temp.path() + "/share/org.vorlund.client";
            if (directoryExists)
                QVERIFY(QDir().mkpath(dir));
            if (!invalidKeyFile.isEmpty())
                QVERIFY(writeFile(dir + "/identity.key", invalidKeyFile));

            ProbeBarrier barrier;
            QVERIFY(barrier.isValid());
            std::vector<std::unique_ptr<QProcess>> probes;
            for (int i = 0; i < processCount; ++i) {
                probes.push_back(std::make_unique<QProcess>());
                probes.back()->start(IDENTITY_PROBE, barrier.arguments() << dir);
            }
            for (auto& probe : probes)
                QVERIFY(waitUntilReady(*probe));
            barrier.release();

            QSet<QByteArray> keys;
            for (auto& probe : probes) {
                QVERIFY(probe->waitForFinished(60000));
                QVERIFY2(probe->exitCode() == 0, probe->readAllStandardError().constData());
                keys << probe->readAllStandardOutput().trimmed();
            }
            QCOMPARE(keys.size(), 1);
            QCOMPARE(*keys.begin(), publicKeyOfSeed(readAll(dir + "/identity.key")).toHex());
            // Only the first to find the short file moves it aside; nobody moves a new key.
            QStringList entries = entriesOf(dir);
            QCOMPARE(entries.takeFirst(), "identity.key");
            QCOMPARE(entries.size(), invalidKeyFile.isEmpty() ? 0 : 1);
            if (!entries.isEmpty())
                QCOMPARE(readAll(dir + "/" + entries[0]), invalidKeyFile);
        }
    }
};

QTEST_GUILESS_MAIN(ClientIdentityTest)
#include "tst_client_identity.moc"

#include "exchange_fixture.h"

#include "daemon_key.h"
#include "demo_daemon.h"

#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/verify.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace vorlund;
using namespace vorlund::test;
using nlohmann::json;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(std::optional<std::string>)

namespace {

json requestJson(const PinchRequest& request) {
    return json::parse(encodePinchRequest(request));
}

std::string withKey(json object, const std::string& key, json value) {
    object[key] = std::move(value);
    return object.dump();
}

std::string withoutKey(json object, const std::string& key) {
    object.erase(key);
    return object.dump();
}

void writeFile(const QString& path, const std::string& bytes) {
    std::ofstream(path.toStdString(), std::ios::binary) << bytes;
}

} // namespace

class DemoDaemonTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { daemon_->stop(); }

    void judgesRequests_data();
    void judgesRequests();
    void answerIsSignedAndAddressed();
    void keyFile_data();
    void keyFile();
    void executable_data();
    void executable();

private:
    httplib::Result post(const std::string& body) {
        httplib::Client client("127.0.0.1", port_);
        return client.Post("/pinch", body, "application/json");
    }

    SigningKey clientKey_ = keyFromByte(1);
    std::unique_ptr<DemoDaemon> daemon_;
    int port_ = 0;
};

void DemoDaemonTest::initTestCase() {
    daemon_ = std::make_unique<DemoDaemon>(keyFromByte(2));
    port_ = daemon_->start(0);
    QVERIFY(port_ > 0);
}

void DemoDaemonTest::judgesRequests_data() {
    QTest::addColumn<std::string>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason"); // the reply body for rejections

    const PinchRequest good = signedRequest(clientKey_, "a/b \"q\" 🦞\n");
    const json request = requestJson(good);
    const std::string otherKeySig = signedRequest(keyFromByte(9), good.prompt).bSig;

    QTest::newRow("valid") << request.dump() << 200 << QString();
    QTest::newRow("valid, upper-case hex")
        << withKey(request, "bSig", QString::fromStdString(good.bSig).toUpper().toStdString())
        << 200 << QString();
    QTest::newRow("valid, unknown key") << withKey(request, "extra", 1) << 200 << QString();

    QTest::newRow("not json") << std::string("{\"bPubKey\":") << 400
                              << QStringLiteral("the body is not valid JSON");
    QTest::newRow("array") << std::string("[]") << 400
                           << QStringLiteral("the body is not a JSON object");
    QTest::newRow("string") << std::string("\"x\"") << 400
                            << QStringLiteral("the body is not a JSON object");
    for (const char* key : {"bPubKey", "bSig", "costCap", "pinchId", "prompt", "requestedAt"})
        QTest::addRow("missing %s", key)
            << withoutKey(request, key) << 400 << QStringLiteral("key \"%1\" is missing").arg(key);
    QTest::newRow("key case differs")
        << withKey(json::parse(withoutKey(request, "prompt")), "Prompt", good.prompt) << 400
        << QStringLiteral("key \"prompt\" is missing");
    QTest::newRow("costCap as text") << withKey(request, "costCap", "1000") << 400
                                     << QStringLiteral("key \"costCap\" must be a 64-bit integer");
    QTest::newRow("requestedAt fraction")
        << withKey(request, "requestedAt", 1.5) << 400
        << QStringLiteral("key \"requestedAt\" must be a 64-bit integer");
    QTest::newRow("costCap beyond 64 bits")
        << withKey(request, "costCap", std::uint64_t(1) << 63) << 400
        << QStringLiteral("key \"costCap\" must be a 64-bit integer");
    QTest::newRow("prompt null") << withKey(request, "prompt", nullptr) << 400
                                 << QStringLiteral("key \"prompt\" must be a string");
    QTest::newRow("pinchId number") << withKey(request, "pinchId", 7) << 400
                                    << QStringLiteral("key \"pinchId\" must be a string");
    QTest::newRow("bPubKey short") << withKey(request, "bPubKey", good.bPubKey.substr(2)) << 400
                                   << QStringLiteral("key \"bPubKey\" must be 64 hex digits");
    QTest::newRow("bSig not hex") << withKey(request, "bSig", "g" + good.bSig.substr(1)) << 400
                                  << QStringLiteral("key \"bSig\" must be 128 hex digits");
    QTest::newRow("bSig signed sign") << withKey(request, "bSig", "+f" + good.bSig.substr(2)) << 400
                                      << QStringLiteral("key \"bSig\" must be 128 hex digits");

    const QString badSignature = QStringLiteral("signature does not verify");
    QTest::newRow("prompt changed")
        << withKey(request, "prompt", good.prompt + " ") << 401 << badSignature;
    QTest::newRow("costCap changed") << withKey(request, "costCap", 1001) << 401 << badSignature;
    QTest::newRow("requestedAt changed")
        << withKey(request, "requestedAt", 1700000001) << 401 << badSignature;
    QTest::newRow("signed by another key")
        << withKey(request, "bSig", otherKeySig) << 401 << badSignature;
}

void DemoDaemonTest::judgesRequests() {
    QFETCH(std::string, body);
    QFETCH(int, status);
    QFETCH(QString, reason);

    const auto result = post(body);
    QVERIFY(result);
    QCOMPARE(result->status, status);
    if (status != 200)
        QCOMPARE(QString::fromStdString(result->body), reason);

    const auto received = daemon_->lastReceived();
    QVERIFY(received);
    QCOMPARE(received->body, body);
    QCOMPARE(received->request.has_value(), status != 400);
}

void DemoDaemonTest::answerIsSignedAndAddressed() {
    const PinchRequest request = signedRequest(clientKey_, "abc");
    const auto result = post(encodePinchRequest(request));
    QVERIFY(result);
    QCOMPARE(result->status, 200);

    const DaemonResponse answer = decodeDaemonResponse(result->body);
    QVERIFY(verifyDaemonResponse(answer, hex(clientKey_.publicKey())));
    QCOMPARE(answer.bPubKey, request.bPubKey);
    QCOMPARE(answer.aPubKey, daemon_->publicKeyHex());
    QCOMPARE(answer.pinchId, request.pinchId);
    QCOMPARE(answer.response, std::string("Demo daemon received: \"abc\""));
    QCOMPARE(answer.modelVersion, std::string("demo-1"));
    QCOMPARE(answer.promptHash,
             std::string("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    QVERIFY(answer.latencyMs >= 0);
    QVERIFY2(answer.timestamp > 1'600'000'000'000, "timestamp is not in milliseconds");
}

void DemoDaemonTest::keyFile_data() {
    QTest::addColumn<std::optional<std::string>>("content"); // absent: no file
    QTest::addColumn<bool>("accepted");

    QTest::newRow("missing file is created") << std::optional<std::string>() << true;
    QTest::newRow("32 bytes") << std::optional(std::string(32, '\x05')) << true;
    QTest::newRow("empty") << std::optional(std::string()) << false;
    QTest::newRow("31 bytes") << std::optional(std::string(31, '\x05')) << false;
    QTest::newRow("33 bytes") << std::optional(std::string(33, '\x05')) << false;
}

void DemoDaemonTest::keyFile() {
    QFETCH(std::optional<std::string>, content);
    QFETCH(bool, accepted);

    QTemporaryDir dir;
    const QString path = dir.filePath("daemon.key");
    if (content)
        writeFile(path, *content);

    std::optional<std::string> publicKey;
    try {
        publicKey = hex(loadOrCreateDaemonKey(path.toStdString()).publicKey());
    } catch (const std::runtime_error&) {
    }
    QCOMPARE(publicKey.has_value(), accepted);

    QFile file(path);
    if (!accepted) {
        QCOMPARE(file.size(), qint64(content->size())); // left as it was
        return;
    }
    QCOMPARE(file.size(), qint64(32));
    if (content)
        QCOMPARE(*publicKey, hex(keyFromByte(5).publicKey()));
    else
        QCOMPARE(std::filesystem::status(path.toStdString()).permissions(),
                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    // The same file gives the same key next time.
    QCOMPARE(hex(loadOrCreateDaemonKey(path.toStdString()).publicKey()), *publicKey);
}

void DemoDaemonTest::executable_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("endSignal"); // 0: it ends by itself
    QTest::addColumn<int>("exitCode");

    QTest::newRow("ends on SIGTERM") << QStringList{"--key-file", "daemon.key"} << SIGTERM << 0;
    QTest::newRow("ends on SIGINT") << QStringList{"--key-file", "daemon.key"} << SIGINT << 0;
    QTest::newRow("port out of range") << QStringList{"--port", "70000"} << 0 << 2;
    QTest::newRow("unknown argument") << QStringList{"--verbose"} << 0 << 2;
    QTest::newRow("missing value") << QStringList{"--port"} << 0 << 2;
    QTest::newRow("short key file") << QStringList{"--key-file", "short.key"} << 0 << 1;
}

void DemoDaemonTest::executable() {
    QFETCH(QStringList, arguments);
    QFETCH(int, endSignal);
    QFETCH(int, exitCode);

    QTemporaryDir dir;
    writeFile(dir.filePath("short.key"), "too short");
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QString port = QString::number(probe.serverPort());
    probe.close();

    // Started the way a shell starts a background job: with SIGINT ignored.
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start("/bin/sh", QStringList{"-c", "trap '' INT; exec \"$0\" \"$@\"", DEMO_DAEMON_PATH,
                                         "--port", port} +
                                 arguments);
    QVERIFY(process.waitForStarted());
    if (endSignal != 0) {
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 10000);
        const QString keyLine = QString::fromUtf8(process.readLine()).trimmed();
        QTRY_VERIFY_WITH_TIMEOUT(process.canReadLine(), 10000);
        const QString urlLine = QString::fromUtf8(process.readLine()).trimmed();
        QCOMPARE(urlLine, "url: http://127.0.0.1:" + port + "/pinch");

        QFile keyFile(dir.filePath("daemon.key"));
        QVERIFY(keyFile.open(QIODevice::ReadOnly));
        const QByteArray seed = keyFile.readAll();
        QCOMPARE(seed.size(), qsizetype(SigningKey::seedSize));
        const auto key = SigningKey::fromSeed(std::span<const std::uint8_t, SigningKey::seedSize>(
            reinterpret_cast<const std::uint8_t*>(seed.constData()), SigningKey::seedSize));
        QCOMPARE(keyLine, QString::fromStdString("public key: " + hex(key.publicKey())));

        ::kill(pid_t(process.processId()), endSignal);
    }
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(DemoDaemonTest)
#include "tst_demo_daemon.moc"

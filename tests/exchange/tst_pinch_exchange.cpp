#include "exchange_fixture.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"

#include <QTcpServer>
#include <QtTest>

#include <nlohmann/json.hpp>
#include <sodium.h>

using namespace vorlund;
using namespace vorlund::test;
using nlohmann::json;

namespace {

const QString invalidUrl = QStringLiteral("Invalid URL");
const QString wrongRecipient = QStringLiteral("Response was for a different recipient — refusing.");
const QString badSignature =
    QStringLiteral("Daemon signature did not verify against its claimed public key.");

// Replaces the daemon's reply with a fixed one.
DemoDaemon::ReplyHook replyWith(int status, std::string body, bool chunked = false,
                                bool cutShort = false) {
    return [=](const ReceivedPinch&, DaemonReply& reply) {
        reply.status = status;
        reply.body = body;
        reply.chunked = chunked;
        reply.cutShort = cutShort;
    };
}

// Edits the JSON of the daemon's own signed answer.
DemoDaemon::ReplyHook editAnswer(std::function<void(json&)> edit) {
    return [=](const ReceivedPinch&, DaemonReply& reply) {
        json answer = json::parse(reply.body);
        edit(answer);
        reply.body = answer.dump();
    };
}

// Answers with a valid signature by another key, after changing the request as the answerer
// saw it.
DemoDaemon::ReplyHook answerSignedElsewhere(std::function<void(PinchRequest&)> change) {
    return [=](const ReceivedPinch& received, DaemonReply& reply) {
        PinchRequest request = *received.request;
        change(request);
        reply.body = encodeDaemonResponse(signedAnswer(request, keyFromByte(7), 5, 1));
    };
}

QString decodingMessage(const std::string& body) {
    try {
        decodeDaemonResponse(body);
    } catch (const std::exception& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
}

int closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class PinchExchangeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { fixture_.start(); }

    void outcome_data();
    void outcome();
    void requestAsSent_data();
    void requestAsSent();
    void snapshot_data();
    void snapshot();
    void snapshotsGetTheirOwnPinchId();
    void unencodablePromptFailsToSign();

private:
    // A valid answer addressed to this client, signed by another key.
    std::string answerToClient() const {
        PinchRequest request = signedRequest(keyFromByte(3), "fixed");
        request.bPubKey = fixture_.clientKey();
        return encodeDaemonResponse(signedAnswer(request, keyFromByte(7), 12, 1700000000123));
    }

    ExchangeFixture fixture_;
};

void PinchExchangeTest::outcome_data() {
    QTest::addColumn<QString>("url"); // "daemon" for the fixture's daemon
    QTest::addColumn<DemoDaemon::ReplyHook>("hook");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<qint64>("maxBodyBytes");
    QTest::addColumn<std::optional<QString>>("errorText");
    QTest::addColumn<bool>("errorIsPrefix"); // the rest is a platform's description
    QTest::addColumn<std::optional<bool>>("sigValid");
    QTest::addColumn<bool>("answerShown");

    const DemoDaemon::ReplyHook asIs;
    const QString daemon = QStringLiteral("daemon");
    const int minute = 60'000;
    const qint64 mib16 = 16 * 1024 * 1024;
    const std::optional<bool> absent;
    const std::string valid = answerToClient();
    const std::string big(3 * 1024 * 1024, 'b'); // more than the reply's read buffer

    QTest::newRow("empty url") << QString() << asIs << minute << mib16 << std::optional(invalidUrl)
                               << false << absent << false;
    QTest::newRow("not a url") << QStringLiteral("not a url") << asIs << minute << mib16
                               << std::optional(invalidUrl) << false << absent << false;
    QTest::newRow("ftp") << QStringLiteral("ftp://x") << asIs << minute << mib16
                         << std::optional(invalidUrl) << false << absent << false;
    QTest::newRow("no host") << QStringLiteral("http://") << asIs << minute << mib16
                             << std::optional(invalidUrl) << false << absent << false;
    QTest::newRow("space in url") << QStringLiteral("http://127.0.0.1/a b") << asIs << minute
                                  << mib16 << std::optional(invalidUrl) << false << absent << false;

    QTest::newRow("201 with a valid answer")
        << daemon << replyWith(201, valid) << minute << mib16
        << std::optional(QString::fromStdString("daemon 201: " + valid)) << false << absent
        << false;
    QTest::newRow("500 not utf-8")
        << daemon << replyWith(500, "\xff\xfe ok \xc3") << minute << mib16
        << std::optional(QStringLiteral("daemon 500: (no body)")) << false << absent << false;
    QTest::newRow("404 empty") << daemon << replyWith(404, "") << minute << mib16
                               << std::optional(QStringLiteral("daemon 404: ")) << false << absent
                               << false;
    QTest::newRow("401 from the daemon")
        << daemon << replyWith(401, "signature does not verify") << minute << mib16
        << std::optional(QStringLiteral("daemon 401: signature does not verify")) << false << absent
        << false;
    QTest::newRow("502 keeps the whole body")
        << daemon << replyWith(502, "line one\nline two \"quoted\" é") << minute << mib16
        << std::optional(QStringLiteral("daemon 502: line one\nline two \"quoted\" é")) << false
        << absent << false;
    QTest::newRow("big 201 body arrives whole")
        << daemon << replyWith(201, big) << minute << mib16
        << std::optional(QString::fromStdString("daemon 201: " + big)) << false << absent << false;
    QTest::newRow("big chunked 201 body arrives whole")
        << daemon << replyWith(201, big, true) << minute << mib16
        << std::optional(QString::fromStdString("daemon 201: " + big)) << false << absent << false;

    json missingKey = json::parse(valid);
    missingKey.erase("aSig");
    QTest::newRow("missing key") << daemon << replyWith(200, missingKey.dump()) << minute << mib16
                                 << std::optional("request failed: " +
                                                  decodingMessage(missingKey.dump()))
                                 << false << absent << false;
    QTest::newRow("not json") << daemon << replyWith(200, "<html>") << minute << mib16
                              << std::optional("request failed: " + decodingMessage("<html>"))
                              << false << absent << false;
    QTest::newRow("malformed hex")
        << daemon << editAnswer([](json& a) { a["aSig"] = "zz"; }) << minute << mib16
        << std::optional(QStringLiteral("request failed: malformedHex")) << false << absent
        << false;
    QTest::newRow("short daemon key")
        << daemon << editAnswer([](json& a) { a["aPubKey"] = "abcd"; }) << minute << mib16
        << std::optional(QStringLiteral("request failed: badPublicKey")) << true << absent << false;
    QTest::newRow("wrong recipient")
        << daemon
        << answerSignedElsewhere([](PinchRequest& r) { r.bPubKey = std::string(64, 'a'); })
        << minute << mib16 << std::optional(wrongRecipient) << false << std::optional(false)
        << false;
    QTest::newRow("wrong recipient and bad hex") << daemon << editAnswer([](json& a) {
        a["bPubKey"] = std::string(64, 'b');
        a["aSig"] = "not hex";
    }) << minute << mib16 << std::optional(wrongRecipient)
                                                 << false << std::optional(false) << false;
    QTest::newRow("invalid signature")
        << daemon << editAnswer([](json& a) { a["response"] = "changed after signing"; }) << minute
        << mib16 << std::optional(badSignature) << false << std::optional(false) << true;
    QTest::newRow("valid") << daemon << asIs << minute << mib16 << std::optional<QString>() << false
                           << std::optional(true) << true;
    QTest::newRow("valid, daemon states another pinchId")
        << daemon << answerSignedElsewhere([](PinchRequest& r) {
               r.pinchId = "0190f5e2-0000-7000-8000-000000000000";
           })
        << minute << mib16 << std::optional<QString>() << false << std::optional(true) << true;
    QTest::newRow("valid, extra key")
        << daemon << editAnswer([](json& a) { a["extra"] = "ignored"; }) << minute << mib16
        << std::optional<QString>() << false << std::optional(true) << true;

    QTest::newRow("nobody listening")
        << QStringLiteral("http://127.0.0.1:%1/pinch").arg(closedPort()) << asIs << minute << mib16
        << std::optional(QStringLiteral("request failed: ")) << true << absent << false;
    QTest::newRow("200 cut short")
        << daemon << replyWith(200, std::string(20000, 'x'), true, true) << minute << mib16
        << std::optional(QStringLiteral("request failed: ")) << true << absent << false;
    QTest::newRow("500 cut short")
        << daemon << replyWith(500, std::string(20000, 'x'), true, true) << minute << mib16
        << std::optional(QStringLiteral("request failed: ")) << true << absent << false;
    QTest::newRow("timeout") << daemon
                             << DemoDaemon::ReplyHook([](const ReceivedPinch&, DaemonReply& reply) {
                                    reply.delay = std::chrono::seconds(5);
                                })
                             << 300 << mib16
                             << std::optional(QStringLiteral(
                                    "request failed: timed out (no data for 300 ms)"))
                             << false << absent << false;

    const QString tooLarge = QStringLiteral("request failed: the answer is larger than 1000 bytes");
    QTest::newRow("too large by length")
        << daemon << replyWith(200, std::string(1001, 'x')) << minute << qint64(1000)
        << std::optional(tooLarge) << false << absent << false;
    QTest::newRow("too large as it arrives")
        << daemon << replyWith(200, std::string(9000, 'x'), true) << minute << qint64(1000)
        << std::optional(tooLarge) << false << absent << false;
    QTest::newRow("too large error page")
        << daemon << replyWith(500, std::string(1001, 'x')) << minute << qint64(1000)
        << std::optional(tooLarge) << false << absent << false;
    QTest::newRow("exactly at the bound")
        << daemon << replyWith(503, std::string(1000, 'x')) << minute << qint64(1000)
        << std::optional("daemon 503: " + QString(1000, 'x')) << false << absent << false;
    QTest::newRow("exactly at the bound, chunked")
        << daemon << replyWith(503, std::string(1000, 'x'), true) << minute << qint64(1000)
        << std::optional("daemon 503: " + QString(1000, 'x')) << false << absent << false;
    QTest::newRow("16 MiB bound named")
        << daemon << replyWith(200, std::string(mib16 + 1, 'x')) << minute << mib16
        << std::optional(QStringLiteral("request failed: the answer is larger than 16 MiB"))
        << false << absent << false;
}

void PinchExchangeTest::outcome() {
    QFETCH(QString, url);
    QFETCH(DemoDaemon::ReplyHook, hook);
    QFETCH(int, timeoutMs);
    QFETCH(qint64, maxBodyBytes);
    QFETCH(std::optional<QString>, errorText);
    QFETCH(bool, errorIsPrefix);
    QFETCH(std::optional<bool>, sigValid);
    QFETCH(bool, answerShown);

    fixture_.setHook(hook);
    const int receivedBefore = fixture_.daemon().receivedCount();
    const PinchSnapshot snapshot =
        takeSnapshot(QStringLiteral("hello"), url == "daemon" ? fixture_.daemonUrl() : url,
                     fixture_.state(), std::chrono::system_clock::now());

    const auto outcome = ExchangeFixture::run(
        snapshot, {.timeout = std::chrono::milliseconds(timeoutMs), .maxBodyBytes = maxBodyBytes});
    QVERIFY(outcome);

    const QString absentText = QStringLiteral("(absent)");
    const QString shownError = outcome->errorText.value_or(absentText);
    if (errorIsPrefix) {
        QVERIFY2(shownError.startsWith(*errorText), qPrintable(shownError));
        QVERIFY2(shownError.size() > errorText->size(), "the description is missing");
    } else {
        QCOMPARE(shownError, errorText.value_or(absentText));
    }
    QCOMPARE(outcome->sigValid, sigValid);
    QCOMPARE(outcome->shown.has_value(), answerShown);
    if (answerShown)
        QCOMPARE(*outcome->shown, decodeDaemonResponse(fixture_.lastReplyBody()));
    if (url != "daemon")
        QCOMPARE(fixture_.daemon().receivedCount(), receivedBefore);
}

void PinchExchangeTest::requestAsSent_data() {
    QTest::addColumn<QString>("prompt");

    QTest::newRow("plain") << QStringLiteral("Say hello.");
    QTest::newRow("untrimmed") << QStringLiteral("  \n\t spaces and breaks around \r\n  ");
    QTest::newRow("quotes, slash, backslash")
        << QStringLiteral(R"(a "quoted" path/to/x and a \ backslash)");
    QTest::newRow("emoji and accents") << QStringLiteral("lobster 🦞 café");
    QTest::newRow("control characters") << QString::fromUtf8("bell \a and nul \0 end", 20);
}

void PinchExchangeTest::requestAsSent() {
    QFETCH(QString, prompt);

    fixture_.setHook({});
    const auto pressedAt =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000900));
    const PinchSnapshot snapshot =
        takeSnapshot(prompt, fixture_.daemonUrl(), fixture_.state(), pressedAt);
    const auto outcome = ExchangeFixture::run(snapshot, {});
    QVERIFY(outcome);
    QCOMPARE(outcome->sigValid, std::optional(true));

    const auto received = fixture_.daemon().lastReceived();
    QVERIFY(received && received->request);
    const PinchRequest& request = *received->request;
    QCOMPARE(received->contentType, std::string("application/json"));
    QCOMPARE(request.prompt, prompt.toStdString());
    QCOMPARE(request.costCap, std::int64_t(1000));
    QCOMPARE(request.requestedAt, std::int64_t(1700000000));
    QCOMPARE(request.pinchId, snapshot.pinchId);
    QCOMPARE(request.bPubKey, fixture_.clientKey());

    // The signature covers the values that went out, rebuilt the way a daemon must.
    const Bytes signedBytes = canonicalEncode(ClientSigningPayload{.bPubKey = fixture_.clientKey(),
                                                                   .costCap = 1000,
                                                                   .pinchId = snapshot.pinchId,
                                                                   .prompt = prompt.toStdString(),
                                                                   .requestedAt = 1700000000});
    const auto signature = hexToData(request.bSig);
    const auto publicKey = hexToData(request.bPubKey);
    QVERIFY(signature && signature->size() == 64 && publicKey && publicKey->size() == 32);
    QCOMPARE(crypto_sign_verify_detached(signature->data(), signedBytes.data(), signedBytes.size(),
                                         publicKey->data()),
             0);
    QCOMPARE(request.bSig, hex(*signature)); // lower case
}

void PinchExchangeTest::snapshot_data() {
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<qint64>("requestedAt");

    QTest::newRow("fraction dropped") << qint64(1700000000900) << qint64(1700000000);
    QTest::newRow("whole second") << qint64(1700000000000) << qint64(1700000000);
    QTest::newRow("just before the next") << qint64(1700000000999) << qint64(1700000000);
    QTest::newRow("epoch") << qint64(500) << qint64(0);
}

void PinchExchangeTest::snapshot() {
    QFETCH(qint64, nowMs);
    QFETCH(qint64, requestedAt);

    const QString prompt = QStringLiteral("  as typed \n");
    const QString url = QStringLiteral(" not even a url");
    const PinchSnapshot snapshot =
        takeSnapshot(prompt, url, fixture_.state(),
                     std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs)));

    QCOMPARE(snapshot.requestedAt, requestedAt);
    QCOMPARE(snapshot.prompt, prompt.toStdString());
    QCOMPARE(snapshot.daemonUrl, url);
    QCOMPARE(snapshot.bPubKey, fixture_.clientKey());
    QCOMPARE(snapshot.identity, fixture_.state().identity());
    // A version 7 identifier carries its creation time: the press, not some other clock.
    QCOMPARE(snapshot.pinchId.size(), std::size_t(36));
    const std::string timeDigits = snapshot.pinchId.substr(0, 8) + snapshot.pinchId.substr(9, 4);
    QCOMPARE(std::stoll(timeDigits, nullptr, 16), nowMs);
}

void PinchExchangeTest::snapshotsGetTheirOwnPinchId() {
    const auto now = std::chrono::system_clock::now();
    const PinchSnapshot first = takeSnapshot({}, {}, fixture_.state(), now);
    const PinchSnapshot second = takeSnapshot({}, {}, fixture_.state(), now);
    QVERIFY(first.pinchId != second.pinchId);
}

void PinchExchangeTest::unencodablePromptFailsToSign() {
    fixture_.setHook({});
    const int receivedBefore = fixture_.daemon().receivedCount();
    PinchSnapshot snapshot = takeSnapshot(QStringLiteral("x"), fixture_.daemonUrl(),
                                          fixture_.state(), std::chrono::system_clock::now());
    snapshot.prompt = "\xff not UTF-8";

    const auto outcome = ExchangeFixture::run(snapshot, {});
    QVERIFY(outcome);
    QVERIFY(outcome->errorText);
    QVERIFY2(outcome->errorText->startsWith("sign failed: ") &&
                 outcome->errorText->size() > QString("sign failed: ").size(),
             qPrintable(*outcome->errorText));
    QCOMPARE(outcome->sigValid, std::optional<bool>());
    QCOMPARE(fixture_.daemon().receivedCount(), receivedBefore);
}

QTEST_GUILESS_MAIN(PinchExchangeTest)
#include "tst_pinch_exchange.moc"

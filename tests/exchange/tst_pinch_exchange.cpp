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

// What an exchange should end with.
struct Expected {
    std::optional<QString> errorText;
    bool errorIsPrefix = false; // the rest is the platform's description
    std::optional<bool> sigValid;
    bool answerShown = false;
};

Expected fails(QString errorText) {
    return {errorText, false, std::nullopt, false};
}
Expected failsWith(QString prefix) {
    return {prefix, true, std::nullopt, false};
}
Expected refused() {
    return {QStringLiteral("Response was for a different recipient — refusing."), false, false,
            false};
}
Expected shown(bool sigValid) {
    std::optional<QString> errorText;
    if (!sigValid)
        errorText =
            QStringLiteral("Daemon signature did not verify against its claimed public key.");
    return {errorText, false, sigValid, true};
}

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

Q_DECLARE_METATYPE(Expected)
Q_DECLARE_METATYPE(vorlund::ExchangeSettings)

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
    QTest::addColumn<ExchangeSettings>("settings");
    QTest::addColumn<Expected>("expected");

    const QString daemon = QStringLiteral("daemon");
    const DemoDaemon::ReplyHook asIs;
    const ExchangeSettings usual;
    const ExchangeSettings small{.maxBodyBytes = 1000};
    const Expected invalidUrl = fails("Invalid URL");
    const std::string valid = answerToClient();
    const std::string big(3 * 1024 * 1024, 'b'); // more than the reply's read buffer
    json missingKey = json::parse(valid);
    missingKey.erase("aSig");

    QTest::newRow("empty url") << QString() << asIs << usual << invalidUrl;
    QTest::newRow("not a url") << "not a url" << asIs << usual << invalidUrl;
    QTest::newRow("ftp") << "ftp://x" << asIs << usual << invalidUrl;
    QTest::newRow("no host") << "http://" << asIs << usual << invalidUrl;
    QTest::newRow("space in url") << "http://127.0.0.1/a b" << asIs << usual << invalidUrl;

    QTest::newRow("201 with a valid answer")
        << daemon << replyWith(201, valid) << usual
        << fails(QString::fromStdString("daemon 201: " + valid));
    QTest::newRow("500 not utf-8")
        << daemon << replyWith(500, "\xff\xfe ok \xc3") << usual << fails("daemon 500: (no body)");
    QTest::newRow("404 empty") << daemon << replyWith(404, "") << usual << fails("daemon 404: ");
    QTest::newRow("502 keeps the whole body")
        << daemon << replyWith(502, "line one\nline two \"quoted\" é") << usual
        << fails("daemon 502: line one\nline two \"quoted\" é");
    QTest::newRow("big 201 body arrives whole")
        << daemon << replyWith(201, big) << usual
        << fails(QString::fromStdString("daemon 201: " + big));
    QTest::newRow("big chunked 201 body arrives whole")
        << daemon << replyWith(201, big, true) << usual
        << fails(QString::fromStdString("daemon 201: " + big));

    QTest::newRow("missing key") << daemon << replyWith(200, missingKey.dump()) << usual
                                 << fails("request failed: " + decodingMessage(missingKey.dump()));
    QTest::newRow("not json") << daemon << replyWith(200, "<html>") << usual
                              << fails("request failed: " + decodingMessage("<html>"));
    QTest::newRow("malformed hex") << daemon << editAnswer([](json& a) { a["aSig"] = "zz"; })
                                   << usual << fails("request failed: malformedHex");
    QTest::newRow("short daemon key")
        << daemon << editAnswer([](json& a) { a["aPubKey"] = "abcd"; }) << usual
        << failsWith("request failed: badPublicKey");
    QTest::newRow("wrong recipient") << daemon << answerSignedElsewhere([](PinchRequest& r) {
        r.bPubKey = std::string(64, 'a');
    }) << usual << refused();
    QTest::newRow("wrong recipient and bad hex") << daemon << editAnswer([](json& a) {
        a["bPubKey"] = std::string(64, 'b');
        a["aSig"] = "not hex";
    }) << usual << refused();
    QTest::newRow("invalid signature")
        << daemon << editAnswer([](json& a) { a["response"] = "changed after signing"; }) << usual
        << shown(false);
    QTest::newRow("valid") << daemon << asIs << usual << shown(true);
    QTest::newRow("valid, daemon states another pinchId")
        << daemon << answerSignedElsewhere([](PinchRequest& r) {
               r.pinchId = "0190f5e2-0000-7000-8000-000000000000";
           })
        << usual << shown(true);
    QTest::newRow("valid, extra key")
        << daemon << editAnswer([](json& a) { a["extra"] = "ignored"; }) << usual << shown(true);

    const int refusingPort = closedPort();
    QTest::newRow("nobody listening names the address")
        << QStringLiteral("http://127.0.0.1:%1/pinch").arg(refusingPort) << asIs << usual
        << fails(QStringLiteral("request failed: Connection refused (127.0.0.1:%1)")
                     .arg(refusingPort));
    QTest::newRow("200 cut short") << daemon << replyWith(200, std::string(20000, 'x'), true, true)
                                   << usual << failsWith("request failed: ");
    QTest::newRow("500 cut short") << daemon << replyWith(500, std::string(20000, 'x'), true, true)
                                   << usual << failsWith("request failed: ");
    QTest::newRow("timeout") << daemon
                             << DemoDaemon::ReplyHook([](const ReceivedPinch&, DaemonReply& reply) {
                                    reply.delay = std::chrono::seconds(5);
                                })
                             << ExchangeSettings{.timeout = std::chrono::milliseconds(300)}
                             << fails("request failed: timed out (no data for 300 ms)");

    const Expected tooLarge = fails("request failed: the answer is larger than 1000 bytes");
    QTest::newRow("too large by length")
        << daemon << replyWith(200, std::string(1001, 'x')) << small << tooLarge;
    QTest::newRow("too large as it arrives")
        << daemon << replyWith(200, std::string(9000, 'x'), true) << small << tooLarge;
    QTest::newRow("too large error page")
        << daemon << replyWith(500, std::string(1001, 'x')) << small << tooLarge;
    QTest::newRow("exactly at the bound") << daemon << replyWith(503, std::string(1000, 'x'))
                                          << small << fails("daemon 503: " + QString(1000, 'x'));
    QTest::newRow("exactly at the bound, chunked")
        << daemon << replyWith(503, std::string(1000, 'x'), true) << small
        << fails("daemon 503: " + QString(1000, 'x'));
    QTest::newRow("16 MiB bound named")
        << daemon << replyWith(200, std::string(usual.maxBodyBytes + 1, 'x')) << usual
        << fails("request failed: the answer is larger than 16 MiB");
}

void PinchExchangeTest::outcome() {
    QFETCH(QString, url);
    QFETCH(DemoDaemon::ReplyHook, hook);
    QFETCH(ExchangeSettings, settings);
    QFETCH(Expected, expected);

    fixture_.setHook(hook);
    const int receivedBefore = fixture_.daemon().receivedCount();
    const PinchSnapshot snapshot =
        takeSnapshot(QStringLiteral("hello"), url == "daemon" ? fixture_.daemonUrl() : url,
                     fixture_.state(), std::chrono::system_clock::now());

    const auto outcome = ExchangeFixture::run(snapshot, settings);
    QVERIFY(outcome);

    const QString absent = QStringLiteral("(absent)");
    const QString errorText = outcome->errorText.value_or(absent);
    if (expected.errorIsPrefix) {
        QVERIFY2(errorText.startsWith(*expected.errorText), qPrintable(errorText));
        QVERIFY2(errorText.size() > expected.errorText->size(), "the description is missing");
    } else {
        QCOMPARE(errorText, expected.errorText.value_or(absent));
    }
    QCOMPARE(outcome->sigValid, expected.sigValid);
    QCOMPARE(outcome->shown.has_value(), expected.answerShown);
    if (expected.answerShown)
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

#include "protocol/canonical.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include <sodium.h>

#include <QtTest>

#include <cctype>
#include <functional>

using namespace vorlund;

Q_DECLARE_METATYPE(DaemonResponse)

namespace {

struct KeyPair {
    Bytes publicKey = Bytes(crypto_sign_PUBLICKEYBYTES);
    Bytes secretKey = Bytes(crypto_sign_SECRETKEYBYTES);
};

KeyPair keyPairFrom(std::uint8_t seedByte) {
    ensureSodium();
    KeyPair keys;
    const Bytes seed(crypto_sign_SEEDBYTES, seedByte);
    crypto_sign_seed_keypair(keys.publicKey.data(), keys.secretKey.data(), seed.data());
    return keys;
}

const KeyPair daemonKeys = keyPairFrom(0xa1);
const KeyPair otherDaemonKeys = keyPairFrom(0xa2);
const std::string clientKey = hex(keyPairFrom(0xb1).publicKey);
const std::string otherClientKey = hex(keyPairFrom(0xb2).publicKey);

std::string signatureOf(const DaemonResponse& answer, const KeyPair& keys = daemonKeys) {
    const Bytes text = canonicalEncode(signingPayloadOf(answer));
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, text.data(), text.size(),
                         keys.secretKey.data());
    return hex(signature);
}

using Change = std::function<void(DaemonResponse&)>;

// The answer a well-behaved daemon sends after `change` set its fields.
DaemonResponse signedAnswer(const Change& change = [](auto&) {}) {
    DaemonResponse answer{"Hello there",
                          42,
                          "m1",
                          "ph",
                          1700000000,
                          "0190f0e4-1c2b-7d3e-8f40-123456789abc",
                          clientKey,
                          hex(daemonKeys.publicKey),
                          ""};
    change(answer);
    answer.aSig = signatureOf(answer);
    return answer;
}

// A signed answer altered in transit.
DaemonResponse tampered(const Change& change) {
    DaemonResponse answer = signedAnswer();
    change(answer);
    return answer;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

class VerifyTest : public QObject {
    Q_OBJECT

private slots:
    void outcome_data() {
        QTest::addColumn<DaemonResponse>("answer");
        QTest::addColumn<QString>("outcome");
        const QString wrongRecipient = "wrongRecipient";
        const QString malformedHex = "malformedHex";

        QTest::newRow("signed by the daemon") << signedAnswer() << "true";
        QTest::newRow("pinchId other than the one sent")
            << signedAnswer([](auto& a) { a.pinchId = "not-the-id-we-sent"; }) << "true";
        QTest::newRow("other client, signed for it")
            << signedAnswer([](auto& a) { a.bPubKey = otherClientKey; }) << wrongRecipient;
        QTest::newRow("other client, malformed hex") << tampered([](auto& a) {
            a.bPubKey = otherClientKey;
            a.aPubKey = a.aSig = "zz";
        }) << wrongRecipient;
        QTest::newRow("own key in upper case")
            << signedAnswer([](auto& a) { a.bPubKey = upper(clientKey); }) << wrongRecipient;
        QTest::newRow("aPubKey not hex")
            << tampered([](auto& a) { a.aPubKey[10] = 'g'; }) << malformedHex;
        QTest::newRow("aSig not hex") << tampered([](auto& a) { a.aSig[0] = 'x'; }) << malformedHex;
        QTest::newRow("31-byte aPubKey") << tampered([](auto& a) { a.aPubKey.resize(62); })
                                         << "badPublicKey(public key must be 32 bytes, got 31)";
        QTest::newRow("63-digit aPubKey decodes to 32 bytes")
            << tampered([](auto& a) { a.aPubKey.resize(63); }) << "false";
        QTest::newRow("empty aSig") << tampered([](auto& a) { a.aSig = ""; }) << "false";
        QTest::newRow("aSig one byte short")
            << tampered([](auto& a) { a.aSig.resize(126); }) << "false";
        QTest::newRow("aSig in upper case")
            << tampered([](auto& a) { a.aSig = upper(a.aSig); }) << "true";
        QTest::newRow("aPubKey upper case, signed as such")
            << signedAnswer([](auto& a) { a.aPubKey = upper(a.aPubKey); }) << "true";
        QTest::newRow("signed by another key")
            << tampered([](auto& a) { a.aSig = signatureOf(a, otherDaemonKeys); }) << "false";
        QTest::newRow("response changed")
            << tampered([](auto& a) { a.response += "!"; }) << "false";
        QTest::newRow("timestamp changed")
            << tampered([](auto& a) { a.timestamp = -1700000000; }) << "false";
        QTest::newRow("invalid UTF-8, right recipient")
            << tampered([](auto& a) { a.modelVersion = "\xff"; })
            << "canonicalEncodingFailed([json.exception.type_error.316] invalid UTF-8 byte at "
               "index 0: 0xFF)";
        QTest::newRow("invalid UTF-8, malformed hex") << tampered([](auto& a) {
            a.modelVersion = "\xff";
            a.aSig = "-1";
        }) << malformedHex;
    }
    void outcome() {
        QFETCH(DaemonResponse, answer);
        QFETCH(QString, outcome);
        QString actual;
        try {
            actual = verifyDaemonResponse(answer, clientKey) ? "true" : "false";
        } catch (const VerifyError& error) {
            actual = error.what();
        }
        QCOMPARE(actual, outcome);
    }
};

QTEST_APPLESS_MAIN(VerifyTest)
#include "tst_verify.moc"

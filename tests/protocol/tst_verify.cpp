#include "protocol/canonical.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include <nlohmann/json.hpp>
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

std::string signatureOver(const std::string& text, const KeyPair& keys = daemonKeys) {
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                         keys.secretKey.data());
    return hex(signature);
}

std::string canonicalText(const DaemonResponse& answer) {
    const Bytes bytes = canonicalEncode(signingPayloadOf(answer));
    return std::string(bytes.begin(), bytes.end());
}

DaemonResponse unsignedAnswer() {
    return {"Hello there",
            42,
            "m1",
            "ph",
            1700000000,
            "0190f0e4-1c2b-7d3e-8f40-123456789abc",
            clientKey,
            hex(daemonKeys.publicKey),
            ""};
}

// The answer a well-behaved daemon sends, after `change` has set its fields.
DaemonResponse signedAnswer(const std::function<void(DaemonResponse&)>& change = {}) {
    DaemonResponse answer = unsignedAnswer();
    if (change)
        change(answer);
    answer.aSig = signatureOver(canonicalText(answer));
    return answer;
}

// A signed answer that was altered in transit.
DaemonResponse tampered(const std::function<void(DaemonResponse&)>& change) {
    DaemonResponse answer = signedAnswer();
    change(answer);
    return answer;
}

std::string upper(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

QString outcomeOf(const DaemonResponse& answer) {
    try {
        return verifyDaemonResponse(answer, clientKey) ? "true" : "false";
    } catch (const VerifyError& error) {
        return error.what();
    }
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
            a.aPubKey = "zz";
            a.aSig = "zz";
        }) << wrongRecipient;
        QTest::newRow("own key in upper case")
            << signedAnswer([](auto& a) { a.bPubKey = upper(clientKey); }) << wrongRecipient;
        QTest::newRow("empty bPubKey")
            << signedAnswer([](auto& a) { a.bPubKey = ""; }) << wrongRecipient;

        QTest::newRow("aPubKey not hex")
            << tampered([](auto& a) { a.aPubKey[10] = 'g'; }) << malformedHex;
        QTest::newRow("aSig not hex") << tampered([](auto& a) { a.aSig[0] = 'x'; }) << malformedHex;
        QTest::newRow("aSig not hex, aPubKey short") << tampered([](auto& a) {
            a.aPubKey = "abcd";
            a.aSig = "0x" + a.aSig;
        }) << malformedHex;

        QTest::newRow("empty aPubKey") << tampered([](auto& a) { a.aPubKey = ""; })
                                       << "badPublicKey(public key must be 32 bytes, got 0)";
        QTest::newRow("31-byte aPubKey") << tampered([](auto& a) { a.aPubKey.resize(62); })
                                         << "badPublicKey(public key must be 32 bytes, got 31)";
        QTest::newRow("33-byte aPubKey") << tampered([](auto& a) { a.aPubKey += "00"; })
                                         << "badPublicKey(public key must be 32 bytes, got 33)";
        QTest::newRow("63-digit aPubKey decodes to 32 bytes")
            << tampered([](auto& a) { a.aPubKey.resize(63); }) << "false";

        QTest::newRow("empty aSig") << tampered([](auto& a) { a.aSig = ""; }) << "false";
        QTest::newRow("aSig one byte short")
            << tampered([](auto& a) { a.aSig.resize(126); }) << "false";
        QTest::newRow("aSig one byte long") << tampered([](auto& a) { a.aSig += "00"; }) << "false";
        QTest::newRow("aSig in upper case")
            << tampered([](auto& a) { a.aSig = upper(a.aSig); }) << "true";
        QTest::newRow("signed by another key")
            << tampered([](auto& a) { a.aSig = signatureOver(canonicalText(a), otherDaemonKeys); })
            << "false";
        QTest::newRow("aPubKey swapped for another key")
            << tampered([](auto& a) { a.aPubKey = hex(otherDaemonKeys.publicKey); }) << "false";
        QTest::newRow("all-zero aPubKey")
            << tampered([](auto& a) { a.aPubKey = std::string(64, '0'); }) << "false";

        QTest::newRow("aPubKey upper case, signed as such")
            << signedAnswer([](auto& a) { a.aPubKey = upper(a.aPubKey); }) << "true";
        QTest::newRow("aPubKey upper case, signed lower case")
            << tampered([](auto& a) { a.aPubKey = upper(a.aPubKey); }) << "false";

        QTest::newRow("response changed")
            << tampered([](auto& a) { a.response += "!"; }) << "false";
        QTest::newRow("modelVersion changed")
            << tampered([](auto& a) { a.modelVersion = "m2"; }) << "false";
        QTest::newRow("promptHash changed")
            << tampered([](auto& a) { a.promptHash = "pH"; }) << "false";
        QTest::newRow("pinchId changed")
            << tampered([](auto& a) { a.pinchId.back() = 'd'; }) << "false";
        QTest::newRow("latencyMs changed")
            << tampered([](auto& a) { a.latencyMs = 43; }) << "false";
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
        QCOMPARE(outcomeOf(answer), outcome);
    }

    void carriedErrorIsKeptApart() {
        try {
            verifyDaemonResponse(tampered([](auto& a) { a.aPubKey.resize(62); }), clientKey);
            QFAIL("a 31-byte key was accepted");
        } catch (const VerifyError& error) {
            QVERIFY(error.kind() == VerifyError::Case::badPublicKey);
            QCOMPARE(QString::fromStdString(error.carried()),
                     "public key must be 32 bytes, got 31");
        }
        const VerifyError plain(VerifyError::Case::malformedHex);
        QVERIFY(plain.carried().empty());
        QCOMPARE(plain.what(), "malformedHex");
    }

    // Signatures over any byte string other than the canonical one must fail.
    void otherEncodingsDoNotVerify_data() {
        QTest::addColumn<QString>("encoding");
        QTest::newRow("pretty-printed") << "pretty";
        QTest::newRow("keys in reverse order") << "reversed";
        QTest::newRow("slash escaped") << "escapedSlash";
        QTest::newRow("trailing newline") << "newline";
        QTest::newRow("canonical (control)") << "canonical";
    }
    void otherEncodingsDoNotVerify() {
        QFETCH(QString, encoding);
        DaemonResponse answer = unsignedAnswer();
        answer.response = "see https://example.org/x";
        const std::string canonical = canonicalText(answer);
        const auto parsed = nlohmann::json::parse(canonical);

        std::string signedText = canonical;
        if (encoding == "pretty") {
            signedText = parsed.dump(2);
        } else if (encoding == "reversed") {
            nlohmann::ordered_json reversed;
            for (auto it = parsed.rbegin(); it != parsed.rend(); ++it)
                reversed[it.key()] = it.value();
            signedText = reversed.dump();
        } else if (encoding == "escapedSlash") {
            signedText.clear();
            for (char c : canonical)
                signedText += c == '/' ? std::string("\\/") : std::string(1, c);
        } else if (encoding == "newline") {
            signedText += '\n';
        }
        QCOMPARE(signedText == canonical, encoding == "canonical");
        answer.aSig = signatureOver(signedText);
        QCOMPARE(verifyDaemonResponse(answer, clientKey), encoding == "canonical");
    }

    void extraKeyInBodyPlaysNoPart() {
        const DaemonResponse answer = signedAnswer();
        nlohmann::json body{{"response", answer.response},
                            {"latencyMs", answer.latencyMs},
                            {"modelVersion", answer.modelVersion},
                            {"promptHash", answer.promptHash},
                            {"timestamp", answer.timestamp},
                            {"pinchId", answer.pinchId},
                            {"bPubKey", answer.bPubKey},
                            {"aPubKey", answer.aPubKey},
                            {"aSig", answer.aSig},
                            {"note", "not signed"}};
        QVERIFY(verifyDaemonResponse(decodeDaemonResponse(body.dump()), clientKey));
    }
};

QTEST_APPLESS_MAIN(VerifyTest)
#include "tst_verify.moc"

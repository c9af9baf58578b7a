#include "protocol/canonical.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <QtTest>

using namespace vorlund;
using nlohmann::json;

namespace {

const json& vectors() {
    static const json document = [] {
        QFile file(QStringLiteral(VECTORS_FILE));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot open %s", VECTORS_FILE);
        return json::parse(file.readAll().toStdString());
    }();
    return document;
}

struct SigningKey {
    Bytes publicKey = Bytes(crypto_sign_PUBLICKEYBYTES);
    Bytes secretKey = Bytes(crypto_sign_SECRETKEYBYTES);
};

SigningKey vectorKey() {
    ensureSodium();
    const auto seed = hexToData(vectors().at("signingKey").at("seed").get<std::string>());
    SigningKey key;
    crypto_sign_seed_keypair(key.publicKey.data(), key.secretKey.data(), seed->data());
    return key;
}

std::string signatureOf(const Bytes& bytes) {
    static const SigningKey key = vectorKey();
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(),
                         key.secretKey.data());
    return hex(signature);
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

void addRows(const char* section) {
    QTest::addColumn<QByteArray>("entry");
    for (const json& entry : vectors().at(section))
        QTest::newRow(entry.at("name").get<std::string>().c_str())
            << QByteArray::fromStdString(entry.dump());
}

json fetchEntry() {
    QFETCH(QByteArray, entry);
    return json::parse(entry.toStdString());
}

// The canonical bytes and their signature must match the entry exactly.
void checkEncoding(const json& entry, const Bytes& canonical) {
    QCOMPARE(qs(hex(canonical)), qs(entry.at("canonicalHex").get<std::string>()));
    if (entry.contains("canonicalText"))
        QCOMPARE(qs(std::string(canonical.begin(), canonical.end())),
                 qs(entry.at("canonicalText").get<std::string>()));
    QCOMPARE(qs(signatureOf(canonical)), qs(entry.at("signature").get<std::string>()));
}

QString outcomeOf(const std::string& body, const std::string& expectedBPubKey) {
    DaemonResponse answer;
    try {
        answer = decodeDaemonResponse(body);
    } catch (const DecodeError&) {
        return "undecodable";
    }
    try {
        return verifyDaemonResponse(answer, expectedBPubKey) ? "valid" : "invalidSignature";
    } catch (const VerifyError& error) {
        const std::string description = error.what();
        return qs(description.substr(0, description.find('(')));
    }
}

} // namespace

class VectorsTest : public QObject {
    Q_OBJECT

private slots:
    void clientPayloads_data() { addRows("clientSigningPayloads"); }
    void clientPayloads() {
        const json entry = fetchEntry();
        const json& p = entry.at("payload");
        QCOMPARE(p.size(), std::size_t(5));
        const ClientSigningPayload payload{
            p.at("bPubKey").get<std::string>(), p.at("costCap").get<std::int64_t>(),
            p.at("pinchId").get<std::string>(), p.at("prompt").get<std::string>(),
            p.at("requestedAt").get<std::int64_t>()};
        checkEncoding(entry, canonicalEncode(payload));
    }

    void serverPayloads_data() { addRows("serverSigningPayloads"); }
    void serverPayloads() {
        const json entry = fetchEntry();
        const json& p = entry.at("payload");
        QCOMPARE(p.size(), std::size_t(8));
        const ServerSigningPayload payload{
            p.at("aPubKey").get<std::string>(),    p.at("bPubKey").get<std::string>(),
            p.at("latencyMs").get<std::int64_t>(), p.at("modelVersion").get<std::string>(),
            p.at("pinchId").get<std::string>(),    p.at("promptHash").get<std::string>(),
            p.at("response").get<std::string>(),   p.at("timestamp").get<std::int64_t>()};
        checkEncoding(entry, canonicalEncode(payload));

        const DaemonResponse answer{
            payload.response,   payload.latencyMs, payload.modelVersion,
            payload.promptHash, payload.timestamp, payload.pinchId,
            payload.bPubKey,    payload.aPubKey,   entry.at("signature").get<std::string>()};
        QVERIFY(verifyDaemonResponse(answer, payload.bPubKey));
    }

    void answers_data() { addRows("answers"); }
    void answers() {
        const json entry = fetchEntry();
        QCOMPARE(outcomeOf(entry.at("body").get<std::string>(),
                           entry.at("expectedBPubKey").get<std::string>()),
                 qs(entry.at("outcome").get<std::string>()));
    }
};

QTEST_APPLESS_MAIN(VectorsTest)
#include "tst_vectors.moc"

#include "protocol/canonical.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/uuid_v7.h"
#include "protocol/verify.h"

#include "json_rows.h"
#include "reference_canonical.h"

#include <sodium.h>

#include <QtTest>

#include <random>
#include <set>

using namespace vorlund;
using nlohmann::json;

namespace {

const json& vectors() {
    static const json document = jsonFile(VECTORS_FILE);
    return document;
}

void addRows(const char* list) {
    addJsonRows(VECTORS_FILE, list);
}

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

// The canonical bytes and their signature under the file's key must match the entry exactly.
void checkEncoding(const json& entry, const Bytes& canonical) {
    ensureSodium();
    const Bytes seed = *hexToData(vectors().at("signingKey").at("seed").get<std::string>());
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey, seed.data());
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, canonical.data(), canonical.size(), secretKey);
    QCOMPARE(qs(hex(canonical)), qs(entry.at("canonicalHex")));
    QCOMPARE(qs(hex(signature)), qs(entry.at("signature")));
}

// What the client makes of an answer, in the vectors file's words, and its message.
template <typename Decode>
std::pair<QString, QString> outcomeOf(Decode decode, const std::string& bPubKey) {
    try {
        return {verifyDaemonResponse(decode(), bPubKey) ? "valid" : "invalidSignature", {}};
    } catch (const DecodeError& error) {
        return {"undecodable", error.what()};
    } catch (const VerifyError& error) {
        return {QString(error.what()).section('(', 0, 0), error.what()};
    }
}

std::pair<QString, QString> outcomeOf(const std::string& body, const std::string& bPubKey) {
    return outcomeOf([&] { return decodeDaemonResponse(body); }, bPubKey);
}

// The encoding, or the text of the JSON library's exception.
template <typename Encode> std::string encodingOrError(Encode encode) {
    try {
        return encode();
    } catch (const json::exception& error) {
        return error.what();
    }
}

} // namespace

class ProtocolTest : public QObject {
    Q_OBJECT

private slots:
    void clientPayloads_data() { addRows("clientSigningPayloads"); }
    void clientPayloads() {
        const json entry = fetchedJsonRow();
        const json& p = entry.at("payload");
        checkEncoding(entry, canonicalEncode(ClientSigningPayload{p.at("bPubKey"), p.at("costCap"),
                                                                  p.at("pinchId"), p.at("prompt"),
                                                                  p.at("requestedAt")}));
    }

    // Turned into an answer with its signature, each payload with a daemon key also verifies.
    void serverPayloads_data() { addRows("serverSigningPayloads"); }
    void serverPayloads() {
        const json entry = fetchedJsonRow();
        const json& p = entry.at("payload");
        const DaemonResponse answer{p.at("response"),   p.at("latencyMs"), p.at("modelVersion"),
                                    p.at("promptHash"), p.at("timestamp"), p.at("pinchId"),
                                    p.at("bPubKey"),    p.at("aPubKey"),   entry.at("signature")};
        checkEncoding(entry, canonicalEncode(signingPayloadOf(answer)));
        QVERIFY(answer.aPubKey.empty() || verifyDaemonResponse(answer, answer.bPubKey));
    }

    void answers_data() { addRows("answers"); }
    void answers() {
        const json entry = fetchedJsonRow();
        const std::string body =
            entry.contains("bodyHex")
                ? QByteArray::fromHex(entry.value("bodyHex", "").c_str()).toStdString()
                : entry.value("body", "");
        const auto [outcome, message] = outcomeOf(body, entry.at("expectedBPubKey"));
        QCOMPARE(outcome, qs(entry.at("outcome")));
        const QString expected = qs(entry.value("message", ""));
        QVERIFY2(!message.contains("[json.exception"), qPrintable(message));
        if (expected.endsWith(": ")) // the rest is the parser's description
            QVERIFY2(message.startsWith(expected) && message.size() > expected.size(),
                     qPrintable(message));
        else if (!expected.isEmpty())
            QCOMPARE(message, expected);
    }

    // Reached only with invalid UTF-8, which decoding never lets through; the hex comes first.
    void unencodableAnswer() {
        DaemonResponse answer{"\xff", 0, "", "", 0, "", "", std::string(64, 'a'), ""};
        QCOMPARE(outcomeOf([&] { return answer; }, "").second,
                 "canonicalEncodingFailed([json.exception.type_error.316] invalid UTF-8 byte at "
                 "index 0: 0xFF)");
        answer.aSig = "-1";
        QCOMPARE(outcomeOf([&] { return answer; }, "").second, "malformedHex");
    }

    void hexText_data() { addRows("hex"); }
    void hexText() {
        const json entry = fetchedJsonRow();
        const std::optional<Bytes> bytes = hexToData(entry.at("text").get<std::string>());
        QCOMPARE(bytes ? qs(hex(*bytes)) : "(unreadable)",
                 qs(entry.value("bytes", "(unreadable)")));
    }

    void uuidTime_data() { addRows("uuidV7"); }
    void uuidTime() {
        const json entry = fetchedJsonRow();
        const std::chrono::microseconds since(entry.at("unixMicros").get<std::int64_t>());
        const std::string id = uuidV7(std::chrono::system_clock::time_point(since));
        QCOMPARE(qs(id.substr(0, 8) + id.substr(9, 4)), qs(entry.at("timeDigits")));
    }

    // At one instant the 74 random bits still differ, in every random digit and from each other.
    void uuidLayoutAndRandomness() {
        const QRegularExpression layout(
            "^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
        const auto now = std::chrono::system_clock::now();
        std::set<QString> ids;
        for (int i = 0; i < 200; ++i) {
            const QString id = qs(uuidV7(now));
            QVERIFY2(layout.match(id).hasMatch() && ids.insert(id).second, qPrintable(id));
        }
        const auto always = [&](auto holds) { return std::all_of(ids.begin(), ids.end(), holds); };
        const QString first = *ids.begin();
        std::set<QChar> variants;
        for (const QString& id : ids)
            variants.insert(id[19]);
        QCOMPARE(variants.size(), std::size_t(4)); // 8, 9, a, b
        for (int a = 15; a < 36; ++a)
            for (int b = a; b < 36 && a != 18 && a != 23; ++b)
                QVERIFY2(b == 18 || b == 23 || !always([&](const QString& id) {
                             return id[a] == (a == b ? first[a] : id[b]);
                         }),
                         qPrintable(QString("digits %1 and %2").arg(a).arg(b)));
    }

    // The canonical form is the JSON library's compact dump: the same bytes for random texts of
    // escapes and UTF-8 edge cases, and the library's own error where one is ill-formed.
    void canonicalIsTheLibrarysDump() {
        QList<QByteArray> pieces = QByteArray("a|Hello, world. |/|\"|\\|\n|\t|\x01|\x1f|\x7f|"
                                              "\xc2\x80|\xdf\xbf|\xe0\xa0\x80|\xed\x9f\xbf|"
                                              "\xef\xbf\xbf|\xf0\x90\x80\x80|\xf4\x8f\xbf\xbf")
                                       .split('|') +
                                   QByteArray("\x80|\xc0\x80|\xc1\xbf|\xc3|\xe0\x80\x80|\xe2\x82|"
                                              "\xed\xa0\x80|\xf0\x80\x80\x80|\xf4\x90\x80\x80|"
                                              "\xf5\x80\x80\x80|\xff")
                                       .split('|');
        pieces.prepend(QByteArray(1, '\0'));
        std::mt19937 random(20240601);
        const auto text = [&] {
            std::string text;
            for (int i = random() % 40; i > 0; --i)
                text += random() % 200 ? pieces[random() % 18] : pieces[18 + random() % 11];
            return text;
        };
        int failures = 0;
        for (int i = 0; i < 20000; ++i) {
            const ClientSigningPayload p{text(), std::int64_t(random() << 32 | random()), text(),
                                         text(), -std::int64_t(random())};
            const std::string expected =
                encodingOrError([&] { return test::referenceCanonical(p); });
            failures += expected.starts_with("[json.exception");
            QCOMPARE(encodingOrError([&] {
                         const Bytes bytes = canonicalEncode(p);
                         return std::string(bytes.begin(), bytes.end());
                     }),
                     expected);
        }
        QVERIFY2(failures > 100, "too few ill-formed samples to exercise the error path");
    }
};

QTEST_APPLESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"

#include "protocol/canonical.h"
#include "protocol/json_codec.h"

#include <nlohmann/json.hpp>

#include <QtTest>

#include <limits>
#include <random>

using namespace vorlund;

namespace {

QByteArray asText(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
}

QByteArray encodedPrompt(const std::string& prompt) {
    return asText(canonicalEncode(ClientSigningPayload{"", 0, "", prompt, 0}));
}

// The canonical text of a client payload whose prompt is written as `escaped`.
QByteArray withPrompt(const QByteArray& escaped) {
    return R"({"bPubKey":"","costCap":0,"pinchId":"","prompt":")" + escaped +
           R"(","requestedAt":0})";
}

// Text built from pieces that exercise every branch of an escaper and UTF-8 validator, in
// runs long and short enough to cross word boundaries, with an occasional ill-formed piece.
std::string randomText(std::mt19937& random) {
    static const std::vector<std::string> wellFormed = {"a",
                                                        "Hello, world. ",
                                                        "0123456789abcdef",
                                                        "/",
                                                        "\"",
                                                        "\\",
                                                        "\n",
                                                        "\r\n",
                                                        "\t",
                                                        std::string(1, '\0'),
                                                        "\x01",
                                                        "\x1f",
                                                        "\x7f",
                                                        " ",
                                                        "\xc2\x80",
                                                        "\xc3\xa9",
                                                        "\xdf\xbf",
                                                        "\xe0\xa0\x80",
                                                        "\xe2\x82\xac",
                                                        "\xed\x9f\xbf",
                                                        "\xee\x80\x80",
                                                        "\xef\xbf\xbf",
                                                        "\xf0\x90\x80\x80",
                                                        "\xf0\x9f\x98\x80",
                                                        "\xf4\x8f\xbf\xbf"};
    static const std::vector<std::string> illFormed = {"\x80",
                                                       "\xbf",
                                                       "\xc0\x80",
                                                       "\xc1\xbf",
                                                       "\xc3",
                                                       "\xe0\x80\x80",
                                                       "\xe2\x82",
                                                       "\xed\xa0\x80",
                                                       "\xf0\x80\x80\x80",
                                                       "\xf4\x90\x80\x80",
                                                       "\xf5\x80\x80\x80",
                                                       "\xff"};
    std::string text;
    const int pieces = std::uniform_int_distribution(0, 40)(random);
    for (int i = 0; i < pieces; ++i) {
        if (std::uniform_int_distribution(0, 199)(random) == 0)
            text += illFormed[random() % illFormed.size()];
        else
            text += wellFormed[random() % wellFormed.size()];
    }
    return text;
}

// What the JSON library itself writes for the same object, or the text of its exception.
QByteArray libraryEncoding(const ClientSigningPayload& p) {
    try {
        return QByteArray::fromStdString(nlohmann::json{
            {"bPubKey", p.bPubKey},
            {"costCap", p.costCap},
            {"pinchId", p.pinchId},
            {"prompt", p.prompt},
            {"requestedAt", p.requestedAt}}.dump());
    } catch (const nlohmann::json::exception& error) {
        return error.what();
    }
}

QByteArray ourEncoding(const ClientSigningPayload& p) {
    try {
        return asText(canonicalEncode(p));
    } catch (const nlohmann::json::exception& error) {
        return error.what();
    }
}

} // namespace

class CanonicalTest : public QObject {
    Q_OBJECT

private slots:
    void clientPayloadExample() {
        const Bytes bytes = canonicalEncode(ClientSigningPayload{"", 0, "", "a/b", 1700000000});
        QCOMPARE(bytes.size(), std::size_t(79));
        QCOMPARE(
            asText(bytes),
            R"({"bPubKey":"","costCap":0,"pinchId":"","prompt":"a/b","requestedAt":1700000000})");
    }

    void serverPayloadExample() {
        const Bytes bytes =
            canonicalEncode(ServerSigningPayload{"", "", 42, "m1", "", "", "Hi", -1});
        QCOMPARE(bytes.size(), std::size_t(122));
        QCOMPARE(
            asText(bytes),
            R"({"aPubKey":"","bPubKey":"","latencyMs":42,"modelVersion":"m1","pinchId":"","promptHash":"","response":"Hi","timestamp":-1})");
    }

    void stringEscaping_data() {
        QTest::addColumn<QByteArray>("prompt");
        QTest::addColumn<QByteArray>("escaped");
        QTest::newRow("quotation mark") << QByteArray("say \"hi\"") << QByteArray(R"(say \"hi\")");
        QTest::newRow("backslash") << QByteArray(R"(C:\dir)") << QByteArray(R"(C:\\dir)");
        QTest::newRow("solidus unescaped") << QByteArray("</a>/") << QByteArray("</a>/");
        QTest::newRow("DEL raw") << QByteArray("\x7f") << QByteArray("\x7f");
        QTest::newRow("e acute raw") << QByteArray("caf\xc3\xa9") << QByteArray("caf\xc3\xa9");
        QTest::newRow("emoji raw")
            << QByteArray("\xf0\x9f\x98\x80") << QByteArray("\xf0\x9f\x98\x80");
        QTest::newRow("decomposed e acute kept")
            << QByteArray("e\xcc\x81") << QByteArray("e\xcc\x81");
        QTest::newRow("U+2028 raw") << QByteArray("\xe2\x80\xa8") << QByteArray("\xe2\x80\xa8");
        QTest::newRow("CRLF") << QByteArray("a\r\nb") << QByteArray(R"(a\r\nb)");

        // Every control character: the five short escapes, \u00xx in lower case otherwise.
        for (int c = 0; c < 0x20; ++c) {
            QByteArray escaped;
            switch (c) {
            case '\b':
                escaped = "\\b";
                break;
            case '\t':
                escaped = "\\t";
                break;
            case '\n':
                escaped = "\\n";
                break;
            case '\f':
                escaped = "\\f";
                break;
            case '\r':
                escaped = "\\r";
                break;
            default:
                escaped = QByteArray("\\u00") + QByteArray::number(c, 16).rightJustified(2, '0');
            }
            QTest::addRow("U+%04X", c) << QByteArray(1, char(c)) << escaped;
        }
    }
    void stringEscaping() {
        QFETCH(QByteArray, prompt);
        QFETCH(QByteArray, escaped);
        QCOMPARE(encodedPrompt(prompt.toStdString()), withPrompt(escaped));
    }

    void integers_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("min") << std::numeric_limits<qint64>::min()
                             << QByteArray("-9223372036854775808");
        QTest::newRow("minus one") << qint64(-1) << QByteArray("-1");
        QTest::newRow("zero") << qint64(0) << QByteArray("0");
        QTest::newRow("ten") << qint64(10) << QByteArray("10");
        QTest::newRow("max") << std::numeric_limits<qint64>::max()
                             << QByteArray("9223372036854775807");
    }
    void integers() {
        QFETCH(qint64, value);
        QFETCH(QByteArray, text);
        QCOMPARE(
            asText(canonicalEncode(ServerSigningPayload{"", "", value, "", "", "", "", value})),
            R"({"aPubKey":"","bPubKey":"","latencyMs":)" + text +
                R"(,"modelVersion":"","pinchId":"","promptHash":"","response":"","timestamp":)" +
                text + "}");
    }

    void invalidUtf8Throws_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("lone continuation byte") << QByteArray("\x80");
        QTest::newRow("truncated sequence") << QByteArray("a\xc3");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf");
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
        QTest::newRow("0xFF") << QByteArray("\xff");
    }
    void invalidUtf8Throws() {
        QFETCH(QByteArray, text);
        QVERIFY_THROWS_EXCEPTION(nlohmann::json::type_error, encodedPrompt(text.toStdString()));
        QVERIFY_THROWS_EXCEPTION(
            nlohmann::json::type_error,
            canonicalEncode(ServerSigningPayload{"", "", 0, "", "", "", text.toStdString(), 0}));
    }

    // The canonical form is defined as the JSON library's compact dump; the encoder must agree
    // with it byte for byte, and fail with the library's own error where the library fails.
    void agreesWithTheJsonLibrary() {
        std::mt19937 random(20240601);
        int failures = 0;
        for (int i = 0; i < 20000; ++i) {
            const ClientSigningPayload payload{
                randomText(random), std::int64_t(random()) - (1 << 30), randomText(random),
                randomText(random), std::int64_t(random()) << 31};
            const QByteArray expected = libraryEncoding(payload);
            failures += expected.startsWith("[json.exception");
            QCOMPARE(ourEncoding(payload), expected);
        }
        QVERIFY2(failures > 100, "too few ill-formed samples to exercise the error path");
    }

    void sameValueSameBytes() {
        const ServerSigningPayload payload{"ab", "cd", 7, "m/1", "id", "h", "\"x\"\n\xc3\xa9", 9};
        QCOMPARE(asText(canonicalEncode(payload)), asText(canonicalEncode(payload)));
    }

    void signingPayloadsCopyTheirParents() {
        const PinchRequest request{"b", "sig", 1000, "id", "p", 17};
        QVERIFY(signingPayloadOf(request) == (ClientSigningPayload{"b", 1000, "id", "p", 17}));
        const DaemonResponse response{"r", 5, "m", "h", -3, "id", "b", "a", "sig"};
        QVERIFY(signingPayloadOf(response) ==
                (ServerSigningPayload{"a", "b", 5, "m", "id", "h", "r", -3}));
    }

    void requestBodyIsCompactJsonOfAllSixFields() {
        const PinchRequest request{"bb", "ss", 1000, "id", "a/\"b\"", -2};
        const std::string body = encodePinchRequest(request);
        QVERIFY2(body.find_first_of(" \n") == std::string::npos, body.c_str());
        const nlohmann::json expected{{"bPubKey", "bb"},     {"bSig", "ss"},
                                      {"costCap", 1000},     {"pinchId", "id"},
                                      {"prompt", "a/\"b\""}, {"requestedAt", -2}};
        QVERIFY2(nlohmann::json::parse(body) == expected, body.c_str());
    }
};

QTEST_APPLESS_MAIN(CanonicalTest)
#include "tst_canonical.moc"

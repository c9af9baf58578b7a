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

// Pieces that reach every branch of an escaper and UTF-8 validator, now and then ill-formed.
std::string randomText(std::mt19937& random) {
    static const std::vector<std::string> wellFormed = {"a",
                                                        "Hello, world. ",
                                                        "/",
                                                        "\"",
                                                        "\\",
                                                        "\n",
                                                        "\t",
                                                        std::string(1, '\0'),
                                                        "\x01",
                                                        "\x1f",
                                                        "\x7f",
                                                        "\xc2\x80",
                                                        "\xdf\xbf",
                                                        "\xe0\xa0\x80",
                                                        "\xed\x9f\xbf",
                                                        "\xef\xbf\xbf",
                                                        "\xf0\x90\x80\x80",
                                                        "\xf4\x8f\xbf\xbf"};
    static const std::vector<std::string> illFormed = {"\x80",
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
    for (int i = 0; i < pieces; ++i)
        text += std::uniform_int_distribution(0, 199)(random) == 0
                    ? illFormed[random() % illFormed.size()]
                    : wellFormed[random() % wellFormed.size()];
    return text;
}

// The encoding, or the text of the JSON library's exception.
template <typename Encode> QByteArray encodingOrError(Encode encode) {
    try {
        return encode();
    } catch (const nlohmann::json::exception& error) {
        return error.what();
    }
}

} // namespace

class CanonicalTest : public QObject {
    Q_OBJECT

private slots:
    void examples() {
        QCOMPARE(
            asText(canonicalEncode(ClientSigningPayload{"", 0, "", "a/b", 1700000000})),
            R"({"bPubKey":"","costCap":0,"pinchId":"","prompt":"a/b","requestedAt":1700000000})");
        QCOMPARE(
            asText(canonicalEncode(ServerSigningPayload{"", "", 42, "m1", "", "", "Hi", -1})),
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
        // Five short escapes, \u00xx in lower case otherwise.
        const QMap<int, QByteArray> shortEscapes{
            {'\b', "\\b"}, {'\t', "\\t"}, {'\n', "\\n"}, {'\f', "\\f"}, {'\r', "\\r"}};
        for (int c = 0; c < 0x20; ++c)
            QTest::addRow("U+%04X", c)
                << QByteArray(1, char(c))
                << shortEscapes.value(c,
                                      "\\u00" + QByteArray::number(c, 16).rightJustified(2, '0'));
    }
    void stringEscaping() {
        QFETCH(QByteArray, prompt);
        QFETCH(QByteArray, escaped);
        QCOMPARE(encodedPrompt(prompt.toStdString()),
                 R"({"bPubKey":"","costCap":0,"pinchId":"","prompt":")" + escaped +
                     R"(","requestedAt":0})");
    }

    void integers_data() {
        QTest::addColumn<qint64>("value");
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("min") << std::numeric_limits<qint64>::min()
                             << QByteArray("-9223372036854775808");
        QTest::newRow("minus one") << qint64(-1) << QByteArray("-1");
        QTest::newRow("zero") << qint64(0) << QByteArray("0");
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
        QTest::newRow("encoded surrogate") << QByteArray("\xed\xa0\x80");
    }
    void invalidUtf8Throws() {
        QFETCH(QByteArray, text);
        QVERIFY_THROWS_EXCEPTION(nlohmann::json::type_error, encodedPrompt(text.toStdString()));
        QVERIFY_THROWS_EXCEPTION(
            nlohmann::json::type_error,
            canonicalEncode(ServerSigningPayload{"", "", 0, "", "", "", text.toStdString(), 0}));
    }

    // The canonical form is the JSON library's compact dump: agree byte for byte, and fail
    // with the library's own error where it fails.
    void agreesWithTheJsonLibrary() {
        std::mt19937 random(20240601);
        int failures = 0;
        for (int i = 0; i < 20000; ++i) {
            const ClientSigningPayload p{randomText(random), std::int64_t(random()) - (1 << 30),
                                         randomText(random), randomText(random),
                                         std::int64_t(random()) << 31};
            const QByteArray expected = encodingOrError([&] {
                return QByteArray::fromStdString(nlohmann::json{
                    {"bPubKey", p.bPubKey},
                    {"costCap", p.costCap},
                    {"pinchId", p.pinchId},
                    {"prompt", p.prompt},
                    {"requestedAt", p.requestedAt}}.dump());
            });
            failures += expected.startsWith("[json.exception");
            QCOMPARE(encodingOrError([&] { return asText(canonicalEncode(p)); }), expected);
        }
        QVERIFY2(failures > 100, "too few ill-formed samples to exercise the error path");
    }

    void signingPayloadOfARequest() {
        const PinchRequest request{"b", "sig", 1000, "id", "p", 17};
        QVERIFY(signingPayloadOf(request) == (ClientSigningPayload{"b", 1000, "id", "p", 17}));
    }

    void requestBodyIsCompactJsonOfAllSixFields() {
        const std::string body = encodePinchRequest({"bb", "ss", 1000, "id", "a/\"b\"", -2});
        QVERIFY2(body.find_first_of(" \n") == std::string::npos, body.c_str());
        const nlohmann::json expected{{"bPubKey", "bb"},     {"bSig", "ss"},
                                      {"costCap", 1000},     {"pinchId", "id"},
                                      {"prompt", "a/\"b\""}, {"requestedAt", -2}};
        QVERIFY2(nlohmann::json::parse(body) == expected, body.c_str());
    }
};

QTEST_APPLESS_MAIN(CanonicalTest)
#include "tst_canonical.moc"

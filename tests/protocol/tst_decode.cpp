#include "protocol/json_codec.h"

#include <nlohmann/json.hpp>

#include <QtTest>

using namespace vorlund;
using nlohmann::json;

namespace {

json validAnswer() {
    return {{"response", "Hi"},   {"latencyMs", 42}, {"modelVersion", "m1"},
            {"promptHash", "ph"}, {"timestamp", -1}, {"pinchId", "id"},
            {"bPubKey", "bb"},    {"aPubKey", "aa"}, {"aSig", "ss"}};
}

QByteArray bodyOf(const json& answer) {
    return QByteArray::fromStdString(answer.dump());
}

// The valid answer with one key's value replaced by raw JSON text.
QByteArray withRawValue(const char* key, const QByteArray& raw) {
    json answer = validAnswer();
    answer[key] = "@";
    return bodyOf(answer).replace(QByteArray("\"") + key + "\":\"@\"",
                                  QByteArray("\"") + key + "\":" + raw);
}

QByteArray deep(char open, char close) {
    constexpr int depth = 100000;
    return QByteArray(depth, open) + QByteArray(depth, close);
}

} // namespace

class DecodeTest : public QObject {
    Q_OBJECT

private slots:
    void decodesEveryField() {
        const DaemonResponse decoded = decodeDaemonResponse(
            R"({"aSig":"ss","aPubKey":"aa","bPubKey":"bb","pinchId":"id","timestamp":-9223372036854775808,)"
            R"("promptHash":"ph","modelVersion":"m\/1 \u00e9","latencyMs":9223372036854775807,"response":"a\nb"})");
        const DaemonResponse expected{"a\nb", INT64_MAX, "m/1 \xc3\xa9", "ph", INT64_MIN,
                                      "id",   "bb",      "aa",           "ss"};
        QVERIFY(decoded == expected);
    }

    void acceptsUnknownKeysAndWhitespace_data() {
        QTest::addColumn<QByteArray>("body");
        json extra = validAnswer();
        extra["extra"] = {{"nested", {1, 2, nullptr}}};
        extra["APubKey"] = 5;
        QTest::newRow("extra keys") << bodyOf(extra);
        QTest::newRow("pretty-printed") << QByteArray::fromStdString(validAnswer().dump(2));
        QTest::newRow("deep value under an unknown key")
            << bodyOf(validAnswer()).chopped(1) + ",\"extra\":" + deep('[', ']') + "}";
    }
    void acceptsUnknownKeysAndWhitespace() {
        QFETCH(QByteArray, body);
        const DaemonResponse decoded = decodeDaemonResponse(body.toStdString());
        QVERIFY(decoded == (DaemonResponse{"Hi", 42, "m1", "ph", -1, "id", "bb", "aa", "ss"}));
    }

    // The error must begin with `error`; the library's own wording never shows.
    void rejects_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        for (const char* key : {"response", "aSig", "latencyMs", "timestamp"}) {
            json missing = validAnswer();
            missing.erase(key);
            QTest::addRow("%s missing", key)
                << bodyOf(missing) << QString("key \"%1\" is missing").arg(key);
            QTest::addRow("%s null", key)
                << withRawValue(key, "null") << QString("key \"%1\" is null").arg(key);
        }
        for (const char* raw : {"1", "[]"})
            QTest::addRow("aSig = %s", raw)
                << withRawValue("aSig", raw) << "key \"aSig\" is not a string";
        for (const char* raw : {"\"42\"", "true", "1.0", "1.5", "1e2"})
            QTest::addRow("latencyMs = %s", raw)
                << withRawValue("latencyMs", raw) << "key \"latencyMs\" is not an integer";
        for (const char* raw :
             {"9223372036854775808", "18446744073709551615", "-9223372036854775809", "1e19"})
            QTest::addRow("timestamp = %s", raw)
                << withRawValue("timestamp", raw)
                << "key \"timestamp\" is outside the signed 64-bit range";

        json caseDifferent = validAnswer();
        caseDifferent.erase("aPubKey");
        caseDifferent["apubkey"] = "aa";
        QTest::newRow("aPubKey only in another case")
            << bodyOf(caseDifferent) << "key \"aPubKey\" is missing";
        json severalBad = validAnswer();
        severalBad.erase("aSig");
        severalBad["timestamp"] = "now";
        severalBad["promptHash"] = 3;
        QTest::newRow("first bad field in declaration order")
            << bodyOf(severalBad) << "key \"promptHash\" is not a string";

        const QByteArray valid = bodyOf(validAnswer());
        QTest::newRow("array") << QByteArray("[]") << "the answer is not a JSON object";
        QTest::newRow("deep arrays") << deep('[', ']') << "the answer is not a JSON object";
        QTest::newRow("deep objects")
            << QByteArray("{\"x\":").repeated(100000) + "1" + QByteArray(100000, '}')
            << "key \"response\" is missing";
        QTest::newRow("unclosed deep arrays") << QByteArray(100000, '[') << "invalid JSON: ";
        QTest::newRow("empty") << QByteArray() << "invalid JSON: ";
        QTest::newRow("plain text") << QByteArray("Internal error") << "invalid JSON: ";
        QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + valid << "invalid JSON: ";
        QTest::newRow("trailing garbage") << valid + "x"
                                          << "invalid JSON: ";
        QTest::newRow("invalid UTF-8") << withRawValue("response", "\"\xff\"") << "invalid JSON: ";
        QTest::newRow("NUL after the object") << valid + QByteArray(1, '\0') << "invalid JSON: ";
        QTest::newRow("NUL before the object") << QByteArray(1, '\0') + valid << "invalid JSON: ";
    }
    void rejects() {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        try {
            decodeDaemonResponse(body.toStdString());
            QFAIL("decoded");
        } catch (const DecodeError& failure) {
            const QString actual = QString::fromUtf8(failure.what());
            QVERIFY2(actual.startsWith(error) && actual.size() > 14, qPrintable(actual));
            QVERIFY2(!actual.contains("[json.exception"), qPrintable(actual));
        }
    }
};

QTEST_APPLESS_MAIN(DecodeTest)
#include "tst_decode.moc"

#include "protocol/json_codec.h"

#include <nlohmann/json.hpp>

#include <QtTest>

using namespace vorlund;
using nlohmann::json;

namespace {

const char* const textKeys[] = {"response", "modelVersion", "promptHash", "pinchId",
                                "bPubKey",  "aPubKey",      "aSig"};
const char* const integerKeys[] = {"latencyMs", "timestamp"};

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

QString decodeError(const QByteArray& body) {
    try {
        decodeDaemonResponse(body.toStdString());
    } catch (const DecodeError& error) {
        return QString::fromUtf8(error.what());
    }
    return {};
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
        QTest::newRow("surrounding whitespace") << " \n\t" + bodyOf(validAnswer()) + "\r\n ";
    }
    void acceptsUnknownKeysAndWhitespace() {
        QFETCH(QByteArray, body);
        const DaemonResponse decoded = decodeDaemonResponse(body.toStdString());
        QVERIFY(decoded == (DaemonResponse{"Hi", 42, "m1", "ph", -1, "id", "bb", "aa", "ss"}));
    }

    void rejects_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");

        for (const char* key : textKeys) {
            json missing = validAnswer();
            missing.erase(key);
            QTest::addRow("%s missing", key)
                << bodyOf(missing) << QString("key \"%1\" is missing").arg(key);
            QTest::addRow("%s null", key)
                << withRawValue(key, "null") << QString("key \"%1\" is null").arg(key);
            for (const char* raw : {"1", "true", "[]", "{}"})
                QTest::addRow("%s = %s", key, raw)
                    << withRawValue(key, raw) << QString("key \"%1\" is not a string").arg(key);
        }
        for (const char* key : integerKeys) {
            json missing = validAnswer();
            missing.erase(key);
            QTest::addRow("%s missing", key)
                << bodyOf(missing) << QString("key \"%1\" is missing").arg(key);
            QTest::addRow("%s null", key)
                << withRawValue(key, "null") << QString("key \"%1\" is null").arg(key);
            const QString notInteger = QString("key \"%1\" is not an integer").arg(key);
            const QString outside =
                QString("key \"%1\" is outside the signed 64-bit range").arg(key);
            for (const char* raw :
                 {"\"42\"", "true", "[]", "{}", "1.0", "1.5", "-0.0", "1e2", "-9.2e18"})
                QTest::addRow("%s = %s", key, raw) << withRawValue(key, raw) << notInteger;
            for (const char* raw :
                 {"9223372036854775808", "18446744073709551615", "18446744073709551616",
                  "-9223372036854775809", "1e19", "-1e300", "-9223372036854775808.0"})
                QTest::addRow("%s = %s", key, raw) << withRawValue(key, raw) << outside;
        }

        json caseDifferent = validAnswer();
        caseDifferent.erase("aPubKey");
        caseDifferent["apubkey"] = "aa";
        caseDifferent["APubKey"] = "aa";
        QTest::newRow("aPubKey only in another case")
            << bodyOf(caseDifferent) << "key \"aPubKey\" is missing";

        json severalBad = validAnswer();
        severalBad.erase("aSig");
        severalBad["bPubKey"] = nullptr;
        severalBad["timestamp"] = "now";
        severalBad["promptHash"] = 3;
        QTest::newRow("first bad field in declaration order")
            << bodyOf(severalBad) << "key \"promptHash\" is not a string";
        json laterBad = severalBad;
        laterBad["promptHash"] = "ph";
        QTest::newRow("then the next one")
            << bodyOf(laterBad) << "key \"timestamp\" is not an integer";

        QTest::newRow("empty object") << QByteArray("{}") << "key \"response\" is missing";
        QTest::newRow("array") << QByteArray("[]") << "the answer is not a JSON object";
        QTest::newRow("string") << QByteArray("\"{}\"") << "the answer is not a JSON object";
        QTest::newRow("null") << QByteArray("null") << "the answer is not a JSON object";
    }
    void rejects() {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        QCOMPARE(decodeError(body), error);
    }

    void rejectsWhatIsNotJson_data() {
        QTest::addColumn<QByteArray>("body");
        const QByteArray valid = bodyOf(validAnswer());
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("plain text") << QByteArray("Internal error");
        QTest::newRow("byte-order mark") << "\xef\xbb\xbf" + valid;
        QTest::newRow("trailing garbage") << valid + "x";
        QTest::newRow("two objects") << valid + valid;
        QTest::newRow("truncated") << valid.chopped(1);
        QTest::newRow("trailing comma") << valid.chopped(1) + ",}";
        QTest::newRow("comment") << "/* hi */" + valid;
        QTest::newRow("single quotes") << QByteArray("{'response':'Hi'}");
        QTest::newRow("raw line break in string") << withRawValue("response", "\"a\nb\"");
        QTest::newRow("invalid UTF-8 in string") << withRawValue("response", "\"\xff\"");
        QTest::newRow("lone surrogate escape") << withRawValue("response", R"("\ud800")");
        QTest::newRow("number overflow") << withRawValue("latencyMs", "1e400");
        QTest::newRow("NaN") << withRawValue("latencyMs", "NaN");
        QTest::newRow("leading zero") << withRawValue("latencyMs", "042");
        QTest::newRow("plus sign") << withRawValue("latencyMs", "+42");
        QTest::newRow("NUL after the object") << valid + QByteArray(1, '\0');
        QTest::newRow("NUL and garbage after the object") << valid + QByteArray("\0garbage", 8);
        QTest::newRow("NUL before the object") << QByteArray(1, '\0') + valid;
    }
    void rejectsWhatIsNotJson() {
        QFETCH(QByteArray, body);
        const QString error = decodeError(body);
        QVERIFY2(error.startsWith("invalid JSON: "), qPrintable(error));
        QVERIFY2(!error.contains("[json.exception"), qPrintable(error));
        QVERIFY2(error.size() > QString("invalid JSON: ").size(), qPrintable(error));
    }

    // The parser must not recurse per level: these bodies have to come back as a result or an
    // error, not as a stack overflow.
    void survivesDeepNesting_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        constexpr int depth = 100000;
        QTest::newRow("deep arrays")
            << QByteArray(depth, '[') + QByteArray(depth, ']') << "the answer is not a JSON object";
        QTest::newRow("unclosed deep arrays") << QByteArray(depth, '[') << "invalid JSON";

        QByteArray deepObjects;
        for (int i = 0; i < depth; ++i)
            deepObjects += "{\"x\":";
        deepObjects += "1" + QByteArray(depth, '}');
        QTest::newRow("deep objects") << deepObjects << "key \"response\" is missing";

        QByteArray withDeepExtra = bodyOf(validAnswer());
        withDeepExtra.chop(1);
        withDeepExtra += ",\"extra\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + "}";
        QTest::newRow("deep value under an unknown key") << withDeepExtra << "";
    }
    void survivesDeepNesting() {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        const QString actual = decodeError(body);
        if (error.isEmpty())
            QCOMPARE(actual, error);
        else
            QVERIFY2(actual.startsWith(error), qPrintable(actual));
    }
};

QTEST_APPLESS_MAIN(DecodeTest)
#include "tst_decode.moc"

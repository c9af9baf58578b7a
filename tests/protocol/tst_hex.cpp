#include "protocol/hex.h"

#include <QtTest>

using vorlund::Bytes;
using vorlund::hex;
using vorlund::hexToData;

Q_DECLARE_METATYPE(std::optional<Bytes>)

namespace {

// Readable on failure: the hex of the bytes, or "nothing".
QString shown(const std::optional<Bytes>& bytes) {
    return bytes ? "bytes " + QString::fromStdString(hex(*bytes)) : QStringLiteral("nothing");
}

} // namespace

class HexTest : public QObject {
    Q_OBJECT

private slots:
    void hexWritesLowerCasePairs_data() {
        QTest::addColumn<Bytes>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << Bytes{} << "";
        QTest::newRow("zero, middle, top") << Bytes{0x00, 0xab, 0xff} << "00abff";
        QTest::newRow("leading zero nibble") << Bytes{0x01, 0x0a, 0x10} << "010a10";
    }
    void hexWritesLowerCasePairs() {
        QFETCH(Bytes, bytes);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(hex(bytes)), text);
    }

    void hexToDataDecodes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<Bytes>>("expected");
        const std::optional<Bytes> nothing;
        QTest::newRow("empty is present") << "" << std::optional(Bytes{});
        QTest::newRow("lower case") << "00abff" << std::optional(Bytes{0x00, 0xab, 0xff});
        QTest::newRow("upper case") << "00ABFF" << std::optional(Bytes{0x00, 0xab, 0xff});
        QTest::newRow("mixed case") << "aBcD" << std::optional(Bytes{0xab, 0xcd});
        QTest::newRow("odd tail is a whole byte") << "abc" << std::optional(Bytes{0xab, 0x0c});
        QTest::newRow("single digit") << "f" << std::optional(Bytes{0x0f});
        QTest::newRow("plus and digit") << "+f" << std::optional(Bytes{0x0f});
        QTest::newRow("plus inside") << "00+a" << std::optional(Bytes{0x00, 0x0a});
        QTest::newRow("minus zero") << "-0" << std::optional(Bytes{0x00});
        QTest::newRow("minus one") << "-1" << nothing;
        QTest::newRow("lone plus") << "+" << nothing;
        QTest::newRow("lone minus") << "-" << nothing;
        QTest::newRow("plus as odd tail") << "ab+" << nothing;
        QTest::newRow("sign after digit") << "1+" << nothing;
        QTest::newRow("double sign") << "++" << nothing;
        QTest::newRow("not hex") << "zz" << nothing;
        QTest::newRow("prefix") << "0x00" << nothing;
        QTest::newRow("leading space") << " a" << nothing;
        QTest::newRow("trailing space") << "a " << nothing;
        QTest::newRow("bad group after good ones") << "0011zz" << nothing;
        QTest::newRow("non-ASCII") << "\u00e9\u00e9" << nothing;
        QTest::newRow("full-width digits") << "\uff10\uff10" << nothing;
    }
    void hexToDataDecodes() {
        QFETCH(QString, text);
        QFETCH(std::optional<Bytes>, expected);
        const std::string utf8 = text.toStdString();
        QCOMPARE(shown(hexToData(utf8)), shown(expected));
    }

    void embeddedNulIsMalformed() {
        QCOMPARE(shown(hexToData(std::string_view("0\0", 2))), shown(std::nullopt));
    }

    void roundTripsKeysAndSignatures_data() {
        QTest::addColumn<int>("byteCount");
        QTest::newRow("public key") << 32;
        QTest::newRow("signature") << 64;
        QTest::newRow("every byte value") << 256;
    }
    void roundTripsKeysAndSignatures() {
        QFETCH(int, byteCount);
        Bytes bytes(byteCount);
        for (int i = 0; i < byteCount; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        const std::string text = hex(bytes);
        QCOMPARE(text.size(), std::size_t(2 * byteCount));
        QCOMPARE(shown(hexToData(text)), shown(bytes));
        QCOMPARE(hex(*hexToData(text)), text);
    }
};

QTEST_APPLESS_MAIN(HexTest)
#include "tst_hex.moc"

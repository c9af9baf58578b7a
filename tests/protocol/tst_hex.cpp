#include "protocol/hex.h"

#include <QtTest>

using vorlund::Bytes;
using vorlund::hex;
using vorlund::hexToData;

Q_DECLARE_METATYPE(std::optional<Bytes>)

namespace {

QString shown(const std::optional<Bytes>& bytes) {
    return bytes ? "bytes " + QString::fromStdString(hex(*bytes)) : QStringLiteral("nothing");
}

} // namespace

class HexTest : public QObject {
    Q_OBJECT

private slots:
    // Groups of two are parsed like an unsigned byte in radix 16: a sign may lead a group.
    void hexToDataDecodes_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<std::optional<Bytes>>("expected");
        const std::optional<Bytes> nothing;
        QTest::newRow("empty is present") << QByteArray("") << std::optional(Bytes{});
        QTest::newRow("upper case") << QByteArray("00ABff") << std::optional(Bytes{0, 0xab, 0xff});
        QTest::newRow("odd tail is a whole byte")
            << QByteArray("abc") << std::optional(Bytes{0xab, 0x0c});
        QTest::newRow("plus and digit") << QByteArray("+f") << std::optional(Bytes{0x0f});
        QTest::newRow("minus zero") << QByteArray("-0") << std::optional(Bytes{0x00});
        QTest::newRow("minus one") << QByteArray("-1") << nothing;
        QTest::newRow("lone plus") << QByteArray("+") << nothing;
        QTest::newRow("plus as odd tail") << QByteArray("ab+") << nothing;
        QTest::newRow("not hex") << QByteArray("zz") << nothing;
        QTest::newRow("bad group after good ones") << QByteArray("0011zz") << nothing;
        QTest::newRow("prefix") << QByteArray("0x00") << nothing;
        QTest::newRow("leading space") << QByteArray(" a") << nothing;
        QTest::newRow("trailing space") << QByteArray("a ") << nothing;
        QTest::newRow("embedded NUL") << QByteArray("0\0", 2) << nothing;
    }
    void hexToDataDecodes() {
        QFETCH(QByteArray, text);
        QFETCH(std::optional<Bytes>, expected);
        QCOMPARE(shown(hexToData(text.toStdString())), shown(expected));
    }

    void roundTripsEveryByteInLowerCase() {
        Bytes bytes(256);
        for (int i = 0; i < 256; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        const std::string text = hex(bytes);
        const QByteArray raw(reinterpret_cast<const char*>(bytes.data()), 256);
        QCOMPARE(QByteArray::fromStdString(text), raw.toHex());
        QCOMPARE(shown(hexToData(text)), shown(bytes));
    }
};

QTEST_APPLESS_MAIN(HexTest)
#include "tst_hex.moc"

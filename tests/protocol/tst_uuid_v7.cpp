#include "protocol/uuid_v7.h"

#include <QtTest>

#include <set>

using namespace std::chrono;
using vorlund::uuidV7;

namespace {

QString digitsOf(const std::string& id) {
    return QString::fromStdString(id).remove('-');
}

} // namespace

class UuidV7Test : public QObject {
    Q_OBJECT

private slots:
    void layout() {
        const std::string id = uuidV7();
        QVERIFY2(QRegularExpression("^[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-"
                                    "[0-9a-f]{12}$")
                     .match(QString::fromStdString(id))
                     .hasMatch(),
                 id.c_str());
    }

    void timePrefix_data() {
        QTest::addColumn<qint64>("micros");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("epoch") << qint64(0) << "000000000000";
        QTest::newRow("byte order") << qint64(0x010203040506) * 1000 << "010203040506";
        QTest::newRow("sub-millisecond truncated")
            << qint64(1700000000124) * 1000 - 1 << "018bcfe5687b";
        QTest::newRow("before the epoch clamps to zero") << qint64(-5000000) << "000000000000";
    }
    void timePrefix() {
        QFETCH(qint64, micros);
        QFETCH(QString, prefix);
        const system_clock::time_point at(
            duration_cast<system_clock::duration>(microseconds(micros)));
        QCOMPARE(digitsOf(uuidV7(at)).left(12), prefix);
    }

    // At one instant the 74 random bits still differ, in every random digit position.
    void randomPartDiffers() {
        const system_clock::time_point now(milliseconds(1700000000123));
        std::set<QString> seen;
        std::vector<std::set<QChar>> valuesAt(32);
        for (int i = 0; i < 200; ++i) {
            const QString digits = digitsOf(uuidV7(now));
            QVERIFY(seen.insert(digits).second);
            for (int at = 0; at < 32; ++at)
                valuesAt[at].insert(digits[at]);
        }
        for (int at = 13; at < 32; ++at)
            QVERIFY2(valuesAt[at].size() > 1, qPrintable(QString("digit %1").arg(at)));
        QCOMPARE(valuesAt[16].size(), std::size_t(4)); // variant: 8, 9, a, b
    }
};

QTEST_APPLESS_MAIN(UuidV7Test)
#include "tst_uuid_v7.moc"

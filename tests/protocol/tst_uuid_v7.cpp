#include "protocol/uuid_v7.h"

#include <QtTest>

#include <set>

using namespace std::chrono;
using vorlund::uuidV7;

namespace {

system_clock::time_point atMillis(std::int64_t millis) {
    return system_clock::time_point(duration_cast<system_clock::duration>(milliseconds(millis)));
}

// The 32 hex digits without hyphens.
QString digitsOf(const std::string& id) {
    return QString::fromStdString(id).remove('-');
}

} // namespace

class UuidV7Test : public QObject {
    Q_OBJECT

private slots:
    void layout() {
        const std::string id = uuidV7();
        QCOMPARE(id.size(), std::size_t(36));
        for (std::size_t i = 0; i < id.size(); ++i) {
            const char c = id[i];
            if (i == 8 || i == 13 || i == 18 || i == 23)
                QCOMPARE(c, '-');
            else
                QVERIFY2((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'), id.c_str());
        }
        QCOMPARE(id[14], '7');
        QVERIFY2(QByteArray("89ab").contains(id[19]), id.c_str());
    }

    void timePrefix_data() {
        QTest::addColumn<qint64>("millis");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("epoch") << qint64(0) << "000000000000";
        QTest::newRow("one millisecond") << qint64(1) << "000000000001";
        QTest::newRow("2023-11-14") << qint64(1700000000123) << "018bcfe5687b";
        QTest::newRow("byte order") << qint64(0x010203040506) << "010203040506";
        QTest::newRow("year 2255") << qint64(9000000000000) << "082f79cd9000";
        QTest::newRow("before the epoch clamps to zero") << qint64(-5000) << "000000000000";
    }
    void timePrefix() {
        QFETCH(qint64, millis);
        QFETCH(QString, prefix);
        QCOMPARE(digitsOf(uuidV7(atMillis(millis))).left(12), prefix);
    }

    void subMillisecondTimeIsTruncated() {
        const auto justBefore = atMillis(1700000000124) - microseconds(1);
        QCOMPARE(digitsOf(uuidV7(justBefore)).left(12), QString("018bcfe5687b"));
    }

    // 74 random bits: identifiers made at the same instant differ, and across many of them
    // every random nibble position takes more than one value.
    void randomPartDiffers() {
        const auto now = atMillis(1700000000123);
        std::set<QString> seen;
        std::vector<std::set<QChar>> valuesAt(32);
        for (int i = 0; i < 200; ++i) {
            const QString digits = digitsOf(uuidV7(now));
            QVERIFY(seen.insert(digits).second);
            for (int at = 0; at < 32; ++at)
                valuesAt[at].insert(digits[at]);
        }
        for (int at = 0; at < 12; ++at)
            QCOMPARE(valuesAt[at].size(), std::size_t(1));
        QCOMPARE(valuesAt[12].size(), std::size_t(1)); // version
        for (int at = 13; at < 32; ++at)
            QVERIFY2(valuesAt[at].size() > 1, qPrintable(QString("digit %1").arg(at)));
        QCOMPARE(valuesAt[16].size(), std::size_t(4)); // variant: 8, 9, a, b
    }
};

QTEST_APPLESS_MAIN(UuidV7Test)
#include "tst_uuid_v7.moc"

#include "identity/key_file.h"
#include "test_files.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using namespace vorlund;
using namespace testfiles;

namespace {

const QString keyDirName = QStringLiteral("org.vorlund.client");

// Loads or creates the key, turning a KeyFileError into its message.
std::optional<SigningKey> load(const QString& dir, QString* error) {
    try {
        return loadOrCreateKey(fsPath(dir));
    } catch (const KeyFileError& failure) {
        *error = QString::fromLocal8Bit(failure.what());
        return std::nullopt;
    }
}

QByteArray pattern(int length, int start) {
    QByteArray bytes;
    for (int i = 0; i < length; ++i)
        bytes.append(static_cast<char>(start + 7 * i));
    return bytes;
}

std::optional<QByteArray> environment(const char* name) {
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

void setEnvironment(const char* name, const std::optional<QByteArray>& value) {
    if (value)
        qputenv(name, *value);
    else
        qunsetenv(name);
}

qint64 nowSeconds() {
    return QDateTime::currentSecsSinceEpoch();
}

// What a test puts in the way of the key directory or key file.
enum class Obstacle {
    plainFile,
    directory,
    danglingLink,
    linkLoop,
    fifo,
};

bool place(Obstacle obstacle, const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    switch (obstacle) {
    case Obstacle::plainFile:
        return writeFile(path, "not a directory", 0644);
    case Obstacle::directory:
        return QDir().mkpath(path);
    case Obstacle::danglingLink:
        return ::symlink("nowhere/identity.key", name.constData()) == 0;
    case Obstacle::linkLoop:
        return ::symlink(name.constData(), name.constData()) == 0;
    case Obstacle::fifo:
        return ::mkfifo(name.constData(), 0600) == 0;
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Obstacle)

class KeyFileTest : public QObject {
    Q_OBJECT

private slots:
    void firstStartWritesPrivateKeyFile_data() {
        QTest::addColumn<int>("umaskBits");
        QTest::addColumn<bool>("directoryExists");
        QTest::newRow("umask 022, no directory") << 022 << false;
        QTest::newRow("umask 000, no directory") << 0 << false;
        QTest::newRow("umask 000, directory exists") << 0 << true;
        // 0277 would also make a new directory unwritable for its owner.
        QTest::newRow("umask 277, directory exists") << 0277 << true;
    }

    void firstStartWritesPrivateKeyFile() {
        QFETCH(int, umaskBits);
        QFETCH(bool, directoryExists);
        QTemporaryDir temp;
        const QString dir = temp.path() + "/share/" + keyDirName;
        if (directoryExists)
            QVERIFY(QDir().mkpath(dir));

        const mode_t previous = ::umask(static_cast<mode_t>(umaskBits));
        QString error;
        const std::optional<SigningKey> key = load(dir, &error);
        ::umask(previous);

        QVERIFY2(key, qPrintable(error));
        QCOMPARE(entriesOf(dir), QStringList{"identity.key"});
        QCOMPARE(readAll(dir + "/identity.key"), bytesOf(key->seed()));
        QCOMPARE(modeOf(dir + "/identity.key"), 0600);
    }

    void laterStartLoadsSameKeyWithoutWriting() {
        QTemporaryDir temp;
        const QString dir = temp.path() + "/" + keyDirName;
        const QString file = dir + "/identity.key";
        QString error;
        const std::optional<SigningKey> first = load(dir, &error);
        QVERIFY2(first, qPrintable(error));
        QVERIFY(backdate(file));
        const QString before = stampOf(file);

        const std::optional<SigningKey> second = load(dir, &error);
        QVERIFY2(second, qPrintable(error));
        QCOMPARE(bytesOf(second->seed()), bytesOf(first->seed()));
        QCOMPARE(stampOf(file), before);
        QCOMPARE(entriesOf(dir), QStringList{"identity.key"});
    }

    void anyThirtyTwoBytesAreTheKey_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("mode");
        QTest::newRow("zeros, 0600") << QByteArray(32, '\0') << 0600;
        QTest::newRow("all ones, 0644 kept") << QByteArray(32, '\xff') << 0644;
        QTest::newRow("pattern, read-only 0400 kept") << pattern(32, 3) << 0400;
        QTest::newRow("text with a line end, 0640 kept")
            << QByteArray("0123456789abcdef0123456789abcd\r\n") << 0640;
    }

    void anyThirtyTwoBytesAreTheKey() {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        QVERIFY(writeFile(file, content, static_cast<mode_t>(mode)));
        QVERIFY(backdate(file));
        const QString before = stampOf(file);

        QString error;
        const std::optional<SigningKey> key = load(temp.path(), &error);
        QVERIFY2(key, qPrintable(error));
        QCOMPARE(bytesOf(key->seed()), content);
        QCOMPARE(stampOf(file), before);
        QCOMPARE(entriesOf(temp.path()), QStringList{"identity.key"});
    }

    void wrongLengthIsKeptAsideAndReplaced_data() {
        QTest::addColumn<int>("length");
        QTest::newRow("empty") << 0;
        QTest::newRow("one short") << 31;
        QTest::newRow("one over") << 33;
        QTest::newRow("libsodium secret key") << 64;
        QTest::newRow("large") << 100000;
    }

    void wrongLengthIsKeptAsideAndReplaced() {
        QFETCH(int, length);
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        const QByteArray old = pattern(length, 1);
        QVERIFY(writeFile(file, old, 0644));

        const qint64 before = nowSeconds();
        QString error;
        const std::optional<SigningKey> key = load(temp.path(), &error);
        const qint64 after = nowSeconds();
        QVERIFY2(key, qPrintable(error));

        const QStringList entries = entriesOf(temp.path());
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0], "identity.key");
        const QRegularExpressionMatch aside =
            QRegularExpression(R"(^identity\.key\.invalid-(\d+)$)").match(entries[1]);
        QVERIFY2(aside.hasMatch(), qPrintable(entries[1]));
        QVERIFY(aside.captured(1).toLongLong() >= before);
        QVERIFY(aside.captured(1).toLongLong() <= after);
        QCOMPARE(readAll(temp.path() + "/" + entries[1]), old);

        QCOMPARE(readAll(file), bytesOf(key->seed()));
        QVERIFY(bytesOf(key->seed()) != old.left(32));
        QCOMPARE(modeOf(file), 0600);
    }

    // Names for the current second (and the next ones, should the test be slow) are taken
    // already; the new one must find a free name instead of overwriting.
    void invalidFilesAreNeverOverwritten_data() {
        QTest::addColumn<QStringList>("takenSuffixes");
        QTest::addColumn<QString>("expectedSuffix");
        QTest::newRow("plain name taken") << QStringList{""} << "-1";
        QTest::newRow("plain name and -1 taken") << QStringList{"", "-1"} << "-2";
    }

    void invalidFilesAreNeverOverwritten() {
        QFETCH(QStringList, takenSuffixes);
        QFETCH(QString, expectedSuffix);
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        QStringList decoys;
        for (qint64 second = nowSeconds() - 1; second <= nowSeconds() + 30; ++second)
            for (const QString& suffix : takenSuffixes)
                decoys << QStringLiteral("identity.key.invalid-%1%2").arg(second).arg(suffix);
        for (const QString& decoy : decoys)
            QVERIFY(writeFile(temp.path() + "/" + decoy, decoy.toUtf8()));
        QVERIFY(writeFile(file, "short"));

        QString error;
        QVERIFY2(load(temp.path(), &error), qPrintable(error));

        QStringList added = entriesOf(temp.path());
        for (const QString& decoy : decoys) {
            QCOMPARE(readAll(temp.path() + "/" + decoy), decoy.toUtf8());
            added.removeOne(decoy);
        }
        QCOMPARE(added.size(), 2);
        QCOMPARE(added[0], "identity.key");
        QVERIFY2(QRegularExpression("^identity\\.key\\.invalid-\\d+" + expectedSuffix + "$")
                     .match(added[1])
                     .hasMatch(),
                 qPrintable(added[1]));
        QCOMPARE(readAll(temp.path() + "/" + added[1]), QByteArray("short"));
    }

    void twoInvalidFilesInARowAreBothKept() {
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        QString error;
        QVERIFY(writeFile(file, "first"));
        QVERIFY2(load(temp.path(), &error), qPrintable(error));
        QVERIFY(writeFile(file, pattern(40, 9)));
        QVERIFY2(load(temp.path(), &error), qPrintable(error));

        QList<QByteArray> kept;
        for (const QString& name : entriesOf(temp.path()))
            if (name.startsWith("identity.key.invalid-"))
                kept << readAll(temp.path() + "/" + name);
        QList<QByteArray> expected{"first", pattern(40, 9)};
        std::sort(kept.begin(), kept.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(kept, expected);
        QCOMPARE(readAll(file).size(), 32);
    }

    // Whatever stands at the key file's name and cannot be read is reported and left alone:
    // it may be the user's only copy of their identity.
    void unreadableKeyFileFailsAndStays_data() {
        QTest::addColumn<Obstacle>("obstacle");
        QTest::addColumn<QString>("reason");
        QTest::newRow("directory") << Obstacle::directory << "Is a directory";
        QTest::newRow("dangling link") << Obstacle::danglingLink << "dangling symbolic link";
        QTest::newRow("link loop") << Obstacle::linkLoop << "Too many levels of symbolic links";
        QTest::newRow("fifo") << Obstacle::fifo << "not a regular file";
    }

    void unreadableKeyFileFailsAndStays() {
        QFETCH(Obstacle, obstacle);
        QFETCH(QString, reason);
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        QVERIFY(place(obstacle, file));
        const QString before = stampOf(file);

        QString error;
        QVERIFY(!load(temp.path(), &error));
        QCOMPARE(error, QStringLiteral("read %1: %2").arg(file, reason));
        QCOMPARE(stampOf(file), before);
        QCOMPARE(entriesOf(temp.path()), QStringList{"identity.key"});
    }

    void keyDirectoryThatCannotBeMadeFails_data() {
        QTest::addColumn<Obstacle>("obstacle");
        QTest::addColumn<QString>("obstaclePath"); // below the temporary directory
        QTest::addColumn<QString>("reason");
        QTest::newRow("plain file at the key directory")
            << Obstacle::plainFile << "share/" + keyDirName << "Not a directory";
        QTest::newRow("plain file at the data directory") << Obstacle::plainFile << "share"
                                                          << "Not a directory";
        QTest::newRow("dangling link at the key directory")
            << Obstacle::danglingLink << "share/" + keyDirName << "No such file or directory";
    }

    void keyDirectoryThatCannotBeMadeFails() {
        QFETCH(Obstacle, obstacle);
        QFETCH(QString, obstaclePath);
        QFETCH(QString, reason);
        QTemporaryDir temp;
        const QString dir = temp.path() + "/share/" + keyDirName;
        const QString blocked = temp.path() + "/" + obstaclePath;
        QVERIFY(QDir().mkpath(QFileInfo(blocked).path()));
        QVERIFY(place(obstacle, blocked));
        const QString before = stampOf(blocked);

        QString error;
        QVERIFY(!load(dir, &error));
        QCOMPARE(error, QStringLiteral("create directory %1: %2").arg(dir, reason));
        QCOMPARE(stampOf(blocked), before);
    }

    // Run in a separate process as an unprivileged user, since root may read and write
    // anything.
    void failsWithoutPermission_data() {
        QTest::addColumn<QString>("keyFileContent"); // empty: no key file
        QTest::addColumn<int>("keyFileMode");
        QTest::addColumn<bool>("keyDirectoryExists");
        QTest::addColumn<QString>("readOnlyDirectory"); // "share", "key" or none
        QTest::addColumn<QString>("expected");          // pattern; %d key dir, %f key file
        QTest::newRow("key file not readable") << QString(32, 'k') << 0000 << true << ""
                                               << "read %f: Permission denied";
        QTest::newRow("new key cannot be written")
            << "" << 0 << true << "key"
            << R"(create temporary file %d/\.identity\.key-[0-9a-f]{16}\.tmp: Permission denied)";
        QTest::newRow("invalid key file cannot be moved aside")
            << "short" << 0644 << true << "key"
            << R"(move aside %f to %f\.invalid-\d+: Permission denied)";
        QTest::newRow("key directory cannot be made") << "" << 0 << false << "share"
                                                      << "create directory %d: Permission denied";
    }

    void failsWithoutPermission() {
        QFETCH(QString, keyFileContent);
        QFETCH(int, keyFileMode);
        QFETCH(bool, keyDirectoryExists);
        QFETCH(QString, readOnlyDirectory);
        QFETCH(QString, expected);
        QTemporaryDir temp;
        QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0755) == 0);
        const QString share = temp.path() + "/share";
        const QString dir = share + "/" + keyDirName;
        const QString file = dir + "/identity.key";
        QVERIFY(QDir().mkpath(keyDirectoryExists ? dir : share));
        if (!keyFileContent.isEmpty())
            QVERIFY(writeFile(file, keyFileContent.toUtf8(), static_cast<mode_t>(keyFileMode)));
        const QString readOnly = readOnlyDirectory == "key" ? dir : share;
        if (!readOnlyDirectory.isEmpty())
            QVERIFY(::chmod(QFile::encodeName(readOnly).constData(), 0555) == 0);
        const QStringList entriesBefore = entriesOf(dir);
        const QString fileBefore = stampOf(file);

        QStringList arguments;
        if (::geteuid() == 0)
            arguments << "--uid"
                      << "65534";
        QProcess probe;
        probe.start(IDENTITY_PROBE, arguments << dir);
        QVERIFY(probe.waitForFinished(20000));
        const QString error = QString::fromLocal8Bit(probe.readAllStandardError()).trimmed();
        ::chmod(QFile::encodeName(readOnly).constData(), 0755);

        QCOMPARE(probe.exitCode(), 2);
        const QString pattern = "^" +
                                QString(expected)
                                    .replace("%f", QRegularExpression::escape(file))
                                    .replace("%d", QRegularExpression::escape(dir)) +
                                "$";
        QVERIFY2(QRegularExpression(pattern).match(error).hasMatch(), qPrintable(error));
        QCOMPARE(entriesOf(dir), entriesBefore);
        QCOMPARE(stampOf(file), fileBefore);
    }

    void defaultKeyDirectoryFollowsDataHome_data() {
        QTest::addColumn<QByteArray>("dataHome");
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG_DATA_HOME set")
            << QByteArray("/srv/data") << "/srv/data/org.vorlund.client";
        QTest::newRow("XDG_DATA_HOME unset")
            << QByteArray() << "/home/someone/.local/share/org.vorlund.client";
    }

    void defaultKeyDirectoryFollowsDataHome() {
        QFETCH(QByteArray, dataHome);
        QFETCH(QString, expected);
        const std::optional<QByteArray> savedHome = environment("HOME");
        const std::optional<QByteArray> savedDataHome = environment("XDG_DATA_HOME");
        setEnvironment("HOME", "/home/someone");
        setEnvironment("XDG_DATA_HOME",
                       dataHome.isEmpty() ? std::nullopt : std::optional(dataHome));

        const std::filesystem::path dir = defaultKeyDirectory();
        setEnvironment("HOME", savedHome);
        setEnvironment("XDG_DATA_HOME", savedDataHome);
        QCOMPARE(QString::fromStdString(dir.string()), expected);
    }
};

QTEST_GUILESS_MAIN(KeyFileTest)
#include "tst_key_file.moc"

#include "identity/key_file.h"
#include "probe_barrier.h"
#include "test_files.h"

#include <QDateTime>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
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

bool linkTo(const QString& target, const QString& link) {
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData()) ==
           0;
}

// What a test puts in the way of the key directory or key file.
enum class Obstacle {
    plainFile,
    directory,
    danglingLink,
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
    case Obstacle::fifo:
        return ::mkfifo(name.constData(), 0600) == 0;
    }
    return false;
}

// A tmpfs of a few pages over a directory while the object lives, in a mount namespace of the
// test's own, so nothing outside sees it.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const QString& at) : at_(QFile::encodeName(at)) {
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", at_.constData(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                    "size=64k,nr_inodes=64") == 0)
            mounted_ = true;
        else
            error_ = errno;
    }
    ~SmallFileSystem() {
        if (mounted_)
            ::umount2(at_.constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool isMounted() const { return mounted_; }
    QString whyNot() const { return QString::fromLocal8Bit(std::strerror(error_)); }

private:
    QByteArray at_;
    bool mounted_ = false;
    int error_ = 0;
};

// Takes up all free blocks, or all free inodes, of the file system at root.
bool exhaust(const QString& root, bool inodes) {
    const QByteArray base = QFile::encodeName(root + "/filler-");
    const int flags = O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC;
    if (inodes) {
        for (int i = 0;; ++i) {
            const int fd = ::open((base + QByteArray::number(i)).constData(), flags, 0600);
            if (fd < 0)
                return errno == ENOSPC;
            ::close(fd);
        }
    }
    const int fd = ::open(base.constData(), flags, 0600);
    if (fd < 0)
        return false;
    const QByteArray block(4096, 'f');
    while (::write(fd, block.constData(), block.size()) > 0) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

// Counts the names created, moved in or removed in a directory since the watch began.
class DirectoryChanges {
public:
    explicit DirectoryChanges(const QString& dir) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        if (fd_ >= 0 && ::inotify_add_watch(fd_, QFile::encodeName(dir).constData(),
                                            IN_CREATE | IN_DELETE | IN_MOVED_TO) < 0)
            ::close(std::exchange(fd_, -1));
    }
    ~DirectoryChanges() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    DirectoryChanges(const DirectoryChanges&) = delete;
    DirectoryChanges& operator=(const DirectoryChanges&) = delete;

    bool isValid() const { return fd_ >= 0; }

    // Returns the count once it reaches `count`, or when nothing has changed for a second.
    int waitFor(int count) {
        readPending();
        pollfd ready{fd_, POLLIN, 0};
        while (count_ < count) {
            if (::poll(&ready, 1, 1000) <= 0)
                break;
            readPending();
        }
        return count_;
    }

private:
    void readPending() {
        alignas(inotify_event) char buffer[4096];
        ssize_t length;
        while ((length = ::read(fd_, buffer, sizeof buffer)) > 0)
            for (ssize_t at = 0; at < length; ++count_) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
    }

    int fd_;
    int count_ = 0;
};

// Starts a probe on the key directory; its start proper begins when this returns.
bool startReleased(QProcess& probe, const QString& dir) {
    ProbeBarrier barrier;
    if (!barrier.isValid())
        return false;
    probe.start(IDENTITY_PROBE, barrier.arguments() << dir);
    if (!waitUntilReady(probe))
        return false;
    barrier.release();
    return true;
}

// What a killed start left in the key directory.
struct KilledStart {
    QStringList faults;
    QByteArray key; // the key file's content, if it holds a key
    QList<QByteArray> leftoverContents;
};

KilledStart inspectKilledStart(const QString& dir, const QByteArray& unusableKeyFile) {
    KilledStart killed;
    int unusableCopies = 0;
    const QStringList entries = entriesOf(dir);
    for (const QString& name : entries) {
        const QString path = dir + "/" + name;
        const QByteArray content = readAll(path);
        const int mode = modeOf(path);
        const QString described =
            QStringLiteral("%1 (%2 bytes, mode %3)").arg(name).arg(content.size()).arg(mode, 0, 8);
        if (!unusableKeyFile.isEmpty() && content == unusableKeyFile && mode == 0644 &&
            (name == "identity.key" || name.startsWith("identity.key.invalid-"))) {
            ++unusableCopies;
        } else if (name == "identity.key") {
            if (content.size() == 32 && mode == 0600)
                killed.key = content;
            else
                killed.faults << "not a private key: " + described;
        } else if (isTemporaryName(name)) {
            killed.leftoverContents << content;
            if (mode & 0077)
                killed.faults << "open to others: " + described;
        } else {
            killed.faults << "unexpected: " + described;
        }
    }
    if (!unusableKeyFile.isEmpty() && unusableCopies != 1)
        killed.faults
            << QStringLiteral("the unusable key file is there %1 times").arg(unusableCopies);
    if (!killed.faults.isEmpty())
        killed.faults << "in " + entries.join(", ");
    return killed;
}

} // namespace

Q_DECLARE_METATYPE(Obstacle)

class KeyFileTest : public QObject {
    Q_OBJECT

private slots:
    void firstStartWritesPrivateKeyFile_data() {
        QTest::addColumn<int>("umaskBits");
        QTest::addColumn<bool>("directoryExists");
        QTest::newRow("umask 000, no directory") << 0 << false;
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
        QTest::addColumn<bool>("elsewhere"); // the key file is a link to it in another directory
        QTest::newRow("all ones, 0644 kept") << QByteArray(32, '\xff') << 0644 << false;
        // A user may keep the key on another volume.
        QTest::newRow("through a link") << pattern(32, 5) << 0600 << true;
    }

    void anyThirtyTwoBytesAreTheKey() {
        QFETCH(QByteArray, content);
        QFETCH(int, mode);
        QFETCH(bool, elsewhere);
        QTemporaryDir temp, other;
        const QString file = temp.path() + "/identity.key";
        const QString stored = elsewhere ? other.path() + "/my.key" : file;
        QVERIFY(writeFile(stored, content, static_cast<mode_t>(mode)));
        QVERIFY(!elsewhere || linkTo(stored, file));
        QVERIFY(backdate(stored));
        const QString before = stampOf(file) + stampOf(stored);

        QString error;
        const std::optional<SigningKey> key = load(temp.path(), &error);
        QVERIFY2(key, qPrintable(error));
        QCOMPARE(bytesOf(key->seed()), content);
        QCOMPARE(stampOf(file) + stampOf(stored), before);
        QCOMPARE(entriesOf(temp.path()), QStringList{"identity.key"});
    }

    void wrongLengthIsKeptAsideAndReplaced_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("elsewhere"); // the key file is a link to it in another directory
        QTest::newRow("empty") << 0 << false;
        QTest::newRow("one short") << 31 << false;
        QTest::newRow("one over") << 33 << false;
        QTest::newRow("through a link: the link is kept aside") << 31 << true;
    }

    void wrongLengthIsKeptAsideAndReplaced() {
        QFETCH(int, length);
        QFETCH(bool, elsewhere);
        QTemporaryDir temp, other;
        const QString file = temp.path() + "/identity.key";
        const QString stored = elsewhere ? other.path() + "/my.key" : file;
        const QByteArray old = pattern(length, 1);
        QVERIFY(writeFile(stored, old, 0644));
        QVERIFY(!elsewhere || linkTo(stored, file));
        const QString storedBefore = stampOf(stored);

        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QString error;
        const std::optional<SigningKey> key = load(temp.path(), &error);
        const qint64 after = QDateTime::currentSecsSinceEpoch();
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
        if (elsewhere)
            QCOMPARE(stampOf(stored), storedBefore);

        QCOMPARE(readAll(file), bytesOf(key->seed()));
        QVERIFY(bytesOf(key->seed()) != old.left(32));
        QCOMPARE(modeOf(file), 0600);
    }

    // Names for the current second (and the next ones, should the test be slow) are taken
    // already; the new one must find a free name instead of overwriting.
    void invalidFilesAreNeverOverwritten() {
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        QStringList decoys;
        for (qint64 second = QDateTime::currentSecsSinceEpoch() - 1;
             second <= QDateTime::currentSecsSinceEpoch() + 30; ++second)
            for (const char* suffix : {"", "-1"})
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
        QVERIFY2(QRegularExpression("^identity\\.key\\.invalid-\\d+-2$").match(added[1]).hasMatch(),
                 qPrintable(added[1]));
        QCOMPARE(readAll(temp.path() + "/" + added[1]), QByteArray("short"));
    }

    // Later starts remove old temporary files of a killed start's making, and nothing else.
    void oldLeftoverTemporaryFilesAreRemoved_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Obstacle>("kind");
        QTest::addColumn<bool>("old");
        QTest::addColumn<int>("owner"); // -1: the user who starts
        QTest::addColumn<bool>("removed");
        const QString ours = ".identity.key-0123456789abcdef.tmp";
        QTest::newRow("old") << ours << Obstacle::plainFile << true << -1 << true;
        QTest::newRow("fresh: may still be written")
            << ours << Obstacle::plainFile << false << -1 << false;
        QTest::newRow("another user's") << ours << Obstacle::plainFile << true << 65534 << false;
        QTest::newRow("a link") << ours << Obstacle::danglingLink << true << -1 << false;
        QTest::newRow("upper-case random part")
            << ".identity.key-0123456789ABCDEF.tmp" << Obstacle::plainFile << true << -1 << false;
        QTest::newRow("longer suffix") << ours + "~" << Obstacle::plainFile << true << -1 << false;
    }

    void oldLeftoverTemporaryFilesAreRemoved() {
        QFETCH(QString, name);
        QFETCH(Obstacle, kind);
        QFETCH(bool, old);
        QFETCH(int, owner);
        QFETCH(bool, removed);
        if (owner >= 0 && ::geteuid() != 0)
            QSKIP("only root can give a file to another user");
        QTemporaryDir temp;
        const QString file = temp.path() + "/identity.key";
        const QString leftover = temp.path() + "/" + name;
        QVERIFY(writeFile(file, pattern(32, 4)));
        QVERIFY(place(kind, leftover));
        QVERIFY(owner < 0 || ::lchown(QFile::encodeName(leftover).constData(),
                                      static_cast<uid_t>(owner), static_cast<gid_t>(owner)) == 0);
        QVERIFY(!old || backdate(leftover));
        const QString before = stampOf(leftover);

        QString error;
        const std::optional<SigningKey> key = load(temp.path(), &error);
        QVERIFY2(key, qPrintable(error));
        QCOMPARE(bytesOf(key->seed()), pattern(32, 4));
        QCOMPARE(stampOf(leftover), removed ? QString("<missing>") : before);
    }

    // Whatever stands in the way is reported and left alone: it may be the user's only copy of
    // their identity.
    void obstacleFailsAndStays_data() {
        QTest::addColumn<Obstacle>("obstacle");
        QTest::addColumn<QString>("at");    // below the data directory
        QTest::addColumn<QString>("error"); // %d: key directory
        const QString file = keyDirName + "/identity.key";
        QTest::newRow("directory at the key file")
            << Obstacle::directory << file << "read %d/identity.key: Is a directory";
        QTest::newRow("dangling link at the key file")
            << Obstacle::danglingLink << file << "read %d/identity.key: dangling symbolic link";
        QTest::newRow("fifo at the key file")
            << Obstacle::fifo << file << "read %d/identity.key: not a regular file";
        QTest::newRow("plain file at the key directory")
            << Obstacle::plainFile << keyDirName << "create directory %d: Not a directory";
        QTest::newRow("dangling link at the key directory")
            << Obstacle::danglingLink << keyDirName
            << "create directory %d: No such file or directory";
    }
    void obstacleFailsAndStays() {
        QFETCH(Obstacle, obstacle);
        QFETCH(QString, at);
        QFETCH(QString, error);
        QTemporaryDir temp;
        const QString dir = temp.path() + "/" + keyDirName;
        const QString blocked = temp.path() + "/" + at;
        QVERIFY(QDir().mkpath(QFileInfo(blocked).path()));
        QVERIFY(place(obstacle, blocked));
        const QString before = stampOf(blocked);

        QString actual;
        QVERIFY(!load(dir, &actual));
        QCOMPARE(actual, QString(error).replace("%d", dir));
        QCOMPARE(stampOf(blocked), before);
        QCOMPARE(entriesOf(QFileInfo(blocked).path()).size(), 1);
    }

    // Run in a separate process as an unprivileged user, since root may read and write
    // anything.
    void startsWithoutWritePermission_data() {
        QTest::addColumn<QString>("keyFileContent"); // empty: no key file
        QTest::addColumn<int>("keyFileMode");
        QTest::addColumn<bool>("keyDirectoryExists");
        QTest::addColumn<QString>("readOnlyDirectory"); // "share", "key" or none
        QTest::addColumn<bool>("leftover"); // an old temporary file in the key directory
        QTest::addColumn<QString>(
            "expected"); // error pattern, %d key dir, %f key file; empty: loads
        QTest::newRow("key file not readable")
            << QString(32, 'k') << 0000 << true << "" << false << "read %f: Permission denied";
        QTest::newRow("new key cannot be written")
            << "" << 0 << true << "key" << false
            << "create temporary file %d/" + temporaryNamePattern + ": Permission denied";
        QTest::newRow("invalid key file cannot be moved aside")
            << "short" << 0644 << true << "key" << false
            << R"(move aside %f to %f\.invalid-\d+: Permission denied)";
        // The leftover cannot be removed either, and that is no reason to fail.
        QTest::newRow("valid key, leftover in a read-only directory")
            << QString(32, 'k') << 0644 << true << "key" << true << "";
    }

    void startsWithoutWritePermission() {
        QFETCH(QString, keyFileContent);
        QFETCH(int, keyFileMode);
        QFETCH(bool, keyDirectoryExists);
        QFETCH(QString, readOnlyDirectory);
        QFETCH(bool, leftover);
        QFETCH(QString, expected);
        QTemporaryDir temp;
        QVERIFY(::chmod(QFile::encodeName(temp.path()).constData(), 0755) == 0);
        const QString share = temp.path() + "/share";
        const QString dir = share + "/" + keyDirName;
        const QString file = dir + "/identity.key";
        QVERIFY(QDir().mkpath(keyDirectoryExists ? dir : share));
        if (!keyFileContent.isEmpty())
            QVERIFY(writeFile(file, keyFileContent.toUtf8(), static_cast<mode_t>(keyFileMode)));
        if (leftover) {
            const QString name = dir + "/.identity.key-00112233445566ff.tmp";
            QVERIFY(writeFile(name, "") && backdate(name));
        }
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

        if (expected.isEmpty()) {
            QVERIFY2(probe.exitCode() == 0, qPrintable(error));
            QCOMPARE(probe.readAllStandardOutput().trimmed(),
                     publicKeyOfSeed(keyFileContent.toUtf8()).toHex());
        } else {
            QCOMPARE(probe.exitCode(), 2);
            const QString pattern = "^" +
                                    QString(expected)
                                        .replace("%f", QRegularExpression::escape(file))
                                        .replace("%d", QRegularExpression::escape(dir)) +
                                    "$";
            QVERIFY2(QRegularExpression(pattern).match(error).hasMatch(), qPrintable(error));
        }
        QCOMPARE(entriesOf(dir), entriesBefore);
        QCOMPARE(stampOf(file), fileBefore);
    }

    // A file system of a few pages stands in for a full disk.
    void fullDisk_data() {
        QTest::addColumn<QByteArray>("keyFileContent"); // empty: none
        QTest::addColumn<bool>("outOfInodes");          // else out of blocks
        QTest::addColumn<QString>("expected"); // error pattern, %t the temporary file; empty: loads
        const QString noSpace = ": No space left on device";
        QTest::newRow("no room for a new key") << QByteArray() << false << "write %t" + noSpace;
        QTest::newRow("no inode for a new key")
            << QByteArray() << true << "create temporary file %t" + noSpace;
        QTest::newRow("wrong-length key: kept aside, no room for a new one")
            << pattern(5, 2) << false << "write %t" + noSpace;
    }

    void fullDisk() {
        QFETCH(QByteArray, keyFileContent);
        QFETCH(bool, outOfInodes);
        QFETCH(QString, expected);
        QTemporaryDir temp;
        const SmallFileSystem disk(temp.path());
        if (!disk.isMounted())
            QSKIP(qPrintable("cannot mount a small tmpfs to stand in for a full disk: " +
                             disk.whyNot()));
        const QString dir = temp.path() + "/" + keyDirName;
        const QString file = dir + "/identity.key";
        QVERIFY(QDir().mkpath(dir));
        if (!keyFileContent.isEmpty())
            QVERIFY(writeFile(file, keyFileContent, 0640));
        QVERIFY(exhaust(temp.path(), outOfInodes));
        const QString fileBefore = stampOf(file);
        const int entryCount = entriesOf(dir).size();

        QString error;
        const std::optional<SigningKey> key = load(dir, &error);
        if (expected.isEmpty()) {
            QVERIFY2(key, qPrintable(error));
            QCOMPARE(bytesOf(key->seed()), keyFileContent);
            QCOMPARE(stampOf(file), fileBefore);
        } else {
            QVERIFY(!key);
            const QString pattern =
                "^" +
                QString(expected).replace("%t", QRegularExpression::escape(dir) + "/" +
                                                    temporaryNamePattern) +
                "$";
            QVERIFY2(QRegularExpression(pattern).match(error).hasMatch(), qPrintable(error));
        }
        // No temporary file stays, and an old key file is still there under some name.
        const QStringList entries = entriesOf(dir);
        QCOMPARE(entries.size(), entryCount);
        for (const QString& name : entries) {
            QVERIFY2(!isTemporaryName(name), qPrintable(name));
            QCOMPARE(readAll(dir + "/" + name), keyFileContent);
            QCOMPARE(modeOf(dir + "/" + name), 0640);
        }
    }

    void defaultKeyDirectoryFollowsDataHome() {
        const QByteArray savedHome = qgetenv("HOME"), savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("HOME", "/home/someone");
        qputenv("XDG_DATA_HOME", "/srv/data");
        const std::filesystem::path set = defaultKeyDirectory();
        qunsetenv("XDG_DATA_HOME");
        const std::filesystem::path unset = defaultKeyDirectory();
        qputenv("HOME", savedHome);
        qputenv("XDG_DATA_HOME", savedDataHome);
        QCOMPARE(QString::fromStdString(set.string()), "/srv/data/org.vorlund.client");
        QCOMPARE(QString::fromStdString(unset.string()),
                 "/home/someone/.local/share/org.vorlund.client");
    }

    // A first start killed at any moment leaves no half key, no key that others may read and
    // nothing the next start mistakes for a key; the next start settles on one key for good.
    void killedFirstStartLosesNothing_data() {
        QTest::addColumn<QByteArray>("unusableKeyFile"); // empty: none
        QTest::newRow("empty key directory") << QByteArray();
        QTest::newRow("key file of the wrong length") << pattern(5, 6);
    }

    void killedFirstStartLosesNothing() {
        QFETCH(QByteArray, unusableKeyFile);
        const int iterations = qEnvironmentVariableIsSet("VORLUND_CRASH_ITERATIONS")
                                   ? qEnvironmentVariableIntValue("VORLUND_CRASH_ITERATIONS")
                                   : 40;
        // Each kill comes as soon as the start has made its n-th change to the key directory
        // (n = 0: at once), so that every step is hit often.
        int startChanges = 0;
        {
            QTemporaryDir temp;
            QVERIFY(unusableKeyFile.isEmpty() ||
                    writeFile(temp.path() + "/identity.key", unusableKeyFile, 0644));
            DirectoryChanges changes(temp.path());
            QVERIFY(changes.isValid());
            QProcess probe;
            QVERIFY(startReleased(probe, temp.path()));
            QVERIFY(probe.waitForFinished(20000));
            QCOMPARE(probe.exitCode(), 0);
            startChanges = changes.waitFor(0);
        }
        QVERIFY(startChanges > 0);
        std::mt19937 random(QRandomGenerator::global()->generate());
        std::uniform_int_distribution<int> killAfterChange(0, startChanges);

        for (int i = 0; i < iterations; ++i) {
            QTemporaryDir temp;
            const QString dir = temp.path();
            QVERIFY(unusableKeyFile.isEmpty() ||
                    writeFile(dir + "/identity.key", unusableKeyFile, 0644));
            DirectoryChanges changes(dir);
            QVERIFY(changes.isValid());
            QProcess probe;
            QVERIFY(startReleased(probe, dir));
            changes.waitFor(killAfterChange(random));
            probe.kill();
            QVERIFY(probe.waitForFinished(20000));

            const KilledStart killed = inspectKilledStart(dir, unusableKeyFile);
            QVERIFY2(killed.faults.isEmpty(), qPrintable(killed.faults.join("; ")));

            QString error;
            const std::optional<SigningKey> next = load(dir, &error);
            QVERIFY2(next, qPrintable(error));
            const QByteArray key = bytesOf(next->seed());
            QCOMPARE(readAll(dir + "/identity.key"), key);
            QCOMPARE(modeOf(dir + "/identity.key"), 0600);
            if (killed.key.isEmpty())
                QVERIFY2(!killed.leftoverContents.contains(key), "a leftover became the key");
            else
                QCOMPARE(key, killed.key);

            // Once old, leftovers go at the next start, which loads the same key again.
            for (const QString& name : entriesOf(dir))
                QVERIFY(!isTemporaryName(name) || backdate(dir + "/" + name));
            const std::optional<SigningKey> again = load(dir, &error);
            QVERIFY2(again, qPrintable(error));
            QCOMPARE(bytesOf(again->seed()), key);
            QStringList entries = entriesOf(dir);
            QCOMPARE(entries.takeFirst(), "identity.key");
            QCOMPARE(entries.size(), unusableKeyFile.isEmpty() ? 0 : 1);
        }
    }
};

QTEST_GUILESS_MAIN(KeyFileTest)
#include "tst_key_file.moc"

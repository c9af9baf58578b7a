#include "identity/client_identity.h"
#include "identity/key_file.h"

#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vorlund;

namespace {

const QString aside = "identity.key.invalid-<t>", temporary = ".identity.key-<r>.tmp";
QByteArray (*const native)(const QString&) = QFile::encodeName;

// The second in the name of a file set aside as <t>, the random part of a temporary name as <r>.
QString normalised(QString text) {
    static const QRegularExpression second(R"(invalid-\d{10}\b)"), random("-[0-9a-f]{16}\\.tmp");
    return text.replace(second, "invalid-<t>").replace(random, "-<r>.tmp");
}

// The key directory's parent "..", itself "." and, if its owner may read it, its entries, sorted,
// as "name mode content". A directory's name ends in "/" and is left out at the usual mode 755; a
// link's content is "-> target"; a file's is KEY if it holds the key, else its size.
QStringList listing(const QString& dir, const QByteArray& key) {
    QStringList names{"..", "."}, lines;
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray path = native(QDir::cleanPath(dir + "/" + names[i]));
        struct stat status {};
        ::lstat(path, &status);
        const mode_t mode = status.st_mode & 07777;
        const bool directory = S_ISDIR(status.st_mode), file = S_ISREG(status.st_mode);
        char target[256];
        QFile data(path);
        QString content = file ? QString::number(status.st_size) : "";
        if (S_ISLNK(status.st_mode))
            content = "-> " + QString::fromLocal8Bit(target, ::readlink(path, target, 256));
        else if (file && !key.isEmpty() && data.open(QIODevice::ReadOnly) && data.readAll() == key)
            content = "KEY";
        if (i == 1 && directory && (mode & 0400))
            names += QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                         QDir::NoDotAndDotDot);
        const QString line = names[i] + (directory ? "/ " : " ") + QString::number(mode, 8);
        if (!directory || mode != 0755)
            lines << normalised(line + " " + content).trimmed();
    }
    lines.sort();
    return lines;
}

// Makes entries written as listing() shows them, backdated unless the mode adds ",fresh". <t>
// stands for the current second, <r> for a random part of a temporary name, another in each entry.
bool make(const QString& dir, const QStringList& entries) {
    if (entries.join(' ').contains("<t>") && QTime::currentTime().msec() > 800)
        QThread::msleep(300); // so that the start sets aside within the same second
    const timespec old[2] = {{978307200, 0}, {978307200, 0}};
    int names = 0;
    bool made = true;
    for (QString entry : entries) {
        entry.replace("<t>", QString::number(QDateTime::currentSecsSinceEpoch()));
        entry.replace("<r>", QString::number(++names).rightJustified(16, '0'));
        const QString name = entry.section(' ', 0, 0), mode = entry.section(' ', 1, 1);
        const QString content = entry.section(' ', 2);
        const QByteArray path = native(QDir::cleanPath(dir + "/" + name));
        const bool link = content.startsWith("-> ");
        QFile file(path);
        made &= QDir().mkpath(name.endsWith('/') ? path : QFileInfo(path).path());
        if (link)
            made &= ::symlink(native(content.mid(3)), path) == 0;
        else if (!name.endsWith('/'))
            made &= file.open(QIODevice::WriteOnly) && file.resize(content.toInt());
        made &=
            (link || ::chmod(path, mode.left(3).toUInt(nullptr, 8)) == 0) &&
            (mode.endsWith(",fresh") || ::utimensat(AT_FDCWD, path, old, AT_SYMLINK_NOFOLLOW) == 0);
    }
    return made;
}

// A child's pid, and the pipe it reports through: '+' and the key's bytes, or '-' and the error.
// Its standard error goes to the file "notes" two levels above `dir`.
using Start = std::pair<pid_t, int>;

// Loads or creates the key in a child process, once the pipe `gate` is closed if one is given.
// Conditions: "umask N"; "files of 16 bytes at most"; "as nobody", which as root first gives all
// the test made to 65534, but what a condition "root keeps NAME" names, then becomes 65534.
Start start(const QString& dir, const int* gate = nullptr, const QStringList& conditions = {}) {
    int out[2];
    if (::pipe(out) != 0)
        qFatal("no pipe");
    if (const pid_t pid = ::fork(); pid != 0) {
        ::close(out[1]);
        return {pid, out[0]};
    }
    char byte;
    const rlimit fileSize{16, 16};
    QString owners = "chown -hR 65534:65534 " + QDir::cleanPath(dir + "/../..");
    for (const QString& kept : conditions.filter("root keeps "))
        owners += " && chown -h 0:0 " + QDir::cleanPath(dir + "/" + kept.mid(11));
    ::umask(conditions.filter("umask ").value(0, "umask 022").mid(6).toUInt(nullptr, 8));
    if ((gate && (::close(gate[1]) != 0 || ::read(gate[0], &byte, 1) != 0)) ||
        (conditions.contains("files of 16 bytes at most") &&
         (::signal(SIGXFSZ, SIG_IGN) == SIG_ERR || ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0)) ||
        (conditions.contains("as nobody") && ::geteuid() == 0 &&
         (std::system(native(owners)) != 0 || ::setgroups(0, nullptr) != 0 ||
          ::setgid(65534) != 0 || ::setuid(65534) != 0)))
        ::_exit(3);
    ::dup2(::open(native(dir + "/../../notes"), O_WRONLY | O_CREAT | O_APPEND, 0600), 2);
    std::string report = "+";
    try {
        const SigningKey key = loadOrCreateKey(native(dir).toStdString());
        report.append(key.seed().begin(), key.seed().end());
    } catch (const FileError& error) {
        report = std::string("-") + error.what();
    }
    ::_exit(::write(out[1], report.data(), report.size()) == ssize_t(report.size()) ? 0 : 3);
}

QByteArray finish(const Start& start) {
    QFile pipe;
    pipe.open(start.second, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray report = pipe.readAll();
    ::waitpid(start.first, nullptr, 0);
    return report;
}

} // namespace

class IdentityTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { ::umask(022); } // the usual mode of what the test makes

    void startFrom_data() {
        QTest::addColumn<QStringList>("before"); // for make(), and conditions for start()
        QTest::addColumn<QString>("error");      // and notes; empty: the key loads silently
        QTest::addColumn<QStringList>("after");  // empty: as before
        const auto row = [](const char* name, const QStringList& before, const QString& error,
                            const QStringList& after = {}) {
            QTest::newRow(name) << before << error << after;
        };
        const QStringList kept{
            temporary + " 777 -> nowhere", ".identity.key-0123456789ABCDEF.tmp 600 0",
            ".identity.key-0123456789abcdef0.tmp 600 0", "xidentity.key-<r>.tmp 600 0"};

        row("first start: directories private whatever the umask", {"umask 000"}, "",
            {"../ 700", "./ 700", "identity.key 600 KEY"});
        row("key directory group-writable: made private before the key is read",
            {"./ 775", "identity.key 600 32"}, "", {"./ 700", "identity.key 600 KEY"});
        row("a 0644 key made 0600", {"identity.key 644 32"},
            "key file <file> was mode 0644, open to group or others: made it 0600\n",
            {"identity.key 600 KEY"});
        row("31 bytes set aside as -2 after two earlier ones; umask 277, the new key still 0600",
            {"umask 277", aside + " 600 1", aside + "-1 600 2", "identity.key 644 31"}, "",
            {"identity.key 600 KEY", aside + " 600 1", aside + "-1 600 2", aside + "-2 644 31"});
        row("stored key loaded; only old leftovers of the user's own starts go",
            QStringList{"identity.key 640 32", temporary + " 600 0", temporary + " 600,fresh 3"} +
                kept,
            "key file <file> was mode 0640, open to group or others: made it 0600\n",
            QStringList{"identity.key 600 KEY", temporary + " 600 3"} + kept);
        row("a write fails half way: no key, no temporary file",
            {"files of 16 bytes at most", "./ 755"},
            "write <dir>/" + temporary + ": File too large");
        row("directory at the key file", {"identity.key/ 700"}, "read <file>: Is a directory");
        row("dangling link at the key file", {"identity.key 777 -> nowhere"},
            "read <file>: dangling symbolic link");
        row("device at the key file", {"identity.key 777 -> /dev/null"},
            "read <file>: not a regular file");
        row("file at the key directory", {". 644 1"}, "create directory <dir>: Not a directory");
        row("dangling link at the key directory", {". 777 -> nowhere"},
            "create directory <dir>: No such file or directory");
        row("unreadable key file", {"as nobody", "identity.key 000 32"},
            "read <file>: Permission denied");
        row("read-only key directory: no new key", {"as nobody", "./ 555"},
            "create temporary file <dir>/" + temporary + ": Permission denied");
        row("read-only key directory: a 33-byte key file stays",
            {"as nobody", "identity.key 644 33", "./ 555"},
            "move aside <file> to <file>.invalid-<t>: Permission denied");
        row("key directory not readable: the sync after publishing fails", {"as nobody", "./ 300"},
            "sync directory <dir>: Permission denied");
        row("key file of another user",
            {"as nobody", "root keeps identity.key", "identity.key 644 32"},
            "read <file>: owned by another user (uid 0)");
        row("link of another user at the key file to a file of the user's",
            {"as nobody", "root keeps identity.key", "identity.key 777 -> mine", "mine 644 32"},
            "read <file>: owned by another user (uid 0)");
        row("link of the user's to a directory of another user at the key directory",
            {"as nobody", "root keeps ../theirs", ". 777 -> theirs", "../theirs/ 755"},
            "use directory <dir>: owned by another user (uid 0)");
        row("link of another user to a directory of the user's at the key directory",
            {"as nobody", "root keeps .", ". 777 -> mine", "../mine/ 755"},
            "use directory <dir>: owned by another user (uid 0)");
    }

    void startFrom() {
        QFETCH(QStringList, before);
        QFETCH(QString, error);
        QFETCH(QStringList, after);
        QTemporaryDir temp;
        const QString dir = temp.path() + "/data/keys";
        const auto cleanUp = qScopeGuard([&] { ::chmod(native(dir), 0700); });
        if (!before.filter("root keeps ").isEmpty() && ::geteuid() != 0)
            QSKIP("only root can make files of another user");
        QVERIFY(make(
            dir, before.filter(QRegularExpression("^(?!umask |files of |as nobody|root keeps )"))));
        const QStringList unchanged = listing(dir, {});

        const QByteArray report = finish(start(dir, nullptr, before));
        const QByteArray key = report.startsWith('+') ? report.mid(1) : "";
        QFile notes(temp.filePath("notes"));
        QString text = (notes.open(QIODevice::ReadOnly) ? notes.readAll() : "") +
                       (report.startsWith('-') ? QString::fromLocal8Bit(report.mid(1)) : "");
        QCOMPARE(normalised(text.replace(dir + "/identity.key", "<file>").replace(dir, "<dir>")),
                 error);
        after.sort();
        QCOMPARE(listing(dir, key), after.isEmpty() ? unchanged : after);
    }

    // A start killed at any moment loses nothing, never publishes half a key and leaves only
    // private temporary files; the starts released together after it agree on one key, leave no
    // temporary file of their own and set the unusable key file aside exactly once.
    void killedThenSimultaneousStarts() {
        for (int i = std::max(20, qEnvironmentVariableIntValue("VORLUND_CRASH_ITERATIONS")); i > 0;
             --i) {
            QTemporaryDir temp;
            const QString dir = temp.path() + "/data/keys";
            QVERIFY(make(dir, {"identity.key 644 5"}));
            const int watch = ::inotify_init();
            QVERIFY(::inotify_add_watch(watch, native(dir), IN_CREATE | IN_DELETE | IN_MOVE) >= 0);
            const Start victim = start(dir);
            // A whole start makes five changes: kill it once it made any number of them.
            pollfd ready[] = {{watch, POLLIN, 0}, {victim.second, POLLIN, 0}};
            char changes[4096];
            int count = QRandomGenerator::global()->bounded(6);
            while (count-- > 0 && ::poll(ready, 2, 9000) > 0 && !ready[1].revents &&
                   ::read(watch, changes, sizeof changes) > 0) {
            }
            ::kill(victim.first, SIGKILL);
            finish(victim);
            ::close(watch);
            QFile file(dir + "/identity.key");
            const QByteArray published = file.open(QIODevice::ReadOnly) ? file.readAll() : "";
            QStringList expected =
                listing(dir, published.size() == 32 ? published : "").filter(".tmp 600");
            expected += QStringList{aside + " 644 5", "identity.key 600 KEY"};
            expected.sort();

            int gate[2];
            QVERIFY(::pipe(gate) == 0);
            const QList<Start> racers{start(dir, gate), start(dir, gate), start(dir, gate)};
            ::close(gate[0]);
            ::close(gate[1]);
            const QByteArrayList reports{finish(racers[0]), finish(racers[1]), finish(racers[2])};
            const QByteArray key = reports[0].mid(1);
            QCOMPARE(reports, QByteArrayList(3, "+" + key));
            QVERIFY(published.size() != 32 || key == published);
            QCOMPARE(listing(dir, key), expected);
        }
    }

    // RFC 8032, section 7.1, test 1, through a key file: its 32 bytes are the seed.
    void signsWithTheFilesKey() {
        QTemporaryDir temp;
        QFile file(temp.filePath("identity.key"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        file.write(QByteArray::fromHex(
            "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
        ClientIdentity identity(native(temp.path()).toStdString());
#ifndef MLOCK_IS_A_NO_OP
        QFile status("/proc/self/status"); // the key's page is locked: never swapped out
        QVERIFY(status.open(QIODevice::ReadOnly) &&
                !status.readAll().contains("VmLck:\t       0 kB"));
#endif
        const QFuture<Bytes> queuedFirst = identity.sign(Bytes(8 << 20, 's'));
        // Runs where publicKeyHex ran, which on the one thread is after that long signature.
        const auto inOrder = [&](std::string key) { return queuedFirst.isFinished() ? key : ""; };
        QCOMPARE(QString::fromStdString(identity.publicKeyHex().then(inOrder).result()),
                 "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
        QCOMPARE(QString::fromStdString(hex(identity.sign({}).result())),
                 "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
                 "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    }

    // A relative XDG_DATA_HOME would give each working directory a key of its own.
    void relativeDataHomeIgnored() {
        qputenv("HOME", "/home/someone");
        qputenv("XDG_DATA_HOME", "data");
        QCOMPARE(QString::fromStdString(defaultKeyDirectory().string()),
                 "/home/someone/.local/share/org.vorlund.client");
    }
};

QTEST_APPLESS_MAIN(IdentityTest)
#include "tst_identity.moc"

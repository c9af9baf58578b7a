#pragma once

// Small file helpers for tests that look at the key directory from the outside.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <sodium.h>

#include <cstdint>
#include <filesystem>
#include <span>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace testfiles {

inline std::filesystem::path fsPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

inline QByteArray bytesOf(std::span<const std::uint8_t> bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

// Only regular files: opening a fifo would wait for a writer.
inline QByteArray readAll(const QString& path) {
    struct stat status;
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return "<not a regular file>";
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

// Writes the bytes, then sets the mode exactly (the umask does not interfere).
inline bool writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0600) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

inline int modeOf(const QString& path) {
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return -1;
    return static_cast<int>(status.st_mode & 07777);
}

// Everything that tells whether a file was rewritten or replaced.
inline QString stampOf(const QString& path) {
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return "<missing>";
    return QStringLiteral("inode %1, mode %2, modified %3.%4, content %5")
        .arg(status.st_ino)
        .arg(status.st_mode, 0, 8)
        .arg(status.st_mtim.tv_sec)
        .arg(status.st_mtim.tv_nsec)
        .arg(QString::fromLatin1(readAll(path).toHex()));
}

// Sets the modification time far into the past, so that any later write shows.
inline bool backdate(const QString& path) {
    const struct timespec times[2] = {{978307200, 0}, {978307200, 0}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) ==
           0;
}

// The name pattern of the file a new key is written to before it is published.
inline const QString temporaryNamePattern = QStringLiteral(R"(\.identity\.key-[0-9a-f]{16}\.tmp)");

inline bool isTemporaryName(const QString& name) {
    static const QRegularExpression whole("^" + temporaryNamePattern + "$");
    return whole.match(name).hasMatch();
}

// The public key standard Ed25519 derives from a key file's content.
inline QByteArray publicKeyOfSeed(const QByteArray& seed) {
    if (seed.size() != crypto_sign_SEEDBYTES)
        return "<not a key>";
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey,
                             reinterpret_cast<const unsigned char*>(seed.constData()));
    sodium_memzero(secretKey, sizeof secretKey);
    return QByteArray(reinterpret_cast<const char*>(publicKey), sizeof publicKey);
}

// All names in the directory, hidden ones included, sorted.
inline QStringList entriesOf(const QString& dir) {
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace testfiles

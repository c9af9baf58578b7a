#include "key_file.h"

#include "posix_file.h"

#include <sodium.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorlund {

namespace fs = std::filesystem;

namespace {

// Rounds of read-then-act before giving up on a key file that other processes keep changing.
constexpr int maxAttempts = 8;

// Whoever owns the key file or its directory, or a link that stands in the place of either, could
// have chosen the key or could read it.
void refuseIfForeign(const struct stat& status, const std::string& what) {
    if (status.st_uid != ::geteuid())
        throwFileError(what, "owned by another user (uid " + std::to_string(status.st_uid) + ")");
}

// The key directory must be the user's own, and so must a link in its place. Write access for
// group or others, which a umask of 000 gives, is taken away before anything in it is trusted.
void claimKeyDirectory(const fs::path& dir) {
    const std::string what = "use directory " + dir.string();
    struct stat entry, status;
    if (::lstat(dir.c_str(), &entry) != 0 || ::stat(dir.c_str(), &status) != 0)
        throwFromErrno(what);
    refuseIfForeign(entry, what);
    refuseIfForeign(status, what);
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) && ::chmod(dir.c_str(), 0700) != 0)
        throwFromErrno("set permissions 0700 on " + dir.string());
}

// A key that group or others can read is no longer secret from them; refusing it would cost the
// user their identity, so it is made private, and they are told.
void makePrivate(int fd, const struct stat& status, const fs::path& file) {
    if ((status.st_mode & 077) == 0)
        return;
    const int mode = int(status.st_mode & 0777);
    if (::fchmod(fd, 0600) == 0)
        std::fprintf(stderr, "key file %s was mode %04o, open to group or others: made it 0600\n",
                     file.c_str(), mode);
    else
        std::fprintf(stderr, "key file %s is mode %04o, open to group or others: %s\n",
                     file.c_str(), mode, std::strerror(errno));
}

// Room for secret bytes that is wiped however the function holding it is left.
template <std::size_t size> struct WipedBytes {
    std::array<std::uint8_t, size> bytes;
    ~WipedBytes() { sodium_memzero(bytes.data(), bytes.size()); }
};

struct KeyFileContent {
    enum class Kind { missing, valid, wrongLength } kind = Kind::missing;
    std::optional<SigningKey> key; // when valid
    dev_t device = 0;              // of the file that was read, when wrongLength
    ino_t inode = 0;
};

// Only a missing name counts as missing. Anything there that cannot be read, including a
// link whose target is gone (a key on an unmounted volume, say), is an error and is left
// alone, so that a passing fault never costs the user their identity.
KeyFileContent readKeyFile(const fs::path& file) {
    struct stat entry;
    if (::lstat(file.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode))
        refuseIfForeign(entry, "read " + file.string());
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno != ENOENT)
            throwFromErrno("read " + file.string());
        // Something may have appeared since; only a link that still leads nowhere is dangling.
        struct stat link, target;
        if (::lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
            ::stat(file.c_str(), &target) != 0 && errno == ENOENT)
            throwFileError("read " + file.string(), "dangling symbolic link");
        return {};
    }
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        throwFromErrno("read " + file.string());
    if (S_ISDIR(status.st_mode))
        throwFileError("read " + file.string(), std::strerror(EISDIR));
    if (!S_ISREG(status.st_mode))
        throwFileError("read " + file.string(), "not a regular file");
    refuseIfForeign(status, "read " + file.string());
    if (status.st_size == SigningKey::seedSize) // anything else is no key, and stays as it is
        makePrivate(fd.get(), status, file);

    // One byte more than a key, to tell a key from a longer file.
    WipedBytes<SigningKey::seedSize + 1> buffer;
    const std::size_t length = readUpTo(fd.get(), buffer.bytes, file);
    KeyFileContent content;
    if (length == SigningKey::seedSize) {
        content.kind = KeyFileContent::Kind::valid;
        content.key = SigningKey::fromSeed(std::span(buffer.bytes).first<SigningKey::seedSize>());
    } else {
        content.kind = KeyFileContent::Kind::wrongLength;
        content.device = status.st_dev;
        content.inode = status.st_ino;
    }
    return content;
}

// Keeps an unusable key file as identity.key.invalid-<unix seconds>[-n], never overwriting
// an earlier one. Does nothing if the file is no longer the one that was read: another
// process moved or replaced it meanwhile.
void moveAside(const fs::path& file, const KeyFileContent& seen) {
    struct stat now;
    if (::stat(file.c_str(), &now) != 0) {
        if (errno == ENOENT)
            return;
        throwFromErrno("move aside " + file.string());
    }
    if (now.st_dev != seen.device || now.st_ino != seen.inode)
        return;

    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch());
    const std::string base = file.string() + ".invalid-" + std::to_string(seconds.count());
    for (int suffix = 0;; ++suffix) {
        const fs::path target = suffix == 0 ? base : base + "-" + std::to_string(suffix);
        if (renameWithoutReplacing(file, target) || errno == ENOENT)
            return;
        if (errno != EEXIST)
            throwFromErrno("move aside " + file.string() + " to " + target.string());
    }
}

// Far longer than any start takes from creating a temporary file to publishing it, so that no
// start removes one that another is still writing.
constexpr auto leftoverAge = std::chrono::minutes(10);

// A start killed while publishing a new key leaves its temporary file behind: empty, holding a
// key that was never used, or a second name of the key file. Later starts remove such leftovers
// of their own user once they are old. Only housekeeping: failing to is no reason to fail.
void removeLeftoverTemporaryFiles(const fs::path& dir) {
    const std::unique_ptr<DIR, int (*)(DIR*)> stream(::opendir(dir.c_str()), &::closedir);
    if (!stream)
        return;
    const auto now = std::chrono::system_clock::now();
    while (const dirent* entry = ::readdir(stream.get())) {
        if (!TemporaryFile::isItsName(entry->d_name, keyFileName))
            continue;
        struct stat status;
        if (::fstatat(::dirfd(stream.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == ::geteuid() &&
            now - std::chrono::system_clock::from_time_t(status.st_mtime) > leftoverAge)
            ::unlinkat(::dirfd(stream.get()), entry->d_name, 0);
    }
}

// The new key appears under the key file's name complete and private, or not at all. Returns
// nothing if another process published a key file first.
std::optional<SigningKey> publishNewKey(const fs::path& file) {
    SigningKey key = SigningKey::generate();
    TemporaryFile temporary(file);
    temporary.writePrivatelyAndClose(key.seed());
    // Unlike rename, link never replaces a key file that appeared in the meantime.
    if (::link(temporary.path().c_str(), file.c_str()) != 0) {
        if (errno == EEXIST)
            return std::nullopt;
        throwFromErrno("publish " + temporary.path().string() + " as " + file.string());
    }
    temporary.remove();
    syncDirectory(directoryOf(file));
    return key;
}

} // namespace

SigningKey loadOrCreateKey(const fs::path& keyDirectory) {
    createDirectories(keyDirectory);
    claimKeyDirectory(keyDirectory);
    removeLeftoverTemporaryFiles(keyDirectory);
    const fs::path file = keyDirectory / keyFileName;
    return loadOrCreateKeyFile(file, KeyFileOfWrongLength::moveAside);
}

SigningKey loadOrCreateKeyFile(const fs::path& file, KeyFileOfWrongLength wrongLength) {
    // Other processes may be starting at the same moment. Whoever loses a race reads the key
    // file again and goes on from what it finds there. Moving a file aside by name cannot be made
    // conditional on it still being the file that was read, so that is done under a lock: without
    // it one process could move aside the new key another has just published and is using.
    std::unique_ptr<DirectoryLock> lock;
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        KeyFileContent content = readKeyFile(file);
        switch (content.kind) {
        case KeyFileContent::Kind::valid:
            return std::move(*content.key);
        case KeyFileContent::Kind::wrongLength:
            if (wrongLength == KeyFileOfWrongLength::refuse)
                throwFileError("load " + file.string(),
                               "not a key of " + std::to_string(SigningKey::seedSize) + " bytes");
            if (lock)
                moveAside(file, content);
            else // and read again under it
                lock = std::make_unique<DirectoryLock>(directoryOf(file));
            break;
        case KeyFileContent::Kind::missing:
            if (std::optional<SigningKey> key = publishNewKey(file))
                return std::move(*key);
            break;
        }
    }
    throwFileError("load " + file.string(), "the key file kept changing while it was read");
}

} // namespace vorlund

#include "key_file.h"

#include "protocol/hex.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <sodium.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorlund {

namespace fs = std::filesystem;

namespace {

// Rounds of read-then-act before giving up on a key file that other processes keep changing.
constexpr int maxAttempts = 8;

[[noreturn]] void fail(const std::string& what, const std::string& reason) {
    throw KeyFileError(what + ": " + reason);
}

// Call straight after the failing system call, while errno still holds its reason.
[[noreturn]] void failWithErrno(const std::string& what) {
    fail(what, std::strerror(errno));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// mkdir with intermediates, each new one private. An existing directory, or a link to one, is
// fine.
void createDirectories(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0)
        return;
    if (errno == ENOENT && dir.has_relative_path() && dir.parent_path() != dir) {
        createDirectories(dir.parent_path());
        if (::mkdir(dir.c_str(), 0700) == 0)
            return;
    }
    if (errno != EEXIST)
        failWithErrno("create directory " + dir.string());
    struct stat status;
    if (::stat(dir.c_str(), &status) != 0)
        failWithErrno("create directory " + dir.string());
    if (!S_ISDIR(status.st_mode))
        fail("create directory " + dir.string(), std::strerror(ENOTDIR));
}

// Whoever owns the key file or its directory, or a link that stands in the place of either, could
// have chosen the key or could read it.
void refuseIfForeign(const struct stat& status, const std::string& what) {
    if (status.st_uid != ::geteuid())
        fail(what, "owned by another user (uid " + std::to_string(status.st_uid) + ")");
}

// The key directory must be the user's own, and so must a link in its place. Write access for
// group or others, which a umask of 000 gives, is taken away before anything in it is trusted.
void claimKeyDirectory(const fs::path& dir) {
    const std::string what = "use directory " + dir.string();
    struct stat entry, status;
    if (::lstat(dir.c_str(), &entry) != 0 || ::stat(dir.c_str(), &status) != 0)
        failWithErrno(what);
    refuseIfForeign(entry, what);
    refuseIfForeign(status, what);
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) && ::chmod(dir.c_str(), 0700) != 0)
        failWithErrno("set permissions 0700 on " + dir.string());
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

// Reads up to buffer.size() bytes; fewer only at the end of the file.
std::size_t readUpTo(int fd, std::span<std::uint8_t> buffer, const fs::path& file) {
    std::size_t length = 0;
    while (length < buffer.size()) {
        const ssize_t count = ::read(fd, buffer.data() + length, buffer.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            failWithErrno("read " + file.string());
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    return length;
}

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
            failWithErrno("read " + file.string());
        // Something may have appeared since; only a link that still leads nowhere is dangling.
        struct stat link, target;
        if (::lstat(file.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
            ::stat(file.c_str(), &target) != 0 && errno == ENOENT)
            fail("read " + file.string(), "dangling symbolic link");
        return {};
    }
    struct stat status;
    if (::fstat(fd.get(), &status) != 0)
        failWithErrno("read " + file.string());
    if (S_ISDIR(status.st_mode))
        fail("read " + file.string(), std::strerror(EISDIR));
    if (!S_ISREG(status.st_mode))
        fail("read " + file.string(), "not a regular file");
    refuseIfForeign(status, "read " + file.string());

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

// Fails with errno set instead of replacing an existing `to`.
bool renameWithoutReplacing(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // The file system cannot rename that way; a hard link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    if (::unlink(from.c_str()) == 0)
        return true;
    const int error = errno;
    ::unlink(to.c_str());
    errno = error;
    return false;
}

// Keeps an unusable key file as identity.key.invalid-<unix seconds>[-n], never overwriting
// an earlier one. Does nothing if the file is no longer the one that was read: another
// process moved or replaced it meanwhile.
void moveAside(const fs::path& file, const KeyFileContent& seen) {
    struct stat now;
    if (::stat(file.c_str(), &now) != 0) {
        if (errno == ENOENT)
            return;
        failWithErrno("move aside " + file.string());
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
            failWithErrno("move aside " + file.string() + " to " + target.string());
    }
}

fs::path directoryOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

// A file beside the key file, in a name of its own, that disappears again unless published.
class TemporaryFile {
public:
    explicit TemporaryFile(const fs::path& file)
        : path_(directoryOf(file) / uniqueName(file.filename())),
          fd_(::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600)) {
        if (fd_.get() < 0)
            failWithErrno("create temporary file " + path_.string());
        created_ = true;
    }
    ~TemporaryFile() {
        if (created_)
            ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const fs::path& path() const { return path_; }

    // Makes the file private whatever the umask left of 0600, before the first byte goes in,
    // then writes all bytes, flushes them to the disk and closes the file.
    void writePrivatelyAndClose(std::span<const std::uint8_t> bytes) {
        if (::fchmod(fd_.get(), 0600) != 0)
            failWithErrno("set permissions 0600 on " + path_.string());
        std::size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t count =
                ::write(fd_.get(), bytes.data() + written, bytes.size() - written);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                failWithErrno("write " + path_.string());
            written += static_cast<std::size_t>(count);
        }
        if (::fsync(fd_.get()) != 0)
            failWithErrno("sync " + path_.string());
        if (::close(fd_.release()) != 0)
            failWithErrno("close " + path_.string());
    }

    void remove() {
        created_ = false;
        if (::unlink(path_.c_str()) != 0)
            failWithErrno("remove " + path_.string());
    }

    static bool isItsName(std::string_view name, const fs::path& fileName) {
        const std::string start = prefix(fileName);
        if (name.size() != start.size() + 2 * randomBytes + suffix.size() ||
            !name.starts_with(start) || !name.ends_with(suffix))
            return false;
        const std::string_view random = name.substr(start.size(), 2 * randomBytes);
        return random.find_first_not_of("0123456789abcdef") == std::string_view::npos;
    }

private:
    static constexpr std::size_t randomBytes = 8;
    static constexpr std::string_view suffix = ".tmp";
    static std::string prefix(const fs::path& fileName) { return "." + fileName.native() + "-"; }

    static std::string uniqueName(const fs::path& fileName) {
        std::array<std::uint8_t, randomBytes> random;
        randombytes_buf(random.data(), random.size());
        return prefix(fileName) + hex(random) + std::string(suffix);
    }

    fs::path path_;
    FileDescriptor fd_;
    bool created_ = false;
};

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

void syncDirectory(const fs::path& dir) {
    FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        failWithErrno("sync directory " + dir.string());
}

// Serialises the processes that deal with an unusable key file: moving a file aside by name
// cannot be made conditional on it still being the file that was read, so without the lock
// one process could move aside the new key another has just published and is using. Best
// effort: where the file system has no locks for directories (NFS, say), go on without.
class DirectoryLock {
public:
    explicit DirectoryLock(const fs::path& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_.get() >= 0)
            while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
            }
    }

private:
    FileDescriptor fd_; // closing it releases the lock
};

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
        failWithErrno("publish " + temporary.path().string() + " as " + file.string());
    }
    temporary.remove();
    syncDirectory(directoryOf(file));
    return key;
}

} // namespace

fs::path defaultKeyDirectory() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    // Qt 6.4 takes a relative XDG_DATA_HOME as it stands, so each working directory would get a
    // key of its own; the XDG Base Directory rules say to ignore it.
    if (QDir::isRelativePath(base))
        base = QDir::homePath() + "/.local/share";
    if (QDir::isRelativePath(base))
        throw KeyFileError("find key directory: HOME is a relative path");
    return fs::path(QFile::encodeName(base).toStdString()) / "org.vorlund.client";
}

SigningKey loadOrCreateKey(const fs::path& keyDirectory) {
    createDirectories(keyDirectory);
    claimKeyDirectory(keyDirectory);
    removeLeftoverTemporaryFiles(keyDirectory);
    const fs::path file = keyDirectory / keyFileName;
    return loadOrCreateKeyFile(file, KeyFileOfWrongLength::moveAside);
}

SigningKey loadOrCreateKeyFile(const fs::path& file, KeyFileOfWrongLength wrongLength) {
    // Other processes may be starting at the same moment. Whoever loses a race reads the key
    // file again and goes on from what it finds there.
    std::unique_ptr<DirectoryLock> lock;
    for (int attempt = 0; attempt < maxAttempts; ++attempt) {
        KeyFileContent content = readKeyFile(file);
        switch (content.kind) {
        case KeyFileContent::Kind::valid:
            return std::move(*content.key);
        case KeyFileContent::Kind::wrongLength:
            if (wrongLength == KeyFileOfWrongLength::refuse)
                fail("load " + file.string(),
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
    fail("load " + file.string(), "the key file kept changing while it was read");
}

} // namespace vorlund

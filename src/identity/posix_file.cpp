#include "posix_file.h"

#include "protocol/hex.h"
#include "protocol/sodium.h"

#include <sodium.h>

#include <array>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorlund {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t randomBytes = 8;
constexpr std::string_view temporarySuffix = ".tmp";

std::string temporaryPrefix(const fs::path& fileName) {
    return "." + fileName.native() + "-";
}

std::string uniqueTemporaryName(const fs::path& fileName) {
    std::array<std::uint8_t, randomBytes> random;
    ensureSodium();
    randombytes_buf(random.data(), random.size());
    return temporaryPrefix(fileName) + hex(random) + std::string(temporarySuffix);
}

} // namespace

void throwFileError(const std::string& what, const std::string& reason) {
    throw FileError(what + ": " + reason);
}

void throwFromErrno(const std::string& what) {
    throwFileError(what, std::strerror(errno));
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

void createDirectories(const fs::path& dir) {
    if (::mkdir(dir.c_str(), 0700) == 0)
        return;
    if (errno == ENOENT && dir.has_relative_path() && dir.parent_path() != dir) {
        createDirectories(dir.parent_path());
        if (::mkdir(dir.c_str(), 0700) == 0)
            return;
    }
    if (errno != EEXIST)
        throwFromErrno("create directory " + dir.string());
    struct stat status;
    if (::stat(dir.c_str(), &status) != 0)
        throwFromErrno("create directory " + dir.string());
    if (!S_ISDIR(status.st_mode))
        throwFileError("create directory " + dir.string(), std::strerror(ENOTDIR));
}

std::size_t readUpTo(int fd, std::span<std::uint8_t> buffer, const fs::path& file) {
    std::size_t length = 0;
    while (length < buffer.size()) {
        const ssize_t count = ::read(fd, buffer.data() + length, buffer.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throwFromErrno("read " + file.string());
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    return length;
}

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

fs::path directoryOf(const fs::path& file) {
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

void syncDirectory(const fs::path& dir) {
    FileDescriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        throwFromErrno("sync directory " + dir.string());
}

TemporaryFile::TemporaryFile(const fs::path& file)
    : path_(directoryOf(file) / uniqueTemporaryName(file.filename())),
      fd_(::open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0)
        throwFromErrno("create temporary file " + path_.string());
    created_ = true;
}

TemporaryFile::~TemporaryFile() {
    if (created_)
        ::unlink(path_.c_str());
}

void TemporaryFile::writePrivatelyAndClose(std::span<const std::uint8_t> bytes) {
    if (::fchmod(fd_.get(), 0600) != 0)
        throwFromErrno("set permissions 0600 on " + path_.string());
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd_.get(), bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throwFromErrno("write " + path_.string());
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(fd_.get()) != 0)
        throwFromErrno("sync " + path_.string());
    if (::close(fd_.release()) != 0)
        throwFromErrno("close " + path_.string());
}

void TemporaryFile::remove() {
    created_ = false;
    if (::unlink(path_.c_str()) != 0)
        throwFromErrno("remove " + path_.string());
}

bool TemporaryFile::isItsName(std::string_view name, const fs::path& fileName) {
    const std::string start = temporaryPrefix(fileName);
    if (name.size() != start.size() + 2 * randomBytes + temporarySuffix.size() ||
        !name.starts_with(start) || !name.ends_with(temporarySuffix))
        return false;
    const std::string_view random = name.substr(start.size(), 2 * randomBytes);
    return random.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

DirectoryLock::DirectoryLock(const fs::path& dir)
    : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_.get() >= 0)
        while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
        }
}

} // namespace vorlund

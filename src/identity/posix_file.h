#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

// Plain POSIX file handling for files that must never be seen half written.

namespace vorlund {

// A file-system failure. The message names the operation, the path and the system's reason,
// e.g. "create directory /x/y: Not a directory".
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwFileError(const std::string& what, const std::string& reason);
// Call straight after the failing system call, while errno still holds its reason.
[[noreturn]] void throwFromErrno(const std::string& what);

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// mkdir with intermediates, each new one private. An existing directory, or a link to one, is
// fine.
void createDirectories(const std::filesystem::path& dir);

// Reads up to buffer.size() bytes; fewer only at the end of the file.
std::size_t readUpTo(int fd, std::span<std::uint8_t> buffer, const std::filesystem::path& file);

// Fails with errno set instead of replacing an existing `to`.
bool renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// The directory a file name is in, "." for a bare name.
std::filesystem::path directoryOf(const std::filesystem::path& file);

void syncDirectory(const std::filesystem::path& dir);

// A file beside `file`, in a name of its own, that disappears again unless published.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::filesystem::path& file);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Makes the file private whatever the umask left of 0600, before the first byte goes in,
    // then writes all bytes, flushes them to the disk and closes the file.
    void writePrivatelyAndClose(std::span<const std::uint8_t> bytes);

    void remove();

    // Whether `name` is that of a temporary file beside one named fileName.
    static bool isItsName(std::string_view name, const std::filesystem::path& fileName);

private:
    std::filesystem::path path_;
    FileDescriptor fd_;
    bool created_ = false;
};

// An exclusive lock on a directory for as long as it lives. Best effort: where the file system
// has no locks for directories (NFS, say), it goes on without.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::filesystem::path& dir);

private:
    FileDescriptor fd_; // closing it releases the lock
};

} // namespace vorlund

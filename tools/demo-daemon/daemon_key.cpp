#include "daemon_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vorlund {

namespace {

std::runtime_error systemError(const std::string& what, const std::filesystem::path& file) {
    return std::runtime_error(what + " " + file.string() + ": " + std::strerror(errno));
}

// Creates the file exclusively; false if it exists already.
bool createKeyFile(const std::filesystem::path& file, const SigningKey& key) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return false;
        throw systemError("create", file);
    }
    const auto seed = key.seed();
    const bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, seed.data(), seed.size()) == static_cast<ssize_t>(seed.size()) &&
        ::fsync(fd) == 0;
    if (!written) {
        const auto failure = systemError("write", file);
        ::close(fd);
        std::filesystem::remove(file);
        throw failure;
    }
    ::close(fd);
    return true;
}

SigningKey readKeyFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<std::uint8_t, SigningKey::seedSize + 1> buffer{};
    in.read(reinterpret_cast<char*>(buffer.data()), buffer.size());
    if (in.bad() || !in.is_open())
        throw systemError("read", file);
    if (in.gcount() != static_cast<std::streamsize>(SigningKey::seedSize))
        throw std::runtime_error("key file " + file.string() + " must hold exactly " +
                                 std::to_string(SigningKey::seedSize) + " bytes");
    return SigningKey::fromSeed(
        std::span<const std::uint8_t, SigningKey::seedSize>(buffer.data(), SigningKey::seedSize));
}

} // namespace

SigningKey loadOrCreateDaemonKey(const std::filesystem::path& file) {
    SigningKey fresh = SigningKey::generate();
    if (createKeyFile(file, fresh))
        return fresh;
    return readKeyFile(file);
}

} // namespace vorlund

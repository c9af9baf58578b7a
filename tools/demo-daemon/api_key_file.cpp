#include "api_key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorlund {

namespace {

// Far more than any API key.
constexpr std::size_t maxKeyFileBytes = 64 * 1024;

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& reason) {
    throw std::runtime_error("API key file " + file.string() + ": " + reason);
}

} // namespace

std::string readApiKeyFile(const std::filesystem::path& file) {
    // Without blocking, so that a FIFO named by mistake is refused rather than waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        refuse(file, std::strerror(errno));
    struct stat status {};
    std::string text(maxKeyFileBytes, '\0');
    const bool regular = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    const ssize_t count =
        regular && (status.st_mode & 077) == 0 ? ::read(fd, text.data(), text.size()) : -1;
    ::close(fd);
    if (!regular)
        refuse(file, "not a regular file");
    if ((status.st_mode & 077) != 0)
        refuse(file,
               "group or others may read it; make it private with chmod 600 " + file.string());
    if (count < 0)
        refuse(file, std::strerror(errno));
    text.resize(std::size_t(count));
    text.resize(std::min(text.find('\n'), text.size()));
    if (text.ends_with('\r'))
        text.pop_back();
    if (text.empty())
        refuse(file, "its first line is empty");
    // It goes into a header line as it is.
    if (std::any_of(text.begin(), text.end(),
                    [](unsigned char c) { return c < 0x20 || c == 0x7f; }))
        refuse(file, "its first line holds a control character");
    return text;
}

} // namespace vorlund

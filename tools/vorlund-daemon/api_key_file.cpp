#include "api_key_file.h"

#include "identity/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <span>

namespace vorlund {

namespace {

// Far more than any API key.
constexpr std::size_t maxKeyFileBytes = 64 * 1024;

[[noreturn]] void refuse(const std::filesystem::path& file, const std::string& reason) {
    throwFileError("API key file " + file.string(), reason);
}

} // namespace

std::string readApiKeyFile(const std::filesystem::path& file) {
    // Without blocking, so that a FIFO named by mistake is refused rather than waited on.
    const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0)
        throwFromErrno("open API key file " + file.string());
    if (!S_ISREG(status.st_mode))
        refuse(file, "not a regular file");
    if ((status.st_mode & 077) != 0)
        refuse(file,
               "group or others may read it; make it private with chmod 600 " + file.string());
    std::string text(maxKeyFileBytes, '\0');
    text.resize(readUpTo(
        fd.get(), std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()), file));
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

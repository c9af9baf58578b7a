// Creates a ClientIdentity in the key directory given and prints its public key, or the
// error on standard error with status 2. Lets tests run identities in separate processes,
// as an unprivileged user, and kill them midway.
//
//   identity_probe [--uid N] [--wait-for-go FIFO] <key directory>
//
// --wait-for-go opens the fifo, prints "ready" and waits for its end of file before it
// starts: when the test closes the fifo's last writer, all waiting probes go at once.

#include "identity/client_identity.h"
#include "identity/key_file.h"

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

namespace {

bool waitForGo(const char* fifo) {
    const int fd = ::open(fifo, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::cout << "ready" << std::endl;
    char byte;
    ssize_t count;
    while ((count = ::read(fd, &byte, 1)) != 0)
        if (count < 0 && errno != EINTR)
            break;
    ::close(fd);
    return count == 0;
}

} // namespace

int main(int argc, char** argv) {
    long userId = -1;
    const char* goFifo = nullptr;
    int next = 1;
    for (; next + 2 < argc; next += 2) {
        const std::string_view option = argv[next];
        if (option == "--uid")
            userId = std::stol(argv[next + 1]);
        else if (option == "--wait-for-go")
            goFifo = argv[next + 1];
        else
            break;
    }
    if (next != argc - 1) {
        std::cerr << "usage: identity_probe [--uid N] [--wait-for-go FIFO] <key directory>\n";
        return 64;
    }
    if (userId >= 0) {
        const auto id = static_cast<uid_t>(userId);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) {
            std::perror("drop privileges");
            return 3;
        }
    }
    if (goFifo && !waitForGo(goFifo)) {
        std::perror("wait for go");
        return 3;
    }
    try {
        vorlund::ClientIdentity identity(argv[next]);
        std::cout << identity.publicKeyHex().result() << std::endl;
        return 0;
    } catch (const vorlund::KeyFileError& error) {
        std::cerr << error.what() << std::endl;
        return 2;
    }
}

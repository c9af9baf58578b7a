// Creates a ClientIdentity in the key directory given and prints its public key, or the
// error on standard error with status 2. Lets tests run identities in separate processes
// and as an unprivileged user.
//
//   identity_probe [--uid N] [--wait-for-go] <key directory>

#include "identity/client_identity.h"
#include "identity/key_file.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    long userId = -1;
    bool waitForGo = false;
    int next = 1;
    for (; next < argc - 1; ++next) {
        const std::string_view option = argv[next];
        if (option == "--uid" && next + 2 < argc)
            userId = std::stol(argv[++next]);
        else if (option == "--wait-for-go")
            waitForGo = true;
        else
            break;
    }
    if (next != argc - 1) {
        std::cerr << "usage: identity_probe [--uid N] [--wait-for-go] <key directory>\n";
        return 64;
    }
    if (userId >= 0) {
        const auto id = static_cast<uid_t>(userId);
        if (::setgroups(0, nullptr) != 0 || ::setgid(id) != 0 || ::setuid(id) != 0) {
            std::perror("drop privileges");
            return 3;
        }
    }
    // Lets the parent release all children at once, to make their starts collide.
    if (waitForGo) {
        std::string line;
        std::getline(std::cin, line);
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

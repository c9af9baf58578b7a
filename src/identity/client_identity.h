#pragma once

#include "signing_key.h"

#include <QFuture>
#include <QThreadPool>

#include <filesystem>
#include <string>

namespace vorlund {

// The client's key directory: org.vorlund.client in the user's data folder.
std::filesystem::path defaultKeyDirectory();

// The one owner of the client's private key. Every operation after creation runs on the
// identity's own single-thread executor, one at a time; callers co_await the returned future.
class ClientIdentity {
public:
    // Loads or creates the key file synchronously. Throws FileError.
    explicit ClientIdentity(const std::filesystem::path& keyDirectory);
    ClientIdentity();
    ~ClientIdentity();

    ClientIdentity(const ClientIdentity&) = delete;
    ClientIdentity& operator=(const ClientIdentity&) = delete;

    QFuture<std::string> publicKeyHex();
    QFuture<Bytes> sign(Bytes message);

private:
    const std::filesystem::path url_;
    const SigningKey privateKey_;
    const std::string publicKeyHex_;
    QThreadPool executor_; // last member: destroyed first, so it drains before the key goes
};

} // namespace vorlund

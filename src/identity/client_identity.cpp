#include "client_identity.h"

#include "data_folder.h"
#include "key_file.h"

#include <QtConcurrent/QtConcurrentRun>

namespace vorlund {

std::filesystem::path defaultKeyDirectory() {
    return userDataFolder() / "org.vorlund.client";
}

ClientIdentity::ClientIdentity(const std::filesystem::path& keyDirectory)
    : url_(keyDirectory / keyFileName), privateKey_(loadOrCreateKey(keyDirectory)),
      publicKeyHex_(hex(privateKey_.publicKey())) {
    executor_.setMaxThreadCount(1);
    // Keep the one thread for the identity's whole life instead of restarting it per signature.
    executor_.setExpiryTimeout(-1);
}

ClientIdentity::ClientIdentity() : ClientIdentity(defaultKeyDirectory()) {}

ClientIdentity::~ClientIdentity() {
    executor_.waitForDone();
}

QFuture<std::string> ClientIdentity::publicKeyHex() {
    return QtConcurrent::run(&executor_, [this] { return publicKeyHex_; });
}

QFuture<Bytes> ClientIdentity::sign(Bytes message) {
    return QtConcurrent::run(&executor_, [this, message = std::move(message)] {
        const auto signature = privateKey_.sign(message);
        return Bytes(signature.begin(), signature.end());
    });
}

} // namespace vorlund

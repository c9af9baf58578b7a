#include "client_state.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QPointer>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace vorlund {

namespace {

// There is no client without an identity: report why and stop before anything is shown.
std::shared_ptr<ClientIdentity> createIdentityOrExit() {
    try {
        return std::make_shared<ClientIdentity>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Fatal error: ClientIdentity failed: %s\n", error.what());
        std::fflush(stderr);
        std::_Exit(1);
    }
}

} // namespace

ClientState::ClientState(QObject* parent) : ClientState(createIdentityOrExit(), parent) {}

ClientState::ClientState(std::shared_ptr<ClientIdentity> identity, QObject* parent)
    : QObject(parent), identity_(std::move(identity)) {
    // Queued, so the key arrives from the event loop even when the identity answers at once,
    // never while the creator is still setting up.
    QMetaObject::invokeMethod(this, &ClientState::publishKey, Qt::QueuedConnection);
}

void ClientState::publishKey() {
    // The coroutine holds the identity itself; the window may be gone when the key arrives.
    [](QPointer<ClientState> state, std::shared_ptr<ClientIdentity> identity) -> QCoro::Task<> {
        try {
            const std::string key = co_await identity->publicKeyHex();
            if (!state)
                co_return;
            state->bPubKeyHex_ = QString::fromStdString(key);
            emit state->bPubKeyHexChanged();
        } catch (...) {
            // Reading a stored text cannot fail; nothing would be left to show it to anyway.
        }
    }(this, identity_);
}

} // namespace vorlund

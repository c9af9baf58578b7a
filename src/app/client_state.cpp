#include "client_state.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QPointer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace vorlund {

namespace {

FatalErrorReport fatalErrorReport = nullptr;

// There is no client without an identity: report why and stop before anything is shown.
std::shared_ptr<ClientIdentity> createIdentityOrExit() {
    try {
        return std::make_shared<ClientIdentity>();
    } catch (const std::exception& error) {
        const std::string message =
            std::string("Fatal error: ClientIdentity failed: ") + error.what();
        std::fprintf(stderr, "%s\n", message.c_str());
        std::fflush(stderr);
        if (fatalErrorReport)
            fatalErrorReport(QString::fromLocal8Bit(message));
        std::_Exit(1);
    }
}

} // namespace

void setFatalErrorReport(FatalErrorReport report) {
    fatalErrorReport = report;
}

ClientState::ClientState(QObject* parent) : ClientState(createIdentityOrExit(), parent) {}

ClientState::ClientState(std::shared_ptr<ClientIdentity> identity, QObject* parent)
    : QObject(parent), identity_(std::move(identity)) {
    // The read starts on the identity's executor at once, so the key is usually there by the
    // time the window is built and its first frame can show it. It is taken up from the event
    // loop, though, never while the creator is still setting up.
    QMetaObject::invokeMethod(
        this, [this, key = identity_->publicKeyHex()] { publishKey(key); }, Qt::QueuedConnection);
}

void ClientState::publishKey(QFuture<std::string> key) {
    // The coroutine holds the identity, whose executor computes the key, for as long as it
    // waits; the window may be gone when the key arrives.
    [](QPointer<ClientState> state, [[maybe_unused]] std::shared_ptr<ClientIdentity> identity,
       QFuture<std::string> key) -> QCoro::Task<> {
        try {
            const std::string text = co_await key;
            if (!state)
                co_return;
            state->bPubKeyHex_ = QString::fromStdString(text);
            emit state->bPubKeyHexChanged();
        } catch (...) {
            // Reading a stored text cannot fail; nothing would be left to show it to anyway.
        }
    }(this, identity_, std::move(key));
}

} // namespace vorlund

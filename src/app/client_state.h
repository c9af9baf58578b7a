#pragma once

#include "identity/client_identity.h"

#include <QFuture>
#include <QObject>
#include <QString>

#include <memory>

namespace vorlund {

// Shows a fatal start-up failure to the user beyond standard error, for instance in a message
// box, and returns once they have seen it. The program's entry installs one where someone may
// be watching; this library itself shows nothing.
using FatalErrorReport = void (*)(const QString& message);
void setFatalErrorReport(FatalErrorReport report);

// Carries the client's identity to one window. bPubKeyHex is empty until the start-up
// coroutine has read it on the identity's executor, then set exactly once.
class ClientState : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString bPubKeyHex READ bPubKeyHex NOTIFY bPubKeyHexChanged)

public:
    // Creates the identity from the default key directory. If that fails, prints
    // "Fatal error: ClientIdentity failed: <error>", hands the same text to the fatal error
    // report if one is installed, and ends the process with status 1.
    explicit ClientState(QObject* parent = nullptr);
    // For tests: an identity made elsewhere.
    explicit ClientState(std::shared_ptr<ClientIdentity> identity, QObject* parent = nullptr);

    QString bPubKeyHex() const { return bPubKeyHex_; }
    std::shared_ptr<ClientIdentity> identity() const { return identity_; }

signals:
    void bPubKeyHexChanged();

private:
    void publishKey(QFuture<std::string> key);

    QString bPubKeyHex_;
    std::shared_ptr<ClientIdentity> identity_;
};

} // namespace vorlund

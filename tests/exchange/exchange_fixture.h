#pragma once

#include "app/client_state.h"
#include "demo_daemon.h"
#include "exchange/pinch_exchange.h"

#include <QString>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <mutex>

Q_DECLARE_METATYPE(vorlund::DemoDaemon::ReplyHook)
Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<bool>)

namespace vorlund::test {

// A client identity in a temporary key directory, its published key, and an in-process demo
// daemon whose replies each test may rewrite.
class ExchangeFixture {
public:
    // Call from initTestCase: a failed check there stops the test case.
    void start();

    ClientState& state() { return *state_; }
    DemoDaemon& daemon() { return *daemon_; }
    QString daemonUrl() const;
    std::string clientKey() const { return state_->bPubKeyHex().toStdString(); }

    // The hook for the next requests; the last reply body sent is kept for comparison.
    void setHook(DemoDaemon::ReplyHook hook);
    std::string lastReplyBody() const;

    // Runs one exchange to its end on the current event loop.
    static std::optional<ExchangeOutcome> run(PinchSnapshot snapshot, ExchangeSettings settings);

private:
    QTemporaryDir home_;
    std::unique_ptr<ClientState> state_;
    std::unique_ptr<DemoDaemon> daemon_;
    int port_ = 0;

    mutable std::mutex mutex_;
    DemoDaemon::ReplyHook hook_;
    std::string lastReplyBody_;
};

// A signing key made from a fixed seed byte, for answers signed by someone else.
SigningKey keyFromByte(std::uint8_t byte);

// A request to the daemon signed by key.
PinchRequest signedRequest(const SigningKey& key, std::string prompt);

} // namespace vorlund::test

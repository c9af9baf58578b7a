#include "exchange_fixture.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"

#include <QCoroTask>

#include <array>

namespace vorlund::test {

namespace {

QCoro::Task<> exchangeInto(PinchSnapshot snapshot, ExchangeSettings settings,
                           std::shared_ptr<std::optional<ExchangeOutcome>> result) {
    *result = co_await exchangePinch(std::move(snapshot), settings);
}

} // namespace

void ExchangeFixture::start() {
    QVERIFY(home_.isValid());
    // Nothing here may reach the real home directory.
    qputenv("XDG_DATA_HOME", home_.path().toUtf8());
    state_ = std::make_unique<ClientState>(
        std::make_shared<ClientIdentity>(std::filesystem::path(home_.path().toStdString())));
    QTRY_VERIFY_WITH_TIMEOUT(!state_->bPubKeyHex().isEmpty(), 10000);

    daemon_ = std::make_unique<DemoDaemon>(
        SigningKey::generate(), [this](const ReceivedPinch& received, DaemonReply& reply) {
            const std::lock_guard lock(mutex_);
            if (hook_)
                hook_(received, reply);
            lastReplyBody_ = reply.body;
        });
    port_ = daemon_->start(0);
}

QString ExchangeFixture::daemonUrl() const {
    return QStringLiteral("http://127.0.0.1:%1/pinch").arg(port_);
}

void ExchangeFixture::setHook(DemoDaemon::ReplyHook hook) {
    const std::lock_guard lock(mutex_);
    hook_ = std::move(hook);
    lastReplyBody_.clear();
}

std::string ExchangeFixture::lastReplyBody() const {
    const std::lock_guard lock(mutex_);
    return lastReplyBody_;
}

std::optional<ExchangeOutcome> ExchangeFixture::run(PinchSnapshot snapshot,
                                                    ExchangeSettings settings) {
    auto result = std::make_shared<std::optional<ExchangeOutcome>>();
    auto task = exchangeInto(std::move(snapshot), settings, result);
    if (!QTest::qWaitFor([&] { return result->has_value(); }, 20000))
        return std::nullopt;
    return *result;
}

SigningKey keyFromByte(std::uint8_t byte) {
    std::array<std::uint8_t, SigningKey::seedSize> seed{};
    seed.fill(byte);
    return SigningKey::fromSeed(seed);
}

PinchRequest signedRequest(const SigningKey& key, std::string prompt) {
    PinchRequest request{.bPubKey = hex(key.publicKey()),
                         .bSig = {},
                         .costCap = 1000,
                         .pinchId = "0190f5e2-8c3a-7b21-9d4e-5f6a7b8c9d0e",
                         .prompt = std::move(prompt),
                         .requestedAt = 1700000000};
    request.bSig = hex(key.sign(canonicalEncode(signingPayloadOf(request))));
    return request;
}

} // namespace vorlund::test

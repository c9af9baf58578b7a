#include "pinch_exchange.h"

#include "answer_judgement.h"
#include "daemon_post.h"

#include "app/client_state.h"
#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/uuid_v7.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QPointer>
#include <QThread>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

namespace vorlund {

namespace {

ExchangeOutcome failure(const char* prefix, const std::exception& error) {
    return failedWith(QString::fromUtf8(prefix) + QString::fromUtf8(error.what()));
}

std::optional<QUrl> parseDaemonUrl(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    const bool usable =
        url.isValid() && !url.isRelative() &&
        (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")) &&
        !url.host().isEmpty();
    if (!usable)
        return std::nullopt;
    return url;
}

QCoro::Task<ExchangeOutcome> runExchange(PinchSnapshot snapshot, ExchangeSettings settings) {
    const std::optional<QUrl> url = parseDaemonUrl(snapshot.daemonUrl);
    if (!url)
        co_return failedWith(QStringLiteral("Invalid URL"));

    const ClientSigningPayload payload{.bPubKey = snapshot.bPubKey,
                                       .costCap = pinchCostCap,
                                       .pinchId = snapshot.pinchId,
                                       .prompt = snapshot.prompt,
                                       .requestedAt = snapshot.requestedAt};
    std::string bSig;
    try {
        const Bytes signature = co_await snapshot.identity->sign(canonicalEncode(payload));
        bSig = hex(signature);
    } catch (const std::exception& error) {
        co_return failure("sign failed: ", error);
    }

    std::string body;
    try {
        body = encodePinchRequest(PinchRequest{.bPubKey = payload.bPubKey,
                                               .bSig = std::move(bSig),
                                               .costCap = payload.costCap,
                                               .pinchId = payload.pinchId,
                                               .prompt = payload.prompt,
                                               .requestedAt = payload.requestedAt});
    } catch (const std::exception& error) {
        co_return failure("encode failed: ", error);
    }

    const DaemonHttpResult answer =
        co_await postToDaemon(*url, QByteArray::fromStdString(body), settings);
    if (answer.transportFailure) {
        ExchangeOutcome failed =
            failedWith(QStringLiteral("request failed: ") + *answer.transportFailure);
        failed.connectionRefused = answer.connectionRefused;
        co_return failed;
    }
    // Decoding and verifying a large answer takes long enough to freeze the window, so the
    // judgement, which touches nothing shared, runs on a worker thread. The future is a named
    // local: g++ 12 mishandles temporaries awaited inside a co_return.
    QFuture<ExchangeOutcome> judgement =
        QtConcurrent::run([status = answer.status, body = answer.body, bPubKey = snapshot.bPubKey] {
            return judgeAnswer(status, body, bPubKey);
        });
    ExchangeOutcome outcome = co_await judgement;
    co_return outcome;
}

} // namespace

PinchSnapshot takeSnapshot(const QString& prompt, const QString& daemonUrl,
                           const ClientState& state, std::chrono::system_clock::time_point now) {
    return PinchSnapshot{
        .prompt = prompt.toStdString(),
        .daemonUrl = daemonUrl,
        .bPubKey = state.bPubKeyHex().toStdString(),
        .identity = state.identity(),
        .pinchId = uuidV7(now),
        // duration_cast truncates toward zero, also before the epoch.
        .requestedAt =
            std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count(),
    };
}

QNetworkAccessManager& sharedNetworkManager() {
    // Parented to the application so it goes with it; made again if a later application
    // (as in tests) asks for one.
    static QPointer<QNetworkAccessManager> manager;
    Q_ASSERT(QCoreApplication::instance() &&
             QThread::currentThread() == QCoreApplication::instance()->thread());
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    return *manager;
}

QCoro::Task<ExchangeOutcome> exchangePinch(PinchSnapshot snapshot, ExchangeSettings settings) {
    try {
        co_return co_await runExchange(std::move(snapshot), settings);
    } catch (const std::exception& error) {
        co_return failure("request failed: ", error);
    } catch (...) {
        co_return failedWith(QStringLiteral("request failed: unknown error"));
    }
}

} // namespace vorlund

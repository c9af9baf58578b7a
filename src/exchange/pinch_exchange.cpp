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

#include <malloc.h>

#include <utility>

namespace vorlund {

namespace {

// Larger answers are judged on a worker thread.
constexpr qsizetype largeAnswerBytes = 64 * 1024;

// A large answer passes through several buffers of its size, on two threads. Mapped each on its
// own, they go back to the system as soon as they are freed. By default glibc raises its mapping
// threshold after the first such buffer is freed and serves later ones from per-thread heaps,
// which keep their pages: resident memory then grew with every large answer.
void mapLargeBuffersApart() {
    static const bool set = mallopt(M_MMAP_THRESHOLD, 256 * 1024) == 1;
    Q_UNUSED(set);
}

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

    DaemonHttpResult answer =
        co_await postToDaemon(*url, QByteArray::fromStdString(body), settings);
    if (answer.transportFailure) {
        ExchangeOutcome failed =
            failedWith(QStringLiteral("request failed: ") + *answer.transportFailure);
        failed.connectionRefused = answer.connectionRefused;
        co_return failed;
    }
    // A typical answer is judged at once: handing it to another thread would cost more than
    // decoding and verifying it.
    if (answer.body.size() <= largeAnswerBytes)
        co_return judgeAnswer(answer.status, std::move(answer.body), snapshot.bPubKey);
    // Decoding and verifying a large answer takes long enough to freeze the window, so the
    // judgement, which touches nothing shared, runs on a worker thread. The body moves there,
    // so that it is freed as soon as it is decoded, and the outcome moves back: awaiting the
    // future's value would copy the answer. The answer is turned into text there too.
    QFuture<ExchangeOutcome> judgement =
        QtConcurrent::run([status = answer.status, body = std::move(answer.body),
                           bPubKey = snapshot.bPubKey]() mutable {
            ExchangeOutcome outcome = judgeAnswer(status, std::move(body), bPubKey);
            if (outcome.shown)
                outcome.shownResponse =
                    QString::fromStdString(std::exchange(outcome.shown->response, {}));
            return outcome;
        });
    co_await QFuture<void>(judgement);
    co_return judgement.takeResult();
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
    mapLargeBuffersApart();
    try {
        co_return co_await runExchange(std::move(snapshot), settings);
    } catch (const std::exception& error) {
        co_return failure("request failed: ", error);
    } catch (...) {
        co_return failedWith(QStringLiteral("request failed: unknown error"));
    }
}

} // namespace vorlund

#include "daemon_post.h"

#include "bounded_body_reader.h"

#include <QCoroNetwork>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace vorlund {

namespace {

QString sizeText(qint64 bytes) {
    constexpr qint64 mebibyte = 1024 * 1024;
    if (bytes > 0 && bytes % mebibyte == 0)
        return QStringLiteral("%1 MiB").arg(bytes / mebibyte);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString durationText(std::chrono::milliseconds duration) {
    if (duration.count() % 1000 == 0)
        return QStringLiteral("%1 s").arg(duration.count() / 1000);
    return QStringLiteral("%1 ms").arg(duration.count());
}

// Why the answer did not arrive whole, or nothing. QNetworkReply reports 4xx and 5xx answers as
// errors too; those are answers, unless the connection itself failed on the way.
std::optional<QString> transportFailure(const QNetworkReply& reply, const BoundedBodyReader& reader,
                                        const ExchangeSettings& settings) {
    if (reader.tooLarge())
        return QStringLiteral("the answer is larger than ") + sizeText(settings.maxBodyBytes);
    const QNetworkReply::NetworkError error = reply.error();
    if (error == QNetworkReply::NoError)
        return std::nullopt;
    // Nothing but the transfer timeout cancels a reply the reader left alone, and Qt words
    // that only as "Operation canceled".
    if (error == QNetworkReply::OperationCanceledError)
        return QStringLiteral("timed out (no data for %1)").arg(durationText(settings.timeout));
    const bool hasStatus = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const bool connectionFailed = error <= QNetworkReply::UnknownNetworkError;
    if (hasStatus && !connectionFailed)
        return std::nullopt;
    return reply.errorString();
}

// Deleted from the event loop, since a reply may still be inside one of its own signals.
struct DeleteLater {
    void operator()(QNetworkReply* reply) const { reply->deleteLater(); }
};

} // namespace

QCoro::Task<DaemonHttpResult> postToDaemon(QUrl url, QByteArray body, ExchangeSettings settings) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    // An uncompressed answer keeps the body bound exact and leaves no room for a
    // decompression bomb.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    request.setTransferTimeout(static_cast<int>(settings.timeout.count()));

    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        sharedNetworkManager().post(request, body));
    BoundedBodyReader reader(*reply, settings.maxBodyBytes);
    co_await reply.get();
    reader.drain();

    DaemonHttpResult result;
    result.transportFailure = transportFailure(*reply, reader, settings);
    if (!result.transportFailure) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reader.body();
    }
    co_return result;
}

} // namespace vorlund

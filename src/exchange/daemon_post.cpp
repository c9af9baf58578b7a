#include "daemon_post.h"

#include "bounded_body_reader.h"

#include <QCoroNetwork>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <cstring>
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

int portOf(const QUrl& url) {
    return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
}

QString hostAndPort(const QUrl& url) {
    const QString host = url.host().contains(u':') ? u'[' + url.host() + u']' : url.host();
    return host + u':' + QString::number(portOf(url));
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
    // Nothing but the deadline or the transfer timeout cancels a reply the reader left alone,
    // and Qt words that only as "Operation canceled". Whichever fired first, the text says what
    // the daemon did: nothing at all, or too little in the time.
    if (error == QNetworkReply::OperationCanceledError)
        return (reader.answerBegun() ? QStringLiteral("timed out after %1")
                                     : QStringLiteral("timed out (no data for %1)"))
            .arg(durationText(settings.timeout));
    // An answer cut short may reach here with any error, or Qt may report it by its status alone
    // as if it had arrived whole.
    const qint64 received = reader.body().size();
    if (reader.announcedLength() && received < *reader.announcedLength())
        return QStringLiteral("the connection ended before the whole answer arrived (%1 of %2 "
                              "bytes)")
            .arg(received)
            .arg(*reader.announcedLength());
    const QVariant status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // Qt rewinds the body for a 307 or 308 even when it will not follow the redirect; that
    // answer itself arrived whole.
    const bool redirectAnswer = status.toInt() == 307 || status.toInt() == 308;
    if (error == QNetworkReply::ContentReSendError && !redirectAnswer)
        return QStringLiteral("the connection ended without a valid answer (a pinch is never "
                              "sent twice)");
    // Most users first meet a daemon that is not running: say which address refused.
    if (error == QNetworkReply::ConnectionRefusedError)
        return QStringLiteral("%1 (%2)").arg(reply.errorString(), hostAndPort(reply.url()));
    const bool connectionFailed = error <= QNetworkReply::UnknownNetworkError;
    if (status.isValid() && !connectionFailed)
        return std::nullopt;
    return reply.errorString();
}

// The request body as a device that cannot be rewound. Qt sends a request again by itself when
// a connection ends before the answer; a pinch must reach the daemon at most once, and with a
// body it cannot read twice Qt reports ContentReSendError instead.
class OneShotBody : public QIODevice {
public:
    explicit OneShotBody(QByteArray bytes) : bytes_(std::move(bytes)) { open(ReadOnly); }

    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override {
        return bytes_.size() - offset_ + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 n = std::min(maxSize, bytes_.size() - offset_);
        std::memcpy(data, bytes_.constData() + offset_, size_t(n));
        offset_ += n;
        return n;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    const QByteArray bytes_;
    qint64 offset_ = 0;
};

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
    // The signed pinch carries the user's cost cap: it goes to the URL the user gave and
    // nowhere else, so a redirect is shown as the daemon's answer rather than followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(static_cast<int>(settings.timeout.count()));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);

    auto* upload = new OneShotBody(std::move(body));
    const std::unique_ptr<QNetworkReply, DeleteLater> reply(
        sharedNetworkManager().post(request, upload));
    upload->setParent(reply.get());
    BoundedBodyReader reader(*reply, settings.maxBodyBytes);
    // The transfer timeout restarts with every byte, so a daemon that trickles its answer
    // would hold the exchange open for ever; the deadline bounds the exchange as a whole.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
    deadline.start(settings.timeout);
    co_await reply.get();
    reader.drain();

    DaemonHttpResult result;
    result.transportFailure = transportFailure(*reply, reader, settings);
    result.connectionRefused = reply->error() == QNetworkReply::ConnectionRefusedError;
    if (!result.transportFailure) {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reader.body();
    }
    co_return result;
}

} // namespace vorlund

#pragma once

#include <QByteArray>
#include <QNetworkReply>

#include <optional>

namespace vorlund {

// Collects a reply's body as it arrives and aborts the reply as soon as the body is known to
// exceed maxBytes, by its announced Content-Length or by the bytes received. Reading each chunk
// when it arrives keeps the reply's own buffer small, so memory stays near the bound.
class BoundedBodyReader {
public:
    BoundedBodyReader(QNetworkReply& reply, qint64 maxBytes);
    ~BoundedBodyReader();

    BoundedBodyReader(const BoundedBodyReader&) = delete;
    BoundedBodyReader& operator=(const BoundedBodyReader&) = delete;

    // Takes whatever the reply still holds; call once it has finished.
    void drain();

    // The answer's head has arrived.
    bool answerBegun() const { return answerBegun_; }
    bool tooLarge() const { return tooLarge_; }
    // The length the answer announced, once its head has arrived with one.
    std::optional<qint64> announcedLength() const { return announcedLength_; }
    const QByteArray& body() const { return body_; }

private:
    void headArrived();
    void readAvailable();
    void refuse();

    QNetworkReply& reply_;
    const qint64 maxBytes_;
    QByteArray body_;
    std::optional<qint64> announcedLength_;
    bool answerBegun_ = false;
    bool tooLarge_ = false;
    QMetaObject::Connection metaDataConnection_;
    QMetaObject::Connection readyReadConnection_;
};

} // namespace vorlund

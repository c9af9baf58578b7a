#include "bounded_body_reader.h"

#include <algorithm>

namespace vorlund {

namespace {

// Qt stops reading from the socket while this much is waiting unread, which throttles a
// daemon that sends faster than the GUI thread collects.
constexpr qint64 replyBufferBytes = 1024 * 1024;

} // namespace

BoundedBodyReader::BoundedBodyReader(QNetworkReply& reply, qint64 maxBytes)
    : reply_(reply), maxBytes_(maxBytes) {
    reply_.setReadBufferSize(std::min(replyBufferBytes, maxBytes_ + 1));
    metaDataConnection_ =
        QObject::connect(&reply_, &QNetworkReply::metaDataChanged, [this] { headArrived(); });
    readyReadConnection_ =
        QObject::connect(&reply_, &QNetworkReply::readyRead, [this] { readAvailable(); });
}

BoundedBodyReader::~BoundedBodyReader() {
    QObject::disconnect(metaDataConnection_);
    QObject::disconnect(readyReadConnection_);
}

void BoundedBodyReader::drain() {
    readAvailable();
}

void BoundedBodyReader::headArrived() {
    answerBegun_ = true;
    const QVariant length = reply_.header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid())
        return;
    announcedLength_ = length.toLongLong();
    if (*announcedLength_ > maxBytes_)
        refuse();
    else // one allocation, where growing step by step would copy and overshoot
        body_.reserve(*announcedLength_);
}

void BoundedBodyReader::readAvailable() {
    if (tooLarge_ || !reply_.isOpen())
        return;
    const qint64 room = maxBytes_ - body_.size();
    if (reply_.bytesAvailable() > room) {
        refuse();
        return;
    }
    body_.append(reply_.readAll());
}

void BoundedBodyReader::refuse() {
    if (tooLarge_)
        return;
    tooLarge_ = true;
    body_.clear();
    // Queued: aborting from inside the reply's own signal makes Qt report a second error.
    QMetaObject::invokeMethod(&reply_, &QNetworkReply::abort, Qt::QueuedConnection);
}

} // namespace vorlund

#include "answer_judgement.h"

#include "protocol/json_codec.h"
#include "protocol/verify.h"

#include <QStringDecoder>

namespace vorlund {

namespace {

// "daemon <status>: " and the body as text, or "(no body)" in its place when the body is not
// valid UTF-8. A leading BOM is kept, so the text is the whole body. Stateless, so that a
// sequence cut off at the end counts as invalid rather than waiting for bytes that never come.
// Decoded straight into the message, as an error page may be as large as the body bound.
QString statusMessage(int status, const QByteArray& body) {
    QString message = QStringLiteral("daemon %1: ").arg(status);
    const qsizetype prefix = message.size();
    // UTF-16 never needs more code units than UTF-8 has bytes.
    message.resize(prefix + body.size());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                     QStringDecoder::Flag::Stateless);
    const QChar* end = decoder.appendToBuffer(message.data() + prefix, body);
    if (decoder.hasError())
        return QStringLiteral("daemon %1: (no body)").arg(status);
    message.truncate(end - message.constData());
    return message;
}

QString requestFailed(const std::exception& error) {
    return QStringLiteral("request failed: ") + QString::fromUtf8(error.what());
}

} // namespace

ExchangeOutcome failedWith(QString errorText) {
    ExchangeOutcome outcome;
    outcome.errorText = std::move(errorText);
    return outcome;
}

ExchangeOutcome judgeAnswer(int status, QByteArray body, std::string_view expectedBPubKey) {
    if (status != 200)
        return failedWith(statusMessage(status, body));

    ExchangeOutcome outcome;
    try {
        DaemonResponse answer =
            decodeDaemonResponse(std::string_view(body.constData(), body.size()));
        body = QByteArray();
        outcome.sigValid = verifyDaemonResponse(answer, expectedBPubKey);
        outcome.shown = std::move(answer);
    } catch (const VerifyError& error) {
        if (error.kind() != VerifyError::Case::wrongRecipient)
            return failedWith(requestFailed(error));
        outcome = failedWith(QStringLiteral("Response was for a different recipient — refusing."));
        outcome.sigValid = false;
        return outcome;
    } catch (const std::exception& error) {
        return failedWith(requestFailed(error));
    }
    if (!*outcome.sigValid)
        outcome.errorText =
            QStringLiteral("Daemon signature did not verify against its claimed public key.");
    return outcome;
}

} // namespace vorlund

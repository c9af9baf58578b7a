#include "answer_judgement.h"

#include "protocol/json_codec.h"
#include "protocol/verify.h"

#include <QStringDecoder>

namespace vorlund {

namespace {

// The body as text, or "(no body)" when it is not valid UTF-8. A leading BOM is kept, so the
// text is the whole body.
QString bodyText(const QByteArray& body) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(body);
    if (decoder.hasError())
        return QStringLiteral("(no body)");
    return text;
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

ExchangeOutcome judgeAnswer(int status, const QByteArray& body, std::string_view expectedBPubKey) {
    if (status != 200)
        return failedWith(
            QStringLiteral("daemon %1: %2").arg(QString::number(status), bodyText(body)));

    ExchangeOutcome outcome;
    try {
        DaemonResponse answer =
            decodeDaemonResponse(std::string_view(body.constData(), body.size()));
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

#include "content_view.h"

#include "daemon_hint.h"

#include <QLocale>
#include <QPointer>
#include <QTextDocument>

#include <exception>

namespace vorlund {

ContentView::ContentView(QObject* parent) : QObject(parent), state_(new ClientState(this)) {
    connect(state_, &ClientState::bPubKeyHexChanged, this, &ContentView::canSendChanged);
}

template <typename T> void ContentView::assign(T& field, T value, void (ContentView::*changed)()) {
    if (field == value)
        return;
    field = std::move(value);
    emit(this->*changed)();
}

void ContentView::setPrompt(const QString& prompt) {
    if (prompt_ == prompt)
        return;
    storePrompt(prompt);
    emit promptSetElsewhere();
}

void ContentView::storePrompt(const QString& prompt) {
    prompt_ = prompt;
    emit promptChanged();
    emit canSendChanged();
}

void ContentView::setDaemonURL(const QString& url) {
    assign(daemonURL_, url, &ContentView::daemonURLChanged);
}

void ContentView::setResponse(QString response) {
    if (response_ == response)
        return;
    response_ = std::move(response);
    shownResponse_ =
        response_.isEmpty()
            ? QStringLiteral("—")
            : DisplayText::fewerParagraphs(DisplayText::head(response_, DisplayText::answerLimit));
    shownParts_ = DisplayText::parts(shownResponse_);
    emit responseChanged();
}

void ContentView::setIsLoading(bool loading) {
    if (isLoading_ == loading)
        return;
    isLoading_ = loading;
    emit isLoadingChanged();
    emit canSendChanged();
}

QVariant ContentView::sigValid() const {
    return sigValid_ ? QVariant(*sigValid_) : QVariant();
}

QVariant ContentView::errorText() const {
    return errorText_ ? QVariant(*errorText_) : QVariant();
}

QString ContentView::cutNotice() const {
    if (response_.size() <= DisplayText::answerLimit)
        return {};
    return tr("Showing the first %1 characters; Copy copies all of the answer.")
        .arg(QLocale(QLocale::English).toString(DisplayText::answerLimit));
}

bool ContentView::replayed() const {
    // Pinch ids are case-blind; ours are sent in lower case.
    return pinchId_.compare(sentPinchId_, Qt::CaseInsensitive) != 0;
}

void ContentView::takePrompt(QQuickTextDocument* editor) {
    QString typed = editor->textDocument()->toRawText();
    typed.replace(QChar::ParagraphSeparator, u'\n');
    // A prompt set from elsewhere may hold line breaks that the document cannot tell apart;
    // while the editor shows it as it is, it stays as it is.
    QString shown = prompt_;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(u'\r', u'\n')
        .replace(QChar::ParagraphSeparator, u'\n');
    if (typed != shown)
        storePrompt(typed);
}

bool ContentView::canSend() const {
    return !prompt_.trimmed().isEmpty() && !isLoading_ && !state_->bPubKeyHex().isEmpty();
}

void ContentView::send() {
    PinchSnapshot snapshot =
        takeSnapshot(prompt_, daemonURL_, *state_, std::chrono::system_clock::now());
    const QString pinchId = QString::fromStdString(snapshot.pinchId);
    // Started before the reset, so the identity's executor signs while this thread updates the
    // window. Its outcome is only taken up below, after the reset, even when it ends at once.
    QCoro::Task<ExchangeOutcome> exchange = exchangePinch(std::move(snapshot), settings_);
    // The reset happens here rather than in the coroutine, so that the button is disabled
    // before a second click or an auto-repeated shortcut can reach send() again.
    setIsLoading(true);
    assign(errorText_, std::optional<QString>(), &ContentView::errorTextChanged);
    setResponse(QString());
    assign(sigValid_, std::optional<bool>(), &ContentView::sigValidChanged);
    assign(unverified_, false, &ContentView::unverifiedChanged);
    assign(hint_, QString(), &ContentView::hintChanged);
    sentPinchId_ = pinchId;
    sentDaemonURL_ = daemonURL_;
    assign(pinchId_, pinchId, &ContentView::pinchIdChanged);
    finishExchange(std::move(exchange));
}

QCoro::Task<> ContentView::finishExchange(QCoro::Task<ExchangeOutcome> exchange) {
    QPointer<ContentView> self(this);
    ExchangeOutcome outcome;
    try {
        outcome = co_await std::move(exchange);
    } catch (const std::exception& e) {
        // exchangePinch promises not to throw; should it anyway, the window must not stay
        // busy forever with the exception dropped by the fire-and-forget task.
        outcome.errorText = QStringLiteral("request failed: ") + QString::fromUtf8(e.what());
    }
    if (!self)
        co_return;
    apply(outcome);
    setIsLoading(false);
    emit exchangeFinished();
}

void ContentView::apply(const ExchangeOutcome& outcome) {
    if (outcome.shown) {
        const DaemonResponse& answer = *outcome.shown;
        setResponse(outcome.shownResponse ? *outcome.shownResponse
                                          : QString::fromStdString(answer.response));
        assign(aPubKey_, QString::fromStdString(answer.aPubKey), &ContentView::aPubKeyChanged);
        assign(latencyMs_, qint64(answer.latencyMs), &ContentView::latencyMsChanged);
        assign(modelVersion_, QString::fromStdString(answer.modelVersion),
               &ContentView::modelVersionChanged);
        assign(pinchId_, QString::fromStdString(answer.pinchId), &ContentView::pinchIdChanged);
    }
    assign(sigValid_, outcome.sigValid, &ContentView::sigValidChanged);
    assign(errorText_, outcome.errorText, &ContentView::errorTextChanged);
    assign(unverified_, outcome.shown && outcome.sigValid == false,
           &ContentView::unverifiedChanged);
    const bool failed = outcome.errorText && !outcome.shown;
    assign(hint_, failed ? daemonHint(sentDaemonURL_, outcome.connectionRefused) : QString(),
           &ContentView::hintChanged);
}

} // namespace vorlund

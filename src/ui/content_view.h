#pragma once

#include "app/client_state.h"
#include "display_text.h"
#include "exchange/pinch_exchange.h"

#include <QObject>
#include <QQuickTextDocument>
#include <QString>
#include <QVariant>
#include <QtQml/qqml.h>

#include <optional>

namespace vorlund {

// The state of one window: its ClientState and the eleven fields the window shows.
// Every read and write happens on the GUI thread.
class ContentView : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(vorlund::ClientState* state READ state CONSTANT)
    Q_PROPERTY(QString prompt READ prompt WRITE setPrompt NOTIFY promptChanged)
    // The prompt for the editor to show. It changes only when the prompt is set from elsewhere
    // than the editor, so that showing it never moves the cursor of someone typing.
    Q_PROPERTY(QString promptToShow READ prompt NOTIFY promptSetElsewhere)
    Q_PROPERTY(QString daemonURL READ daemonURL WRITE setDaemonURL NOTIFY daemonURLChanged)
    Q_PROPERTY(QString response READ response NOTIFY responseChanged)
    Q_PROPERTY(QString aPubKey READ aPubKey NOTIFY aPubKeyChanged)
    Q_PROPERTY(QString pinchId READ pinchId NOTIFY pinchIdChanged)
    Q_PROPERTY(qint64 latencyMs READ latencyMs NOTIFY latencyMsChanged)
    // latencyMs in plain decimal, exact for every 64-bit value (a JS number is not).
    Q_PROPERTY(QString latencyText READ latencyText NOTIFY latencyMsChanged)
    Q_PROPERTY(QString modelVersion READ modelVersion NOTIFY modelVersionChanged)
    // undefined while no answer has been judged, else true or false.
    Q_PROPERTY(QVariant sigValid READ sigValid NOTIFY sigValidChanged)
    Q_PROPERTY(bool isLoading READ isLoading NOTIFY isLoadingChanged)
    // undefined when there is no error; a string (possibly empty) otherwise.
    Q_PROPERTY(QVariant errorText READ errorText NOTIFY errorTextChanged)
    // response and errorText as the window lays them out; see DisplayText.
    Q_PROPERTY(QString shownResponse READ shownResponse NOTIFY responseChanged)
    // shownResponse in the parts the window lays out one by one; one part for most answers.
    Q_PROPERTY(QStringList shownParts READ shownParts NOTIFY responseChanged)
    Q_PROPERTY(QString shownErrorText READ shownErrorText NOTIFY errorTextChanged)
    // What to say under a response that the window shows only the start of; empty otherwise.
    Q_PROPERTY(QString cutNotice READ cutNotice NOTIFY responseChanged)
    // pinchId as the window shows it: a daemon may send megabytes, which the window never reads.
    Q_PROPERTY(QString shownPinchId READ shownPinchId NOTIFY pinchIdChanged)
    // The pinch id of the last send; an answer may name another.
    Q_PROPERTY(QString sentPinchId READ sentPinchId NOTIFY pinchIdChanged)
    // The answer names another pinch than the one sent: it may be a recorded one, replayed.
    Q_PROPERTY(bool replayed READ replayed NOTIFY pinchIdChanged)
    // An answer is shown whose signature did not verify.
    Q_PROPERTY(bool unverified READ unverified NOTIFY unverifiedChanged)
    // What to do after the last exchange failed, or empty; see daemonHint().
    Q_PROPERTY(QString hint READ hint NOTIFY hintChanged)
    // The send button's rule: a prompt that is not only white space, no exchange running,
    // and the client's key published.
    Q_PROPERTY(bool canSend READ canSend NOTIFY canSendChanged)

public:
    static inline const QString defaultPrompt =
        QStringLiteral("Say hello to a new lobster joining the Tollmere. One sentence.");
    static inline const QString defaultDaemonURL = QStringLiteral("http://127.0.0.1:7575/pinch");

    // Creates the window's own ClientState, which may end the process if the identity
    // cannot be created.
    explicit ContentView(QObject* parent = nullptr);

    ClientState* state() const { return state_; }
    QString prompt() const { return prompt_; }
    void setPrompt(const QString& prompt);
    QString daemonURL() const { return daemonURL_; }
    void setDaemonURL(const QString& url);
    QString response() const { return response_; }
    QString aPubKey() const { return aPubKey_; }
    QString pinchId() const { return pinchId_; }
    qint64 latencyMs() const { return latencyMs_; }
    QString latencyText() const { return QString::number(latencyMs_); }
    QString modelVersion() const { return modelVersion_; }
    QVariant sigValid() const;
    bool isLoading() const { return isLoading_; }
    QVariant errorText() const;
    bool canSend() const;
    QString shownResponse() const { return shownResponse_; }
    QStringList shownParts() const { return shownParts_; }
    QString shownErrorText() const { return DisplayText::bounded(errorText_.value_or(QString())); }
    QString cutNotice() const;
    QString shownPinchId() const { return DisplayText::bounded(pinchId_); }
    QString sentPinchId() const { return sentPinchId_; }
    bool replayed() const;
    bool unverified() const { return unverified_; }
    QString hint() const { return hint_; }

    // Takes the prompt from the editor's document, as typed. The editor's text property turns
    // U+00A0 into a space and U+2028 into a line feed; the document keeps both, and holds
    // every line break (LF, CR, CR LF, U+2029) as the end of a paragraph, written here as LF.
    Q_INVOKABLE void takePrompt(QQuickTextDocument* editor);

    // The limits of later exchanges; the program keeps the defaults, tests shorten the wait.
    void setExchangeSettings(const ExchangeSettings& settings) { settings_ = settings; }

    // Takes the snapshot, marks the window busy at once (so a second press finds the button
    // disabled), and starts the exchange. Returns before the exchange ends.
    Q_INVOKABLE void send();

signals:
    void promptChanged();
    void promptSetElsewhere();
    void daemonURLChanged();
    void responseChanged();
    void aPubKeyChanged();
    void pinchIdChanged();
    void latencyMsChanged();
    void modelVersionChanged();
    void sigValidChanged();
    void isLoadingChanged();
    void errorTextChanged();
    void canSendChanged();
    void unverifiedChanged();
    void hintChanged();
    // Emitted when an exchange has written its outcome and cleared isLoading.
    void exchangeFinished();

private:
    // The window tests show chosen outcomes through apply().
    friend class WindowTest;

    QCoro::Task<> finishExchange(QCoro::Task<ExchangeOutcome> exchange);
    void apply(const ExchangeOutcome& outcome);
    void setIsLoading(bool loading);
    void setResponse(QString response);
    void storePrompt(const QString& prompt);
    // Stores value and emits changed() only when the value differs.
    template <typename T> void assign(T& field, T value, void (ContentView::*changed)());

    ClientState* state_;
    ExchangeSettings settings_;
    QString prompt_ = defaultPrompt;
    QString daemonURL_ = defaultDaemonURL;
    QString response_;
    QString shownResponse_ = QStringLiteral("—");
    QStringList shownParts_{shownResponse_};
    QString aPubKey_;
    QString pinchId_;
    QString sentPinchId_;
    QString sentDaemonURL_;
    qint64 latencyMs_ = 0;
    QString modelVersion_;
    std::optional<bool> sigValid_;
    bool isLoading_ = false;
    std::optional<QString> errorText_;
    bool unverified_ = false;
    QString hint_;
};

// Lets QML read view.state.bPubKeyHex; ClientState itself knows nothing of QML.
struct ClientStateForeign {
    Q_GADGET
    QML_FOREIGN(vorlund::ClientState)
    QML_ANONYMOUS
};

} // namespace vorlund

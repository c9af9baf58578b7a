#include "demo_daemon.h"
#include "ui/content_view.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

#include <limits>
#include <memory>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

namespace vorlund {

namespace {

const QString ellipsis = QStringLiteral("…");
const QString aKey =
    QStringLiteral("9b2e47c1d05a6f3e8b7c2d1e0f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c4d3e2f1a");

// The key directory of every window in these tests: a temporary one, never the real home.
QTemporaryDir& dataHome() {
    static QTemporaryDir dir;
    return dir;
}

// A loopback daemon that takes the connection and says nothing until it hangs up, so a send
// stays busy for as long as a test looks at it, however fast or slow the machine is.
class SilentDaemon {
public:
    SilentDaemon() { server_.listen(QHostAddress::LocalHost); }

    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/pinch").arg(server_.serverPort());
    }

    void hangUp() {
        server_.close();
        for (QTcpSocket* connection : server_.findChildren<QTcpSocket*>())
            connection->abort();
    }

private:
    QTcpServer server_;
};

// One window loaded from the real QML module.
struct Window {
    std::unique_ptr<QQmlApplicationEngine> engine = std::make_unique<QQmlApplicationEngine>();
    QQuickWindow* window = nullptr;
    ContentView* view = nullptr;

    Window() {
        engine->load(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
        if (engine->rootObjects().isEmpty())
            return;
        window = qobject_cast<QQuickWindow*>(engine->rootObjects().first());
        view = window->findChild<ContentView*>(QStringLiteral("contentView"));
    }

    QQuickItem* item(const char* name) const {
        return window->findChild<QQuickItem*>(QString::fromLatin1(name));
    }
    QString text(const char* name) const { return item(name)->property("text").toString(); }
    bool visible(const char* name) const { return item(name)->isVisible(); }
    bool keyPublished() const { return !view->state()->bPubKeyHex().isEmpty(); }
};

QString accessibleName(QQuickItem* item) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(item);
    return iface ? iface->text(QAccessible::Name) : QString();
}

void collectAccessible(QAccessibleInterface* iface, QList<QPair<QAccessible::Role, QString>>& out) {
    if (!iface)
        return;
    out.append({iface->role(), iface->text(QAccessible::Name)});
    for (int i = 0; i < iface->childCount(); ++i)
        collectAccessible(iface->child(i), out);
}

// Presses Ctrl+N (or the platform's New) in window and returns the window it opened.
QQuickWindow* pressNew(QQuickWindow* window) {
    window->requestActivate();
    if (!QTest::qWaitForWindowActive(window))
        return nullptr;
    const QWindowList windows = QGuiApplication::topLevelWindows();
    const QSet<QWindow*> before(windows.cbegin(), windows.cend());
    QTest::keySequence(window, QKeySequence::New);
    for (QWindow* w : QGuiApplication::topLevelWindows())
        if (!before.contains(w))
            return qobject_cast<QQuickWindow*>(w);
    return nullptr;
}

DaemonResponse answer(const QString& aPubKey, const QString& modelVersion, qint64 latencyMs,
                      const QString& response = QStringLiteral("Hello")) {
    DaemonResponse r;
    r.response = response.toStdString();
    r.aPubKey = aPubKey.toStdString();
    r.modelVersion = modelVersion.toStdString();
    r.latencyMs = latencyMs;
    r.pinchId = "0190f3a2-7c1e-7b3d-9a41-000000000001";
    return r;
}

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

public:
    static void initMain() {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_DATA_HOME", dataHome().path().toUtf8());
    }

private:
    static void show(ContentView* view, const ExchangeOutcome& outcome) { view->apply(outcome); }

private slots:
    void initTestCase() {
        QVERIFY(dataHome().isValid());
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
    }

    void opensWithInitialValues() {
        Window w;
        QVERIFY(w.view);
        ContentView& v = *w.view;
        QCOMPARE(w.window->title(), QStringLiteral("Merrowin — M0"));
        QCOMPARE(w.window->size(), QSize(680, 600));
        QCOMPARE(w.window->minimumSize(), QSize(580, 520));

        QCOMPARE(v.prompt(),
                 QStringLiteral("Say hello to a new lobster joining the Tollmere. One sentence."));
        QCOMPARE(v.daemonURL(), QStringLiteral("http://127.0.0.1:7575/pinch"));
        QCOMPARE(v.response(), QString());
        QCOMPARE(v.aPubKey(), QString());
        QCOMPARE(v.pinchId(), QString());
        QCOMPARE(v.latencyMs(), 0);
        QCOMPARE(v.modelVersion(), QString());
        QVERIFY(!v.sigValid().isValid());
        QVERIFY(!v.isLoading());
        QVERIFY(!v.errorText().isValid());

        // The key is read on the identity's executor, so it cannot be there yet.
        QVERIFY(!w.keyPublished());
        QCOMPARE(w.text("identityLabel"), QStringLiteral("you signed as: "));
        QCOMPARE(w.text("identityKey"), ellipsis);
        QCOMPARE(w.text("sendButton"), QStringLiteral("Send"));
        QVERIFY(!w.item("sendButton")->isEnabled());
        QCOMPARE(w.text("promptEditor"), v.prompt());
        QCOMPARE(w.text("daemonUrlField"), v.daemonURL());
        QCOMPARE(w.text("responseText"), QStringLiteral("—"));
        for (const char* hidden :
             {"signatureBadge", "pinchIdText", "busyIndicator", "resultRow", "errorText"})
            QVERIFY2(!w.visible(hidden), hidden);

        QTRY_VERIFY(w.keyPublished());
        const QString key = v.state()->bPubKeyHex();
        QCOMPARE(key.size(), 64);
        QCOMPARE(w.text("identityKey"), key.left(16) + ellipsis);
        QCOMPARE(w.item("identityKey")->property("fullText").toString(), key);
        QVERIFY(w.item("sendButton")->isEnabled());
    }

    void editsReachTheViewAndBack_data() {
        QTest::addColumn<QString>("field");
        QTest::newRow("prompt") << QStringLiteral("promptEditor");
        QTest::newRow("daemon URL") << QStringLiteral("daemonUrlField");
    }

    void editsReachTheViewAndBack() {
        QFETCH(QString, field);
        Window w;
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        QQuickItem* editor = w.item(field.toLatin1().constData());
        const auto current = [&] {
            return field == "promptEditor" ? w.view->prompt() : w.view->daemonURL();
        };
        editor->forceActiveFocus();
        QTest::keySequence(w.window, QKeySequence::SelectAll);
        for (char c : {'x', ' ', 'y'})
            QTest::keyClick(w.window, c);
        QCOMPARE(current(), QStringLiteral("x y"));

        if (field == "promptEditor")
            w.view->setPrompt(QStringLiteral("from the view"));
        else
            w.view->setDaemonURL(QStringLiteral("from the view"));
        QCOMPARE(editor->property("text").toString(), QStringLiteral("from the view"));
    }

    void sendRule_data() {
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("spaces") << QStringLiteral("   ") << false;
        QTest::newRow("tabs and line breaks") << QStringLiteral("\t\n \r\n\t\v\f") << false;
        QTest::newRow("no-break and em spaces") << QStringLiteral("\u00a0\u2003\u3000") << false;
        QTest::newRow("line and paragraph separators") << QStringLiteral("\u2028\u2029") << false;
        QTest::newRow("next line") << QStringLiteral("\u0085") << false;
        QTest::newRow("one letter") << QStringLiteral("a") << true;
        QTest::newRow("one dot among blanks") << QStringLiteral(" \n\t.\t\n ") << true;
        QTest::newRow("one emoji") << QStringLiteral("\n🦞\n") << true;
        QTest::newRow("zero-width space is not white space") << QStringLiteral("\u200b") << true;
    }

    void sendRule() {
        QFETCH(QString, prompt);
        QFETCH(bool, enabled);
        ContentView view;
        view.setPrompt(prompt);
        QVERIFY(!view.canSend()); // whatever the prompt, not before the key is there
        QSignalSpy changes(&view, &ContentView::canSendChanged);
        QTRY_VERIFY(!view.state()->bPubKeyHex().isEmpty());
        QVERIFY(changes.count() >= 1);
        QCOMPARE(view.canSend(), enabled);
        QCOMPARE(view.prompt(), prompt); // kept untrimmed
    }

    void busyWhileExchangeRuns() {
        SilentDaemon daemon;
        Window w;
        QTRY_VERIFY(w.keyPublished());
        w.view->setDaemonURL(daemon.url());
        QSignalSpy finished(w.view, &ContentView::exchangeFinished);
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));

        // A blank prompt: Return goes to the editor, Ctrl+Return does nothing.
        w.view->setPrompt(QStringLiteral(" \t"));
        QVERIFY(!w.item("sendButton")->isEnabled());
        w.item("promptEditor")->forceActiveFocus();
        QTest::keyClick(w.window, Qt::Key_Return);
        QTest::keyClick(w.window, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(w.view->prompt().size(), 3);
        QVERIFY(!w.view->isLoading());
        QVERIFY(w.view->pinchId().isEmpty());

        show(w.view, {QStringLiteral("old error"), true, answer(aKey, "m0", 7)});
        w.view->setPrompt(QStringLiteral(" x "));
        QTest::keyClick(w.window, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(w.view->prompt(), QStringLiteral(" x ")); // the shortcut never reaches the editor
        QVERIFY(w.view->isLoading());
        QCOMPARE(w.text("sendButton"), QStringLiteral("Thinking…"));
        QCOMPARE(accessibleName(w.item("sendButton")), QStringLiteral("Thinking…"));
        QVERIFY(!w.item("sendButton")->isEnabled());
        QVERIFY(w.visible("busyIndicator"));
        // The previous answer's texts go at once; its key, model and latency stay.
        QVERIFY(!w.visible("errorText"));
        QVERIFY(!w.visible("signatureBadge"));
        QCOMPARE(w.text("responseText"), QStringLiteral("—"));
        QCOMPARE(w.text("modelText"), QStringLiteral("model: m0"));
        const QString pinchId = w.view->pinchId();
        QCOMPARE(pinchId.size(), 36);
        QCOMPARE(w.text("pinchIdText"), QStringLiteral("pinchId: ") + pinchId.left(8) + ellipsis);
        QVERIFY(w.item("promptEditor")->isEnabled());
        QVERIFY(w.item("daemonUrlField")->isEnabled());

        daemon.hangUp();
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(!w.view->isLoading());
        QCOMPARE(w.text("sendButton"), QStringLiteral("Send"));
        QVERIFY(w.visible("errorText"));
        QVERIFY(!w.visible("busyIndicator"));
    }

    // A double click, or a shortcut pressed twice before the first answer, sends one pinch.
    void onePressOnePinch_data() {
        QTest::addColumn<QString>("press");
        QTest::newRow("double click") << QStringLiteral("double click");
        QTest::newRow("two clicks") << QStringLiteral("two clicks");
        QTest::newRow("Ctrl+Return twice") << QStringLiteral("Ctrl+Return twice");
    }

    void onePressOnePinch() {
        QFETCH(QString, press);
        DemoDaemon daemon(SigningKey::generate());
        const int port = daemon.start(0);
        Window w;
        QTRY_VERIFY(w.keyPublished());
        w.view->setDaemonURL(QStringLiteral("http://127.0.0.1:%1/pinch").arg(port));
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        QSignalSpy finished(w.view, &ContentView::exchangeFinished);

        const QPoint button = w.item("sendButton")->mapToScene(QPointF(10, 10)).toPoint();
        if (press == "double click") {
            QTest::mouseDClick(w.window, Qt::LeftButton, {}, button);
        } else if (press == "two clicks") {
            QTest::mouseClick(w.window, Qt::LeftButton, {}, button);
            QTest::mouseClick(w.window, Qt::LeftButton, {}, button);
        } else {
            QTest::keyClick(w.window, Qt::Key_Return, Qt::ControlModifier);
            QTest::keyClick(w.window, Qt::Key_Return, Qt::ControlModifier);
        }
        QTRY_COMPARE(finished.count(), 1);
        QTest::qWait(300); // room for a second exchange, were one under way
        QCOMPARE(daemon.receivedCount(), 1);
        QCOMPARE(finished.count(), 1);

        // The one answer is shown as signed.
        const std::optional<ReceivedPinch> received = daemon.lastReceived();
        QVERIFY(received && received->request);
        QCOMPARE(received->request->prompt, ContentView::defaultPrompt.toStdString());
        QCOMPARE(w.view->sigValid(), QVariant(true));
        QCOMPARE(w.text("badgeText"),
                 "signed by " + QString::fromStdString(daemon.publicKeyHex()).left(8) + ellipsis);
        QCOMPARE(w.view->pinchId(), QString::fromStdString(received->request->pinchId));
        QVERIFY(!w.view->response().isEmpty());
        QCOMPARE(w.text("responseText"), w.view->response());
        QVERIFY(w.visible("resultRow"));
        QVERIFY(!w.visible("errorText"));
        daemon.stop();
    }

    void badge_data() {
        QTest::addColumn<QVariant>("sigValid");
        QTest::addColumn<QString>("aPubKey");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("icon");
        QTest::newRow("absent") << QVariant() << aKey << false << QString() << QString();
        QTest::newRow("valid") << QVariant(true) << aKey << true
                               << QStringLiteral("signed by 9b2e47c1…")
                               << QStringLiteral("sealed-check");
        QTest::newRow("valid, short key")
            << QVariant(true) << QStringLiteral("abc") << true << QStringLiteral("signed by abc…")
            << QStringLiteral("sealed-check");
        QTest::newRow("valid, empty key")
            << QVariant(true) << QString() << true << QStringLiteral("signed by …")
            << QStringLiteral("sealed-check");
        QTest::newRow("invalid") << QVariant(false) << aKey << true
                                 << QStringLiteral("signature invalid")
                                 << QStringLiteral("sealed-cross");
        QTest::newRow("invalid, empty key")
            << QVariant(false) << QString() << true << QStringLiteral("signature invalid")
            << QStringLiteral("sealed-cross");
    }

    void badge() {
        QFETCH(QVariant, sigValid);
        QFETCH(QString, aPubKey);
        QFETCH(bool, shown);
        QFETCH(QString, text);
        QFETCH(QString, icon);
        Window w;
        std::optional<bool> valid;
        if (sigValid.isValid())
            valid = sigValid.toBool();
        show(w.view, {std::nullopt, valid, answer(aPubKey, "m1", 1)});
        QCOMPARE(w.visible("signatureBadge"), shown);
        if (!shown)
            return;
        QCOMPARE(w.text("badgeText"), text);
        QCOMPARE(accessibleName(w.item("signatureBadge")), text);
        QCOMPARE(w.item("signatureBadge")->property("daemonKey").toString(), aPubKey);
        QQuickItem* image = w.item("badgeIcon");
        QVERIFY(image->property("source").toUrl().path().endsWith(icon + ".svg"));
        const char* colour = *valid ? "validColor" : "invalidColor";
        QCOMPARE(image->property("color"), w.window->property(colour));
    }

    void resultRow_data() {
        QTest::addColumn<QString>("modelVersion");
        QTest::addColumn<qint64>("latencyMs");
        QTest::addColumn<QString>("latencyText");
        QTest::newRow("four digits, no grouping") << "m1" << qint64(1234) << "1234 ms";
        QTest::newRow("zero") << "m1" << qint64(0) << "0 ms";
        QTest::newRow("negative") << "m1" << qint64(-5) << "-5 ms";
        QTest::newRow("beyond a double's integers")
            << "m1" << qint64(9007199254740993) << "9007199254740993 ms";
        QTest::newRow("smallest") << "m1" << std::numeric_limits<qint64>::min()
                                  << "-9223372036854775808 ms";
        QTest::newRow("no model hides the row") << "" << qint64(1234) << QString();
    }

    void resultRow() {
        QFETCH(QString, modelVersion);
        QFETCH(qint64, latencyMs);
        QFETCH(QString, latencyText);
        Window w;
        show(w.view, {std::nullopt, true, answer(aKey, modelVersion, latencyMs)});
        QCOMPARE(w.visible("resultRow"), !modelVersion.isEmpty());
        if (modelVersion.isEmpty())
            return;
        QCOMPARE(w.text("modelText"), QStringLiteral("model: ") + modelVersion);
        QCOMPARE(w.text("latencyText"), latencyText);
    }

    void errorLine_data() {
        QTest::addColumn<QVariant>("errorText");
        QTest::newRow("absent") << QVariant();
        QTest::newRow("present but empty") << QVariant(QString());
        QTest::newRow("message") << QVariant(QStringLiteral("Invalid URL"));
        QTest::newRow("markup stays text") << QVariant(QStringLiteral("<b></b><i></i>"));
    }

    void errorLine() {
        QFETCH(QVariant, errorText);
        Window w;
        std::optional<QString> error;
        if (errorText.isValid())
            error = errorText.toString();
        show(w.view, {error, std::nullopt, std::nullopt});
        QCOMPARE(w.visible("errorText"), error.has_value());
        if (!error || error->isEmpty())
            return;
        QCOMPARE(w.text("errorText"), *error);
        QCOMPARE(accessibleName(w.item("errorText")), *error);
        // Read as markup, a text of tags alone would show nothing at all.
        QVERIFY(w.item("errorText")->property("contentWidth").toReal() > 0);
    }

    void longErrorKeepsTheLayout() {
        Window w;
        QVERIFY(QTest::qWaitForWindowExposed(w.window));
        const QString page = QStringLiteral("daemon 500: ") +
                             QStringLiteral("<p>Internal Server Error</p>\n").repeated(200);
        show(w.view, {page, std::nullopt, std::nullopt});
        QCOMPARE(w.text("errorText"), page);
        QQuickItem* line = w.item("errorLine");
        // Waits for the layout to take in the new text.
        QTRY_VERIFY(line->isVisible() && line->height() < w.item("errorText")->height() / 10);
        QVERIFY(line->height() > 0);
        QVERIFY(w.item("responseBox")->height() >= 100);
        QVERIFY(w.item("promptBox")->height() >= 80);
        QVERIFY(line->mapToScene(QPointF(0, line->height())).y() <= w.window->height() - 20);
    }

    void responseBox_data() {
        QTest::addColumn<QString>("response");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << QString() << QStringLiteral("—");
        QTest::newRow("text") << QStringLiteral("Hi, lobster.") << QStringLiteral("Hi, lobster.");
        QTest::newRow("lines and markup")
            << QStringLiteral("a\nb <i>c</i> &amp;") << QStringLiteral("a\nb <i>c</i> &amp;");
    }

    void responseBox() {
        QFETCH(QString, response);
        QFETCH(QString, shown);
        Window w;
        show(w.view, {std::nullopt, true, answer(aKey, "m1", 1, response)});
        QQuickItem* box = w.item("responseText");
        QCOMPARE(box->property("text").toString(), shown);
        QCOMPARE(box->property("length").toInt(), shown.size()); // plain text, not a document
        QVERIFY(box->property("selectByMouse").toBool());
        QVERIFY(box->property("readOnly").toBool());
    }

    void shortening_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("n");
        QTest::addColumn<QString>("expected");
        QTest::newRow("empty") << QString() << 8 << ellipsis;
        QTest::newRow("shorter") << QStringLiteral("abc") << 8 << QStringLiteral("abc…");
        QTest::newRow("exactly n")
            << QStringLiteral("abcdefgh") << 8 << QStringLiteral("abcdefgh…");
        QTest::newRow("longer") << QStringLiteral("abcdefghi") << 8 << QStringLiteral("abcdefgh…");
        QTest::newRow("zero") << QStringLiteral("abc") << 0 << ellipsis;
        QTest::newRow("combining accents")
            << QStringLiteral("e\u0301e\u0301e\u0301") << 2 << QStringLiteral("e\u0301e\u0301…");
        QTest::newRow("surrogate pairs") << QStringLiteral("😀😀😀") << 2 << QStringLiteral("😀😀…");
        QTest::newRow("joined family") << QStringLiteral("👩‍👩‍👧x") << 1
                                       << QStringLiteral("👩‍👩‍👧…");
        QTest::newRow("flags") << QStringLiteral("🇩🇪🇫🇷") << 1 << QStringLiteral("🇩🇪…");
    }

    void shortening() {
        QFETCH(QString, text);
        QFETCH(int, n);
        QFETCH(QString, expected);
        QCOMPARE(ContentView::shortened(text, n), expected);
    }

    void accessibleNames_data() {
        QTest::addColumn<int>("role");
        QTest::addColumn<QString>("name");
        QTest::newRow("title") << int(QAccessible::StaticText) << QStringLiteral("Merrowin — M0");
        QTest::newRow("identity label")
            << int(QAccessible::StaticText) << QStringLiteral("you signed as: ");
        QTest::newRow("url label") << int(QAccessible::StaticText) << QStringLiteral("Daemon URL");
        QTest::newRow("url field")
            << int(QAccessible::EditableText) << QStringLiteral("Daemon URL");
        QTest::newRow("pinch label") << int(QAccessible::StaticText) << QStringLiteral("Pinch");
        QTest::newRow("prompt editor") << int(QAccessible::EditableText) << QStringLiteral("Pinch");
        QTest::newRow("send button") << int(QAccessible::Button) << QStringLiteral("Send");
        QTest::newRow("response label")
            << int(QAccessible::StaticText) << QStringLiteral("Response");
        QTest::newRow("response") << int(QAccessible::EditableText) << QStringLiteral("Hello");
        QTest::newRow("badge") << int(QAccessible::StaticText)
                               << QStringLiteral("signed by 9b2e47c1…");
        QTest::newRow("pinch id") << int(QAccessible::StaticText)
                                  << QStringLiteral("pinchId: 0190f3a2…");
        QTest::newRow("model") << int(QAccessible::StaticText) << QStringLiteral("model: m1");
        QTest::newRow("latency") << int(QAccessible::StaticText) << QStringLiteral("42 ms");
        QTest::newRow("error") << int(QAccessible::StaticText) << QStringLiteral("boom");
    }

    void accessibleNames() {
        QFETCH(int, role);
        QFETCH(QString, name);
        Window w;
        QTRY_VERIFY(w.keyPublished());
        show(w.view, {QStringLiteral("boom"), true, answer(aKey, "m1", 42)});
        QList<QPair<QAccessible::Role, QString>> seen;
        collectAccessible(QAccessible::queryAccessibleInterface(w.window), seen);
        QVERIFY2(seen.contains({QAccessible::Role(role), name}), qPrintable(name));
        for (const auto& [r, n] : seen)
            if (r == QAccessible::Button || r == QAccessible::EditableText)
                QVERIFY2(!n.isEmpty(), "a control without a name");
    }

    void newWindowHasItsOwnState() {
        Window w;
        QTRY_VERIFY(w.keyPublished());
        QPointer<QQuickWindow> second = pressNew(w.window);
        QVERIFY(second);
        QVERIFY(second->isVisible());
        QCOMPARE(second->title(), w.window->title());
        auto* other = second->findChild<ContentView*>(QStringLiteral("contentView"));
        QVERIFY(other && other != w.view);
        QVERIFY(other->state() != w.view->state());
        QVERIFY(other->state()->identity() != w.view->state()->identity());
        QTRY_COMPARE(other->state()->bPubKeyHex(), w.view->state()->bPubKeyHex());

        other->setPrompt(QStringLiteral("only here"));
        show(other, {QStringLiteral("only here"), false, answer(aKey, "m2", 3)});
        QCOMPARE(w.view->prompt(), ContentView::defaultPrompt);
        QVERIFY(!w.view->errorText().isValid());
        QVERIFY(!w.view->sigValid().isValid());

        // Closing the second window ends it; the first stays.
        second->close();
        QTRY_VERIFY(!second);
        QVERIFY(w.window->isVisible());

        // One left open when the program ends goes with the engine.
        QPointer<QQuickWindow> third = pressNew(w.window);
        QVERIFY(third);
        w.engine.reset();
        QVERIFY(!third);
    }
};

} // namespace vorlund

QTEST_MAIN(vorlund::WindowTest)
#include "tst_window.moc"

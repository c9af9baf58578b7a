#include "demo_daemon.h"
#include "ui/content_view.h"

#include <QAccessible>
#include <QGuiApplication>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>
#include <cmath>
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

// A loopback port on which nothing listens: connections are refused, but only after a trip
// through the event loop, so a send stays busy long enough to be looked at.
quint16 closedPort() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    return server.serverPort();
}

QString closedUrl() {
    return QStringLiteral("http://127.0.0.1:%1/pinch").arg(closedPort());
}

// The item that shows keyboard focus on each focusable control.
const QHash<QString, QString> focusCues = {{"daemonUrlField", "daemonUrlFrame"},
                                           {"promptEditor", "promptFrame"},
                                           {"sendButton", "sendFocusRing"},
                                           {"responseText", "responseFrame"}};

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

    QQuickItem* item(const QByteArray& name) const {
        return window->findChild<QQuickItem*>(QString::fromLatin1(name));
    }
    QString text(const QByteArray& name) const { return item(name)->property("text").toString(); }
    bool visible(const QByteArray& name) const { return item(name)->isVisible(); }
    bool keyPublished() const { return !view->state()->bPubKeyHex().isEmpty(); }
    QColor colour(const QByteArray& name, const char* property) const {
        return QQmlProperty::read(item(name), QString::fromLatin1(property)).value<QColor>();
    }
    // Drawn in the highlight colour: the frame of a focused input, the ring of a focused button.
    bool showsFocus(const QString& control) const {
        const QByteArray cue = focusCues.value(control).toLatin1();
        return item(cue)->isVisible() &&
               colour(cue, "border.color") ==
                   QQmlProperty::read(window, "palette.highlight").value<QColor>();
    }
    bool activate() const {
        window->requestActivate();
        return QTest::qWaitForWindowActive(window);
    }
};

// What a screen reader finds below iface, one line per item that is not hidden, in tree order:
// role, name, and for edits their text and whether it is read-only.
void describeAccessible(QAccessibleInterface* iface, QStringList& out) {
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        const QAccessible::State state = child->state();
        if (!state.invisible) {
            static const QHash<QAccessible::Role, QString> roles = {
                {QAccessible::Heading, "heading"},
                {QAccessible::StaticText, "text"},
                {QAccessible::EditableText, "edit"},
                {QAccessible::Button, "button"},
                {QAccessible::Indicator, "busy"}};
            QString line = roles.value(child->role(), QString::number(child->role())) + " \"" +
                           child->text(QAccessible::Name) + '"';
            if (child->role() == QAccessible::EditableText)
                line += " = \"" + child->text(QAccessible::Value) + '"' +
                        (state.readOnly ? " read-only" : "");
            out.append(line);
        }
        describeAccessible(child, out);
    }
}

double luminance(const QColor& c) {
    const auto linear = [](double v) {
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
}

// The contrast ratio, 1 to 21, of a colour laid over an opaque background to that background.
double contrastOn(const QColor& fore, const QColor& back) {
    const auto over = [&](float f, float b) { return f * fore.alphaF() + b * (1 - fore.alphaF()); };
    const QColor seen =
        QColor::fromRgbF(over(fore.redF(), back.redF()), over(fore.greenF(), back.greenF()),
                         over(fore.blueF(), back.blueF()));
    const double a = luminance(seen), b = luminance(back);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

// The palettes Qt's gtk3 theme gives with Adwaita and Adwaita:dark, window colour first.
using DesktopPalette = QList<std::pair<const char*, QColor>>;
const QHash<QString, DesktopPalette> desktopPalettes = {{"light",
                                                         {{"window", "#efefef"},
                                                          {"windowText", "#000000"},
                                                          {"base", "#ffffff"},
                                                          {"text", "#000000"},
                                                          {"placeholderText", "#80000000"},
                                                          {"mid", "#b8b8b8"},
                                                          {"highlight", "#308cc6"}}},
                                                        {"dark",
                                                         {{"window", "#323232"},
                                                          {"windowText", "#f0f0f0"},
                                                          {"base", "#242424"},
                                                          {"text", "#f0f0f0"},
                                                          {"placeholderText", "#80f0f0f0"},
                                                          {"mid", "#262626"},
                                                          {"highlight", "#308cc6"}}}};

void applyPalette(QQuickWindow* window, const DesktopPalette& palette) {
    for (const auto& [role, colour] : palette)
        QQmlProperty::write(window, QStringLiteral("palette.") + role, colour);
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
        // As when a screen reader is running: controls then fill in their accessible roles
        // and names themselves, and may override what the QML set.
        QAccessible::setActive(true);
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

        // The key is read on the identity's executor, so it cannot be there yet. (What the
        // window shows meanwhile is checked with its accessible tree.)
        QVERIFY(!w.keyPublished());
        QVERIFY(!w.item("sendButton")->isEnabled());
        // Focus starts where the user writes.
        QVERIFY(w.activate());
        QCOMPARE(w.window->activeFocusItem(), w.item("promptEditor"));

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
        QVERIFY(w.activate());
        QQuickItem* editor = w.item(field.toLatin1());
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
        Window w;
        QTRY_VERIFY(w.keyPublished());
        w.view->setDaemonURL(closedUrl());
        QSignalSpy finished(w.view, &ContentView::exchangeFinished);

        show(w.view, {QStringLiteral("old error"), true, answer(aKey, "m0", 7)});
        w.view->send();
        QVERIFY(w.view->isLoading());
        QCOMPARE(w.text("sendButton"), QStringLiteral("Thinking…"));
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
        QVERIFY(w.activate());
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

    // Tab walks URL field, prompt editor, Send and the response, and round again; the editor
    // gives Tab up rather than typing it.
    void focusOrder_data() {
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("from");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("promptAfter");
        const QString hello = QStringLiteral("hello"), blank = QStringLiteral(" ");
        const int tab = Qt::Key_Tab, backtab = Qt::Key_Backtab;
        const int none = Qt::NoModifier, shift = Qt::ShiftModifier, ctrl = Qt::ControlModifier;
        QTest::newRow("URL field to prompt editor")
            << hello << "daemonUrlField" << tab << none << "promptEditor" << hello;
        QTest::newRow("prompt editor to Send, no tab typed")
            << hello << "promptEditor" << tab << none << "sendButton" << hello;
        QTest::newRow("Send to response")
            << hello << "sendButton" << tab << none << "responseText" << hello;
        QTest::newRow("response round to URL field")
            << hello << "responseText" << tab << none << "daemonUrlField" << hello;
        QTest::newRow("back from Send to prompt editor")
            << hello << "sendButton" << backtab << shift << "promptEditor" << hello;
        QTest::newRow("back from prompt editor to URL field")
            << hello << "promptEditor" << backtab << shift << "daemonUrlField" << hello;
        QTest::newRow("back from URL field round to response")
            << hello << "daemonUrlField" << backtab << shift << "responseText" << hello;
        QTest::newRow("a disabled Send is passed over")
            << blank << "promptEditor" << tab << none << "responseText" << blank;
        QTest::newRow("Ctrl+Tab types a tab over the selection")
            << hello << "promptEditor" << tab << ctrl << "promptEditor" << QStringLiteral("\t");
    }

    void focusOrder() {
        QFETCH(QString, prompt);
        QFETCH(QString, from);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, to);
        QFETCH(QString, promptAfter);
        Window w;
        QTRY_VERIFY(w.keyPublished());
        w.view->setPrompt(prompt);
        QVERIFY(w.activate());
        w.item(from.toLatin1())->forceActiveFocus(Qt::TabFocusReason);
        QTest::keySequence(w.window, QKeySequence::SelectAll); // for Ctrl+Tab to type over
        QVERIFY(w.showsFocus(from));

        QTest::keyClick(w.window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(w.window->activeFocusItem(), w.item(to.toLatin1()));
        QCOMPARE(w.view->prompt(), promptAfter);
        for (auto control = focusCues.keyBegin(); control != focusCues.keyEnd(); ++control)
            QVERIFY2(w.showsFocus(*control) == (*control == to), qPrintable(*control));
    }

    // The keys that send, wherever the focus is, and those that must not.
    void keysThatSend_data() {
        QTest::addColumn<QString>("prompt");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<bool>("sends");
        QTest::addColumn<QString>("promptAfter");
        const QString hi = QStringLiteral("hi"), blank = QStringLiteral(" \t");
        const int none = Qt::NoModifier, ctrl = Qt::ControlModifier;
        const int space = Qt::Key_Space, ret = Qt::Key_Return, enter = Qt::Key_Enter;
        QTest::newRow("Space on Send") << hi << "sendButton" << space << none << true << hi;
        QTest::newRow("Return on Send") << hi << "sendButton" << ret << none << true << hi;
        QTest::newRow("Enter on Send") << hi << "sendButton" << enter << none << true << hi;
        QTest::newRow("Ctrl+Return in the prompt editor")
            << hi << "promptEditor" << ret << ctrl << true << hi;
        QTest::newRow("Ctrl+Enter in the URL field")
            << hi << "daemonUrlField" << enter << ctrl << true << hi;
        QTest::newRow("Ctrl+Return in the response")
            << hi << "responseText" << ret << ctrl << true << hi;
        QTest::newRow("Return in the prompt editor breaks the line")
            << hi << "promptEditor" << ret << none << false << "hi\n";
        QTest::newRow("Return in the URL field does nothing")
            << hi << "daemonUrlField" << ret << none << false << hi;
        QTest::newRow("blank prompt: Ctrl+Return does nothing")
            << blank << "promptEditor" << ret << ctrl << false << blank;
    }

    void keysThatSend() {
        QFETCH(QString, prompt);
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(bool, sends);
        QFETCH(QString, promptAfter);
        Window w;
        QTRY_VERIFY(w.keyPublished());
        w.view->setPrompt(prompt);
        w.view->setDaemonURL(closedUrl());
        QSignalSpy finished(w.view, &ContentView::exchangeFinished);
        QVERIFY(w.activate());
        QQuickItem* focused = w.item(focus.toLatin1());
        focused->forceActiveFocus(Qt::TabFocusReason);
        if (focus == "promptEditor") // the caret at the end, where a line break would go
            focused->setProperty("cursorPosition", prompt.size());

        // A send leaves its pinch id behind; the refused connection may end the exchange
        // before the key is even released.
        QTest::keyClick(w.window, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(!w.view->pinchId().isEmpty(), sends);
        QCOMPARE(w.view->prompt(), promptAfter);
        if (!sends) {
            QCOMPARE(finished.count(), 0);
            return;
        }
        // The button was disabled meanwhile; focus comes back to where the user left it.
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(w.window->activeFocusItem(), focused);
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
        QTest::newRow("beyond the display limit")
            << QVariant(QStringLiteral("daemon 500: ") + QString(ContentView::displayLimit, u'x'));
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
        const QString shown = error->size() > ContentView::displayLimit
                                  ? error->left(ContentView::displayLimit) + ellipsis
                                  : *error;
        QCOMPARE(w.text("errorText"), shown);
        QCOMPARE(w.view->errorText(), errorText); // the field keeps it all
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
        const qsizetype limit = ContentView::displayLimit;
        QTest::newRow("exactly the display limit") << QString(limit, u'x') << QString(limit, u'x');
        QTest::newRow("beyond the display limit")
            << QString(limit + 1, u'x') << QString(limit, u'x') + ellipsis;
        QTest::newRow("a character across the display limit")
            << QString(limit - 1, u'x') + QStringLiteral("😀 more")
            << QString(limit - 1, u'x') + ellipsis;
    }

    void responseBox() {
        QFETCH(QString, response);
        QFETCH(QString, shown);
        Window w;
        show(w.view, {std::nullopt, true, answer(aKey, "m1", 1, response)});
        QQuickItem* box = w.item("responseText");
        QCOMPARE(box->property("text").toString(), shown);
        QCOMPARE(w.view->response(), response);                  // the field keeps it all
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

    // What a screen reader finds in each state: every control and visible text with its role
    // and current name, and nothing of what is hidden.
    void accessibleTree_data() {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QStringList>("expected");
        // The window from top to bottom; what only some states show is passed in.
        const auto tree = [](const QStringList& badge, const QString& key, const QString& button,
                             const QStringList& actionRow, const QString& response,
                             const QStringList& below) {
            return QStringList{R"(heading "Merrowin — M0")"} + badge +
                   QStringList{R"(text "you signed as: ")",
                               "text \"" + key + '"',
                               R"(text "Daemon URL")",
                               R"(edit "Daemon URL" = "$url")",
                               R"(text "Pinch")",
                               "edit \"Pinch\" = \"" + ContentView::defaultPrompt + '"',
                               "button \"" + button + '"'} +
                   actionRow +
                   QStringList{R"(text "Response")",
                               "edit \"Response\" = \"" + response + "\" read-only"} +
                   below;
        };
        const QStringList answered = {R"(text "pinchId: 0190f3a2…")"};
        const QStringList results = {R"(text "model: m1")", R"(text "42 ms")"};
        QTest::newRow("initial") << "initial" << tree({}, "…", "Send", {}, "—", {});
        QTest::newRow("busy") << "busy"
                              << tree({}, "$key", "Thinking…",
                                      {R"(text "pinchId: $pinch")", R"(busy "Thinking…")"}, "—",
                                      {});
        QTest::newRow("signed") << "signed"
                                << tree({R"(text "signed by 9b2e47c1…")"}, "$key", "Send", answered,
                                        "Hello", results);
        QTest::newRow("invalid")
            << "invalid"
            << tree({R"(text "signature invalid")"}, "$key", "Send", answered, "Hello",
                    results + QStringList{R"(text "Daemon signature did not verify.")"});
        QTest::newRow("error") << "error"
                               << tree({}, "$key", "Send", {}, "—", {R"(text "Invalid URL")"});
    }

    void accessibleTree() {
        QFETCH(QString, state);
        QFETCH(QStringList, expected);
        Window w;
        if (state != "initial")
            QTRY_VERIFY(w.keyPublished());
        if (state == "busy") {
            w.view->setDaemonURL(closedUrl());
            w.view->send();
        } else if (state == "signed") {
            show(w.view, {std::nullopt, true, answer(aKey, "m1", 42)});
        } else if (state == "invalid") {
            show(w.view, {QStringLiteral("Daemon signature did not verify."), false,
                          answer(aKey, "m1", 42)});
        } else if (state == "error") {
            show(w.view, {QStringLiteral("Invalid URL"), std::nullopt, std::nullopt});
        }
        expected.replaceInStrings("$url", w.view->daemonURL());
        expected.replaceInStrings("$key",
                                  ContentView::shortened(w.view->state()->bPubKeyHex(), 16));
        expected.replaceInStrings("$pinch", ContentView::shortened(w.view->pinchId(), 8));

        QStringList found;
        describeAccessible(QAccessible::queryAccessibleInterface(w.window), found);
        QCOMPARE(found, expected);
    }

    // Secondary texts, the error line, the seals and the input lines, in both palettes.
    void contrast_data() {
        QTest::addColumn<QString>("palette");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("background");
        QTest::addColumn<bool>("sigValid");
        QTest::addColumn<double>("minimum");
        const double text = 4.5, graphic = 3.0; // WCAG AA for text and for other marks
        for (const QString palette : {"light", "dark"}) {
            const auto row = [&](const QString& what, const QString& item, const QString& property,
                                 const QString& background, bool sigValid, double minimum) {
                QTest::newRow(qPrintable(palette + ": " + what))
                    << palette << item << property << background << sigValid << minimum;
            };
            for (const QString label : {"identityLabel", "daemonUrlLabel", "pinchLabel",
                                        "pinchIdText", "responseLabel", "modelText", "latencyText"})
                row(label, label, "color", "window", true, text);
            row("URL placeholder", "daemonUrlField", "placeholderTextColor", "base", true, text);
            row("error line", "errorText", "color", "window", false, text);
            row("green seal", "badgeIcon", "color", "window", true, graphic);
            row("red seal", "badgeIcon", "color", "window", false, graphic);
            for (const QString frame : {"daemonUrlFrame", "promptFrame", "responseFrame"}) {
                row(frame, frame, "border.color", "window", true, graphic);
                row(frame + " inside", frame, "border.color", "base", true, graphic);
            }
        }
    }

    void contrast() {
        QFETCH(QString, palette);
        QFETCH(QString, item);
        QFETCH(QString, property);
        QFETCH(QString, background);
        QFETCH(bool, sigValid);
        QFETCH(double, minimum);
        Window w;
        applyPalette(w.window, desktopPalettes.value(palette));
        QCOMPARE(QQmlProperty::read(w.window, "palette.window").value<QColor>(),
                 desktopPalettes.value(palette).first().second);
        show(w.view, {QStringLiteral("boom"), sigValid, answer(aKey, "m1", 42)});
        QVERIFY(w.visible(item.toLatin1()));
        const QColor fore = w.colour(item.toLatin1(), qPrintable(property));
        const QColor back = QQmlProperty::read(w.window, "palette." + background).value<QColor>();
        const double ratio = contrastOn(fore, back);
        QVERIFY2(ratio >= minimum, qPrintable(QStringLiteral("%1 on %2: %3:1")
                                                  .arg(fore.name(QColor::HexArgb), back.name())
                                                  .arg(ratio, 0, 'f', 2)));
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

        // One left open when the program ends goes with the engine. This one is opened from
        // the read-only response, which claims keys for itself before shortcuts see them.
        w.item("responseText")->forceActiveFocus();
        QPointer<QQuickWindow> third = pressNew(w.window);
        QVERIFY(third);
        w.engine.reset();
        QVERIFY(!third);
    }
};

} // namespace vorlund

QTEST_MAIN(vorlund::WindowTest)
#include "tst_window.moc"

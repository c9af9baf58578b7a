#include "daemon.h"
#include "ui/content_view.h"

#include <QAccessible>
#include <QClipboard>
#include <QGuiApplication>
#include <QMetaEnum>
#include <QQmlApplicationEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <tuple>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

// Designated initializers here name only what differs from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vorlund {

// The contrast ratio of two opaque colours, 1 to 21.
double contrast(const QColor& a, const QColor& b) {
    const auto y = [](const QColor& c) { // relative luminance, plus the flare both sides get
        const auto lin = [](double v) {
            return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF()) + 0.05;
    };
    return std::max(y(a), y(b)) / std::min(y(a), y(b));
}

// The colours Qt's gtk3 theme gives with Adwaita and Adwaita:dark, of the palette roles that
// the window's own colours start from.
const QStringList desktopPalettes = {
    "window #efefef windowText #000000 base #ffffff highlight #308cc6",
    "window #323232 windowText #f0f0f0 base #242424 highlight #308cc6"};

// What must stand out, opaque, from the window and from an input's base: item, colour, the
// least contrast (texts 4.5:1, lines and seals 3:1).
const QStringList marks =
    QString("identityLabel color 4.5, daemonUrlLabel color 4.5, pinchLabel color 4.5, "
            "pinchIdText color 4.5, responseLabel color 4.5, modelText color 4.5, "
            "latencyText color 4.5, errorText color 4.5, badgeIcon color 3, "
            "unverifiedCaption color 4.5, cutNotice color 4.5, replayWarning color 4.5, "
            "refusedHint color 4.5, "
            "daemonUrlField placeholderTextColor 4.5, daemonUrlFrame border.color 3, "
            "promptFrame border.color 3, responseFrame border.color 3")
        .split(", ");

// One line of the accessible tree: role, name, and the description (or an edit's text, then
// its description).
QString line(const QString& name, const QString& full = {}, const char* role = "StaticText") {
    return role + (" \"" + name + '"') + (full.isEmpty() ? "" : " (" + full + ')');
}

// What a screen reader finds below iface, one line per item that is not hidden, in tree order.
void describe(QAccessibleInterface* iface, QStringList& out) {
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        const bool edit = child->role() == QAccessible::EditableText;
        const QString description = child->text(QAccessible::Description);
        if (!child->state().invisible)
            out << line(child->text(QAccessible::Name),
                        edit ? child->text(QAccessible::Value) : description,
                        QMetaEnum::fromType<QAccessible::Role>().valueToKey(child->role())) +
                       (edit && !description.isEmpty() ? " described as " + description : "") +
                       (child->state().readOnly ? " read-only" : "");
        describe(child, out);
    }
}

// A window of the program and what it shows.
struct Window {
    QQuickWindow* window;
    ContentView* view;

    explicit Window(QObject* root)
        : window(qobject_cast<QQuickWindow*>(root)),
          view(root ? root->findChild<ContentView*>(QStringLiteral("contentView")) : nullptr) {}
    QQuickItem* item(const QString& name) const { return window->findChild<QQuickItem*>(name); }
    QColor colour(QObject* object, const QString& property) const {
        return QQmlProperty::read(object, property).value<QColor>();
    }
    void press(const char* name, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) const {
        item(name)->forceActiveFocus(Qt::TabFocusReason);
        QTest::keyClick(window, key, modifiers);
    }
    void pressAccessibly(const char* name) const {
        QAccessible::queryAccessibleInterface(item(name))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
    }
    // The accessible tree, the badge's seal, a Send that cannot be pressed (Qt 6.4 does not
    // tell screen readers), then each mark that does not stand out enough.
    QStringList seen() const {
        QStringList found;
        describe(QAccessible::queryAccessibleInterface(window), found);
        if (const QColor c = colour(item("badgeIcon"), "color"); item("badgeIcon")->isVisible())
            found << item("badgeIcon")->property("source").toUrl().fileName() +
                         (c.green() > c.red() ? " green" : " red");
        if (!item("sendButton")->isEnabled())
            found << "Send disabled";
        for (const QString& palette : desktopPalettes) {
            const QStringList roles = palette.split(' ');
            for (int i = 0; i < roles.size(); i += 2)
                QQmlProperty::write(window, "palette." + roles[i], QColor(roles[i + 1]));
            for (const QString& mark : marks) {
                const QStringList m = mark.split(' ');
                const QColor fore = colour(item(m[0]), m[1]);
                for (const char* back : {"palette.window", "palette.base"})
                    if (item(m[0])->isVisible() &&
                        (fore.alpha() < 255 ||
                         contrast(fore, colour(window, back)) < m[2].toDouble()))
                        found << mark + " on " + back + " of " + roles[1];
            }
        }
        return found;
    }
};

// What one state of the window shows besides its inputs and pinch id, read from w.view.
struct Shown {
    bool busy = false, sendable = true;
    QString response = "—", error, hint, warning;
    QStringList badge, results;
};

QStringList expectedTree(const Window& w, const Shown& s) {
    const QString key = w.view->state()->bPubKeyHex(), pinchId = w.view->pinchId();
    // A red seal marks the answer where it is read too; an answer shown cut says so.
    const bool unverified = s.badge.contains("sealed-cross.svg red"),
               cut = s.response.endsWith("…");
    QStringList tree;
    tree << line("Merrowin — M0", {}, "Heading") << s.badge.value(0) << line("you signed as: ")
         << line(key.left(16) + "…", key) << line("Daemon URL")
         << line("Daemon URL", w.view->daemonURL(), "EditableText") << line("Pinch")
         << line("Pinch", w.view->prompt(), "EditableText")
         << line(s.busy ? "Thinking…" : "Send", {}, "Button")
         << (pinchId.isEmpty() ? "" : line("pinchId: " + pinchId.left(8) + "…", pinchId))
         << (s.busy ? line("Thinking…", {}, "Indicator") : "") << line("Response")
         << (unverified ? line("Unverified answer") : "")
         << line("Response", s.response, "EditableText") +
                (unverified ? " described as Unverified answer" : "") + " read-only"
         << (cut ? line("Showing the first 100,000 characters; Copy copies all of the answer.")
                 : "")
         << s.results << (s.warning.isEmpty() ? "" : line(s.warning))
         << (s.error.isEmpty() ? "" : line(s.error)) << (s.hint.isEmpty() ? "" : line(s.hint))
         << s.badge.mid(1) << (s.sendable && !s.busy ? "" : "Send disabled");
    tree.removeAll(QString());
    return tree;
}

class WindowTest : public QObject {
    Q_OBJECT

public:
    // Before anything creates a key: a temporary key directory, never the real home.
    static void initMain() {
        static QTemporaryDir dataHome;
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
    }

private slots:
    // Every state of a window, with what a screen reader finds in it and the contrast of its
    // colours, the send button's rule and what the keyboard does.
    void walkThroughTheStates() {
        QVERIFY(!qEnvironmentVariableIsEmpty("XDG_DATA_HOME"));
        QTest::failOnWarning(QRegularExpression("Binding loop"));
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
        // As when a screen reader is running: controls then fill in their accessible roles
        // and names themselves, and may override what the QML set.
        QAccessible::setActive(true);
        // Answers late enough for the wait to be seen.
        Daemon daemon(SigningKey::generate(), [](const ReceivedPinch&, DaemonReply& reply) {
            reply.delay = std::chrono::milliseconds(500);
        });
        const QString daemonUrl = QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon.start(0));
        QQmlApplicationEngine engine(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
        const Window w(engine.rootObjects().value(0));
        QSignalSpy finished(w.view, &ContentView::exchangeFinished);

        // Just opened: the key is read on the identity's executor, so it cannot be there yet.
        QCOMPARE(w.view->prompt(),
                 QStringLiteral("Say hello to a new lobster joining the Tollmere. One sentence."));
        QCOMPARE(w.view->daemonURL(), QStringLiteral("http://127.0.0.1:7575/pinch"));
        QCOMPARE(w.seen(), expectedTree(w, {.sendable = false}));

        // Ready: the first key typed replaces the sample. Send follows the prompt, by what it
        // holds besides white space; the prompt is what was typed, unusual spaces included.
        QTRY_VERIFY(!w.view->state()->bPubKeyHex().isEmpty());
        QCOMPARE(w.seen(), expectedTree(w, {}));
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        for (const char key : {'x', '\xa0', 'y'})
            QTest::keyClick(w.window, key);
        QCOMPARE(w.view->prompt(), "x\u00a0y");
        const QStringList prompts = {"", " \t\n\v\f", "\u00a0\u2003\u2028\u0085", "\n🦞\n"};
        for (const QString& prompt : prompts) {
            w.item("promptEditor")->setProperty("text", prompt);
            QCOMPARE(std::pair(w.view->prompt(), w.item("sendButton")->isEnabled()),
                     std::pair(prompt, prompts.indexOf(prompt) > 2));
        }
        w.view->setPrompt("\r\n🦞\u2029"); // shown by the editor without a binding loop

        // Focus starts where the user writes; Tab goes round the controls, the editor giving
        // it up rather than typing it, and passes over a Send that cannot send.
        for (const QString to :
             {"sendButton", "responseText", "identityKey", "daemonUrlField", "promptEditor"}) {
            QTest::keyClick(w.window, Qt::Key_Tab);
            QCOMPARE(w.window->activeFocusItem()->objectName(), to);
        }
        w.item("promptEditor")->setProperty("text", " ");
        w.press("promptEditor", Qt::Key_Tab);
        QCOMPARE(w.window->activeFocusItem()->objectName(), QStringLiteral("responseText"));
        // Ctrl+Tab types a tab over the selection, Return breaks the line.
        w.press("promptEditor", Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w.window, Qt::Key_Tab, Qt::ControlModifier);
        QTest::keyClick(w.window, 'x');
        QTest::keyClick(w.window, Qt::Key_Return);
        w.item("daemonUrlField")->setProperty("text", daemonUrl);

        // Exchange running, asked for twice by Ctrl+Return in the read-only response and once
        // by a screen reader: one pinch.
        w.press("responseText", Qt::Key_Return, Qt::ControlModifier);
        w.press("responseText", Qt::Key_Return, Qt::ControlModifier);
        w.pressAccessibly("sendButton");
        QCOMPARE(w.view->pinchId().size(), 36);
        QCOMPARE(w.seen(), expectedTree(w, {.busy = true}));

        // Answer signed, to the prompt as it was typed. The daemon's key copies whole.
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(daemon.lastReceived().value().request.value().prompt, "\tx\n");
        const QString daemonKey = QString::fromStdString(daemon.publicKeyHex());
        QCOMPARE(w.seen(),
                 expectedTree(
                     w, {.response = "Demo daemon received: \"\tx\n\"",
                         .badge = {line("signed by " + daemonKey.left(8) + "…", daemonKey),
                                   "sealed-check.svg green"},
                         .results = {line("model: demo-1"), line(w.view->latencyText() + " ms")}}));
        w.press("badgeText", Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), daemonKey);

        // Signature invalid, to another pinch. Texts from the daemon show as plain text, cut on a
        // whole character after 100,000 characters, while the fields keep them whole.
        const QString sent = w.view->pinchId(),
                      pinchId = "<img src=http://127.0.0.1:1/ height=400>";
        const QString aKey(64, u'a');
        const QString markup = "<b>" + QString(99'996, u'x');
        // response, latencyMs, modelVersion, promptHash, timestamp, pinchId, bPubKey, aPubKey
        w.view->apply(
            {markup + "xx", false,
             DaemonResponse{(markup + "😀").toStdString(), std::numeric_limits<qint64>::min(),
                            (markup + "xx").toStdString(), "", 0, pinchId.toStdString(), "",
                            aKey.toStdString()}});
        QCOMPARE(std::tuple(w.view->response(), w.view->errorText(), w.view->pinchId()),
                 std::tuple(markup + "😀", QVariant(markup + "xx"), pinchId));
        const QStringList kept = {line("model: " + markup + "x…"), line("-9223372036854775808 ms")};
        QCOMPARE(
            w.seen(),
            expectedTree(w, {.response = markup + "…",
                             .error = markup + "x…",
                             .warning = "This answer names another pinch than the one sent (" +
                                        sent + "): it may be an old answer.",
                             .badge = {line("signature invalid", aKey), "sealed-cross.svg red"},
                             .results = kept}));
        // Copy copies all of the answer, also what is not shown.
        w.press("responseText", Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w.window, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), w.view->response());
        // Hovered, the pinch id's tooltip shows its markup as text, not as an image 400 high.
        QTest::mouseMove(w.window, w.item("pinchIdText")->mapToScene({5, 5}).toPoint());
        QObject* tip = w.item("pinchIdText")->findChild<QObject*>("keyToolTip");
        QTRY_VERIFY(tip->property("opened").toBool());
        QCOMPARE_LT(tip->property("implicitHeight").toDouble(), 100);
        // At the smallest size every row stays inside the window's padding; the messages, too
        // many here, scroll only once the prompt editor is down to its least height.
        w.window->resize(580, 520);
        QQuickItem* column = w.item("messages")->parentItem();
        QTRY_COMPARE(column->height(), 480);
        QTRY_COMPARE(w.item("promptBox")->height(), 80);
        for (QQuickItem* row : column->childItems())
            QTRY_VERIFY(!row->isVisible() || QRectF(20, 20, 540, 480)
                                                 .contains(row->mapRectToScene(
                                                     QRectF(0, 0, row->width(), row->height()))));

        // Busy, then failed, after a double click: the last answer's texts go at once, its
        // daemon key, model and latency stay. Nothing listens on port 1.
        w.item("daemonUrlField")->setProperty("text", "http://127.0.0.1:1/pinch");
        QTest::mouseDClick(w.window, Qt::LeftButton, {},
                           w.item("sendButton")->mapToScene(QPointF(10, 10)).toPoint());
        QCOMPARE(w.seen(), expectedTree(w, {.busy = true, .results = kept}));
        QTRY_COMPARE(finished.count(), 2);
        QVERIFY(w.view->errorText().toString().startsWith("request failed: "));
        QCOMPARE(w.seen(), expectedTree(w, {.error = w.view->errorText().toString(),
                                            .hint = "No daemon answers at this address. To try the "
                                                    "demo daemon that comes with Vorlund, run: "
                                                    "vorlund-demo-daemon --port 1",
                                            .results = kept}));
        QCOMPARE(w.view->aPubKey(), aKey);

        // Failed at once, and still after the reset. Each key that sends sends once, and so
        // does a screen reader's press.
        w.item("daemonUrlField")->setProperty("text", QString());
        w.press("sendButton", Qt::Key_Return);
        QCOMPARE(w.seen(), expectedTree(w, {.error = "Invalid URL", .results = kept}));
        w.pressAccessibly("sendButton");
        w.press("promptEditor", Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(std::tuple(finished.count(), daemon.receivedCount()), std::tuple(5, 1));

        // Ctrl+N in the read-only response opens a window with its own state; closing it
        // leaves this one as it was.
        const QStringList before = w.seen();
        w.press("responseText", Qt::Key_N, Qt::ControlModifier);
        const Window second(QGuiApplication::focusWindow());
        QVERIFY(second.view && second.view->state()->identity() != w.view->state()->identity());
        QTRY_COMPARE(second.view->state()->bPubKeyHex(), w.view->state()->bPubKeyHex());
        // Keys are shortened by whole characters (none asked, none given); a text at the display
        // cap shows whole.
        QCOMPARE(DisplayText::shortened(QStringLiteral("abc"), 0), QStringLiteral("…"));
        const QString key = "👩‍👩‍👧e\u0301abcdef", cap(100'000, u'x');
        second.view->apply(
            {std::nullopt, true,
             DaemonResponse{.response = cap.toStdString(), .aPubKey = key.toStdString()}});
        QCOMPARE(second.seen(), expectedTree(second, {.response = cap,
                                                      .badge = {line("signed by " + key + "…", key),
                                                                "sealed-check.svg green"}}));
        // Ctrl+W closes a window and Ctrl+Q quits, also from the read-only response.
        second.press("responseText", Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(!QGuiApplication::topLevelWindows().contains(second.window));
        QCOMPARE(w.seen(), before);
        QSignalSpy quit(&engine, &QQmlEngine::quit);
        w.press("responseText", Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
    }
};

} // namespace vorlund

QTEST_MAIN(vorlund::WindowTest)
#include "tst_window.moc"

#include "daemon.h"
#include "json_rows.h"
#include "scripted_daemon.h"
#include "ui/content_view.h"
#include "ui/display_text.h"
#include "ui/drawn_icons.h"
#include "ui/main_window.h"
#include "ui/window_commands.h"

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
#include <cmath>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

using nlohmann::json;

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

QString text(const json& value) {
    return QString::fromStdString(test::textOf(value));
}

// What a screen reader finds below iface, one line per item that is not hidden: role, name, and
// the description (or an edit's text, then its description).
void describe(QAccessibleInterface* iface, QStringList& out) {
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface* child = iface->child(i);
        const bool edit = child->role() == QAccessible::EditableText;
        const QString description = child->text(QAccessible::Description);
        const QString full = edit ? child->text(QAccessible::Value) : description;
        if (!child->state().invisible)
            out << QMetaEnum::fromType<QAccessible::Role>().valueToKey(child->role()) +
                       (" \"" + child->text(QAccessible::Name) + '"') +
                       (full.isEmpty() ? "" : " (" + full + ')') +
                       (edit && !description.isEmpty() ? " described as " + description : "") +
                       (child->state().readOnly ? " read-only" : "");
        describe(child, out);
    }
}

// A window of the program, in the rows' words.
struct Window {
    QQmlApplicationEngine engine;
    QQuickWindow* window = loadMainWindow(engine);
    ContentView* view = window->findChild<ContentView*>(QStringLiteral("contentView"));

    QQuickItem* item(const QString& name) const { return window->findChild<QQuickItem*>(name); }
    QColor colour(QObject* object, const QString& property) const {
        return QQmlProperty::read(object, property).value<QColor>();
    }
    void press(const QString& name, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) const {
        item(name)->forceActiveFocus(Qt::TabFocusReason);
        QTest::keyClick(window, key, modifiers);
    }
    // Waits for the next frame, which shows the window's state as it is now.
    void framed() const {
        QSignalSpy frame(window, &QQuickWindow::frameSwapped);
        window->update();
        QVERIFY(frame.wait());
    }
    void pressAccessibly(const char* name) const {
        QAccessible::queryAccessibleInterface(item(name))
            ->actionInterface()
            ->doAction(QAccessibleActionInterface::pressAction());
    }
    // What a screen reader finds, in no particular order, then the badge's seal, a Send that
    // cannot be pressed (Qt 6.4 does not tell screen readers), and each mark of the rows' file
    // that does not stand out enough in a desktop palette.
    QStringList seen(const json& file) const {
        QStringList found;
        describe(QAccessible::queryAccessibleInterface(window), found);
        QQuickItem* seal = item("badgeIcon");
        if (seal && seal->isVisible())
            found << seal->property("source").toUrl().fileName() +
                         (colour(seal, "color").green() > colour(seal, "color").red() ? " green"
                                                                                      : " red");
        if (!item("sendButton")->isEnabled())
            found << "Send disabled";
        for (const json& palette : file.at("palettes")) {
            for (const auto& [role, colour] : palette.items())
                QQmlProperty::write(window, QString::fromStdString("palette." + role),
                                    QColor(QString::fromStdString(colour)));
            for (const json& mark : file.at("marks")) {
                QQuickItem* marked = item(QString::fromStdString(mark[0]));
                if (!marked || !marked->isVisible())
                    continue;
                const QColor fore = colour(marked, QString::fromStdString(mark[1]));
                for (const char* back : {"palette.window", "palette.base"})
                    if (fore.alpha() < 255 || contrast(fore, colour(window, back)) < mark[2])
                        found << text(mark[0]) + " on " + back + " of " + text(palette["window"]);
            }
        }
        found.sort();
        return found;
    }
};

class WindowTest : public QObject {
    Q_OBJECT

    json file_ = jsonFile(STATES_FILE);

public:
    // Before anything creates a key: a temporary key directory, never the real home.
    static void initMain() {
        static QTemporaryDir dataHome;
        qputenv("XDG_DATA_HOME", dataHome.path().toUtf8());
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
    }

private slots:
    void initTestCase() {
        // Any warning from the window's own QML, binding loops included, is a fault.
        QTest::failOnWarning(QRegularExpression("qrc:/qt/qml/Vorlund/|Binding loop"));
        // As when a screen reader is running: controls then fill in their accessible roles
        // and names themselves, and may override what the QML set.
        QAccessible::setActive(true);
    }

    // One state of a window each: what a screen reader finds, the contrast of what shows, the
    // send button's rule and its shortcut, and what hovering shows.
    void states_data() { addJsonRows(STATES_FILE, "states"); }
    void states() {
        const json row = fetchedJsonRow();
        Window w;
        if (row.value("key", true))
            QTRY_VERIFY(!w.view->state()->bPubKeyHex().isEmpty());
        if (row.contains("prompt"))
            w.item("promptEditor")->setProperty("text", text(row["prompt"]));
        w.view->setIsLoading(row.value("loading", false));
        if (row.contains("sent")) { // as send() leaves it
            w.view->sentPinchId_ = text(row["sent"]);
            w.view->sentDaemonURL_ = text(row.value("url", ""));
            w.view->pinchId_ = w.view->sentPinchId_;
            emit w.view->pinchIdChanged();
        }
        if (row.contains("outcome")) {
            const json& o = row["outcome"];
            ExchangeOutcome outcome{.sigValid = o.contains("sigValid")
                                                    ? std::optional<bool>(o["sigValid"])
                                                    : std::nullopt,
                                    .connectionRefused = o.value("refused", false)};
            if (o.contains("error"))
                outcome.errorText = text(o["error"]);
            if (const json a = o.value("answer", json()); !a.is_null())
                outcome.shown =
                    DaemonResponse{.response = test::textOf(a.value("response", json(""))),
                                   .latencyMs = a.value("latencyMs", 0LL),
                                   .modelVersion = test::textOf(a.value("modelVersion", json(""))),
                                   .pinchId = test::textOf(a.value("pinchId", json(""))),
                                   .aPubKey = test::textOf(a.value("aPubKey", json("")))};
            w.view->apply(outcome);
        }
        // Before the key is published nothing has changed since the window's first frame,
        // and waiting for another would let the key arrive.
        if (row.value("key", true))
            w.framed();
        const QString key = w.view->state()->bPubKeyHex();
        QStringList expected;
        for (const json& line : file_.at("always"))
            expected << text(line);
        for (const json& line : row.at("shows"))
            expected << text(line).replace("{key}", key).replace("{key16}", key.left(16));
        expected.sort();
        const bool sendable = !expected.contains("Send disabled");
        const QStringList seen = w.seen(file_);
        QStringList missing = expected, extra = seen;
        for (const QString& line : seen)
            missing.removeOne(line);
        for (const QString& line : expected)
            extra.removeOne(line);
        QVERIFY2(missing.isEmpty() && extra.isEmpty(),
                 qPrintable("missing: " + missing.join(", ").left(600) +
                            "\nextra: " + extra.join(", ").left(600)));
        for (const json& p : row.value("properties", json::array())) {
            QObject* object = p[0] == "" ? w.window : static_cast<QObject*>(w.item(text(p[0])));
            QCOMPARE(object->property(p[1].get<std::string>().c_str()).toString(), text(p[2]));
        }

        if (row.contains("hover")) {
            QQuickItem* hovered = w.item(QString::fromStdString(row["hover"]));
            // moved again until the layout has placed the item where the pointer is
            QObject* tip = nullptr;
            QTRY_VERIFY((QTest::mouseMove(w.window, hovered->mapToScene({2, 2}).toPoint()),
                         tip = w.window->findChild<QObject*>("keyToolTip")) &&
                        tip->property("opened").toBool());
            QCOMPARE(tip->property("text").toString(), text(row["toolTip"]));
            // shown as text, not laid out as markup that would load an image
            QCOMPARE_LT(tip->property("implicitHeight").toDouble(), 100);
        }
        // Ctrl+Return sends exactly when Send can be pressed; an empty URL ends it at once.
        if (!row.value("key", true))
            return; // the key may arrive while the keys are pressed
        const QString before = w.view->pinchId();
        w.view->setDaemonURL(QString());
        w.press("promptEditor", Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(w.view->pinchId() != before, sendable);
    }

    // A long answer is laid out in parts: each ends at a line break, which is dropped, else
    // where a line may wrap, else between two characters.
    void parts_data() { addJsonRows(STATES_FILE, "parts"); }
    void parts() {
        const json row = fetchedJsonRow();
        const QString answer = text(row["answer"]);
        const QStringList parts = DisplayText::parts(answer);
        QCOMPARE(parts.size(), row["count"]);
        QCOMPARE(parts[0].size(), row["first"]);
        qsizetype at = 0;
        for (const QString& part : parts) {
            if (at > 0) // the line break between two parts, if any
                at += answer.sliced(at).startsWith("\r\n")                      ? 2
                      : QStringLiteral("\r\n\u2028\u2029").contains(answer[at]) ? 1
                                                                                : 0;
            QVERIFY(part.size() <= DisplayText::partLimit || parts.size() == 1);
            QVERIFY(QStringView(answer).sliced(at).startsWith(part));
            QVERIFY(!part[0].isLowSurrogate() && !part[0].isMark());
            at += part.size();
        }
        QCOMPARE(at, answer.size());
    }

    // The Send button's icon, drawn here: at the size asked (24 when none), black on transparent
    // for the button to tint, smooth, filling most of its square with strokes of its weight;
    // an icon it does not know is blank.
    void drawnIcon_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QSize>("asked");
        QTest::addColumn<int>("side");
        QTest::addColumn<bool>("drawn");
        QTest::newRow("Send, 16") << "paper-plane" << QSize(16, 16) << 16 << true;
        QTest::newRow("Send, no size") << "paper-plane" << QSize() << 24 << true;
        QTest::newRow("Send, 48") << "paper-plane" << QSize(48, 48) << 48 << true;
        QTest::newRow("unknown") << "kite" << QSize(16, 16) << 16 << false;
    }
    void drawnIcon() {
        QFETCH(QString, id);
        QFETCH(QSize, asked);
        QFETCH(int, side);
        QFETCH(bool, drawn);
        QSize size;
        const QImage icon = DrawnIcons().requestImage(id, &size, asked);
        QCOMPARE(icon.size(), QSize(side, side));
        QCOMPARE(size, icon.size());
        double ink = 0;
        int smooth = 0;
        QRect box;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x) {
                const QRgb pixel = icon.pixel(x, y);
                ink += qAlpha(pixel) / 255.0 / (side * side);
                smooth += qAlpha(pixel) > 0 && qAlpha(pixel) < 255;
                QCOMPARE(pixel & 0xffffff, 0u);
                box |= qAlpha(pixel) > 0 ? QRect(x, y, 1, 1) : QRect();
            }
        QCOMPARE(ink > 0, drawn);
        QVERIFY2(!drawn || (ink > 0.18 && ink < 0.24), qPrintable(QString::number(ink)));
        QVERIFY(!drawn || (smooth > 0 && box.width() > side * 0.8 && box.height() > side * 0.8));
    }

    // Keys anywhere in the window, the read-only response included, mean the same command.
    void commands_data() {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("command");
        const int ctrl = Qt::ControlModifier;
        QTest::newRow("send") << "responseText" << int(Qt::Key_Return) << ctrl << "send";
        QTest::newRow("send, keypad")
            << "promptEditor" << int(Qt::Key_Enter) << int(ctrl | Qt::KeypadModifier) << "send";
        QTest::newRow("return") << "responseText" << int(Qt::Key_Return) << 0 << "";
        QTest::newRow("new") << "responseText" << int(Qt::Key_N) << ctrl << "newWindow";
        QTest::newRow("close") << "responseText" << int(Qt::Key_W) << ctrl << "closeWindow";
        QTest::newRow("quit") << "promptEditor" << int(Qt::Key_Q) << ctrl << "quit";
        QTest::newRow("copy") << "responseText" << int(Qt::Key_C) << ctrl << "";
    }
    void commands() {
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, command);
        Window w;
        QSignalSpy triggered(w.window->findChild<WindowCommands*>(), &WindowCommands::triggered);
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        w.press(focus, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(triggered.value(0).value(0).toString(), command);
        QCOMPARE(triggered.size(), command.isEmpty() ? 0 : 1);
    }

    // Typing, Tab, and what the commands do; one pinch however Send is asked for at once.
    void keyboard() {
        Daemon daemon(SigningKey::generate(), [](const ReceivedPinch&, DaemonReply& reply) {
            reply.delay = std::chrono::milliseconds(500);
        });
        const QString url = QStringLiteral("http://127.0.0.1:%1/pinch").arg(daemon.start(0));
        Window w;
        QTRY_VERIFY(w.view->canSend());
        w.window->requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(w.window));
        // The first key typed replaces the sample; the prompt is what was typed, unusual
        // spaces included.
        for (const char key : {'x', '\xa0', 'y'})
            QTest::keyClick(w.window, key);
        QCOMPARE(w.view->prompt(), "x\u00a0y");
        w.view->setPrompt("\r\n🦞\u2029"); // shown by the editor without a binding loop
        // Tab goes round the controls, the editor giving it up rather than typing it, and
        // passes over a Send that cannot send.
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
        w.item("daemonUrlField")->setProperty("text", url);

        QSignalSpy finished(w.view, &ContentView::exchangeFinished);
        w.press("responseText", Qt::Key_Return, Qt::ControlModifier);
        w.press("responseText", Qt::Key_Return, Qt::ControlModifier);
        w.pressAccessibly("sendButton");
        QTest::mouseDClick(w.window, Qt::LeftButton, {},
                           w.item("sendButton")->mapToScene(QPointF(10, 10)).toPoint());
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(daemon.lastReceived().value().request.value().prompt, "\tx\n");
        QCOMPARE(daemon.receivedCount(), 1);
        // The daemon's key copies whole.
        w.press("badgeText", Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(),
                 QString::fromStdString(daemon.publicKeyHex()));

        // Ctrl+N opens a window with its own state; Ctrl+W closes it and leaves this one as it
        // was, Ctrl+Q quits.
        w.press("responseText", Qt::Key_N, Qt::ControlModifier);
        auto* second = qobject_cast<QQuickWindow*>(QGuiApplication::focusWindow());
        QVERIFY(second && second != w.window);
        auto* view = second->findChild<ContentView*>(QStringLiteral("contentView"));
        QVERIFY(view && view->state()->identity() != w.view->state()->identity());
        QTRY_COMPARE(view->state()->bPubKeyHex(), w.view->state()->bPubKeyHex());
        QCOMPARE(view->pinchId(), QString());
        QTest::keyClick(second, Qt::Key_W, Qt::ControlModifier);
        QTRY_VERIFY(!QGuiApplication::topLevelWindows().contains(second));
        QVERIFY(!w.view->response().isEmpty());
        QSignalSpy quit(&w.engine, &QQmlEngine::quit);
        w.press("responseText", Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quit.count(), 1);
    }

    // An answer shown cut copies whole; at the smallest size every row stays inside the
    // window's padding, the messages scrolling only once the prompt editor is at its least.
    void longAnswer() {
        Window w;
        // shown after another answer in parts
        w.view->apply({std::nullopt, true, DaemonResponse{.response = std::string(9'000, 'z')}});
        const QString answer = "<b>" + QString(99'996, u'x') + "😀";
        w.view->apply({answer, false,
                       DaemonResponse{.response = answer.toStdString(),
                                      .modelVersion = "demo-1",
                                      .pinchId = "another\r\nrm -rf ~/x #"}});
        // Laid out in parts, the answer is still reached by the keyboard, selected and copied
        // whole; text selected in one part copies alone.
        w.press("pinchIdText", Qt::Key_Tab);
        QCOMPARE(w.window->activeFocusItem()->objectName(), QStringLiteral("responseParts"));
        QTest::keyClick(w.window, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(w.window, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), answer);
        QQuickItem* part = nullptr;
        QMetaObject::invokeMethod(w.item("responseParts"), "itemAtIndex",
                                  Q_RETURN_ARG(QQuickItem*, part), Q_ARG(int, 0));
        part = part->childItems().value(0);
        QTest::mouseClick(w.window, Qt::LeftButton, {}, part->mapToScene({20, 20}).toPoint());
        QMetaObject::invokeMethod(part, "select", Q_ARG(int, 0), Q_ARG(int, 5));
        QTest::keyClick(w.window, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), "<b>xx");
        // The daemon's pinch id copies without its line break, which would run a command.
        w.press("pinchIdText", Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), "another\ufffdrm -rf ~/x #");
        // The answer's menu comes on the first right-click.
        QTest::mouseClick(w.window, Qt::RightButton, {},
                          w.item("responseBox")->mapToScene({20, 20}).toPoint());
        QObject* menu = nullptr;
        QTRY_VERIFY((menu = w.window->findChild<QObject*>("answerMenu")) &&
                    menu->property("opened").toBool());
        w.window->resize(580, 520);
        QQuickItem* column = w.item("promptBox")->parentItem();
        QTRY_COMPARE(column->height(), 480);
        QTRY_COMPARE(w.item("promptBox")->height(), 80);
        for (QQuickItem* row : column->childItems())
            QTRY_VERIFY(!row->isVisible() || QRectF(20, 20, 540, 480)
                                                 .contains(row->mapRectToScene(
                                                     QRectF(0, 0, row->width(), row->height()))));
        // An answer of more lines than the box lays out as paragraphs copies its line breaks.
        w.view->apply(
            {std::nullopt, true, DaemonResponse{.response = std::string(3'000, '\n') + "ab"}});
        w.framed();
        QMetaObject::invokeMethod(w.item("responseText"), "select", Q_ARG(int, 2'998),
                                  Q_ARG(int, 3'002));
        w.press("responseText", Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), "\n\nab");
    }
};

} // namespace vorlund

QTEST_MAIN(vorlund::WindowTest)
#include "tst_window.moc"

#include "fatal_error_box.h"

#include <QEventLoop>
#include <QQmlApplicationEngine>
#include <QQuickWindow>

namespace vorlund {

void showFatalErrorBox(const QString& message) {
    // An engine of its own: the window's engine is still in the middle of creating the window.
    QQmlApplicationEngine engine;
    engine.setInitialProperties({{QStringLiteral("message"), message}});
    engine.load(QUrl(QStringLiteral("qrc:/vorlund/FatalErrorBox.qml")));
    auto* box = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0));
    if (!box)
        return; // standard error has the message already
    QEventLoop untilClosed;
    QObject::connect(box, &QWindow::visibleChanged, &untilClosed, [&untilClosed](bool visible) {
        if (!visible)
            untilClosed.quit();
    });
    untilClosed.exec();
}

} // namespace vorlund

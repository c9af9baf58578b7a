#include "probe/first_frame_probe.h"
#include "protocol/sodium.h"
#include "ui/content_view.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VorlundPlugin)

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    QGuiApplication::setApplicationName(QStringLiteral("Vorlund"));
    QGuiApplication::setOrganizationDomain(QStringLiteral("vorlund.org"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.vorlund.client"));
    // Fusion draws with the desktop's palette, light or dark.
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    vorlund::ensureSodium();

    QQmlApplicationEngine engine;
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vorlund/Main.qml")));
    if (auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0))) {
        const auto* view = window->findChild<vorlund::ContentView*>(QStringLiteral("contentView"));
        vorlund::probeFirstFrame(*window,
                                 [view] { return !view->state()->bPubKeyHex().isEmpty(); });
    }
    return app.exec();
}

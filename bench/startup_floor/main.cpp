// The start-up floor: the smallest Qt Quick Controls program of the same kind as the client,
// set up and started the same way, with the same measurement hook.
#include "probe/first_frame_probe.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(StartupFloorPlugin)

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQmlApplicationEngine engine;
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/StartupFloor/Floor.qml")));
    if (auto* window = qobject_cast<QQuickWindow*>(engine.rootObjects().value(0)))
        vorlund::probeFirstFrame(*window, [] { return true; });
    return app.exec();
}

#include "protocol/sodium.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
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
    return app.exec();
}
